// Pipe maintenance: which pipes get a request, in what order, with what
// result, and what is sent when nothing may be.
#include <gtest/gtest.h>

#include "tests/usb_access/usb_access_fixture.h"

namespace usbaccess {
namespace {

using host::usb::Fault;
using host::usb::RequestKind;

class PipesTest : public UsbAccessTest {
 protected:
  PUSBD_PIPE_INFORMATION Pipe(ULONG index) { return &Extension().InterfaceInfo->Pipes[index]; }
  std::vector<uint8_t> ClearedEndpoints() const {
    std::vector<uint8_t> endpoints;
    for (const auto &event : spy_->Events(WireEvent::Kind::ClearHalt)) endpoints.push_back(event.endpoint);
    return endpoints;
  }
  static Fault Refusal() { return Fault::Failure(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID); }
};

TEST_F(PipesTest, NothingIsSentForPipesThatAreNotOpen) {
  PlugSpied();
  const uint64_t aborts = Seen(RequestKind::Abort), resets = Seen(RequestKind::ResetPipe),
                 clears = Seen(RequestKind::Clear);
  EXPECT_EQ(AbortPipes(Bridge(), nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ResetPipes(Bridge(), nullptr), STATUS_SUCCESS);
  EXPECT_EQ(ClearHalts(Bridge(), nullptr), STATUS_SUCCESS);
  EXPECT_EQ(AbortPipes(Bridge(), Pipe(1)), STATUS_SUCCESS);
  EXPECT_EQ(ClearHalts(Bridge(), Pipe(0)), STATUS_SUCCESS);
  {
    host::DeviceHandle port = OpenPort();  // opened and closed again: the marks are clear
  }
  EXPECT_EQ(ResetPipes(Bridge(), Pipe(0)), STATUS_SUCCESS);
  EXPECT_EQ(Seen(RequestKind::Abort), aborts);
  EXPECT_EQ(Seen(RequestKind::ResetPipe), resets);
  EXPECT_EQ(Seen(RequestKind::Clear), clears);
}

// Every open pipe, pipe 0 first; the last request's status is the result,
// and a failure does not stop the walk.
TEST_F(PipesTest, AWalkOverOpenPipesReportsTheLastRequest) {
  PlugSpied();
  host::DeviceHandle port = OpenPort();
  struct Walk {
    RequestKind kind;
    NTSTATUS (*operation)(PDEVICE_OBJECT, PUSBD_PIPE_INFORMATION);
  };
  for (const Walk walk : {Walk{RequestKind::Abort, AbortPipes}, Walk{RequestKind::ResetPipe, ResetPipes},
                          Walk{RequestKind::Clear, ClearHalts}}) {
    SCOPED_TRACE(static_cast<int>(walk.kind));
    const uint64_t before = Seen(walk.kind);
    EXPECT_EQ(walk.operation(Bridge(), nullptr), STATUS_SUCCESS);
    Faults().Add(walk.kind, Refusal(), 1);  // pipe 0 fails, pipe 1 follows
    EXPECT_EQ(walk.operation(Bridge(), nullptr), STATUS_SUCCESS);
    Faults().Add(walk.kind, Refusal(), 2);  // pipe 1 fails last
    EXPECT_EQ(walk.operation(Bridge(), nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Seen(walk.kind) - before, 6u);
    // A named open pipe gets exactly its own request.
    Faults().Add(walk.kind, Refusal(), 1);
    EXPECT_EQ(walk.operation(Bridge(), Pipe(1)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Seen(walk.kind) - before, 7u);
  }
}

// The clear-halt request addresses the endpoint (wIndex = its address), so
// the device's halts end, pipe by pipe, in order.
TEST_F(PipesTest, ClearHaltsClearsEachOpenEndpointInTheDevice) {
  PlugSpied();
  host::DeviceHandle port = OpenPort();
  bridge_->Halt(0x01);
  bridge_->Halt(0x82);
  spy_->ClearEvents();
  std::vector<uint8_t> none;
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_CLEAR_HALTS, {}, none).status, STATUS_SUCCESS);
  EXPECT_EQ(ClearedEndpoints(), (std::vector<uint8_t>{0x01, 0x82}));
  EXPECT_FALSE(bridge_->Halted(0x01));
  EXPECT_FALSE(bridge_->Halted(0x82));

  // The device refusing the last one: the request reports it.
  Faults().Add(RequestKind::Clear, Refusal(), 2);
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_CLEAR_HALTS, {}, none).status, STATUS_UNSUCCESSFUL);
}

TEST_F(PipesTest, TheResetPipeRequestResetsOnlyTheWritePipe) {
  PlugSpied();
  host::DeviceHandle port = OpenPort();
  bridge_->Halt(0x01);
  bridge_->Halt(0x82);
  const uint64_t before = Seen(RequestKind::ResetPipe);
  std::vector<uint8_t> none;
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_RESET_PIPE, {}, none).status, STATUS_SUCCESS);
  EXPECT_EQ(Seen(RequestKind::ResetPipe) - before, 1u);
  EXPECT_FALSE(bridge_->Halted(0x01));
  EXPECT_TRUE(bridge_->Halted(0x82));
}

TEST_F(PipesTest, NoPoolForTheBlockSendsNothing) {
  PlugSpied();
  host::DeviceHandle port = OpenPort();
  const size_t blocksBefore = DriverBlocks().size();
  const uint64_t clears = Seen(RequestKind::Clear), aborts = Seen(RequestKind::Abort);
  host::lowres::FailNth(1);
  std::vector<uint8_t> none;
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_CLEAR_HALTS, {}, none).status, STATUS_NO_MEMORY);
  host::lowres::FailNth(1);
  EXPECT_EQ(AbortPipes(Bridge(), nullptr), STATUS_NO_MEMORY);
  // No pool for the first pipe's event: that pipe is skipped, the walk goes on.
  host::lowres::FailNth(2);
  EXPECT_EQ(ClearHalts(Bridge(), nullptr), STATUS_SUCCESS);
  host::lowres::Clear();
  EXPECT_EQ(Seen(RequestKind::Clear) - clears, 1u);
  EXPECT_EQ(Seen(RequestKind::Abort), aborts);
  EXPECT_EQ(DriverBlocks().size(), blocksBefore);
}

// The reset sequence on a read that waits: abort, reset and clear walk both
// open pipes, the port is reset, and the read ends.
TEST_F(PipesTest, TheResetSequenceWalksEveryOpenPipeAndEndsTheTransfer) {
  PlugSpied();
  host::DeviceHandle port = OpenPort();
  uint8_t buffer[64];
  auto read = port.StartRead(buffer, sizeof buffer);
  ASSERT_FALSE(read->Wait(1'000'000));
  const uint64_t aborts = Seen(RequestKind::Abort), resets = Seen(RequestKind::ResetPipe),
                 clears = Seen(RequestKind::Clear), portResets = Seen(RequestKind::PortReset);
  std::vector<uint8_t> none;
  EXPECT_EQ(Control(port, IOCTL_BRIDGE_RESET_DEVICE, {}, none).status, STATUS_SUCCESS);
  ASSERT_TRUE(read->Wait(100'000'000));
  EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
  EXPECT_EQ(Seen(RequestKind::Abort) - aborts, 2u);
  EXPECT_EQ(Seen(RequestKind::ResetPipe) - resets, 2u);
  EXPECT_EQ(Seen(RequestKind::Clear) - clears, 2u);
  EXPECT_EQ(Seen(RequestKind::PortReset) - portResets, 1u);
  // The pipes still carry data afterwards.
  const uint8_t data[4] = {9, 8, 7, 6};
  EXPECT_EQ(port.Write(data, 4).status, STATUS_SUCCESS);
  ASSERT_TRUE(printer_->WaitForReceived(4, std::chrono::seconds(5)));
}

}  // namespace
}  // namespace usbaccess
