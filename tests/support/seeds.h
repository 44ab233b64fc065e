// Runs a race scenario under many seeds of the seeded scheduler: each seed is
// a fresh machine whose threads run one at a time, switching at kernel calls
// as the seed decides, so any interleaving a seed finds replays exactly.
//
//   TEST_F(RaceTest, Something) {
//     ForEachSeed([&](uint64_t seed) {
//       ... boot a machine with KernelOptions{.seed = seed}, run, shut down
//     });
//   }
//
// The first seed whose run fails a check stops the loop; the test then
// fails with the seed and the one command that replays it.
//
// Environment: NORVUSB_SEED=N runs only seed N (a replay); NORVUSB_SEEDS=K
// runs K seeds (default 200) from NORVUSB_SEED_BASE (default 1).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The seeds a race test runs, from the environment.
struct SeedRange {
  uint64_t first = 1;
  uint64_t count = 200;
};
SeedRange SeedsToRun();

// The command that replays `seed` of the running test.
std::string ReplayCommand(uint64_t seed);

// Runs `scenario` once per seed; stops at the first seed after which the
// running test has a failure, and adds one naming the seed and its replay.
void ForEachSeed(const std::function<void(uint64_t seed)> &scenario);
