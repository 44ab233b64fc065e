#include "tools/win32/jobs.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <fmt/format.h>

#include "tools/device_id.h"
#include "tools/errors.h"
#include "tools/json_text.h"
#include "tools/port_name.h"
#include "tools/port_state.h"
#include "tools/requests.h"
#include "tools/text.h"
#include "tools/vendor_replies.h"
#include "tools/win32/port_choice.h"
#include "tools/win32/system.h"

namespace norvusb::win32 {

namespace {

// The report or the document, then the error line and its status.
int Finish(Json &document, const CommonOptions &options, const std::optional<std::string> &error,
           void (*report)(const Json &document) = nullptr) {
  document["error"] = error ? Json(*error) : Json(nullptr);
  if (options.json)
    PrintJson(document);
  else if (!options.quiet && report != nullptr)
    report(document);
  std::fflush(stdout);
  // Ctrl-C ends as SIGINT does on Linux: 128 + 2.
  if (error) throw ToolError(Interrupted() ? 130 : exit_code::kFailed, *error);
  return exit_code::kOk;
}

int SendAndReport(const CommonOptions &options, const Request &request, const std::string &given,
                  const std::vector<uint8_t> &input, uint32_t outputLength) {
  const unsigned number = ChosenPort(options.port);
  std::unique_ptr<RealPort> port = Open(number);
  RequestOutcome outcome = SendRequest(*port, request, given, PortName(number), input, outputLength);
  port.reset();
  if (!options.json && !options.quiet) PrintRequestReport(outcome);
  return Finish(outcome.document, options, outcome.error);
}

}  // namespace

int RunIoctl(const IoctlOptions &options) {
  const Request request = FindRequest(options.request);
  const std::vector<uint8_t> input = RequestInput(request, options.request, options.arguments, options.input);
  return SendAndReport(options.common, request, options.request, input, options.length.value_or(request.outputLength));
}

int RunNamedRequest(const CommonOptions &options, const std::string &name) {
  const Request request = FindRequest(name);
  return SendAndReport(options, request, name, {}, request.outputLength);
}

int RunStatus(const CommonOptions &options) {
  std::vector<unsigned> numbers;
  if (options.port)
    numbers.push_back(ChosenPort(options.port));
  else
    numbers = ExistingPorts();
  if (numbers.empty()) BadInput(NoPortText());
  Json ports = Json::array();
  std::optional<std::string> error;
  for (unsigned number : numbers) {
    Json state{{"port", PortName(number)}, {"usb_port", nullptr}, {"bridge", "Started"}, {"problem", 0},
               {"printer", Json::array({"unknown"})}, {"status_lines", nullptr}, {"status_lines_text", nullptr},
               {"queued", nullptr}, {"fifo_free", nullptr}, {"back_channel", nullptr}, {"make_and_model", ""},
               {"error", nullptr}};
    Opened opened = OpenPort(number);
    if (opened.failure == OpenFailure::NoSuchPort) BadInput(OpenFailureText(number, opened));
    if (opened.port) {
      AddPortReplies(state, *opened.port);
    } else {
      state["bridge"] = opened.failure == OpenFailure::InUse ? "in use" : "unknown";
      state["error"] = OpenFailureText(number, opened);
    }
    if (!state["error"].is_null() && !error) {
      const std::string text = state["error"].get<std::string>();
      error = text.starts_with(PortName(number) + " ") ? text : fmt::format("{}: {}", PortName(number), text);
    }
    ports.push_back(state);
  }
  Json document{{"ports", ports}};
  return Finish(document, options, error, [](const Json &d) { PrintStates(d["ports"]); });
}

int RunPorts(const CommonOptions &options) {
  Json ports = Json::array();
  for (unsigned number : ExistingPorts()) {
    Json entry{{"port", PortName(number)}, {"in_use", false}, {"ieee1284_id", nullptr}, {"make_and_model", nullptr}};
    Opened opened = OpenPort(number);
    if (!opened.port) {
      entry["in_use"] = opened.failure == OpenFailure::InUse;
    } else if (const auto id = ReadDeviceId(*opened.port, 1024)) {
      entry["ieee1284_id"] = DeviceIdText(id->buffer);
      entry["make_and_model"] = MakeAndModel(DeviceIdText(id->buffer));
    }
    ports.push_back(entry);
  }
  Json document{{"ports", ports}};
  return Finish(document, options, std::nullopt, [](const Json &d) {
    if (d["ports"].empty()) std::printf("No NorvUSB port now: is the cable plugged in and its driver installed?\n");
    for (const Json &p : d["ports"]) {
      std::string printer = p["in_use"].get<bool>() ? "(in use by another program)"
                            : p["ieee1284_id"].is_null() ? "(the printer gave no ID)"
                                                         : Printable(p["ieee1284_id"].get<std::string>());
      std::printf("%-9s %s\n", p["port"].get<std::string>().c_str(), printer.c_str());
    }
  });
}

namespace {

// The bulk IN pipe's packet size: a read of another length could end in the
// middle of a packet.
constexpr unsigned kPacketSize = 64;
// The driver's default MaxTransferSize: --send goes in requests no larger.
constexpr uint32_t kSendChunk = 4096;

void CheckReadOptions(const ReadOptions &options) {
  if (!(options.timeout >= 0.001 && options.timeout <= 4000000))  // NaN too; DWORD milliseconds
    BadInput(fmt::format("--timeout {:g}: the value must be a number of seconds from 0.001 to 4000000", options.timeout));
  if (options.raw && options.common.json)
    BadInput("--raw and --json both write standard output: choose one (the JSON document's data_hex holds the bytes)");
  if (options.length == 0 || options.length % kPacketSize != 0 || options.length > (1u << 20))
    BadInput(fmt::format("--length {}: the value must be a multiple of the {}-byte packet size (the reply comes "
                         "in whole packets), at most 1048576",
                         options.length, kPacketSize));
}

struct ReadOutcome {
  std::vector<uint8_t> data;
  uint64_t reads = 0;
  uint64_t sent = 0;
  bool timedOut = false;
  double seconds = 0;
};

std::optional<std::string> Send(RealPort &port, const std::string &bytes, ReadOutcome &outcome) {
  for (size_t at = 0; at < bytes.size();) {
    const uint32_t length = static_cast<uint32_t>(std::min<size_t>(kSendChunk, bytes.size() - at));
    const PortIo result = port.Write(bytes.data() + at, length);
    outcome.sent += result.information;
    if (result.status < 0)
      return fmt::format("the write of --send failed with {}; {} of {} byte(s) sent", StatusText(result.status),
                         outcome.sent, bytes.size());
    at += result.information;
  }
  return std::nullopt;
}

// Reads until the reply ends (a short read), or the time-out with --all.
std::optional<std::string> ReadBackChannel(RealPort &port, const ReadOptions &options, ReadOutcome &outcome) {
  const double start = Seconds();
  std::vector<uint8_t> buffer(options.length);
  while (true) {
    const double left = std::max(0.0, start + options.timeout - Seconds());
    const PortIo result = port.TimedTransfer(false, buffer.data(), options.length, left, outcome.timedOut);
    ++outcome.reads;
    outcome.data.insert(outcome.data.end(), buffer.begin(),
                        buffer.begin() + static_cast<ptrdiff_t>(std::min<uint64_t>(result.information, buffer.size())));
    outcome.seconds = Seconds() - start;
    if (Interrupted()) return "interrupted by Ctrl-C";
    if (outcome.timedOut) return std::nullopt;
    if (result.status < 0) return fmt::format("the read failed with {}", StatusText(result.status));
    const bool replyEnded = result.information < options.length;
    if (!options.all && !outcome.data.empty() && replyEnded) return std::nullopt;
  }
}

}  // namespace

int RunRead(const ReadOptions &options) {
  CheckReadOptions(options);
  const std::string send = options.send ? Unescaped("--send", *options.send) : "";
  const unsigned number = ChosenPort(options.common.port);
  ReadOutcome outcome;
  std::optional<std::string> error;
  {
    std::unique_ptr<RealPort> port = Open(number);
    error = Send(*port, send, outcome);
    if (!error) error = ReadBackChannel(*port, options, outcome);
  }
  if (!error && outcome.data.empty())
    error = fmt::format("no data from the printer within {:g} s; the read was cancelled", options.timeout);
  Json document{{"port", PortName(number)},      {"bytes_sent", outcome.sent},
                {"bytes", outcome.data.size()},  {"reads", outcome.reads},
                {"timed_out", outcome.timedOut}, {"seconds", outcome.seconds},
                {"text", Escaped(outcome.data)}, {"data_hex", HexBytes(outcome.data)}};
  if (options.raw) {
    std::fwrite(outcome.data.data(), 1, outcome.data.size(), stdout);
    return Finish(document, CommonOptions{options.common.port, false, true}, error);
  }
  return Finish(document, options.common, error, [](const Json &d) {
    std::printf("Read %llu byte(s) from %s in %llu read(s), %.3f s%s\n", d["bytes"].get<unsigned long long>(),
                d["port"].get<std::string>().c_str(), d["reads"].get<unsigned long long>(), d["seconds"].get<double>(),
                d["timed_out"].get<bool>() ? " (the last read timed out and was cancelled)" : "");
    if (d["bytes"].get<uint64_t>() != 0) std::printf("  %s\n", d["text"].get<std::string>().c_str());
  });
}

}  // namespace norvusb::win32
