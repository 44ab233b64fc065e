// Scenario support for the bridge's life cycle: a machine fixture with views
// of the driver's own records, requests sent straight to a device object, and
// a lower filter below the bridge's function device that can make the lower
// stack do what the USB stack never does (pend a start and then fail it, fail
// a remove, fail or hold a change to D0).
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "host/pnp/pnp_manager.h"
#include "norvusb.h"
#include "tests/support/machine_fixture.h"

namespace lifecycle {

inline constexpr const char *kAcmeDeviceId = "MFG:ACME;MDL:LX-100;";

// A bridge plan with its own serial number, so that several bridges of one
// machine get distinct device nodes.
host::BridgePlan PlanWith(const std::string &deviceId, int serial = 1);

// ------------------------------------------------------------------ the lower filter
enum class D0Answer {
  PassOn,  // down to the USB stack like everything else
  Fail,    // completed here with STATUS_UNSUCCESSFUL
  Hold,    // pended here until ReleaseHeldRequest
};

struct FilterScript {
  // Not 0: the start goes down to the USB stack, then is pended here and
  // completed with this status from another thread.
  std::atomic<NTSTATUS> startFailsLater{0};
  // Not 0: the remove goes down to the USB stack, then is completed with this status.
  std::atomic<NTSTATUS> removeFails{0};
  std::atomic<D0Answer> toD0{D0Answer::PassOn};
  std::atomic<int> pnpSeen[0x20] = {};  // by minor code
  std::atomic<int> d0Seen{0};
  std::atomic<int> filtersAlive{0};
};
FilterScript &Script();

// Completes the request that D0Answer::Hold kept, with `status`. False when none is held.
bool ReleaseHeldRequest(NTSTATUS status);

// ------------------------------------------------------------------ a request sent by hand
// An IRP built with IoAllocateIrp and sent with IoCallDriver, as another
// driver would; the caller sees what the dispatch routine returned and, once
// the request completes, its final status block.
class SentIrp {
 public:
  struct State;
  NTSTATUS returned = STATUS_PENDING;  // what IoCallDriver returned
  bool Wait(int milliseconds = 5000);  // model time; true once completed
  bool Done() const;
  NTSTATUS Status() const;
  ULONG_PTR Information() const;
  bool PendingReturned() const;
  std::shared_ptr<State> state;
};
// Sets up the request's first stack location (major, minor, parameters and
// file object) and sends it.
SentIrp Send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, const IO_STACK_LOCATION &parameters = {});
IO_STACK_LOCATION DevicePower(DEVICE_POWER_STATE state);

// ------------------------------------------------------------------ the fixture
class LifecycleTest : public MachineFixture {
 protected:
  void TearDown() override;

  // Registers the driver behind the lower filter; call after Boot and before
  // the first Plug.
  void UseLowerFilter();

  // The bridge's function device, through its "\Device\NorvUSBn" name.
  PDEVICE_OBJECT Fdo(size_t index) const;
  FdoExtension *Extension(size_t index) const;
  std::optional<host::pnp::DeviceNodeInfo> BridgeNode(size_t index) const;
  std::optional<host::pnp::DeviceNodeInfo> PrinterNode(size_t index) const;
  // Whether "\DosDevices\<portName>" exists.
  static bool LinkExists(const std::string &portName);
  // Bus-relations queries the manager sent to a node, and their statuses.
  static std::vector<NTSTATUS> RelationQueries(const std::string &instancePath);

  bool filterUsed_ = false;
};

}  // namespace lifecycle
