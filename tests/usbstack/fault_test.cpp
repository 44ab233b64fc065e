// Fault injection by kind and by count, as a driver's error paths meet it.
#include "bus_fixture.h"
#include "host/usbstack/usb_ids.h"

namespace usbtest {
namespace {

using host::usb::Fault;
using host::usb::RequestKind;
using FaultTest = BusTest;

TEST_F(FaultTest, FailsTheNthRequestOfAKindOnly) {
  bus->Faults(port).Add(RequestKind::Descriptor, Fault::Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID), 2);
  uint8_t buffer[18];
  UrbBlock block;
  uint8_t reply[8];
  UrbBlock vendor;
  Vendor(vendor, reply, 8);
  EXPECT_EQ(Submit(vendor.urb()), STATUS_SUCCESS);  // another kind: not counted
  Descriptor(block, USB_DEVICE_DESCRIPTOR_TYPE, buffer, 18);
  EXPECT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  Descriptor(block, USB_DEVICE_DESCRIPTOR_TYPE, buffer, 18);
  EXPECT_EQ(Submit(block.urb()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);
  Descriptor(block, USB_DEVICE_DESCRIPTOR_TYPE, buffer, 18);
  EXPECT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(bus->Faults(port).Seen(RequestKind::Descriptor), 3u);
}

TEST_F(FaultTest, AHeldRequestWaitsOutATimeoutAndEndsByCancel) {
  bus->Faults(port).Add(RequestKind::Vendor, Fault::Hold());
  uint8_t reply[8];
  UrbBlock block;
  Vendor(block, reply, 8);
  auto pending = SubmitAsync(block.urb());
  ASSERT_EQ(pending->returned, STATUS_PENDING);
  EXPECT_EQ(pending->WaitFor(20000000), STATUS_TIMEOUT);  // the driver's 2 seconds
  IoCancelIrp(pending->irp);
  EXPECT_EQ(pending->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_TRUE(device->setups.empty());  // the device never saw it
}

TEST_F(FaultTest, ADelayedRequestCompletesAfterItsDelay) {
  bus->Faults(port).Add(RequestKind::Vendor, Fault::DelayBy(5000000));  // half a second
  uint8_t reply[8];
  UrbBlock block;
  Vendor(block, reply, 8);
  const int64_t start = host::clock::Now();
  EXPECT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_GE(host::clock::Now() - start, 5000000);
}

TEST_F(FaultTest, AnInjectedStallHaltsADataPipe) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  bus->Faults(port).Add(RequestKind::BulkOut, Fault::Stall());
  uint8_t data[8] = {};
  UrbBlock block;
  Bulk(block, out, 0, data, 8);
  EXPECT_EQ(Submit(block.urb()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);
  Bulk(block, out, 0, data, 8);
  EXPECT_EQ(Submit(block.urb()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
}

TEST_F(FaultTest, ADisconnectFaultUnplugsTheDevice) {
  bus->Faults(port).Add(RequestKind::Vendor, Fault::Disconnect());
  uint8_t reply[8];
  UrbBlock block;
  Vendor(block, reply, 8);
  EXPECT_EQ(Submit(block.urb()), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_FALSE(bus->Attached(port));
}

TEST_F(FaultTest, ARuleWithTimesZeroHitsEveryMatchFromTheNth) {
  bus->Faults(port).Add(RequestKind::Any, Fault::Failure(STATUS_IO_TIMEOUT, USBD_STATUS_DEV_NOT_RESPONDING), 2, 0);
  uint8_t reply[8];
  UrbBlock block;
  Vendor(block, reply, 8);
  EXPECT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  for (int i = 0; i < 3; ++i) {
    Vendor(block, reply, 8);
    EXPECT_EQ(Submit(block.urb()), STATUS_IO_TIMEOUT);
  }
}

TEST(UsbIds, IdentifiersComeFromTheDescriptors) {
  LoopbackDevice device;
  auto plain = host::usb::IdentifyDevice(device, 3);
  EXPECT_EQ(plain.deviceId, "USB\\VID_1234&PID_5678");
  EXPECT_EQ(plain.hardwareIds, (std::vector<std::string>{"USB\\VID_1234&PID_5678&REV_0100", "USB\\VID_1234&PID_5678"}));
  EXPECT_EQ(plain.compatibleIds.front(), "USB\\Class_07&SubClass_01&Prot_02");
  EXPECT_EQ(plain.instanceId, "3");
  EXPECT_FALSE(plain.uniqueId);

  device.serialIndex = 3;
  auto serial = host::usb::IdentifyDevice(device, 3);
  EXPECT_EQ(serial.instanceId, "SN_1");  // the comma is not allowed in an instance ID
  EXPECT_TRUE(serial.uniqueId);
}

}  // namespace
}  // namespace usbtest
