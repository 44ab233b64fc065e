// Configuration at start, the interface selection (at start and on request),
// the blocks they store and replace, and the descriptor copies.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

#include "host/hardware/descriptors.h"
#include "host/pnp/pnp_manager.h"
#include "tests/usb_access/usb_access_fixture.h"

namespace usbaccess {
namespace {

using host::usb::Fault;
using host::usb::RequestKind;
using Kind = WireEvent::Kind;

constexpr int64_t kSecond = 10'000'000;

// The platform's select block: the request up to its first interface entry,
// an entry header per interface of the configuration, a pipe record per
// endpoint of the interface selected.
constexpr size_t SelectBlockSize(size_t interfaces, size_t endpoints) {
  return offsetof(struct _URB_SELECT_CONFIGURATION, Interface) +
         interfaces * offsetof(USBD_INTERFACE_INFORMATION, Pipes) + endpoints * sizeof(USBD_PIPE_INFORMATION);
}
constexpr size_t InterfaceEntrySize(size_t endpoints) {
  return offsetof(USBD_INTERFACE_INFORMATION, Pipes) + endpoints * sizeof(USBD_PIPE_INFORMATION);
}
constexpr size_t kDescriptorBlock = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);

host::hardware::BridgeConfig WithConfiguration(host::hardware::ConfigurationDescriptorSet set) {
  host::hardware::BridgeConfig config;
  config.configuration = std::move(set);
  return config;
}

class ConfigureTest : public UsbAccessTest {
 protected:
  // The configuration reads of the driver's start: those made while its
  // descriptor request block was allocated.
  std::vector<WireEvent> DriverConfigurationReads() const {
    std::vector<WireEvent> reads;
    for (auto &event : spy_->Events(Kind::ConfigurationDescriptor))
      if (event.HasBlockOfSize(kDescriptorBlock)) reads.push_back(event);
    return reads;
  }
  std::vector<WireEvent> Selections() const {
    std::vector<WireEvent> selections;
    for (auto &event : spy_->Events(Kind::SetConfiguration))
      if (event.configurationValue != 0) selections.push_back(event);
    return selections;
  }
  const USBD_PIPE_INFORMATION &Pipe(ULONG index) const { return Extension().InterfaceInfo->Pipes[index]; }
  host::IoResult Select(host::DeviceHandle &port, uint8_t interface, uint8_t setting) {
    std::vector<uint8_t> none;
    return Control(port, IOCTL_BRIDGE_SELECT_INTERFACE, {interface, setting}, none);
  }
};

struct ReadSizes {
  const char *name;
  host::hardware::ConfigurationDescriptorSet set;
  size_t totalLength;
  size_t interfaces;
  // The driver describes one interface only; the USB stack reads one entry
  // per interface of the configuration, so it refuses the block of a
  // configuration of two. The start succeeds all the same, storing no selection.
  bool selected;
};

class ConfigurationReadTest : public ConfigureTest, public ::testing::WithParamInterface<ReadSizes> {};

// The first read takes the nine bytes of the configuration descriptor into a
// 25-byte buffer, the second wTotalLength + 16 bytes; the selection block has
// room for every interface of the configuration and the pipes of one.
TEST_P(ConfigurationReadTest, StartReadsInTwoStepsAndSelectsOneInterface) {
  const ReadSizes &sizes = GetParam();
  PlugSpied(WithConfiguration(sizes.set));
  ASSERT_EQ(host::hardware::SerializeConfiguration(sizes.set).size(), sizes.totalLength);

  const auto reads = DriverConfigurationReads();
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_TRUE(reads[0].HasBlockOfSize(25));
  EXPECT_FALSE(reads[0].HasBlockOfSize(sizes.totalLength + 16));
  EXPECT_TRUE(reads[1].HasBlockOfSize(sizes.totalLength + 16));
  EXPECT_FALSE(reads[1].HasBlockOfSize(25)) << "the first buffer outlived the first read";

  const auto selections = Selections();
  FdoExtension &extension = Extension();
  EXPECT_EQ(extension.Started, 1);
  EXPECT_EQ(BlockSizeAt(extension.DeviceDescriptor), 18u);
  if (!sizes.selected) {
    EXPECT_TRUE(selections.empty());  // refused before the device heard of it
    EXPECT_EQ(extension.ConfigurationDescriptor, nullptr);
    EXPECT_EQ(extension.InterfaceInfo, nullptr);
    EXPECT_EQ(extension.ConfigurationHandle, nullptr);
    return;
  }
  ASSERT_EQ(selections.size(), 1u);
  EXPECT_TRUE(selections[0].HasBlockOfSize(SelectBlockSize(sizes.interfaces, 2)));
  EXPECT_EQ(BlockSizeAt(extension.ConfigurationDescriptor), sizes.totalLength + 16);
  ASSERT_NE(extension.InterfaceInfo, nullptr);
  EXPECT_EQ(BlockSizeAt(extension.InterfaceInfo), InterfaceEntrySize(2));
  EXPECT_EQ(extension.InterfaceInfo->Length, InterfaceEntrySize(2));
  EXPECT_EQ(extension.InterfaceInfo->InterfaceNumber, 0);
  EXPECT_EQ(extension.InterfaceInfo->NumberOfPipes, 2u);
  EXPECT_NE(extension.ConfigurationHandle, nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ConfigurationReadTest,
    ::testing::Values(ReadSizes{"OneInterface", host::hardware::PrinterConfiguration(), 32, 1, true},
                      ReadSizes{"TwoInterfaces", host::hardware::TwoInterfaceConfiguration(), 55, 2, false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ConfigureTest, TheSelectedPipesCarryTheSettingsAndStartClosed) {
  host::MachineOptions options = InstantOptions();
  options.driverSettings = {{"MaxTransferSize", 8192}};
  PlugSpied(options, {});
  ASSERT_NE(Extension().InterfaceInfo, nullptr);
  EXPECT_EQ(Pipe(0).EndpointAddress, 0x01);  // the write pipe first
  EXPECT_EQ(Pipe(1).EndpointAddress, 0x82);
  for (ULONG index = 0; index < 2; ++index) {
    EXPECT_EQ(Pipe(index).MaximumTransferSize, 8192u);
    EXPECT_EQ(Pipe(index).MaximumPacketSize, 64);
    EXPECT_EQ(Pipe(index).PipeType, UsbdPipeTypeBulk);
    EXPECT_NE(Pipe(index).PipeHandle, nullptr);
    EXPECT_EQ(Pipe(index).PipeFlags, 0u) << "open mark of pipe " << index;
  }
}

// Refused by the request's status or by the URB's status alone: the start
// goes on, nothing is stored, and the descriptor set that was read is freed
// (the leak check at shutdown would find it).
TEST_F(ConfigureTest, ASelectionRefusedAtStartStoresNothingAndTheStartSucceeds) {
  for (NTSTATUS requestStatus : {STATUS_UNSUCCESSFUL, STATUS_SUCCESS}) {
    SCOPED_TRACE(requestStatus);
    PlugSpied();
    const size_t blocksBefore = DriverBlocks().size();
    Faults().Add(RequestKind::Select, Fault::Failure(requestStatus, USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR));
    ASSERT_EQ(host::pnp::RestartDevice(InstancePath()), STATUS_SUCCESS);
    // What a start before stored stays as it was; here it is the only set.
    FdoExtension &extension = Extension();
    EXPECT_EQ(DriverBlocks().size(), blocksBefore) << "the refused set was neither stored nor freed";
    EXPECT_NE(extension.DeviceDescriptor, nullptr);
    EXPECT_EQ(extension.DeviceIdValid, 1);
    ShutDown();
  }
}

// A first start without a selection: the settings name no interface of the
// device, or the stack refuses the pipes' transfer limit. The port still
// comes up; nothing is stored, so there is nothing to maintain or reselect.
TEST_F(ConfigureTest, AFirstStartWithoutSelectionLeavesNothingToMaintain) {
  const std::vector<std::pair<std::string, uint32_t>> settings[] = {
      {{"IFSetting", 1}},
      {{"MaxTransferSize", 0x400000}},  // above what the bus lets a pipe have
  };
  for (const auto &setting : settings) {
    SCOPED_TRACE(setting.front().first);
    host::MachineOptions options = InstantOptions();
    options.driverSettings = setting;
    PlugSpied(options, {});
    FdoExtension &extension = Extension();
    EXPECT_EQ(extension.DeviceIdValid, 1);
    EXPECT_NE(extension.DeviceDescriptor, nullptr);
    EXPECT_EQ(extension.ConfigurationDescriptor, nullptr);
    EXPECT_EQ(extension.ConfigurationHandle, nullptr);
    EXPECT_EQ(extension.InterfaceInfo, nullptr);

    host::DeviceHandle port = OpenPort();
    const uint64_t selects = Seen(RequestKind::Select), aborts = Seen(RequestKind::Abort),
                   resets = Seen(RequestKind::ResetPipe), clears = Seen(RequestKind::Clear);
    std::vector<uint8_t> none;
    EXPECT_EQ(Control(port, IOCTL_BRIDGE_CLEAR_HALTS, {}, none).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(port, IOCTL_BRIDGE_ABORT_PIPES, {}, none).status, STATUS_SUCCESS);
    EXPECT_EQ(Control(port, IOCTL_BRIDGE_RESET_PIPE, {}, none).status, STATUS_SUCCESS);
    EXPECT_EQ(Select(port, 0, 0).status, STATUS_SUCCESS);
    USBD_PIPE_INFORMATION pipe{};
    pipe.PipeFlags = 1;
    EXPECT_EQ(AbortPipes(Bridge(), &pipe), STATUS_SUCCESS);
    EXPECT_EQ(ClearHalts(Bridge(), &pipe), STATUS_SUCCESS);
    EXPECT_EQ(Seen(RequestKind::Select), selects);
    EXPECT_EQ(Seen(RequestKind::Abort), aborts);
    EXPECT_EQ(Seen(RequestKind::ResetPipe), resets);
    EXPECT_EQ(Seen(RequestKind::Clear), clears);
    EXPECT_EQ(extension.InterfaceInfo, nullptr);

    uint8_t buffer[64];
    ULONG out = 77;
    EXPECT_EQ(GetDescriptor(Bridge(), 1, buffer, sizeof buffer, &out), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(out, 0u);
    EXPECT_EQ(GetDescriptor(Bridge(), 0, buffer, sizeof buffer, &out), STATUS_SUCCESS);
    port.Close();
    ShutDown();
  }
}

TEST_F(ConfigureTest, AFailedDescriptorReadFailsTheStartAndStopsTheReads) {
  for (uint64_t failing : {1u, 2u, 3u}) {
    SCOPED_TRACE("failing read " + std::to_string(failing));
    PlugSpied();
    const uint64_t before = Seen(RequestKind::Descriptor);
    Faults().Add(RequestKind::Descriptor, Fault::Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID), failing);
    EXPECT_FALSE(NT_SUCCESS(host::pnp::RestartDevice(InstancePath())));
    EXPECT_EQ(Seen(RequestKind::Descriptor) - before, failing);
    auto node = host::pnp::FindDevice(InstancePath());
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->problem, host::pnp::problem::kFailedStart);
    ShutDown();
  }
}

// A restart reads and selects anew; the blocks it replaces are freed.
TEST_F(ConfigureTest, ARestartReplacesTheStoredBlocksWithoutLeaking) {
  PlugSpied();
  const size_t blocksBefore = DriverBlocks().size();
  FdoExtension &extension = Extension();
  const auto firstHandle = extension.ConfigurationHandle;
  for (int restart = 0; restart < 3; ++restart) {
    ASSERT_EQ(host::pnp::RestartDevice(InstancePath()), STATUS_SUCCESS);
    EXPECT_EQ(DriverBlocks().size(), blocksBefore) << "after restart " << restart + 1;
  }
  EXPECT_NE(extension.ConfigurationHandle, firstHandle);
  EXPECT_EQ(BlockSizeAt(extension.ConfigurationDescriptor), 48u);
  EXPECT_EQ(BlockSizeAt(extension.InterfaceInfo), InterfaceEntrySize(2));
  host::DeviceHandle port = OpenPort();
  const uint8_t data[3] = {1, 2, 3};
  EXPECT_EQ(port.Write(data, 3).status, STATUS_SUCCESS) << "the new pipe handles work";
}

TEST_F(ConfigureTest, ASelectRequestReplacesThePipesAndClearsTheirMarks) {
  PlugSpied(WithConfiguration(host::hardware::AlternateSettingConfiguration()));
  host::DeviceHandle port = OpenPort();
  FdoExtension &extension = Extension();
  ASSERT_EQ(Pipe(0).PipeFlags, 1u);
  const auto set = host::hardware::SerializeConfiguration(bridge_->config().configuration);
  const size_t blocksBefore = DriverBlocks().size();

  EXPECT_EQ(Select(port, 0, 1).status, STATUS_SUCCESS);
  EXPECT_EQ(bridge_->AlternateSetting(0), 1);
  ASSERT_NE(extension.InterfaceInfo, nullptr);
  EXPECT_EQ(extension.InterfaceInfo->AlternateSetting, 1);
  EXPECT_EQ(Pipe(0).EndpointAddress, 0x03);
  EXPECT_EQ(Pipe(1).EndpointAddress, 0x84);
  EXPECT_EQ(Pipe(1).MaximumPacketSize, 32);
  EXPECT_EQ(Pipe(0).PipeFlags, 0u);
  EXPECT_EQ(Pipe(1).PipeFlags, 0u);
  EXPECT_EQ(DriverBlocks().size(), blocksBefore) << "the replaced blocks were not freed";
  EXPECT_EQ(std::memcmp(extension.ConfigurationDescriptor, set.data(), set.size()), 0);

  // With every mark clear, pipe maintenance sends nothing.
  const uint64_t clearsBefore = Seen(RequestKind::Clear);
  std::vector<uint8_t> none;
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_CLEAR_HALTS, {}, none).status, STATUS_SUCCESS);
  EXPECT_EQ(Seen(RequestKind::Clear), clearsBefore);

  // Until the port is opened again: then the new pipes carry the data.
  port.Close();
  port = OpenPort();
  const uint8_t data[5] = {5, 4, 3, 2, 1};
  EXPECT_EQ(port.Write(data, 5).status, STATUS_SUCCESS);
  ASSERT_TRUE(printer_->WaitForReceived(5, std::chrono::seconds(5)));
}

TEST_F(ConfigureTest, ASelectionWithNothingToSelectSendsAndStoresNothing) {
  PlugSpied(WithConfiguration(host::hardware::AlternateSettingConfiguration()));
  host::DeviceHandle port = OpenPort();
  FdoExtension &extension = Extension();
  const auto info = extension.InterfaceInfo;
  const auto handle = extension.ConfigurationHandle;
  const uint64_t selectsBefore = Seen(RequestKind::Select);
  const size_t blocksBefore = DriverBlocks().size();

  EXPECT_EQ(Select(port, 0, 7).status, STATUS_SUCCESS);  // the request itself is accepted
  EXPECT_EQ(Select(port, 3, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(SelectInterface(Bridge(), extension.ConfigurationDescriptor, 3, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SelectInterface(Bridge(), nullptr, 0, 0), STATUS_INVALID_PARAMETER);

  EXPECT_EQ(Seen(RequestKind::Select), selectsBefore);
  EXPECT_EQ(extension.InterfaceInfo, info);
  EXPECT_EQ(extension.ConfigurationHandle, handle);
  EXPECT_EQ(Pipe(0).PipeFlags, 1u) << "a selection that did not happen closed the pipes";
  EXPECT_EQ(DriverBlocks().size(), blocksBefore);
}

// A selection while a read waits on the old pipes: the stack ends the read,
// whose completion must not touch the freed pipe array.
TEST_F(ConfigureTest, ASelectionWhileAReadWaitsEndsTheReadCleanly) {
  PlugSpied(WithConfiguration(host::hardware::AlternateSettingConfiguration()));
  host::DeviceHandle port = OpenPort();
  uint8_t buffer[64];
  auto read = port.StartRead(buffer, sizeof buffer);  // nothing to read: it waits
  ASSERT_FALSE(read->Wait(kSecond / 10));
  std::vector<uint8_t> none;
  EXPECT_EQ(Select(port, 0, 1).status, STATUS_SUCCESS);
  ASSERT_TRUE(read->Wait(10 * kSecond));
  EXPECT_FALSE(NT_SUCCESS(read->Result().status));
  EXPECT_EQ(Extension().CurrentTransfer, nullptr);
}

TEST_F(ConfigureTest, DescriptorCopiesGiveTheStoredBytes) {
  PlugSpied();
  host::DeviceHandle port = OpenPort();
  const auto device = host::hardware::SerializeDeviceDescriptor(bridge_->config().identity);
  const auto set = host::hardware::SerializeConfiguration(bridge_->config().configuration);
  struct Case {
    ULONG code;
    std::vector<uint8_t> expected;
  };
  const Case cases[] = {
      {IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, device},
      {IOCTL_BRIDGE_GET_CONFIGURATION_DESCRIPTOR, {set.begin(), set.begin() + 9}},  // not wTotalLength
      {IOCTL_BRIDGE_GET_INTERFACE_DESCRIPTOR, {set.begin() + 9, set.begin() + 18}},
      {IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS, {set.begin() + 18, set.begin() + 32}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    std::vector<uint8_t> out(256, 0xEE);
    host::IoResult result = Control(port, c.code, {}, out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.information, c.expected.size());
    EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + c.expected.size()), c.expected);
    // One byte short: nothing copied.
    std::vector<uint8_t> tight(c.expected.size() - 1, 0xEE);
    EXPECT_EQ(Control(port, c.code, {}, tight).information, 0u);
  }

  uint8_t buffer[18];
  ULONG out = 0;
  EXPECT_EQ(GetDescriptor(Bridge(), 0, buffer, 17, &out), STATUS_NO_MEMORY);
  EXPECT_EQ(out, 18u);
  EXPECT_EQ(GetDescriptor(Bridge(), 0, buffer, 18, &out), STATUS_SUCCESS);
  EXPECT_EQ(out, 18u);
  out = 77;
  EXPECT_EQ(GetDescriptor(Bridge(), 4, buffer, 18, &out), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(out, 0u);
}

// Kinds 2 and 3 follow the settings, not a later selection.
TEST_F(ConfigureTest, InterfaceDescriptorCopiesFollowTheSettingsNotTheSelection) {
  PlugSpied(WithConfiguration(host::hardware::AlternateSettingConfiguration()));
  host::DeviceHandle port = OpenPort();
  EXPECT_EQ(Select(port, 0, 1).status, STATUS_SUCCESS);
  std::vector<uint8_t> out(64);
  ASSERT_EQ(Control(port, IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS, {}, out).information, 14u);
  EXPECT_EQ(out[2], 0x01);
  EXPECT_EQ(out[9], 0x82);
  ASSERT_EQ(Control(port, IOCTL_BRIDGE_GET_INTERFACE_DESCRIPTOR, {}, out).information, 9u);
  EXPECT_EQ(out[3], 0);  // bAlternateSetting
}

// A device whose counts reach past what it sent: the copy never reads
// beyond what the driver stored.
TEST_F(ConfigureTest, DescriptorCopiesNeverReadPastWhatWasStored) {
  PlugSpied();
  auto lying = host::hardware::SerializeDeviceDescriptor(bridge_->config().identity);
  lying[0] = 0xFF;  // bLength
  spy_->OverrideDeviceDescriptor(lying);
  ASSERT_EQ(host::pnp::RestartDevice(InstancePath()), STATUS_SUCCESS);
  host::DeviceHandle port = OpenPort();
  std::vector<uint8_t> out(1024);
  EXPECT_LE(Control(port, IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, {}, out).information, 18u);
  ULONG count = 0;
  const NTSTATUS status = GetDescriptor(Bridge(), 0, out.data(), ULONG(out.size()), &count);
  EXPECT_TRUE(!NT_SUCCESS(status) || count <= 18) << std::hex << status << " " << count;
}

// wTotalLength claims more than the device has: the second read asks for
// the claim, never more than the default pipe takes in one read, and what is
// kept and used is what arrived.
struct Overstatement {
  uint16_t claim;
  size_t read;
};

class OverstatedTotalLengthTest : public ConfigureTest, public ::testing::WithParamInterface<Overstatement> {};

TEST_P(OverstatedTotalLengthTest, KeepsOnlyWhatArrived) {
  auto set = host::hardware::PrinterConfiguration();
  set.claimedTotalLength = GetParam().claim;
  PlugSpied(WithConfiguration(set));
  const auto reads = DriverConfigurationReads();
  ASSERT_EQ(reads.size(), 2u);
  EXPECT_TRUE(reads[1].HasBlockOfSize(GetParam().read));
  FdoExtension &extension = Extension();
  ASSERT_NE(extension.InterfaceInfo, nullptr) << "the selection failed on the overstated set";
  host::DeviceHandle port = OpenPort();
  std::vector<uint8_t> out(1024);
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS, {}, out).information, 14u);
  ASSERT_EQ(Control(port, IOCTL_BRIDGE_GET_CONFIGURATION_DESCRIPTOR, {}, out).information, 9u);
  // The stored set's own wTotalLength counts the bytes that arrived.
  EXPECT_EQ(size_t(out[2] | out[3] << 8), host::hardware::SerializeConfiguration(set).size());
}

INSTANTIATE_TEST_SUITE_P(Claims, OverstatedTotalLengthTest,
                         ::testing::Values(Overstatement{200, 216}, Overstatement{4080, 4096},
                                           Overstatement{4081, 4096}, Overstatement{0xFFFF, 4096}),
                         [](const auto &info) { return std::to_string(info.param.claim); });

// Unconfiguring reports only its own lack of pool, never the stack's refusal.
TEST_F(ConfigureTest, UnconfiguringReportsOnlyItsOwnLackOfPool) {
  PlugSpied();
  const uint64_t before = Seen(RequestKind::Select);
  Faults().Add(RequestKind::Select, Fault::Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID));
  EXPECT_EQ(UnconfigureDevice(Bridge()), STATUS_SUCCESS);
  EXPECT_EQ(Seen(RequestKind::Select) - before, 1u);
  host::lowres::FailNth(1);
  EXPECT_EQ(UnconfigureDevice(Bridge()), STATUS_NO_MEMORY);
  host::lowres::Clear();
  EXPECT_EQ(Seen(RequestKind::Select) - before, 1u);
  EXPECT_EQ(UnconfigureDevice(Bridge()), STATUS_SUCCESS);
  EXPECT_EQ(bridge_->Configuration(), 0);
}

}  // namespace
}  // namespace usbaccess
