// norvusb.exe print: the files to a real port as raw bytes, in requests of
// at most MaxTransferSize, then a wait until the bridge's queue is empty
// (asked with vendor-5, as a print monitor asks). A write the printer does
// not take within --stall-timeout is ended (system.cpp says how).
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>

#include "host/hardware/bridge_protocol.h"
#include "include/bridge_ioctl.h"
#include "tools/errors.h"
#include "tools/json_text.h"
#include "tools/sha256.h"
#include "tools/text.h"
#include "tools/vendor_replies.h"
#include "tools/win32/jobs.h"
#include "tools/win32/port_choice.h"

namespace norvusb::win32 {

namespace {

namespace hw = host::hardware;

// The driver's default MaxTransferSize; the driver refuses larger requests.
constexpr uint32_t kRequestSize = 4096;
// How often the bridge is asked whether its queue is empty.
constexpr double kPollSeconds = 0.05;

struct Input {
  std::string name;  // as given
  std::FILE *file = nullptr;
  std::optional<uint64_t> size;
};

struct Job {
  std::string title;
  std::vector<Input *> inputs;
  std::optional<uint64_t> total;
  uint64_t written = 0;
  uint64_t requests = 0;
  uint64_t queued = 0;  // still in the bridge when the job stopped
  double seconds = 0;
  Sha256 digest;
  std::optional<std::string> error;
  bool printed = false;
  bool complete = false;
};

std::string Count(uint64_t bytes) { return fmt::format("{} byte{}", bytes, bytes == 1 ? "" : "s"); }

std::string BaseName(const std::string &path) {
  const size_t slash = path.find_last_of("/\\:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Every file is opened before the port is: a file that cannot be read is a
// bad command line, and nothing has been sent.
std::vector<Input> OpenInputs(const std::vector<std::string> &files) {
  std::vector<Input> inputs;
  bool standardInput = false;
  for (const std::string &name : files) {
    Input input{name};
    if (name == "-") {
      if (standardInput) BadInput("- (standard input) is given twice: it can be read once");
      standardInput = true;
      input.file = stdin;
    } else {
      input.file = std::fopen(name.c_str(), "rb");
      if (input.file == nullptr) BadInput(fmt::format("cannot read {}: {}", TerminalSafe(name), std::strerror(errno)));
      const long long size = _filelengthi64(_fileno(input.file));
      if (size >= 0) input.size = static_cast<uint64_t>(size);
    }
    inputs.push_back(input);
  }
  return inputs;
}

std::optional<hw::PortStatusReply> PortStatus(RealPort &port) {
  std::array<uint8_t, hw::kVendorReplySize> reply{};
  const PortIo result = port.Control(IOCTL_BRIDGE_VENDOR_5, nullptr, 0, reply.data(), static_cast<uint32_t>(reply.size()));
  if (result.status < 0 || result.information != reply.size()) return std::nullopt;
  return hw::DecodePortStatus(reply);
}

std::string Delivered(const Job &job) {
  const uint64_t delivered = job.written - std::min(job.written, job.queued);
  if (job.total) return fmt::format("{} of {} delivered to the printer", delivered, Count(*job.total));
  return fmt::format("{} delivered to the printer; the input was not read to its end", Count(delivered));
}

class Printer {
 public:
  Printer(const PrintOptions &options, uint64_t grandTotal, bool progress)
      : options_(options), grandTotal_(grandTotal), progress_(progress) {}

  // Sends the job and waits until the bridge has handed the printer all of it.
  void Print(Job &job, RealPort &port) {
    port_ = &port;
    const double start = Seconds();
    std::vector<uint8_t> buffer(kRequestSize);
    for (Input *input : job.inputs) {
      while (!job.error) {
        const size_t got = std::fread(buffer.data(), 1, buffer.size(), input->file);
        if (got == 0) {
          if (std::ferror(input->file)) job.error = fmt::format("cannot read {}: the read failed", TerminalSafe(input->name));
          break;
        }
        job.digest.Update({buffer.data(), got});
        Send(job, buffer.data(), static_cast<uint32_t>(got));
      }
    }
    if (!job.error) Drain(job);
    job.seconds = Seconds() - start;
    if (job.error) job.error = *job.error + "; " + Delivered(job);
    job.complete = !job.error;
  }

 private:
  void Send(Job &job, uint8_t *data, uint32_t length) {
    for (uint32_t at = 0; at < length && !job.error;) {
      bool timedOut = false;
      const PortIo result = port_->TimedTransfer(true, data + at, length - at, options_.stallTimeout, timedOut);
      job.written += result.information;
      done_ += result.information;
      ++job.requests;
      at += static_cast<uint32_t>(result.information);
      Show(job);
      if (Interrupted()) {
        job.error = "interrupted by Ctrl-C";
      } else if (timedOut) {
        job.error = StallText(job);
      } else if (result.status < 0) {
        const bool gone = static_cast<uint32_t>(result.status) == 0xC000009Du;
        job.error = fmt::format("the write failed with {}{}", StatusText(result.status), gone ? ": the device is gone" : "");
      }
    }
  }

  // Until the bridge's queue is empty, or it has not moved for the time-out.
  void Drain(Job &job) {
    double lastMove = Seconds();
    uint64_t last = UINT64_MAX;
    while (const auto status = PortStatus(*port_)) {
      job.queued = status->fifoLevel;
      if (status->fifoLevel == 0) return;
      if (status->fifoLevel < last) lastMove = Seconds();
      last = status->fifoLevel;
      if (Interrupted()) {
        job.error = "interrupted by Ctrl-C";
        return;
      }
      if (Seconds() - lastMove >= options_.stallTimeout) {
        job.error = fmt::format("the printer took no data for {:g} s (status lines {}); the print was cancelled",
                                options_.stallTimeout, StatusLinesText(status->statusLines));
        return;
      }
      Pause(kPollSeconds);
    }
  }

  std::string StallText(Job &job) {
    const auto status = PortStatus(*port_);
    if (status) job.queued = status->fifoLevel;
    return status ? fmt::format("the printer took no data for {:g} s (status lines {}); the print was cancelled",
                                options_.stallTimeout, StatusLinesText(status->statusLines))
                  : fmt::format("the printer took no data for {:g} s; the print was cancelled", options_.stallTimeout);
  }

  // A one-line bar on the console: share, bytes and rate.
  void Show(const Job &job) {
    if (!progress_) return;
    const double seconds = Seconds() - started_;
    const double rate = seconds > 0 ? static_cast<double>(done_) / seconds : 0;
    std::string line;
    if (grandTotal_ != 0) {
      const int width = std::max(10, std::min(40, ConsoleColumns() - 40));
      const int filled = static_cast<int>(static_cast<double>(done_) / static_cast<double>(grandTotal_) * width);
      line = fmt::format("[{}{}] {:3}%  {} / {}", std::string(filled, '#'), std::string(width - filled, '-'),
                         done_ * 100 / grandTotal_, HumanBytes(static_cast<double>(done_)),
                         HumanBytes(static_cast<double>(grandTotal_)));
    } else {
      line = HumanBytes(static_cast<double>(done_));
    }
    line += fmt::format("  {}/s", HumanBytes(rate));
    (void)job;
    std::fprintf(stderr, "\r%-*.*s", ConsoleColumns() - 1, ConsoleColumns() - 1, line.c_str());
    shown_ = true;
  }

 public:
  void EndLine() {
    if (shown_) std::fprintf(stderr, "\n");
  }

 private:
  RealPort *port_ = nullptr;
  const PrintOptions &options_;
  uint64_t grandTotal_;
  bool progress_;
  uint64_t done_ = 0;
  double started_ = Seconds();
  bool shown_ = false;
};

Json JobJson(const Job &job) {
  std::vector<std::string> files;
  for (const Input *input : job.inputs) files.push_back(input->name);
  return Json{{"title", job.title},
              {"files", files},
              {"printed", job.printed},
              {"bytes_total", job.total ? Json(*job.total) : Json(nullptr)},
              {"bytes_written", job.written},
              {"complete", job.complete},
              {"write_requests", job.requests},
              {"seconds", job.seconds},
              {"sha256", job.printed ? Json(job.digest.Hex()) : Json(nullptr)},
              {"error", job.error ? Json(*job.error) : Json(nullptr)}};
}

void Report(const Job &job, const std::string &port) {
  std::string names;
  for (const Input *input : job.inputs) names += (names.empty() ? "" : ", ") + TerminalSafe(input->name);
  if (!job.printed) {
    std::printf("Not printed: %s on %s, job \"%s\": an earlier job stopped the run\n", names.c_str(), port.c_str(),
                TerminalSafe(job.title).c_str());
    return;
  }
  const char *verb = job.complete ? "Printed" : Interrupted() ? "Interrupted print of" : "Incomplete print of";
  std::printf("%s %s on %s, job \"%s\"\n", verb, names.c_str(), port.c_str(), TerminalSafe(job.title).c_str());
  const std::string total = job.total ? Count(*job.total) : "an unknown number of bytes";
  std::printf("  written    %llu of %s in %llu write request(s) of at most %u bytes\n",
              static_cast<unsigned long long>(job.written), total.c_str(),
              static_cast<unsigned long long>(job.requests), kRequestSize);
  if (job.seconds > 0 && job.written > 0)
    std::printf("  time       %.3f s, %s/s\n", job.seconds, HumanBytes(static_cast<double>(job.written) / job.seconds).c_str());
  else
    std::printf("  time       %.3f s\n", job.seconds);
}

}  // namespace

int RunPrint(const PrintOptions &options) {
  if (!(options.stallTimeout >= 0.001 && options.stallTimeout <= 4000000))
    BadInput(fmt::format("--stall-timeout {:g}: the value must be a number of seconds from 0.001 to 4000000",
                         options.stallTimeout));
  std::vector<Input> inputs = OpenInputs(options.files);
  const unsigned number = ChosenPort(options.common.port);
  std::vector<Job> jobs;
  for (Input &input : inputs) {
    if (jobs.empty() || options.jobPerFile) {
      jobs.emplace_back();
      jobs.back().title = options.title.value_or(input.name == "-" ? "(standard input)" : BaseName(input.name));
      jobs.back().total = 0;
    }
    Job &job = jobs.back();
    job.inputs.push_back(&input);
    job.total = job.total && input.size ? std::optional<uint64_t>(*job.total + *input.size) : std::nullopt;
  }
  uint64_t grandTotal = 0;
  for (const Job &job : jobs) grandTotal += job.total.value_or(0);
  const bool progress = !options.common.quiet && !options.common.json && StderrIsConsole();

  std::optional<std::string> error;
  {
    // Refused before anything is sent: a port that is missing or in use.
    std::unique_ptr<RealPort> port = Open(number);
    Printer printer(options, grandTotal, progress);
    for (Job &job : jobs) {
      // Each job opens and closes the port, as a spooler does.
      if (!port) port = Open(number);
      job.printed = true;
      printer.Print(job, *port);
      port.reset();
      if (job.error) {
        error = job.error;
        break;
      }
    }
    printer.EndLine();
  }
  for (Input &input : inputs)
    if (input.file != stdin) std::fclose(input.file);

  Json document{{"port", PortName(number)}};
  Json files = Json::array(), list = Json::array();
  uint64_t written = 0, requests = 0;
  double seconds = 0;
  std::optional<uint64_t> total = 0;
  for (const Job &job : jobs) {
    for (const Input *input : job.inputs) files.push_back(input->name);
    list.push_back(JobJson(job));
    written += job.written;
    requests += job.requests;
    seconds += job.seconds;
    total = total && job.total ? std::optional<uint64_t>(*total + *job.total) : std::nullopt;
  }
  document["file"] = files.size() == 1 ? files[0] : Json(nullptr);
  document["files"] = files;
  document["bytes_total"] = total ? Json(*total) : Json(nullptr);
  document["bytes_written"] = written;
  document["complete"] = !error;
  document["interrupted"] = Interrupted();
  document["write_requests"] = requests;
  document["seconds"] = seconds;
  document["bytes_per_second"] = seconds > 0 && written > 0 ? Json(static_cast<double>(written) / seconds) : Json(nullptr);
  document["max_transfer_size"] = kRequestSize;
  document["jobs"] = list;
  document["error"] = error ? Json(*error) : Json(nullptr);
  if (options.common.json) {
    PrintJson(document);
  } else if (!options.common.quiet) {
    for (const Job &job : jobs) Report(job, PortName(number));
  }
  std::fflush(stdout);
  if (error) throw ToolError(Interrupted() ? 130 : exit_code::kFailed, *error);
  return exit_code::kOk;
}

}  // namespace norvusb::win32
