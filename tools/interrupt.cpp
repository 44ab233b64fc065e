#include "tools/interrupt.h"

#include <signal.h>

#include <atomic>
#include <cstring>

namespace norvusb {

namespace {

std::atomic<int> gSignal{0};

void OnSignal(int number) {
  int expected = 0;
  if (gSignal.compare_exchange_strong(expected, number)) return;
  // The second one: the user does not want to wait for the clean stop.
  signal(number, SIG_DFL);
  raise(number);
}

}  // namespace

void CatchInterrupts() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Reads and writes resume: only the flag says what happened, and the job
  // looks at it at its own clean points.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

std::optional<int> InterruptSignal() {
  const int number = gSignal.load();
  return number == 0 ? std::nullopt : std::optional(number);
}

void ClearInterrupt() { gSignal.store(0); }

std::string InterruptText() {
  const int number = gSignal.load();
  if (number == SIGINT) return "interrupted by SIGINT (Ctrl-C)";
  if (number == SIGTERM) return "interrupted by SIGTERM";
  return std::string("interrupted by signal ") + std::to_string(number);
}

int InterruptExitStatus() { return 128 + gSignal.load(); }

}  // namespace norvusb
