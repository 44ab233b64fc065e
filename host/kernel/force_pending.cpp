// Force-pending mode, as the verifier's option: a seeded coin that lower
// drivers toss before completing a request at once.
#include "host/kernel/force_pending.h"

#include <cstdlib>
#include <mutex>
#include <random>

namespace host::forcepending {
namespace {

struct State {
  std::mutex mutex;
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
  const char *text = std::getenv("NORVUSB_FORCE_PENDING");
  char *end = nullptr;
  const unsigned long long seed = text != nullptr ? std::strtoull(text, &end, 10) : 0;
  // Anything but a plain number leaves the option off rather than guessing.
  if (text != nullptr && *text != '\0' && end != nullptr && *end == '\0') {
    Enable(seed);
  } else {
    Disable();
  }
}

}  // namespace host::forcepending
