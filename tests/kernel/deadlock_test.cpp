// Every way a machine can stop moving is reported, never waited out: a spin
// lock whose holder waits, a driver that busy-waits on the clock, a thread
// the machine does not know; and a thread's end is known to the scheduler.
#include <atomic>
#include <optional>
#include <thread>

#include "host/kernel/scheduler.h"
#include "host/kernel/watchdog.h"
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

// A poll at PASSIVE_LEVEL for a flag that another thread sets after 5 ms:
// the clock ticks for a thread that keeps the processor, so the setter
// runs and the poll ends, as on the platform. A poll of plain memory makes
// no kernel call: free-running the real-time watchdog ticks for it.
TEST_F(DeadlockTest, ABusyPollSeesTheClockTickAndItsSetterRun) {
  struct Poll {
    const char *what;
    bool (*done)(LONG *flag, KEVENT *event);
  } polls[] = {
      {"interlocked read", [](LONG *flag, KEVENT *) { return InterlockedCompareExchange(flag, 0, 0) != 0; }},
      {"KeReadStateEvent", [](LONG *, KEVENT *event) { return KeReadStateEvent(event) != 0; }},
      {"zero time-out wait",
       [](LONG *, KEVENT *event) {
         LARGE_INTEGER zero{};
         return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &zero) == STATUS_SUCCESS;
       }},
      {"plain read", [](LONG *flag, KEVENT *) { return __atomic_load_n(flag, __ATOMIC_RELAXED) != 0; }},
  };
  for (const Poll &poll : polls) {
    for (const auto &seed : kModes) {
      const bool plain = poll.what == std::string("plain read");
      if (plain && seed) continue;  // seeded, nothing can run before its next kernel call (below)
      host::Kernel kernel({.seed = seed});
      LONG flag = 0;
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      TestThread setter([&] {
        LARGE_INTEGER fiveMs = Relative(5 * kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &fiveMs);
        InterlockedExchange(&flag, 1);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
      });
      while (!poll.done(&flag, &event)) {
      }
      setter.join();
      EXPECT_GE(host::clock::Now(), 5 * kMillisecond) << poll.what << ", " << ModeName(seed);
    }
  }
}

// A thread that never lets go: each ends with a report naming it, within
// seconds of real time. The DPC watchdog (0x133) for a thread at
// DISPATCH_LEVEL or above for its period; "no progress" for a wait nobody
// ends while a timer goes round; a loop with no kernel call at all stopped
// by the real-time watchdog.
TEST_F(DeadlockTest, AThreadThatNeverLetsGoIsReportedByName) {
  const std::optional<uint64_t> modes[] = {std::nullopt, 1};
  for (const auto &seed : modes) {
    {  // a leaked spin lock whose holder goes on with a timer loop
      host::Kernel kernel({.seed = seed});
      KSPIN_LOCK lock;
      KeInitializeSpinLock(&lock);
      LONG gaveUp = 0;
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      KeLowerIrql(PASSIVE_LEVEL);  // the leak: never released on this path
      host::sched::Thread spinner("spinner", [&] {
        KIRQL was;
        KeAcquireSpinLock(&lock, &was);  // refused once the watchdog has fired
        KeLowerIrql(was);
        InterlockedExchange(&gaveUp, 1);
      });
      while (InterlockedCompareExchange(&gaveUp, 0, 0) == 0) {
        LARGE_INTEGER tenMs = Relative(10 * kMillisecond);
        KeDelayExecutionThread(KernelMode, FALSE, &tenMs);
      }
      spinner.Join();
      KeRaiseIrql(DISPATCH_LEVEL, &old);
      KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
      auto checks = TakeBugChecks();
      ASSERT_EQ(checks.size(), 1u) << ModeName(seed);
      EXPECT_EQ(checks[0].code, 0x133u);
      EXPECT_NE(checks[0].what.find("thread 'spinner'"), std::string::npos) << checks[0].what;
      EXPECT_NE(checks[0].what.find("held by thread 'main'"), std::string::npos) << checks[0].what;
    }
    {  // an endless loop at DISPATCH_LEVEL that makes kernel calls
      host::Kernel kernel({.seed = seed});
      LONG value = 0;
      host::sched::Thread looper("looper", [&] {
        host::RunAtDispatchLevel([&] {
          while (host::BugChecksSoFar().empty()) InterlockedCompareExchange(&value, 0, 0);
        });
      });
      looper.Join();
      EXPECT_GE(host::clock::Now(), host::sched::kDispatchWatchdog);
      auto checks = TakeBugChecks();
      ASSERT_EQ(checks.size(), 1u) << ModeName(seed);
      EXPECT_EQ(checks[0].code, 0x133u);
      EXPECT_EQ(checks[0].parameters[0], 1u);
      EXPECT_NE(checks[0].what.find("thread 'looper'"), std::string::npos) << checks[0].what;
    }
  }
}

TEST_F(DeadlockTest, AThreadThatNeverLetsGoStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  struct Case {
    const char *what;
    std::optional<uint64_t> seed;
    void (*run)();
    const char *report;
  } cases[] = {
      {"a wait nobody ends while a timer ticks", 1,
       [] {
         KEVENT never;
         KeInitializeEvent(&never, NotificationEvent, FALSE);
         host::sched::Thread timer("timer", [] {
           for (;;) {
             LARGE_INTEGER tenMs = Relative(10 * kMillisecond);
             KeDelayExecutionThread(KernelMode, FALSE, &tenMs);
           }
         });
         KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
       },
       "NO PROGRESS(.|\n)*thread 'main' waits on: KeWaitForSingleObject(.|\n)*thread 'timer' waits on: "
       "KeDelayExecutionThread"},
      {"a loop on plain memory, seeded", 1,
       [] {
         static LONG flag = 0;
         host::sched::Thread setter("setter", [] {
           LARGE_INTEGER fiveMs = Relative(5 * kMillisecond);
           KeDelayExecutionThread(KernelMode, FALSE, &fiveMs);
           InterlockedExchange(&flag, 1);
         });
         while (__atomic_load_n(&flag, __ATOMIC_RELAXED) == 0) {
         }
       },
       "MACHINE STOPPED(.|\n)*thread 'main' has run for 5 s of real time without a kernel call"},
      {"a loop on plain memory at DISPATCH_LEVEL", std::nullopt,
       [] {
         host::sched::Thread timer("timer", [] {
           for (;;) {
             LARGE_INTEGER hour = Relative(3'600'000 * kMillisecond);
             KeDelayExecutionThread(KernelMode, FALSE, &hour);
           }
         });
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         static LONG flag = 0;
         while (__atomic_load_n(&flag, __ATOMIC_RELAXED) == 0) {
         }
       },
       "STOP 0x00000133 \\(0x1, 0x1E00, (.|\n)*DPC_WATCHDOG_VIOLATION: thread 'main' runs at IRQL 2 without a kernel call"},
  };
  for (const Case &c : cases) {
    EXPECT_EXIT(
        {
          host::SetBugCheckHandler({});
          host::Kernel kernel({.seed = c.seed});
          c.run();
        },
        ::testing::ExitedWithCode(86), c.report)
        << c.what;
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
