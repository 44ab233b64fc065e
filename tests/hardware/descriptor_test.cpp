#include <gmock/gmock.h>

#include "tests/hardware/bridge_harness.h"

namespace host::hardware::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

const std::vector<uint8_t> kDefaultSet = {
    0x09, 0x02, 0x20, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32,  // configuration 1, one interface, 100 mA
    0x09, 0x04, 0x00, 0x00, 0x02, 0x07, 0x01, 0x02, 0x00,  // interface 0: printer, bidirectional
    0x07, 0x05, 0x01, 0x02, 0x40, 0x00, 0x00,              // bulk OUT 0x01, 64 bytes
    0x07, 0x05, 0x82, 0x02, 0x40, 0x00, 0x00,              // bulk IN 0x82, 64 bytes
};

TEST(Descriptors, DefaultBridgeDescribesOnePrinterInterface) {
  Harness h;
  EXPECT_THAT(h.bridge.DeviceDescriptor(),
              ElementsAre(0x12, 0x01, 0x10, 0x01, 0x00, 0x00, 0x00, 0x40, 0x75, 0x6E, 0x84, 0x12, 0x02, 0x01, 0x01,
                          0x02, 0x03, 0x01));
  EXPECT_EQ(h.bridge.ConfigurationDescriptor(), kDefaultSet);
}

TEST(Descriptors, IdentityIsConfigurable) {
  BridgeConfig config;
  config.identity.vendorId = 0x1234;
  config.identity.productId = 0xABCD;
  config.identity.bcdDevice = 0x0200;
  config.identity.serialNumber.reset();
  Harness h({}, config);
  const auto d = h.bridge.DeviceDescriptor();
  EXPECT_THAT(std::vector(d.begin() + 8, d.end()),
              ElementsAre(0x34, 0x12, 0xCD, 0xAB, 0x00, 0x02, 0x01, 0x02, 0x00 /* no serial */, 0x01));
  // Without a serial number its string index is refused.
  EXPECT_EQ(h.bridge.Control({0x80, 6, 0x0303, 0x0409, 255}, {}).handshake, Handshake::Stall);
}

TEST(Descriptors, StandardGetDescriptorServesStringsAndCutsToLength) {
  Harness h;
  auto serial = h.bridge.Control({0x80, 6, 0x0303, 0x0409, 255}, {});
  ASSERT_EQ(serial.handshake, Handshake::Ack);
  ASSERT_EQ(serial.data.size(), 2u + 2 * 11);  // "NB1284-0001" in UTF-16
  EXPECT_THAT(std::vector(serial.data.begin(), serial.data.begin() + 6), ElementsAre(24, 3, 'N', 0, 'B', 0));
  EXPECT_THAT(h.bridge.Control({0x80, 6, 0x0300, 0, 255}, {}).data, ElementsAre(4, 3, 0x09, 0x04));
  EXPECT_THAT(h.bridge.Control({0x80, 6, 0x0200, 0, 9}, {}).data, ElementsAreArray(kDefaultSet.data(), 9));
  EXPECT_EQ(h.bridge.Control({0x80, 6, 0x0100, 0, 8}, {}).data.size(), 8u);
  EXPECT_EQ(h.bridge.Control({0x80, 6, 0x0600, 0, 10}, {}).handshake, Handshake::Stall);  // no qualifier: full speed only
}

TEST(Descriptors, ShapesForTests) {
  const auto two = SerializeConfiguration(TwoInterfaceConfiguration());
  ASSERT_EQ(two.size(), 55u);
  EXPECT_EQ(two[2], 55);
  EXPECT_EQ(two[4], 2);                                            // bNumInterfaces
  EXPECT_THAT(std::vector(two.begin() + 32, two.begin() + 41), ElementsAre(9, 4, 1, 0, 2, 0xFF, 0, 0, 0));
  EXPECT_EQ(two[43], 0x03);
  EXPECT_EQ(two[50], 0x84);

  const auto alt = SerializeConfiguration(AlternateSettingConfiguration());
  EXPECT_EQ(alt[4], 1);  // two settings of one interface count once
  EXPECT_THAT(std::vector(alt.begin() + 32, alt.begin() + 36), ElementsAre(9, 4, 0, 1));
  EXPECT_THAT(std::vector(alt.begin() + 41, alt.begin() + 46), ElementsAre(7, 5, 0x03, 0x02, 32));

  const auto interrupt = SerializeConfiguration(InterruptPipeConfiguration());
  EXPECT_THAT(std::vector(interrupt.begin() + 18, interrupt.end()),
              ElementsAre(7, 5, 0x01, 0x03, 64, 0, 1, 7, 5, 0x82, 0x03, 64, 0, 1));
}

TEST(Descriptors, CountsThatLie) {
  ConfigurationDescriptorSet set = PrinterConfiguration();
  set.claimedTotalLength = 4000;
  set.claimedInterfaces = 3;
  set.interfaces[0].claimedEndpoints = 5;
  auto bytes = SerializeConfiguration(set);
  ASSERT_EQ(bytes.size(), 32u);  // the device still has only what it has
  EXPECT_THAT(std::vector(bytes.begin() + 2, bytes.begin() + 5), ElementsAre(0xA0, 0x0F, 3));
  EXPECT_EQ(bytes[13], 5);

  set = PrinterConfiguration();
  set.zeroLengthDescriptor = 2;  // the first endpoint
  bytes = SerializeConfiguration(set);
  EXPECT_EQ(bytes[18], 0);
  EXPECT_EQ(bytes[2], 32);  // only bLength lies
  EXPECT_EQ(bytes[25], 7);

  set = PrinterConfiguration();
  set.claimedTotalLength = 9;
  set.trailer = {0x05, 0x21, 0xAA, 0xBB, 0xCC};
  bytes = SerializeConfiguration(set);
  EXPECT_EQ(bytes.size(), 37u);
  EXPECT_EQ(bytes[2], 9);
}

TEST(Descriptors, ConfigurationAndInterfaceSelection) {
  BridgeConfig config;
  config.configuration = AlternateSettingConfiguration();
  Harness h({}, config);
  EXPECT_EQ(h.bridge.Configuration(), 1);
  EXPECT_EQ(h.bridge.AlternateSetting(0), 0);
  // Endpoint 0x03 belongs to setting 1 only.
  EXPECT_EQ(h.bridge.PacketOut(0x03, std::vector<uint8_t>{1}), Handshake::Stall);
  h.bridge.SetInterface(0, 1);
  EXPECT_EQ(h.bridge.AlternateSetting(0), 1);
  EXPECT_EQ(h.bridge.PacketOut(0x03, std::vector<uint8_t>{1}), Handshake::Ack);
  EXPECT_EQ(h.bridge.PacketOut(0x01, std::vector<uint8_t>{2}), Handshake::Stall);
  EXPECT_EQ(h.bridge.PacketOut(0x03, std::vector<uint8_t>(33)), Handshake::Stall);  // above its 32-byte packets
  h.bridge.SetInterface(0, 7);  // no such setting: nothing changes
  EXPECT_EQ(h.bridge.AlternateSetting(0), 1);

  // The same through standard requests.
  EXPECT_THAT(h.bridge.Control({0x81, 10, 0, 0, 1}, {}).data, ElementsAre(1));
  EXPECT_EQ(h.bridge.Control({0x01, 11, 0, 0, 0}, {}).handshake, Handshake::Ack);
  EXPECT_THAT(h.bridge.Control({0x81, 10, 0, 0, 1}, {}).data, ElementsAre(0));
  EXPECT_EQ(h.bridge.Control({0x01, 11, 2, 0, 0}, {}).handshake, Handshake::Stall);
  EXPECT_EQ(h.bridge.Control({0x00, 9, 5, 0, 0}, {}).handshake, Handshake::Stall);
  EXPECT_EQ(h.bridge.Control({0x00, 9, 0, 0, 0}, {}).handshake, Handshake::Ack);
  EXPECT_THAT(h.bridge.Control({0x80, 8, 0, 0, 1}, {}).data, ElementsAre(0));
  // Unconfigured: no data endpoint answers.
  EXPECT_EQ(h.bridge.PacketOut(0x01, std::vector<uint8_t>{1}), Handshake::Stall);
}

TEST(Descriptors, EndpointHaltFollowsFeatureRequests) {
  Harness h;
  EXPECT_THAT(h.bridge.Control({0x82, 0, 0, 0x01, 2}, {}).data, ElementsAre(0, 0));
  EXPECT_EQ(h.bridge.Control({0x02, 3, 0, 0x01, 0}, {}).handshake, Handshake::Ack);
  EXPECT_THAT(h.bridge.Control({0x82, 0, 0, 0x01, 2}, {}).data, ElementsAre(1, 0));
  EXPECT_EQ(h.bridge.PacketOut(0x01, std::vector<uint8_t>{1}), Handshake::Stall);
  EXPECT_EQ(h.bridge.Control({0x02, 1, 0, 0x01, 0}, {}).handshake, Handshake::Ack);
  EXPECT_EQ(h.bridge.PacketOut(0x01, std::vector<uint8_t>{1}), Handshake::Ack);
  EXPECT_EQ(h.bridge.Control({0x82, 0, 0, 0x05, 2}, {}).handshake, Handshake::Stall);  // no such endpoint

  h.bridge.Halt(0x82);
  h.SetMode(kModeReverse);
  size_t length = 0;
  std::vector<uint8_t> buffer(64);
  EXPECT_EQ(h.bridge.PacketIn(0x82, buffer, length), Handshake::Stall);
  h.bridge.ClearHalt(0x82);
  EXPECT_FALSE(h.bridge.Halted(0x82));
  EXPECT_EQ(h.bridge.PacketIn(0x82, buffer, length), Handshake::Nak);  // nothing to read yet
}

}  // namespace
}  // namespace host::hardware::testing
