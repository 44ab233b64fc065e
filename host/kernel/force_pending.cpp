// Force-pending mode, as the verifier's option: a seeded coin that lower
// drivers toss before completing a request at once.
#include "host/kernel/force_pending.h"

#include <cstdlib>
#include <mutex>
#include <random>

#include "host/kernel/scheduler.h"

namespace host::forcepending {
namespace {

struct State {
  host::Mutex mutex;
  bool enabled = false;
  std::mt19937_64 random;
};

State &TheState() {
  static State state;
  return state;
}

}  // namespace

void Enable(uint64_t seed) {
  auto &state = TheState();
  std::lock_guard lock(state.mutex);
  state.enabled = true;
  state.random.seed(seed);
}

void Disable() {
  auto &state = TheState();
  std::lock_guard lock(state.mutex);
  state.enabled = false;
}

bool Enabled() {
  auto &state = TheState();
  std::lock_guard lock(state.mutex);
  return state.enabled;
}

bool ShouldPend() {
  auto &state = TheState();
  std::lock_guard lock(state.mutex);
  return state.enabled && (state.random() & 1) != 0;
}

void EnableFromEnvironment() {
  // Anything but a plain number leaves the option off rather than guessing.
  if (auto seed = sched::SeedFromEnvironment("NORVUSB_FORCE_PENDING")) {
    Enable(*seed);
  } else {
    Disable();
  }
}

}  // namespace host::forcepending
