#include <gmock/gmock.h>

#include <atomic>
#include <thread>

#include "tests/support/test_thread.h"
#include "tests/hardware/bridge_harness.h"

namespace host::hardware::testing {
namespace {

std::string Listen(PjlListener &listener, std::string_view data) {
  std::vector<uint8_t> replies;
  listener.Scan(std::span(reinterpret_cast<const uint8_t *>(data.data()), data.size()), "M9", replies);
  return ToText(replies);
}

TEST(Pjl, AnswersOnlyCompleteQueryLines) {
  PjlListener pjl;
  EXPECT_EQ(Listen(pjl, "@PJL INFO I"), "");
  EXPECT_EQ(Listen(pjl, "D\r\n"), "@PJL INFO ID\r\n\"M9\"\r\n\f");
  EXPECT_EQ(Listen(pjl, "@pjl info id\n"), "@pjl info id\r\n\"M9\"\r\n\f");  // commands ignore case
  EXPECT_EQ(Listen(pjl, "\t @PJL\tECHO a\n@PJL ECHO b\n"), "@PJL\tECHO a\r\n\f@PJL ECHO b\r\n\f");  // two in one write
  // Not queries, or not PJL: nothing.
  for (std::string_view line : {"@PJL SET COPIES=2\n", "@PJL INFO\n", "@PJL INFO STATUS NOW\n", "@PJL INFO CONFIG\n",
                                "PJL INFO ID\n", "text @PJL INFO ID\n", "@PJLX INFO ID\n", "@PJ\n", "\n"}) {
    EXPECT_EQ(Listen(pjl, line), "") << line;
  }
}

TEST(Pjl, OverlongLinesAreSkippedWholly) {
  PjlListener pjl;
  EXPECT_EQ(Listen(pjl, "@PJL ECHO " + std::string(PjlListener::kMaxLine, 'x') + "\n@PJL ECHO ok\n"),
            "@PJL ECHO ok\r\n\f");
  // The longest line that is still a command.
  const std::string longest = "@PJL ECHO " + std::string(PjlListener::kMaxLine - 10, 'y');
  EXPECT_EQ(Listen(pjl, longest + "\n"), longest + "\r\n\f");
}

TEST(Pjl, InitialiseForgetsAPartialLine) {
  Harness h;
  ASSERT_EQ(h.Send(ToBytes("@PJL INFO ID")), 12u);
  h.VendorData(3);
  ASSERT_EQ(h.Send(ToBytes("\n@PJL ECHO after\n")), 17u);
  h.SetMode(kModeReverse);
  EXPECT_EQ(ToText(h.Receive()), "@PJL ECHO after\r\n\f");
}

TEST(Printer, ModelComesFromEitherKeyOfTheDeviceId) {
  EXPECT_EQ(Printer().Model(), "LinePrinter 9");
  Printer p;
  p.SetDeviceId("MANUFACTURER:Norv;MODEL:Wide 2;");
  EXPECT_EQ(p.Model(), "Wide 2");
  p.SetDeviceId("MFG:Norv;CMD:PJL;");
  EXPECT_EQ(p.Model(), "Unknown");
}

TEST(Printer, RejectsBadOptions) {
  EXPECT_THROW(Printer(PrinterOptions{.bytesPerSecond = 0}), std::invalid_argument);
  Printer p;
  EXPECT_THROW(p.SetRate(2'000'000'000), std::invalid_argument);
  EXPECT_THROW(Bridge(nullptr), std::invalid_argument);
  EXPECT_THROW(Bridge(std::make_shared<Printer>(), BridgeConfig{.fifoSize = 0}), std::invalid_argument);
}

TEST(Printer, WaitForReceivedSeesBytesFromAnotherThread) {
  Harness h;
  EXPECT_FALSE(h.printer->WaitForReceived(1, std::chrono::milliseconds(1)));
  TestThread sender([&] { h.Send(Pattern(4096)); });
  EXPECT_TRUE(h.printer->WaitForReceived(4096, std::chrono::seconds(10)));
  sender.join();
  h.printer->ClearReceived();
  EXPECT_EQ(h.printer->ReceivedCount(), 0u);
}

// The host-controller thread moves data while a test thread changes the
// printer's conditions and queries the port: nothing is lost or doubled.
TEST(Printer, ConcurrentUseKeepsEveryByte) {
  Harness h(PrinterOptions{.bytesPerSecond = 1'000'000}, BridgeConfig{.fifoSize = 512});
  const auto data = Pattern(200'000, 5);
  std::atomic<bool> done = false;
  TestThread controller([&] {
    size_t sent = 0;
    int64_t now = 0;
    while (sent < data.size()) {
      now += kMillisecond;
      h.bridge.AdvanceTo(now);
      const size_t n = std::min<size_t>(64, data.size() - sent);
      if (h.bridge.PacketOut(0x01, std::span(data).subspan(sent, n)) == Handshake::Ack) sent += n;
    }
    h.bridge.AdvanceTo(now + kSecond);
    done = true;
  });
  bool paperOut = false;
  while (!done) {
    paperOut = !paperOut;
    h.printer->SetCondition(Condition::PaperOut, paperOut);
    (void)h.printer->StatusLines();
    std::this_thread::yield();
  }
  controller.join();
  h.printer->SetCondition(Condition::PaperOut, false);
  h.bridge.AdvanceTo(1000 * kSecond);
  EXPECT_EQ(h.printer->Received(), data);
}

}  // namespace
}  // namespace host::hardware::testing
