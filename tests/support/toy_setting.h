// A setting a test hands one of its toy drivers. The toy driver reads it on
// the machine's threads (AddDevice and Plug and Play requests on the worker,
// completions on the controller's thread), so a bare global that the test
// changes between cases races the plug still settling from the last case.
// Set waits for the Plug and Play and power managers to settle first (their
// queues' locks order the change after every read of the last case, and the
// next plug is posted under them, after the change); the setting's own lock
// covers readers the managers do not run. A test changes a setting only
// through this, never by a plain write.
#pragma once

#include <mutex>

#include "host/pnp/pnp_manager.h"

namespace support {

template <class T>
class ToySetting {
 public:
  explicit ToySetting(T initial) : value_(initial) {}
  ToySetting(const ToySetting &) = delete;
  ToySetting &operator=(const ToySetting &) = delete;

  void Set(T value) {
    host::pnp::WaitIdle();
    std::lock_guard lock(mutex_);
    value_ = value;
  }
  T Get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }

 private:
  mutable std::mutex mutex_;
  T value_;
};

}  // namespace support
