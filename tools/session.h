// One run of the machine for a subcommand: boots it with the common options,
// plugs in the bridges, finds the chosen port, and at the end takes the
// machine down and says what its verifier found.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/kernel/user_io.h"
#include "host/machine/machine.h"
#include "tools/options.h"
#include "tools/output.h"

namespace norvusb {

namespace hardware = host::hardware;

// What the verifier found over the whole run.
struct Verdict {
  size_t poolBlocksLeaked = 0;  // blocks still allocated once every bridge was removed
  std::vector<std::string> violations;  // bug checks, formatted
  std::vector<std::string> outputErrors;  // --out or --pcap could not be written
};

class Session {
 public:
  // Validates the options, then opens the outputs, boots the machine and
  // plugs in every bridge. Throws ToolError with one clear line when
  // something is wrong; an output file is emptied only once all is valid.
  explicit Session(const CommonOptions &options);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  host::Machine &Machine() { return *machine_; }
  // The chosen port ("NorvUSB1" unless --port) and the bridge behind it.
  const std::string &PortName() const { return portName_; }
  size_t BridgeIndex() const { return bridgeIndex_; }
  hardware::Printer &Printer() { return machine_->Printer(bridgeIndex_); }
  host::usb::Port UsbPort() const { return machine_->Port(bridgeIndex_); }

  // Opens the chosen port by its DOS name, as an application does.
  host::DeviceHandle OpenPort();

  // Also hands every byte the chosen printer takes to `observer` (on the
  // bus's thread), besides --out; empty: --out only.
  void ObserveReceived(hardware::Printer::Observer observer);
  // Also writes every byte the chosen printer takes to `file` (started by
  // the caller, which keeps it open until Finish).
  void AlsoWrite(OutputFile &file);

  // Unplugs every bridge, waits for the removals, counts the pool blocks left,
  // shuts the machine down and gathers the bug checks. Handles must be closed
  // first, or the removals wait for them. Idempotent.
  Verdict Finish();

 private:
  void OpenOutputs(const CommonOptions &options);
  void StartOutputs();
  void PlugBridges(const CommonOptions &options);
  void FindPort(unsigned portNumber);

  OutputFile out_;
  OutputFile pcap_;
  std::vector<OutputFile *> alsoWrite_;
  std::unique_ptr<host::Machine> machine_;
  std::string portName_;
  size_t bridgeIndex_ = 0;
  std::optional<Verdict> verdict_;
};

// The exit status for a job that itself went well: non-zero when the
// verifier found something. Also prints each violation on standard error;
// throws ToolError when an output could not be written.
int ExitStatusFor(const Verdict &verdict);

}  // namespace norvusb
