// The private device-control interface: refusals, descriptors, vendor
// commands, pipe maintenance and the reset sequence, with the buffered
// copy-back bounded by the caller's output length.
#include <thread>

#include "host/kernel/scheduler.h"
#include "tests/user_io/user_io_fixture.h"

namespace userio {
namespace {

using host::usb::RequestKind;

class DeviceControlTest : public UserIoTest {
 protected:
  host::DeviceHandle &OpenPort(size_t bridges = 1, host::BridgePlan plan = {}) {
    BootWith(bridges, plan);
    EXPECT_EQ(port_.Open(DosName(0)), STATUS_SUCCESS);
    return port_;
  }

  void ExpectRefused(ULONG code, std::vector<uint8_t> input, ULONG outputLength) {
    const uint64_t traffic = Seen(0, RequestKind::Any);
    std::vector<uint8_t> out;
    host::IoResult result = Control(port_, code, input, outputLength, &out);
    EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER) << std::hex << code << std::dec << " in " << input.size()
                                                       << " out " << outputLength;
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(out, std::vector<uint8_t>(outputLength, 0xEE));
    EXPECT_EQ(Seen(0, RequestKind::Any), traffic) << std::hex << code;
  }

  void TearDown() override {
    port_.Close();  // before the machine goes
    UserIoTest::TearDown();
  }

  host::DeviceHandle port_;
};

TEST_F(DeviceControlTest, UnknownCodesAndTooShortBuffersAreRefusedWithoutUsbWork) {
  OpenPort();
  for (ULONG code : {0x222028u, 0x222005u, 0x222070u, 0x222050u, 0x222000u, 0x22E004u, 0u}) ExpectRefused(code, {}, 8);
  ExpectRefused(IOCTL_BRIDGE_SELECT_INTERFACE, {}, 0);
  ExpectRefused(IOCTL_BRIDGE_SELECT_INTERFACE, {0}, 8);
  ExpectRefused(IOCTL_BRIDGE_VENDOR_2, {}, 8);
  ExpectRefused(IOCTL_BRIDGE_VENDOR_2, {4}, 8);
  ExpectRefused(IOCTL_BRIDGE_VENDOR_2, {4, 1}, 2);
  ExpectRefused(IOCTL_BRIDGE_VENDOR_2, {4, 1}, 7);
  for (ULONG code : {IOCTL_BRIDGE_VENDOR_3, IOCTL_BRIDGE_VENDOR_5, IOCTL_BRIDGE_VENDOR_6}) {
    ExpectRefused(code, {}, 0);
    ExpectRefused(code, {}, 4);
    ExpectRefused(code, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 7);  // a long input does not make up for it
  }
  ExpectRefused(IOCTL_BRIDGE_SET_TRANSFER_MODE, {}, 8);
  ExpectRefused(IOCTL_BRIDGE_SET_TRANSFER_MODE, {1}, 7);
  ExpectRefused(IOCTL_BRIDGE_GET_DEVICE_ID, {}, 0);
  ExpectRefused(IOCTL_BRIDGE_GET_DEVICE_ID, {}, 1);
  ExpectRefused(IOCTL_BRIDGE_GET_DEVICE_ID, {1, 2, 3, 4}, 1);
  EXPECT_EQ(Fdo(0)->TransferMode, 0);
}

TEST_F(DeviceControlTest, DescriptorRequestsHandBackWhatFitsAndNeverMoreThanTheOutputLength) {
  OpenPort();
  const std::vector<uint8_t> device = machine_->Bridge(0).DeviceDescriptor();
  const std::vector<uint8_t> configuration = machine_->Bridge(0).ConfigurationDescriptor();
  std::vector<uint8_t> out;
  host::IoResult result = Control(port_, IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, {}, 18, &out);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 18u);
  EXPECT_EQ(out, device);
  result = Control(port_, IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, {}, 17, &out);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(out, std::vector<uint8_t>(17, 0xEE));
  // The configuration descriptor's own 9 bytes, not the whole set; input is ignored.
  result = Control(port_, IOCTL_BRIDGE_GET_CONFIGURATION_DESCRIPTOR, {1, 2, 3}, 64, &out);
  EXPECT_EQ(result.information, 9u);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 9),
            std::vector<uint8_t>(configuration.begin(), configuration.begin() + 9));
  EXPECT_EQ(out[9], 0xEE);
  result = Control(port_, IOCTL_BRIDGE_GET_INTERFACE_DESCRIPTOR, {}, 64, &out);
  EXPECT_EQ(result.information, 9u);
  EXPECT_EQ(out[1], 4);  // an interface descriptor
  result = Control(port_, IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS, {}, 64, &out);
  EXPECT_EQ(result.information, 14u);
  EXPECT_EQ(out[1], 5);
  EXPECT_EQ(out[8], 5);

  // Every length: what comes back always fits (the I/O manager reports any
  // overstep as a verifier violation, which fails the test).
  for (ULONG code : {IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, IOCTL_BRIDGE_GET_CONFIGURATION_DESCRIPTOR,
                     IOCTL_BRIDGE_GET_INTERFACE_DESCRIPTOR, IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS,
                     IOCTL_BRIDGE_GET_DEVICE_ID, IOCTL_BRIDGE_VENDOR_6}) {
    for (ULONG length = 0; length <= 40; ++length) {
      result = Control(port_, code, {}, length, &out);
      EXPECT_LE(result.information, length) << std::hex << code << std::dec << " length " << length;
      for (size_t i = result.information; i < length; ++i) ASSERT_EQ(out[i], 0xEE) << std::hex << code;
    }
  }
}

TEST_F(DeviceControlTest, TheDeviceIdComesWithTheDevicesCountBoundedByTheBuffer) {
  host::BridgePlan plan;
  plan.printer.deviceId = "MFG:ACME;MDL:LX-100;";
  plan.bridge.deviceIdFraming.claimedLength = 2000;  // a length field that lies
  OpenPort(1, plan);
  std::vector<uint8_t> out;
  host::IoResult result = Control(port_, IOCTL_BRIDGE_GET_DEVICE_ID, {}, 1024, &out);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_LE(result.information, 1024u);
  EXPECT_EQ(std::string(out.begin(), out.begin() + 20), "MFG:ACME;MDL:LX-100;");
  result = Control(port_, IOCTL_BRIDGE_GET_DEVICE_ID, {}, 8, &out);
  EXPECT_LE(result.information, 8u);
}

TEST_F(DeviceControlTest, AnHonestDeviceIdReportsTheLengthField) {
  host::BridgePlan plan;
  plan.printer.deviceId = "MFG:ACME;MDL:LX-100;";
  OpenPort(1, plan);
  std::vector<uint8_t> out;
  host::IoResult result = Control(port_, IOCTL_BRIDGE_GET_DEVICE_ID, {}, 1024, &out);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_EQ(result.information, 22u);  // the field counts its own two bytes
  EXPECT_EQ(std::string(out.begin(), out.begin() + 20), "MFG:ACME;MDL:LX-100;");
}

TEST_F(DeviceControlTest, VendorRequestsCarryTheirArgumentsAndReportOnlyWhatSucceeded) {
  OpenPort();
  std::vector<uint8_t> out;
  host::IoResult result = Control(port_, IOCTL_BRIDGE_VENDOR_2, {0x02, 0x01}, 8, &out);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 8u);
  EXPECT_EQ(machine_->Bridge(0).PortConfiguration(), 0x0102);
  result = Control(port_, IOCTL_BRIDGE_VENDOR_6, {}, 8, &out);
  EXPECT_EQ(result.information, 8u);
  EXPECT_EQ(out[0], machine_->Bridge(0).config().firmwareMajor);
  EXPECT_EQ(out[1], machine_->Bridge(0).config().firmwareMinor);
  EXPECT_EQ(Control(port_, IOCTL_BRIDGE_VENDOR_3, {}, 8).information, 8u);
  EXPECT_EQ(Control(port_, IOCTL_BRIDGE_VENDOR_5, {}, 16).information, 8u);

  result = Control(port_, IOCTL_BRIDGE_SET_TRANSFER_MODE, {1}, 8, &out);
  EXPECT_EQ(result.information, 8u);
  EXPECT_EQ(Fdo(0)->TransferMode, 1);
  EXPECT_EQ(machine_->Bridge(0).TransferMode(), 1);

  // A device that does not answer: accepted, nothing handed back, mode kept.
  machine_->Bridge(0).SetVendorFault(BRIDGE_SUBCOMMAND_TRANSFER_MODE, host::hardware::VendorFault::NoAnswer(1));
  result = Control(port_, IOCTL_BRIDGE_SET_TRANSFER_MODE, {0}, 8, &out);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(out, std::vector<uint8_t>(8, 0xEE));
  EXPECT_EQ(Fdo(0)->TransferMode, 1);
  machine_->Bridge(0).SetVendorFault(BRIDGE_SUBCOMMAND_PORT_STATUS, host::hardware::VendorFault::Stall(1));
  result = Control(port_, IOCTL_BRIDGE_VENDOR_5, {}, 8, &out);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0u);
}

TEST_F(DeviceControlTest, PipeMaintenanceActsOnTheMarkedPipesAndClearHaltsReportsItsOutcome) {
  OpenPort();
  uint64_t traffic = Seen(0, RequestKind::Any);
  const int64_t before = host::clock::Now();
  EXPECT_EQ(Control(port_, IOCTL_BRIDGE_NOP, {}, 0).status, STATUS_SUCCESS);
  host::IoResult reset = Control(port_, IOCTL_BRIDGE_RESET_DEVICE, {}, 0);  // nothing in flight: nothing done
  EXPECT_EQ(reset.status, STATUS_SUCCESS);
  EXPECT_EQ(reset.information, 0u);
  EXPECT_LT(host::clock::Now() - before, kSecond / 2);
  EXPECT_EQ(Seen(0, RequestKind::Any), traffic);

  EXPECT_EQ(Control(port_, IOCTL_BRIDGE_RESET_PIPE, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Seen(0, RequestKind::ResetPipe), 1u);  // the write pipe only
  EXPECT_EQ(Control(port_, IOCTL_BRIDGE_ABORT_PIPES, {}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(Seen(0, RequestKind::Abort), 2u);
  machine_->Bridge(0).Halt(0x01);
  machine_->Bridge(0).Halt(0x82);
  EXPECT_EQ(Control(port_, IOCTL_BRIDGE_CLEAR_HALTS, {}, 0).status, STATUS_SUCCESS);
  EXPECT_FALSE(machine_->Bridge(0).Halted(0x01));
  EXPECT_FALSE(machine_->Bridge(0).Halted(0x82));
  // The status is that of the last pipe's request.
  Faults(0).Add(RequestKind::Clear, host::usb::Fault::Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID), 2);
  host::IoResult failed = Control(port_, IOCTL_BRIDGE_CLEAR_HALTS, {}, 0);
  EXPECT_TRUE(IsErrorSeverity(failed.status));
  EXPECT_EQ(failed.information, 0u);
  uint8_t data[8] = {};
  EXPECT_EQ(port_.Write(data, sizeof data).status, STATUS_SUCCESS);
}

TEST_F(DeviceControlTest, SelectingAnotherAlternateSettingMovesTheBridge) {
  host::BridgePlan plan;
  plan.bridge.configuration = host::hardware::AlternateSettingConfiguration();
  OpenPort(1, plan);
  EXPECT_EQ(Control(port_, IOCTL_BRIDGE_SELECT_INTERFACE, {0, 1}, 0).status, STATUS_SUCCESS);
  EXPECT_EQ(machine_->Bridge(0).AlternateSetting(0), 1);
  ASSERT_NE(Fdo(0)->InterfaceInfo, nullptr);
  EXPECT_EQ(Fdo(0)->InterfaceInfo->AlternateSetting, 1);
  EXPECT_EQ(Fdo(0)->InterfaceInfo->Pipes[0].EndpointAddress, 0x03);
  ASSERT_EQ(port_.Open(DosName(0)), STATUS_SUCCESS);
  std::vector<uint8_t> data = Pattern(1000, 11);
  EXPECT_EQ(port_.Write(data.data(), ULONG(data.size())).status, STATUS_SUCCESS);
  ASSERT_TRUE(machine_->Printer(0).WaitForReceived(1000, std::chrono::seconds(5)));
  EXPECT_EQ(machine_->Printer(0).Received(), data);
}

TEST_F(DeviceControlTest, AResetDuringAPendingReadCancelsItAndTakesAtLeastOneSecond) {
  OpenPort();
  std::vector<uint8_t> buffer(64, 0xEE);
  auto read = port_.StartRead(buffer.data(), ULONG(buffer.size()));
  ASSERT_FALSE(read->Done());
  ASSERT_NE(Fdo(0)->CurrentTransfer, nullptr);
  const int64_t before = host::clock::Now();
  host::IoResult reset = Control(port_, IOCTL_BRIDGE_RESET_DEVICE, {}, 0);
  EXPECT_GE(host::clock::Now() - before, kSecond);
  EXPECT_EQ(reset.status, STATUS_SUCCESS);
  EXPECT_EQ(reset.information, 0u);
  ASSERT_TRUE(read->Wait(5 * kSecond));
  EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
  EXPECT_EQ(read->Result().information, 0u);
  EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0xEE));
  EXPECT_EQ(Fdo(0)->CurrentTransfer, nullptr);
  EXPECT_EQ(Seen(0, RequestKind::Abort), 2u);
  EXPECT_EQ(Seen(0, RequestKind::ResetPipe), 2u);
  EXPECT_EQ(Seen(0, RequestKind::PortReset), 1u);
  EXPECT_EQ(Seen(0, RequestKind::Clear), 2u);
  // The port carries on.
  machine_->Printer(0).QueueBackChannel("after");
  host::IoResult again = port_.Read(buffer.data(), ULONG(buffer.size()));
  EXPECT_EQ(again.status, STATUS_SUCCESS);
  EXPECT_EQ(again.information, 5u);
}

TEST_F(DeviceControlTest, BeforeTheFirstStartDescriptorAndPipeRequestsSendNothing) {
  // The start's held descriptor read keeps the bridge added but not
  // configured for two model seconds, and this test takes no model time.
  host::Machine &machine = Boot();
  auto printer = std::make_shared<host::hardware::Printer>();
  // The start's first descriptor read is held from the moment the bridge is
  // on the bus.
  host::usb::Port port = machine.Bus().Attach(
      std::make_shared<host::hardware::Bridge>(printer),
      [](host::usb::FaultInjector &faults) { faults.Add(RequestKind::Descriptor, host::usb::Fault::Hold()); });
  host::usb::FaultInjector &faults = machine.Bus().Faults(port);
  ASSERT_TRUE(host::sched::PollUntil([&] { return faults.Seen(RequestKind::Descriptor) > 0; }, 10'000'000,
                                     "the held descriptor read"));

  PDEVICE_OBJECT bridge = host::LookupDevice(u"\\Device\\NorvUSB1");
  ASSERT_NE(bridge, nullptr);
  ASSERT_EQ(port_.Open(bridge), STATUS_SUCCESS);
  FdoExtension *fdo = BridgeExtension(bridge);
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(fdo->InterfaceInfo, nullptr);
  EXPECT_EQ(fdo->Opened, 1);
  for (ULONG code : {IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, IOCTL_BRIDGE_GET_CONFIGURATION_DESCRIPTOR,
                     IOCTL_BRIDGE_GET_INTERFACE_DESCRIPTOR, IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS, IOCTL_BRIDGE_RESET_PIPE,
                     IOCTL_BRIDGE_ABORT_PIPES, IOCTL_BRIDGE_CLEAR_HALTS, IOCTL_BRIDGE_RESET_DEVICE, IOCTL_BRIDGE_NOP}) {
    std::vector<uint8_t> out(64, 0xEE);
    host::IoResult result = port_.DeviceControl(code, nullptr, 0, out.data(), ULONG(out.size()));
    EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
    EXPECT_EQ(result.information, 0u) << std::hex << code;
    EXPECT_EQ(out, std::vector<uint8_t>(64, 0xEE));
  }
  uint8_t data[8] = {};
  EXPECT_EQ(port_.Write(data, sizeof data).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(faults.Seen(RequestKind::Any), faults.Seen(RequestKind::Descriptor));
  // The start fails when its descriptor read times out; the handle is left
  // with a removed bridge until it closes.
  host::pnp::WaitIdle();
  EXPECT_EQ(port_.Close(), STATUS_SUCCESS);
  machine.Bus().Detach(port);
  host::pnp::WaitIdle();
}

}  // namespace
}  // namespace userio
