// A capture read back by tshark, an independent USBPcap decoder.
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

#include "tests/support/command.h"
#include "bus_fixture.h"
#include "host/usbstack/usb_capture.h"

namespace usbtest {
namespace {

using support::RunCommand;
using support::Split;

using CaptureTest = BusTest;

uint64_t Number(const std::string &text) { return text.empty() ? ~0ull : std::stoull(text, nullptr, 0); }

TEST(CaptureEncoding, HeaderFollowsTheUsbPcapLayout) {
  const uint8_t payload[3] = {0xAA, 0xBB, 0xCC};
  host::usb::CaptureRecord record;
  record.irpId = 0x1122334455667788ull;
  record.usbdStatus = USBD_STATUS_STALL_PID;
  record.function = URB_FUNCTION_VENDOR_DEVICE;
  record.completion = true;
  record.bus = 1;
  record.device = 2;
  record.endpoint = 0x80;
  record.transfer = host::usb::CaptureTransfer::Control;
  record.stage = host::usb::ControlStage::Complete;
  record.data = payload;
  const auto bytes = host::usb::EncodeUsbPcap(record);
  ASSERT_EQ(bytes.size(), 28u + 3);
  EXPECT_EQ(bytes[0], 28);
  EXPECT_EQ(bytes[2], 0x88);   // irpId, little-endian
  EXPECT_EQ(bytes[13], 0xC0);  // status 0xC0000004
  EXPECT_EQ(bytes[14], 0x17);
  EXPECT_EQ(bytes[16], 1);     // info: completion
  EXPECT_EQ(bytes[21], 0x80);
  EXPECT_EQ(bytes[22], 2);     // control
  EXPECT_EQ(bytes[23], 3);     // dataLength
  EXPECT_EQ(bytes[27], 3);     // stage COMPLETE
  EXPECT_EQ(bytes[28], 0xAA);
}

TEST_F(CaptureTest, TsharkDecodesTheTraffic) {
  ASSERT_TRUE(support::HasTool("tshark")) << "tshark is missing: scripts/install-deps.sh installs it";
  const support::ScratchFile capture("usbstack_capture", ".pcap");
  const auto &file = capture.path();
  std::string error;
  ASSERT_TRUE(bus->StartCapture(file, &error)) << error;

  uint8_t deviceDescriptor[18];
  UrbBlock block;
  Descriptor(block, USB_DEVICE_DESCRIPTOR_TYPE, deviceDescriptor, 18);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  std::vector<uint8_t> configuration(48);
  Descriptor(block, USB_CONFIGURATION_DESCRIPTOR_TYPE, configuration.data(), 48);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  uint8_t reply[8];
  Vendor(block, reply, 8);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  uint8_t data[3] = {0x41, 0x42, 0x43};
  Bulk(block, out, 0, data, 3);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  uint8_t back[64];
  Bulk(block, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, back, 64);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  bus->StopCapture();

  const std::string output = RunCommand(
      "tshark -r " + file.string() +
      " -T fields -E separator=, -e frame.number -e usb.irp_id -e usb.irp_info.direction -e usb.function"
      " -e usb.transfer_type -e usb.endpoint_address -e usb.data_len -e usb.control_stage -e usb.setup.bRequest"
      " -e usb.setup.wValue -e usb.setup.wIndex -e usb.setup.wLength -e usb.capdata 2>/dev/null");

  std::vector<std::pair<std::string, bool>> records;  // irp, completion
  bool vendorSetup = false, bulkOut = false, bulkIn = false, deviceDescriptorRead = false;
  int lines = 0;
  for (const auto &line : Split(output, '\n')) {
    if (line.empty()) continue;
    const auto f = Split(line, ',');
    ASSERT_GE(f.size(), 13u) << "unexpected tshark line: " << line << "\nfull output:\n" << output;
    ++lines;
    const uint64_t function = Number(f[3]);
    const bool completion = Number(f[2]) == 1;
    records.emplace_back(f[1], completion);
    if (function == URB_FUNCTION_VENDOR_DEVICE && !completion) {
      vendorSetup = Number(f[8]) == 4 && Number(f[9]) == 1 && Number(f[10]) == 0x0104 && Number(f[11]) == 8 &&
                    Number(f[7]) == 0;
    }
    if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE && !completion) deviceDescriptorRead = true;
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && !completion && Number(f[5]) == kOutEndpoint)
      bulkOut = Number(f[6]) == 3;  // the OUT payload travels with the submission
    if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && completion && Number(f[5]) == kInEndpoint)
      bulkIn = Number(f[6]) == 3;  // the IN payload with the completion
  }
  EXPECT_EQ(lines, 12);  // six URBs, each submitted and completed
  // Every request was waited for, so each submission is followed by its own completion.
  for (size_t i = 0; i + 1 < records.size(); i += 2) {
    EXPECT_FALSE(records[i].second);
    EXPECT_TRUE(records[i + 1].second);
    EXPECT_EQ(records[i].first, records[i + 1].first);
  }
  EXPECT_TRUE(vendorSetup) << output;
  EXPECT_TRUE(deviceDescriptorRead) << output;
  EXPECT_TRUE(bulkOut) << output;
  EXPECT_TRUE(bulkIn) << output;
}

}  // namespace
}  // namespace usbtest
