// Synchronous requests to the USB stack: the 2-second limit, the cancel that
// still waits for completion, immediate and pended failures, and requests
// that cannot be built.
#include <gtest/gtest.h>

#include "tests/usb_access/usb_access_fixture.h"

namespace usbaccess {
namespace {

using host::usb::Fault;
using host::usb::RequestKind;

constexpr int64_t kSecond = 10'000'000;

// A firmware-information request built by the test, as the vendor channel
// builds it.
struct FirmwareInfoUrb {
  URB urb{};
  uint8_t reply[8]{};

  FirmwareInfoUrb() {
    urb.UrbHeader.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
    auto &request = urb.UrbControlVendorClassRequest;
    request.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    request.TransferBuffer = reply;
    request.TransferBufferLength = sizeof reply;
    request.Request = BRIDGE_VENDOR_REQUEST;
    request.Value = BRIDGE_SUBCOMMAND_FIRMWARE_INFO;
  }
};

class SubmitTest : public UsbAccessTest {
 protected:
  // Submits one request and measures the model time it blocked the caller.
  NTSTATUS TimedSubmit(FirmwareInfoUrb &request, int64_t *elapsed) {
    const int64_t start = host::clock::Now();
    NTSTATUS status = SubmitUrb(Bridge(), &request.urb);
    *elapsed = host::clock::Now() - start;
    return status;
  }
};

TEST_F(SubmitTest, AHeldRequestIsCancelledAfterTwoSecondsAndStillWaitedFor) {
  PlugSpied();
  const size_t blocksBefore = DriverBlocks().size();
  // The stack completes the cancelled request half a second after the
  // cancel, on its own thread: the event and the status block must live
  // until then.
  Faults().Add(RequestKind::Vendor, Fault::HoldWithSlowCancel(kSecond / 2));
  FirmwareInfoUrb request;
  int64_t elapsed = 0;
  EXPECT_EQ(TimedSubmit(request, &elapsed), STATUS_CANCELLED);
  EXPECT_EQ(request.urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_GE(elapsed, 2 * kSecond + kSecond / 2);
  EXPECT_LT(elapsed, 60 * kSecond);  // not the I/O manager's stuck-request limit
  EXPECT_EQ(DriverBlocks().size(), blocksBefore) << "the event outlived the call";

  // The channel is usable again at once.
  FirmwareInfoUrb next;
  EXPECT_EQ(TimedSubmit(next, &elapsed), STATUS_SUCCESS);
  EXPECT_EQ(next.reply[0], 1);  // firmware major version
}

TEST_F(SubmitTest, ALateCompletionWithinTheLimitIsWaitedForAndOnePastItIsCancelled) {
  PlugSpied();
  FirmwareInfoUrb request;
  int64_t elapsed = 0;
  Faults().Add(RequestKind::Vendor, Fault::DelayBy(1 * kSecond));
  EXPECT_EQ(TimedSubmit(request, &elapsed), STATUS_SUCCESS);
  EXPECT_GE(elapsed, 1 * kSecond);
  EXPECT_EQ(request.reply[0], 1);

  Faults().Add(RequestKind::Vendor, Fault::DelayBy(3 * kSecond));
  FirmwareInfoUrb late;
  EXPECT_EQ(TimedSubmit(late, &elapsed), STATUS_CANCELLED);
  EXPECT_GE(elapsed, 2 * kSecond);
}

// The limit is 2 seconds of model time, for both routines: a request the
// device answers inside it is waited for; one it never answers is cancelled
// at 2 seconds, not before and not later.
struct LimitCase {
  const char *name;
  RequestKind kind;
  Fault fault;
  NTSTATUS status;
  int64_t atLeast;
  int64_t below;
};

void PrintTo(const LimitCase &c, std::ostream *os) { *os << c.name; }

class TimeLimitTest : public SubmitTest, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(TimeLimitTest, EndsAtTwoSecondsOfModelTime) {
  const LimitCase &c = GetParam();
  PlugSpied();
  Faults().Add(c.kind, c.fault);
  FirmwareInfoUrb request;
  const int64_t start = host::clock::Now();
  const NTSTATUS status = c.kind == RequestKind::PortReset ? ResetPort(Bridge()) : SubmitUrb(Bridge(), &request.urb);
  const int64_t elapsed = host::clock::Now() - start;
  EXPECT_EQ(status, c.status);
  EXPECT_GE(elapsed, c.atLeast);
  EXPECT_LT(elapsed, c.below);
}

constexpr int64_t kMillisecond = kSecond / 1000;

INSTANTIATE_TEST_SUITE_P(
    Requests, TimeLimitTest,
    ::testing::Values(
        LimitCase{"UrbAnsweredInside", RequestKind::Vendor, Fault::DelayBy(1900 * kMillisecond), STATUS_SUCCESS,
                  1900 * kMillisecond, 2 * kSecond},
        LimitCase{"UrbNeverAnswered", RequestKind::Vendor, Fault::Hold(), STATUS_CANCELLED, 2 * kSecond,
                  2 * kSecond + 10 * kMillisecond},
        LimitCase{"ResetNeverAnswered", RequestKind::PortReset, Fault::Hold(), STATUS_TIMEOUT, 2 * kSecond,
                  2 * kSecond + 10 * kMillisecond}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(SubmitTest, FailuresComeBackAsTheRequestsOwnStatus) {
  PlugSpied();
  FirmwareInfoUrb request;
  int64_t elapsed = 0;
  // Refused at once by the stack: no pending, no wait.
  Faults().Add(RequestKind::Vendor, Fault::Failure(STATUS_DEVICE_DATA_ERROR, USBD_STATUS_DEV_NOT_RESPONDING));
  EXPECT_EQ(TimedSubmit(request, &elapsed), STATUS_DEVICE_DATA_ERROR);
  EXPECT_LT(elapsed, 2 * kSecond);
  // Pended, then failed by the device.
  Faults().Add(RequestKind::Vendor, Fault::Stall());
  EXPECT_EQ(TimedSubmit(request, &elapsed), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(request.urb.UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(SubmitTest, PortResetReportsHowTheWaitWentNotTheResetsStatus) {
  PlugSpied();
  // Pended and failed within the limit: the wait succeeded.
  Faults().Add(RequestKind::PortReset, Fault::Stall());
  EXPECT_EQ(ResetPort(Bridge()), STATUS_SUCCESS);
  // Held past the limit: cancelled, waited for, reported as the time-out.
  Faults().Add(RequestKind::PortReset, Fault::HoldWithSlowCancel(kSecond / 2));
  const int64_t start = host::clock::Now();
  EXPECT_EQ(ResetPort(Bridge()), STATUS_TIMEOUT);
  EXPECT_GE(host::clock::Now() - start, 2 * kSecond + kSecond / 2);
  // Refused without pending: the refusal itself.
  Faults().Add(RequestKind::PortReset, Fault::Failure(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING));
  EXPECT_EQ(ResetPort(Bridge()), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(Seen(RequestKind::PortReset), 3u);
  // A plain reset keeps the configuration: the pipes still work.
  EXPECT_EQ(ResetPort(Bridge()), STATUS_SUCCESS);
  FirmwareInfoUrb request;
  EXPECT_EQ(SubmitUrb(Bridge(), &request.urb), STATUS_SUCCESS);
}

// Each fallible call of a submission (the event, then the request) in turn:
// nothing reaches the stack, an error comes back, nothing stays allocated.
TEST_F(SubmitTest, ARequestThatCannotBeBuiltSendsNothing) {
  PlugSpied();
  const size_t blocksBefore = DriverBlocks().size();
  for (uint64_t k = 1; k <= 2; ++k) {
    SCOPED_TRACE("failing call " + std::to_string(k));
    const uint64_t vendorBefore = Seen(RequestKind::Vendor);
    const uint64_t resetsBefore = Seen(RequestKind::PortReset);
    FirmwareInfoUrb request;
    host::lowres::FailNth(k);
    const NTSTATUS submitted = SubmitUrb(Bridge(), &request.urb);
    host::lowres::FailNth(k);
    const NTSTATUS reset = ResetPort(Bridge());
    host::lowres::Clear();
    EXPECT_FALSE(NT_SUCCESS(submitted));
    EXPECT_FALSE(NT_SUCCESS(reset));
    if (k == 1) {
      EXPECT_EQ(submitted, STATUS_NO_MEMORY);
      EXPECT_EQ(reset, STATUS_NO_MEMORY);
    }
    EXPECT_EQ(Seen(RequestKind::Vendor), vendorBefore);
    EXPECT_EQ(Seen(RequestKind::PortReset), resetsBefore);
    EXPECT_EQ(DriverBlocks().size(), blocksBefore);
  }
}

TEST_F(SubmitTest, DelayForSleepsAtLeastTheGivenTime) {
  PlugSpied();
  const int64_t start = host::clock::Now();
  EXPECT_EQ(DelayFor(5'000'000), STATUS_SUCCESS);
  EXPECT_GE(host::clock::Now() - start, 5'000'000);
}

}  // namespace
}  // namespace usbaccess
