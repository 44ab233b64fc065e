// One booted machine for the whole fuzzing process, for the targets that
// plug a bridge per input: booting a machine costs far more than an input.
// It shuts down (and checks for leaks) at exit, on a thread the kernel
// knows: the exiting thread has already lost its thread-local state, which
// the kernel's locks use.
#pragma once

#include <cstdlib>
#include <memory>

#include "host/machine/machine.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/support/test_thread.h"

namespace fuzz {

inline std::unique_ptr<host::Machine> &TheMachine() {
  static std::unique_ptr<host::Machine> machine;
  return machine;
}

inline host::Machine &MachineOnce() {
  auto &machine = TheMachine();
  if (!machine) {
    CrashOnBugCheck();
    host::MachineOptions options;
    options.timing = host::usb::Timing::Instant;
    machine = std::make_unique<host::Machine>(std::move(options));
    std::atexit([] { TestThread([] { TheMachine().reset(); }).join(); });
  }
  return *machine;
}

}  // namespace fuzz
