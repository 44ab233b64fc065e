// The users of the busiest race scenario, shared by the seeded race tests
// and the exploration benchmark: on every bridge a writer, a reader and a
// device-control thread, all on the port's one handle.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/machine/machine.h"

namespace host {

// What each bridge carries.
struct Workload {
  size_t printBytes = 0;     // written by one thread, in requests of requestSize
  ULONG requestSize = 4096;  // the driver's default MaxTransferSize
  size_t answerBytes = 0;    // queued on the back channel, read by another
  ULONG readSize = 64;       // bytes asked for by each read
  int controlRounds = 1;     // rounds of three device-control codes, by a third
  uint32_t patternSeed = 0;  // the bytes differ by seed and by bridge
};

// `size` bytes of a pattern that differs with `seed`.
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed);

// Runs the workload on bridges 0 to bridges - 1, each opened by its DOS
// name and closed at the end. Nothing may be lost or duplicated: each
// printer gets its bytes (plus 100 more per bridge index, so no two bridges
// print alike) and each reader its answers, in order, and every request
// succeeds except a transfer refused while the other direction holds the
// one transfer, which is sent again. Returns one line per fault; empty when
// there was none.
std::vector<std::string> WritersReadersAndControls(Machine &machine, size_t bridges, const Workload &load);

}  // namespace host
