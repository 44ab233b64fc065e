// Port numbers, device names and settings across many bridges on one machine.
#include <gtest/gtest.h>

#include "host/kernel/registry.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace lifecycle {
namespace {

using host::pnp::DeviceState;

constexpr const char *kDriverKey0 = "\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\norvusb\\0000";

class PortsTest : public LifecycleTest {
 protected:
  // Plugs bridges 1..count, each with its own serial number; a bridge whose
  // device ID read fails keeps the machine small (no child).
  void PlugBridges(int first, int count) {
    for (int i = first; i < first + count; ++i) {
      host::BridgePlan plan = PlanWith(kAcmeDeviceId, i);
      plan.bridge.vendorFaults[1] = host::hardware::VendorFault::Stall();
      machine_->Plug(plan);
    }
  }
};

TEST_F(PortsTest, BridgesAreNumberedInTurnAndTheTenthLinkEndsIn10) {
  host::Machine &machine = Boot();
  for (int i = 1; i <= 10; ++i) machine.Plug(PlanWith(kAcmeDeviceId, i));
  for (size_t i = 0; i < 10; ++i) {
    const std::string number = std::to_string(i + 1);
    host::BridgeView view = machine.View(i);
    EXPECT_EQ(view.portName, "NorvUSB" + number);
    EXPECT_EQ(view.deviceName, host::registry::ToUtf16("\\Device\\NorvUSB" + number));
    EXPECT_TRUE(LinkExists("NorvUSB" + number)) << number;
  }
  EXPECT_EQ(host::LookupDevice(u"\\DosDevices\\NorvUSB10"), Fdo(9));
  EXPECT_EQ(DriverGlobals.NameCounter, 10);
  // An unknown device type with no characteristics, one opener at a time.
  EXPECT_EQ(Fdo(0)->DeviceType, ULONG(FILE_DEVICE_UNKNOWN));
  EXPECT_EQ(Fdo(0)->Characteristics, 0u);
  EXPECT_NE(Fdo(0)->Flags & DO_EXCLUSIVE, 0u);
}

TEST_F(PortsTest, The129thBridgeFailsVisiblyAndLeavesTheOthersAlone) {
  Boot();
  PlugBridges(1, 129);
  for (size_t i = 0; i < 128; ++i) ASSERT_EQ(BridgeNode(i)->state, DeviceState::Started) << i;
  EXPECT_EQ(machine_->View(127).portName, "NorvUSB128");
  auto last = BridgeNode(128);
  EXPECT_EQ(last->state, DeviceState::Failed);
  EXPECT_EQ(last->problem, host::pnp::problem::kFailedAdd);
  EXPECT_EQ(last->problemStatus, STATUS_OBJECT_NAME_COLLISION);
  for (ULONG word : DriverGlobals.PortBitmap) EXPECT_EQ(word, 0xFFFFFFFFu);

  // The last bridge out frees its number; the next one in takes it.
  machine_->Unplug(127);
  machine_->Unplug(128);
  PlugBridges(200, 1);
  EXPECT_EQ(BridgeNode(129)->state, DeviceState::Started);
  EXPECT_EQ(machine_->View(129).portName, "NorvUSB128");
}

TEST_F(PortsTest, FreedNumbersAreReusedLowestFirst) {
  host::Machine &machine = Boot();
  PlugBridges(1, 3);
  machine.Unplug(1);
  machine.Unplug(0);
  PlugBridges(4, 1);
  host::BridgeView view = machine.View(3);
  EXPECT_EQ(view.portName, "NorvUSB1");
  // One bridge left, so the next device name ends in 2.
  EXPECT_EQ(view.deviceName, u"\\Device\\NorvUSB2");
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0xA0000000u);
}

// An out-of-order unplug leaves the name counter at a name still in use: the
// next bridge takes the next unused device name and works.
TEST_F(PortsTest, AnOutOfOrderRemoveGivesTheNextBridgeTheNextUnusedDeviceName) {
  host::Machine &machine = Boot();
  PlugBridges(1, 2);
  machine.Unplug(0);
  PlugBridges(3, 1);

  EXPECT_EQ(BridgeNode(2)->state, DeviceState::Started);
  EXPECT_EQ(machine.View(2).portName, "NorvUSB1");
  EXPECT_EQ(machine.View(2).deviceName, u"\\Device\\NorvUSB3");
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0xC0000000u);
  EXPECT_EQ(DriverGlobals.NameCounter, 2);
}

TEST_F(PortsTest, WithoutValuesTheSettingsKeepTheirImageValues) {
  Boot();
  PlugBridges(1, 1);
  EXPECT_EQ(DriverGlobals.AltSetting, 0);
  EXPECT_EQ(DriverGlobals.IfSetting, 0);
  EXPECT_EQ(DriverGlobals.MaxTransferSize, 4096u);
}

TEST_F(PortsTest, ALaterBridgesMaxTransferSizeAppliesToEveryBridge) {
  host::Machine &machine = Boot();
  PlugBridges(1, 1);
  host::pnp::SetDriverDefault(host::Machine::kService, "MaxTransferSize", 512);
  PlugBridges(2, 1);
  EXPECT_EQ(DriverGlobals.MaxTransferSize, 512u);

  host::DeviceHandle first;
  ASSERT_EQ(first.Open(u"\\Device\\NorvUSB1"), STATUS_SUCCESS);
  std::vector<uint8_t> data(513, 0x55);
  EXPECT_EQ(first.Write(data.data(), 513).status, STATUS_INVALID_PARAMETER);
  host::IoResult written = first.Write(data.data(), 512);
  EXPECT_EQ(written.status, STATUS_SUCCESS);
  EXPECT_EQ(written.information, 512u);
  EXPECT_TRUE(machine.Printer(0).WaitForReceived(512, std::chrono::seconds(5)));
}

// A value of another type never overwrites anything and leaves its setting.
struct ForeignValue {
  const char *name;
  ULONG type;
  std::vector<uint8_t> data;
};

class ForeignValueTest : public PortsTest, public ::testing::WithParamInterface<ForeignValue> {};

TEST_P(ForeignValueTest, LeavesTheSettingUnchanged) {
  host::Machine &machine = Boot();
  host::registry::SetValue(kDriverKey0, GetParam().name, GetParam().type, GetParam().data);
  PlugBridges(1, 1);
  ASSERT_EQ(host::pnp::DriverKeyPath(BridgeNode(0)->instancePath), kDriverKey0);
  EXPECT_EQ(DriverGlobals.MaxTransferSize, 4096u);
  EXPECT_EQ(DriverGlobals.AltSetting, 0);
  EXPECT_EQ(DriverGlobals.IfSetting, 0);

  host::DeviceHandle port;
  ASSERT_EQ(port.Open(u"\\Device\\NorvUSB1"), STATUS_SUCCESS);
  std::vector<uint8_t> data(4096, 0x33);
  EXPECT_EQ(port.Write(data.data(), 4096).status, STATUS_SUCCESS);
  EXPECT_TRUE(machine.Printer(0).WaitForReceived(4096, std::chrono::seconds(5)));
}

std::vector<uint8_t> Utf16Bytes(const char16_t *text) {
  std::vector<uint8_t> bytes;
  for (const char16_t *c = text;; ++c) {
    bytes.push_back(uint8_t(*c & 0xFF));
    bytes.push_back(uint8_t(*c >> 8));
    if (*c == 0) break;
  }
  return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Types, ForeignValueTest,
    ::testing::Values(ForeignValue{"MaxTransferSize", REG_SZ, Utf16Bytes(u"65536 bytes, a long text value")},
                      ForeignValue{"MaxTransferSize", REG_BINARY, {0x00, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}},
                      ForeignValue{"MaxTransferSize", REG_BINARY, {0x00, 0x02, 0x00, 0x00}},
                      ForeignValue{"MaxTransferSize", REG_MULTI_SZ, Utf16Bytes(u"8\0\0")},
                      ForeignValue{"AltSetting", REG_SZ, Utf16Bytes(u"1")},
                      ForeignValue{"IFSetting", REG_BINARY, {0x01}}));

// The interface settings are read from the driver key at AddDevice, one
// byte each.
TEST_F(PortsTest, TheInterfaceSettingsAreReadFromTheDriverKey) {
  Boot();
  host::pnp::SetDriverDefault(host::Machine::kService, "AltSetting", 0x0102);
  host::pnp::SetDriverDefault(host::Machine::kService, "IFSetting", 0x0304);
  PlugBridges(1, 1);
  EXPECT_EQ(DriverGlobals.AltSetting, 0x02);
  EXPECT_EQ(DriverGlobals.IfSetting, 0x04);
  EXPECT_TRUE(ReadSettings(Extension(0)->PhysicalDeviceObject)) << "the bridge's driver key is there to read";
}

// Nothing to attach to: the bridge is deleted again, its number and its
// "Port Name" given back, and AddDevice fails.
TEST_F(PortsTest, AFailedAttachLeavesNothingBehind) {
  host::Machine &machine = Boot();
  host::RefuseAttaching(true);
  PlugBridges(1, 1);
  host::RefuseAttaching(false);
  auto bridge = BridgeNode(0);
  ASSERT_TRUE(bridge);
  EXPECT_EQ(bridge->state, DeviceState::Failed);
  EXPECT_EQ(bridge->problem, host::pnp::problem::kFailedAdd);
  EXPECT_EQ(bridge->problemStatus, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), nullptr);
  EXPECT_EQ(DriverGlobals.NameCounter, 0);
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0u);
  EXPECT_EQ(host::registry::GetString(host::pnp::DriverKeyPath(bridge->instancePath), "Port Name"), "");
  EXPECT_EQ(host::registry::GetString(host::pnp::DeviceKeyPath(bridge->instancePath), "Port Name"), "");
  for (const auto &block : host::OutstandingPoolBlocks()) EXPECT_NE(block.tag, NORVUSB_POOL_TAG);
  machine.Unplug(0);
  PlugBridges(2, 1);
  EXPECT_EQ(machine.View(1).portName, "NorvUSB1");
}

// Device names taken by another driver: a bridge searches the 1,024 names
// past the counter's; with none of them free AddDevice fails and the bridge
// keeps no port number, with the last one free the bridge takes it.
NTSTATUS NTAPI NameHolderEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

TEST_F(PortsTest, ABridgeTakesTheFirstFreeDeviceNameOfItsSearchOrFails) {
  host::Machine &machine = Boot();
  PDRIVER_OBJECT holder = host::CreateDriverObject(u"\\Driver\\NameHolder", NameHolderEntry);
  std::vector<PDEVICE_OBJECT> held(1024);
  for (size_t n = 0; n < held.size(); ++n) {
    const std::u16string name = host::registry::ToUtf16("\\Device\\NorvUSB" + std::to_string(n + 1));
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, reinterpret_cast<PCWSTR>(name.c_str()));
    ASSERT_EQ(IoCreateDevice(holder, 0, &counted, FILE_DEVICE_UNKNOWN, 0, FALSE, &held[n]), STATUS_SUCCESS);
  }
  PlugBridges(1, 1);
  EXPECT_EQ(BridgeNode(0)->problem, host::pnp::problem::kFailedAdd);
  EXPECT_EQ(BridgeNode(0)->problemStatus, STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0u);

  IoDeleteDevice(held.back());
  held.pop_back();
  PlugBridges(2, 1);
  EXPECT_EQ(BridgeNode(1)->state, DeviceState::Started);
  EXPECT_NE(host::LookupDevice(u"\\Device\\NorvUSB1024"), nullptr);  // the name given back above
  EXPECT_EQ(machine.View(1).portName, "NorvUSB1");
  for (PDEVICE_OBJECT device : held) IoDeleteDevice(device);
  host::DeleteDriverObject(holder);
}

// Freeing a number outside 0..127 changes no bit but still empties the
// device's "Port Name" in both keys.
TEST_F(PortsTest, FreeingANumberOutOfRangeStillEmptiesThePortName) {
  host::Machine &machine = Boot();
  PlugBridges(1, 1);
  const std::string path = BridgeNode(0)->instancePath;
  ASSERT_EQ(host::registry::GetString(host::pnp::DriverKeyPath(path), "Port Name"), "NorvUSB1");
  for (USHORT outOfRange : {USHORT(128), USHORT(0xFFFF)}) {
    host::registry::SetString(host::pnp::DriverKeyPath(path), "Port Name", "stale");
    host::registry::SetString(host::pnp::DeviceKeyPath(path), "Port Name", "stale");
    USHORT index = outOfRange;
    AllocatePortName(machine.Bus().Pdo(machine.Port(0)), 0, &index);
    EXPECT_EQ(host::registry::GetString(host::pnp::DriverKeyPath(path), "Port Name"), "") << outOfRange;
    EXPECT_EQ(host::registry::GetString(host::pnp::DeviceKeyPath(path), "Port Name"), "") << outOfRange;
    EXPECT_EQ(DriverGlobals.PortBitmap[0], 0x80000000u) << outOfRange;
  }
}

}  // namespace
}  // namespace lifecycle
