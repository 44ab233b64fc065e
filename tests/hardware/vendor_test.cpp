#include <gmock/gmock.h>

#include <algorithm>

#include "tests/hardware/bridge_harness.h"

namespace host::hardware::testing {
namespace {

using ::testing::ElementsAre;

PrinterOptions ShortId() {
  PrinterOptions options;
  options.deviceId = "MFG:Norv;MDL:T1;";  // 16 bytes
  return options;
}

TEST(VendorCommands, DeviceIdIsPrefixedWithItsLengthIncludingThePrefix) {
  Harness h(ShortId());
  const auto reply = h.VendorData(1, 0, 1024);
  EXPECT_EQ(reply.size(), 18u);
  EXPECT_THAT(std::vector(reply.begin(), reply.begin() + 2), ElementsAre(0x00, 0x12));
  EXPECT_EQ(ToText(std::vector(reply.begin() + 2, reply.end())), "MFG:Norv;MDL:T1;");
  // Cut to what the host asks for.
  EXPECT_EQ(ToText(h.VendorData(1, 0, 6)), std::string("\x00\x12MFG:", 6));

  // A 40-byte text is announced as 42, the value the driver reports.
  h.printer->SetDeviceId(std::string("MFG:Norv;MDL:") + std::string(26, 'Q') + ";");
  EXPECT_THAT(std::vector(h.VendorData(1, 0, 2)), ElementsAre(0x00, 0x2A));
}

TEST(VendorCommands, PortConfigurationAcceptsOneSupportedMode) {
  Harness h;
  EXPECT_THAT(h.VendorData(2, 0x0104), ElementsAre(0x04, 0x01, 0x00, 0x17, 0x58, 0x00, 0x00, 0x00));
  // Byte mode with the default strobe width.
  EXPECT_THAT(h.VendorData(2, 0x0002), ElementsAre(0x02, 0x01, 0x00, 0x17, 0x58, 0x00, 0x00, 0x00));
  EXPECT_EQ(h.bridge.PortConfiguration(), 0x0102);
  // Two modes at once, an unsupported one, none: rejected, configuration kept.
  for (uint16_t bad : {0x0305, 0x0108, 0x0200}) {
    EXPECT_THAT(h.VendorData(2, bad), ElementsAre(0x02, 0x01, 0x01, 0x17, 0x58, 0x00, 0x00, 0x00)) << bad;
  }
  EXPECT_THAT(h.VendorData(2, 0x0A10), ElementsAre(0x10, 0x0A, 0x00, 0x17, 0x58, 0x00, 0x00, 0x00));
}

TEST(VendorCommands, InitialiseClearsTheBackChannelAndCounts) {
  Harness h;
  h.printer->QueueBackChannel("abc");
  EXPECT_THAT(h.VendorData(3), ElementsAre(0x58, 0x03, 0x01, 0x00, 0, 0, 0, 0));
  EXPECT_EQ(h.printer->BackChannelSize(), 0u);
  h.printer->SetCondition(Condition::Offline, true);
  EXPECT_THAT(h.VendorData(3), ElementsAre(0xC8, 0x00, 0x02, 0x00, 0, 0, 0, 0));
}

TEST(VendorCommands, TransferModeReportsOldAndNewModeAndLevels) {
  PrinterOptions stopped;
  stopped.bytesPerSecond = 1;  // takes nothing at model time 0
  Harness h(stopped);
  ASSERT_EQ(h.Send(Pattern(300)), 300u);
  h.printer->QueueBackChannel(std::vector<uint8_t>(0x1234, 7));
  EXPECT_THAT(h.VendorData(4, 1), ElementsAre(0x01, 0x00, 0x58, 0x00, 0x2C, 0x01, 0x34, 0x12));
  EXPECT_EQ(h.bridge.TransferMode(), 1);
  EXPECT_THAT(h.VendorData(4, 0, 4), ElementsAre(0x00, 0x01, 0x58, 0x00));
  EXPECT_EQ(h.Vendor(4, 0x100).handshake, Handshake::Stall);
  EXPECT_EQ(h.bridge.TransferMode(), 0);
}

TEST(VendorCommands, PortStatusShowsLinesAndFifoLevels) {
  PrinterOptions options;
  options.bytesPerSecond = 1;
  Harness h(options, BridgeConfig{.fifoSize = 1000});
  ASSERT_EQ(h.Send(Pattern(128)), 128u);
  h.printer->QueueBackChannel("xy");
  EXPECT_THAT(h.VendorData(5, 5), ElementsAre(0x58, 0x00, 0x80, 0x00, 0x68, 0x03, 0x02, 0x00));

  h.printer->SetCondition(Condition::PaperOut, true);
  EXPECT_EQ(h.VendorData(5, 5)[0], 0xF8);  // BUSY, paper empty
  h.printer->SetCondition(Condition::PaperOut, false);
  h.printer->SetCondition(Condition::Error, true);
  EXPECT_EQ(h.VendorData(5, 5)[0], 0xD0);  // BUSY, nFault low
  h.printer->SetCondition(Condition::Error, false);
  h.printer->SetCondition(Condition::Busy, true);
  EXPECT_EQ(h.VendorData(5, 5)[0], 0xD8);
  h.printer->SetCondition(Condition::Busy, false);
  EXPECT_EQ(h.VendorData(5, 5)[0], 0x58);
}

TEST(VendorCommands, FirmwareInformation) {
  Harness h;
  EXPECT_THAT(h.VendorData(6), ElementsAre(0x01, 0x02, 0x00, 0x10, 0x0F, 0x17, 0x40, 0x06));
  Harness big({}, BridgeConfig{.fifoSize = 100000, .firmwareMajor = 3, .firmwareMinor = 9});
  EXPECT_THAT(big.VendorData(6), ElementsAre(0x03, 0x09, 0xFF, 0xFF, 0x0F, 0x17, 0x40, 0x06));
}

TEST(VendorCommands, UnknownRequestsStall) {
  Harness h;
  for (uint16_t sub : {0, 7, 0xFFFF}) EXPECT_EQ(h.Vendor(sub).handshake, Handshake::Stall) << sub;
  EXPECT_EQ(h.bridge.Control({0xC0, 5, 1, 0, 8}, {}).handshake, Handshake::Stall);
  EXPECT_EQ(h.bridge.Control({0x40, 4, 4, 1, 0}, {}).handshake, Handshake::Stall);  // OUT direction
  EXPECT_EQ(h.bridge.Control({0xC1, 4, 1, 0, 8}, {}).handshake, Handshake::Stall);  // interface recipient
  EXPECT_EQ(h.bridge.Control({0xA1, 0, 0, 0, 1024}, {}).handshake, Handshake::Stall);  // class requests
}

TEST(VendorMisbehaviour, RepliesOfTheWrongSize) {
  BridgeConfig config;
  config.vendorFaults[5] = VendorFault::Reply(3);
  config.vendorFaults[6] = VendorFault::Reply(12);
  Harness h({}, config);
  EXPECT_THAT(h.VendorData(5, 5), ElementsAre(0x58, 0x00, 0x00));
  EXPECT_THAT(h.VendorData(6), ElementsAre(0x01, 0x02, 0x00, 0x10, 0x0F, 0x17, 0x40, 0x06, 0xA5, 0xA5, 0xA5, 0xA5));

  // A device-ID reply longer than asked carries on with the text.
  h.printer->SetDeviceId(std::string(1500, 'D'));
  h.bridge.SetVendorFault(1, VendorFault::Reply(1030));
  const auto id = h.VendorData(1, 0, 1024);
  ASSERT_EQ(id.size(), 1030u);
  EXPECT_EQ(id[1029], 'D');
}

TEST(VendorMisbehaviour, FaultsThatStopACommandLeaveItsEffectUndone) {
  Harness h;
  h.bridge.SetVendorFault(4, VendorFault::Stall(1));
  EXPECT_EQ(h.Vendor(4, 1).handshake, Handshake::Stall);
  EXPECT_EQ(h.bridge.TransferMode(), 0);
  EXPECT_EQ(h.Vendor(4, 1).handshake, Handshake::Ack);  // only once
  EXPECT_EQ(h.bridge.TransferMode(), 1);

  h.bridge.SetVendorFault(4, VendorFault::NoAnswer());
  EXPECT_EQ(h.Vendor(4, 0).handshake, Handshake::None);
  EXPECT_EQ(h.Vendor(4, 0).handshake, Handshake::None);
  EXPECT_EQ(h.bridge.TransferMode(), 1);

  h.bridge.SetVendorFault(2, VendorFault::NakForever(3));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(h.Vendor(2, 0x0002).handshake, Handshake::Nak);
  EXPECT_EQ(h.bridge.PortConfiguration(), kDefaultPortConfiguration);
  EXPECT_EQ(h.Vendor(2, 0x0002).handshake, Handshake::Ack);

  h.bridge.ClearVendorFaults();
  EXPECT_EQ(h.Vendor(4, 0).handshake, Handshake::Ack);
}

TEST(VendorMisbehaviour, DeviceIdFraming) {
  BridgeConfig config;
  config.deviceIdFraming.prefixCountsItself = false;
  EXPECT_THAT(std::vector(Harness(ShortId(), config).VendorData(1, 0, 2)), ElementsAre(0x00, 0x10));

  config = {};
  config.deviceIdFraming.claimedLength = 2000;  // more than any buffer the host gives
  const auto lying = Harness(ShortId(), config).VendorData(1, 0, 1024);
  EXPECT_EQ(lying.size(), 18u);
  EXPECT_THAT(std::vector(lying.begin(), lying.begin() + 2), ElementsAre(0x07, 0xD0));

  config = {};
  config.deviceIdFraming.padding = 'X';  // the whole buffer filled: no null anywhere
  const auto padded = Harness(ShortId(), config).VendorData(1, 0, 64);
  ASSERT_EQ(padded.size(), 64u);
  EXPECT_EQ(std::count(padded.begin(), padded.end(), 0), 1);  // only the prefix's high byte
  EXPECT_EQ(padded.back(), 'X');
}

TEST(VendorMisbehaviour, DeviceIdLongerThanTheHostsBuffer) {
  PrinterOptions options;
  options.deviceId = "MFG:Norv;MDL:" + std::string(1487, 'L');  // 1500 bytes, no closing ';'
  Harness h(options);
  const auto reply = h.VendorData(1, 0, 1024);
  ASSERT_EQ(reply.size(), 1024u);
  EXPECT_THAT(std::vector(reply.begin(), reply.begin() + 2), ElementsAre(0x05, 0xDE));  // 1502
  EXPECT_EQ(std::find(reply.begin() + 2, reply.end(), 0), reply.end());

  EXPECT_THROW(h.printer->SetDeviceId(std::string(kMaxDeviceIdLength + 1, 'a')), std::invalid_argument);
  EXPECT_EQ(h.printer->DeviceId(), options.deviceId);
}

}  // namespace
}  // namespace host::hardware::testing
