// The data path: writes reach the printer whole, reads bring the back
// channel, the direction switch goes out only when needed, and every refusal
// leaves the bridge as it was.
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <unistd.h>

#include "tests/support/command.h"
#include "tests/user_io/user_io_fixture.h"

namespace userio {
namespace {

using host::usb::RequestKind;

class TransferTest : public UserIoTest {};

TEST_F(TransferTest, AFileOfSeveralMebibytesArrivesByteForByteMappedOrNot) {
  BootWith(1);
  const std::vector<uint8_t> file = Pattern(3 * 1024 * 1024 + 123, 7);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  const size_t half = file.size() / 2;
  WriteAll(port, std::vector<uint8_t>(file.begin(), file.begin() + half), kDefaultMax);
  // The second half through buffers the driver must map itself.
  host::OpenOptions unmapped;
  unmapped.mapDirectBuffers = false;
  ASSERT_EQ(port.Open(DosName(0), unmapped), STATUS_SUCCESS);
  WriteAll(port, std::vector<uint8_t>(file.begin() + half, file.end()), kDefaultMax);
  ASSERT_TRUE(machine_->Printer(0).WaitForReceived(file.size(), std::chrono::seconds(10)));
  EXPECT_TRUE(machine_->Printer(0).Received() == file);
}

TEST_F(TransferTest, ReadsReturnTheBackChannelAndAShortAnswerWritesNothingBeyondIt) {
  BootWith(1);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  machine_->Printer(0).QueueBackChannel("@PJL INFO");  // 9 bytes... and one more
  machine_->Printer(0).QueueBackChannel("!");
  std::vector<uint8_t> buffer(kDefaultMax, 0xEE);
  host::IoResult read = port.Read(buffer.data(), ULONG(buffer.size()));
  ASSERT_EQ(read.status, STATUS_SUCCESS);
  ASSERT_EQ(read.information, 10u);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 10), "@PJL INFO!");
  EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 10, buffer.end()), std::vector<uint8_t>(kDefaultMax - 10, 0xEE));

  // Unmapped, and longer than one packet.
  std::vector<uint8_t> back = Pattern(1000, 3);
  machine_->Printer(0).QueueBackChannel(back);
  host::OpenOptions unmapped;
  unmapped.mapDirectBuffers = false;
  ASSERT_EQ(port.Open(DosName(0), unmapped), STATUS_SUCCESS);
  std::vector<uint8_t> got;
  while (got.size() < back.size()) {
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    read = port.Read(buffer.data(), 320);  // whole packets: a device never splits one
    ASSERT_EQ(read.status, STATUS_SUCCESS);
    ASSERT_GT(read.information, 0u);
    ASSERT_LE(read.information, 320u);
    got.insert(got.end(), buffer.begin(), buffer.begin() + read.information);
    EXPECT_EQ(buffer[read.information], 0xEE);
  }
  EXPECT_EQ(got, back);
}

// A read that is not a whole number of packets loses nothing: the device
// fills its last packet, and what the caller did not take comes with the
// next read, in order, whatever the sizes. The largest transfer is set to
// no whole number of packets: a read of that size rounded up would pass the
// pipe's limit, which the stack refuses.
TEST_F(TransferTest, ReadsOfAnySizeGetEveryByteTheDeviceSentInOrder) {
  constexpr ULONG kOddMax = 4000;
  BootWith(0);
  host::pnp::SetDriverDefault(host::Machine::kService, "MaxTransferSize", kOddMax);
  machine_->Plug(PlanFor(0));
  host::pnp::ClearDriverDefaults(host::Machine::kService);  // read at the bridge's AddDevice
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  struct Row {
    ULONG readSize;
    size_t waiting;
  };
  for (Row row : {Row{100, 200}, Row{1, 130}, Row{65, 300}, Row{kOddMax, 5000}, Row{63, 64}}) {
    const std::vector<uint8_t> back = Pattern(row.waiting, row.readSize);
    machine_->Printer(0).QueueBackChannel(back);
    std::vector<uint8_t> buffer(row.readSize + 1), got;
    while (got.size() < back.size()) {
      buffer.back() = 0xEE;
      host::IoResult read = port.Read(buffer.data(), row.readSize);
      ASSERT_EQ(read.status, STATUS_SUCCESS) << row.readSize << " after " << got.size();
      ASSERT_GT(read.information, 0u);
      ASSERT_EQ(buffer.back(), 0xEE) << "written beyond the read";
      got.insert(got.end(), buffer.begin(), buffer.begin() + read.information);
    }
    EXPECT_EQ(got, back) << row.readSize;
  }
}

TEST_F(TransferTest, TheModeSwitchGoesOutOnlyWhenTheDirectionChanges) {
  BootWith(1);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  auto vendor = [&] { return Seen(0, RequestKind::Vendor); };
  uint8_t data[32] = {};
  const uint64_t start = vendor();

  ASSERT_EQ(port.Write(data, sizeof data).status, STATUS_SUCCESS);  // the first write: none
  EXPECT_EQ(vendor(), start);
  machine_->Printer(0).QueueBackChannel("a");
  ASSERT_EQ(port.Read(data, sizeof data).status, STATUS_SUCCESS);  // mode 1 before the first read
  EXPECT_EQ(vendor(), start + 1);
  EXPECT_EQ(machine_->Bridge(0).TransferMode(), 1);
  EXPECT_EQ(Fdo(0)->TransferMode, 1);
  machine_->Printer(0).QueueBackChannel("b");
  ASSERT_EQ(port.Read(data, sizeof data).status, STATUS_SUCCESS);  // same direction: none
  EXPECT_EQ(vendor(), start + 1);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(port.Write(data, sizeof data).status, STATUS_SUCCESS);
  EXPECT_EQ(vendor(), start + 2);  // once for the run of writes
  EXPECT_EQ(machine_->Bridge(0).TransferMode(), 0);

  // A tool's odd mode: both directions switch afterwards.
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_SET_TRANSFER_MODE, {2}, 8).information, 8u);
  EXPECT_EQ(Fdo(0)->TransferMode, 2);
  ASSERT_EQ(port.Write(data, sizeof data).status, STATUS_SUCCESS);
  EXPECT_EQ(vendor(), start + 4);
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_SET_TRANSFER_MODE, {2}, 8).information, 8u);
  machine_->Printer(0).QueueBackChannel("c");
  ASSERT_EQ(port.Read(data, sizeof data).status, STATUS_SUCCESS);
  EXPECT_EQ(vendor(), start + 6);
}

TEST_F(TransferTest, AFailedSwitchFailsTheRequestAndIsRetriedAWarningLetsTheTransferGoOn) {
  BootWith(1);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  machine_->Printer(0).QueueBackChannel("xyz");
  uint8_t data[64] = {};
  const uint64_t start = Seen(0, RequestKind::Vendor);

  Faults(0).Add(RequestKind::Vendor, host::usb::Fault::Stall());
  host::IoResult failed = port.Read(data, sizeof data);
  EXPECT_TRUE(IsErrorSeverity(failed.status)) << std::hex << failed.status;
  EXPECT_EQ(failed.information, 0u);
  EXPECT_EQ(Fdo(0)->TransferMode, 0);
  EXPECT_EQ(Seen(0, RequestKind::BulkIn), 0u);
  EXPECT_EQ(machine_->Printer(0).BackChannelSize(), 3u);

  // A bridge that switched but answered with a warning: the read goes
  // ahead, the mode is not recorded, so the next read switches again.
  host::usb::SetupPacket reverse{0xC0, BRIDGE_VENDOR_REQUEST, BRIDGE_SUBCOMMAND_TRANSFER_MODE, 1, 8};
  machine_->Bridge(0).Control(reverse, {});
  Faults(0).Add(RequestKind::Vendor, host::usb::Fault::Failure(STATUS_BUFFER_OVERFLOW, USBD_STATUS_SUCCESS));
  host::IoResult warned = port.Read(data, sizeof data);
  EXPECT_EQ(warned.status, STATUS_SUCCESS);
  EXPECT_EQ(warned.information, 3u);
  EXPECT_EQ(Fdo(0)->TransferMode, 0);
  EXPECT_EQ(Seen(0, RequestKind::Vendor), start + 2);

  machine_->Printer(0).QueueBackChannel("w");
  host::IoResult retried = port.Read(data, sizeof data);
  EXPECT_EQ(retried.status, STATUS_SUCCESS);
  EXPECT_EQ(retried.information, 1u);
  EXPECT_EQ(Fdo(0)->TransferMode, 1);
  EXPECT_EQ(Seen(0, RequestKind::Vendor), start + 3);
}

TEST_F(TransferTest, ExactlyTheLargestSizeIsSentOneMoreAndZeroAreRefused) {
  BootWith(1);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  std::vector<uint8_t> data = Pattern(kDefaultMax + 1, 5);
  host::IoResult tooBig = port.Write(data.data(), kDefaultMax + 1);
  EXPECT_EQ(tooBig.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(tooBig.information, 0u);
  EXPECT_EQ(port.Write(data.data(), 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(port.Read(data.data(), 0).status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Seen(0, RequestKind::BulkOut), 0u);
  host::IoResult exact = port.Write(data.data(), kDefaultMax);
  EXPECT_EQ(exact.status, STATUS_SUCCESS);
  EXPECT_EQ(exact.information, kDefaultMax);
  EXPECT_EQ(Seen(0, RequestKind::BulkOut), 1u);
  ASSERT_TRUE(machine_->Printer(0).WaitForReceived(kDefaultMax, std::chrono::seconds(5)));
  EXPECT_EQ(machine_->Printer(0).Received(), std::vector<uint8_t>(data.begin(), data.begin() + kDefaultMax));
}

TEST_F(TransferTest, ASecondTransferWhileOneIsInFlightIsRefusedAndTouchesNothing) {
  BootWith(1);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  std::vector<uint8_t> readBuffer(64, 0xEE);
  auto read = port.StartRead(readBuffer.data(), ULONG(readBuffer.size()));
  ASSERT_FALSE(read->Done());
  TransferContext *inFlight = Fdo(0)->CurrentTransfer;
  ASSERT_NE(inFlight, nullptr);
  const std::vector<uint8_t> bounce(Fdo(0)->TransferBuffer, Fdo(0)->TransferBuffer + kDefaultMax);
  const uint64_t vendor = Seen(0, RequestKind::Vendor);

  std::vector<uint8_t> data = Pattern(100, 9);
  for (int i = 0; i < 2; ++i) {
    host::IoResult busy = port.Write(data.data(), ULONG(data.size()));
    EXPECT_EQ(busy.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(busy.information, 0u);
  }
  uint8_t other[16];
  EXPECT_EQ(port.Read(other, sizeof other).status, STATUS_DEVICE_BUSY);
  EXPECT_EQ(Fdo(0)->CurrentTransfer, inFlight);
  EXPECT_EQ(std::vector<uint8_t>(Fdo(0)->TransferBuffer, Fdo(0)->TransferBuffer + kDefaultMax), bounce);
  EXPECT_EQ(Seen(0, RequestKind::Vendor), vendor);  // no switch to write mode under the read
  EXPECT_EQ(Fdo(0)->TransferMode, 1);

  machine_->Printer(0).QueueBackChannel("back");
  ASSERT_TRUE(read->Wait(5 * kSecond));
  EXPECT_EQ(read->Result().status, STATUS_SUCCESS);
  ASSERT_EQ(read->Result().information, 4u);
  EXPECT_EQ(std::string(readBuffer.begin(), readBuffer.begin() + 4), "back");
  EXPECT_EQ(machine_->Printer(0).ReceivedCount(), 0u);
  EXPECT_EQ(port.Write(data.data(), ULONG(data.size())).status, STATUS_SUCCESS);
}

TEST_F(TransferTest, TheRequestGoesDownAsOneBulkUrbWithTheTablesValues) {
  BootWith(1);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  Faults(0).Add(RequestKind::BulkOut, host::usb::Fault::Hold());
  std::vector<uint8_t> data = Pattern(300, 4);
  auto write = port.StartWrite(data.data(), ULONG(data.size()));
  FdoExtension *fdo = Fdo(0);
  TransferContext *context = fdo->CurrentTransfer;
  ASSERT_NE(context, nullptr);
  const auto &urb = context->Urb;
  EXPECT_EQ(static_cast<void *>(context), static_cast<void *>(&context->Urb));
  EXPECT_EQ(urb.Hdr.Length, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
  EXPECT_EQ(urb.Hdr.Function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  EXPECT_EQ(urb.PipeHandle, fdo->InterfaceInfo->Pipes[0].PipeHandle);
  EXPECT_EQ(urb.TransferFlags, 0u);  // an OUT transfer: no short-transfer flag
  EXPECT_EQ(urb.TransferBufferLength, 300u);
  EXPECT_EQ(urb.TransferBuffer, fdo->TransferBuffer);
  EXPECT_EQ(urb.TransferBufferMDL, nullptr);
  EXPECT_EQ(urb.UrbLink, nullptr);
  EXPECT_EQ(context->ReadDirection, 0);
  EXPECT_EQ(context->Cancelled, 0);
  EXPECT_EQ(std::vector<uint8_t>(fdo->TransferBuffer, fdo->TransferBuffer + 300), data);
  // The rest of the bounce buffer was cleared.
  EXPECT_EQ(std::vector<uint8_t>(fdo->TransferBuffer + 300, fdo->TransferBuffer + kDefaultMax),
            std::vector<uint8_t>(kDefaultMax - 300, 0));

  // The caller gives up: the stack cancels it, the driver reports it so.
  EXPECT_TRUE(write->Cancel());
  ASSERT_TRUE(write->Wait(5 * kSecond));
  EXPECT_EQ(write->Result().status, STATUS_CANCELLED);
  EXPECT_EQ(write->Result().information, 0u);
  EXPECT_EQ(fdo->CurrentTransfer, nullptr);

  // And a read: pipe 1, the IN flags.
  auto read = port.StartRead(data.data(), 77);
  context = fdo->CurrentTransfer;
  ASSERT_NE(context, nullptr);
  EXPECT_EQ(context->Urb.PipeHandle, fdo->InterfaceInfo->Pipes[1].PipeHandle);
  EXPECT_EQ(context->Urb.TransferFlags, ULONG(USBD_SHORT_TRANSFER_OK | USBD_TRANSFER_DIRECTION_IN));
  EXPECT_EQ(context->Urb.TransferBufferLength, 128u);  // whole packets of 64
  EXPECT_EQ(context->ReadDirection, 1);
  machine_->Printer(0).QueueBackChannel("z");
  ASSERT_TRUE(read->Wait(5 * kSecond));
  EXPECT_EQ(read->Result().information, 1u);
}

TEST_F(TransferTest, FailuresBelowAndPoolAndMappingFailuresCompleteCleanly) {
  BootWith(1);
  host::OpenOptions unmapped;
  unmapped.mapDirectBuffers = false;
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0), unmapped), STATUS_SUCCESS);
  std::vector<uint8_t> data = Pattern(200, 6);

  // The stack fails the bulk transfer.
  Faults(0).Add(RequestKind::BulkOut, host::usb::Fault::Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING));
  host::IoResult failed = port.Write(data.data(), ULONG(data.size()));
  EXPECT_EQ(failed.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(failed.information, 0u);

  // The caller's buffer cannot be mapped: nothing moves, for either direction.
  const uint64_t consulted = host::lowres::ConsultedCalls();
  host::lowres::FailNth(1);
  host::IoResult unmappable = port.Write(data.data(), ULONG(data.size()));
  EXPECT_EQ(host::lowres::ConsultedCalls(), consulted + 1);
  EXPECT_EQ(unmappable.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(unmappable.information, 0u);
  EXPECT_EQ(Seen(0, RequestKind::BulkOut), 1u);
  machine_->Printer(0).QueueBackChannel("k");
  ASSERT_EQ(port.Read(data.data(), 100).status, STATUS_SUCCESS);  // switches to reverse mode
  machine_->Printer(0).QueueBackChannel("eep");
  host::lowres::FailNth(1);
  EXPECT_EQ(port.Read(data.data(), 100).status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(machine_->Printer(0).BackChannelSize(), 3u);

  // No pool for the transfer's record: no transfer, nothing published.
  host::OpenOptions mapped;
  ASSERT_EQ(port.Open(DosName(0), mapped), STATUS_SUCCESS);
  host::lowres::FailTag(NORVUSB_POOL_TAG);
  EXPECT_EQ(port.Read(data.data(), 100).status, STATUS_NO_MEMORY);
  host::lowres::Clear();
  EXPECT_EQ(Fdo(0)->CurrentTransfer, nullptr);
  EXPECT_EQ(machine_->Printer(0).BackChannelSize(), 3u);

  // Every one of them gave the bridge back.
  EXPECT_EQ(Fdo(0)->TransferBusy, 0);
  host::IoResult read = port.Read(data.data(), 100);
  EXPECT_EQ(read.status, STATUS_SUCCESS);
  EXPECT_EQ(read.information, 3u);
  data = Pattern(200, 6);
  ASSERT_EQ(port.Write(data.data(), 200).status, STATUS_SUCCESS);
  ASSERT_TRUE(machine_->Printer(0).WaitForReceived(200, std::chrono::seconds(5)));
  EXPECT_EQ(machine_->Printer(0).Received(), data);
}

using support::RunCommand;

TEST_F(TransferTest, AStreamOfWritesSendsNoControlTrafficInACapture) {
  ASSERT_TRUE(support::HasTool("tshark")) << "tshark is missing: scripts/install-deps.sh installs it";
  BootWith(1);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(DosName(0)), STATUS_SUCCESS);
  const support::ScratchFile capture("user_io_print", ".pcap");
  const auto &file = capture.path();
  std::string error;
  ASSERT_TRUE(machine_->Bus().StartCapture(file, &error)) << error;
  const std::vector<uint8_t> data = Pattern(10 * kDefaultMax + 500, 8);
  WriteAll(port, data, kDefaultMax);
  machine_->Printer(0).QueueBackChannel("r");
  uint8_t back[16];
  ASSERT_EQ(port.Read(back, sizeof back).information, 1u);
  machine_->Bus().StopCapture();

  const std::string output = RunCommand("tshark -r " + file.string() +
                                        " -T fields -E separator=, -e usb.irp_info.direction -e usb.function"
                                        " -e usb.transfer_type -e usb.endpoint_address -e usb.data_len"
                                        " -e usb.setup.bRequest -e usb.setup.wValue -e usb.setup.wIndex 2>/dev/null");
  // One line per record: submission (direction 0) or completion (1).
  std::vector<std::string> submissions;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("0x00,", 0) == 0) submissions.push_back(line);
  // 11 bulk OUT URBs with their payloads, then the read's switch and its bulk IN.
  ASSERT_EQ(submissions.size(), 13u) << output;
  for (size_t i = 0; i < 11; ++i) {
    std::istringstream fields(submissions[i]);
    std::vector<std::string> f;
    for (std::string field; std::getline(fields, field, ',');) f.push_back(field);
    ASSERT_GE(f.size(), 5u) << submissions[i];
    EXPECT_EQ(std::strtoul(f[1].c_str(), nullptr, 0), ULONG(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)) << submissions[i];
    EXPECT_EQ(std::strtoul(f[3].c_str(), nullptr, 0), 0x01u) << submissions[i];
    EXPECT_EQ(std::strtoul(f[4].c_str(), nullptr, 0), i < 10 ? kDefaultMax : 500u) << submissions[i];
  }
  // bRequest 4, sub-command 4, mode 1.
  EXPECT_EQ(submissions[11], "0x00,0x0017,0x02,0x80,8,4,0x0004,1");
  EXPECT_NE(submissions[12].find(",0x82,"), std::string::npos) << submissions[12];
}

}  // namespace
}  // namespace userio
