// The bridge's vendor command channel: what goes on the wire for each
// sub-command, what the caller gets back, and what is recorded.
#include <gtest/gtest.h>

#include <cstring>

#include "host/hardware/bridge_protocol.h"
#include "tests/usb_access/usb_access_fixture.h"

// Setup packets compare field by field (found by argument lookup).
namespace host::usb {
static bool operator==(const SetupPacket &a, const SetupPacket &b) {
  return a.bmRequestType == b.bmRequestType && a.bRequest == b.bRequest && a.wValue == b.wValue &&
         a.wIndex == b.wIndex && a.wLength == b.wLength;
}
[[maybe_unused]] static std::ostream &operator<<(std::ostream &out, const SetupPacket &s) {
  return out << std::hex << "{" << int(s.bmRequestType) << " " << int(s.bRequest) << " " << s.wValue << " "
             << s.wIndex << " " << s.wLength << "}";
}
}  // namespace host::usb

namespace usbaccess {
namespace {

using host::usb::Fault;
using host::usb::RequestKind;
using host::usb::SetupPacket;

SetupPacket VendorSetup(uint16_t subCommand, uint16_t index, uint16_t length) {
  return {0xC0, BRIDGE_VENDOR_REQUEST, subCommand, index, length};
}

class VendorTest : public UsbAccessTest {
 protected:
  // A request on whose behalf a command is sent directly.
  struct OwnIrp {
    IRP irp;
    OwnIrp() {
      std::memset(&irp, 0, sizeof irp);
      irp.IoStatus.Information = 0x5A5A;
    }
  };
};

TEST_F(VendorTest, StartSendsPortSetupDeviceIdAndInitialiseInOrder) {
  PlugSpied();
  EXPECT_EQ(spy_->VendorSetups(), (std::vector<SetupPacket>{VendorSetup(2, 0x0104, 8), VendorSetup(1, 0, 1024),
                                                            VendorSetup(3, 0, 8)}));
}

// Each device-control request's wire values, whatever argument bytes the
// caller adds where the sub-command takes none; every reply is 8 bytes.
TEST_F(VendorTest, DeviceControlRequestsCarryTheirWireValues) {
  PlugSpied();
  host::DeviceHandle port = OpenPort();
  struct Case {
    ULONG code;
    std::vector<uint8_t> input;
    SetupPacket expected;
  };
  const Case cases[] = {
      {IOCTL_BRIDGE_VENDOR_2, {0x04, 0x01}, VendorSetup(2, 0x0104, 8)},
      {IOCTL_BRIDGE_VENDOR_3, {0x33, 0x33}, VendorSetup(3, 0, 8)},
      {IOCTL_BRIDGE_VENDOR_5, {0x77, 0x66}, VendorSetup(5, 5, 8)},
      {IOCTL_BRIDGE_VENDOR_6, {0x12}, VendorSetup(6, 0, 8)},
      {IOCTL_BRIDGE_SET_TRANSFER_MODE, {0x01, 0xFF}, VendorSetup(4, 1, 8)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.code);
    spy_->Arm();
    std::vector<uint8_t> out(8, 0xEE);
    host::IoResult result = Control(port, c.code, c.input, out);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 8u);
    const auto events = spy_->Events(WireEvent::Kind::Control);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].setup, c.expected);
    // The driver's own reply buffer and request block were in place.
    EXPECT_TRUE(events[0].HasBlockOfSize(8));
    EXPECT_TRUE(events[0].HasBlockOfSize(sizeof(URB)));
  }
  std::vector<uint8_t> out(8);
  Control(port, IOCTL_BRIDGE_VENDOR_6, {}, out);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 0x00, 0x10, 0x0F, 0x17, 0x40, 6}));
  Control(port, IOCTL_BRIDGE_VENDOR_2, {0x04, 0x01}, out);
  EXPECT_EQ(host::hardware::DecodePortConfiguration(std::span<const uint8_t, 8>(out.data(), 8)).active, 0x0104);
}

TEST_F(VendorTest, TheTransferModeIsRecordedOnlyWhenTheCommandSucceeds) {
  PlugSpied();
  host::DeviceHandle port = OpenPort();
  FdoExtension &extension = Extension();
  std::vector<uint8_t> out(8);
  ASSERT_EQ(Control(port, IOCTL_BRIDGE_SET_TRANSFER_MODE, {1}, out).information, 8u);
  EXPECT_EQ(extension.TransferMode, 1);
  EXPECT_EQ(bridge_->TransferMode(), 1);

  // Refused by the device, failed by the stack, held past the limit.
  bridge_->SetVendorFault(BRIDGE_SUBCOMMAND_TRANSFER_MODE, host::hardware::VendorFault::Stall(1));
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_SET_TRANSFER_MODE, {0}, out).information, 0u);
  Faults().Add(RequestKind::Vendor, Fault::Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_SET_TRANSFER_MODE, {0}, out).information, 0u);
  Faults().Add(RequestKind::Vendor, Fault::Hold());
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_SET_TRANSFER_MODE, {0}, out).information, 0u);
  EXPECT_EQ(extension.TransferMode, 1);

  // Without a reply buffer the mode is still recorded and the request's
  // count is left alone.
  OwnIrp own;
  EXPECT_EQ(VendorCommand(Bridge(), &own.irp, BRIDGE_SUBCOMMAND_TRANSFER_MODE, 0x0100, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(extension.TransferMode, 0) << "the mode is the argument's low byte";
  EXPECT_EQ(own.irp.IoStatus.Information, 0x5A5Au);
  EXPECT_EQ(spy_->VendorSetups().back(), VendorSetup(4, 0, 8));
}

TEST_F(VendorTest, AShortReplyReachesTheCallerZeroFilled) {
  PlugSpied();
  host::DeviceHandle port = OpenPort();
  bridge_->SetVendorFault(BRIDGE_SUBCOMMAND_FIRMWARE_INFO, host::hardware::VendorFault::Reply(3, 1));
  std::vector<uint8_t> out(8, 0xEE);
  host::IoResult result = Control(port, IOCTL_BRIDGE_VENDOR_6, {}, out);
  EXPECT_EQ(result.information, 8u);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 0x00, 0, 0, 0, 0, 0}));
  // A device sending more than asked never writes past the reply.
  bridge_->SetVendorFault(BRIDGE_SUBCOMMAND_FIRMWARE_INFO, host::hardware::VendorFault::Reply(64, 1));
  std::vector<uint8_t> big(8, 0xEE);
  result = Control(port, IOCTL_BRIDGE_VENDOR_6, {}, big);
  EXPECT_TRUE(result.information == 8u || result.information == 0u);
}

TEST_F(VendorTest, TheDeviceIdCountComesFromThePrefixAndNeverExceedsTheBuffer) {
  const std::string id = "MFG:ACME;MDL:LX-100;CMD:PJL;CLS:PRINTER;";  // 40 bytes
  ASSERT_EQ(id.size(), 40u);
  host::hardware::PrinterOptions printer;
  printer.deviceId = id;
  PlugSpied({}, printer);
  host::DeviceHandle port = OpenPort();
  std::vector<uint8_t> out(1024, 0xEE);
  host::IoResult result = Control(port, IOCTL_BRIDGE_GET_DEVICE_ID, {}, out);
  EXPECT_EQ(result.information, 42u);  // 0x00 0x2A
  EXPECT_EQ(std::string(out.begin(), out.begin() + 40), id);
  // The two counted bytes beyond the text are the zero fill, not stale bytes.
  EXPECT_EQ(out[40], 0);
  EXPECT_EQ(out[41], 0);
  EXPECT_EQ(spy_->VendorSetups().back(), VendorSetup(1, 0, 1024));

  // A prefix that claims more than fits: the caller never gets more than it gave.
  port.Close();
  for (uint16_t claimed : {uint16_t(0xFFFF), uint16_t(1000)}) {
    ShutDown();
    host::hardware::BridgeConfig lying;
    lying.deviceIdFraming.claimedLength = claimed;
    PlugSpied(lying, printer);
    port = OpenPort();
    std::vector<uint8_t> small(64, 0xEE);
    EXPECT_LE(Control(port, IOCTL_BRIDGE_GET_DEVICE_ID, {}, small).information, small.size());
    port.Close();
  }
}

TEST_F(VendorTest, ADeviceIdReadWithNoRoomOrThatFailsChangesNothing) {
  PlugSpied();
  host::DeviceHandle port = OpenPort();
  const uint64_t before = Seen(RequestKind::Vendor);
  OwnIrp own;
  uint8_t buffer[16];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_FALSE(NT_SUCCESS(ReadDeviceId(Bridge(), &own.irp, buffer, 1)));
  EXPECT_FALSE(NT_SUCCESS(ReadDeviceId(Bridge(), &own.irp, buffer, 0)));
  std::vector<uint8_t> one(1, 0xEE);
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_GET_DEVICE_ID, {}, one).information, 0u);
  EXPECT_EQ(Seen(RequestKind::Vendor), before) << "a request without room for the prefix was sent";

  bridge_->SetVendorFault(BRIDGE_SUBCOMMAND_DEVICE_ID, host::hardware::VendorFault::Stall(1));
  EXPECT_FALSE(NT_SUCCESS(ReadDeviceId(Bridge(), &own.irp, buffer, sizeof buffer)));
  EXPECT_EQ(own.irp.IoStatus.Information, 0x5A5Au);
  EXPECT_TRUE(std::all_of(buffer, buffer + sizeof buffer, [](uint8_t b) { return b == 0xEE; }));
}

// Each allocation of a command in turn: nothing sent, nothing changed,
// nothing left allocated.
TEST_F(VendorTest, NoPoolSendsNothingAndChangesNothing) {
  PlugSpied();
  FdoExtension &extension = Extension();
  const size_t blocksBefore = DriverBlocks().size();
  const uint64_t before = Seen(RequestKind::Vendor);
  for (uint64_t k = 1; k <= 2; ++k) {
    SCOPED_TRACE(k);
    OwnIrp own;
    uint8_t reply[8];
    std::memset(reply, 0xEE, sizeof reply);
    host::lowres::FailNth(k);
    EXPECT_EQ(VendorCommand(Bridge(), &own.irp, BRIDGE_SUBCOMMAND_TRANSFER_MODE, 1, reply), STATUS_NO_MEMORY);
    host::lowres::FailNth(k);
    EXPECT_EQ(ReadDeviceId(Bridge(), &own.irp, reply, sizeof reply), STATUS_NO_MEMORY);
    host::lowres::Clear();
    EXPECT_EQ(extension.TransferMode, 0);
    EXPECT_EQ(own.irp.IoStatus.Information, 0x5A5Au);
    EXPECT_TRUE(std::all_of(reply, reply + 8, [](uint8_t b) { return b == 0xEE; }));
  }
  EXPECT_EQ(Seen(RequestKind::Vendor), before);
  EXPECT_EQ(DriverBlocks().size(), blocksBefore);
}

}  // namespace
}  // namespace usbaccess
