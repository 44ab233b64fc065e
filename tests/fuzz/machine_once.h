// One booted machine for the whole fuzzing process, for the targets that
// plug a bridge per input: booting a machine costs far more than an input.
// It shuts down (and checks for leaks) at exit on the thread that booted
// it, while that thread is still one of the machine's: thread-locals go
// before the process's statics (the kernel's registries among them) and in
// the reverse order of their making, so one made after the boot goes first.
#pragma once

#include <memory>

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

}  // namespace fuzz
