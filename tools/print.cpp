// norvusb print: the main job. Each document goes through the port as an
// application writes it, in requests of at most MaxTransferSize bytes, read
// from its file as it goes; the report says what the printer got and what it
// cost on the bus.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "host/hardware/bridge_protocol.h"
#include "include/bridge_ioctl.h"
#include "tools/commands.h"
#include "tools/decoded.h"
#include "tools/errors.h"
#include "tools/interrupt.h"
#include "tools/output.h"
#include "tools/print_stream.h"
#include "tools/progress.h"
#include "tools/report.h"
#include "tools/render.h"
#include "tools/session.h"
#include "tools/text.h"
#include "tools/vendor_replies.h"

namespace norvusb {

namespace {

// Full-speed bulk ceiling: 19 packets of 64 bytes in every 1 ms frame.
constexpr double kBulkLimitBytesPerSecond = 19.0 * 64.0 * 1000.0;
// How often a waiting print looks at its progress, in model time.
constexpr double kPollSeconds = 0.05;
// How often the bridge is asked for its port status while the printer takes
// nothing (the same rate as a print monitor's).
constexpr double kAskSeconds = 1.0;

struct PrintOptions {
  CommonOptions common;
  std::vector<std::string> files;        // none: standard input, as lp reads it
  unsigned copies = 1;                   // -n: the document this many times in its job
  bool verbose = false;                  // -v: the digests too
  std::optional<std::string> title;      // -t: the job's name
  bool jobPerFile = false;               // one job per FILE instead of one for all
  std::optional<std::string> render;     // PNG of the first page the printer received
  unsigned renderResolution = kDefaultRenderResolution;
  double stallTimeout = 10.0;
  std::string stallTimeoutTyped;
  std::optional<std::string> offlineAfter;  // test hook: the printer goes off line after this many bytes
  std::optional<std::string> unplugAfter;   // test hook: the cable is pulled after this many bytes
};

// The test hooks, checked, with the bytes written so far over every job.
struct Hooks {
  std::optional<uint64_t> offlineAfter;
  std::optional<uint64_t> unplugAfter;
  uint64_t written = 0;
};

// What happened to one job, counted as it ran.
struct Job {
  std::string title;
  std::vector<std::string> files;
  std::optional<uint64_t> total;  // the document's size; unknown for a stream that did not end
  uint64_t written = 0;           // bytes the driver reported written
  uint64_t received = 0;
  std::optional<uint64_t> firstDifference;
  uint64_t writeRequests = 0;
  host::usb::PortStats usb;
  int64_t started = 0;
  int64_t finished = 0;
  std::string sentDigest;
  std::string receivedDigest;
  std::optional<std::string> error;
  bool printed = false;      // false: an earlier job stopped the run before this one
  bool interrupted = false;  // a signal stopped it
  // Acknowledged by the bridge but not taken by the printer when the job
  // stopped: the bridge keeps them across resets, so they print first.
  uint64_t queuedInBridge = 0;

  bool Match() const { return !firstDifference && total && received == *total; }
};

std::string Count(uint64_t bytes) { return fmt::format("{} byte{}", bytes, bytes == 1 ? "" : "s"); }

// "N of M bytes delivered", or what stands for M when the input never ended.
std::string DeliveredText(const Job &job) {
  if (job.total) return fmt::format("{} of {} delivered to the printer", job.received, Count(*job.total));
  return fmt::format("{} delivered to the printer; the input was not read to its end", Count(job.received));
}

// What the bridge still holds after a job that stopped.
std::string QueuedText(const Job &job) {
  if (job.queuedInBridge == 0) return "";
  return fmt::format("; {} remain in the bridge and will print first when the printer takes data again",
                     Count(job.queuedInBridge));
}

std::optional<hardware::PortStatusReply> PollPortStatus(host::DeviceHandle &port) {
  std::array<uint8_t, hardware::kVendorReplySize> reply{};
  const host::IoResult result = port.DeviceControl(IOCTL_BRIDGE_VENDOR_5, nullptr, 0, reply.data(),
                                                   static_cast<ULONG>(reply.size()));
  if (!NT_SUCCESS(result.status) || result.information != reply.size()) return std::nullopt;
  return hardware::DecodePortStatus(reply);
}

class Printing {
 public:
  Printing(Session &session, const PrintOptions &options, Hooks &hooks, Document &document, ProgressBar &progress)
      : session_(session), options_(options), hooks_(hooks), document_(document), progress_(progress),
        buffer_(MaxTransferSizeOf(options.common)) {}

  // Writes the document through `port` and waits until the printer took it.
  // The counters are read before the port closes: once it is closed, a
  // bridge that was pulled goes away with its counters.
  void Run(host::DeviceHandle &port, Job &job, const host::usb::PortStats &before) {
    job_ = &job;
    job.started = host::clock::Now();
    while (!job.error && WriteNext(port)) {
    }
    if (!job.error) AwaitPrinter(port);
    job.finished = host::clock::Now();
    job.usb = session_.Machine().Bus().Stats(session_.UsbPort());
    job.usb.bulkTransfers -= before.bulkTransfers;
    job.usb.controlTransfers -= before.controlTransfers;
    if (job.error)
      if (const auto status = PollPortStatus(port)) job.queuedInBridge = status->fifoLevel;
    progress_.Update(compare_.Received(), Elapsed(), holdup_);
  }

  StreamCompare &Compare() { return compare_; }

 private:
  double Elapsed() const { return Seconds(host::clock::Now() - job_->started); }

  // The next request ends where the unplug hook fires, so that it fires at its byte.
  size_t NextLength() const {
    size_t length = buffer_.size();
    if (hooks_.unplugAfter && *hooks_.unplugAfter > hooks_.written)
      length = static_cast<size_t>(std::min<uint64_t>(length, *hooks_.unplugAfter - hooks_.written));
    return length;
  }

  // False at the end of the document or when the write failed.
  bool WriteNext(host::DeviceHandle &port) {
    if (StopIfInterrupted()) return false;
    if (hooks_.unplugAfter && hooks_.written == *hooks_.unplugAfter) session_.Machine().Unplug(session_.BridgeIndex());
    const size_t length = document_.Read(std::span(buffer_).first(NextLength()));
    if (length == 0) return false;
    compare_.Sent(std::span(buffer_).first(length));
    auto pending = port.StartWrite(buffer_.data(), static_cast<ULONG>(length));
    if (!WaitWithoutStall(port, *pending)) {
      pending->Cancel();
      const host::IoResult result = pending->Await();
      Count(result.information);
      if (!StopIfInterrupted()) job_->error = StallMessage(port);
      return false;
    }
    const host::IoResult result = pending->Result();
    ++job_->writeRequests;
    Count(result.information);
    if (!NT_SUCCESS(result.status)) {
      const bool gone = !session_.Machine().IsPlugged(session_.BridgeIndex());
      job_->error = fmt::format("the write failed with {}{}", StatusText(result.status),
                                gone ? ": the device is gone"
                                : result.status == STATUS_INVALID_PARAMETER ? InterfaceHint(options_.common)
                                                                            : "");
      return false;
    }
    return true;
  }

  // A signal asked the job to stop: it ends here, at a clean point.
  bool StopIfInterrupted() {
    if (!Interrupted()) return false;
    job_->error = InterruptText();
    job_->interrupted = true;
    return true;
  }

  void Count(uint64_t written) {
    job_->written += written;
    hooks_.written += written;
  }

  // Waits for the request while the printer makes progress; false when it
  // took nothing for the stall time-out, or a signal asked the job to stop.
  // A printer that has taken nothing for a while is asked what holds it, once
  // a second, as a print monitor does.
  bool WaitWithoutStall(host::DeviceHandle &port, host::PendingIo &pending) {
    uint64_t seen = compare_.Received();
    int64_t lastProgress = host::clock::Now();
    int64_t lastAsked = lastProgress;
    while (!pending.Wait(Units(kPollSeconds))) {
      if (Interrupted()) return false;
      const uint64_t received = compare_.Received();
      const int64_t now = host::clock::Now();
      if (received != seen) {
        seen = received;
        lastProgress = lastAsked = now;
        holdup_.clear();
      } else if (Seconds(now - lastProgress) >= options_.stallTimeout) {
        return false;
      } else if (Seconds(now - lastAsked) >= kAskSeconds) {
        lastAsked = now;
        if (const auto status = PollPortStatus(port)) holdup_ = HoldupOf(status->statusLines);
      }
      progress_.Update(received, Elapsed(), holdup_);
    }
    progress_.Update(compare_.Received(), Elapsed(), holdup_);
    return true;
  }

  // The bridge holds the last bytes in its FIFO until the printer takes them.
  // As a print monitor does, ask the bridge for its port status until the
  // FIFO is empty: again 50 ms after the printer took data (so that the end
  // shows at once), else once a second, until the printer has taken nothing
  // for the stall time-out.
  void AwaitPrinter(host::DeviceHandle &port) {
    uint64_t seen = compare_.Received();
    int64_t lastProgress = host::clock::Now();
    while (true) {
      if (StopIfInterrupted()) return;
      const auto status = PollPortStatus(port);
      if (status) holdup_ = HoldupOf(status->statusLines);
      progress_.Update(compare_.Received(), Elapsed(), holdup_);
      if (!status) {
        const bool gone = !session_.Machine().IsPlugged(session_.BridgeIndex());
        // Pulled after the last byte: what the printer took says whether it got it all.
        if (gone && compare_.Received() == job_->written && !compare_.FirstDifference()) return;
        job_->error = gone ? "the device is gone: the bridge was unplugged before the printer took the last byte"
                           : "the bridge did not answer the port status request";
        return;
      }
      if (status->fifoLevel == 0) return;
      if (Seconds(host::clock::Now() - lastProgress) >= options_.stallTimeout) {
        job_->error = StallText(status->statusLines);
        return;
      }
      const int64_t asked = host::clock::Now();
      while (!Interrupted()) {
        host::clock::SleepFor(Units(kPollSeconds));
        const int64_t now = host::clock::Now();
        if (const uint64_t received = compare_.Received(); received != seen) {
          seen = received;
          lastProgress = now;
          break;
        }
        progress_.Update(seen, Elapsed(), holdup_);
        if (Seconds(now - asked) >= kAskSeconds || Seconds(now - lastProgress) >= options_.stallTimeout) break;
      }
    }
  }

  std::string StallMessage(host::DeviceHandle &port) {
    const auto status = PollPortStatus(port);
    if (status) holdup_ = HoldupOf(status->statusLines);
    return status ? StallText(status->statusLines)
                  : fmt::format("the printer took no data for {:g} s; the print was cancelled", options_.stallTimeout);
  }

  std::string StallText(uint8_t statusLines) const {
    return fmt::format("the printer took no data for {:g} s (status lines {}); the print was cancelled",
                       options_.stallTimeout, StatusLinesText(statusLines));
  }

  Session &session_;
  const PrintOptions &options_;
  Hooks &hooks_;
  Document &document_;
  ProgressBar &progress_;
  std::vector<uint8_t> buffer_;
  StreamCompare compare_;
  std::string holdup_;  // what the last port status said holds the printer, for the progress bar
  Job *job_ = nullptr;
};

// One job on the port: open, write, wait for the printer, close.
Job PrintJob(Session &session, const PrintOptions &options, Hooks &hooks, Document &document, Job job) {
  ProgressBar progress(document.KnownSize(), !options.common.quiet && ProgressBar::StderrIsTerminal(),
                       options.common.timing != "real-time");
  Printing printing(session, options, hooks, document, progress);
  session.ObserveReceived([&compare = printing.Compare()](std::span<const uint8_t> bytes) { compare.Taken(bytes); });
  job.printed = true;
  {
    std::optional<host::DeviceHandle> port;
    std::optional<host::usb::PortStats> before;
    try {
      before = session.Machine().Bus().Stats(session.UsbPort());
      port.emplace(session.OpenPort());
    } catch (const ToolError &error) {
      // A port that is gone (an earlier job's unplug) stops this job, reported as such.
      job.error = error.what();
      job.started = job.finished = host::clock::Now();
    }
    if (port) printing.Run(*port, job, *before);
  }
  progress.Finish();
  session.ObserveReceived({});
  job.received = printing.Compare().Received();
  job.firstDifference = printing.Compare().FirstDifference();
  job.receivedDigest = printing.Compare().Digest();
  job.sentDigest = document.Digest();
  // The whole size is known once the input ended, even from a pipe.
  job.total = document.Ended() ? std::optional(document.BytesRead()) : document.KnownSize();
  if (job.error) *job.error += "; " + DeliveredText(job) + QueuedText(job);
  return job;
}

Json JobJson(const Job &job, const std::string &timing) {
  const double seconds = Seconds(job.finished - job.started);
  Json rate = nullptr;
  Json utilisation = nullptr;
  if (seconds > 0 && job.written > 0) {
    rate = static_cast<double>(job.written) / seconds;
    // Without frames there is no bus to share.
    if (timing != "instant") utilisation = rate.get<double>() / kBulkLimitBytesPerSecond;
  }
  return Json{{"title", job.title},
              {"files", job.files},
              {"printed", job.printed},
              {"interrupted", job.interrupted},
              {"bytes_total", job.total ? Json(*job.total) : Json(nullptr)},
              {"bytes_written", job.written},
              {"bytes_received", job.received},
              {"match", job.Match()},
              {"complete", !job.error && job.Match()},
              {"first_difference", job.firstDifference ? Json(*job.firstDifference) : Json(nullptr)},
              {"bytes_queued_in_bridge", job.queuedInBridge},
              {"write_requests", job.writeRequests},
              {"bulk_transfers", job.usb.bulkTransfers},
              {"control_transfers", job.usb.controlTransfers},
              {"model_seconds", seconds},
              {"bytes_per_second", rate},
              {"bus_utilisation", utilisation},
              {"sha256", job.printed ? Json(job.sentDigest) : Json(nullptr)},
              {"received_sha256", job.printed ? Json(job.receivedDigest) : Json(nullptr)},
              {"error", job.error ? Json(*job.error) : Json(nullptr)}};
}

// The jobs added up: the document of a run of one job is that job's.
Job Totals(const std::vector<Job> &jobs) {
  Job sum = jobs.front();
  sum.files.clear();
  sum.total = 0;
  for (const Job &job : jobs) {
    sum.files.insert(sum.files.end(), job.files.begin(), job.files.end());
    sum.total = sum.total && job.total ? std::optional(*sum.total + *job.total) : std::nullopt;
    sum.interrupted = sum.interrupted || job.interrupted;
    if (&job == &jobs.front()) continue;
    sum.written += job.written;
    sum.received += job.received;
    sum.writeRequests += job.writeRequests;
    sum.usb.bulkTransfers += job.usb.bulkTransfers;
    sum.usb.controlTransfers += job.usb.controlTransfers;
    // An offset into everything the run sent.
    if (!sum.firstDifference && job.firstDifference) sum.firstDifference = sum.received - job.received + *job.firstDifference;
    if (!sum.error) sum.error = job.error;
    if (job.printed) sum.finished = job.finished;
    if (job.printed) sum.queuedInBridge = job.queuedInBridge;
  }
  return sum;
}

// How what the printer got compares with the document.
std::string DeliveredWords(const Job &job) {
  const char *what = job.files.size() == 1 ? "the file" : "the files";
  if (job.Match()) return fmt::format("identical to {}", what);
  if (job.firstDifference) return fmt::format("NOT what was sent: the first difference is at byte {}", *job.firstDifference);
  if (job.received == 0) return "nothing";
  return fmt::format("the start of {}, intact", what);
}

std::string Names(const Job &job) {
  std::string names;
  for (const std::string &file : job.files) names += (names.empty() ? "" : ", ") + TerminalSafe(file);
  return names;
}

void PrintJobHuman(const Job &job, const Json &r, const std::string &port) {
  if (!job.printed) {
    std::printf("Not printed: %s on %s, job \"%s\": an earlier job stopped the run\n", Names(job).c_str(), port.c_str(),
                TerminalSafe(job.title).c_str());
    return;
  }
  const char *verb = r["complete"].get<bool>() ? "Printed" : job.interrupted ? "Interrupted print of" : "Incomplete print of";
  std::printf("%s %s on %s, job \"%s\"\n", verb, Names(job).c_str(), port.c_str(), TerminalSafe(job.title).c_str());
  const std::string total = job.total ? Count(*job.total) : "an unknown number of bytes";
  std::printf("  written    %llu of %s in %llu write request(s) of at most %u bytes\n",
              static_cast<unsigned long long>(job.written), total.c_str(),
              static_cast<unsigned long long>(job.writeRequests), r["max_transfer_size"].get<unsigned>());
  std::printf("  received   %s by the printer: %s\n", Count(job.received).c_str(), DeliveredWords(job).c_str());
  if (job.queuedInBridge != 0)
    std::printf("  bridge     %s remain in its FIFO and will print first when the printer takes data again\n",
                Count(job.queuedInBridge).c_str());
  std::printf("  USB        %llu bulk transfer(s), %llu control transfer(s) while printing\n",
              static_cast<unsigned long long>(job.usb.bulkTransfers),
              static_cast<unsigned long long>(job.usb.controlTransfers));
  std::string speed = "no time measured";
  if (!r["bytes_per_second"].is_null()) {
    speed = fmt::format("{}/s", HumanBytes(r["bytes_per_second"].get<double>()));
    if (!r["bus_utilisation"].is_null())
      speed += fmt::format(", {:.1f}% of the full-speed bulk limit", r["bus_utilisation"].get<double>() * 100);
  }
  // An empty job sends nothing: its model time is only the open and close.
  if (job.total == 0)
    std::printf("  time       none spent sending: the input is empty (%.3f s of model time from open to close)\n",
                r["model_seconds"].get<double>());
  else
    std::printf("  time       %.3f s of model time (%s timing), %s\n", r["model_seconds"].get<double>(),
                r["timing"].get<std::string>().c_str(), speed.c_str());
}

Json Report(const PrintOptions &options, const Session &session, const std::vector<Job> &jobs,
            const std::optional<Rendered> &rendered, const Verdict &verdict, const std::optional<std::string> &error) {
  Json report = JobJson(Totals(jobs), options.common.timing);
  report.erase("title");
  report.erase("printed");
  report.erase("sha256");
  report.erase("received_sha256");
  // The run is complete when every job is and nothing else failed (an
  // output that could not be written, a page that could not be drawn).
  report["complete"] = report["complete"].get<bool>() && !error;
  Json document{{"port", session.PortName()},
                {"file", options.files.size() == 1 ? Json(options.files.front()) : Json(nullptr)}};
  document.update(report);
  document["max_transfer_size"] = MaxTransferSizeOf(options.common);
  document["timing"] = options.common.timing;
  document["render"] = rendered ? Json{{"file", rendered->file}, {"width", rendered->width}, {"height", rendered->height}}
                                : Json(nullptr);
  Json list = Json::array();
  for (const Job &job : jobs) list.push_back(JobJson(job, options.common.timing));
  document["jobs"] = list;
  AddVerdict(document, verdict);
  document["error"] = ErrorField(error, verdict);
  return document;
}

void PrintHuman(const std::vector<Job> &jobs, const Json &document, const std::optional<Rendered> &rendered,
                bool verbose) {
  for (size_t i = 0; i < jobs.size(); ++i) {
    Json r = document["jobs"][i];
    r["max_transfer_size"] = document["max_transfer_size"];
    r["timing"] = document["timing"];
    PrintJobHuman(jobs[i], r, document["port"].get<std::string>());
    if (verbose && jobs[i].printed)
      std::printf("  sha256     %s sent\n             %s received\n", jobs[i].sentDigest.c_str(),
                  jobs[i].receivedDigest.c_str());
  }
  if (rendered)
    std::printf("  page       %s, %u x %u pixels, what the printer received as Ghostscript draws it\n",
                TerminalSafe(rendered->file).c_str(), rendered->width, rendered->height);
  std::printf("  verifier   %s\n", VerdictText(document).c_str());
}

// The files of each job: all in one, or one job each; a title names them all.
// Each job holds its files -n times over, as lp sends the copies in one job.
std::vector<Job> PlannedJobs(const PrintOptions &options) {
  if (options.copies > 1 && std::find(options.files.begin(), options.files.end(), "-") != options.files.end())
    BadInput(fmt::format("-n {}: standard input can be read only once; save it to a file to print copies",
                         options.copies));
  const auto copied = [&](const std::vector<std::string> &files) {
    std::vector<std::string> all;
    for (unsigned copy = 0; copy < options.copies; ++copy) all.insert(all.end(), files.begin(), files.end());
    return all;
  };
  std::vector<Job> jobs;
  const auto titleOf = [&](const std::string &file) {
    return options.title ? *options.title : file == "-" ? std::string("(standard input)")
                                                        : std::filesystem::path(file).filename().string();
  };
  if (!options.jobPerFile) return {Job{.title = titleOf(options.files.front()), .files = copied(options.files)}};
  for (const std::string &file : options.files) jobs.push_back(Job{.title = titleOf(file), .files = copied({file})});
  return jobs;
}

Hooks CheckedHooks(const PrintOptions &options) {
  CheckSeconds("--stall-timeout", options.stallTimeout, options.stallTimeoutTyped);
  if (options.title && options.title->empty()) BadInput("--title '': expected a name for the job");
  Hooks hooks;
  if (options.offlineAfter) hooks.offlineAfter = ParseByteCount("--offline-after", *options.offlineAfter);
  if (options.unplugAfter) hooks.unplugAfter = ParseByteCount("--unplug-after", *options.unplugAfter);
  return hooks;
}

// The job's own failure: its error, or data that did not arrive intact.
std::optional<std::string> JobError(const Job &totals, const PrintOptions &options) {
  if (totals.error) return totals.error;
  if (!totals.Match())
    return fmt::format("the printer received {} that differ from the {} of {}", Count(totals.received),
                       Count(totals.total.value_or(0)), options.files.size() == 1 ? options.files.front() : "the files");
  return std::nullopt;
}

// --render writes its picture when the jobs are done: it must not be a file
// they read, nor one that --out or --pcap writes.
void CheckRenderTarget(const PrintOptions &options, const std::vector<FileIdentity> &inputs, const Bench *bench) {
  if (!options.render) return;
  const auto picture = IdentityOfPath(*options.render);
  RefuseSameFile("--render", picture, inputs);
  if (bench != nullptr) RefuseSameFile("--render", picture, bench->Inputs());
  if (!picture) return;
  const auto refuse = [&](const char *option, const std::optional<FileIdentity> &other) {
    if (other && *other == *picture)
      BadInput(fmt::format("--render {} and {} {} are the same file", *options.render, option, other->name));
  };
  if (options.common.out) refuse("--out", IdentityOfPath(*options.common.out));
  if (options.common.pcap) refuse("--pcap", IdentityOfPath(*options.common.pcap));
  if (bench != nullptr) refuse("--pcap", bench->CaptureIdentity());
}

int RunPrint(PrintOptions options, Bench *bench) {
  if (options.files.empty()) options.files = {"-"};
  Hooks hooks = CheckedHooks(options);
  std::vector<Job> planned = PlannedJobs(options);
  std::vector<Document> documents;
  std::vector<FileIdentity> inputs;
  for (const Job &job : planned) {
    documents.emplace_back(job.files);
    inputs.insert(inputs.end(), documents.back().Identities().begin(), documents.back().Identities().end());
  }
  CheckRenderTarget(options, inputs, bench);
  std::optional<PageRenderer> renderer;
  if (options.render) renderer.emplace(*options.render, options.renderResolution);
  Session session(options.common, bench, inputs);
  if (renderer) session.AlsoWrite(renderer->Sink());
  session.Printer().GoOfflineAt(hooks.offlineAfter);

  std::vector<Job> jobs;
  for (size_t i = 0; i < planned.size(); ++i) {
    if (!jobs.empty() && jobs.back().error) {
      // A job that stopped ends the run; the ones after it are reported, not printed.
      Job skipped = std::move(planned[i]);
      skipped.total = documents[i].KnownSize();
      skipped.error = "not printed: an earlier job stopped the run";
      jobs.push_back(std::move(skipped));
      continue;
    }
    jobs.push_back(PrintJob(session, options, hooks, documents[i], std::move(planned[i])));
  }
  // A hook that did not fire must not outlive the job on a session's machine.
  if (hooks.offlineAfter) session.Printer().GoOfflineAt(std::nullopt);
  const Verdict verdict = session.Finish();
  const Job totals = Totals(jobs);
  std::optional<std::string> error = JobError(totals, options);
  std::optional<Rendered> rendered;
  if (renderer && !totals.interrupted) {
    try {
      rendered = renderer->Render();
    } catch (const ToolError &renderError) {
      if (!error) error = renderError.what();
    }
  }
  error = ErrorLine(error, verdict);

  const Json report = Report(options, session, jobs, rendered, verdict, error);
  if (options.common.json) {
    EmitJson(report, options.common);
  } else if (!options.common.quiet) {
    PrintHuman(jobs, report, rendered, options.verbose);
  }
  FlushStandardOutput();
  return Conclude(error, verdict, totals.interrupted ? InterruptExitStatus() : exit_code::kFailed);
}

}  // namespace

Command AddPrintCommand(CLI::App &program) {
  auto options = std::make_shared<PrintOptions>();
  CLI::App *app = program.add_subcommand(
      "print", "Print FILE(s) through the cable: boot, plug in, open the port, write, close, unplug, report");
  app->add_option("FILE", options->files,
                  "The documents to print, one job for all unless --job-per-file; - or none: standard input");
  app->add_option("-n,--copies", options->copies, "Print the documents this many times in the job, as lp -n does")
      ->type_name("COPIES")
      ->check(CLI::Range(1u, 9999u));
  app->add_flag("-v,--verbose", options->verbose,
                "Also show the SHA-256 of each job's data as sent and as the printer received it");
  app->add_option("-t,--title", options->title, "The job's name, as lp -t gives it (default: the first file's name)")
      ->type_name("NAME");
  app->add_flag("--job-per-file", options->jobPerFile, "Print each FILE as a job of its own (default: one job for all)");
  app->add_option("--render", options->render,
                  "Draw the first page the printer received (PostScript or PDF) into this PNG file with Ghostscript")
      ->type_name("PNG");
  app->add_option("--render-resolution", options->renderResolution, "Pixels per inch of --render (default 100)")
      ->type_name("DPI")
      ->check(CLI::Range(10u, 600u));
  app->add_option("--stall-timeout", options->stallTimeout,
                  "Cancel the print when the printer takes no data for this many seconds (default 10)")
      ->type_name("SECONDS")
      ->each([options](const std::string &typed) { options->stallTimeoutTyped = typed; });
  app->add_option("--offline-after", options->offlineAfter,
                  "Test hook: the printer goes off line once it has received this many bytes")
      ->type_name("BYTES");
  app->add_option("--unplug-after", options->unplugAfter,
                  "Test hook: the bridge is unplugged once this many bytes are written")
      ->type_name("BYTES");
  AddCommonOptions(*app, options->common);
  return {app, &options->common, [options](Bench *bench) { return RunPrint(*options, bench); },
          [options] { *options = PrintOptions{}; }};
}

}  // namespace norvusb
