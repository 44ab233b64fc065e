#include "tests/support/kernel_fixture.h"

void KernelFixture::SetUp() {
  host::SetBugCheckHandler([this](const host::BugCheck &check) {
    std::lock_guard lock(mutex_);
    recorded_.push_back(check);
  });
  if (bootKernel_) kernel_ = std::make_unique<host::Kernel>(kernelOptions_);
}

void KernelFixture::TearDown() {
  ShutDownKernel();
  for (const auto &check : TakeBugChecks()) ADD_FAILURE() << host::FormatBugCheck(check);
  host::SetBugCheckHandler({});
}

void KernelFixture::ShutDownKernel() { kernel_.reset(); }

std::vector<host::BugCheck> KernelFixture::TakeBugChecks() {
  std::lock_guard lock(mutex_);
  return std::exchange(recorded_, {});
}

bool KernelFixture::TakeBugCheck(uint32_t code) { return TakeMatching(code, nullptr); }

bool KernelFixture::TakeBugCheck(uint32_t code, uint64_t parameter1) { return TakeMatching(code, &parameter1); }

bool KernelFixture::TakeMatching(uint32_t code, const uint64_t *parameter1) {
  std::lock_guard lock(mutex_);
  for (auto it = recorded_.begin(); it != recorded_.end(); ++it) {
    if (it->code == code && (parameter1 == nullptr || it->parameters[0] == *parameter1)) {
      recorded_.erase(it);
      return true;
    }
  }
  return false;
}
