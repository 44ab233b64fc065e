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
#include "tools/interrupt.h"
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
  std::string timeoutTyped;
  ULONG length = 1024;
  bool all = false;
  bool raw = false;
};

struct Outcome {
  std::vector<uint8_t> data;
  uint64_t reads = 0;
  bool timedOut = false;
  int64_t seconds = 0;
  uint64_t sent = 0;  // bytes of --send written
};

// The bulk IN pipe's packet size: a read of another length could end in the
// middle of a packet.
constexpr ULONG kPacketSize = 64;

// Writes --send; the error line when a write failed.
std::optional<std::string> Send(host::DeviceHandle &port, const std::string &bytes, uint32_t chunk, Outcome &outcome,
                                const std::string &hint) {
  for (size_t at = 0; at < bytes.size();) {
    if (Interrupted()) return InterruptText();
    const ULONG length = static_cast<ULONG>(std::min<size_t>(chunk, bytes.size() - at));
    const host::IoResult result = port.Write(bytes.data() + at, length);
    outcome.sent += result.information;
    if (!NT_SUCCESS(result.status))
      return fmt::format("the write of --send failed with {}{}; {} of {} byte(s) sent", StatusText(result.status),
                         result.status == STATUS_INVALID_PARAMETER ? hint : "", outcome.sent, bytes.size());
    at += result.information;
  }
  return std::nullopt;
}

// Reads until the reply ends (or the time-out, with --all); the error line
// when a read failed or a signal stopped it.
std::optional<std::string> ReadBackChannel(host::DeviceHandle &port, const ReadOptions &options, Outcome &outcome) {
  const int64_t start = host::clock::Now();
  const int64_t deadline = start + Units(options.timeout);
  std::vector<uint8_t> buffer(options.length);
  std::optional<std::string> error;
  // The wait in slices, so that a signal is seen while the model clock runs;
  // few of them, since an idle bus lets the clock jump.
  const int64_t slice = std::max(Units(0.05), (deadline - start) / 10000);
  while (true) {
    auto pending = port.StartRead(buffer.data(), options.length);
    while (!pending->Wait(std::min(slice, std::max<int64_t>(0, deadline - host::clock::Now())))) {
      if (Interrupted()) {
        error = InterruptText();
        break;
      }
      if (host::clock::Now() >= deadline) {
        outcome.timedOut = true;
        break;
      }
    }
    if (error || outcome.timedOut) pending->Cancel();
    const host::IoResult result = pending->Await();
    ++outcome.reads;
    outcome.data.insert(outcome.data.end(), buffer.begin(), buffer.begin() + std::min<size_t>(result.information, buffer.size()));
    if (error || outcome.timedOut) break;
    if (!NT_SUCCESS(result.status)) {
      error = fmt::format("the read failed with {}{}", StatusText(result.status),
                          result.status == STATUS_INVALID_PARAMETER ? InterfaceHint(options.common) : "");
      break;
    }
    // A full read leaves the reply open: it ends with a short (or
    // zero-length) packet, so read on until one comes.
    const bool replyEnded = result.information < options.length;
    if (!options.all && !outcome.data.empty() && replyEnded) break;
  }
  outcome.seconds = host::clock::Now() - start;
  return error;
}

// What is known before the machine boots is checked before it boots.
void CheckReadOptions(const ReadOptions &options) {
  CheckSeconds("--timeout", options.timeout, options.timeoutTyped);
  if (options.raw && options.common.json)
    BadInput("--raw and --json both write standard output: choose one (the JSON document's data_hex holds the bytes)");
  if (options.length % kPacketSize != 0)
    BadInput(fmt::format("--length {}: the value must be a multiple of the {}-byte packet size (the reply comes "
                         "in whole packets)",
                         options.length, kPacketSize));
  const uint32_t largest = MaxTransferSizeOf(options.common);
  if (options.length > largest)
    BadInput(fmt::format("--length {}: the value must be at most MaxTransferSize, {} bytes (the driver refuses a "
                         "larger read)",
                         options.length, largest));
}

int RunRead(const ReadOptions &options, Bench *bench) {
  CheckReadOptions(options);
  const std::string send = options.send ? Unescaped("--send", *options.send) : "";
  const std::string queue = options.queue ? Unescaped("--queue", *options.queue) : "";
  Session session(options.common, bench);
  Outcome outcome;
  std::optional<std::string> error;
  {
    host::DeviceHandle port = session.OpenPort();
    error = Send(port, send, MaxTransferSizeOf(options.common), outcome, InterfaceHint(options.common));
    if (!error && !queue.empty()) session.Printer().QueueBackChannel(queue);
    if (!error) error = ReadBackChannel(port, options, outcome);
  }
  const Verdict verdict = session.Finish();
  if (!error && outcome.data.empty())
    error = fmt::format("no data from the printer within {:g} s; the read was cancelled", options.timeout);
  error = ErrorLine(error, verdict);

  if (options.common.json) {
    Json document{{"port", session.PortName()},
                  {"bytes_sent", outcome.sent},
                  {"bytes", outcome.data.size()},
                  {"reads", outcome.reads},
                  {"timed_out", outcome.timedOut},
                  {"model_seconds", Seconds(outcome.seconds)},
                  {"text", Escaped(outcome.data)},
                  {"data_hex", HexBytes(outcome.data)}};
    AddVerdict(document, verdict);
    document["error"] = ErrorField(error, verdict);
    EmitJson(document, options.common);
  } else if (options.raw) {
    std::fwrite(outcome.data.data(), 1, outcome.data.size(), stdout);
  } else if (!options.common.quiet) {
    std::printf("Read %zu byte(s) from %s in %llu read(s), %.3f s of model time%s\n", outcome.data.size(),
                session.PortName().c_str(), static_cast<unsigned long long>(outcome.reads), Seconds(outcome.seconds),
                outcome.timedOut ? " (the last read timed out and was cancelled)" : "");
    if (!outcome.data.empty()) std::printf("  %s\n", Escaped(outcome.data).c_str());
  }
  FlushStandardOutput();
  return Conclude(error, verdict, Interrupted() ? InterruptExitStatus() : exit_code::kFailed);
}

}  // namespace

Command AddReadCommand(CLI::App &program) {
  auto options = std::make_shared<ReadOptions>();
  CLI::App *app = program.add_subcommand("read", "Read the printer's back channel, with a time-out");
  app->add_option("--send", options->send,
                  "Write this first (escapes \\n \\r \\t \\f \\e \\0 \\\\ \\xHH), e.g. a PJL query: "
                  "'\\e%-12345X@PJL INFO STATUS\\r\\n'")
      ->type_name("TEXT");
  app->add_option("--timeout", options->timeout, "Cancel the read after this many seconds (default 2)")
      ->type_name("SECONDS")
      ->each([options](const std::string &typed) { options->timeoutTyped = typed; });
  app->add_option("--length", options->length, "Bytes per read request (default 1024, at most MaxTransferSize)")
      ->type_name("BYTES")
      ->check(CLI::Range(1u, 1u << 20));
  app->add_flag("--all", options->all, "Keep reading until the time-out instead of stopping after the first reply");
  app->add_flag("--raw", options->raw, "Write the bytes read to standard output as they are");
  app->add_option("--queue", options->queue, "Test hook: bytes the printer has for the host before the read")
      ->type_name("TEXT");
  AddCommonOptions(*app, options->common);
  return {app, &options->common, [options](Bench *bench) { return RunRead(*options, bench); },
          [options] { *options = ReadOptions{}; }};
}

}  // namespace norvusb
