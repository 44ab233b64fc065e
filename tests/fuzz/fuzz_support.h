// What every fuzz target shares: a bug check of the host machine is a
// finding, so it stops the run with the verifier's message and a crash that
// libFuzzer records with the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

#include "host/kernel/host_kernel.h"

namespace fuzz {

inline void CrashOnBugCheck() {
  host::SetBugCheckHandler([](const host::BugCheck &check) {
    std::fprintf(stderr, "%s\n", host::FormatBugCheck(check).c_str());
    std::abort();
  });
}

// A failed expectation about the code under test: report it and crash.
[[noreturn]] inline void Finding(const char *what) {
  std::fprintf(stderr, "finding: %s\n", what);
  std::abort();
}

#define FUZZ_EXPECT(condition) \
  do {                         \
    if (!(condition)) ::fuzz::Finding(#condition); \
  } while (0)

}  // namespace fuzz
