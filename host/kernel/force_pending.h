// The verifier's force-pending option: drivers below the one under test
// (the USB stack, the tests' lower filters) pend, at random from a seed,
// requests they could complete at once, so that a driver that counts on a
// synchronous completion is found. Off unless enabled; a machine boots with
// it on when NORVUSB_FORCE_PENDING holds a seed (decimal, or hex with 0x).
#pragma once

#include <cstdint>

namespace host::forcepending {
void Enable(uint64_t seed);
void Disable();
bool Enabled();
// Whether the caller should pend the request at hand: one in two when on,
// from the seeded generator (the same seed and calls give the same answers).
bool ShouldPend();
// Boot: enable from the environment variable if it is set; shutdown: off.
void EnableFromEnvironment();
}  // namespace host::forcepending
