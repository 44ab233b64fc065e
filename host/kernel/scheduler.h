// The machine's scheduler and its virtual clock.
//
// Model time advances only when every thread of the machine waits inside
// the kernel: then the clock jumps to the earliest deadline and wakes its
// waiter. Computation takes no model time, so a busy or slow host can never
// make a time-out fire. With nothing runnable and no deadline left the
// machine is deadlocked, and that is reported at once (naming each thread and
// what it waits on) instead of hanging.
//
// Two modes:
// - free-running: the machine's threads are real threads running at once
//   (what the thread sanitizer needs);
// - seeded: they run one at a time and switch only at kernel calls (switch
//   points), the next thread chosen by a generator seeded with one number, so
//   a run is a function of its seed and any interleaving it finds replays.
//   They share the processor the machine booted on, so that a switch costs
//   no wake-up across processors.
//
// Every thread that touches a running machine is one of its threads: the
// thread that boots the kernel and threads started through sched::Thread (the
// host controller, the PnP worker, a test's workers). Any other thread that
// enters the kernel stops the machine with a message: the clock could not
// have waited for it. Host components wait only through CondVar, Delay or the
// kernel's dispatcher waits, and lock only host::Mutex, so that the scheduler
// sees every thread that cannot go on.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace host::sched {

inline constexpr int64_t kForever = INT64_MAX;  // a deadline that never comes
inline constexpr int64_t kUnitsPerMillisecond = 10'000;

int64_t Now();  // model time since boot, in the platform's 100-ns units

// ---------------------------------------------------------------- modes
struct Options {
  std::optional<uint64_t> seed;  // seeded scheduling; none: free-running
  // Real-time pacing for a person watching (a demo's progress bar): model
  // time never runs ahead of real time multiplied by this. 0: no pacing.
  double pace = 0.0;
};
// Called at boot. Model time restarts at 0; the calling thread becomes one of
// the machine's threads. Throws std::invalid_argument for a negative or
// non-finite pace.
void Reset(const Options &options);
// Called at shutdown: free-running again, model time 0, no machine running.
void Halt();
bool Seeded();
// The running machine's seed (none when free-running): what the machine's
// other arbitrary choices derive from, so that a seeded run repeats.
std::optional<uint64_t> Seed();
// A digest of every choice the seeded scheduler made since boot: two runs of
// one scenario with one seed give the same digest.
uint64_t ScheduleDigest();
uint64_t SwitchCount();  // switch points passed since boot (seeded mode)

// The number (decimal, or hex with 0x) that an environment variable holds;
// nullopt when unset or empty. Anything else is ignored with a warning on
// standard error, so that a mistyped seed is not silently a different run.
std::optional<uint64_t> SeedFromEnvironment(const char *variable = "NORVUSB_SEED");

// ---------------------------------------------------------------- switch points
// A place where the seeded scheduler may run another thread: every routine
// the kernel exports to drivers passes one at its entry. Free-running it only
// checks that the caller is one of the machine's threads.
void SwitchPoint(const char *what);

// A spin on a lock word that another thread of the machine holds (the word
// holds the holder's ThreadToken, 0 when free). While some thread that is
// not itself stuck can run, the spinner lets it; when none can, the spinner
// waits for model time to wake somebody, and with no time-out pending the
// machine is deadlocked (reported, naming the spinner, the holder and the
// lock). SpinEnds when the lock is taken.
void SpinOn(const uintptr_t *word);
void SpinEnds();

// A read of the clock by a driver (KeQuerySystemTime): model time since
// boot. When the caller reads the clock twice without anything happening in
// between and no other thread can run, it polls: model time moves on by
// kPollStep, firing any time-out it passes, as busy-waiting lets real time
// pass on the platform.
inline constexpr int64_t kPollStep = 10;  // 1 microsecond
int64_t PollClock();

// ---------------------------------------------------------------- thread records
// The calling thread's mark as a lock owner: unique in the process, never
// reused, so that a new thread is never taken for one that has left.
uint64_t ThreadToken();
// The spin locks the calling thread holds, in the order taken; only the
// thread itself touches its list. A thread that ends holding one is bug
// check 0xC4/0x100A naming it.
std::vector<const void *> &SpinLocksHeld();

// ---------------------------------------------------------------- mutex
// A std::mutex the seeded scheduler can see: a thread that finds it taken
// lets the holder run instead of blocking the one thread allowed to run.
class Mutex {
 public:
  void lock();
  bool try_lock() { return mutex_.try_lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::mutex mutex_;
};
using Lock = std::unique_lock<Mutex>;

// ---------------------------------------------------------------- waiting
struct ThreadRecord;
enum class WaitState { Waiting, Notified, TimedOut };
// One blocked thread; the scheduler's lock guards it.
struct Slot {
  WaitState state = WaitState::Waiting;
  int64_t deadline = kForever;
  const char *what = "";
  bool forWork = false;  // a service thread waiting for work to come
  ThreadRecord *thread = nullptr;
  std::deque<Slot *> *queue = nullptr;  // a CondVar's waiters, or null
  uint64_t timerOrder = 0;              // its key among the timers
};

// A condition variable whose waiters the clock can see. A notify makes the
// waiter runnable at once, before it has even woken, so that the clock cannot
// move in between. `what` names the wait in a deadlock report.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar &) = delete;
  CondVar &operator=(const CondVar &) = delete;

  // False when model time reached `deadline` first.
  bool WaitUntil(Lock &lock, int64_t deadline, const char *what);
  template <class Predicate>
  bool WaitUntil(Lock &lock, int64_t deadline, const char *what, Predicate ready) {
    while (!ready()) {
      if (!WaitUntil(lock, deadline, what)) return ready();
    }
    return true;
  }
  template <class Predicate>
  void Wait(Lock &lock, const char *what, Predicate ready) {
    while (!ready()) WaitUntil(lock, kForever, what);
  }
  // A service thread's wait for work (the host controller's, the PnP
  // worker's). A machine whose every thread waits for work is at rest, not
  // deadlocked: that is what is left once the thread that drove it has gone.
  template <class Predicate>
  void WaitForWork(Lock &lock, const char *what, Predicate ready) {
    while (!ready()) WaitForWorkOnce(lock, what);
  }
  void NotifyOne();
  void NotifyAll();

 private:
  void WaitForWorkOnce(Lock &lock, const char *what);

  std::deque<Slot *> waiters_;  // guarded by the scheduler's own lock
};

// Waits `units` of model time (a delay, a frame, a poll interval).
void Delay(int64_t units, const char *what);

// Polls `done` every `interval` of model time until it holds or `timeout`
// of model time passed: for tests and tools that watch a state that nobody
// signals. True when it held.
bool PollUntil(const std::function<bool()> &done, int64_t timeout, const char *what,
               int64_t interval = kUnitsPerMillisecond);

// For the dispatcher (sync.cpp), whose waiters queue on events: blocks the
// calling thread on `slot` until Wake(slot) or the deadline. The slot must be
// published (where a waker finds it) while `lock` is held; Block releases
// `lock` while it waits and takes it again. False on time-out.
bool Block(Lock &lock, Slot &slot, int64_t deadline, const char *what);
bool Wake(Slot &slot);  // false when the waiter had already timed out

// ---------------------------------------------------------------- threads
// The calling thread becomes one of the machine's threads under `name` (no
// effect when it is one already).
void AdoptCurrentThread(const std::string &name);

// A thread of the machine: counted as runnable from the moment it is
// created, so that the clock cannot jump before it has even started. Join
// (and the destructor) wait as the scheduler sees it.
class Thread {
 public:
  Thread() = default;
  Thread(std::string name, std::function<void()> body);
  Thread(Thread &&) noexcept;
  Thread &operator=(Thread &&) noexcept;
  ~Thread();

  bool Joinable() const { return state_ != nullptr; }
  void Join();
  bool OnThread() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace host::sched

namespace host {
using Mutex = sched::Mutex;
}
