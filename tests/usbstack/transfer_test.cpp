// Bulk transfers through the loopback device: data, short packets, frames,
// back-pressure, abort, stall and disconnect.
#include <numeric>

#include "bus_fixture.h"

namespace usbtest {
namespace {

using TransferTest = BusTest;

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> data(size);
  std::iota(data.begin(), data.end(), uint8_t(7));
  return data;
}

TEST_F(TransferTest, BulkOutThenInRoundTripsTheData) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  auto data = Pattern(1000);
  UrbBlock block;
  Bulk(block, out, USBD_SHORT_TRANSFER_OK, data.data(), 1000);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(block.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 1000u);

  std::vector<uint8_t> back(1000);
  Bulk(block, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, back.data(), 1000);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(block.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 1000u);
  EXPECT_EQ(back, data);

  const auto stats = bus->Stats(port);
  EXPECT_EQ(stats.bulkTransfers, 2u);
  EXPECT_EQ(stats.bytesOut, 1000u);
  EXPECT_EQ(stats.bytesIn, 1000u);
  EXPECT_EQ(stats.bulkPackets, 2u * 16);  // 15 full packets and a short one each way
}

TEST_F(TransferTest, AShortPacketEndsAnInTransfer) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  auto data = Pattern(10);
  UrbBlock block;
  Bulk(block, out, 0, data.data(), 10);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);

  std::vector<uint8_t> back(4096, 0xEE);
  Bulk(block, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, back.data(), 4096);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(block.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
  EXPECT_EQ(back[10], 0xEE);  // nothing written past what came

  // Without USBD_SHORT_TRANSFER_OK the same short read is an error, with the bytes counted.
  Bulk(block, out, 0, data.data(), 10);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  Bulk(block, in, USBD_TRANSFER_DIRECTION_IN, back.data(), 4096);
  EXPECT_FALSE(NT_SUCCESS(Submit(block.urb())));
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
  EXPECT_EQ(block.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
}

TEST_F(TransferTest, AbortCompletesThePipesQueueWithCancelled) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  std::vector<uint8_t> a(64), b(64);
  UrbBlock first, second, abort;
  Bulk(first, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, a.data(), 64);
  Bulk(second, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, b.data(), 64);
  auto one = SubmitAsync(first.urb());   // the FIFO is empty: the device NAKs
  auto two = SubmitAsync(second.urb());
  EXPECT_EQ(one->returned, STATUS_PENDING);
  EXPECT_EQ(one->WaitFor(200000), STATUS_TIMEOUT);

  PipeRequest(abort, URB_FUNCTION_ABORT_PIPE, in);
  EXPECT_EQ(Submit(abort.urb()), STATUS_SUCCESS);
  EXPECT_EQ(one->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(two->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(first.urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(second.urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
}

TEST_F(TransferTest, CancelEndsAPendingTransfer) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  std::vector<uint8_t> a(64);
  UrbBlock block;
  Bulk(block, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, a.data(), 64);
  auto pending = SubmitAsync(block.urb());
  ASSERT_EQ(pending->returned, STATUS_PENDING);
  IoCancelIrp(pending->irp);
  EXPECT_EQ(pending->Wait(), STATUS_CANCELLED);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_CANCELED);
}

TEST_F(TransferTest, AStalledEndpointStaysHaltedUntilReset) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  device->stallOut = true;
  auto data = Pattern(64);
  UrbBlock block, reset;
  Bulk(block, out, 0, data.data(), 64);
  EXPECT_EQ(Submit(block.urb()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);

  device->stallOut = false;  // the device is fine again, but the host pipe is halted
  Bulk(block, out, 0, data.data(), 64);
  EXPECT_EQ(Submit(block.urb()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);

  PipeRequest(reset, URB_FUNCTION_RESET_PIPE, out);
  ASSERT_EQ(Submit(reset.urb()), STATUS_SUCCESS);
  EXPECT_EQ(device->clearedHalts, std::vector<uint8_t>{kOutEndpoint});
  Bulk(block, out, 0, data.data(), 64);
  EXPECT_EQ(Submit(block.urb()), STATUS_SUCCESS);
}

TEST_F(TransferTest, DisconnectFailsQueuedAndLaterRequests) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  std::vector<uint8_t> a(64);
  UrbBlock block;
  Bulk(block, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, a.data(), 64);
  auto pending = SubmitAsync(block.urb());
  ASSERT_EQ(pending->returned, STATUS_PENDING);
  bus->Detach(port);
  EXPECT_FALSE(bus->Attached(port));
  EXPECT_EQ(pending->Wait(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);

  uint8_t reply[8];
  UrbBlock vendor;
  Vendor(vendor, reply, 8);
  EXPECT_EQ(Submit(vendor.urb()), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(vendor.urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(ResetPort(), STATUS_DEVICE_NOT_CONNECTED);
}

// ------------------------------------------------------------------ full-speed frames

using FrameTest = FullSpeedBusTest;

TEST_F(FrameTest, BulkPacketsShareNineteenSlotsPerFrame) {
  ASSERT_EQ(Configure(8192), STATUS_SUCCESS);
  auto data = Pattern(64 * 19 * 4);  // four frames' worth
  UrbBlock writeBlock, readBlock;
  std::vector<uint8_t> back(64 * 19 * 4);
  Bulk(writeBlock, out, 0, data.data(), static_cast<ULONG>(data.size()));
  ASSERT_EQ(Submit(writeBlock.urb()), STATUS_SUCCESS);
  const auto afterWrite = bus->Stats(port);
  EXPECT_GE(afterWrite.framesUsed, 4u);
  EXPECT_EQ(bus->Stats().maxBulkPacketsInFrame, 19u);

  // A read and a write at once still share the same 19 slots.
  Bulk(readBlock, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, back.data(), static_cast<ULONG>(back.size()));
  auto reading = SubmitAsync(readBlock.urb());
  Bulk(writeBlock, out, 0, data.data(), static_cast<ULONG>(data.size()));
  auto writing = SubmitAsync(writeBlock.urb());
  EXPECT_EQ(reading->Wait(), STATUS_SUCCESS);
  EXPECT_EQ(writing->Wait(), STATUS_SUCCESS);
  EXPECT_LE(bus->Stats().maxBulkPacketsInFrame, 19u);
  EXPECT_GE(bus->Stats(port).framesUsed, afterWrite.framesUsed + 8);

  // The endpoints take the slots in turn, a packet each: a two-packet read
  // beside a long write ends in the first frame, whichever the frame starts with.
  constexpr int64_t kMs = 10000;
  Bulk(writeBlock, out, 0, data.data(), 128);  // the read's bytes, there before it
  ASSERT_EQ(Submit(writeBlock.urb()), STATUS_SUCCESS);
  for (int round = 0; round < 2; ++round) {
    Bulk(writeBlock, out, 0, data.data(), static_cast<ULONG>(data.size()));
    auto longWrite = SubmitAsync(writeBlock.urb());
    Bulk(readBlock, in, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, back.data(), 128);
    const int64_t firstFrameEnds = (host::clock::Now() + kMs - 1) / kMs * kMs + kMs;
    EXPECT_EQ(SubmitAsync(readBlock.urb())->Wait(), STATUS_SUCCESS);
    EXPECT_EQ(host::clock::Now(), firstFrameEnds) << "round " << round;
    EXPECT_EQ(longWrite->Wait(), STATUS_SUCCESS);
  }
}

TEST_F(FrameTest, NakBackPressureSpreadsATransferOverFrames) {
  ASSERT_EQ(Configure(8192), STATUS_SUCCESS);
  device->capacity = 128;    // two packets of room
  device->drainPerMs = 128;  // the device empties it once per millisecond
  auto data = Pattern(128 * 10);
  UrbBlock block;
  Bulk(block, out, 0, data.data(), static_cast<ULONG>(data.size()));
  const int64_t start = host::clock::Now();
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  const auto stats = bus->Stats(port);
  EXPECT_GT(stats.naks, 0u);
  EXPECT_GE(stats.framesUsed, 10u);
  EXPECT_GE(host::clock::Now() - start, 9 * 10000);  // at least nine frames of model time
  EXPECT_EQ(device->received, data);
}

// One transfer in flight, each request sent as the last one completes:
// model time per request, free-running and seeded alike. A request sent
// during a frame waits for the next one to begin.
class SeededFrameTest : public FullSpeedBusTest {
 protected:
  SeededFrameTest() { kernelOptions_.seed = 1284; }
};

void ExpectFramesPerRequest(BusTest &test) {
  constexpr int64_t kMs = 10000;
  const struct {
    ULONG length;
    int64_t lateBy;  // model time after a frame boundary that the first request is sent
    int64_t first, next;
  } rows[] = {
      {64, 0, 1 * kMs, 1 * kMs},        {64, kMs / 2, 3 * kMs / 2, 1 * kMs},
      {4096, 0, 4 * kMs, 4 * kMs},      // 19 + 19 + 19 + 7 packets
      {65536, 0, 54 * kMs, 54 * kMs},  // 1024 packets in 54 frames of 19
  };
  ASSERT_EQ(test.Configure(65536), STATUS_SUCCESS);
  for (const auto &row : rows) {
    SCOPED_TRACE(testing::Message() << row.length << " bytes, sent " << row.lateBy << " after a boundary");
    auto data = Pattern(row.length);
    UrbBlock block;
    auto send = [&] {
      BusTest::Bulk(block, test.out, 0, data.data(), row.length);
      const int64_t start = host::clock::Now();
      EXPECT_EQ(test.Submit(block.urb()), STATUS_SUCCESS);
      EXPECT_EQ(block.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, row.length);
      return host::clock::Now() - start;
    };
    send();  // completes at a frame boundary
    if (row.lateBy != 0) host::clock::SleepFor(row.lateBy);
    EXPECT_EQ(send(), row.first);
    EXPECT_EQ(send(), row.next);
  }
}

TEST_F(FrameTest, ARequestTakesTheFramesItsPacketsNeed) { ExpectFramesPerRequest(*this); }
TEST_F(SeededFrameTest, ARequestTakesTheFramesItsPacketsNeed) { ExpectFramesPerRequest(*this); }

TEST_F(FrameTest, AControlTransferTakesSeveralFrames) {
  uint8_t reply[8];
  UrbBlock block;
  Vendor(block, reply, 8);
  const uint64_t before = bus->Stats().frames;
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_GE(bus->Stats().frames - before, 3u);  // setup, data, status
  EXPECT_EQ(bus->Stats(port).controlTransfers, 1u);
}

}  // namespace
}  // namespace usbtest
