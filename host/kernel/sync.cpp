// IRQL per thread, spin locks, events, waits and delays.
//
// Events live in the caller's memory (a KEVENT, often in pool freed right
// after the wait). All event state changes happen under one dispatcher lock,
// as on the platform, and a setter wakes its waiters while it still holds that
// lock: a woken waiter must retake the lock before it can return, so by the
// time it frees the event the setter has finished touching it.
#include <algorithm>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "host/kernel/detail.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/scheduler.h"
#include "host/kernel/watchdog.h"

namespace host {

namespace {

thread_local KIRQL tCurrentIrql = PASSIVE_LEVEL;

uint64_t Address(const void *p) { return reinterpret_cast<uintptr_t>(p); }

// ------------------------------------------------------------------ dispatcher
struct Dispatcher {
  Mutex lock;
  // Waiters per event, oldest first. Kept beside the KEVENT rather than in its
  // WaitListHead so that a driver that reinitialises or frees an event cannot
  // corrupt the dispatcher.
  std::unordered_map<const KEVENT *, std::deque<sched::Slot *>> waiters;
};

Dispatcher &TheDispatcher() {
  static Dispatcher dispatcher;
  return dispatcher;
}

// Releases waiters of a signalled event; the dispatcher lock is held. A
// waiter whose time-out has just passed no longer takes a signal.
void SatisfyWaitersLocked(Dispatcher &d, PRKEVENT event) {
  auto found = d.waiters.find(event);
  if (found == d.waiters.end()) return;
  auto &queue = found->second;
  if (event->Header.Type == SynchronizationEvent) {
    // One waiter takes the signal; the event stays (or becomes) clear.
    while (!queue.empty()) {
      sched::Slot *first = queue.front();
      queue.pop_front();
      if (sched::Wake(*first)) {
        event->Header.SignalState = 0;
        break;
      }
    }
  } else {
    for (sched::Slot *slot : queue) sched::Wake(*slot);
    queue.clear();
  }
  if (queue.empty()) d.waiters.erase(found);
}

void CheckMayWait(const void *object, irql::Routine routine) { irql::Allows(routine, object); }

// Spin locks and dispatcher objects are touched at DISPATCH_LEVEL (a lock
// raises to it, the dispatcher works above it), where paged memory faults:
// with the verifier's IRQL checking paged pool is trimmed at every raise, so
// one kept in paged pool faults every time. Reported as that page fault at
// raised IRQL; the operation goes on.
void CheckResident(const void *object, bool write, const char *routine) {
  if (!detail::InPagedPool(object)) return;
  RaiseBugCheck(bugcheck::kIrqlNotLessOrEqual, Address(object), DISPATCH_LEVEL, write ? 1 : 0, 0,
                std::string(routine) + " touches its object at DISPATCH_LEVEL, and it lies in paged pool");
}

// A wait or signal on memory that KeInitializeEvent never made an event (an
// event allocated but left as pool gave it): the platform's dispatcher reads
// garbage there and fails far from the cause; here it is named at once
// (verifier violation, parameter 0x1E0) and the call is refused.
bool CheckIsEvent(const KEVENT *event, const char *routine) {
  const bool initialised =
      (event->Header.Type == NotificationEvent || event->Header.Type == SynchronizationEvent) &&
      event->Header.Size == sizeof(KEVENT) / sizeof(LONG);
  if (!initialised)
    RaiseBugCheck(bugcheck::kVerifierViolation, 0x1E0, Address(event), 0, 0,
                  std::string(routine) + " on an event that KeInitializeEvent never initialised");
  return initialised;
}

// ------------------------------------------------------------------ spin-lock checks
// The owner mark stored in a held KSPIN_LOCK: the machine's thread record's
// token, never reused, so a new thread is never blamed for an old one's lock.
ULONG_PTR OwnerToken() { return static_cast<ULONG_PTR>(sched::ThreadToken()); }

// The deadlock verifier's lock order: an edge A -> B means B was taken while A
// was held. A cycle means two threads can deadlock.
struct LockOrder {
  host::Mutex mutex;
  std::unordered_map<const KSPIN_LOCK *, std::unordered_set<const KSPIN_LOCK *>> after;
};

LockOrder &TheLockOrder() {
  static LockOrder order;
  return order;
}

bool ReachableLocked(const LockOrder &order, const KSPIN_LOCK *from, const KSPIN_LOCK *to) {
  std::vector<const KSPIN_LOCK *> stack{from};
  std::unordered_set<const KSPIN_LOCK *> seen{from};
  while (!stack.empty()) {
    const KSPIN_LOCK *lock = stack.back();
    stack.pop_back();
    if (lock == to) return true;
    auto edges = order.after.find(lock);
    if (edges == order.after.end()) continue;
    for (const KSPIN_LOCK *next : edges->second) {
      if (seen.insert(next).second) stack.push_back(next);
    }
  }
  return false;
}

// Records that `lock` is taken while the thread holds its other locks; false
// (after the bug check) when that closes a cycle.
bool RecordLockOrder(PKSPIN_LOCK lock) {
  const std::vector<const void *> &heldLocks = sched::SpinLocksHeld();
  if (heldLocks.empty()) return true;
  auto &order = TheLockOrder();
  const KSPIN_LOCK *inversion = nullptr;
  {
    std::lock_guard guard(order.mutex);
    for (const void *heldLock : heldLocks) {
      auto held = static_cast<const KSPIN_LOCK *>(heldLock);
      if (order.after[held].contains(lock)) continue;
      if (ReachableLocked(order, lock, held)) {
        inversion = held;
        break;
      }
      order.after[held].insert(lock);
    }
  }
  if (inversion == nullptr) return true;
  RaiseBugCheck(bugcheck::kVerifierViolation, bugcheck::kLockOrderDeadlock, Address(lock), Address(inversion), 0,
                "spin lock order inversion: a lock taken while holding another that elsewhere was taken after it");
  return false;
}

void ForgetLocksLocked(LockOrder &order, const char *begin, const char *end) {
  auto inRange = [&](const KSPIN_LOCK *lock) {
    auto p = reinterpret_cast<const char *>(lock);
    return p >= begin && p < end;
  };
  std::erase_if(order.after, [&](const auto &entry) { return inRange(entry.first); });
  for (auto &[lock, next] : order.after) std::erase_if(next, inRange);
}

// Takes the lock word; bug checks recursion. False when not acquired.
bool TakeLock(PKSPIN_LOCK lock, const char *routine) {
  ULONG_PTR me = OwnerToken();
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == me) {
    RaiseBugCheck(bugcheck::kVerifierViolation, bugcheck::kSelfDeadlock, Address(lock), 0, 0,
                  std::string(routine) + ": the thread already holds this spin lock (it would spin forever)");
    return false;
  }
  if (!RecordLockOrder(lock)) return false;
  bool spun = false;
  for (unsigned spins = 0;; ++spins) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, me, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) break;
    // The holder may be preempted on a host thread, seeded waiting for its
    // turn, or waiting for model time: the scheduler lets it go on.
    if (sched::Seeded() || spins % 64 == 63) {
      spun = true;
      if (!sched::SpinOnWatched(lock)) return false;  // the DPC watchdog's period passed (0x133)
    }
  }
  if (spun) sched::SpinEnds();
  sched::SpinLocksHeld().push_back(lock);
  return true;
}

// Gives the lock word back; bug checks a lock not held by this thread.
bool DropLock(PKSPIN_LOCK lock, const char *routine) {
  ULONG_PTR owner = __atomic_load_n(lock, __ATOMIC_RELAXED);
  if (owner != OwnerToken()) {
    bool held = owner != 0;
    RaiseBugCheck(bugcheck::kVerifierViolation,
                  held ? bugcheck::kReleaseByWrongThread : bugcheck::kReleaseNotAcquired, Address(lock), 0, 0,
                  std::string(routine) +
                      (held ? ": releasing a spin lock that another thread holds" : ": releasing a spin lock that is not held"));
    return false;
  }
  std::erase(sched::SpinLocksHeld(), lock);
  __atomic_store_n(lock, ULONG_PTR{0}, __ATOMIC_RELEASE);
  return true;
}

void CheckSpinLockIrql(bool ok, uint64_t which, PKSPIN_LOCK lock, const char *routine, const char *need) {
  if (ok) return;
  RaiseBugCheck(bugcheck::kVerifierViolation, which, Address(lock), tCurrentIrql, 0,
                std::string(routine) + " at IRQL " + std::to_string(tCurrentIrql) + ": " + need);
}

// A wait's outcome once the dispatcher lock is held and the event was not
// signalled: wait in model time up to the deadline.
NTSTATUS BlockLocked(Dispatcher &d, sched::Lock &lock, PRKEVENT event, int64_t deadline) {
  sched::Slot slot;
  d.waiters[event].push_back(&slot);
  if (sched::Block(lock, slot, deadline, "KeWaitForSingleObject (an event)")) return STATUS_SUCCESS;
  auto found = d.waiters.find(event);
  if (found != d.waiters.end()) {
    std::erase(found->second, &slot);
    if (found->second.empty()) d.waiters.erase(found);
  }
  return STATUS_TIMEOUT;
}

// Model-time units still to wait for a platform time-out: negative is
// relative, positive absolute system time, zero a poll.
int64_t RemainingUnits(const LARGE_INTEGER &timeout) {
  if (timeout.QuadPart < 0) {
    // -INT64_MIN does not exist; the longest relative wait is close enough.
    return timeout.QuadPart == INT64_MIN ? INT64_MAX : -timeout.QuadPart;
  }
  if (timeout.QuadPart == 0) return 0;
  return std::max<int64_t>(0, timeout.QuadPart - (detail::SystemTimeAtBoot() + clock::Now()));
}

}  // namespace

void RunAtDispatchLevel(const std::function<void()> &fn) {
  const KIRQL old = tCurrentIrql;
  if (old > DISPATCH_LEVEL) {
    KIRQL ignored;
    KeRaiseIrql(DISPATCH_LEVEL, &ignored);  // refused, with its bug check
  } else {
    tCurrentIrql = DISPATCH_LEVEL;
  }
  struct Lower {
    KIRQL old;
    ~Lower() { tCurrentIrql = old; }
  } lower{old};
  fn();
}

size_t EventWaiters(const KEVENT *event) {
  Dispatcher &d = TheDispatcher();
  std::lock_guard guard(d.lock);
  auto found = d.waiters.find(event);
  return found == d.waiters.end() ? 0 : found->second.size();
}

namespace detail {
void SyncForgetLocksIn(const void *begin, size_t length) {
  auto &order = TheLockOrder();
  std::lock_guard guard(order.mutex);
  if (order.after.empty()) return;
  auto b = static_cast<const char *>(begin);
  ForgetLocksLocked(order, b, b + length);
}
}  // namespace detail

}  // namespace host

using host::RaiseBugCheck;
namespace bugcheck = host::bugcheck;

// ------------------------------------------------------------------ IRQL
KIRQL host::irql::Current() { return host::tCurrentIrql; }

extern "C" KIRQL NTAPI KeGetCurrentIrql(void) {
  const host::sched::AfterEffect afterEffect("KeGetCurrentIrql");
  host::sched::SwitchPoint("KeGetCurrentIrql");
  return host::tCurrentIrql;
}

extern "C" VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  const host::sched::AfterEffect afterEffect("KeRaiseIrql");
  host::sched::SwitchPoint("KeRaiseIrql");
  KIRQL current = host::tCurrentIrql;
  if (NewIrql < current || NewIrql > HIGH_LEVEL) {
    RaiseBugCheck(bugcheck::kVerifierViolation, bugcheck::kRaiseToLowerIrql, current, NewIrql, 0,
                  "KeRaiseIrql from " + std::to_string(current) + " to " + std::to_string(NewIrql));
    if (OldIrql != nullptr) *OldIrql = current;
    return;
  }
  if (OldIrql != nullptr) *OldIrql = current;
  host::tCurrentIrql = NewIrql;
}

extern "C" VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
  const host::sched::AfterEffect afterEffect("KeLowerIrql");
  host::sched::SwitchPoint("KeLowerIrql");
  KIRQL current = host::tCurrentIrql;
  if (NewIrql > current) {
    RaiseBugCheck(bugcheck::kVerifierViolation, bugcheck::kLowerToHigherIrql, current, NewIrql, 0,
                  "KeLowerIrql from " + std::to_string(current) + " to the higher " + std::to_string(NewIrql));
    return;
  }
  host::tCurrentIrql = NewIrql;
}

// ------------------------------------------------------------------ spin locks
extern "C" VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
  const host::sched::AfterEffect afterEffect("KeInitializeSpinLock");
  host::sched::SwitchPoint("KeInitializeSpinLock");
  // A new lock at this address: what was learnt about an old one is void.
  host::detail::SyncForgetLocksIn(SpinLock, sizeof *SpinLock);
  __atomic_store_n(SpinLock, ULONG_PTR{0}, __ATOMIC_RELEASE);
}

extern "C" KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
  const host::sched::AfterEffect afterEffect("KfAcquireSpinLock");
  host::sched::SwitchPoint("KfAcquireSpinLock");
  KIRQL old = host::tCurrentIrql;
  host::CheckSpinLockIrql(old <= DISPATCH_LEVEL, bugcheck::kSpinLockAcquireIrql, SpinLock, "KfAcquireSpinLock",
                          "a spin lock is taken at or below DISPATCH_LEVEL");
  if (old > DISPATCH_LEVEL) return old;
  host::CheckResident(SpinLock, true, "KfAcquireSpinLock");
  host::tCurrentIrql = DISPATCH_LEVEL;
  if (!host::TakeLock(SpinLock, "KfAcquireSpinLock")) host::tCurrentIrql = old;
  return old;
}

extern "C" VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  const host::sched::AfterEffect afterEffect("KfReleaseSpinLock");
  host::sched::SwitchPoint("KfReleaseSpinLock");
  host::CheckSpinLockIrql(host::tCurrentIrql == DISPATCH_LEVEL, bugcheck::kSpinLockReleaseIrql, SpinLock,
                          "KfReleaseSpinLock", "a held spin lock keeps the thread at DISPATCH_LEVEL");
  if (!host::DropLock(SpinLock, "KfReleaseSpinLock")) return;
  if (NewIrql > host::tCurrentIrql) {
    KeLowerIrql(NewIrql);  // refused, with its bug check
    return;
  }
  host::tCurrentIrql = NewIrql;
}

extern "C" VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  const host::sched::AfterEffect afterEffect("KeAcquireSpinLockAtDpcLevel");
  host::sched::SwitchPoint("KeAcquireSpinLockAtDpcLevel");
  bool atDispatch = host::tCurrentIrql == DISPATCH_LEVEL;
  host::CheckSpinLockIrql(atDispatch, bugcheck::kSpinLockAcquireIrql, SpinLock, "KeAcquireSpinLockAtDpcLevel",
                          "the caller must already run at DISPATCH_LEVEL");
  host::CheckResident(SpinLock, true, "KeAcquireSpinLockAtDpcLevel");
  if (atDispatch) host::TakeLock(SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

extern "C" VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
  const host::sched::AfterEffect afterEffect("KeReleaseSpinLockFromDpcLevel");
  host::sched::SwitchPoint("KeReleaseSpinLockFromDpcLevel");
  host::CheckSpinLockIrql(host::tCurrentIrql == DISPATCH_LEVEL, bugcheck::kSpinLockReleaseIrql, SpinLock,
                          "KeReleaseSpinLockFromDpcLevel", "a held spin lock keeps the thread at DISPATCH_LEVEL");
  host::DropLock(SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

// ------------------------------------------------------------------ events
extern "C" VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  const host::sched::AfterEffect afterEffect("KeInitializeEvent");
  host::sched::SwitchPoint("KeInitializeEvent");
  auto &d = host::TheDispatcher();
  std::lock_guard lock(d.lock);
  Event->Header.Type = static_cast<UCHAR>(Type);
  Event->Header.Absolute = 0;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.Inserted = 0;
  Event->Header.SignalState = State ? 1 : 0;
  InitializeListHead(&Event->Header.WaitListHead);
}

extern "C" LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY /*Increment*/, BOOLEAN /*Wait*/) {
  const host::sched::AfterEffect afterEffect("KeSetEvent");
  if (!host::irql::Allows(host::irql::Routine::KeSetEvent, Event)) return 0;
  host::CheckResident(Event, true, "KeSetEvent");
  if (!host::CheckIsEvent(Event, "KeSetEvent")) return 0;
  auto &d = host::TheDispatcher();
  std::lock_guard lock(d.lock);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  host::SatisfyWaitersLocked(d, Event);
  return previous;
}

extern "C" LONG NTAPI KeResetEvent(PRKEVENT Event) {
  const host::sched::AfterEffect afterEffect("KeResetEvent");
  if (!host::irql::Allows(host::irql::Routine::KeResetEvent, Event)) return 0;
  host::CheckResident(Event, true, "KeResetEvent");
  auto &d = host::TheDispatcher();
  std::lock_guard lock(d.lock);
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

extern "C" VOID NTAPI KeClearEvent(PRKEVENT Event) {
  const host::sched::AfterEffect afterEffect("KeClearEvent");
  if (host::irql::Allows(host::irql::Routine::KeClearEvent, Event)) KeResetEvent(Event);
}

extern "C" LONG NTAPI KeReadStateEvent(PRKEVENT Event) {
  const host::sched::AfterEffect afterEffect("KeReadStateEvent");
  if (!host::irql::Allows(host::irql::Routine::KeReadStateEvent, Event)) return 0;
  // A plain read, at the caller's level.
  if (host::tCurrentIrql >= DISPATCH_LEVEL) host::CheckResident(Event, false, "KeReadStateEvent");
  auto &d = host::TheDispatcher();
  std::lock_guard lock(d.lock);
  return Event->Header.SignalState;
}

// ------------------------------------------------------------------ waits and delays
extern "C" NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON /*WaitReason*/,
                                                KPROCESSOR_MODE /*WaitMode*/, BOOLEAN /*Alertable*/,
                                                PLARGE_INTEGER Timeout) {
  const host::sched::AfterEffect afterEffect("KeWaitForSingleObject");
  auto event = static_cast<PRKEVENT>(Object);
  int64_t units = Timeout == nullptr ? -1 : host::RemainingUnits(*Timeout);
  bool poll = Timeout != nullptr && units == 0;
  bool zeroTimeout = Timeout != nullptr && Timeout->QuadPart == 0;
  host::CheckMayWait(Object, zeroTimeout ? host::irql::Routine::KeWaitForSingleObjectPoll
                                         : host::irql::Routine::KeWaitForSingleObject);
  if (host::tCurrentIrql > DISPATCH_LEVEL || (host::tCurrentIrql == DISPATCH_LEVEL && !zeroTimeout)) {
    return STATUS_TIMEOUT;  // refused: the thread may not block here
  }
  host::CheckResident(Object, true, "KeWaitForSingleObject");
  if (!host::CheckIsEvent(event, "KeWaitForSingleObject")) return STATUS_INVALID_PARAMETER;
  const int64_t now = host::clock::Now();
  const int64_t deadline = units < 0 || units >= host::sched::kForever - now ? host::sched::kForever : now + units;
  auto &d = host::TheDispatcher();
  host::sched::Lock lock(d.lock);
  if (event->Header.SignalState > 0) {
    if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    return STATUS_SUCCESS;
  }
  if (poll) return STATUS_TIMEOUT;
  return host::BlockLocked(d, lock, event, deadline);
}

extern "C" NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE /*WaitMode*/, BOOLEAN /*Alertable*/,
                                                 PLARGE_INTEGER Interval) {
  const host::sched::AfterEffect afterEffect("KeDelayExecutionThread");
  if (Interval == nullptr) return STATUS_INVALID_PARAMETER;
  host::CheckMayWait(Interval, host::irql::Routine::KeDelayExecutionThread);
  if (host::tCurrentIrql >= DISPATCH_LEVEL) return STATUS_SUCCESS;  // refused
  host::sched::Delay(host::RemainingUnits(*Interval), "KeDelayExecutionThread");
  return STATUS_SUCCESS;
}

// A busy wait on the platform, at any IRQL: here the thread waits that much
// model time (holding whatever it holds), while the others go on.
extern "C" VOID NTAPI KeStallExecutionProcessor(ULONG MicroSeconds) {
  const host::sched::AfterEffect afterEffect("KeStallExecutionProcessor");
  host::sched::SwitchPoint("KeStallExecutionProcessor");
  host::sched::Delay(int64_t{MicroSeconds} * 10, "KeStallExecutionProcessor");
}
