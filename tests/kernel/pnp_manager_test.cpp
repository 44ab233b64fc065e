// The PnP manager against a toy bus and a toy function driver: enumeration,
// identifiers, instance paths, removal by relations, handles, the stop and
// remove sequences, and the registry keys. The fixture's shutdown checks that
// every relation reference, relation list and identifier buffer was released.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "host/kernel/registry.h"
#include "host/io/user_io.h"
#include "tests/kernel/pnp_toy_drivers.h"

using host::pnp::DeviceState;
namespace problem = host::pnp::problem;

namespace {

toy::ChildSpec Widget(std::u16string instance) {
  toy::ChildSpec wanted;
  wanted.instanceId = std::move(instance);
  return wanted;
}

toy::ChildSpec Other(std::u16string instance) {
  toy::ChildSpec wanted;
  wanted.deviceId = u"TOY\\OTHER";
  wanted.hardwareIds = {u"TOY\\OTHER_HW"};
  wanted.instanceId = std::move(instance);
  return wanted;
}

std::vector<std::pair<UCHAR, NTSTATUS>> RequestsTo(const std::string &path) {
  std::vector<std::pair<UCHAR, NTSTATUS>> requests;
  for (const auto &record : host::pnp::PnpRequestLog()) {
    if (record.instancePath == path) requests.emplace_back(record.minor, record.status);
  }
  return requests;
}

class PnpManagerTest : public PnpFixture {};

TEST_F(PnpManagerTest, EnumeratesChildrenLoadsTheDriverOnceAndStartsUndrivenDevicesRaw) {
  UseFunctionDriver();
  host::pnp::SetDriverDefault("toyfn", "MaxTransferSize", 4096);
  toy::Bus &bus = AddBus({Widget(u"1"), Widget(u"2"), Other(u"3")});

  auto &fn = toy::FunctionDriver();
  EXPECT_EQ(fn.driverEntryCalls, 1);
  EXPECT_EQ(fn.addDeviceCalls, 2);
  // The driver key carried its default before AddDevice read it.
  EXPECT_EQ(fn.maxTransferSizeSeen, (std::vector<uint32_t>{4096, 4096}));
  // A function device object is not a PDO: no registry key for it.
  EXPECT_EQ(fn.fdoKeyStatus, (std::vector<NTSTATUS>{STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_DEVICE_REQUEST}));
  EXPECT_NE(host::pnp::LoadedDriver("toyfn"), nullptr);

  auto busNode = host::pnp::FindDevice(BusPath(0));
  ASSERT_TRUE(busNode);
  EXPECT_EQ(busNode->children.size(), 3u);
  EXPECT_EQ(busNode->parent, host::pnp::kRootInstancePath);
  for (int i = 0; i < 2; ++i) {
    auto node = Node(*bus.children[i]);
    EXPECT_EQ(node.state, DeviceState::Started);
    EXPECT_EQ(node.service, "toyfn");
    EXPECT_NE(node.top, node.pdo);
    EXPECT_EQ(node.powerState, PowerDeviceD0);
    EXPECT_EQ(node.depth, 2);
  }
  auto raw = Node(*bus.children[2]);
  EXPECT_EQ(raw.state, DeviceState::Started);
  EXPECT_EQ(raw.problem, problem::kNone);
  EXPECT_EQ(raw.service, "");
  EXPECT_EQ(raw.top, raw.pdo);
  EXPECT_EQ(Received(bus, *bus.children[2], IRP_MN_START_DEVICE), 1);
}

TEST_F(PnpManagerTest, IdentifiersAreValidatedAndSpacesBecomeUnderscores) {
  toy::ChildSpec spaced = Widget(u"A B");
  spaced.deviceId = u"TOY\\WIDGET MK 2";
  spaced.hardwareIds = {u"TOY\\WIDGET MK 2", u"WIDGET"};
  toy::ChildSpec comma = Widget(u"2");
  comma.deviceId = u"TOY\\WID,GET";
  toy::ChildSpec noBus = Widget(u"3");
  noBus.deviceId = u"WIDGET";
  toy::ChildSpec slashInInstance = Widget(u"4\\5");
  toy::ChildSpec unterminated = Widget(u"6");
  unterminated.unterminatedDeviceId = true;
  toy::ChildSpec highChar = Widget(u"7");
  highChar.hardwareIds = {u"TOY\\W\u00e9"};
  toy::ChildSpec tooLong = Widget(u"8");
  tooLong.deviceId = u"TOY\\" + std::u16string(196, u'X');  // 200 characters: no room for the null
  toy::ChildSpec longest = Widget(u"9");
  longest.deviceId = u"TOY\\" + std::u16string(170, u'Y');
  longest.uniqueId = true;

  toy::Bus &bus = AddBus({spaced, comma, noBus, slashInInstance, unterminated, highChar, tooLong, longest});

  auto good = Node(*bus.children[0]);
  EXPECT_EQ(good.state, DeviceState::Started);
  EXPECT_EQ(good.deviceId, "TOY\\WIDGET_MK_2");
  EXPECT_EQ(good.instanceId, "A_B");
  EXPECT_EQ(good.hardwareIds, (std::vector<std::string>{"TOY\\WIDGET_MK_2", "WIDGET"}));
  EXPECT_EQ(good.instancePath.rfind("TOY\\WIDGET_MK_2\\", 0), 0u) << good.instancePath;
  EXPECT_EQ(good.instancePath.find(' '), std::string::npos);

  for (size_t i = 1; i <= 6; ++i) {
    auto bad = Node(*bus.children[i]);
    EXPECT_EQ(bad.state, DeviceState::Failed) << i;
    EXPECT_EQ(bad.problem, problem::kInvalidData) << i;
    EXPECT_EQ(Received(bus, *bus.children[i], IRP_MN_START_DEVICE), 0) << i;
  }
  EXPECT_EQ(Node(*bus.children[7]).state, DeviceState::Started);
}

TEST_F(PnpManagerTest, ChildrenWithoutUniqueIdGetTheirParentsPrefix) {
  toy::ChildSpec unique = Widget(u"SER1");
  unique.uniqueId = true;
  toy::Bus &first = AddBus({Widget(u"1"), unique});
  toy::Bus &second = AddBus({Widget(u"1"), unique});

  auto a = Node(*first.children[0]);
  auto b = Node(*second.children[0]);
  EXPECT_NE(a.instancePath, b.instancePath);
  for (const auto &node : {a, b}) {
    EXPECT_EQ(node.state, DeviceState::Started);
    EXPECT_EQ(node.instancePath.rfind("TOY\\WIDGET\\", 0), 0u);
    EXPECT_EQ(node.instancePath.substr(node.instancePath.size() - 2), "&1");
  }
  EXPECT_EQ(Node(*first.children[1]).instancePath, "TOY\\WIDGET\\SER1");
  // The same unique instance on another bus: the platform refuses the second.
  auto duplicate = Node(*second.children[1]);
  EXPECT_EQ(duplicate.state, DeviceState::Failed);
  EXPECT_EQ(duplicate.problem, problem::kDuplicateDevice);
}

TEST_F(PnpManagerTest, ChildGoneFromRelationsIsSurpriseRemovedThenRemoved) {
  UseFunctionDriver();
  toy::Bus &bus = AddBus({Widget(u"1"), Widget(u"2")});
  toy::Child &gone = *bus.children[0];
  bus.Unplug(gone);
  bus.Invalidate();
  host::pnp::WaitIdle();

  EXPECT_FALSE(HasNode(gone));
  EXPECT_TRUE(gone.deleted);
  std::vector<UCHAR> tail(gone.pnpMinors.end() - 2, gone.pnpMinors.end());
  EXPECT_EQ(tail, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
  EXPECT_EQ(Node(*bus.children[1]).state, DeviceState::Started);
  EXPECT_EQ(host::pnp::FindDevice(BusPath(0))->children.size(), 1u);
}

TEST_F(PnpManagerTest, SurpriseRemovedDeviceIsRemovedWhenTheLastHandleCloses) {
  UseFunctionDriver();
  toy::Bus &bus = AddBus({Widget(u"1")});
  toy::Child &child = *bus.children[0];
  host::DeviceHandle handle;
  ASSERT_EQ(handle.Open(toy::FdoName(0)), STATUS_SUCCESS);

  bus.Unplug(child);
  bus.Invalidate();
  host::pnp::WaitIdle();
  auto node = Node(child);
  EXPECT_EQ(node.state, DeviceState::SurpriseRemoved);
  EXPECT_EQ(node.problem, problem::kDeviceNotThere);
  EXPECT_EQ(Received(bus, child, IRP_MN_SURPRISE_REMOVAL), 1);
  EXPECT_EQ(Received(bus, child, IRP_MN_REMOVE_DEVICE), 0);

  handle.Close();
  host::pnp::WaitIdle();
  EXPECT_FALSE(HasNode(child));
  EXPECT_EQ(Received(bus, child, IRP_MN_REMOVE_DEVICE), 1);
  EXPECT_TRUE(child.deleted);
}

TEST_F(PnpManagerTest, FailedRelationsQueryLeavesTheChildrenAsTheyWere) {
  UseFunctionDriver();
  toy::Bus &bus = AddBus({Widget(u"1")});
  const int queries = bus.relationQueries;
  bus.failRelations = true;
  bus.Unplug(*bus.children[0]);
  host::pnp::Reenumerate(BusPath(0));
  host::pnp::WaitIdle();

  EXPECT_EQ(bus.relationQueries, queries + 1);
  EXPECT_EQ(Node(*bus.children[0]).state, DeviceState::Started);
  EXPECT_EQ(Received(bus, *bus.children[0], IRP_MN_SURPRISE_REMOVAL), 0);
  bus.failRelations = false;
}

TEST_F(PnpManagerTest, RefusedQueryStopIsCancelledAndStopStartWorks) {
  UseFunctionDriver();
  toy::Bus &bus = AddBus({Widget(u"1")});
  const std::string path = Node(*bus.children[0]).instancePath;
  host::pnp::ClearPnpRequestLog();

  toy::FunctionDriver().vetoQueryStop = true;
  EXPECT_EQ(host::pnp::StopDevice(path), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(RequestsTo(path), (std::vector<std::pair<UCHAR, NTSTATUS>>{{IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL},
                                                                        {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS}}));
  EXPECT_EQ(Node(*bus.children[0]).state, DeviceState::Started);

  toy::FunctionDriver().vetoQueryStop = false;
  EXPECT_EQ(host::pnp::StopDevice(path), STATUS_SUCCESS);
  EXPECT_EQ(Node(*bus.children[0]).state, DeviceState::Stopped);
  EXPECT_EQ(host::pnp::StopDevice(path), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(host::pnp::StartDevice(path), STATUS_SUCCESS);
  EXPECT_EQ(Node(*bus.children[0]).state, DeviceState::Started);
  EXPECT_EQ(host::pnp::RestartDevice(path), STATUS_SUCCESS);
  EXPECT_EQ(Received(bus, *bus.children[0], IRP_MN_START_DEVICE), 3);
  EXPECT_EQ(host::pnp::StopDevice("TOY\\NOTHING\\0"), STATUS_NO_SUCH_DEVICE);
}

TEST_F(PnpManagerTest, RefusedQueryRemoveIsCancelledAndOrderlyRemoveCanBeUndone) {
  UseFunctionDriver();
  toy::Bus &bus = AddBus({Widget(u"1")});
  toy::Child &child = *bus.children[0];
  const std::string path = Node(child).instancePath;

  toy::FunctionDriver().vetoQueryRemove = true;
  EXPECT_EQ(host::pnp::RemoveDevice(path), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Received(bus, child, IRP_MN_CANCEL_REMOVE_DEVICE), 1);
  EXPECT_EQ(Node(child).state, DeviceState::Started);

  toy::FunctionDriver().vetoQueryRemove = false;
  EXPECT_EQ(host::pnp::RemoveDevice(path), STATUS_SUCCESS);
  auto removed = Node(child);
  EXPECT_EQ(removed.state, DeviceState::Removed);
  EXPECT_EQ(removed.top, removed.pdo);  // the function driver detached and deleted its device
  EXPECT_EQ(Received(bus, child, IRP_MN_REMOVE_DEVICE), 1);

  // Still reported by the bus: the next enumeration brings it back.
  host::pnp::Reenumerate(BusPath(0));
  host::pnp::WaitIdle();
  EXPECT_EQ(Node(child).state, DeviceState::Started);
  EXPECT_EQ(toy::FunctionDriver().addDeviceCalls, 2);
  EXPECT_EQ(toy::FunctionDriver().driverEntryCalls, 1);
}

TEST_F(PnpManagerTest, DisableAndEnable) {
  UseFunctionDriver();
  toy::Bus &bus = AddBus({Widget(u"1")});
  const std::string path = Node(*bus.children[0]).instancePath;

  EXPECT_EQ(host::pnp::DisableDevice(path), STATUS_SUCCESS);
  auto disabled = Node(*bus.children[0]);
  EXPECT_EQ(disabled.state, DeviceState::Disabled);
  EXPECT_EQ(disabled.problem, problem::kDisabled);
  host::pnp::Reenumerate(BusPath(0));
  host::pnp::WaitIdle();
  EXPECT_EQ(Node(*bus.children[0]).state, DeviceState::Disabled);

  EXPECT_EQ(host::pnp::EnableDevice(path), STATUS_SUCCESS);
  auto enabled = Node(*bus.children[0]);
  EXPECT_EQ(enabled.state, DeviceState::Started);
  EXPECT_EQ(enabled.problem, problem::kNone);
}

TEST_F(PnpManagerTest, FailedStartShowsItsProblemAndTearsTheStackDown) {
  UseFunctionDriver();
  toy::ChildSpec broken = Widget(u"1");
  broken.startStatus = STATUS_DEVICE_DATA_ERROR;
  toy::Bus &bus = AddBus({broken});
  auto node = Node(*bus.children[0]);
  EXPECT_EQ(node.state, DeviceState::Failed);
  EXPECT_EQ(node.problem, problem::kFailedStart);
  EXPECT_EQ(node.problemStatus, STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(node.top, node.pdo);
  EXPECT_EQ(Received(bus, *bus.children[0], IRP_MN_REMOVE_DEVICE), 1);
}

TEST_F(PnpManagerTest, RegistryKeysBelongToKnownPdosOnly) {
  toy::Bus &bus = AddBus({Other(u"1")});
  HANDLE key = nullptr;
  ASSERT_EQ(IoOpenDeviceRegistryKey(bus.children[0]->pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
  auto path = host::registry::KeyPathOfHandle(key);
  ASSERT_TRUE(path);
  EXPECT_TRUE(host::pnp::ids::EqualIds(*path, host::pnp::DeviceKeyPath(Node(*bus.children[0]).instancePath)));
  ZwClose(key);
  // Started raw: no driver, so no driver key.
  EXPECT_EQ(IoOpenDeviceRegistryKey(bus.children[0]->pdo, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &key),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(key, nullptr);
  // A PDO its bus never reported.
  toy::Child &unreported = bus.Add(Other(u"2"));
  EXPECT_EQ(IoOpenDeviceRegistryKey(unreported.pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
            STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(IoOpenDeviceRegistryKey(bus.children[0]->pdo, 8, KEY_READ, &key), STATUS_INVALID_PARAMETER);
}

}  // namespace

namespace {

// ------------------------------------------------------------------ removal with a handle open, per generation

// Only the sequences the platform's Plug and Play manager of each generation
// sends: a handle open vetoes an orderly removal; an unplug is a surprise
// removal whose remove waits for the last close, except on the Windows 98
// generation, which knows no surprise removal and removes at once.
struct RemovalCase {
  const char *name;
  uint16_t wdmVersion;
  bool unplug;                    // the bus stops reporting it, else an orderly removal (vetoed)
  std::vector<UCHAR> whileOpen;   // the removal requests the device gets while the handle is open
  std::vector<UCHAR> onceClosed;  // and once it has closed
};

class RemovalSequenceTest : public PnpFixture, public ::testing::WithParamInterface<RemovalCase> {
 protected:
  RemovalSequenceTest() { kernelOptions_.wdmVersion = GetParam().wdmVersion; }
};

TEST_P(RemovalSequenceTest, AHandleOpenShapesTheRemoval) {
  const RemovalCase &c = GetParam();
  UseFunctionDriver();
  toy::Bus &bus = AddBus({Widget(u"1")});
  toy::Child &child = *bus.children[0];
  auto removals = [&] {
    std::lock_guard lock(bus.mutex);
    std::vector<UCHAR> seen;
    std::copy_if(child.pnpMinors.begin(), child.pnpMinors.end(), std::back_inserter(seen), [](UCHAR minor) {
      return minor == IRP_MN_QUERY_REMOVE_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE ||
             minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE;
    });
    return seen;
  };
  host::DeviceHandle handle;
  ASSERT_EQ(handle.Open(toy::FdoName(0)), STATUS_SUCCESS);
  if (c.unplug) {
    bus.Unplug(child);
    bus.Invalidate();
  } else {
    EXPECT_EQ(host::pnp::RemoveDevice(Node(child).instancePath), STATUS_PLUGPLAY_QUERY_VETOED);
    EXPECT_EQ(Node(child).state, DeviceState::Started);
  }
  host::pnp::WaitIdle();
  EXPECT_EQ(removals(), c.whileOpen);

  handle.Close();
  host::pnp::WaitIdle();
  std::vector<UCHAR> all = c.whileOpen;
  all.insert(all.end(), c.onceClosed.begin(), c.onceClosed.end());
  EXPECT_EQ(removals(), all);
}

constexpr uint16_t kWindows2000 = 0x0110, kWindows98 = 0x0100;
INSTANTIATE_TEST_SUITE_P(
    Generations, RemovalSequenceTest,
    ::testing::Values(
        RemovalCase{"OrderlyRemovalIsVetoed", kWindows2000, false,
                    {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, {}},
        RemovalCase{"OrderlyRemovalIsVetoedOnWindows98", kWindows98, false,
                    {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, {}},
        RemovalCase{"UnplugIsASurpriseRemovalAndTheRemoveWaitsForTheClose", kWindows2000, true,
                    {IRP_MN_SURPRISE_REMOVAL}, {IRP_MN_REMOVE_DEVICE}},
        RemovalCase{"UnplugOnWindows98IsARemoveAtOnce", kWindows98, true, {IRP_MN_REMOVE_DEVICE}, {}}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
