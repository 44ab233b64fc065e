// The clock behind every wait and delay: model time is the scheduler's
// virtual time (scheduler.h); the system time adds it to the wall clock read
// once at boot, or, for a seeded machine, to a fixed date, so that a seeded
// run reads the same times in every process.
#include <chrono>

#include "host/kernel/detail.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/scheduler.h"
#include "host/kernel/watchdog.h"

namespace host {

namespace {

// Seconds between 1601-01-01 (the platform's epoch) and 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600LL;
constexpr int64_t kUnitsPerSecond = 10'000'000;
// 2025-01-01 00:00:00 UTC: a seeded machine's boot.
constexpr int64_t kSeededBootSinceUnix = 1'735'689'600;

std::atomic<int64_t> gSystemTimeAtBoot{0};

int64_t RealSystemTime() {
  auto sinceUnix = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return kEpochDifference * kUnitsPerSecond + sinceUnix / 100;
}

}  // namespace

namespace clock {

int64_t Now() { return sched::Now(); }

void SleepFor(int64_t units) { sched::Delay(units, "a delay (clock::SleepFor)"); }

int64_t SystemTimeAtBoot() { return detail::SystemTimeAtBoot(); }

}  // namespace clock

namespace detail {

void ClockReset(const KernelOptions &options) {
  sched::Reset({.seed = options.seed, .pace = options.pace});  // validates before anything changes
  gSystemTimeAtBoot = options.seed ? (kEpochDifference + kSeededBootSinceUnix) * kUnitsPerSecond : RealSystemTime();
}

void ClockHalt() {
  sched::Halt();
  gSystemTimeAtBoot = RealSystemTime();
}

int64_t SystemTimeAtBoot() {
  int64_t boot = gSystemTimeAtBoot.load();
  if (boot == 0) {
    gSystemTimeAtBoot.compare_exchange_strong(boot, RealSystemTime());
    boot = gSystemTimeAtBoot.load();
  }
  return boot;
}

}  // namespace detail

}  // namespace host

// A driver that busy-waits on this clock (alone, with nothing else to run)
// sees it move, as on the platform.
extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  const host::sched::AfterEffect afterEffect("KeQuerySystemTime");
  host::sched::SwitchPoint("KeQuerySystemTime");
  if (CurrentTime == nullptr) return;
  CurrentTime->QuadPart = host::detail::SystemTimeAtBoot() + host::sched::PollClock();
}
