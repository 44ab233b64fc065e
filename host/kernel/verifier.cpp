// Bug checks and the low-resources simulation: the two halves of the
// platform's verifier that every other service calls into.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>

#include "host/kernel/scheduler.h"
#include "host/kernel/host_kernel.h"

namespace host {

namespace {

struct BugCheckState {
  host::Mutex mutex;
  std::vector<BugCheck> record;
  BugCheckHandler handler;
};

BugCheckState &BugChecks() {
  static BugCheckState state;
  return state;
}

const char *BugCheckName(uint32_t code) {
  switch (code) {
    case bugcheck::kIrqlNotGreaterOrEqual: return "IRQL_NOT_GREATER_OR_EQUAL";
    case bugcheck::kIrqlNotLessOrEqual: return "IRQL_NOT_LESS_OR_EQUAL";
    case bugcheck::kMultipleIrpComplete: return "MULTIPLE_IRP_COMPLETE_REQUESTS";
    case bugcheck::kInvalidKernelHandle: return "INVALID_KERNEL_HANDLE";
    case bugcheck::kSpecialPoolCorruption: return "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION";
    case bugcheck::kBadPoolCaller: return "BAD_POOL_CALLER";
    case bugcheck::kVerifierViolation: return "DRIVER_VERIFIER_DETECTED_VIOLATION";
    case bugcheck::kIoManagerViolation: return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
    case bugcheck::kFreedPoolTouched: return "PAGE_FAULT_IN_FREED_SPECIAL_POOL";
    case bugcheck::kUnloadedWithPendingWork: return "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS";
    case 0x9F: return "DRIVER_POWER_STATE_FAILURE";
    case 0x133: return "DPC_WATCHDOG_VIOLATION";
    case 0xCA: return "PNP_DETECTED_FATAL_ERROR";
    case 0xD1: return "DRIVER_IRQL_NOT_LESS_OR_EQUAL";
    case bugcheck::kPageFaultBeyondEnd: return "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION";
    default: return "BUG_CHECK";
  }
}

// The program's default: the machine stops, as the platform's would. _Exit,
// because other threads may hold locks that destructors would wait for.
void StopTheMachine(const BugCheck &check) {
  std::fprintf(stderr, "*** %s\n", FormatBugCheck(check).c_str());
  std::fflush(stderr);
  std::_Exit(kBugCheckExitStatus);
}

}  // namespace

std::string FormatBugCheck(const BugCheck &check) {
  char head[160];
  std::snprintf(head, sizeof head, "STOP 0x%08" PRIX32 " (0x%" PRIX64 ", 0x%" PRIX64 ", 0x%" PRIX64 ", 0x%" PRIX64 ") %s",
                check.code, check.parameters[0], check.parameters[1], check.parameters[2], check.parameters[3],
                BugCheckName(check.code));
  return check.what.empty() ? std::string(head) : std::string(head) + ": " + check.what;
}

void RaiseBugCheck(uint32_t code, uint64_t p1, uint64_t p2, uint64_t p3, uint64_t p4, std::string what) {
  BugCheck check{code, {p1, p2, p3, p4}, std::move(what)};
  BugCheckHandler handler;
  {
    auto &state = BugChecks();
    std::lock_guard lock(state.mutex);
    state.record.push_back(check);
    handler = state.handler;
  }
  // Outside the lock: a handler may look at the record or raise again.
  if (handler) {
    handler(check);
  } else {
    StopTheMachine(check);
  }
}

void SetBugCheckHandler(BugCheckHandler handler) {
  auto &state = BugChecks();
  std::lock_guard lock(state.mutex);
  state.handler = std::move(handler);
}

std::vector<BugCheck> BugChecksSoFar() {
  auto &state = BugChecks();
  std::lock_guard lock(state.mutex);
  return state.record;
}

void ClearBugChecks() {
  auto &state = BugChecks();
  std::lock_guard lock(state.mutex);
  state.record.clear();
}

// ------------------------------------------------------------------ low-resources simulation
namespace lowres {
namespace {

struct Policy {
  host::Mutex mutex;
  uint64_t consulted = 0;
  uint64_t failAt = 0;  // the consulted-call number to fail; 0 = none
  ULONG failTag = 0;    // 0 = none
  uint32_t oneIn = 0;   // 0 = none
  std::mt19937_64 random;
};

Policy &ThePolicy() {
  static Policy policy;
  return policy;
}

}  // namespace

void FailNth(uint64_t k) {
  auto &policy = ThePolicy();
  std::lock_guard lock(policy.mutex);
  policy.failAt = k == 0 ? 0 : policy.consulted + k;
}

void FailTag(ULONG tag) {
  auto &policy = ThePolicy();
  std::lock_guard lock(policy.mutex);
  policy.failTag = tag;
}

void FailOneIn(uint32_t n, uint64_t seed) {
  auto &policy = ThePolicy();
  std::lock_guard lock(policy.mutex);
  policy.oneIn = n;
  policy.random.seed(seed);
}

// Clears the policies; the count of consulted calls runs on until the
// machine shuts down, so that FailNth numbers stay comparable within a run.
void Clear() {
  auto &policy = ThePolicy();
  std::lock_guard lock(policy.mutex);
  policy.failAt = 0;
  policy.failTag = 0;
  policy.oneIn = 0;
}

uint64_t ConsultedCalls() {
  auto &policy = ThePolicy();
  std::lock_guard lock(policy.mutex);
  return policy.consulted;
}

bool ShouldFail(const char * /*routine*/, ULONG tag) {
  auto &policy = ThePolicy();
  std::lock_guard lock(policy.mutex);
  uint64_t number = ++policy.consulted;
  bool fail = false;
  if (policy.failAt != 0 && number == policy.failAt) {
    policy.failAt = 0;
    fail = true;
  }
  if (policy.failTag != 0 && tag == policy.failTag) fail = true;
  // The generator advances on every consulted call, so a seed gives the same
  // failures for the same sequence of calls whatever the other policies do.
  if (policy.oneIn != 0 && policy.random() % policy.oneIn == 0) fail = true;
  return fail;
}

}  // namespace lowres

namespace detail {
// Shutdown: policies and count back to boot state.
void LowResourcesReset() {
  auto &policy = lowres::ThePolicy();
  std::lock_guard lock(policy.mutex);
  policy.consulted = 0;
  policy.failAt = 0;
  policy.failTag = 0;
  policy.oneIn = 0;
}
}  // namespace detail

}  // namespace host
