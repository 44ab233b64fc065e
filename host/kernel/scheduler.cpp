// The scheduler and virtual clock (see scheduler.h).
//
// One lock (Scheduler::lock) guards the clock, the thread table, the timers
// and every wait slot. Lock order: a component's own host::Mutex, then the
// scheduler's lock; nothing takes a component's lock while holding the
// scheduler's.
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
#include <random>
#include <set>
#include <stdexcept>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "host/kernel/host_kernel.h"

namespace host::sched {

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

Scheduler &S() {
  static Scheduler scheduler;
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

[[noreturn]] void ReportDeadlockLocked(Scheduler &s) {
  std::string text = "*** MACHINE DEADLOCK at model time " + std::to_string(s.now) +
                     " (100 ns units): no thread can run and no time-out is pending";
  for (const ThreadRecord *thread : s.threads) {
    text += "\n    thread '" + thread->name + "' ";
    if (StuckLocked(*thread)) {
      const uintptr_t owner = __atomic_load_n(thread->spinningOn, __ATOMIC_ACQUIRE);
      text += "spins on spin lock " + Hex(thread->spinningOn) + ", held by " + NameOfTokenLocked(s, owner);
    } else {
      text += "waits on: ";
      text += thread->slot ? thread->slot->what : "(nothing: runnable)";
    }
  }
  StopMachine(text);
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
  --s.runnable;
  if (lock != nullptr) lock->unlock();
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
  auto &s = S();
  std::unique_lock guard(s.lock);
  ThreadRecord &me = SelfLocked(s, guard);
  if (deadline != kForever && deadline <= s.now) return false;
  slot = Slot{WaitState::Waiting, deadline, what, forWork, &me, queue, s.timerOrder++};
  const bool notified = BlockLocked(s, guard, me, slot, &lock);
  guard.unlock();
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

// ---------------------------------------------------------------- clock and modes
int64_t Now() {
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
  auto &s = S();
  std::unique_lock guard(s.lock);
  s.now = 0;
  s.pace = options.pace;
  s.realBoot = Steady::now();
  s.random.seed(options.seed.value_or(0));
  s.digest = 0;
  s.switches = 0;
  s.nextId = 0;
  for (ThreadRecord *thread : s.threads) {
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
  auto &s = S();
  std::lock_guard guard(s.lock);
  return s.seed;
}

uint64_t ScheduleDigest() {
  auto &s = S();
  std::lock_guard guard(s.lock);
  return s.digest;
}

uint64_t SwitchCount() {
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
void SwitchPoint(const char *what) {
  if (tCurrent.record == nullptr && !tLeft && S().alive) StopForUnknownThread(what);
  if (!Seeded()) return;
  auto &s = S();
  std::unique_lock guard(s.lock);
  if (s.seeded) SwitchLocked(s, guard, false);
}

void SpinOn(const uintptr_t *word) {
  auto &s = S();
  std::unique_lock guard(s.lock);
  ThreadRecord &me = SelfLocked(s, guard);
  me.spinningOn = word;
  if (!StuckLocked(me)) return;  // let go meanwhile: try again
  if (OthersWorkingLocked(s, &me) > 0) {
    // The holder, or somebody who will wake it, can run: let it.
    if (s.seeded) {
      SwitchLocked(s, guard, true, true);
    } else {
      guard.unlock();
      std::this_thread::yield();
    }
    return;
  }
  // Nothing but spinners can run: only a time-out can free the lock.
  if (s.timers.empty()) ReportDeadlockLocked(s);
  Slot slot{WaitState::Waiting, std::get<0>(*s.timers.begin()), "model time (spinning on a spin lock)", false, &me,
            nullptr, s.timerOrder++};
  BlockLocked(s, guard, me, slot, nullptr);
}

void SpinEnds() {
  if (tCurrent.record == nullptr) return;
  std::lock_guard guard(S().lock);
  tCurrent.record->spinningOn = nullptr;
}

int64_t PollClock() {
  auto &s = S();
  std::unique_lock guard(s.lock);
  ThreadRecord &me = SelfLocked(s, guard);
  if (me.lastClockRead == s.now && OthersWorkingLocked(s, &me) == 0) {
    s.now += kPollStep;
    FireTimersLocked(s);
  }
  me.lastClockRead = s.now;
  return s.now;
}

uint64_t ThreadToken() {
  if (tCurrent.record != nullptr) return tCurrent.record->token;
  auto &s = S();
  std::unique_lock guard(s.lock);
  return SelfLocked(s, guard).token;
}

std::vector<const void *> &SpinLocksHeld() {
  if (tCurrent.record != nullptr) return tCurrent.record->spinLocksHeld;
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
    auto &s = S();
    std::unique_lock guard(s.lock);
    // The holder is not runnable (or not one of ours): wait for it for real.
    if (!s.seeded || !SwitchLocked(s, guard, true)) {
      guard.unlock();
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
    auto &s = S();
    std::lock_guard guard(s.lock);
    RegisterLocked(s, state_->record, std::move(name));
  }
  thread_ = std::thread([state = state_] {
    auto &s = S();
    state->id = std::this_thread::get_id();
    tCurrent.record = &state->record;
    {
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
