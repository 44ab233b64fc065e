// The printer behind a bridge, as the Plug and Play manager sees it: the
// child device and its identifiers, the bus-relations rules, and the device
// ID through stop and start.
#include <gtest/gtest.h>

#include "host/pnp/power_manager.h"
#include "tests/support/power_policy.h"
#include "tests/lifecycle/lifecycle_support.h"

namespace lifecycle {
namespace {

using host::pnp::DeviceState;

class EnumerationTest : public LifecycleTest {
 protected:
  // The identifiers the manager recorded for the printer of a bridge whose
  // printer reports `deviceId`.
  std::optional<host::pnp::DeviceNodeInfo> PlugPrinter(const std::string &deviceId) {
    Boot().Plug(PlanWith(deviceId));
    return PrinterNode(0);
  }

  // An identifier query sent to the child, as the manager sends it; "" when
  // it failed.
  static std::u16string QueryChildId(PDEVICE_OBJECT child, BUS_QUERY_ID_TYPE type) {
    IO_STACK_LOCATION parameters{};
    parameters.Parameters.QueryId.IdType = type;
    auto outcome = host::pnp::internal::SendIrp(child, IRP_MJ_PNP, IRP_MN_QUERY_ID, parameters, 0);
    if (!NT_SUCCESS(outcome.status) || outcome.information == 0) return u"";
    auto *text = reinterpret_cast<WCHAR *>(outcome.information);
    std::u16string id(text);
    ExFreePool(text);
    return id;
  }
};

TEST_F(EnumerationTest, AnAcmePrinterBecomesAPortAndAnLptenumChild) {
  host::Machine &machine = Boot();
  machine.Plug(PlanWith(kAcmeDeviceId));

  EXPECT_EQ(machine.View(0).deviceName, u"\\Device\\NorvUSB1");
  EXPECT_EQ(host::LookupDevice(u"\\DosDevices\\NorvUSB1"), Fdo(0));
  EXPECT_TRUE(LinkExists("NorvUSB1"));
  auto bridge = BridgeNode(0);
  ASSERT_TRUE(bridge);
  EXPECT_EQ(bridge->state, DeviceState::Started);
  ASSERT_EQ(bridge->children.size(), 1u);
  auto printer = PrinterNode(0);
  ASSERT_TRUE(printer);
  EXPECT_EQ(printer->state, DeviceState::Started);
  EXPECT_EQ(printer->deviceId, "LPTENUM\\ACMELX-10039C4");
  EXPECT_EQ(printer->hardwareIds, std::vector<std::string>{"ACMELX-10039C4"});
  EXPECT_TRUE(printer->compatibleIds.empty());
  EXPECT_EQ(printer->instanceId, "ACMELX-10039C4NorvUSB");
  // The child's capability record: what the PnP manager filled in and the
  // child does not own stays.
  EXPECT_EQ(printer->capabilities.Size, sizeof(DEVICE_CAPABILITIES));
  EXPECT_EQ(printer->capabilities.Version, 1);
  EXPECT_EQ(printer->capabilities.Address, 0xFFFFFFFFu);
  EXPECT_EQ(printer->capabilities.UINumber, 0xFFFFFFFFu);
  EXPECT_EQ(Extension(0)->ChildCount, 1u);
  EXPECT_EQ(Extension(0)->DeviceIdValid, 1);
}

// The identifier text as the whole machine produces it, key forms and cuts.
struct IdCase {
  const char *deviceId;
  const char *hardwareId;  // nullptr: the printer cannot be identified
};

class IdentifierTest : public EnumerationTest, public ::testing::WithParamInterface<IdCase> {};

TEST_P(IdentifierTest, TheChildIsNamedFromManufacturerAndModel) {
  auto printer = PlugPrinter(GetParam().deviceId);
  ASSERT_TRUE(printer);
  if (GetParam().hardwareId == nullptr) {
    // No identifiers: the manager shows a failed node with invalid data.
    EXPECT_EQ(printer->state, DeviceState::Failed);
    EXPECT_EQ(printer->problem, host::pnp::problem::kInvalidData);
    return;
  }
  EXPECT_EQ(printer->state, DeviceState::Started);
  EXPECT_EQ(printer->deviceId, std::string("LPTENUM\\") + GetParam().hardwareId);
  EXPECT_EQ(printer->hardwareIds, std::vector<std::string>{GetParam().hardwareId});
  EXPECT_EQ(printer->instanceId, std::string(GetParam().hardwareId) + "NorvUSB");
}

INSTANTIATE_TEST_SUITE_P(
    Keys, IdentifierTest,
    ::testing::Values(IdCase{"MANUFACTURER:ACME;MODEL:LX-100;", "ACMELX-10039C4"},
                      IdCase{"MFG:ACME;MODEL:LX-100;", "ACMELX-10039C4"},
                      IdCase{"CMD:PJL;MDL:LX-100;CLS:PRINTER;MANUFACTURER:ACME;", "ACMELX-10039C4"},
                      IdCase{"MFG:ACME;", "ACME4B11"},
                      IdCase{"CLS:PRINTER;MFG:ACME", "ACME4B11"},
                      // Cut to 20 characters; the check covers all 31. The
                      // manager turns the blank into an underscore.
                      IdCase{"MFG:ACME CORPORATION;MDL:LASER PRINTER 9;", "ACME_CORPORATIONLASEF906"},
                      IdCase{"mfg:ACME;mdl:LX-100;", nullptr},
                      IdCase{"MFG:;MANUFACTURER:ACME;MDL:LX-100;", nullptr},
                      IdCase{"MDL:LX-100;CLS:PRINTER;", nullptr}));

TEST_F(EnumerationTest, TheSecondBusRelationsQueryIsRefusedAndTheChildStays) {
  host::Machine &machine = Boot();
  machine.Plug(PlanWith(kAcmeDeviceId));
  const std::string bridge = BridgeNode(0)->instancePath;
  const std::string printer = PrinterNode(0)->instancePath;

  host::pnp::Reenumerate(bridge);
  machine.WaitIdle();

  auto queries = RelationQueries(bridge);
  ASSERT_EQ(queries.size(), 2u);
  EXPECT_EQ(queries[0], STATUS_SUCCESS);
  EXPECT_EQ(queries[1], STATUS_UNSUCCESSFUL);
  ASSERT_EQ(BridgeNode(0)->children, std::vector<std::string>{printer});
  EXPECT_EQ(host::pnp::FindDevice(printer)->state, DeviceState::Started);
  EXPECT_EQ(Extension(0)->ChildCount, 1u);
}

TEST_F(EnumerationTest, AFailingDeviceIdReadLeavesAStartedPortWithoutLinkOrChild) {
  host::Machine &machine = Boot();
  host::BridgePlan plan = PlanWith(kAcmeDeviceId);
  plan.bridge.vendorFaults[1] = host::hardware::VendorFault::Stall();
  machine.Plug(plan);

  auto bridge = BridgeNode(0);
  EXPECT_EQ(bridge->state, DeviceState::Started);
  EXPECT_TRUE(bridge->children.empty());
  EXPECT_FALSE(LinkExists("NorvUSB1"));
  EXPECT_EQ(Extension(0)->DeviceIdValid, 0);
  // No invalidation, so the only relation query is the one after the start,
  // and it is refused.
  EXPECT_EQ(RelationQueries(bridge->instancePath), std::vector<NTSTATUS>{STATUS_UNSUCCESSFUL});

  // The port still opens by its device name and prints.
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(u"\\Device\\NorvUSB1"), STATUS_SUCCESS);
  EXPECT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(port.Open(u"\\Device\\NorvUSB1"), STATUS_SUCCESS);
  const char text[] = "hello";
  EXPECT_EQ(port.Write(text, sizeof text).status, STATUS_SUCCESS);
}

TEST_F(EnumerationTest, StopThenStartWithAFailingIdReadKeepsTheChildButNoLink) {
  host::Machine &machine = Boot();
  machine.Plug(PlanWith(kAcmeDeviceId));
  const std::string bridge = BridgeNode(0)->instancePath;
  PDEVICE_OBJECT child = PrinterNode(0)->pdo;

  ASSERT_EQ(host::pnp::StopDevice(bridge), STATUS_SUCCESS);
  EXPECT_FALSE(LinkExists("NorvUSB1"));
  EXPECT_EQ(Extension(0)->DeviceIdBuffer, nullptr);
  // The child answers from its own copy of the text, not from the freed buffer.
  EXPECT_EQ(QueryChildId(child, BusQueryDeviceID), u"LPTENUM\\ACMELX-10039C4");

  machine.Bridge(0).SetVendorFault(1, host::hardware::VendorFault::Stall());
  host::pnp::ClearPnpRequestLog();
  ASSERT_EQ(host::pnp::StartDevice(bridge), STATUS_SUCCESS);
  machine.WaitIdle();

  EXPECT_FALSE(LinkExists("NorvUSB1"));
  EXPECT_EQ(Extension(0)->DeviceIdValid, 1);
  // The query after the start is refused, since the child exists.
  EXPECT_EQ(RelationQueries(bridge), std::vector<NTSTATUS>{STATUS_UNSUCCESSFUL});
  EXPECT_EQ(BridgeNode(0)->children.size(), 1u);
  EXPECT_EQ(QueryChildId(child, BusQueryHardwareIDs), u"ACMELX-10039C4");
}

TEST_F(EnumerationTest, ARestartWithAnotherPrinterKeepsTheFirstChildsIdentifiers) {
  host::Machine &machine = Boot();
  machine.Plug(PlanWith(kAcmeDeviceId));
  PDEVICE_OBJECT child = PrinterNode(0)->pdo;

  machine.Printer(0).SetDeviceId("MFG:OTHER;MDL:Z;");
  ASSERT_EQ(host::pnp::RestartDevice(BridgeNode(0)->instancePath), STATUS_SUCCESS);
  machine.WaitIdle();
  EXPECT_TRUE(LinkExists("NorvUSB1"));
  EXPECT_EQ(BridgeNode(0)->children.size(), 1u);
  EXPECT_EQ(QueryChildId(child, BusQueryInstanceID), u"ACMELX-10039C4NorvUSB");
}

// The device ID a bridge delivers may carry no terminating null at all: the
// text in DeviceIdBuffer still ends inside the buffer.
TEST_F(EnumerationTest, ADeviceIdWithoutTerminatingNullEndsInsideTheBuffer) {
  host::Machine &machine = Boot();
  std::string deviceId = "MFG:ACME;MDL:LX-100;DES:";
  deviceId += std::string(1500, 'x');
  host::BridgePlan plan = PlanWith(deviceId);
  plan.bridge.deviceIdFraming.padding = 'y';
  plan.bridge.deviceIdFraming.claimedLength = 0xFFFF;
  machine.Plug(plan);

  FdoExtension *extension = Extension(0);
  ASSERT_NE(extension->DeviceIdBuffer, nullptr);
  EXPECT_EQ(extension->DeviceIdBuffer[NORVUSB_DEVICE_ID_BUFFER_SIZE - 1], 0);
  EXPECT_EQ(strnlen(reinterpret_cast<char *>(extension->DeviceIdBuffer), NORVUSB_DEVICE_ID_BUFFER_SIZE),
            NORVUSB_DEVICE_ID_BUFFER_SIZE - 2u);
  auto printer = PrinterNode(0);
  ASSERT_TRUE(printer);
  EXPECT_EQ(printer->deviceId, "LPTENUM\\ACMELX-10039C4");
}

// Requests other than Plug and Play that reach the child never treat its
// extension as a bridge's.
TEST_F(EnumerationTest, TheChildAnswersPowerAndRefusesIo) {
  host::Machine &machine = Boot();
  machine.Plug(PlanWith(kAcmeDeviceId));
  auto printer = PrinterNode(0);
  ASSERT_EQ(support::RequestDevicePower(printer->pdo, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  ASSERT_EQ(support::RequestDevicePower(printer->pdo, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);

  SentIrp relations = Send(printer->pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS);
  ASSERT_TRUE(relations.Wait());
  EXPECT_EQ(relations.Status(), STATUS_NOT_SUPPORTED);  // as it arrived
  for (UCHAR major : {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE), UCHAR(IRP_MJ_DEVICE_CONTROL)}) {
    SentIrp io = Send(printer->pdo, major, 0);
    ASSERT_TRUE(io.Wait());
    EXPECT_FALSE(NT_SUCCESS(io.Status())) << int(major);
  }
}

}  // namespace
}  // namespace lifecycle
