#include "tools/session.h"

#include <cstdio>

#include <fmt/format.h>

#include "tools/errors.h"
#include "tools/text.h"

namespace norvusb {

namespace {

// A bug check is counted and the machine carries on (the kernel refuses the
// offending operation), so that the run ends with a report instead of a stop.
void RecordBugChecks() {
  host::SetBugCheckHandler([](const host::BugCheck &) {});
}

// The IEEE 1284 length field is two bytes and counts itself: a longer text
// cannot be represented, so no printer could send it.
void CheckDeviceIdLength(const std::string &id) {
  if (id.size() > hardware::kMaxDeviceIdLength)
    BadInput(fmt::format("--device-id: the text is {} bytes; its two-byte length field counts the text and itself, "
                         "at most 65535, so the text can be at most {} bytes",
                         id.size(), hardware::kMaxDeviceIdLength));
}

// A device ID the printer would refuse, found before any output is touched.
void CheckPrinters(const CommonOptions &options) {
  for (const std::string &id : options.deviceIds) CheckDeviceIdLength(id);
  for (host::BridgePlan &plan : BridgePlansFor(options)) {
    try {
      hardware::Printer check(std::move(plan.printer));
    } catch (const std::invalid_argument &error) {
      BadInput(fmt::format("--device-id: {}", error.what()));
    }
  }
}

std::string PortNameOf(unsigned number) { return fmt::format("NorvUSB{}", number); }

}  // namespace

// ---------------------------------------------------------------- Bench

Bench::Bench(const CommonOptions &options, const OutputFile *out, const std::vector<FileIdentity> &inputs)
    : inputs_(inputs) {
  if (options.deviceIds.size() > options.bridges)
    BadInput(fmt::format("--device-id given {} times for {} bridge(s)", options.deviceIds.size(), options.bridges));
  host::MachineOptions machineOptions = MachineOptionsFor(options);
  CheckPrinters(options);
  if (options.pcap) pcap_ = OutputFile("--pcap", *options.pcap);
  if (out != nullptr && out->IsStandardOutput() && pcap_.IsStandardOutput())
    BadInput("--out - and --pcap -: only one of them can write to standard output");
  if (out != nullptr && out->SameFileAs(pcap_))
    BadInput(fmt::format("--out and --pcap name the same file ({})", out->Path()));
  captureIdentity_ = pcap_.Identity();
  RefuseSameFile("--pcap", captureIdentity_, inputs);

  RecordBugChecks();
  machine_ = std::make_unique<host::Machine>(std::move(machineOptions));
  // Nothing is on the bus before the first bridge: the capture sees it all.
  if (pcap_.IsOpen()) StartCapture(pcap_.IsStandardOutput() ? TakeStandardOutput() : nullptr);
  for (host::BridgePlan &plan : BridgePlansFor(options)) Plug(std::move(plan));
}

Bench::~Bench() {
  if (!verdict_) {
    // Leaving on an error: take the machine down without a report.
    try {
      Finish();
    } catch (...) {
    }
  }
}

void Bench::StartCapture(FilePtr standardOutput) {
  pcap_.Start(std::move(standardOutput));
  std::string error;
  if (!machine_->Bus().StartCapture(pcap_.Release(), &error)) Fail(fmt::format("--pcap: {}", error));
}

size_t Bench::Plug(host::BridgePlan plan) {
  CheckDeviceIdLength(plan.printer.deviceId);
  try {
    const size_t index = machine_->Plug(std::move(plan));
    portNames_.resize(std::max(portNames_.size(), index + 1));
    portNames_[index] = machine_->View(index).portName;
    return index;
  } catch (const std::invalid_argument &error) {
    BadInput(fmt::format("--device-id: {}", error.what()));
  }
}

std::optional<size_t> Bench::FindPort(unsigned number) const {
  const std::string name = PortNameOf(number);
  for (size_t i : Plugged())
    if (machine_->View(i).portName == name) return i;
  return std::nullopt;
}

bool Bench::WasUnplugged(unsigned number) const {
  const std::string name = PortNameOf(number);
  for (size_t i = 0; i < portNames_.size(); ++i)
    if (portNames_[i] == name && !machine_->IsPlugged(i)) return true;
  return false;
}

std::vector<size_t> Bench::Plugged() const {
  std::vector<size_t> plugged;
  for (size_t i = 0; i < machine_->BridgeCount(); ++i)
    if (machine_->IsPlugged(i)) plugged.push_back(i);
  return plugged;
}

std::string Bench::PortNames() const {
  std::string names;
  for (size_t i : Plugged()) {
    const std::string name = machine_->View(i).portName;
    if (!name.empty()) names += (names.empty() ? "" : ", ") + name;
  }
  return names.empty() ? "none" : names;
}

std::vector<std::string> Bench::NewViolations() {
  std::vector<std::string> fresh;
  const std::vector<host::BugCheck> checks = host::BugChecksSoFar();
  for (size_t i = violationsTaken_; i < checks.size(); ++i) fresh.push_back(host::FormatBugCheck(checks[i]));
  violationsTaken_ = std::max(violationsTaken_, checks.size());
  return fresh;
}

Verdict Bench::Finish() {
  if (verdict_) return *verdict_;
  Verdict verdict;
  if (machine_) {
    for (size_t i = 0; i < machine_->BridgeCount(); ++i) machine_->Unplug(i);
    machine_->WaitIdle();
    // Every bridge is removed but the kernel still runs: whatever the pool
    // still holds now, the driver forgot to free.
    verdict.poolBlocksLeaked = host::GetPoolStats().outstandingBlocks;
    if (std::string error = machine_->StopCapture(); !error.empty())
      verdict.outputErrors.push_back(fmt::format("--pcap {}: the write failed: {}",
                                                 pcap_.IsStandardOutput() ? "standard output" : pcap_.Path(), error));
    machine_.reset();
  }
  verdict.violations = NewViolations();
  host::SetBugCheckHandler({});
  verdict_ = verdict;
  return verdict;
}

// ---------------------------------------------------------------- Session

Session::Session(const CommonOptions &options, Bench *bench, const std::vector<FileIdentity> &inputs) {
  // A machine of its own has --bridges ports; a step finds what is plugged.
  const unsigned portNumber = ParsePort(options.port, bench ? ~0u : options.bridges);
  portName_ = PortNameOf(portNumber);
  if (options.out) out_ = OutputFile("--out", *options.out);
  RefuseSameFile("--out", out_.Identity(), inputs);
  // A step must not write the session's script either, which is still being read.
  if (bench != nullptr) RefuseSameFile("--out", out_.Identity(), bench->Inputs());
  if (bench == nullptr) {
    owned_ = std::make_unique<Bench>(options, &out_, inputs);
    bench = owned_.get();
  } else {
    if (out_.IsStandardOutput()) BadInput("--out -: a step's report goes to standard output; give --out a file");
    // The session's capture is being written: a step neither empties nor reads it.
    if (const auto &capture = bench->CaptureIdentity()) {
      if (const auto mine = out_.Identity(); mine && *mine == *capture)
        BadInput(fmt::format("--out {} is the file the session's --pcap is writing", out_.Path()));
      for (const FileIdentity &input : inputs)
        if (input == *capture)
          BadInput(fmt::format("{} is the file the session's --pcap is writing", input.name));
    }
  }
  bench_ = bench;
  bridgeIndex_ = bench_->FindPort(portNumber);
  unplugged_ = !bridgeIndex_ && bench_->WasUnplugged(portNumber);
  if (unplugged_ && IsStep() && options.port)
    Fail(fmt::format("--port {}: its bridge was unplugged; plugged in now: {}", *options.port, bench_->PortNames()));
  if (!bridgeIndex_ && IsStep() && options.port)
    BadInput(fmt::format("--port {}: no such port; plugged in now: {}", *options.port, bench_->PortNames()));
  // Each step counts what the printer receives from its own start.
  if (IsStep() && bridgeIndex_) Printer().ClearReceived();
  if (out_.IsOpen()) {
    out_.Start(out_.IsStandardOutput() ? TakeStandardOutput() : nullptr);
    ObserveReceived({});
  }
}

Session::~Session() {
  if (!verdict_) {
    try {
      Finish();
    } catch (...) {
    }
  }
}

size_t Session::BridgeIndex() const {
  if (unplugged_) Fail(fmt::format("{} is gone: its bridge was unplugged", portName_));
  if (!bridgeIndex_) Fail(fmt::format("{} did not appear: its bridge was not started by the driver", portName_));
  return *bridgeIndex_;
}

host::DeviceHandle Session::OpenPort() {
  BridgeIndex();
  host::DeviceHandle handle;
  const NTSTATUS status = handle.Open("\\\\.\\" + portName_);
  if (!NT_SUCCESS(status))
    Fail(fmt::format("cannot open \\\\.\\{}: {}{}", portName_, StatusText(status),
                     Machine().IsPlugged(*bridgeIndex_) ? "" : ": its bridge was unplugged"));
  return handle;
}

void Session::ObserveReceived(hardware::Printer::Observer observer) {
  std::vector<OutputFile *> files = alsoWrite_;
  if (out_.IsOpen()) files.push_back(&out_);
  Printer().SetObserver([files, observer = std::move(observer)](std::span<const uint8_t> bytes) {
    for (OutputFile *file : files) file->Write(bytes);
    if (observer) observer(bytes);
  });
  observing_ = true;
}

void Session::AlsoWrite(OutputFile &file) {
  alsoWrite_.push_back(&file);
  ObserveReceived({});
}

Verdict Session::Finish() {
  if (verdict_) return *verdict_;
  // The printer outlives a step: it must stop writing to this job's files.
  if (observing_) Printer().SetObserver({});
  observing_ = false;
  Verdict verdict = owned_ ? owned_->Finish() : Verdict{std::nullopt, bench_->NewViolations(), {}};
  if (auto error = out_.Close()) verdict.outputErrors.push_back(*error);
  verdict_ = verdict;
  return verdict;
}

int ExitStatusFor(const Verdict &verdict) {
  for (const std::string &violation : verdict.violations) std::fprintf(stderr, "norvusb: verifier: %s\n", violation.c_str());
  if (!verdict.violations.empty()) return exit_code::kVerifier;
  if (verdict.poolBlocksLeaked.value_or(0) != 0) {
    std::fprintf(stderr, "norvusb: verifier: %zu pool block(s) still allocated after every bridge was removed\n",
                 *verdict.poolBlocksLeaked);
    return exit_code::kVerifier;
  }
  return exit_code::kOk;
}

}  // namespace norvusb
