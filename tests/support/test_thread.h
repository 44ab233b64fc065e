// A test's worker thread, started as one of the machine's threads: the
// scheduler counts it from its creation, so model time cannot jump while it
// still has work to do, and joining it is a wait the clock can see.
#pragma once

#include <functional>
#include <tuple>
#include <utility>

#include "host/kernel/scheduler.h"

class TestThread : public host::sched::Thread {
 public:
  TestThread() = default;
  explicit TestThread(std::function<void()> body) : Thread("test worker", std::move(body)) {}
  // As std::thread: the arguments are copied (std::ref for a reference).
  template <class Function, class... Arguments>
  TestThread(Function &&function, Arguments &&...arguments)
      : Thread("test worker", [function = std::forward<Function>(function),
                               tuple = std::make_tuple(std::forward<Arguments>(arguments)...)]() mutable {
          std::apply(function, tuple);
        }) {}
  void join() { Join(); }
  bool joinable() const { return Joinable(); }
};
