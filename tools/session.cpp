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

std::string PortNameOf(unsigned number) { return fmt::format("NorvUSB{}", number); }

}  // namespace

// ---------------------------------------------------------------- Bench

Bench::Bench(const CommonOptions &options) {
  if (options.deviceIds.size() > options.bridges)
    BadInput(fmt::format("--device-id given {} times for {} bridge(s)", options.deviceIds.size(), options.bridges));
  host::MachineOptions machineOptions = MachineOptionsFor(options);
  RecordBugChecks();
  try {
    machine_ = std::make_unique<host::Machine>(std::move(machineOptions));
  } catch (const std::runtime_error &error) {
    BadInput(fmt::format("--pcap: {}", error.what()));
  }
  PlugAll(options);
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

void Bench::PlugAll(const CommonOptions &options) {
  for (host::BridgePlan &plan : BridgePlansFor(options)) Plug(std::move(plan));
}

size_t Bench::Plug(host::BridgePlan plan) {
  try {
    return machine_->Plug(std::move(plan));
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
    machine_.reset();
  }
  verdict.violations = NewViolations();
  host::SetBugCheckHandler({});
  verdict_ = verdict;
  return verdict;
}

// ---------------------------------------------------------------- Session

Session::Session(const CommonOptions &options, Bench *bench) {
  // A machine of its own has --bridges ports; a step finds what is plugged.
  const unsigned portNumber = ParsePort(options.port, bench ? ~0u : options.bridges);
  portName_ = PortNameOf(portNumber);
  if (bench == nullptr) {
    MachineOptionsFor(options);  // validates --set before anything is written
    if (!options.out.empty()) StartOutputFile(options.out);
    owned_ = std::make_unique<Bench>(options);
    bench = owned_.get();
  }
  bench_ = bench;
  bridgeIndex_ = bench_->FindPort(portNumber);
  if (!bridgeIndex_ && IsStep() && !options.port.empty())
    BadInput(fmt::format("--port {}: no such port; plugged in now: {}", options.port, bench_->PortNames()));
  if (IsStep()) {
    // Each step sees what the printer receives from its own start.
    if (bridgeIndex_) Printer().ClearReceived();
    if (!options.out.empty()) StartOutputFile(options.out);
  }
  if (!options.out.empty()) AttachOutput(options.out);
}

Session::~Session() {
  if (!verdict_) {
    try {
      Finish();
    } catch (...) {
    }
  }
}

void Session::AttachOutput(const std::string &path) {
  try {
    Printer().SetSinkFile(path);
    sinkAttached_ = true;
  } catch (const ToolError &) {
    throw;
  } catch (const std::exception &error) {
    BadInput(fmt::format("--out {}: {}", path, error.what()));
  }
}

size_t Session::BridgeIndex() const {
  if (!bridgeIndex_) Fail(fmt::format("{} did not appear: its bridge was not started by the driver", portName_));
  return *bridgeIndex_;
}

host::DeviceHandle Session::OpenPort() {
  BridgeIndex();
  host::DeviceHandle handle;
  const NTSTATUS status = handle.Open("\\\\.\\" + portName_);
  if (!NT_SUCCESS(status)) Fail(fmt::format("cannot open \\\\.\\{}: {}", portName_, StatusText(status)));
  return handle;
}

Verdict Session::Finish() {
  if (verdict_) return *verdict_;
  if (sinkAttached_) Printer().CloseSinkFile();
  sinkAttached_ = false;
  if (owned_) {
    verdict_ = owned_->Finish();
  } else {
    verdict_ = Verdict{std::nullopt, bench_->NewViolations()};
  }
  return *verdict_;
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
