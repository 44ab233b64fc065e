#include "host/usbstack/fault_rules.h"

namespace host::usb {

void FaultRules::Add(RequestKind kind, Fault fault, uint64_t nth, uint64_t times) {
  std::lock_guard lock(mutex_);
  rules_.push_back(Rule{kind, fault, nth == 0 ? 1 : nth, times});
}

void FaultRules::Clear() {
  std::lock_guard lock(mutex_);
  rules_.clear();
}

uint64_t FaultRules::Seen(RequestKind kind) const {
  std::lock_guard lock(mutex_);
  if (kind == RequestKind::Any) {
    uint64_t all = 0;
    for (size_t i = 1; i < kUsbKinds; ++i) all += seen_[i];
    return all;
  }
  return seen_[static_cast<size_t>(kind)];
}

std::optional<Fault> FaultRules::Next(RequestKind kind) {
  std::lock_guard lock(mutex_);
  ++seen_[static_cast<size_t>(kind)];
  std::optional<Fault> hit;
  for (auto &rule : rules_) {
    const bool any = rule.kind == RequestKind::Any && kind != RequestKind::BusRequest;
    if (!any && rule.kind != kind) continue;
    const uint64_t index = ++rule.matched;
    const bool inWindow = index >= rule.nth && (rule.times == 0 || index < rule.nth + rule.times);
    if (inWindow && !hit) hit = rule.fault;
  }
  return hit;
}

}  // namespace host::usb
