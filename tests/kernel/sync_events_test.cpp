// Events and waits on real threads, against the model clock.
#include <atomic>
#include <chrono>
#include <thread>

#include "host/kernel/scheduler.h"
#include "tests/support/test_thread.h"
#include "tests/support/kernel_fixture.h"

namespace {

using namespace std::chrono_literals;

constexpr LONGLONG kOneSecond = 10'000'000;

LARGE_INTEGER Relative(LONGLONG units) {
  LARGE_INTEGER t;
  t.QuadPart = -units;
  return t;
}

class EventTest : public KernelFixture {};

TEST_F(EventTest, RelativeTimeOutFiresAfterItsModelTimeAndNoSooner) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = Relative(2 * kOneSecond);
  int64_t start = host::clock::Now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(host::clock::Now() - start, 2 * kOneSecond);
}

TEST_F(EventTest, AbsoluteTimeOutIsSystemTime) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  LARGE_INTEGER deadline;
  KeQuerySystemTime(&deadline);
  deadline.QuadPart += kOneSecond;
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
  LARGE_INTEGER now;
  KeQuerySystemTime(&now);
  EXPECT_GE(now.QuadPart, deadline.QuadPart);

  // A deadline already past only polls.
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &deadline), STATUS_TIMEOUT);
}

TEST_F(EventTest, SetWithinTheTimeOutEndsTheWaitWithSuccess) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  TestThread setter([&] {
    LARGE_INTEGER delay = Relative(kOneSecond / 2);
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  LARGE_INTEGER timeout = Relative(60 * kOneSecond);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_SUCCESS);
  setter.join();
}

TEST_F(EventTest, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<int> released{0};
  auto waiter = [&] {
    LARGE_INTEGER timeout = Relative(30 * kOneSecond);
    if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) ++released;
  };
  TestThread a(waiter), b(waiter);
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  a.join();
  b.join();
  EXPECT_EQ(released, 2);
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(KeResetEvent(&event), 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, SynchronizationEventReleasesOneWaiterAndResets) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::atomic<int> released{0}, timedOut{0};
  auto waiter = [&] {
    LARGE_INTEGER timeout = Relative(10 * kOneSecond);
    NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    ++(status == STATUS_SUCCESS ? released : timedOut);
  };
  TestThread a(waiter), b(waiter);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  a.join();
  b.join();
  EXPECT_EQ(released, 1);
  EXPECT_EQ(timedOut, 1);
  EXPECT_EQ(KeReadStateEvent(&event), 0);

  // Signalled with nobody waiting, it lets exactly one wait through.
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
}

// The classic: the waiter frees the event as soon as its wait returns, while
// the setter is on another thread. The setter must be done with the event's
// memory by then (the pool poisons freed memory and the thread sanitizer
// watches the rest).
TEST_F(EventTest, EventFreedRightAfterTheWaitIsNotTouchedAgain) {
  constexpr int kRounds = 5000;
  std::atomic<PKEVENT> handedOver{nullptr};
  std::atomic<bool> done{false};
  TestThread setter([&] {
    while (!done) {
      PKEVENT event = handedOver.exchange(nullptr);
      if (event == nullptr) {
        std::this_thread::yield();
        continue;
      }
      host::RunAtDispatchLevel([&] { KeSetEvent(event, IO_NO_INCREMENT, FALSE); });
    }
  });
  for (int i = 0; i < kRounds; ++i) {
    auto event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), PoolTag("Evnt")));
    ASSERT_NE(event, nullptr);
    KeInitializeEvent(event, i % 2 ? SynchronizationEvent : NotificationEvent, FALSE);
    handedOver = event;
    ASSERT_EQ(KeWaitForSingleObject(event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ExFreePool(event);
  }
  done = true;
  setter.join();
  // A late write by the setter into a freed event shows at shutdown as 0xCC.
}

TEST_F(EventTest, WaitingAtDispatchLevelIsABugCheckButPollingIsAllowed) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  host::RunAtDispatchLevel([&] {
    LARGE_INTEGER poll{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
    EXPECT_TRUE(TakeBugChecks().empty());

    LARGE_INTEGER timeout = Relative(kOneSecond);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    EXPECT_TRUE(TakeBugCheck(host::bugcheck::kIrqlNotLessOrEqual));
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_TRUE(TakeBugCheck(host::bugcheck::kIrqlNotLessOrEqual));
    KeDelayExecutionThread(KernelMode, FALSE, &timeout);
    EXPECT_TRUE(TakeBugCheck(host::bugcheck::kIrqlNotLessOrEqual));
  });
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(EventTest, DelayLastsItsModelTime) {
  LARGE_INTEGER delay = Relative(kOneSecond / 2);
  int64_t start = host::clock::Now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &delay), STATUS_SUCCESS);
  EXPECT_GE(host::clock::Now() - start, kOneSecond / 2);
}

}  // namespace
