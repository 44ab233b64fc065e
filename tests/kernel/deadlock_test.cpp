// Every way a machine can stop moving is reported, never waited out: a spin
// lock whose holder waits, a driver that busy-waits on the clock, a thread
// the machine does not know; and a thread's end is known to the scheduler.
#include <atomic>
#include <optional>
#include <thread>

#include "host/kernel/scheduler.h"
#include "host/machine/machine.h"
#include "tests/support/kernel_fixture.h"
#include "tests/support/test_thread.h"

namespace {

namespace bc = host::bugcheck;
constexpr int64_t kMillisecond = 10'000;

LARGE_INTEGER Relative(int64_t units) { return LARGE_INTEGER{.QuadPart = -units}; }

// Free-running, and a few seeds of the seeded scheduler.
const std::optional<uint64_t> kModes[] = {std::nullopt, 1, 2, 3};

std::string ModeName(const std::optional<uint64_t> &seed) {
  return seed ? "seed " + std::to_string(*seed) : "free-running";
}

class DeadlockTest : public KernelFixture {
 protected:
  DeadlockTest() : KernelFixture({}, false) {}
};

// A wrong toy: the holder takes the lock, drops to PASSIVE_LEVEL and waits
// (`timeout` null: forever); the spinner wants the same lock meanwhile.
void HolderAndSpinner(const LARGE_INTEGER *timeout, int64_t *spinnerGotItAt) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT never;
  KeInitializeEvent(&never, NotificationEvent, FALSE);
  std::atomic<bool> held{false};
  host::sched::Thread holder("holder", [&] {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    held = true;
    KeLowerIrql(PASSIVE_LEVEL);
    LARGE_INTEGER wait = timeout ? *timeout : LARGE_INTEGER{};
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, timeout ? &wait : nullptr);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
  });
  host::sched::Thread spinner("spinner", [&] {
    host::sched::PollUntil([&] { return held.load(); }, host::sched::kForever, "the holder");
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    *spinnerGotItAt = host::clock::Now();
    KeReleaseSpinLock(&lock, old);
  });
  holder.Join();
  spinner.Join();
}

TEST_F(DeadlockTest, ASpinnerWaitsForModelTimeWhileTheHolderWaits) {
  for (const auto &seed : kModes) {
    host::Kernel kernel({.seed = seed});
    const LARGE_INTEGER second = Relative(1000 * kMillisecond);
    int64_t gotItAt = -1;
    HolderAndSpinner(&second, &gotItAt);
    EXPECT_GE(gotItAt, 1000 * kMillisecond) << ModeName(seed);
  }
}

TEST_F(DeadlockTest, ASpinLockWhoseHolderWaitsForeverIsAMachineDeadlock) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (const auto &seed : kModes) {
    EXPECT_EXIT(
        {
          host::Kernel kernel({.seed = seed});
          int64_t gotItAt = -1;
          HolderAndSpinner(nullptr, &gotItAt);
        },
        ::testing::ExitedWithCode(86),
        "MACHINE DEADLOCK(.|\n)*thread 'holder' waits on: KeWaitForSingleObject(.|\n)*"
        "thread 'spinner' spins on spin lock 0x[0-9a-f]+, held by thread 'holder'")
        << ModeName(seed);
  }
}

// The lock's owner is the machine's record of the thread, never reused: a
// thread that ends holding it is named, and a later thread is not its owner.
TEST_F(DeadlockTest, AThreadThatEndsHoldingASpinLockIsABugCheckNamingIt) {
  host::Kernel kernel;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  host::sched::Thread("leaver", [&] { host::RunAtDispatchLevel([&] { KeAcquireSpinLockAtDpcLevel(&lock); }); })
      .Join();
  auto checks = TakeBugChecks();
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].code, bc::kVerifierViolation);
  EXPECT_EQ(checks[0].parameters[0], bc::kThreadEndsHoldingLock);
  EXPECT_NE(host::FormatBugCheck(checks[0]).find("'leaver'"), std::string::npos) << host::FormatBugCheck(checks[0]);

  TestThread([&] { host::RunAtDispatchLevel([&] { KeReleaseSpinLockFromDpcLevel(&lock); }); }).join();
  EXPECT_TRUE(TakeBugCheck(bc::kVerifierViolation, bc::kReleaseByWrongThread));
}

// A driver that busy-waits on the system time at DISPATCH_LEVEL, with no
// other thread to run, still sees 10 ms pass; a time-out due meanwhile fires.
TEST_F(DeadlockTest, PollingTheClockAtDispatchLevelSeesTimePass) {
  for (const auto &seed : kModes) {
    host::Kernel kernel({.seed = seed});
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    NTSTATUS waited = STATUS_PENDING;
    TestThread waiter([&] {
      LARGE_INTEGER fiveMs = Relative(5 * kMillisecond);
      waited = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &fiveMs);
    });
    LARGE_INTEGER start, now;
    host::RunAtDispatchLevel([&] {
      KeQuerySystemTime(&start);
      do KeQuerySystemTime(&now);
      while (now.QuadPart - start.QuadPart < 10 * kMillisecond);
    });
    waiter.join();
    EXPECT_EQ(waited, STATUS_TIMEOUT) << ModeName(seed);
    EXPECT_GE(host::clock::Now(), 10 * kMillisecond) << ModeName(seed);
  }
}

// KeStallExecutionProcessor, at any IRQL, takes exactly its argument of model time.
TEST_F(DeadlockTest, AStallTakesItsMicrosecondsOfModelTimeAtAnyIrql) {
  host::Kernel kernel;
  struct Case {
    KIRQL irql;
    ULONG microseconds;
  } cases[] = {{PASSIVE_LEVEL, 0}, {PASSIVE_LEVEL, 40}, {DISPATCH_LEVEL, 50}, {HIGH_LEVEL, 1}, {DISPATCH_LEVEL, 2500}};
  for (const Case &c : cases) {
    const int64_t before = host::clock::Now();
    KIRQL old;
    KeRaiseIrql(c.irql, &old);
    KeStallExecutionProcessor(c.microseconds);
    KeLowerIrql(old);
    EXPECT_EQ(host::clock::Now() - before, int64_t{c.microseconds} * 10) << int(c.irql) << " " << c.microseconds;
  }
}

// A thread started behind the machine's back would let time jump (a 2 s wait
// timing out at once) or raise a false deadlock: it stops the machine, named.
TEST_F(DeadlockTest, AThreadTheMachineDoesNotKnowStopsItWithAMessage) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        host::Kernel kernel;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        std::thread stranger([&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
        LARGE_INTEGER twoSeconds = Relative(2000 * kMillisecond);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &twoSeconds);
        stranger.join();
      },
      ::testing::ExitedWithCode(86),
      "MACHINE STOPPED: a thread that is not one of the machine's threads entered the kernel \\(KeSetEvent\\)");
}

// The thread that booted a machine ends while the machine's own threads
// wait for work: the machine is at rest, not deadlocked.
TEST(MachineAtRestTest, TheBootingThreadEndingLeavesTheMachineAtRest) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        std::unique_ptr<host::Machine> machine;
        std::thread([&] { machine = std::make_unique<host::Machine>(); }).join();
        std::fprintf(stderr, "at rest\n");
        std::_Exit(0);
      },
      ::testing::ExitedWithCode(0), "at rest");
}

}  // namespace
