#include "tools/interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace norvusb {

namespace {

// The request to stop, in one word so that a copy arriving on another thread
// sees all of it: the signal's number, and who sent it (the kind of sender and
// its process); 0 while none came.
std::atomic<uint64_t> gRequest{0};
// Becomes readable once a signal came, so that a wait on input (poll) ends at
// once whichever thread ran the handler.
int gWake[2] = {-1, -1};

uint64_t RequestOf(int number, const siginfo_t *info) {
  const auto code = static_cast<uint16_t>(info != nullptr ? info->si_code : 0);
  const auto pid = static_cast<uint32_t>(info != nullptr ? info->si_pid : 0);
  return uint64_t{pid} << 32 | uint64_t{code} << 8 | static_cast<uint8_t>(number);
}

// `timeout -s INT` (and a service manager) signals the process and then its
// process group, which holds it: the same signal again from the same process
// is a copy of the one request, and must not pass for the second request that
// ends the program without its report. A terminal sends one per Ctrl-C.
void OnSignal(int number, siginfo_t *info, void *) {
  const int savedErrno = errno;
  const uint64_t request = RequestOf(number, info);
  uint64_t first = 0;
  const bool fromProcess = info != nullptr && info->si_code <= 0;  // kill(), not the terminal
  if (gRequest.compare_exchange_strong(first, request) || (fromProcess && first == request)) {
    if (first == 0 && gWake[1] >= 0) (void)!write(gWake[1], "!", 1);
    errno = savedErrno;
    return;
  }
  // A second request: the user does not want to wait for the clean stop.
  static const char kLine[] = "norvusb: error: interrupted again: stopped at once, without the report\n";
  (void)!write(STDERR_FILENO, kLine, sizeof kLine - 1);
  signal(number, SIG_DFL);
  raise(number);
}

}  // namespace

void CatchInterrupts() {
  if (gWake[0] < 0 && pipe2(gWake, O_CLOEXEC | O_NONBLOCK) != 0) gWake[0] = gWake[1] = -1;
  struct sigaction action {};
  action.sa_sigaction = OnSignal;
  sigemptyset(&action.sa_mask);
  // Writes resume: only the flag says what happened, and the job looks at it
  // at its own clean points. A wait for input watches InterruptDescriptor.
  action.sa_flags = SA_RESTART | SA_SIGINFO;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

std::optional<int> InterruptSignal() {
  const int number = static_cast<int>(gRequest.load() & 0xFF);
  return number == 0 ? std::nullopt : std::optional(number);
}

int InterruptDescriptor() { return gWake[0]; }

void ClearInterrupt() {
  char drained[16];
  while (gWake[0] >= 0 && read(gWake[0], drained, sizeof drained) > 0) {
  }
  gRequest.store(0);
}

std::string InterruptText() {
  const int number = InterruptSignal().value_or(0);
  if (number == SIGINT) return "interrupted by SIGINT (Ctrl-C)";
  if (number == SIGTERM) return "interrupted by SIGTERM";
  return std::string("interrupted by signal ") + std::to_string(number);
}

int InterruptExitStatus() { return 128 + InterruptSignal().value_or(0); }

}  // namespace norvusb
