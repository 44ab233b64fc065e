// norvusb print: the main job. The document goes through the port as an
// application writes it, in requests of at most MaxTransferSize bytes, and
// the report says what the printer got and what it cost on the bus.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "include/bridge_ioctl.h"
#include "tools/commands.h"
#include "tools/decoded.h"
#include "tools/errors.h"
#include "tools/progress.h"
#include "tools/report.h"
#include "tools/session.h"
#include "tools/text.h"
#include "tools/vendor_replies.h"

namespace norvusb {

namespace {

// Full-speed bulk ceiling: 19 packets of 64 bytes in every 1 ms frame.
constexpr double kBulkLimitBytesPerSecond = 19.0 * 64.0 * 1000.0;
// How often a waiting print looks at its progress, in model time.
constexpr double kPollSeconds = 0.05;

struct PrintOptions {
  CommonOptions common;
  std::string file;
  double stallTimeout = 10.0;
  std::optional<uint64_t> offlineAfter;  // test hook: the printer goes off line after this many bytes
  std::optional<uint64_t> unplugAfter;   // test hook: the cable is pulled after this many bytes
};

std::vector<uint8_t> ReadDocument(const std::string &file) {
  try {
    if (file == "-") {
      std::vector<uint8_t> data{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
      if (std::cin.bad()) BadInput("cannot read standard input");
      return data;
    }
    if (std::filesystem::is_directory(file)) BadInput(fmt::format("cannot read {}: it is a folder", file));
    std::ifstream in(file, std::ios::binary);
    if (!in) BadInput(fmt::format("cannot read {}: {}", file, std::strerror(errno)));
    std::vector<uint8_t> data{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (in.bad()) BadInput(fmt::format("cannot read {}: {}", file, std::strerror(errno)));
    return data;
  } catch (const ToolError &) {
    throw;
  } catch (const std::exception &error) {
    BadInput(fmt::format("cannot read {}: {}", file, error.what()));
  }
}

// What happened to the job, counted as it ran.
struct Job {
  uint64_t total = 0;
  uint64_t written = 0;  // bytes the driver reported written
  uint64_t writeRequests = 0;
  int64_t started = 0;
  int64_t finished = 0;
  std::optional<std::string> error;
};

class Printing {
 public:
  Printing(Session &session, const PrintOptions &options, std::span<const uint8_t> data)
      : session_(session),
        options_(options),
        data_(data),
        chunk_(MaxTransferSizeOf(options.common)),
        progress_(data.size(), !options.common.quiet && ProgressBar::StderrIsTerminal()) {
    job_.total = data.size();
  }

  Job Run(host::DeviceHandle &port) {
    job_.started = host::clock::Now();
    FireHooks();
    while (job_.written < job_.total && !job_.error) {
      if (!WriteOne(port)) break;
      FireHooks();
    }
    if (!job_.error) AwaitPrinter();
    job_.finished = host::clock::Now();
    progress_.Update(session_.Printer().ReceivedCount(), Elapsed(), Holdup());
    progress_.Finish();
    return job_;
  }

 private:
  double Elapsed() const { return Seconds(host::clock::Now() - job_.started); }

  // The next request ends where a test hook fires, so that it fires at its byte.
  ULONG NextLength() const {
    uint64_t length = std::min<uint64_t>(chunk_, job_.total - job_.written);
    for (const auto &hook : {options_.offlineAfter, options_.unplugAfter})
      if (hook && *hook > job_.written) length = std::min(length, *hook - job_.written);
    return static_cast<ULONG>(length);
  }

  bool WriteOne(host::DeviceHandle &port) {
    const ULONG length = NextLength();
    auto pending = port.StartWrite(data_.data() + job_.written, length);
    if (!WaitWithoutStall(*pending)) {
      pending->Cancel();
      const host::IoResult cancelled = pending->Await();
      job_.written += cancelled.information;
      job_.error = StallMessage();
      return false;
    }
    const host::IoResult result = pending->Result();
    ++job_.writeRequests;
    job_.written += result.information;
    if (!NT_SUCCESS(result.status)) {
      job_.error = fmt::format("the write failed with {}{}", StatusText(result.status),
                               session_.Machine().IsPlugged(session_.BridgeIndex()) ? "" : ": the device is gone");
      return false;
    }
    return true;
  }

  // Waits for the request while the printer makes progress; false when it
  // made none for the stall time-out.
  bool WaitWithoutStall(host::PendingIo &pending) {
    uint64_t seen = session_.Printer().ReceivedCount();
    int64_t lastProgress = host::clock::Now();
    while (!pending.Wait(Units(kPollSeconds))) {
      const uint64_t received = session_.Printer().ReceivedCount();
      progress_.Update(received, Elapsed(), Holdup());
      if (received != seen) {
        seen = received;
        lastProgress = host::clock::Now();
      } else if (Seconds(host::clock::Now() - lastProgress) >= options_.stallTimeout) {
        return false;
      }
    }
    progress_.Update(session_.Printer().ReceivedCount(), Elapsed(), Holdup());
    return true;
  }

  // The bridge holds the last bytes in its FIFO until the printer takes them:
  // the job ends when they are printed, or when the printer stops taking data.
  void AwaitPrinter() {
    hardware::Printer &printer = session_.Printer();
    uint64_t seen = printer.ReceivedCount();
    int64_t lastProgress = host::clock::Now();
    while (seen < job_.written) {
      host::clock::SleepFor(Units(kPollSeconds));
      const uint64_t received = printer.ReceivedCount();
      progress_.Update(received, Elapsed(), Holdup());
      if (received != seen) {
        seen = received;
        lastProgress = host::clock::Now();
      } else if (Seconds(host::clock::Now() - lastProgress) >= options_.stallTimeout) {
        job_.error = StallMessage();
        return;
      }
    }
  }

  // What the status lines say holds the printer, for the progress bar; "" when nothing does.
  std::string Holdup() const {
    const std::vector<std::string> states = PrinterStates(session_.Printer().StatusLines());
    if (states.front() == "ready") return "";
    std::string words;
    for (const std::string &state : states) words += (words.empty() ? "" : ", ") + state;
    return "printer " + words;
  }

  std::string StallMessage() const {
    const hardware::Printer &printer = session_.Printer();
    return fmt::format("the printer took no data for {:g} s (status lines {}); the print was cancelled",
                       options_.stallTimeout, StatusLinesText(printer.StatusLines()));
  }

  void FireHooks() {
    if (options_.offlineAfter && job_.written == *options_.offlineAfter) {
      // Off line once it has printed exactly that much.
      session_.Printer().WaitForReceived(job_.written, std::chrono::seconds(10));
      session_.Printer().SetCondition(hardware::Condition::Offline, true);
    }
    if (options_.unplugAfter && job_.written == *options_.unplugAfter)
      session_.Machine().Unplug(session_.BridgeIndex());
  }

  Session &session_;
  const PrintOptions &options_;
  std::span<const uint8_t> data_;
  uint32_t chunk_;
  ProgressBar progress_;
  Job job_;
};

Json Report(const PrintOptions &options, const Session &session, const Job &job, const host::usb::PortStats &usb,
            uint64_t received, bool match, const Verdict &verdict) {
  const double seconds = Seconds(job.finished - job.started);
  Json rate = nullptr;
  Json utilisation = nullptr;
  if (seconds > 0 && job.written > 0) {
    rate = static_cast<double>(job.written) / seconds;
    // Without frames there is no bus to share.
    if (options.common.timing == "full-speed") utilisation = rate.get<double>() / kBulkLimitBytesPerSecond;
  }
  Json report{{"port", session.PortName()},
              {"file", options.file},
              {"bytes_total", job.total},
              {"bytes_written", job.written},
              {"bytes_received", received},
              {"match", match},
              {"complete", !job.error && match},
              {"write_requests", job.writeRequests},
              {"max_transfer_size", MaxTransferSizeOf(options.common)},
              {"bulk_transfers", usb.bulkTransfers},
              {"control_transfers", usb.controlTransfers},
              {"timing", options.common.timing},
              {"model_seconds", seconds},
              {"bytes_per_second", rate},
              {"bus_utilisation", utilisation}};
  AddVerdict(report, verdict);
  report["error"] = ErrorField(job.error);
  return report;
}

void PrintHuman(const Json &r, const std::string &delivered) {
  std::printf("%s %s on %s\n", r["complete"].get<bool>() ? "Printed" : "Incomplete print of",
              r["file"].get<std::string>().c_str(), r["port"].get<std::string>().c_str());
  std::printf("  written    %llu of %llu bytes in %llu write request(s) of at most %u bytes\n",
              r["bytes_written"].get<unsigned long long>(), r["bytes_total"].get<unsigned long long>(),
              r["write_requests"].get<unsigned long long>(), r["max_transfer_size"].get<unsigned>());
  std::printf("  received   %llu bytes by the printer: %s\n", r["bytes_received"].get<unsigned long long>(),
              delivered.c_str());
  std::printf("  USB        %llu bulk transfer(s), %llu control transfer(s) while printing\n",
              r["bulk_transfers"].get<unsigned long long>(), r["control_transfers"].get<unsigned long long>());
  std::string speed = "no time measured";
  if (!r["bytes_per_second"].is_null()) {
    speed = fmt::format("{}/s", HumanBytes(r["bytes_per_second"].get<double>()));
    if (!r["bus_utilisation"].is_null())
      speed += fmt::format(", {:.1f}% of the full-speed bulk limit", r["bus_utilisation"].get<double>() * 100);
  }
  std::printf("  time       %.3f s of model time (%s timing), %s\n", r["model_seconds"].get<double>(),
              r["timing"].get<std::string>().c_str(), speed.c_str());
  std::printf("  verifier   %s\n", VerdictText(r).c_str());
}

// How what the printer got compares with the document.
std::string Delivered(const std::vector<uint8_t> &received, const std::vector<uint8_t> &data) {
  if (received == data) return "identical to the file";
  if (received.size() < data.size() && std::equal(received.begin(), received.end(), data.begin()))
    return "the start of the file, intact";
  return "NOT what was sent";
}

int RunPrint(const PrintOptions &options, Bench *bench) {
  if (!(options.stallTimeout > 0)) BadInput("--stall-timeout must be above 0 seconds");
  const std::vector<uint8_t> data = ReadDocument(options.file);
  Session session(options.common, bench);
  const host::usb::PortStats before = session.Machine().Bus().Stats(session.UsbPort());

  Job job;
  {
    host::DeviceHandle port = session.OpenPort();
    Printing printing(session, options, data);
    job = printing.Run(port);
  }
  host::usb::PortStats usb = session.Machine().Bus().Stats(session.UsbPort());
  usb.bulkTransfers -= before.bulkTransfers;
  usb.controlTransfers -= before.controlTransfers;
  const std::vector<uint8_t> received = session.Printer().Received();
  const uint64_t receivedCount = session.Printer().ReceivedCount();
  const Verdict verdict = session.Finish();

  const Json report = Report(options, session, job, usb, receivedCount, received == data, verdict);
  if (options.common.json) {
    EmitJson(report, options.common);
  } else if (!options.common.quiet) {
    PrintHuman(report, Delivered(received, data));
  }
  std::fflush(stdout);
  const int status = ExitStatusFor(verdict);
  if (job.error)
    Fail(fmt::format("{}; {} of {} bytes delivered to the printer", *job.error, receivedCount, data.size()));
  if (received != data)
    Fail(fmt::format("the printer received {} bytes that differ from the {} bytes of {}", receivedCount, data.size(),
                     options.file));
  return status;
}

}  // namespace

Command AddPrintCommand(CLI::App &program) {
  auto options = std::make_shared<PrintOptions>();
  CLI::App *app = program.add_subcommand(
      "print", "Print FILE through the cable: boot, plug in, open the port, write, close, unplug, report");
  app->add_option("FILE", options->file, "The document to print; - for standard input")->required();
  app->add_option("--stall-timeout", options->stallTimeout,
                  "Cancel the print when the printer takes no data for this many seconds (default 10)")
      ->type_name("SECONDS");
  app->add_option("--offline-after", options->offlineAfter,
                  "Test hook: the printer goes off line once it has received this many bytes")
      ->type_name("BYTES");
  app->add_option("--unplug-after", options->unplugAfter,
                  "Test hook: the bridge is unplugged once this many bytes are written")
      ->type_name("BYTES");
  AddCommonOptions(*app, options->common);
  return {app, &options->common, [options](Bench *bench) { return RunPrint(*options, bench); }};
}

}  // namespace norvusb
