// The seeded scheduler: a run is a function of its seed, and it finds a race
// that free-running threads hit only by luck.
#include <atomic>
#include <cstdlib>
#include <optional>
#include <set>

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
