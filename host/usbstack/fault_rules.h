// The fault rules of one port (FaultInjector behind UsbBus::Faults).
#pragma once

#include <array>
#include <mutex>
#include <optional>
#include <vector>

#include "host/kernel/scheduler.h"
#include "host/usbstack/usb_bus.h"

namespace host::usb {

class FaultRules final : public FaultInjector {
 public:
  void Add(RequestKind kind, Fault fault, uint64_t nth, uint64_t times) override;
  void Clear() override;
  uint64_t Seen(RequestKind kind) const override;

  // Counts one request of `kind` and returns the fault that hits it, if any.
  // The first rule that hits wins; every rule counts the request.
  std::optional<Fault> Next(RequestKind kind);

 private:
  struct Rule {
    RequestKind kind;
    Fault fault;
    uint64_t nth;
    uint64_t times;  // 0: unlimited
    uint64_t matched = 0;
  };
  static constexpr size_t kUsbKinds = static_cast<size_t>(RequestKind::PortReset) + 1;
  static constexpr size_t kKinds = static_cast<size_t>(RequestKind::BusRequest) + 1;
  mutable host::Mutex mutex_;
  std::vector<Rule> rules_;
  std::array<uint64_t, kKinds> seen_{};
};

}  // namespace host::usb
