// The seeded scheduler: a run is a function of its seed, and it finds a race
// that free-running threads hit only by luck.
#include <sched.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "host/kernel/api/hostusb.h"
#include "host/kernel/scheduler.h"
#include "tests/support/kernel_fixture.h"
#include "tests/support/seeds.h"
#include "tests/support/test_thread.h"

namespace {

// A deliberately broken toy: a completion path and a cancel path both free a
// record that neither holds a reference on. Each checks a flag, counts in a
// statistic, then sets the flag and frees: when both pass the check before
// either sets the flag, the record is freed twice (bug check 0xC2/0x07).
struct ToyRequest {
  std::atomic<LONG> finished{0};
  LONG statistics = 0;
  void *record = nullptr;
};

void FinishOnce(ToyRequest &request) {
  if (request.finished.load() != 0) return;
  InterlockedIncrement(&request.statistics);  // the window: a kernel call between check and act
  request.finished.store(1);
  ExFreePool(request.record);
}

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NORVUSB_TEST_TSAN 1
#endif
#endif

// The toy of a completion path and a cancel path that both end with
//   if (ctx->Irp) { IoFreeIrp(ctx->Irp); ctx->Irp = NULL; }
// The window holds no interlocked call, only the free itself: a switch at
// the kernel routine's entry is what lets the other path in.
struct ToyContext {
  PIRP Irp = nullptr;
};

void FreeIrpOnce(ToyContext *ctx) {
  if (ctx->Irp) {
    IoFreeIrp(ctx->Irp);
    ctx->Irp = NULL;
  }
}

class SchedulerTest : public KernelFixture {
 protected:
  SchedulerTest() : KernelFixture({}, false) {}

  // Boots a machine with `options`, races the two paths once, and tells
  // whether the record was freed twice.
  bool ToyRaceFreesTwice(host::KernelOptions options, uint64_t *digest = nullptr) {
    bool twice = false;
    {
      host::Kernel kernel(options);
      ToyRequest request;
      request.record = ExAllocatePoolWithTag(NonPagedPool, 32, PoolTag("Toy "));
      TestThread completion([&] { host::RunAtDispatchLevel([&] { FinishOnce(request); }); });
      TestThread cancel([&] { FinishOnce(request); });
      completion.join();
      cancel.join();
      twice = TakeBugCheck(host::bugcheck::kBadPoolCaller, host::bugcheck::kPoolDoubleFree);
      if (digest) *digest = host::sched::ScheduleDigest();
    }
    return twice;
  }

  // Boots a seeded machine, races the two IRP-freeing paths once; true when
  // the IRP was freed twice (0xC9/0x01).
  bool IrpFreedTwice(uint64_t seed, uint64_t *digest) {
    host::Kernel kernel({.seed = seed});
    ToyContext ctx;
    ctx.Irp = IoAllocateIrp(1, FALSE);
    TestThread completion([&] { host::RunAtDispatchLevel([&] { FreeIrpOnce(&ctx); }); });
    TestThread cancel([&] { FreeIrpOnce(&ctx); });
    completion.join();
    cancel.join();
    *digest = host::sched::ScheduleDigest();
    return TakeBugCheck(host::bugcheck::kIoManagerViolation, 0x01);
  }
};

TEST_F(SchedulerTest, SeededSchedulingFindsTheDoubleFreeAndItsSeedReplaysIt) {
  std::optional<uint64_t> found;
  uint64_t digest = 0;
  for (uint64_t seed = 1; seed <= 200 && !found; ++seed) {
    if (ToyRaceFreesTwice({.seed = seed}, &digest)) found = seed;
  }
  ASSERT_TRUE(found) << "no seed of 200 found the double free";
  RecordProperty("seed", std::to_string(*found));
  for (int replay = 0; replay < 5; ++replay) {
    uint64_t again = 0;
    EXPECT_TRUE(ToyRaceFreesTwice({.seed = *found}, &again)) << "replay " << replay;
    EXPECT_EQ(again, digest) << "replay " << replay << " took another schedule";
  }
}

// Two threads taking one spin lock in turn, 20 times each; returns the
// digest of the schedule.
uint64_t LockTakers(uint64_t seed) {
  host::Kernel kernel({.seed = seed});
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  LONG total = 0;
  auto add = [&] {
    for (int i = 0; i < 20; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      total = total + 1;
      KeReleaseSpinLock(&lock, old);
    }
  };
  TestThread a(add), b(add);
  a.join();
  b.join();
  EXPECT_EQ(total, 40) << "seed " << seed;
  return host::sched::ScheduleDigest();
}

TEST_F(SchedulerTest, SeededSchedulingFindsAnIrpFreedTwiceAndItsSeedReplaysIt) {
#if defined(NORVUSB_TEST_TSAN)
  // The sanitizer judges seeded runs too, and stops at this toy's race
  // before any seed can free twice: the race table below pins that.
  GTEST_SKIP() << "the thread sanitizer reports this race itself";
#endif
  std::optional<uint64_t> found;
  uint64_t digest = 0;
  for (uint64_t seed = 1; seed <= 200 && !found; ++seed)
    if (IrpFreedTwice(seed, &digest)) found = seed;
  ASSERT_TRUE(found) << "no seed of 200 freed the IRP twice";
  RecordProperty("seed", std::to_string(*found));
  for (int replay = 0; replay < 3; ++replay) {
    uint64_t again = 0;
    EXPECT_TRUE(IrpFreedTwice(*found, &again)) << "replay " << replay;
    EXPECT_EQ(again, digest) << "replay " << replay << " took another schedule";
  }
}

// Every routine the kernel exports to drivers is a switch point, refused or
// not: each call here passes at least one. Called at HIGH_LEVEL, where those
// with an IRQL limit refuse at once, so the arguments need only type.
TEST_F(SchedulerTest, EveryExportedRoutineIsASwitchPoint) {
  host::Kernel kernel({.seed = 1});
  static KEVENT event;
  static KSPIN_LOCK lock;
  static UNICODE_STRING text;
  static ANSI_STRING ansi;
  static LARGE_INTEGER second{.QuadPart = -10'000'000};
  static LONG value;
  static PVOID pointer;
  static IRP notAnIrp;
  const std::pair<const char *, std::function<void()>> calls[] = {
      {"ExAllocatePoolWithTag", [] { ExAllocatePoolWithTag(NonPagedPool, 8, PoolTag("Toy ")); }},
      {"ExAllocatePool", [] { ExAllocatePool(NonPagedPool, 8); }},
      {"ExFreePool", [] { ExFreePool(&value); }},
      {"ExFreePoolWithTag", [] { ExFreePoolWithTag(&value, PoolTag("Toy ")); }},
      {"KeGetCurrentIrql", [] { KeGetCurrentIrql(); }},
      {"KeRaiseIrql", [] { KIRQL old; KeRaiseIrql(HIGH_LEVEL, &old); }},
      {"KeLowerIrql", [] { KeLowerIrql(HIGH_LEVEL); }},
      {"KeInitializeSpinLock", [] { KeInitializeSpinLock(&lock); }},
      {"KfAcquireSpinLock", [] { KfAcquireSpinLock(&lock); }},
      {"KfReleaseSpinLock", [] { KfReleaseSpinLock(&lock, HIGH_LEVEL); }},
      {"KeAcquireSpinLockAtDpcLevel", [] { KeAcquireSpinLockAtDpcLevel(&lock); }},
      {"KeReleaseSpinLockFromDpcLevel", [] { KeReleaseSpinLockFromDpcLevel(&lock); }},
      {"KeInitializeEvent", [] { KeInitializeEvent(&event, NotificationEvent, FALSE); }},
      {"KeSetEvent", [] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }},
      {"KeClearEvent", [] { KeClearEvent(&event); }},
      {"KeResetEvent", [] { KeResetEvent(&event); }},
      {"KeReadStateEvent", [] { KeReadStateEvent(&event); }},
      {"KeWaitForSingleObject", [] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &second); }},
      {"KeDelayExecutionThread", [] { KeDelayExecutionThread(KernelMode, FALSE, &second); }},
      {"KeQuerySystemTime", [] { LARGE_INTEGER now; KeQuerySystemTime(&now); }},
      {"KeStallExecutionProcessor", [] { KeStallExecutionProcessor(1); }},
      {"ObfReferenceObject", [] { ObfReferenceObject(nullptr); }},
      {"ObfDereferenceObject", [] { ObfDereferenceObject(nullptr); }},
      {"IoCreateDevice", [] { PDEVICE_OBJECT d; IoCreateDevice(nullptr, 0, nullptr, 0, 0, FALSE, &d); }},
      {"IoDeleteDevice", [] { IoDeleteDevice(nullptr); }},
      {"IoAttachDeviceToDeviceStack", [] { IoAttachDeviceToDeviceStack(nullptr, nullptr); }},
      {"IoDetachDevice", [] { IoDetachDevice(nullptr); }},
      {"IoIsWdmVersionAvailable", [] { IoIsWdmVersionAvailable(1, 0x10); }},
      {"IoCreateSymbolicLink", [] { IoCreateSymbolicLink(&text, &text); }},
      {"IoDeleteSymbolicLink", [] { IoDeleteSymbolicLink(&text); }},
      {"IofCallDriver", [] { IofCallDriver(nullptr, nullptr); }},
      {"IofCompleteRequest", [] { IofCompleteRequest(&notAnIrp, IO_NO_INCREMENT); }},
      {"IoAllocateIrp", [] { IoAllocateIrp(1, FALSE); }},
      {"IoFreeIrp", [] { IoFreeIrp(nullptr); }},
      {"IoBuildDeviceIoControlRequest",
       [] { IoBuildDeviceIoControlRequest(0, nullptr, nullptr, 0, nullptr, 0, FALSE, nullptr, nullptr); }},
      {"IoCancelIrp", [] { IoCancelIrp(nullptr); }},
      {"IoAcquireCancelSpinLock", [] { KIRQL old; IoAcquireCancelSpinLock(&old); }},
      {"IoReleaseCancelSpinLock", [] { IoReleaseCancelSpinLock(HIGH_LEVEL); }},
      {"IoAllocateMdl", [] { IoAllocateMdl(nullptr, 0, FALSE, FALSE, nullptr); }},
      {"IoFreeMdl", [] { IoFreeMdl(nullptr); }},
      {"MmMapLockedPages", [] { MmMapLockedPages(nullptr, KernelMode); }},
      {"MmMapLockedPagesSpecifyCache",
       [] { MmMapLockedPagesSpecifyCache(nullptr, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority); }},
      {"IoOpenDeviceRegistryKey", [] { HANDLE h; IoOpenDeviceRegistryKey(nullptr, 1, 0, &h); }},
      {"IoInvalidateDeviceRelations", [] { IoInvalidateDeviceRelations(nullptr, BusRelations); }},
      {"PoCallDriver", [] { PoCallDriver(nullptr, nullptr); }},
      {"PoStartNextPowerIrp", [] { PoStartNextPowerIrp(nullptr); }},
      {"RtlQueryRegistryValues", [] { RtlQueryRegistryValues(0, nullptr, nullptr, nullptr, nullptr); }},
      {"ZwSetValueKey", [] { ZwSetValueKey(nullptr, &text, 0, REG_DWORD, nullptr, 0); }},
      {"ZwClose", [] { ZwClose(nullptr); }},
      {"RtlInitUnicodeString", [] { RtlInitUnicodeString(&text, u"x"); }},
      {"RtlInitAnsiString", [] { RtlInitAnsiString(&ansi, "x"); }},
      {"RtlAnsiStringToUnicodeString", [] { RtlAnsiStringToUnicodeString(&text, &ansi, TRUE); }},
      {"RtlFreeUnicodeString", [] { RtlFreeUnicodeString(&text); }},
      {"USBD_ParseConfigurationDescriptor", [] { USBD_ParseConfigurationDescriptor(nullptr, 0, 0); }},
      {"InterlockedIncrement", [] { InterlockedIncrement(&value); }},
      {"InterlockedDecrement", [] { InterlockedDecrement(&value); }},
      {"InterlockedExchange", [] { InterlockedExchange(&value, 1); }},
      {"InterlockedCompareExchange", [] { InterlockedCompareExchange(&value, 1, 0); }},
      {"InterlockedExchangePointer", [] { InterlockedExchangePointer(&pointer, nullptr); }},
      {"InterlockedCompareExchangePointer", [] { InterlockedCompareExchangePointer(&pointer, nullptr, nullptr); }},
  };
  KIRQL old;
  KeRaiseIrql(HIGH_LEVEL, &old);
  for (const auto &[name, call] : calls) {
    const uint64_t before = host::sched::SwitchCount();
    call();
    EXPECT_GT(host::sched::SwitchCount(), before) << name;
  }
  KeLowerIrql(old);
  TakeBugChecks();  // the refusals
}

TEST_F(SchedulerTest, OneSeedOneScheduleAnotherSeedAnother) {
  EXPECT_EQ(LockTakers(11), LockTakers(11));
  std::set<uint64_t> digests;
  for (uint64_t seed = 1; seed <= 10; ++seed) digests.insert(LockTakers(seed));
  EXPECT_GE(digests.size(), 8u);
}

// A thread spinning on a lock that another holds lets the holder run: the
// seeded scheduler never spins with the one turn to run.
TEST_F(SchedulerTest, ASpinLockHeldAcrossASwitchIsReleasedByItsHolder) {
  for (uint64_t seed = 1; seed <= 50; ++seed) LockTakers(seed);
}

// Seeded, the machine's threads share the booting thread's processor; the
// booting thread gets its own mask back at shutdown, so that the rest of the
// process (a free-running test after a seeded one) is not held to one.
TEST_F(SchedulerTest, AMachineUnderASeedKeepsItsThreadsOnOneProcessorUntilItStops) {
  auto mask = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    return set;
  };
  const cpu_set_t before = mask();
  if (CPU_COUNT(&before) < 2) GTEST_SKIP() << "the process may run on one processor only";
  {
    host::Kernel kernel({.seed = 3});
    cpu_set_t worker;
    TestThread thread([&] { worker = mask(); });
    thread.join();
    EXPECT_EQ(CPU_COUNT(&worker), 1);
    const cpu_set_t booting = mask();
    EXPECT_TRUE(CPU_EQUAL(&worker, &booting));
  }
  const cpu_set_t after = mask();
  EXPECT_TRUE(CPU_EQUAL(&after, &before));
}

// Races whose window holds no kernel call, each a wrong toy of two paths.
// The seeded scheduler splits a window only at a kernel call: the third
// toy's window opens after `KeSetEvent`'s effect, so the switch point after
// each routine's effect is what lets the waiter read early. The first two
// hold no call at all; the thread sanitizer judges them, on every seed: the
// scheduler's hand-offs are no synchronisation to it.
struct PlainRaceToy {
  int seen = 0;  // what the toy's check saw
  PIRP Irp = nullptr;
  LONG Active = 0;
  LONG Starts = 0;
  KEVENT Done;
  LONG Result = 0;
};

struct PlainRace {
  const char *name;
  void (*path)(PlainRaceToy &toy, bool first);
  bool (*faulted)(PlainRaceToy &toy);  // after both paths, on a seed that split the window
  bool seedsSplitIt;
};

const PlainRace kPlainRaces[] = {
    {"an IRP pointer read and cleared on two paths, both freeing it",
     [](PlainRaceToy &toy, bool) {
       PIRP irp = toy.Irp;
       toy.Irp = NULL;
       if (irp) IoFreeIrp(irp);
     },
     [](PlainRaceToy &) { return false; }, false},
    {"check-then-act on a plain counter",
     [](PlainRaceToy &toy, bool) {
       if (toy.Active == 0) {
         toy.Active = 1;
         InterlockedIncrement(&toy.Starts);
       }
     },
     [](PlainRaceToy &toy) { return toy.Starts != 1; }, false},
    {"a result written after KeSetEvent, read by the woken waiter",
     [](PlainRaceToy &toy, bool first) {
       if (first) {
         KeSetEvent(&toy.Done, IO_NO_INCREMENT, FALSE);
         toy.Result = 5;
       } else {
         KeWaitForSingleObject(&toy.Done, Executive, KernelMode, FALSE, nullptr);
         toy.seen = toy.Result;
       }
     },
     [](PlainRaceToy &toy) { return toy.seen != 5; }, true},
};

// One run of a toy on a machine of its own; true when its fault showed.
bool RunPlainRace(const PlainRace &race, std::optional<uint64_t> seed) {
  host::Kernel kernel({.seed = seed});
  PlainRaceToy toy;
  toy.Irp = IoAllocateIrp(1, FALSE);
  KeInitializeEvent(&toy.Done, NotificationEvent, FALSE);
  TestThread first([&] { race.path(toy, true); });
  TestThread second([&] { race.path(toy, false); });
  first.join();
  second.join();
  if (toy.Irp) IoFreeIrp(toy.Irp);
  return race.faulted(toy);
}

TEST_F(SchedulerTest, RacesOnPlainMemoryAreFoundBySeedsOrTheThreadSanitizer) {
  for (const PlainRace &race : kPlainRaces) {
#if defined(NORVUSB_TEST_TSAN)
    // Whatever order the seed (or the host) chose, the sanitizer reports.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    setenv("TSAN_OPTIONS", "halt_on_error=1 exitcode=66", 1);
    for (std::optional<uint64_t> seed : {std::optional<uint64_t>(1), std::optional<uint64_t>(2),
                                          std::optional<uint64_t>()}) {
      EXPECT_EXIT(RunPlainRace(race, seed), ::testing::ExitedWithCode(66), "ThreadSanitizer: data race")
          << race.name << (seed ? ", seed " + std::to_string(*seed) : ", free-running");
    }
#else
    if (!race.seedsSplitIt) continue;  // no switch point in the window: the sanitizer's alone
    int found = 0;
    for (uint64_t seed = 1; seed <= 200; ++seed) found += RunPlainRace(race, seed) ? 1 : 0;
    EXPECT_GT(found, 0) << race.name << ": no seed of 200 split the window";
#endif
  }
  TakeBugChecks();  // a double free the first toy's seeds may give
}

}  // namespace

// A seed comes from the environment only when it is a plain number: a typo
// must not quietly run another schedule.
TEST(SeedFromEnvironment, TakesPlainNumbersOnly) {
  struct Case {
    const char *text;
    std::optional<uint64_t> seed;
  };
  const Case cases[] = {{"1284", 1284}, {"0x10", 16}, {"0", 0}, {"", std::nullopt}, {"seven", std::nullopt},
                        {"-1", std::nullopt}, {"12x", std::nullopt}, {" 5", std::nullopt},
                        {"99999999999999999999999", std::nullopt}};
  for (const Case &c : cases) {
    setenv("NORVUSB_TEST_SEED", c.text, 1);
    EXPECT_EQ(host::sched::SeedFromEnvironment("NORVUSB_TEST_SEED"), c.seed) << '"' << c.text << '"';
  }
  unsetenv("NORVUSB_TEST_SEED");
  EXPECT_EQ(host::sched::SeedFromEnvironment("NORVUSB_TEST_SEED"), std::nullopt);
}
