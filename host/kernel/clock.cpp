// The one clock behind every wait and delay. Model time advances SpeedFactor
// times as fast as the steady real clock; a change of factor re-bases it so
// that model time never jumps.
#include <cmath>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "host/kernel/detail.h"
#include "host/kernel/host_kernel.h"

namespace host {

namespace {

using Steady = std::chrono::steady_clock;

// Seconds between 1601-01-01 (the platform's epoch) and 1970-01-01.
constexpr int64_t kEpochDifference = 11644473600LL;
constexpr int64_t kUnitsPerSecond = 10'000'000;
// Beyond this a wait counts as endless (about 30 years of real time).
constexpr int64_t kLongestRealWaitNs = int64_t{1} << 60;

struct ClockState {
  std::mutex mutex;
  double factor = 1.0;
  Steady::time_point baseReal = Steady::now();
  int64_t baseModel = 0;
  int64_t systemTimeAtBoot = 0;
};

ClockState &TheClock() {
  static ClockState state;
  return state;
}

int64_t ModelNowLocked(const ClockState &state, Steady::time_point real) {
  auto elapsedNs = std::chrono::duration_cast<std::chrono::nanoseconds>(real - state.baseReal).count();
  return state.baseModel + static_cast<int64_t>(static_cast<long double>(elapsedNs) * state.factor / 100.0L);
}

int64_t RealSystemTime() {
  auto sinceUnix = std::chrono::duration_cast<std::chrono::nanoseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  return kEpochDifference * kUnitsPerSecond + sinceUnix / 100;
}

}  // namespace

namespace clock {

void SetSpeedFactor(double factor) {
  if (!(factor > 0.0) || !std::isfinite(factor)) {
    throw std::invalid_argument("clock speed factor must be a positive number");
  }
  auto &state = TheClock();
  std::lock_guard lock(state.mutex);
  auto real = Steady::now();
  state.baseModel = ModelNowLocked(state, real);
  state.baseReal = real;
  state.factor = factor;
}

double SpeedFactor() {
  auto &state = TheClock();
  std::lock_guard lock(state.mutex);
  return state.factor;
}

int64_t Now() {
  auto &state = TheClock();
  std::lock_guard lock(state.mutex);
  return ModelNowLocked(state, Steady::now());
}

void SleepFor(int64_t units) {
  if (units <= 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_until(detail::RealDeadlineAfter(units));
}

int64_t SystemTimeAtBoot() { return detail::SystemTimeAtBoot(); }

}  // namespace clock

namespace detail {

void ClockReset(double speedFactor) {
  clock::SetSpeedFactor(speedFactor);  // validates before anything changes
  auto &state = TheClock();
  std::lock_guard lock(state.mutex);
  state.baseReal = Steady::now();
  state.baseModel = 0;
  state.systemTimeAtBoot = RealSystemTime();
}

// Rounded up, so that a wait never ends before its model time has passed.
Steady::time_point RealDeadlineAfter(int64_t units) {
  auto &state = TheClock();
  std::lock_guard lock(state.mutex);
  auto now = Steady::now();
  long double ns = std::ceil(static_cast<long double>(units) * 100.0L / state.factor);
  if (ns >= static_cast<long double>(kLongestRealWaitNs)) return Steady::time_point::max();
  return now + std::chrono::nanoseconds(static_cast<int64_t>(ns));
}

int64_t SystemTimeAtBoot() {
  auto &state = TheClock();
  std::lock_guard lock(state.mutex);
  if (state.systemTimeAtBoot == 0) state.systemTimeAtBoot = RealSystemTime();
  return state.systemTimeAtBoot;
}

}  // namespace detail

}  // namespace host

extern "C" VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  if (CurrentTime == nullptr) return;
  CurrentTime->QuadPart = host::detail::SystemTimeAtBoot() + host::clock::Now();
}
