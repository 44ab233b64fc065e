// The driver configuring the bridge and sending its vendor requests, as an
// independent reader (tshark) decodes the USB capture.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <unistd.h>

#include "tests/support/command.h"
#include "tests/usb_access/usb_access_fixture.h"

namespace usbaccess {
namespace {

using support::RunCommand;
using support::Split;

long Number(const std::string &text) { return text.empty() ? -1 : std::stol(text, nullptr, 0); }

// The setup stage of one control transfer as tshark shows it.
struct WireSetup {
  long requestType, request, value, index, length;
  bool operator==(const WireSetup &) const = default;
};
[[maybe_unused]] std::ostream &operator<<(std::ostream &out, const WireSetup &s) {
  return out << std::hex << "{0x" << s.requestType << " " << s.request << " 0x" << s.value << " 0x" << s.index
             << " " << std::dec << s.length << "}";
}

class CaptureTest : public UsbAccessTest {};

TEST_F(CaptureTest, TsharkShowsTheDescriptorReadsTheSelectionAndTheVendorRequests) {
  ASSERT_TRUE(support::HasTool("tshark")) << "tshark is missing: scripts/install-deps.sh installs it";
  const support::ScratchFile capture("usb_access", ".pcap");
  const auto &file = capture.path();
  host::MachineOptions options = InstantOptions();
  options.capture = file;
  PlugSpied(options, {});
  {
    host::DeviceHandle port = OpenPort();
    std::vector<uint8_t> out(8);
    Control(port, IOCTL_BRIDGE_VENDOR_5, {0x34, 0x12}, out);
    Control(port, IOCTL_BRIDGE_SET_TRANSFER_MODE, {1}, out);
    std::vector<uint8_t> none;
    Control(port, IOCTL_BRIDGE_CLEAR_HALTS, {}, none);
  }
  ShutDown();  // ends the capture

  // Setup stages only (info 0); descriptor reads, SET_CONFIGURATION and
  // CLEAR_FEATURE are dissected with their own field names.
  const std::string output = RunCommand(
      "tshark -r " + file.string() +
      " -Y 'usb.irp_info.direction == 0 && usb.transfer_type == 2' -T fields -E separator=, -e usb.bmRequestType"
      " -e usb.setup.bRequest -e usb.setup.wValue -e usb.setup.wIndex -e usb.setup.wLength -e usb.DescriptorIndex"
      " -e usb.bDescriptorType -e usb.bConfigurationValue -e usb.setup.wFeatureSelector -e usb.setup.wEndpoint"
      " -e usb.LanguageId 2>/dev/null");

  std::vector<WireSetup> setups;
  for (const auto &line : Split(output, '\n')) {
    if (line.empty()) continue;
    const auto f = Split(line, ',');
    ASSERT_GE(f.size(), 11u) << "unexpected tshark line: " << line << "\n" << output;
    WireSetup s{Number(f[0]), Number(f[1]), Number(f[2]), Number(f[3]), Number(f[4])};
    if (s.request == 6) s.value = Number(f[6]) << 8 | Number(f[5]), s.index = Number(f[10]);  // GET_DESCRIPTOR
    if (s.request == 9) s.value = Number(f[7]);                      // SET_CONFIGURATION
    if (s.request == 1) s.value = Number(f[8]), s.index = Number(f[9]);  // CLEAR_FEATURE
    if (s.request == 9 || s.request == 1) s.length = s.length < 0 ? 0 : s.length;
    setups.push_back(s);
  }
  const std::vector<WireSetup> expected = {
      {0x80, 6, 0x0100, 0, 18},      // device descriptor
      {0x80, 6, 0x0200, 0, 9},       // the configuration descriptor's own bytes
      {0x80, 6, 0x0200, 0, 48},      // the whole set, wTotalLength + 16
      {0x00, 9, 1, 0, 0},            // the selection
      {0xC0, 4, 2, 0x0104, 8},       // start: port configuration
      {0xC0, 4, 1, 0, 1024},         //        device ID
      {0xC0, 4, 3, 0, 8},            //        initialise
      {0xC0, 4, 5, 5, 8},            // port status: wIndex 5 whatever the caller gave
      {0xC0, 4, 4, 1, 8},            // transfer mode 1
      {0x02, 1, 0, 0x01, 0},         // clear ENDPOINT_HALT, write pipe
      {0x02, 1, 0, 0x82, 0},         //                      read pipe
  };
  // The bus reads the descriptors itself when the bridge arrives (for its
  // identifiers), without URBs: the capture starts with the driver's.
  EXPECT_EQ(setups, expected) << output;
}

}  // namespace
}  // namespace usbaccess
