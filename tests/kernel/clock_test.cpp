// Virtual time: model time moves only when every thread of the machine waits,
// and then straight to the earliest deadline.
#include <atomic>
#include <chrono>

#include "host/kernel/scheduler.h"
#include "tests/support/kernel_fixture.h"
#include "tests/support/test_thread.h"

namespace {

constexpr int64_t kOneSecond = 10'000'000;

LARGE_INTEGER Relative(int64_t units) {
  LARGE_INTEGER t;
  t.QuadPart = -units;
  return t;
}

class ClockTest : public KernelFixture {};

TEST_F(ClockTest, ComputationTakesNoModelTime) {
  const int64_t before = host::clock::Now();
  volatile uint64_t sum = 0;
  for (uint64_t i = 0; i < 10'000'000; ++i) sum = sum + i;  // real time passes, model time does not
  EXPECT_EQ(host::clock::Now(), before);
}

TEST_F(ClockTest, ADelayTakesExactlyItsModelTime) {
  const int64_t before = host::clock::Now();
  host::clock::SleepFor(3 * kOneSecond);
  EXPECT_EQ(host::clock::Now() - before, 3 * kOneSecond);
  LARGE_INTEGER delay = Relative(kOneSecond / 4);
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  EXPECT_EQ(host::clock::Now() - before, 3 * kOneSecond + kOneSecond / 4);
}

// The clock waits for a thread that is still working, however long it takes
// in real time, before it lets another thread's time-out pass.
TEST_F(ClockTest, ATimeOutCannotPassWhileAnotherThreadStillWorks) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<bool> release{false};
  TestThread worker([&] {
    while (!release) std::this_thread::yield();  // busy, and for as long as the test likes
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  TestThread waiter([&] {
    LARGE_INTEGER timeout = Relative(kOneSecond);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // real time only: the waiter must not time out
  EXPECT_EQ(host::clock::Now(), 0);
  release = true;
  waiter.join();
  worker.join();
}

TEST_F(ClockTest, TheEarliestDeadlineWakesFirst) {
  std::vector<int> order;
  host::Mutex mutex;
  auto sleeper = [&](int id, int64_t units) {
    return TestThread([&, id, units] {
      host::clock::SleepFor(units);
      std::lock_guard lock(mutex);
      order.push_back(id);
      EXPECT_EQ(host::clock::Now(), units);
    });
  };
  TestThread late = sleeper(3, 3 * kOneSecond);
  TestThread early = sleeper(1, kOneSecond);
  TestThread middle = sleeper(2, 2 * kOneSecond);
  late.join();
  early.join();
  middle.join();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(ClockTest, SystemTimeIsTheWallClockAtBootPlusModelTime) {
  LARGE_INTEGER first, second;
  KeQuerySystemTime(&first);
  // 2020-01-01 in 100-ns units since 1601; the machine boots later than that.
  EXPECT_GT(first.QuadPart, 132223104000000000LL);
  host::clock::SleepFor(60 * kOneSecond);
  KeQuerySystemTime(&second);
  EXPECT_EQ(second.QuadPart - first.QuadPart, 60 * kOneSecond);
}

TEST_F(ClockTest, PollingSeesAStateSetByAnotherThreadsTimer) {
  std::atomic<bool> flag{false};
  TestThread setter([&] {
    host::clock::SleepFor(5 * kOneSecond);
    flag = true;
  });
  EXPECT_TRUE(host::sched::PollUntil([&] { return flag.load(); }, 10 * kOneSecond, "the flag"));
  EXPECT_GE(host::clock::Now(), 5 * kOneSecond);
  EXPECT_FALSE(host::sched::PollUntil([] { return false; }, kOneSecond, "nothing"));
  setter.join();
}

using DeadlockDeathTest = ClockTest;

// Nothing can run and nothing is due: reported at once, naming each thread
// and its wait, instead of a hang.
TEST_F(DeadlockDeathTest, AWaitThatNothingCanEndIsReportedAtOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
      },
      ::testing::ExitedWithCode(86), "MACHINE DEADLOCK(.|\n)*thread 'main' waits on: KeWaitForSingleObject");
}

TEST(KernelLifeTest, ANegativePaceBootsNothing) {
  EXPECT_THROW(host::Kernel(host::KernelOptions{.pace = -1.0}), std::invalid_argument);
  host::Kernel kernel;  // and the next machine boots
}

}  // namespace
