// One booted machine for the whole fuzzing process, for the targets that
// plug a bridge per input: booting a machine costs far more than an input.
// It shuts down (and checks for leaks) at exit on the thread that booted
// it, while that thread is still one of the machine's: thread-locals go
// before the process's statics (the kernel's registries among them) and in
// the reverse order of their making, so one made after the boot goes first.
#pragma once

#include <memory>

#include "host/kernel/registry.h"
#include "host/machine/machine.h"
#include "tests/fuzz/fuzz_support.h"

namespace fuzz {

inline std::unique_ptr<host::Machine> &TheMachine() {
  static std::unique_ptr<host::Machine> machine;
  return machine;
}

struct ShutDownAtExit {
  ~ShutDownAtExit() { TheMachine().reset(); }
};

inline host::Machine &MachineOnce() {
  auto &machine = TheMachine();
  if (!machine) {
    CrashOnBugCheck();
    host::MachineOptions options;
    options.timing = host::usb::Timing::Instant;
    machine = std::make_unique<host::Machine>(std::move(options));
    thread_local ShutDownAtExit shutDown;
    (void)shutDown;
  }
  return *machine;
}

// What the machine holds once the driver is loaded and a first bridge came
// and went. Every input must leave the pool as it found it; the registry is
// put back too, since each plug leaves keys behind (a driver key per device
// node) that would make every later lookup slower, and each input is to
// start from the same machine.
class Baseline {
 public:
  Baseline() : poolBlocks_(host::GetPoolStats().outstandingBlocks), registry_(host::registry::TakeSnapshot()) {}

  // After an input, once its bridge is gone and the machine is idle.
  void Check() const {
    FUZZ_EXPECT(host::GetPoolStats().outstandingBlocks == poolBlocks_);
    if (!host::registry::Restore(registry_)) Finding("a registry key handle stayed open after the bridge went");
  }

 private:
  size_t poolBlocks_;
  host::registry::Snapshot registry_;
};

}  // namespace fuzz
