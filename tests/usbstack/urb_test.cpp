// URB validation and configuration as a function driver sees them.
#include "bus_fixture.h"

namespace usbtest {
namespace {

using UrbTest = BusTest;

TEST_F(UrbTest, RefusesMalformedUrbsWithThePlatformsStatuses) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  uint8_t data[64] = {};
  UrbBlock block;

  block.urb()->UrbHeader.Length = sizeof(_URB_HEADER) + 64;
  block.urb()->UrbHeader.Function = 0x7777;
  EXPECT_EQ(Submit(block.urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

  Bulk(block, out, 0, data, sizeof data);
  block.urb()->UrbHeader.Length = sizeof(_URB_HEADER);
  EXPECT_EQ(Submit(block.urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  Bulk(block, out, 0, nullptr, 10);  // no buffer for 10 bytes
  EXPECT_EQ(Submit(block.urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  Bulk(block, reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(out) + 1), 0, data, sizeof data);  // forged
  EXPECT_EQ(Submit(block.urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

  Bulk(block, out, USBD_TRANSFER_DIRECTION_IN, data, sizeof data);  // IN on the OUT pipe
  EXPECT_EQ(Submit(block.urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  std::vector<uint8_t> big(4097);
  Bulk(block, out, 0, big.data(), 4097);  // above MaximumTransferSize
  EXPECT_EQ(Submit(block.urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  EXPECT_TRUE(device->received.empty());  // nothing refused reached the wire
}

TEST_F(UrbTest, SelectConfigurationFillsHandlesAndPipesFromTheDescriptors) {
  ASSERT_EQ(Configure(8192), STATUS_SUCCESS);
  auto &urb = select.urb()->UrbSelectConfiguration;
  EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_SUCCESS);
  EXPECT_NE(urb.ConfigurationHandle, nullptr);
  const auto &interface = urb.Interface;
  EXPECT_EQ(interface.Class, 7);
  EXPECT_EQ(interface.SubClass, 1);
  EXPECT_EQ(interface.Protocol, 2);
  EXPECT_NE(interface.InterfaceHandle, nullptr);
  EXPECT_EQ(interface.NumberOfPipes, 2u);
  EXPECT_EQ(interface.Pipes[0].EndpointAddress, kOutEndpoint);
  EXPECT_EQ(interface.Pipes[1].EndpointAddress, kInEndpoint);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(interface.Pipes[i].MaximumPacketSize, 64);
    EXPECT_EQ(interface.Pipes[i].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(interface.Pipes[i].MaximumTransferSize, 8192u);
  }
  EXPECT_NE(out, in);
  EXPECT_EQ(device->configuration, 1);
}

TEST_F(UrbTest, HandlesDieWithTheirConfiguration) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  const USBD_PIPE_HANDLE oldOut = out;
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  uint8_t data[8] = {};
  UrbBlock block;
  Bulk(block, oldOut, 0, data, sizeof data);
  EXPECT_EQ(Submit(block.urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

  // Unconfigure: no descriptor. Every handle goes, and the device hears SET_CONFIGURATION(0).
  UrbBlock unconfigure;
  unconfigure.urb()->UrbHeader.Length = sizeof(_URB_SELECT_CONFIGURATION);
  unconfigure.urb()->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  EXPECT_EQ(Submit(unconfigure.urb()), STATUS_SUCCESS);
  EXPECT_EQ(device->configuration, 0);
  Bulk(block, out, 0, data, sizeof data);
  EXPECT_EQ(Submit(block.urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
}

TEST_F(UrbTest, RefusedSelectionKeepsTheCurrentConfiguration) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  const USBD_PIPE_HANDLE working = out;
  EXPECT_EQ(Configure(0), STATUS_INVALID_PARAMETER);  // MaximumTransferSize 0
  EXPECT_EQ(select.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

  uint8_t data[8] = {1};
  UrbBlock block;
  Bulk(block, working, 0, data, sizeof data);
  EXPECT_EQ(Submit(block.urb()), STATUS_SUCCESS);
}

TEST_F(UrbTest, DescriptorReadsComeFromTheDeviceAndStopAtTheBuffer) {
  uint8_t buffer[25] = {};
  UrbBlock block;
  Descriptor(block, USB_CONFIGURATION_DESCRIPTOR_TYPE, buffer, 9);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(block.urb()->UrbControlDescriptorRequest.TransferBufferLength, 9u);
  EXPECT_EQ(buffer[2], 32);      // wTotalLength
  EXPECT_EQ(buffer[9], 0);       // nothing past the 9 asked for

  std::vector<uint8_t> full(48);
  Descriptor(block, USB_CONFIGURATION_DESCRIPTOR_TYPE, full.data(), 48);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);  // short control read: no error
  EXPECT_EQ(block.urb()->UrbControlDescriptorRequest.TransferBufferLength, 32u);
  EXPECT_EQ(full[14], 7);  // interface class
}

// The device sends 3 bytes of 8. As on UHCI and OHCI, the short reply is an
// error without USBD_SHORT_TRANSFER_OK and a success with it.
TEST_F(UrbTest, VendorRequestFormsTheSetupPacketAndAcceptsAShortReplyOnlyWithTheFlag) {
  uint8_t reply[8] = {};
  UrbBlock block;
  Vendor(block, reply, sizeof reply, USBD_TRANSFER_DIRECTION_IN);
  EXPECT_FALSE(NT_SUCCESS(Submit(block.urb())));
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
  Vendor(block, reply, sizeof reply);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(block.urb()->UrbControlVendorClassRequest.TransferBufferLength, 3u);
  EXPECT_EQ(reply[2], 3);
  ASSERT_EQ(device->setups.size(), 2u);
  const auto setup = device->setups.back();
  EXPECT_EQ(setup.bmRequestType, 0xC0);
  EXPECT_EQ(setup.bRequest, 4);
  EXPECT_EQ(setup.wValue, 1);
  EXPECT_EQ(setup.wIndex, 0x0104);
  EXPECT_EQ(setup.wLength, 8);
}

TEST_F(UrbTest, PortResetResetsTheDeviceAndKeepsTheConfiguration) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  EXPECT_EQ(ResetPort(), STATUS_SUCCESS);
  EXPECT_EQ(device->busResets, 1);
  EXPECT_EQ(device->configuration, 1);  // restored by the stack
  uint8_t data[4] = {9};
  UrbBlock block;
  Bulk(block, out, 0, data, sizeof data);
  EXPECT_EQ(Submit(block.urb()), STATUS_SUCCESS);
}

}  // namespace
}  // namespace usbtest
