// Each path a bridge's life takes (start, open, read, write, device control,
// system sleep and resume, remove) with, in turn, every pool allocation it
// makes, every request it sends to the USB stack, and every Plug and Play or
// power request the bus may refuse, failed once. After each
// failure the caller gets a failure status, or, where the driver has another
// way, a result as good as without it; no request stays pending, nothing
// leaks, no verifier violation, and the bridge can still be removed.
#include <gtest/gtest.h>

#include <functional>

#include "tests/lifecycle/lifecycle_support.h"

namespace lifecycle {
namespace {

enum class Injected { PoolOrIrp, LowerRequest, BusRequest };

const char *Label(Injected what) {
  switch (what) {
    case Injected::PoolOrIrp: return "pool";
    case Injected::LowerRequest: return "usb";
    default: return "bus";
  }
}

struct Path {
  const char *name;
  // Before the path: the bridge plugged and started, `port` open unless the
  // path opens it; for the start path, the bridge disabled.
  bool open;
  bool disabled;
  // The path itself; returns its caller's status, and whether the result is
  // what a run without failures gives.
  std::function<std::pair<NTSTATUS, bool>(host::Machine &, host::DeviceHandle &, const std::string &node)> run;
};

constexpr char kLine[] = "one line of print\n";

const Path kPaths[] = {
    {"start", false, true,
     [](host::Machine &, host::DeviceHandle &port, const std::string &node) {
       // The manager's caller sees a failed start as the node's problem.
       host::pnp::EnableDevice(node);
       const auto info = host::pnp::FindDevice(node);
       if (!info || info->state != host::pnp::DeviceState::Started)
         return std::pair{info && !NT_SUCCESS(info->problemStatus) ? info->problemStatus : STATUS_UNSUCCESSFUL, false};
       const NTSTATUS status = port.Open("\\\\.\\NorvUSB1");
       port.Close();
       return std::pair{status, NT_SUCCESS(status)};
     }},
    {"open", false, false,
     [](host::Machine &, host::DeviceHandle &port, const std::string &) {
       const NTSTATUS status = port.Open("\\\\.\\NorvUSB1");
       return std::pair{status, NT_SUCCESS(status)};
     }},
    {"read", true, false,
     [](host::Machine &machine, host::DeviceHandle &port, const std::string &) {
       machine.Printer(0).SetDeviceId("MFG:ACME;MDL:LX-100;");
       uint8_t reply[64];
       const host::IoResult result = port.Read(reply, sizeof reply);
       return std::pair{result.status, result.information <= sizeof reply};
     }},
    {"write", true, false,
     [](host::Machine &machine, host::DeviceHandle &port, const std::string &) {
       const uint64_t before = machine.Printer(0).ReceivedCount();
       const host::IoResult result = port.Write(kLine, sizeof kLine);
       machine.WaitIdle();
       const uint64_t got = machine.Printer(0).ReceivedCount() - before;
       return std::pair{result.status, result.information == sizeof kLine && got == sizeof kLine};
     }},
    {"device control", true, false,
     [](host::Machine &, host::DeviceHandle &port, const std::string &) {
       // The interface tells a failed read of the device ID by an empty
       // reply; its status stays success.
       uint8_t reply[256];
       const host::IoResult id = port.DeviceControl(IOCTL_BRIDGE_GET_DEVICE_ID, nullptr, 0, reply, sizeof reply);
       const bool read = NT_SUCCESS(id.status) && id.information > 0;
       return std::pair{read ? id.status : STATUS_UNSUCCESSFUL, read};
     }},
    {"power", true, false,
     [](host::Machine &machine, host::DeviceHandle &port, const std::string &) {
       NTSTATUS status = host::pnp::SetSystemPower(PowerSystemSleeping3);
       const NTSTATUS woke = host::pnp::SetSystemPower(PowerSystemWorking);
       if (NT_SUCCESS(status)) status = woke;
       // Awake again, the port prints.
       const uint64_t before = machine.Printer(0).ReceivedCount();
       const host::IoResult result = port.Write(kLine, sizeof kLine);
       machine.WaitIdle();
       if (NT_SUCCESS(status) && !NT_SUCCESS(result.status)) status = result.status;
       return std::pair{status, machine.Printer(0).ReceivedCount() - before == sizeof kLine};
     }},
    {"remove", false, false,
     [](host::Machine &, host::DeviceHandle &, const std::string &node) {
       const NTSTATUS status = host::pnp::RemoveDevice(node);
       return std::pair{status, host::LookupDevice(u"\\Device\\NorvUSB1") == nullptr};
     }},
};

class FailureSweepTest : public LifecycleTest {
 protected:
  // One run of `path` with the k-th call of `what` failed (0: none); returns
  // how many such calls the path made.
  uint64_t Run(const Path &path, Injected what, uint64_t k) {
    const std::string where = std::string(path.name) + ", " + Label(what) + " call " + std::to_string(k);
    ResetDriverImage();
    host::Machine &machine = Boot();
    host::BridgePlan plan = PlanWith(kAcmeDeviceId);
    plan.bridge.emptyRead = host::hardware::EmptyRead::ZeroLengthPacket;
    machine.Plug(plan);
    const std::string node = BridgeNode(0)->instancePath;
    host::DeviceHandle port;
    if (path.disabled) {
      EXPECT_EQ(host::pnp::DisableDevice(node), STATUS_SUCCESS);
    }
    if (path.open) {
      EXPECT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
    }

    auto &faults = machine.Bus().Faults(machine.Port(0));
    const uint64_t consultedBefore = host::lowres::ConsultedCalls();
    const auto kind = what == Injected::BusRequest ? host::usb::RequestKind::BusRequest : host::usb::RequestKind::Any;
    const uint64_t sentBefore = faults.Seen(kind);
    if (k != 0 && what == Injected::PoolOrIrp) host::lowres::FailNth(k);
    if (k != 0 && what != Injected::PoolOrIrp)
      faults.Add(kind, host::usb::Fault::Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING), k);
    const auto [status, asGood] = path.run(machine, port, node);
    host::lowres::Clear();
    faults.Clear();
    const uint64_t calls =
        what == Injected::PoolOrIrp ? host::lowres::ConsultedCalls() - consultedBefore : faults.Seen(kind) - sentBefore;

    EXPECT_NE(status, STATUS_PENDING) << where;
    // Without a failure the path works; with one, the driver passed the
    // failure on or had another way around it.
    EXPECT_TRUE(k == 0 ? NT_SUCCESS(status) && asGood : !NT_SUCCESS(status) || asGood)
        << where << ": status 0x" << std::hex << status;

    // Whatever happened, the bridge goes: orderly while it is there, then the cable.
    port.Close();
    if (auto bridge = BridgeNode(0)) host::pnp::RemoveDevice(bridge->instancePath);
    machine.Unplug(0);
    machine.WaitIdle();
    EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), nullptr) << where;
    EXPECT_EQ(BridgeNode(0), std::nullopt) << where;
    EXPECT_EQ(machine.Bus().Pdo(machine.Port(0)), nullptr) << where << ": the bus kept the device object";
    ShutDownMachine();  // the leak check
    for (const auto &check : TakeBugChecks()) ADD_FAILURE() << where << ": " << host::FormatBugCheck(check);
    return calls;
  }

  // Every site of every path for one kind of failure; records the sites per path.
  void Sweep(Injected what) {
    for (const Path &path : kPaths) {
      const uint64_t sites = Run(path, what, 0);
      RecordProperty(std::string(path.name) + " " + Label(what), int(sites));
      std::printf("sweep: %-15s %-4s %3llu sites\n", path.name, Label(what), static_cast<unsigned long long>(sites));
      for (uint64_t k = 1; k <= sites && !HasFailure(); ++k) Run(path, what, k);
      if (HasFailure()) return;  // the first failing site is the one to look at
    }
  }
};

TEST_F(FailureSweepTest, EveryAllocationOfEveryPathFailedOnce) { Sweep(Injected::PoolOrIrp); }

TEST_F(FailureSweepTest, EveryRequestToTheUsbStackOfEveryPathFailedOnce) { Sweep(Injected::LowerRequest); }

TEST_F(FailureSweepTest, EveryRequestTheBusMayRefuseOfEveryPathRefusedOnce) { Sweep(Injected::BusRequest); }

}  // namespace
}  // namespace lifecycle
