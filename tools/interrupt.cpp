#include "tools/interrupt.h"

#include <fcntl.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>

namespace norvusb {

namespace {

std::atomic<int> gSignal{0};
std::atomic<int64_t> gFirstAt{0};  // CLOCK_MONOTONIC ns of the signal that asked the stop
// Becomes readable once a signal came, so that a wait on input (poll) ends at
// once whichever thread ran the handler.
int gWake[2] = {-1, -1};

int64_t MonotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);  // async-signal-safe
  return static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// `timeout -s INT` and a terminal both may signal the process and then its
// group: the copies of one request arrive together, and must not pass for
// the second request that ends the program without its report.
constexpr int64_t kSameRequestNanoseconds = 1'000'000'000;

void OnSignal(int number) {
  const int savedErrno = errno;
  int expected = 0;
  if (gSignal.compare_exchange_strong(expected, number)) {
    gFirstAt.store(MonotonicNanoseconds());
    if (gWake[1] >= 0) (void)!write(gWake[1], "!", 1);
    errno = savedErrno;
    return;
  }
  if (MonotonicNanoseconds() - gFirstAt.load() < kSameRequestNanoseconds) {
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
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  // Writes resume: only the flag says what happened, and the job looks at it
  // at its own clean points. A wait for input watches InterruptDescriptor.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

std::optional<int> InterruptSignal() {
  const int number = gSignal.load();
  return number == 0 ? std::nullopt : std::optional(number);
}

int InterruptDescriptor() { return gWake[0]; }

void ClearInterrupt() {
  char drained[16];
  while (gWake[0] >= 0 && read(gWake[0], drained, sizeof drained) > 0) {
  }
  gSignal.store(0);
}

std::string InterruptText() {
  const int number = gSignal.load();
  if (number == SIGINT) return "interrupted by SIGINT (Ctrl-C)";
  if (number == SIGTERM) return "interrupted by SIGTERM";
  return std::string("interrupted by signal ") + std::to_string(number);
}

int InterruptExitStatus() { return 128 + gSignal.load(); }

}  // namespace norvusb
