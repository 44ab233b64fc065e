// The scheduler and virtual clock (see scheduler.h).
//
// One lock (Scheduler::lock) guards the clock, the thread table, the timers
// and every wait slot. Lock order: a component's own host::Mutex, then the
// scheduler's lock; nothing takes a component's lock while holding the
// scheduler's.
//
// Under the thread sanitizer the scheduler's own locking is no
// synchronisation between the machine's threads: a hand-off of the turn, a
// thread's start or end, a time-out are the scheduler's business, not an
// order the driver may rely on (on the platform the threads would have run
// at once). Everything done under the scheduler's lock is hidden from the
// sanitizer (its accesses and its synchronisation), so that it judges
// every pair of the driver's accesses by the driver's own locks, events
// and interlocked calls, whatever order a seed chose.
#include "host/kernel/scheduler.h"

#if defined(__linux__)
#include <sched.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <random>
#include <set>
#include <stdexcept>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "host/kernel/host_kernel.h"
#include "host/kernel/watchdog.h"

#if defined(__SANITIZE_THREAD__)
#define NORVUSB_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define NORVUSB_TSAN 1
#endif
#endif

#if defined(NORVUSB_TSAN)
extern "C" {
void AnnotateIgnoreSyncBegin(const char *file, int line);
void AnnotateIgnoreSyncEnd(const char *file, int line);
void AnnotateIgnoreReadsBegin(const char *file, int line);
void AnnotateIgnoreReadsEnd(const char *file, int line);
void AnnotateIgnoreWritesBegin(const char *file, int line);
void AnnotateIgnoreWritesEnd(const char *file, int line);
}
#endif

namespace host::sched {

namespace {
// The scheduler's own work, hidden from the thread sanitizer (see above);
// Loud opens a hole in it for a component's lock, whose order is real.
#if defined(NORVUSB_TSAN)
void Hide() {
  AnnotateIgnoreSyncBegin(__FILE__, __LINE__);
  AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
  AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
}
void Show() {
  AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
  AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
  AnnotateIgnoreSyncEnd(__FILE__, __LINE__);
}
#else
void Hide() {}
void Show() {}
#endif
struct Quiet {
  Quiet() { Hide(); }
  ~Quiet() { Show(); }
  Quiet(const Quiet &) = delete;
  Quiet &operator=(const Quiet &) = delete;
};
struct Loud {
  Loud() { Show(); }
  ~Loud() { Hide(); }
  Loud(const Loud &) = delete;
  Loud &operator=(const Loud &) = delete;
};
}  // namespace

struct ThreadRecord {
  uint64_t id = 0;     // creation order since boot: the seeded scheduler's name for it
  uint64_t token = 0;  // a spin lock's owner mark: never reused in the process
  std::string name;
  bool blocked = false;
  Slot *slot = nullptr;  // while blocked
  uint64_t priority = 0;
  const uintptr_t *spinningOn = nullptr;  // the lock word it spins on, until SpinEnds
  int64_t lastClockRead = -1;             // model time its last PollClock returned
  std::vector<const void *> spinLocksHeld;  // the thread's own; see SpinLocksHeld
  // What the watchdogs see of it: its kernel calls so far, the last one's
  // routine and the IRQL it ran at (read by the real-time watchdog).
  std::atomic<uint64_t> calls{0};
  std::atomic<const char *> lastCall{"none"};
  std::atomic<int> irql{0};
  uint32_t sinceTick = 0;     // the thread's own: kernel calls since its last tick check
  int64_t tickMark = -1;      // model time at its last tick check
  int64_t dispatchSince = -1;  // model time since which it has been at DISPATCH_LEVEL or above
  int64_t spinningSince = -1;  // model time its present spin began
  // A wake-up, or (seeded) its turn to run. Shared so that a waker can
  // signal it after dropping the scheduler's lock, when the woken thread may
  // already have ended.
  std::shared_ptr<std::condition_variable> wake = std::make_shared<std::condition_variable>();
};

namespace {

using Steady = std::chrono::steady_clock;
using Timer = std::tuple<int64_t, uint64_t, Slot *>;  // deadline, order of arming, waiter

struct Scheduler {
  std::mutex lock;
  int64_t now = 0;
  std::vector<ThreadRecord *> threads;  // live, in creation order
  size_t runnable = 0;
  std::set<Timer> timers;
  uint64_t timerOrder = 0;
  uint64_t nextId = 0;
  std::atomic<bool> seeded{false};
  std::optional<uint64_t> seed;
  std::atomic<bool> alive{false};  // a machine is running (between Reset and Halt)
  // The names of threads that left holding a spin lock, by token, so that a
  // spinner on such a lock can name its holder.
  std::unordered_map<uint64_t, std::string> departed;
  std::mt19937_64 random;
  ThreadRecord *running = nullptr;  // seeded: the one thread allowed to run
  // Progress (NoteProgress) and the time-outs since the last seen.
  std::atomic<uint64_t> progress{0};
  uint64_t progressSeen = 0;
  int64_t quietSince = 0;
  uint64_t quietTimeouts = 0;
  std::atomic<int (*)()> irqlProbe{nullptr};
  uint64_t digest = 0;
  uint64_t switches = 0;
  double pace = 0.0;
  Steady::time_point realBoot = Steady::now();
  std::condition_variable pacer;
#if defined(__linux__)
  // Seeded: the booting thread's processor mask before it was pinned.
  struct Pin {
    pid_t thread = 0;
    cpu_set_t before{};
  };
  std::optional<Pin> pin;
#endif
};

// Never destroyed: the real-time watchdog's thread may look at it while the
// process exits.
Scheduler &S() {
  static Scheduler &scheduler = *new Scheduler;
  return scheduler;
}

// The calling thread's record: owned here for an adopted thread, by its
// Thread::State for one that sched::Thread started.
struct Current {
  ThreadRecord *record = nullptr;
  std::unique_ptr<ThreadRecord> owned;
  ~Current();
};
thread_local Current tCurrent;
// Set when the thread's own record went (its thread-locals are destroyed as
// it ends, the process's static destructors may still run on it): such a
// thread is adopted again, not taken for a stranger. Trivial, so it outlives
// the thread's other thread-locals.
thread_local bool tLeft = false;

void Mix(uint64_t &digest, uint64_t value) {
  digest ^= value + 0x9E3779B97F4A7C15ull + (digest << 6) + (digest >> 2);
}

std::atomic<uint64_t> gNextToken{1};

void RegisterLocked(Scheduler &s, ThreadRecord &record, std::string name) {
  record.id = s.nextId++;
  if (record.token == 0) record.token = gNextToken++;
  record.name = std::move(name);
  record.priority = s.seeded ? s.random() : 0;
  s.threads.push_back(&record);
  ++s.runnable;
}

[[noreturn]] void StopMachine(const std::string &text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
  std::_Exit(86);  // the exit status of a machine stopped by a finding
}

std::string Hex(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

std::string NameOfTokenLocked(const Scheduler &s, uint64_t token) {
  for (const ThreadRecord *thread : s.threads)
    if (thread->token == token) return "thread '" + thread->name + "'";
  auto gone = s.departed.find(token);
  if (gone != s.departed.end()) return "thread '" + gone->second + "', which has ended";
  return "a thread the machine does not know";
}

// A spinner whose lock is held by another thread cannot go on by itself.
bool StuckLocked(const ThreadRecord &thread) {
  if (thread.spinningOn == nullptr) return false;
  const uintptr_t owner = __atomic_load_n(thread.spinningOn, __ATOMIC_ACQUIRE);
  return owner != 0 && owner != thread.token;
}

// Runnable threads other than `me` that can make progress.
size_t OthersWorkingLocked(const Scheduler &s, const ThreadRecord *me) {
  size_t working = 0;
  for (const ThreadRecord *thread : s.threads)
    if (thread != me && !thread->blocked && !StuckLocked(*thread)) ++working;
  return working;
}

// What a thread is doing, for a report.
std::string DoingLocked(const Scheduler &s, const ThreadRecord &thread) {
  if (StuckLocked(thread)) {
    const uintptr_t owner = __atomic_load_n(thread.spinningOn, __ATOMIC_ACQUIRE);
    return "spins on spin lock " + Hex(thread.spinningOn) + ", held by " + NameOfTokenLocked(s, owner);
  }
  if (thread.slot != nullptr) return std::string("waits on: ") + thread.slot->what;
  return std::string("runs (its last kernel call ") + thread.lastCall.load(std::memory_order_relaxed) +
         ", at IRQL " + std::to_string(thread.irql.load(std::memory_order_relaxed)) + ")";
}

[[noreturn]] void ReportLocked(const Scheduler &s, std::string text) {
  for (const ThreadRecord *thread : s.threads) text += "\n    thread '" + thread->name + "' " + DoingLocked(s, *thread);
  StopMachine(text);
}

[[noreturn]] void ReportDeadlockLocked(Scheduler &s) {
  ReportLocked(s, "*** MACHINE DEADLOCK at model time " + std::to_string(s.now) +
                      " (100 ns units): no thread can run and no time-out is pending");
}

// Model time moved to a deadline or by a tick: a machine that goes round
// its time-outs with no request completed for long is reported as stuck.
void TimeMovedLocked(Scheduler &s) {
  const uint64_t progress = s.progress.load(std::memory_order_relaxed);
  if (progress != s.progressSeen) {
    s.progressSeen = progress;
    s.quietSince = s.now;
    s.quietTimeouts = 0;
    return;
  }
  if (++s.quietTimeouts < kNoProgressTimeouts || s.now - s.quietSince < kNoProgressTime) return;
  ReportLocked(s, "*** MACHINE MAKES NO PROGRESS at model time " + std::to_string(s.now) + " (100 ns units): " +
                      std::to_string(s.quietTimeouts) + " time-outs in " +
                      std::to_string((s.now - s.quietSince) / 10'000'000) +
                      " s of model time and no request completed; the same waits go round");
}

// Every thread waits for work: the machine is at rest, not deadlocked (the
// thread that drove it has ended, say, and the process is going).
bool AtRestLocked(const Scheduler &s) {
  return std::all_of(s.threads.begin(), s.threads.end(),
                     [](const ThreadRecord *t) { return t->slot != nullptr && t->slot->forWork; });
}

[[noreturn]] void StopForUnknownThread(const char *what) {
  StopMachine(std::string("*** MACHINE STOPPED: a thread that is not one of the machine's threads entered the "
                          "kernel (") +
              what +
              "); the clock cannot wait for a thread it does not know. Start it with host::sched::Thread "
              "(TestThread in the tests).");
}

// Wake-ups signalled once the scheduler's lock is dropped: a thread woken
// while the waker still holds it would only block again on the lock.
using Wakeups = std::vector<std::shared_ptr<std::condition_variable>>;

void Signal(const Wakeups &wakeups) {
  for (const auto &wake : wakeups) wake->notify_all();
}

void ReleaseLocked(ThreadRecord &thread, Slot &slot, WaitState outcome, Wakeups *later = nullptr) {
  slot.state = outcome;
  thread.blocked = false;
  ++S().runnable;
  if (later != nullptr) {
    later->push_back(thread.wake);
  } else {
    thread.wake->notify_all();
  }
}

// Releases every waiter whose deadline model time has reached.
void FireTimersLocked(Scheduler &s) {
  while (!s.timers.empty() && std::get<0>(*s.timers.begin()) <= s.now) {
    Slot *slot = std::get<2>(*s.timers.begin());
    s.timers.erase(s.timers.begin());
    ReleaseLocked(*slot->thread, *slot, WaitState::TimedOut);
  }
}

// Every thread waits: move the clock to the earliest deadline and release
// whoever waits for it. With no deadline left nothing can ever run again: a
// deadlock, unless the machine is at rest (false then).
bool AdvanceLocked(Scheduler &s, std::unique_lock<std::mutex> &guard) {
  while (s.runnable == 0 && !s.threads.empty()) {
    if (s.timers.empty()) {
      if (AtRestLocked(s)) return false;
      ReportDeadlockLocked(s);
    }
    const int64_t deadline = std::get<0>(*s.timers.begin());
    if (s.pace > 0) {
      const auto due = s.realBoot + std::chrono::nanoseconds(static_cast<int64_t>(
                                        static_cast<double>(deadline) * 100.0 / s.pace));
      if (Steady::now() < due) {
        s.pacer.wait_until(guard, due);
        continue;  // a thread outside the machine may have woken someone meanwhile
      }
    }
    s.now = std::max(s.now, deadline);
    FireTimersLocked(s);
    TimeMovedLocked(s);
  }
  return true;
}

// Seeded: the runnable thread to run next (never `exclude`, and with
// `workingOnly` no stuck spinner), or null.
ThreadRecord *ChooseLocked(Scheduler &s, const ThreadRecord *exclude, bool workingOnly = false) {
  std::vector<ThreadRecord *> ready;
  for (ThreadRecord *thread : s.threads)
    if (!thread->blocked && thread != exclude && !(workingOnly && StuckLocked(*thread))) ready.push_back(thread);
  if (ready.empty()) return nullptr;
  ThreadRecord *chosen = nullptr;
  if (s.random() % 8 == 0) {
    chosen = ready[s.random() % ready.size()];
  } else {
    chosen = *std::max_element(ready.begin(), ready.end(),
                               [](auto *a, auto *b) { return a->priority < b->priority; });
  }
  // A priority change point, as randomised priority schedulers place them.
  if (s.random() % 32 == 0) chosen->priority = s.random();
  Mix(s.digest, chosen->id);
  return chosen;
}

void WaitForTurnLocked(Scheduler &s, ThreadRecord &me, std::unique_lock<std::mutex> &guard) {
  while (s.seeded && s.running != &me) {
    if (s.running == nullptr) s.running = &me;  // nobody holds the turn: take it
    else me.wake->wait(guard);
  }
}

// Seeded: `me` stops running (it blocks or leaves); hand the turn on.
void PassTurnLocked(Scheduler &s, const ThreadRecord *me, std::unique_lock<std::mutex> &guard) {
  if (s.running != me && s.running != nullptr) return;
  for (;;) {
    ThreadRecord *next = ChooseLocked(s, me);
    if (next != nullptr && next != me) {
      s.running = next;
      next->wake->notify_all();
      return;
    }
    s.running = nullptr;
    if (s.threads.empty() || s.runnable > 0) return;
    if (!AdvanceLocked(s, guard)) return;  // at rest
  }
}

void DeregisterLocked(Scheduler &s, ThreadRecord &record, std::unique_lock<std::mutex> &guard) {
  std::erase(s.threads, &record);
  if (!record.blocked) --s.runnable;
  if (s.seeded) {
    PassTurnLocked(s, &record, guard);
  } else if (s.runnable == 0) {
    AdvanceLocked(s, guard);
  }
}

// A thread that ends holding a spin lock: bug check 0xC4/0x100A naming it.
// Called on the ending thread, without the scheduler's lock.
void CheckEndsHoldingNoLock(ThreadRecord &record) {
  if (record.spinLocksHeld.empty()) return;
  const void *lock = record.spinLocksHeld.front();
  {
    const Quiet quiet;
    auto &s = S();
    std::lock_guard guard(s.lock);
    s.departed[record.token] = record.name;
  }
  RaiseBugCheck(bugcheck::kVerifierViolation, bugcheck::kThreadEndsHoldingLock, record.token,
                reinterpret_cast<uintptr_t>(lock), 0,
                "thread '" + record.name + "' ended holding spin lock " + Hex(lock));
}

Current::~Current() {
  if (!owned) return;
  CheckEndsHoldingNoLock(*owned);
  const Quiet quiet;
  auto &s = S();
  std::unique_lock guard(s.lock);
  DeregisterLocked(s, *owned, guard);
  record = nullptr;
  tLeft = true;
}

ThreadRecord &SelfLocked(Scheduler &s, std::unique_lock<std::mutex> &guard) {
  if (tCurrent.record == nullptr) {
    if (s.alive && !tLeft) StopForUnknownThread("a wait or a lock");
    tCurrent.owned = std::make_unique<ThreadRecord>();
    tCurrent.record = tCurrent.owned.get();
    RegisterLocked(s, *tCurrent.record, "thread " + std::to_string(s.nextId));
    WaitForTurnLocked(s, *tCurrent.record, guard);
  }
  return *tCurrent.record;
}

// Blocks `me` on `slot` until a wake or the deadline; the scheduler's lock
// is held, and `lock` (when given) is dropped once the slot is published.
bool BlockLocked(Scheduler &s, std::unique_lock<std::mutex> &guard, ThreadRecord &me, Slot &slot, Lock *lock) {
  if (slot.queue != nullptr) slot.queue->push_back(&slot);
  if (slot.deadline != kForever) s.timers.emplace(slot.deadline, slot.timerOrder, &slot);
  me.blocked = true;
  me.slot = &slot;
  me.dispatchSince = -1;  // a thread that waits does not keep the processor
  me.tickMark = -1;
  --s.runnable;
  if (lock != nullptr) {
    const Loud loud;  // the component's lock orders its users for real
    lock->unlock();
  }
  if (s.seeded) {
    PassTurnLocked(s, &me, guard);
  } else if (s.runnable == 0) {
    AdvanceLocked(s, guard);
  }
  while (slot.state == WaitState::Waiting) me.wake->wait(guard);
  WaitForTurnLocked(s, me, guard);
  me.slot = nullptr;
  if (slot.queue != nullptr) std::erase(*slot.queue, &slot);  // a time-out leaves it queued
  return slot.state == WaitState::Notified;
}

bool BlockOn(Lock &lock, Slot &slot, int64_t deadline, const char *what, std::deque<Slot *> *queue,
             bool forWork = false) {
  bool notified = false;
  {
    const Quiet quiet;
    auto &s = S();
    std::unique_lock guard(s.lock);
    ThreadRecord &me = SelfLocked(s, guard);
    if (deadline != kForever && deadline <= s.now) return false;
    slot = Slot{WaitState::Waiting, deadline, what, forWork, &me, queue, s.timerOrder++};
    notified = BlockLocked(s, guard, me, slot, &lock);
  }
  lock.lock();
  return notified;
}

bool WakeLocked(Slot &slot, Wakeups &later) {
  if (slot.state != WaitState::Waiting) return false;
  auto &s = S();
  if (slot.deadline != kForever) s.timers.erase(Timer{slot.deadline, slot.timerOrder, &slot});
  ReleaseLocked(*slot.thread, slot, WaitState::Notified, &later);
  return true;
}

// Seeded: offers the turn; `others` leaves the caller out of the choice,
// `workingOnly` the stuck spinners.
bool SwitchLocked(Scheduler &s, std::unique_lock<std::mutex> &guard, bool others, bool workingOnly = false) {
  ThreadRecord &me = SelfLocked(s, guard);
  if (s.running != &me) WaitForTurnLocked(s, me, guard);
  ++s.switches;
  ThreadRecord *next = ChooseLocked(s, others ? &me : nullptr, workingOnly);
  if (next == nullptr || next == &me) return false;
  s.running = next;
  next->wake->notify_all();
  WaitForTurnLocked(s, me, guard);
  return true;
}

}  // namespace

// ---------------------------------------------------------------- the real-time watchdog
// A thread that makes no kernel call at all (a loop on plain memory) never
// reaches a tick of its own. A watchdog on real time looks at the machine
// five times a second: when one thread alone can run, has made no kernel
// call for kRealTick and a time-out is pending, free-running, it moves the
// clock to that time-out as the clock interrupt would (the thread it wakes
// runs beside the looping one); after kRealReport, in either mode (seeded,
// nobody can run before the looping thread's next kernel call, so another
// thread waiting for its turn counts as much as a time-out), it stops
// the machine naming the thread, with 0x133 first when it is at
// DISPATCH_LEVEL or above. Nothing in a test waits for it unless the test
// is about such a loop: a thread of the machine does not compute for
// seconds without a kernel call.
namespace {

constexpr auto kWatchInterval = std::chrono::milliseconds(200);
constexpr auto kRealTick = std::chrono::seconds(1);
constexpr auto kRealReport = std::chrono::seconds(5);

struct Watch {
  uint64_t token = 0;  // the thread watched, 0 for none
  uint64_t calls = 0;
  Steady::time_point since, lastTick;
};

// The one thread that can run now, if one alone can.
ThreadRecord *AloneLocked(Scheduler &s) {
  if (s.seeded) return s.running != nullptr && !s.running->blocked ? s.running : nullptr;
  ThreadRecord *alone = nullptr;
  for (ThreadRecord *thread : s.threads) {
    if (thread->blocked || StuckLocked(*thread)) continue;
    if (alone != nullptr) return nullptr;
    alone = thread;
  }
  return alone;
}

// One look; the report's text when the machine must stop.
std::optional<std::string> LookLocked(Scheduler &s, Watch &w, ThreadRecord **stuck) {
  ThreadRecord *alone = s.alive ? AloneLocked(s) : nullptr;
  // Something could happen if it let go: a time-out, or (seeded) another thread.
  if (alone != nullptr && s.timers.empty() && !(s.seeded && OthersWorkingLocked(s, alone) > 0)) alone = nullptr;
  const auto now = Steady::now();
  if (alone == nullptr || alone->token != w.token || alone->calls.load(std::memory_order_relaxed) != w.calls) {
    w = alone ? Watch{alone->token, alone->calls.load(std::memory_order_relaxed), now, now} : Watch{};
    return std::nullopt;
  }
  if (now - w.since >= kRealReport) {
    *stuck = alone;
    std::string text = "*** MACHINE STOPPED at model time " + std::to_string(s.now) + " (100 ns units): thread '" +
                       alone->name + "' has run for " +
                       std::to_string(std::chrono::duration_cast<std::chrono::seconds>(kRealReport).count()) +
                       " s of real time without a kernel call while a time-out or another thread waits on it: a loop on plain memory?";
    for (const ThreadRecord *thread : s.threads) text += "\n    thread '" + thread->name + "' " + DoingLocked(s, *thread);
    return text;
  }
  if (!s.seeded && now - w.lastTick >= kRealTick) {
    w.lastTick = now;
    s.now = std::max(s.now, std::get<0>(*s.timers.begin()));
    FireTimersLocked(s);
    TimeMovedLocked(s);
  }
  return std::nullopt;
}

[[noreturn]] void Watchdog() {
  auto &s = S();
  Watch w;
  for (;;) {
    std::this_thread::sleep_for(kWatchInterval);
    std::optional<std::string> report;
    ThreadRecord *stuck = nullptr;
    std::string name;
    uint64_t token = 0;
    int irql = 0;
    {
      const Quiet quiet;
      std::lock_guard guard(s.lock);
      report = LookLocked(s, w, &stuck);
      if (stuck != nullptr) {
        name = stuck->name;
        token = stuck->token;
        irql = stuck->irql.load(std::memory_order_relaxed);
      }
    }
    if (!report) continue;
    if (irql >= kDispatchLevel) {
      RaiseBugCheck(kDpcWatchdogViolation, 1, kDispatchWatchdogTicks, token, 0,
                    "thread '" + name + "' runs at IRQL " + std::to_string(irql) +
                        " without a kernel call");
    }
    StopMachine(*report);
  }
}

void StartWatchdog() {
  static std::once_flag once;
  std::call_once(once, [] { std::thread(Watchdog).detach(); });
}

}  // namespace

// ---------------------------------------------------------------- clock and modes
int64_t Now() {
  const Quiet quiet;
  auto &s = S();
  std::lock_guard guard(s.lock);
  return s.now;
}

// Seeded, one thread runs at a time, so the machine's threads share one
// processor: a hand-off is then a switch on that processor instead of a
// wake-up sent to another, several times cheaper. Threads started from then
// on inherit the booting thread's mask; the booting thread gets its own mask
// back when seeding ends. A refusal (a cpuset that forbids it) only costs speed.
#if defined(__linux__)
void PinLocked(Scheduler &s) {
  Scheduler::Pin pin{.thread = gettid()};
  const int cpu = sched_getcpu();
  if (cpu < 0 || sched_getaffinity(0, sizeof pin.before, &pin.before) != 0) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(cpu, &one);
  if (sched_setaffinity(0, sizeof one, &one) == 0) s.pin = pin;
}

void UnpinLocked(Scheduler &s) {
  if (!s.pin) return;
  sched_setaffinity(s.pin->thread, sizeof s.pin->before, &s.pin->before);
  s.pin.reset();
}
#else
// The Wine suite's bridge process builds the scheduler for Windows, where it
// never runs seeded.
void PinLocked(Scheduler &) {}
void UnpinLocked(Scheduler &) {}
#endif

void Reset(const Options &options) {
  if (!(options.pace >= 0.0) || !std::isfinite(options.pace))
    throw std::invalid_argument("the real-time pace must be a finite number, 0 or more");
  StartWatchdog();
  const Quiet quiet;
  auto &s = S();
  std::unique_lock guard(s.lock);
  s.now = 0;
  s.pace = options.pace;
  s.realBoot = Steady::now();
  s.random.seed(options.seed.value_or(0));
  s.digest = 0;
  s.switches = 0;
  s.nextId = 0;
  s.progressSeen = s.progress.load();
  s.quietSince = 0;
  s.quietTimeouts = 0;
  for (ThreadRecord *thread : s.threads) {
    thread->tickMark = thread->dispatchSince = -1;
    thread->id = s.nextId++;
    thread->priority = options.seed ? s.random() : 0;
    thread->wake->notify_all();  // threads parked for a turn run freely when seeding ends
  }
  s.seeded = options.seed.has_value();
  s.seed = options.seed;
  s.running = nullptr;
  s.departed.clear();
  s.alive = false;  // the booting thread is adopted, not stopped
  ThreadRecord &booting = SelfLocked(s, guard);
  UnpinLocked(s);
  if (s.seeded) {
    s.running = &booting;
    PinLocked(s);
  }
  s.alive = true;
}

void Halt() {
  Reset({});
  S().alive = false;
}

bool Seeded() { return S().seeded.load(std::memory_order_relaxed); }

std::optional<uint64_t> Seed() {
  const Quiet quiet;
  auto &s = S();
  std::lock_guard guard(s.lock);
  return s.seed;
}

uint64_t ScheduleDigest() {
  const Quiet quiet;
  auto &s = S();
  std::lock_guard guard(s.lock);
  return s.digest;
}

uint64_t SwitchCount() {
  const Quiet quiet;
  auto &s = S();
  std::lock_guard guard(s.lock);
  return s.switches;
}

std::optional<uint64_t> SeedFromEnvironment(const char *variable) {
  const char *text = std::getenv(variable);  // NOLINT(concurrency-mt-unsafe): nothing here writes the environment
  if (text == nullptr || *text == '\0') return std::nullopt;
  char *end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 0);
  if (errno != 0 || *end != '\0' || !std::isdigit(static_cast<unsigned char>(*text))) {
    std::fprintf(stderr, "%s=%s is not a number; ignored\n", variable, text);
    return std::nullopt;
  }
  return value;
}

// ---------------------------------------------------------------- switch points
namespace {

int ProbeIrql() {
  int (*probe)() = S().irqlProbe.load(std::memory_order_relaxed);
  return probe ? probe() : 0;
}

// Every kKernelCallsPerTick kernel calls of a thread (scheduler.h): a tick
// of the clock when nothing else could run and time stood still since the
// last check; the DPC watchdog's count for a thread at DISPATCH_LEVEL or
// above. True when the watchdog's period has passed.
bool TickLocked(Scheduler &s, ThreadRecord &me) {
  me.sinceTick = 0;
  if (me.irql.load(std::memory_order_relaxed) < kDispatchLevel) {
    me.dispatchSince = -1;
  } else if (me.dispatchSince < 0) {
    me.dispatchSince = s.now;
  }
  if (me.tickMark == s.now && OthersWorkingLocked(s, &me) == 0) {
    int64_t next = s.now + kClockTick;
    if (!s.timers.empty()) next = std::min(next, std::get<0>(*s.timers.begin()));
    s.now = next;
    FireTimersLocked(s);
    TimeMovedLocked(s);
  }
  me.tickMark = s.now;
  return me.dispatchSince >= 0 && s.now - me.dispatchSince >= kDispatchWatchdog;
}

// 0x133 for a thread that stayed at DISPATCH_LEVEL or above for the
// watchdog's period; raised on that thread, without the scheduler's lock.
void RaiseDpcWatchdog(const std::string &name, uint64_t token, const std::string &doing) {
  RaiseBugCheck(kDpcWatchdogViolation, 1, kDispatchWatchdogTicks, token, 0,
                "thread '" + name + "' has been at DISPATCH_LEVEL or above for " +
                    std::to_string(kDispatchWatchdog / 10'000'000) + " s of model time: " + doing);
}

}  // namespace

void SwitchPoint(const char *what) {
  ThreadRecord *me = tCurrent.record;
  if (me == nullptr) {
    if (!tLeft && S().alive) StopForUnknownThread(what);
  } else {
    me->calls.fetch_add(1, std::memory_order_relaxed);
    me->lastCall.store(what, std::memory_order_relaxed);
    const int irql = ProbeIrql();
    me->irql.store(irql, std::memory_order_relaxed);
    if (irql < kDispatchLevel) me->dispatchSince = -1;  // it came down: the watchdog's count starts again
  }
  const bool tick = me != nullptr && ++me->sinceTick >= kKernelCallsPerTick;
  if (!tick && !Seeded()) return;
  bool watchdog = false;
  std::string doing;
  {
    const Quiet quiet;
    auto &s = S();
    std::unique_lock guard(s.lock);
    if (tick && TickLocked(s, *me)) {
      watchdog = true;
      me->dispatchSince = s.now;  // once per period, should the caller go on
      doing = DoingLocked(s, *me);
    }
    if (s.seeded) SwitchLocked(s, guard, false);
  }
  if (watchdog) RaiseDpcWatchdog(me->name, me->token, doing);
}

void NoteProgress() { S().progress.fetch_add(1, std::memory_order_relaxed); }

void SetIrqlProbe(int (*probe)()) { S().irqlProbe.store(probe, std::memory_order_relaxed); }

AfterEffect::~AfterEffect() {
  if (std::uncaught_exceptions() == 0) SwitchPoint(what_);
}

void SpinOn(const uintptr_t *word) { SpinOnWatched(word); }

bool SpinOnWatched(const uintptr_t *word) {
  std::string doing;
  ThreadRecord *spinner = nullptr;
  {
    const Quiet quiet;
    auto &s = S();
    std::unique_lock guard(s.lock);
    ThreadRecord &me = SelfLocked(s, guard);
    if (me.spinningOn != word) me.spinningSince = s.now;
    me.spinningOn = word;
    if (!StuckLocked(me)) return true;  // let go meanwhile: try again
    // A spinner is at DISPATCH_LEVEL: the DPC watchdog counts its spin.
    if (s.now - me.spinningSince >= kDispatchWatchdog) {
      doing = DoingLocked(s, me);
      spinner = &me;
    } else if (OthersWorkingLocked(s, &me) > 0) {
      // The holder, or somebody who will wake it, can run: let it.
      if (s.seeded) {
        SwitchLocked(s, guard, true, true);
      } else {
        guard.unlock();
        std::this_thread::yield();
      }
      return true;
    } else {
      // Nothing but spinners can run: only a time-out can free the lock.
      if (s.timers.empty()) ReportDeadlockLocked(s);
      Slot slot{WaitState::Waiting, std::get<0>(*s.timers.begin()), "model time (spinning on a spin lock)", false,
                &me, nullptr, s.timerOrder++};
      BlockLocked(s, guard, me, slot, nullptr);
      return true;
    }
  }
  SpinEnds();
  RaiseDpcWatchdog(spinner->name, spinner->token, doing);
  return false;
}

void SpinEnds() {
  if (tCurrent.record == nullptr) return;
  const Quiet quiet;
  std::lock_guard guard(S().lock);
  tCurrent.record->spinningOn = nullptr;
}

int64_t PollClock() {
  const Quiet quiet;
  auto &s = S();
  std::unique_lock guard(s.lock);
  ThreadRecord &me = SelfLocked(s, guard);
  if (me.lastClockRead == s.now && OthersWorkingLocked(s, &me) == 0) {
    s.now += kPollStep;
    FireTimersLocked(s);
    TimeMovedLocked(s);
  }
  me.lastClockRead = s.now;
  return s.now;
}

uint64_t ThreadToken() {
  if (tCurrent.record != nullptr) return tCurrent.record->token;
  const Quiet quiet;
  auto &s = S();
  std::unique_lock guard(s.lock);
  return SelfLocked(s, guard).token;
}

std::vector<const void *> &SpinLocksHeld() {
  if (tCurrent.record != nullptr) return tCurrent.record->spinLocksHeld;
  const Quiet quiet;
  auto &s = S();
  std::unique_lock guard(s.lock);
  return SelfLocked(s, guard).spinLocksHeld;
}

void Mutex::lock() {
  if (!Seeded()) {
    mutex_.lock();
    return;
  }
  while (!mutex_.try_lock()) {
    bool switched = false;
    {
      const Quiet quiet;
      auto &s = S();
      std::unique_lock guard(s.lock);
      switched = s.seeded && SwitchLocked(s, guard, true);
    }
    // The holder is not runnable (or not one of ours): wait for it for real.
    if (!switched) {
      mutex_.lock();
      return;
    }
  }
}

// ---------------------------------------------------------------- waiting
bool CondVar::WaitUntil(Lock &lock, int64_t deadline, const char *what) {
  Slot slot;
  return BlockOn(lock, slot, deadline, what, &waiters_);
}

void CondVar::WaitForWorkOnce(Lock &lock, const char *what) {
  Slot slot;
  BlockOn(lock, slot, kForever, what, &waiters_, true);
}

void CondVar::NotifyOne() {
  const Quiet quiet;
  Wakeups later;
  {
    std::lock_guard guard(S().lock);
    while (!waiters_.empty()) {
      Slot *slot = waiters_.front();
      waiters_.pop_front();
      if (WakeLocked(*slot, later)) break;
    }
  }
  Signal(later);
}

void CondVar::NotifyAll() {
  const Quiet quiet;
  Wakeups later;
  {
    std::lock_guard guard(S().lock);
    for (Slot *slot : waiters_) WakeLocked(*slot, later);
    waiters_.clear();
  }
  Signal(later);
}

void Delay(int64_t units, const char *what) {
  if (units <= 0) {
    SwitchPoint(what);
    return;
  }
  Mutex mutex;
  Lock lock(mutex);
  Slot slot;
  const int64_t now = Now();
  BlockOn(lock, slot, units >= kForever - now ? kForever - 1 : now + units, what, nullptr);
}

bool PollUntil(const std::function<bool()> &done, int64_t timeout, const char *what, int64_t interval) {
  const int64_t start = Now();
  const int64_t deadline = timeout >= kForever - start ? kForever - 1 : start + timeout;
  while (!done()) {
    const int64_t now = Now();
    if (now >= deadline) return done();
    Delay(std::min(std::max<int64_t>(interval, 1), deadline - now), what);
  }
  return true;
}

bool Block(Lock &lock, Slot &slot, int64_t deadline, const char *what) {
  return BlockOn(lock, slot, deadline, what, nullptr);
}

bool Wake(Slot &slot) {
  const Quiet quiet;
  Wakeups later;
  bool woken = false;
  {
    std::lock_guard guard(S().lock);
    woken = WakeLocked(slot, later);
  }
  Signal(later);
  return woken;
}

// ---------------------------------------------------------------- threads
void AdoptCurrentThread(const std::string &name) {
  const Quiet quiet;
  auto &s = S();
  std::unique_lock guard(s.lock);
  ThreadRecord &me = SelfLocked(s, guard);
  me.name = name;
}

struct Thread::State {
  ThreadRecord record;
  std::function<void()> body;
  Mutex mutex;
  CondVar done;
  bool finished = false;
  std::atomic<std::thread::id> id{};  // set by the thread itself, first thing
};

Thread::Thread(std::string name, std::function<void()> body) : state_(std::make_shared<State>()) {
  state_->body = std::move(body);
  {
    const Quiet quiet;
    auto &s = S();
    std::lock_guard guard(s.lock);
    RegisterLocked(s, state_->record, std::move(name));
  }
  thread_ = std::thread([state = state_] {
    auto &s = S();
    state->id = std::this_thread::get_id();
    tCurrent.record = &state->record;
    {
      const Quiet quiet;
      std::unique_lock guard(s.lock);
      WaitForTurnLocked(s, state->record, guard);
    }
    state->body();
    state->body = nullptr;  // what it captured goes while the thread still counts
    CheckEndsHoldingNoLock(state->record);  // before a joiner can look
    {
      Lock lock(state->mutex);
      state->finished = true;
    }
    state->done.NotifyAll();
    const Quiet quiet;
    std::unique_lock guard(s.lock);
    DeregisterLocked(s, state->record, guard);
    tCurrent.record = nullptr;
  });
}

Thread::Thread(Thread &&other) noexcept = default;

Thread &Thread::operator=(Thread &&other) noexcept {
  if (this != &other) {
    if (Joinable()) Join();
    state_ = std::move(other.state_);
    thread_ = std::move(other.thread_);
  }
  return *this;
}

Thread::~Thread() {
  if (Joinable()) Join();
}

bool Thread::OnThread() const { return state_ && state_->id.load() == std::this_thread::get_id(); }

void Thread::Join() {
  if (!state_) return;
  if (OnThread()) {
    thread_.detach();  // a thread cannot wait for itself to end
  } else {
    {
      Lock lock(state_->mutex);
      state_->done.Wait(lock, "the end of a thread (join)", [&] { return state_->finished; });
    }
    thread_.join();
  }
  state_.reset();
}

}  // namespace host::sched

void HostSwitchPoint(const char *what) { host::sched::SwitchPoint(what); }
