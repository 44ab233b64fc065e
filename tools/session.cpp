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

// A device ID the printer would refuse, found before any output is touched.
void CheckPrinters(const CommonOptions &options) {
  for (host::BridgePlan &plan : BridgePlansFor(options)) {
    try {
      hardware::Printer check(std::move(plan.printer));
    } catch (const std::invalid_argument &error) {
      BadInput(fmt::format("--device-id: {}", error.what()));
    }
  }
}

}  // namespace

Session::Session(const CommonOptions &options) {
  if (options.deviceIds.size() > options.bridges)
    BadInput(fmt::format("--device-id given {} times for {} bridge(s)", options.deviceIds.size(), options.bridges));
  const unsigned portNumber = ParsePort(options.port, options.bridges);
  host::MachineOptions machineOptions = MachineOptionsFor(options);
  CheckPrinters(options);
  OpenOutputs(options);

  RecordBugChecks();
  machine_ = std::make_unique<host::Machine>(std::move(machineOptions));
  // Nothing is on the bus before the first bridge: the capture sees it all.
  StartOutputs();
  PlugBridges(options);
  FindPort(portNumber);
  ObserveReceived({});
}

void Session::OpenOutputs(const CommonOptions &options) {
  if (options.out) out_ = OutputFile("--out", *options.out);
  if (options.pcap) pcap_ = OutputFile("--pcap", *options.pcap);
  if (out_.IsStandardOutput() && pcap_.IsStandardOutput())
    BadInput("--out - and --pcap -: only one of them can write to standard output");
  if (out_.SameFileAs(pcap_)) BadInput(fmt::format("--out and --pcap name the same file ({})", out_.Path()));
}

void Session::StartOutputs() {
  FilePtr standardOutput;
  if (out_.IsStandardOutput() || pcap_.IsStandardOutput()) standardOutput = TakeStandardOutput();
  if (out_.IsOpen()) out_.Start(out_.IsStandardOutput() ? std::move(standardOutput) : nullptr);
  if (pcap_.IsOpen()) {
    pcap_.Start(pcap_.IsStandardOutput() ? std::move(standardOutput) : nullptr);
    std::string error;
    if (!machine_->Bus().StartCapture(pcap_.Release(), &error)) Fail(fmt::format("--pcap: {}", error));
  }
}

void Session::ObserveReceived(hardware::Printer::Observer observer) {
  std::vector<OutputFile *> files = alsoWrite_;
  if (out_.IsOpen()) files.push_back(&out_);
  Printer().SetObserver([files, observer = std::move(observer)](std::span<const uint8_t> bytes) {
    for (OutputFile *file : files) file->Write(bytes);
    if (observer) observer(bytes);
  });
}

void Session::AlsoWrite(OutputFile &file) {
  alsoWrite_.push_back(&file);
  ObserveReceived({});
}

Session::~Session() {
  if (!verdict_) {
    // Leaving on an error: take the machine down without a report.
    try {
      Finish();
    } catch (...) {
    }
  }
}

void Session::PlugBridges(const CommonOptions &options) {
  for (host::BridgePlan &plan : BridgePlansFor(options)) {
    try {
      machine_->Plug(std::move(plan));
    } catch (const std::invalid_argument &error) {
      BadInput(fmt::format("--device-id: {}", error.what()));
    }
  }
}

void Session::FindPort(unsigned portNumber) {
  portName_ = fmt::format("NorvUSB{}", portNumber);
  for (size_t i = 0; i < machine_->BridgeCount(); ++i) {
    if (machine_->View(i).portName == portName_) {
      bridgeIndex_ = i;
      return;
    }
  }
  Fail(fmt::format("{} did not appear: its bridge was not started by the driver", portName_));
}

host::DeviceHandle Session::OpenPort() {
  host::DeviceHandle handle;
  const NTSTATUS status = handle.Open("\\\\.\\" + portName_);
  if (!NT_SUCCESS(status)) Fail(fmt::format("cannot open \\\\.\\{}: {}", portName_, StatusText(status)));
  return handle;
}

Verdict Session::Finish() {
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
  if (auto error = out_.Close()) verdict.outputErrors.push_back(*error);
  for (const host::BugCheck &check : host::BugChecksSoFar()) verdict.violations.push_back(host::FormatBugCheck(check));
  host::SetBugCheckHandler({});
  verdict_ = verdict;
  return verdict;
}

int ExitStatusFor(const Verdict &verdict) {
  for (const std::string &violation : verdict.violations) std::fprintf(stderr, "norvusb: verifier: %s\n", violation.c_str());
  if (!verdict.outputErrors.empty()) Fail(verdict.outputErrors.front());
  if (!verdict.violations.empty()) return exit_code::kVerifier;
  if (verdict.poolBlocksLeaked != 0) {
    std::fprintf(stderr, "norvusb: verifier: %zu pool block(s) still allocated after every bridge was removed\n",
                 verdict.poolBlocksLeaked);
    return exit_code::kVerifier;
  }
  return exit_code::kOk;
}

}  // namespace norvusb
