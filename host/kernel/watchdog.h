// What the scheduler adds to its switch points and waits to see a thread
// that keeps the processor (scheduler.h has the scheduler itself).
//
// - A switch point after each exported routine's effect (AfterEffect).
// - The clock ticks for a thread that polls while nobody else can run.
// - The DPC watchdog (0x133) for a thread at DISPATCH_LEVEL or above for
//   the platform's period, a spinner included.
// - "No progress": time-outs going round with no request completed.
// - A real-time watchdog for a loop that makes no kernel call at all.
#pragma once

#include <cstdint>

namespace host::sched {

// The switch point after an exported routine's effect (an event set, a lock
// released, a request completed), before its caller goes on, as an
// interrupt may come on the way back: a waiter woken by the routine may run
// before the caller's next line. Declared first in the routine's body, so
// that it runs after the return value is computed.
class AfterEffect {
 public:
  explicit AfterEffect(const char *what) : what_(what) {}
  AfterEffect(const AfterEffect &) = delete;
  AfterEffect &operator=(const AfterEffect &) = delete;
  ~AfterEffect();

 private:
  const char *what_;
};

// The platform's clock interrupt ticks whatever a thread does: a thread
// that polls (an interlocked read, an event's state, a zero time-out) while
// nobody else can run sees time pass, and the thread that sets what it
// polls for gets to run. Here every kKernelCallsPerTick kernel calls of a
// thread that nothing else could interrupt count as one tick of the clock
// (kClockTick, never past the next deadline), and, seeded, the tick is a
// switch point where the woken thread may run first.
inline constexpr int64_t kClockTick = 156'250;  // 15.625 ms, the platform's clock interval
inline constexpr uint32_t kKernelCallsPerTick = 1024;
// DPC_WATCHDOG_VIOLATION (0x133), parameter 1 = 1: the platform's watchdog
// period for time spent at DISPATCH_LEVEL or above, 0x1E00 ticks (120 s).
inline constexpr uint32_t kDpcWatchdogViolation = 0x133;
inline constexpr uint64_t kDispatchWatchdogTicks = 0x1E00;
inline constexpr int64_t kDispatchWatchdog = int64_t{kDispatchWatchdogTicks} * kClockTick;
// No progress: this much model time and this many time-outs in a row
// without a request completed (NoteProgress) is a machine going round in
// circles (a wait nobody ends while a timer ticks), reported like a deadlock.
inline constexpr int64_t kNoProgressTime = int64_t{300} * 10'000'000;
inline constexpr uint64_t kNoProgressTimeouts = 20'000;

// A request completed: progress, for the report above.
void NoteProgress();
// The calling thread's IRQL as the kernel keeps it: the kernel installs it
// at boot; the watchdogs read it (0, PASSIVE_LEVEL, without one).
void SetIrqlProbe(int (*probe)());
inline constexpr int kDispatchLevel = 2;

// SpinOn (scheduler.h), watched: false when the spinner has spun for the
// DPC watchdog's period (0x133 raised); the caller gives the acquisition up.
bool SpinOnWatched(const uintptr_t *word);

}  // namespace host::sched
