// Two small drivers for the PnP and power manager tests: a bus driver whose
// bus device is registered like a root hub and reports child PDOs the test
// describes, and a function driver that attaches above them.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/kernel/host_kernel.h"
#include "host/pnp/pnp_manager.h"
#include "tests/support/kernel_fixture.h"

namespace toy {

// How a child answers TargetDeviceRelation: as a bus driver must (a one-entry
// list holding the child, referenced), or wrongly.
enum class TargetAnswer { Referenced, Ignored, EmptyList, Unreferenced };

struct ChildSpec {
  std::u16string deviceId = u"TOY\\WIDGET";
  std::vector<std::u16string> hardwareIds = {u"TOY\\WIDGET_HW"};
  std::vector<std::u16string> compatibleIds;
  std::u16string instanceId = u"1";
  bool uniqueId = false;
  bool unterminatedDeviceId = false;  // the device ID buffer has no null in it
  NTSTATUS startStatus = STATUS_SUCCESS;
  int holdPowerIrps = 0;  // this many set-power requests are kept pending until released
  bool refuseQueryPower = false;
  bool leaveInitializing = false;  // reported still DO_DEVICE_INITIALIZING
  TargetAnswer target = TargetAnswer::Referenced;
  NTSTATUS surpriseRemovalStatus = STATUS_SUCCESS;
};

struct Child {
  ChildSpec wanted;
  PDEVICE_OBJECT pdo = nullptr;
  bool present = true;
  bool deleted = false;
  std::vector<UCHAR> pnpMinors;  // every PnP request the PDO received
  std::vector<std::pair<POWER_STATE_TYPE, ULONG>> powerSeen;
  std::vector<PIRP> heldPower;
};

class Bus {
 public:
  explicit Bus(int index);
  ~Bus();
  Bus(const Bus &) = delete;
  Bus &operator=(const Bus &) = delete;

  PDEVICE_OBJECT Device() const { return device_; }
  Child &Add(ChildSpec wanted);            // a new PDO, reported from the next enumeration on
  void Unplug(Child &child);             // no longer reported
  void Invalidate();                     // IoInvalidateDeviceRelations(bus, BusRelations)
  void ReleaseHeldPower(Child &child);   // completes the oldest held set-power request

  std::mutex mutex;
  bool failRelations = false;
  int relationQueries = 0;
  std::vector<std::unique_ptr<Child>> children;
  int index = 0;
  PDEVICE_OBJECT device_ = nullptr;
};

// The function driver's observations and knobs, reset by Reset().
struct FunctionDriverState {
  std::mutex mutex;
  int driverEntryCalls = 0;
  int addDeviceCalls = 0;
  std::vector<uint32_t> maxTransferSizeSeen;  // from the driver key, in AddDevice
  std::vector<NTSTATUS> fdoKeyStatus;         // IoOpenDeviceRegistryKey on the FDO itself
  bool vetoQueryStop = false;
  bool vetoQueryRemove = false;
  // The function driver owns its devices' power policy: a system set-power
  // becomes a device set-power it asks for (D0 for working, D3 for sleep).
  bool powerPolicyOwner = false;
  int fdoCount = 0;
};
FunctionDriverState &FunctionDriver();
void Reset();
NTSTATUS NTAPI FunctionDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
std::u16string FdoName(int n);  // "\Device\ToyFn<n>", n counting from 0 in AddDevice order

// The bus driver object, loaded by the test itself (the USB stack's role).
PDRIVER_OBJECT LoadBusDriver();
// A major function the bus driver, when it loads, leaves without a routine.
void LeaveOutOfBusDriver(UCHAR major);

}  // namespace toy

// Boots the machine with the toy drivers; removes every bus at the end, so
// that the shutdown's leak checks see what the managers left behind.
class PnpFixture : public KernelFixture {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A bus with these children, registered with the PnP manager and enumerated.
  toy::Bus &AddBus(const std::vector<toy::ChildSpec> &children = {});
  std::string BusPath(size_t index) const { return busPaths_.at(index); }
  void UseFunctionDriver();  // the toy function driver serves TOY\WIDGET_HW
  // The node of a child PDO (fails the test when there is none).
  host::pnp::DeviceNodeInfo Node(const toy::Child &child);
  bool HasNode(const toy::Child &child);
  int Received(toy::Bus &bus, const toy::Child &child, UCHAR minor);
  // The bug checks so far, taken, in order: the verifier's rule (parameter 1)
  // for an I/O manager violation, the code for any other.
  std::vector<uint64_t> Violations();

  std::vector<std::unique_ptr<toy::Bus>> buses_;
  std::vector<std::string> busPaths_;
};
