// norvusb read: read the printer's back channel through the port, for
// example the reply to a PJL query written first with --send. A read that
// gets nothing within the time-out is cancelled, as an application cancels
// its overlapped read.
#include <cstdio>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "tools/commands.h"
#include "tools/decoded.h"
#include "tools/errors.h"
#include "tools/output.h"
#include "tools/report.h"
#include "tools/session.h"
#include "tools/text.h"

namespace norvusb {

namespace {

struct ReadOptions {
  CommonOptions common;
  std::optional<std::string> send;   // written first (C-style escapes)
  std::optional<std::string> queue;  // test hook: bytes the printer queues for the host
  double timeout = 2.0;
  ULONG length = 1024;
  bool all = false;
  bool raw = false;
};

struct Outcome {
  std::vector<uint8_t> data;
  uint64_t reads = 0;
  bool timedOut = false;
  int64_t seconds = 0;
};

void Send(host::DeviceHandle &port, const std::string &bytes, uint32_t chunk) {
  for (size_t at = 0; at < bytes.size();) {
    const ULONG length = static_cast<ULONG>(std::min<size_t>(chunk, bytes.size() - at));
    const host::IoResult result = port.Write(bytes.data() + at, length);
    if (!NT_SUCCESS(result.status)) Fail(fmt::format("the write of --send failed with {}", StatusText(result.status)));
    at += result.information;
  }
}

Outcome ReadBackChannel(host::DeviceHandle &port, const ReadOptions &options) {
  Outcome outcome;
  const int64_t start = host::clock::Now();
  const int64_t deadline = start + Units(options.timeout);
  std::vector<uint8_t> buffer(options.length);
  while (true) {
    auto pending = port.StartRead(buffer.data(), options.length);
    const int64_t left = std::max<int64_t>(0, deadline - host::clock::Now());
    if (!pending->Wait(left)) {
      pending->Cancel();
      outcome.timedOut = true;
    }
    const host::IoResult result = pending->Await();
    ++outcome.reads;
    outcome.data.insert(outcome.data.end(), buffer.begin(), buffer.begin() + std::min<size_t>(result.information, buffer.size()));
    if (outcome.timedOut) break;
    if (!NT_SUCCESS(result.status)) Fail(fmt::format("the read failed with {}", StatusText(result.status)));
    // A full read leaves the reply open: it ends with a short (or
    // zero-length) packet, so read on until one comes.
    const bool replyEnded = result.information < options.length;
    if (!options.all && !outcome.data.empty() && replyEnded) break;
  }
  outcome.seconds = host::clock::Now() - start;
  return outcome;
}

int RunRead(const ReadOptions &options, Bench *bench) {
  if (!(options.timeout > 0)) BadInput("--timeout must be above 0 seconds");
  const std::string send = options.send ? Unescaped(*options.send) : "";
  const std::string queue = options.queue ? Unescaped(*options.queue) : "";
  Session session(options.common, bench);
  Outcome outcome;
  {
    host::DeviceHandle port = session.OpenPort();
    Send(port, send, MaxTransferSizeOf(options.common));
    if (!queue.empty()) session.Printer().QueueBackChannel(queue);
    outcome = ReadBackChannel(port, options);
  }
  const Verdict verdict = session.Finish();
  std::optional<std::string> error;
  if (outcome.data.empty())
    error = fmt::format("no data from the printer within {:g} s; the read was cancelled", options.timeout);

  if (options.common.json) {
    Json document{{"port", session.PortName()},
                        {"bytes_sent", send.size()},
                        {"bytes", outcome.data.size()},
                        {"reads", outcome.reads},
                        {"timed_out", outcome.timedOut},
                        {"model_seconds", Seconds(outcome.seconds)},
                        {"text", Escaped(outcome.data)},
                        {"data_hex", HexBytes(outcome.data)}};
    AddVerdict(document, verdict);
    document["error"] = ErrorField(error);
    EmitJson(document, options.common);
  } else if (options.raw) {
    std::fwrite(outcome.data.data(), 1, outcome.data.size(), stdout);
  } else if (!options.common.quiet) {
    std::printf("Read %zu byte(s) from %s in %llu read(s), %.3f s%s\n", outcome.data.size(), session.PortName().c_str(),
                static_cast<unsigned long long>(outcome.reads), Seconds(outcome.seconds),
                outcome.timedOut ? " (the last read timed out and was cancelled)" : "");
    if (!outcome.data.empty()) std::printf("  %s\n", Escaped(outcome.data).c_str());
  }
  std::fflush(stdout);
  const int status = ExitStatusFor(verdict);
  if (error) Fail(*error);
  return status;
}

}  // namespace

Command AddReadCommand(CLI::App &program) {
  auto options = std::make_shared<ReadOptions>();
  CLI::App *app = program.add_subcommand("read", "Read the printer's back channel, with a time-out");
  app->add_option("--send", options->send,
                  "Write this first (escapes \\n \\r \\f \\e \\xHH), e.g. a PJL query: "
                  "'\\e%-12345X@PJL INFO STATUS\\r\\n'")
      ->type_name("TEXT");
  app->add_option("--timeout", options->timeout, "Cancel the read after this many seconds (default 2)")
      ->type_name("SECONDS");
  app->add_option("--length", options->length, "Bytes per read request (default 1024, at most MaxTransferSize)")
      ->type_name("BYTES")
      ->check(CLI::Range(1u, 1u << 20));
  app->add_flag("--all", options->all, "Keep reading until the time-out instead of stopping after the first reply");
  app->add_flag("--raw", options->raw, "Write the bytes read to standard output as they are");
  app->add_option("--queue", options->queue, "Test hook: bytes the printer has for the host before the read")
      ->type_name("TEXT");
  AddCommonOptions(*app, options->common);
  return {app, &options->common, [options](Bench *bench) { return RunRead(*options, bench); }};
}

}  // namespace norvusb
