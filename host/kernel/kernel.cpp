// The machine's life: boot brings every kernel service to its first state;
// shutdown runs the verifier's unload checks and then resets everything, so
// the next machine starts clean.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "host/kernel/detail.h"
#include "host/kernel/force_pending.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/scheduler.h"
#include "host/kernel/watchdog.h"

namespace host {

namespace {

std::atomic<bool> gKernelAlive{false};

std::string Listed(const std::vector<std::string> &items) {
  std::string text;
  for (const auto &item : items) text += (text.empty() ? "" : "; ") + item;
  return text;
}

void ReportLeaks() {
  detail::PoolVerifyFreed();
  if (auto leaks = detail::IoManagerLeaks(); !leaks.empty()) {
    RaiseBugCheck(bugcheck::kUnloadedWithPendingWork, 0, 0, 0, leaks.size(),
                  "I/O objects still alive at shutdown: " + Listed(leaks));
  }
  if (auto leaks = detail::RegistryHandleLeaks(); !leaks.empty()) {
    RaiseBugCheck(bugcheck::kUnloadedWithPendingWork, 0, 0, 0, leaks.size(),
                  "registry handles never closed: " + Listed(leaks));
  }
  if (auto leaks = detail::PoolLeaks(); !leaks.empty()) {
    RaiseBugCheck(bugcheck::kVerifierViolation, bugcheck::kPoolLeak, 0, 0, leaks.size(),
                  std::to_string(leaks.size()) + " pool block(s) never freed: " + Listed(leaks));
  }
}

// What IoIsWdmVersionAvailable reports; set at boot.
std::atomic<uint16_t> gWdmVersion{0x0110};
std::atomic<bool> gMemoryIntegrity{false};

// Windows 8.1 and 10 report WDM 6.30.
constexpr uint16_t kWindows10Wdm = 0x0630;

bool MemoryIntegrityFromEnvironment() {
  const char *text = std::getenv("NORVUSB_MEMORY_INTEGRITY");  // NOLINT(concurrency-mt-unsafe): nothing here writes the environment
  return text != nullptr && std::strcmp(text, "1") == 0;
}

}  // namespace

// Before WDM 6.00 (Windows Vista) the power manager holds a device's next
// power request back until PoStartNextPowerIrp; from then on the call does nothing.
bool detail::PowerIrpsSerialised() { return gWdmVersion.load() < 0x0600; }

bool detail::MemoryIntegrity() { return gMemoryIntegrity.load(); }

Kernel::Kernel(KernelOptions options) {
  if (gKernelAlive.exchange(true)) {
    throw std::logic_error("a host::Kernel is already running; only one machine may be alive at a time");
  }
  try {
    detail::ClockReset(options);
    sched::AdoptCurrentThread("main");
  } catch (...) {
    gKernelAlive = false;
    throw;
  }
  const bool defaultSystem = options.wdmVersion == KernelOptions{}.wdmVersion;
  gMemoryIntegrity = options.memoryIntegrity || (defaultSystem && MemoryIntegrityFromEnvironment());
  gWdmVersion = gMemoryIntegrity && defaultSystem ? kWindows10Wdm : options.wdmVersion;
  sched::SetIrqlProbe([] { return int{irql::Current()}; });
  detail::PoolBoot(options.specialPool);
  detail::LowResourcesReset();
  forcepending::EnableFromEnvironment();
  ClearBugChecks();
}

Kernel::~Kernel() {
  // The PnP worker stops first, so that nothing changes while the checks look.
  detail::PnpReset();
  ReportLeaks();
  detail::IoManagerReset();
  detail::RegistryReset();
  detail::PoolReset();
  detail::LowResourcesReset();
  forcepending::Disable();
  detail::ClockHalt();
  gWdmVersion = KernelOptions{}.wdmVersion;
  gMemoryIntegrity = false;
  gKernelAlive = false;
}

}  // namespace host

BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  const host::sched::AfterEffect afterEffect("IoIsWdmVersionAvailable");
  host::sched::SwitchPoint("IoIsWdmVersionAvailable");
  const uint16_t asked = uint16_t(MajorVersion << 8 | MinorVersion);
  return asked <= host::gWdmVersion.load() ? TRUE : FALSE;
}
