#include "tools/session.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

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

// Empties (creates) the file the printer's data will be appended to.
void StartOutputFile(const std::string &path) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) BadInput(fmt::format("--out {}: cannot write the file", path));
}

}  // namespace

Session::Session(const CommonOptions &options) {
  if (options.deviceIds.size() > options.bridges)
    BadInput(fmt::format("--device-id given {} times for {} bridge(s)", options.deviceIds.size(), options.bridges));
  const unsigned portNumber = ParsePort(options.port, options.bridges);
  host::MachineOptions machineOptions = MachineOptionsFor(options);
  if (!options.out.empty()) StartOutputFile(options.out);

  RecordBugChecks();
  try {
    machine_ = std::make_unique<host::Machine>(std::move(machineOptions));
  } catch (const std::runtime_error &error) {
    BadInput(fmt::format("--pcap: {}", error.what()));
  }
  PlugBridges(options);
  FindPort(portNumber);
  if (!options.out.empty()) {
    try {
      Printer().SetSinkFile(options.out);
    } catch (const std::exception &error) {
      BadInput(fmt::format("--out {}: {}", options.out, error.what()));
    }
  }
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
    machine_.reset();
  }
  for (const host::BugCheck &check : host::BugChecksSoFar()) verdict.violations.push_back(host::FormatBugCheck(check));
  host::SetBugCheckHandler({});
  verdict_ = verdict;
  return verdict;
}

int ExitStatusFor(const Verdict &verdict) {
  for (const std::string &violation : verdict.violations) std::fprintf(stderr, "norvusb: verifier: %s\n", violation.c_str());
  if (!verdict.violations.empty()) return exit_code::kVerifier;
  if (verdict.poolBlocksLeaked != 0) {
    std::fprintf(stderr, "norvusb: verifier: %zu pool block(s) still allocated after every bridge was removed\n",
                 verdict.poolBlocksLeaked);
    return exit_code::kVerifier;
  }
  return exit_code::kOk;
}

}  // namespace norvusb
