#include "tests/support/seeds.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "host/kernel/scheduler.h"

namespace {

uint64_t Number(const char *name, uint64_t fallback) {
  return host::sched::SeedFromEnvironment(name).value_or(fallback);
}

}  // namespace

// The thread sanitizer judges every access pair of a seed's run whatever
// order the seed chose, so a few seeds cover what it can find; each is
// many times slower under it.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NORVUSB_SEEDS_TSAN 1
#endif
#endif
#if defined(NORVUSB_SEEDS_TSAN)
constexpr uint64_t kDefaultSeeds = 4;
#else
constexpr uint64_t kDefaultSeeds = 200;
#endif

SeedRange SeedsToRun() {
  if (auto seed = host::sched::SeedFromEnvironment()) return {*seed, 1};
  return {Number("NORVUSB_SEED_BASE", 1), Number("NORVUSB_SEEDS", kDefaultSeeds)};
}

std::string ReplayCommand(uint64_t seed) {
  const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = test ? std::string(test->test_suite_name()) + "." + test->name() : "?";
  return "NORVUSB_SEED=" + std::to_string(seed) + " ctest --test-dir " NORVUSB_BINARY_DIR " -R '^" + name +
         "$' --output-on-failure";
}

void ForEachSeed(const std::function<void(uint64_t seed)> &scenario) {
  const SeedRange range = SeedsToRun();
  // The mark by which `make explore` tells a test that takes its seeds from
  // the environment from one that runs its own.
  std::printf("[ seeds    ] %llu-%llu\n", static_cast<unsigned long long>(range.first),
              static_cast<unsigned long long>(range.first + range.count - 1));
  for (uint64_t seed = range.first; seed < range.first + range.count; ++seed) {
    scenario(seed);
    if (::testing::Test::HasFailure()) {
      ADD_FAILURE() << "seed " << seed << " fails; replay it with:\n    " << ReplayCommand(seed);
      return;
    }
  }
}
