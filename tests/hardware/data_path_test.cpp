#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/hardware/bridge_harness.h"

namespace host::hardware::testing {
namespace {

using ::testing::ElementsAre;

PrinterOptions Slow(uint64_t bytesPerSecond) {
  PrinterOptions options;
  options.bytesPerSecond = bytesPerSecond;
  return options;
}

TEST(DataPath, SinkKeepsEveryByteInOrder) {
  Harness h;
  const auto data = Pattern(100'003);
  // Odd packet sizes too: a short packet is taken like any other.
  EXPECT_EQ(h.Send(data, 0x01, 61), data.size());
  EXPECT_EQ(h.printer->Received(), data);
  EXPECT_EQ(h.printer->ReceivedCount(), data.size());
  EXPECT_EQ(h.bridge.FifoLevel(), 0u);
  EXPECT_EQ(h.bridge.PacketOut(0x01, {}), Handshake::Ack);  // a zero-length packet moves nothing
  EXPECT_EQ(h.printer->ReceivedCount(), data.size());
}

TEST(DataPath, TransferModeGatesThePipes) {
  Harness h;
  h.printer->QueueBackChannel("status");
  EXPECT_EQ(h.Receive(), std::vector<uint8_t>{});
  EXPECT_EQ(h.last, Handshake::Nak);  // forward: the IN pipe waits
  EXPECT_EQ(h.printer->BackChannelSize(), 6u);

  h.SetMode(kModeReverse);
  EXPECT_EQ(h.Send(ToBytes("data")), 0u);
  EXPECT_EQ(h.last, Handshake::Nak);  // reverse: the OUT pipe waits
  EXPECT_EQ(ToText(h.Receive()), "status");
  EXPECT_EQ(h.printer->ReceivedCount(), 0u);

  h.SetMode(2);  // any other mode idles both pipes
  EXPECT_EQ(h.Send(ToBytes("data")), 0u);
  h.printer->QueueBackChannel("more");
  EXPECT_EQ(h.Receive(), std::vector<uint8_t>{});
  EXPECT_EQ(h.last, Handshake::Nak);

  h.SetMode(kModeForward);
  EXPECT_EQ(h.Send(ToBytes("data")), 4u);
  EXPECT_EQ(ToText(h.printer->Received()), "data");
}

TEST(DataPath, BackChannelEndsMessagesWithShortOrZeroLengthPackets) {
  Harness h;
  h.SetMode(kModeReverse);
  h.printer->QueueBackChannel(Pattern(150));
  EXPECT_EQ(h.Receive(), Pattern(150));  // 64 + 64 + 22
  EXPECT_EQ(h.last, Handshake::Ack);

  // Exactly two full packets: a zero-length packet tells the host the message ended.
  h.printer->QueueBackChannel(Pattern(128, 9));
  EXPECT_EQ(h.Receive(), Pattern(128, 9));
  EXPECT_EQ(h.last, Handshake::Ack);
  EXPECT_EQ(h.Receive(), std::vector<uint8_t>{});
  EXPECT_EQ(h.last, Handshake::Nak);  // and then nothing until the printer speaks

  BridgeConfig config;
  config.emptyRead = EmptyRead::ZeroLengthPacket;
  Harness eager({}, config);
  eager.SetMode(kModeReverse);
  EXPECT_EQ(eager.Receive(), std::vector<uint8_t>{});
  EXPECT_EQ(eager.last, Handshake::Ack);
}

TEST(DataPath, FullFifoNaksUntilASlowPrinterMakesRoom) {
  Harness h(Slow(1000), BridgeConfig{.fifoSize = 256});
  const auto data = Pattern(1000);
  size_t sent = h.Send(data);
  EXPECT_EQ(sent, 256u);  // four packets fill the FIFO; the printer took nothing yet
  EXPECT_EQ(h.last, Handshake::Nak);

  h.bridge.AdvanceTo(63 * kMillisecond);  // 63 bytes: not room for a packet
  EXPECT_EQ(h.bridge.FifoLevel(), 256u - 63);
  EXPECT_EQ(h.bridge.PacketOut(0x01, std::span(data).subspan(sent, 64)), Handshake::Nak);
  h.bridge.AdvanceTo(64 * kMillisecond);
  EXPECT_EQ(h.bridge.PacketOut(0x01, std::span(data).subspan(sent, 64)), Handshake::Ack);
  sent += 64;

  // Offer the rest frame by frame, as the bus does; it arrives at the printer's rate.
  int64_t now = 64 * kMillisecond;
  while (sent < data.size()) {
    now += kMillisecond;
    h.bridge.AdvanceTo(now);
    sent += h.Send(std::vector(data.begin() + static_cast<ptrdiff_t>(sent), data.end()));
  }
  EXPECT_EQ(h.printer->ReceivedCount(), (now + kMillisecond - 1) / kMillisecond);  // one byte per millisecond
  h.bridge.AdvanceTo(now + 10 * kSecond);
  EXPECT_EQ(h.printer->Received(), data);
}

TEST(DataPath, IdlePrinterBanksNoTime) {
  Harness h(Slow(1000));
  ASSERT_EQ(h.Send(Pattern(5)), 5u);
  h.bridge.AdvanceTo(5 * kMillisecond);
  EXPECT_EQ(h.printer->ReceivedCount(), 5u);
  h.bridge.AdvanceTo(10 * kSecond);  // idle for ten seconds
  ASSERT_EQ(h.Send(Pattern(256)), 256u);
  EXPECT_EQ(h.printer->ReceivedCount(), 5u);
  h.bridge.AdvanceTo(10 * kSecond + 5 * kMillisecond);
  EXPECT_EQ(h.printer->ReceivedCount(), 10u);
}

TEST(DataPath, ConditionsStopIntakeAndShowOnTheStatusLines) {
  for (Condition condition : {Condition::Busy, Condition::PaperOut, Condition::Offline, Condition::Error}) {
    SCOPED_TRACE(static_cast<int>(condition));
    Harness h({}, BridgeConfig{.fifoSize = 128});
    h.printer->SetCondition(condition, true);
    EXPECT_FALSE(h.printer->Ready());
    EXPECT_EQ(h.Send(Pattern(500)), 128u);
    EXPECT_EQ(h.last, Handshake::Nak);
    EXPECT_EQ(h.printer->ReceivedCount(), 0u);
    EXPECT_TRUE(h.VendorData(5, 5)[0] & status::kBusy);

    h.printer->SetCondition(condition, false);
    EXPECT_EQ(h.Send(Pattern(500)), 500u);  // the next packet drains the FIFO first
    auto expected = Pattern(128);
    const auto rest = Pattern(500);
    expected.insert(expected.end(), rest.begin(), rest.end());
    EXPECT_EQ(h.printer->Received(), expected);
  }
}

TEST(DataPath, StoppedPrinterEarnsNoCredit) {
  Harness h(Slow(1000));
  h.printer->SetCondition(Condition::Offline, true);
  ASSERT_EQ(h.Send(Pattern(64)), 64u);
  h.bridge.AdvanceTo(kSecond);
  EXPECT_EQ(h.printer->ReceivedCount(), 0u);
  h.printer->SetCondition(Condition::Offline, false);
  h.bridge.AdvanceTo(kSecond + 10 * kMillisecond);
  EXPECT_EQ(h.printer->ReceivedCount(), 10u);
}

TEST(DataPath, PjlQueriesAreAnsweredOnTheBackChannel) {
  Harness h;
  const std::string job = "\x1B%-12345X@PJL INFO STATUS\r\n@PJL INFO ID\r\n@PJL ECHO sync 42\r\n\x1B%-12345X";
  ASSERT_EQ(h.Send(ToBytes(job), 0x01, 7), job.size());  // lines split across packets
  h.SetMode(kModeReverse);
  std::string answer;
  while (true) {
    const auto part = h.Receive();
    if (part.empty()) break;
    answer += ToText(part);
  }
  EXPECT_EQ(answer,
            "@PJL INFO STATUS\r\nCODE=10001\r\nDISPLAY=\"READY\"\r\nONLINE=TRUE\r\n\f"
            "@PJL INFO ID\r\n\"LinePrinter 9\"\r\n\f"
            "@PJL ECHO sync 42\r\n\f");
}

TEST(DataPath, PjlQueryWaitsForASlowPrinterToReadIt) {
  Harness h(Slow(100));
  ASSERT_EQ(h.Send(ToBytes("@PJL INFO ID\n")), 13u);
  h.SetMode(kModeReverse);
  EXPECT_EQ(h.Receive(), std::vector<uint8_t>{});  // the FIFO still drains in reverse mode
  h.bridge.AdvanceTo(130 * kMillisecond);
  EXPECT_EQ(ToText(h.Receive()), "@PJL INFO ID\r\n\"LinePrinter 9\"\r\n\f");
}

TEST(DataPath, ResetsKeepOrClearTheRightState) {
  Harness h(Slow(1));
  ASSERT_EQ(h.Send(Pattern(100)), 100u);
  h.SetMode(kModeReverse);
  h.VendorData(2, 0x0010);
  h.bridge.Halt(0x82);

  h.bridge.BusReset();
  EXPECT_EQ(h.bridge.Configuration(), 0);
  EXPECT_FALSE(h.bridge.Halted(0x82));
  EXPECT_EQ(h.bridge.TransferMode(), kModeReverse);
  EXPECT_EQ(h.bridge.PortConfiguration(), 0x0110);
  EXPECT_EQ(h.bridge.FifoLevel(), 100u);

  h.bridge.PowerCycle();
  EXPECT_EQ(h.bridge.TransferMode(), kModeForward);
  EXPECT_EQ(h.bridge.PortConfiguration(), kDefaultPortConfiguration);
  EXPECT_EQ(h.bridge.FifoLevel(), 0u);
  h.bridge.SetConfiguration(1);
  EXPECT_THAT(h.VendorData(3), ElementsAre(0x58, 0, 1, 0, 0, 0, 0, 0));  // counting from power-on again
}

TEST(DataPath, InterfacesAndInterruptPipesCarryData) {
  BridgeConfig two;
  two.configuration = TwoInterfaceConfiguration();
  Harness h({}, two);
  EXPECT_EQ(h.Send(ToBytes("one"), 0x01), 3u);
  EXPECT_EQ(h.Send(ToBytes("two"), 0x03), 3u);
  EXPECT_EQ(h.bridge.PacketOut(0x82, std::vector<uint8_t>{1}), Handshake::Stall);  // wrong direction
  EXPECT_EQ(ToText(h.printer->Received()), "onetwo");

  BridgeConfig interrupt;
  interrupt.configuration = InterruptPipeConfiguration();
  Harness i({}, interrupt);
  EXPECT_EQ(i.Send(ToBytes("int")), 3u);
  i.SetMode(kModeReverse);
  i.printer->QueueBackChannel("back");
  EXPECT_EQ(ToText(i.Receive()), "back");
}

TEST(DataPath, SinkFileGetsEveryByte) {
  const auto file = std::filesystem::path(NORVUSB_BINARY_DIR) / "hardware_sink_test.bin";
  std::filesystem::remove(file);
  PrinterOptions options;
  options.sinkFile = file;
  options.keepInMemory = false;
  Harness h(options);
  const auto data = Pattern(5000);
  ASSERT_EQ(h.Send(data), data.size());
  EXPECT_TRUE(h.printer->Received().empty());
  EXPECT_EQ(h.printer->ReceivedCount(), data.size());
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}), data);
  EXPECT_TRUE(h.printer->SinkError().empty());
  std::filesystem::remove(file);

  EXPECT_THROW(h.printer->SetSinkFile("/nonexistent-dir/x/sink.bin"), std::runtime_error);
}

}  // namespace
}  // namespace host::hardware::testing
