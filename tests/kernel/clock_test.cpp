// The model clock and its speed factor.
#include <atomic>
#include <chrono>
#include <thread>

#include "tests/support/kernel_fixture.h"

namespace {

using namespace std::chrono_literals;
constexpr int64_t kOneSecond = 10'000'000;

class ClockTest : public KernelFixture {
 protected:
  ClockTest() : KernelFixture(1000.0) {}
};

TEST_F(ClockTest, ModelTimeRunsAtTheSpeedFactor) {
  int64_t before = host::clock::Now();
  std::this_thread::sleep_for(5ms);  // five model seconds at a factor of 1000
  EXPECT_GE(host::clock::Now() - before, 5 * kOneSecond);

  before = host::clock::Now();
  host::clock::SleepFor(3 * kOneSecond);
  EXPECT_GE(host::clock::Now() - before, 3 * kOneSecond);
}

TEST_F(ClockTest, ChangingTheFactorNeverMovesTimeBack) {
  int64_t before = host::clock::Now();
  host::clock::SetSpeedFactor(1.0);
  EXPECT_GE(host::clock::Now(), before);
  EXPECT_EQ(host::clock::SpeedFactor(), 1.0);
  EXPECT_THROW(host::clock::SetSpeedFactor(-1.0), std::invalid_argument);
}

// A wait takes its real length from the factor at its start.
TEST_F(ClockTest, FactorChangesApplyToWaitsStartedAfterwards) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<bool> waiting{false};
  auto realStart = std::chrono::steady_clock::now();
  std::thread waiter([&] {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10 * kOneSecond;  // 10 ms of real time at 1000
    waiting = true;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  });
  while (!waiting) std::this_thread::yield();
  std::this_thread::sleep_for(1ms);
  host::clock::SetSpeedFactor(1.0);  // the running wait keeps its 10 ms, not 10 s
  waiter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, 5s);
}

TEST_F(ClockTest, SystemTimeIsTheWallClockAtBootPlusModelTime) {
  LARGE_INTEGER first, second;
  KeQuerySystemTime(&first);
  // 2020-01-01 in 100-ns units since 1601; the machine boots later than that.
  EXPECT_GT(first.QuadPart, 132223104000000000LL);
  host::clock::SleepFor(60 * kOneSecond);
  KeQuerySystemTime(&second);
  EXPECT_GE(second.QuadPart - first.QuadPart, 60 * kOneSecond);
}

}  // namespace
