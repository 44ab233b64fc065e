// The machine a job runs on, and one job's view of it.
//
// A Bench boots the machine with the common options and plugs in the
// bridges; at the end it takes the machine down and says what its verifier
// found. A subcommand run from the command line boots a Bench of its own;
// `norvusb run` keeps one Bench across its steps, so that they build on each
// other. A Session is one job on a Bench: the port it uses, its --out, and
// what it leaves behind when it ends.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/io/user_io.h"
#include "host/machine/machine.h"
#include "tools/options.h"
#include "tools/output.h"

namespace norvusb {

namespace hardware = host::hardware;

// What the verifier found.
struct Verdict {
  // Blocks still allocated once every bridge was removed; nullopt for a step
  // of `run`, whose bridges stay plugged (the session's end counts them).
  std::optional<size_t> poolBlocksLeaked;
  std::vector<std::string> violations;    // bug checks, formatted
  std::vector<std::string> outputErrors;  // --out or --pcap could not be written
};

class Bench {
 public:
  // Validates the machine's options (and --pcap against `out`, which the
  // first job writes), boots it, starts the capture and plugs in every
  // bridge. Throws ToolError with one clear line when something is wrong;
  // nothing is emptied before all is valid. No output may be one of
  // `inputs` (the files a job reads, a session's script).
  Bench(const CommonOptions &options, const OutputFile *out = nullptr, const std::vector<FileIdentity> &inputs = {});
  ~Bench();
  Bench(const Bench &) = delete;
  Bench &operator=(const Bench &) = delete;

  host::Machine &Machine() { return *machine_; }
  // Plugs one more bridge in; returns its index.
  size_t Plug(host::BridgePlan plan);
  // The plugged bridge whose port is NorvUSB<number>, if any.
  std::optional<size_t> FindPort(unsigned number) const;
  // True when NorvUSB<number> was the port of a bridge since unplugged.
  bool WasUnplugged(unsigned number) const;
  // Indexes of the bridges plugged in now, in the order they were plugged.
  std::vector<size_t> Plugged() const;
  // "NorvUSB1, NorvUSB3": the ports of the bridges plugged in now.
  std::string PortNames() const;
  // The file --pcap writes, when it is a regular file.
  const std::optional<FileIdentity> &CaptureIdentity() const { return captureIdentity_; }
  // What the machine's whole life reads (a session's script): no step may write it.
  const std::vector<FileIdentity> &Inputs() const { return inputs_; }
  // The bug checks raised since the last call, formatted.
  std::vector<std::string> NewViolations();

  // Unplugs every bridge, waits for the removals, counts the pool blocks left,
  // shuts the machine down and gathers the bug checks not yet taken.
  // Handles must be closed first, or the removals wait for them. Idempotent.
  Verdict Finish();

 private:
  void StartCapture(FilePtr standardOutput);

  OutputFile pcap_;
  std::optional<FileIdentity> captureIdentity_;
  std::vector<FileIdentity> inputs_;
  std::unique_ptr<host::Machine> machine_;
  std::vector<std::string> portNames_;  // each bridge's port as it was plugged, by index
  size_t violationsTaken_ = 0;
  std::optional<Verdict> verdict_;
};

class Session {
 public:
  // A job on a machine of its own (`bench` null), or on the machine of a
  // `run` session. Throws ToolError with one clear line when something is
  // wrong; --out is emptied only once all is valid, and no output may be one
  // of `inputs` (the files the job reads).
  Session(const CommonOptions &options, Bench *bench, const std::vector<FileIdentity> &inputs = {});
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  host::Machine &Machine() { return bench_->Machine(); }
  Bench &Workbench() { return *bench_; }
  // True when the job is a step of `run`: the machine outlives it.
  bool IsStep() const { return owned_ == nullptr; }
  // The chosen port ("NorvUSB1" unless --port) and the bridge behind it.
  // Without --port the job may not need one (enum, status): BridgeIndex and
  // what builds on it throw ToolError when NorvUSB1 did not appear.
  const std::string &PortName() const { return portName_; }
  size_t BridgeIndex() const;
  hardware::Printer &Printer() { return Machine().Printer(BridgeIndex()); }
  host::usb::Port UsbPort() { return Machine().Port(BridgeIndex()); }

  // Opens the chosen port by its DOS name, as an application does.
  host::DeviceHandle OpenPort();

  // Also hands every byte the chosen printer takes to `observer` (on the
  // bus's thread), besides --out; empty: --out only.
  void ObserveReceived(hardware::Printer::Observer observer);
  // Also writes every byte the chosen printer takes to `file` (started by
  // the caller, which keeps it open until Finish).
  void AlsoWrite(OutputFile &file);

  // Ends the job. On a machine of its own: Bench::Finish. As a step: the bug
  // checks raised during it, the pool not counted. Idempotent.
  Verdict Finish();

 private:
  OutputFile out_;
  std::vector<OutputFile *> alsoWrite_;
  std::unique_ptr<Bench> owned_;
  Bench *bench_ = nullptr;
  std::string portName_;
  std::optional<size_t> bridgeIndex_;
  bool unplugged_ = false;  // the chosen port's bridge was unplugged earlier
  bool observing_ = false;
  std::optional<Verdict> verdict_;
};

// The exit status for a job that itself went well: non-zero when the
// verifier found something. Also prints each violation on standard error.
int ExitStatusFor(const Verdict &verdict);

}  // namespace norvusb
