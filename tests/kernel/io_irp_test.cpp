// IRPs through a stack of devices: the completion walk, pending propagation,
// the verifier's completion rules, cancel against completion.
#include <algorithm>
#include <atomic>
#include <thread>

#include "host/io/io_internal.h"
#include "tests/support/test_thread.h"
#include "tests/kernel/io_test_driver.h"
#include "tests/support/kernel_fixture.h"

namespace {

using namespace iotest;
namespace check = host::io::check;

constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

class IrpTest : public KernelFixture {
 protected:
  // top -> middle -> bottom
  void SetUp() override {
    KernelFixture::SetUp();
    driver_ = std::make_unique<TestDriver>();
    bottom_ = &driver_->Create();
    middle_ = &driver_->Create(nullptr, false, bottom_);
    top_ = &driver_->Create(nullptr, false, middle_);
  }
  void TearDown() override {
    driver_.reset();
    KernelFixture::TearDown();
  }

  // Builds a device-control request for the top device and sends it.
  NTSTATUS Send(ULONG code = kBufferedCode, PVOID in = nullptr, ULONG inLength = 0, PVOID out = nullptr,
                ULONG outLength = 0) {
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
    iosb_ = {};
    irp_ = IoBuildDeviceIoControlRequest(code, top_->device, in, inLength, out, outLength, FALSE, &event_, &iosb_);
    return irp_ ? IoCallDriver(top_->device, irp_) : STATUS_INSUFFICIENT_RESOURCES;
  }
  bool Signalled() { return KeReadStateEvent(&event_) != 0; }
  // The upper two devices pass every request down untouched.
  void PassThrough() {
    top_->onIrp = middle_->onIrp = [](PDEVICE_OBJECT device, PIRP irp) {
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(Self(device)->lower, irp);
    };
  }

  std::unique_ptr<TestDriver> driver_;
  TestDevice *bottom_ = nullptr, *middle_ = nullptr, *top_ = nullptr;
  KEVENT event_;
  IO_STATUS_BLOCK iosb_{};
  PIRP irp_ = nullptr;
};

TEST_F(IrpTest, StackSizesFollowTheAttachmentAndBuiltRequestsUseThem) {
  EXPECT_EQ(bottom_->device->StackSize, 1);
  EXPECT_EQ(middle_->device->StackSize, 2);
  EXPECT_EQ(top_->device->StackSize, 3);
  EXPECT_EQ(host::detail::AttachedDeviceTop(bottom_->device), top_->device);
  PIRP irp = IoAllocateIrp(top_->device->StackSize, FALSE);
  ASSERT_NE(irp, nullptr);
  EXPECT_EQ(irp->StackCount, 3);
  EXPECT_EQ(irp->CurrentLocation, 4);
  EXPECT_EQ(IoGetNextIrpStackLocation(irp), reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2);
  IoFreeIrp(irp);
}

TEST_F(IrpTest, CompletionRoutinesRunBottomUpByTheirInvokeFlags) {
  std::vector<std::string> log;
  Completion middleRoutine = [&](PDEVICE_OBJECT device, PIRP) {
    log.push_back(device == middle_->device ? "middle" : "middle with a wrong device");
    return STATUS_SUCCESS;
  };
  Completion topRoutine = [&](PDEVICE_OBJECT device, PIRP) {
    log.push_back(device == top_->device ? "top" : "top with a wrong device");
    return STATUS_SUCCESS;
  };
  NTSTATUS bottomStatus = STATUS_SUCCESS;
  top_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWith(irp, top_->lower, &topRoutine); };
  // The middle layer only wants to hear about errors.
  middle_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
    return ForwardWith(irp, middle_->lower, &middleRoutine, false, true, false);
  };
  bottom_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
    log.push_back("bottom");
    return Complete(irp, bottomStatus, 0);
  };

  EXPECT_EQ(Send(), STATUS_SUCCESS);
  EXPECT_EQ(log, (std::vector<std::string>{"bottom", "top"}));
  EXPECT_TRUE(Signalled());
  EXPECT_EQ(iosb_.Status, STATUS_SUCCESS);

  log.clear();
  bottomStatus = STATUS_DEVICE_DATA_ERROR;
  EXPECT_EQ(Send(), STATUS_DEVICE_DATA_ERROR);
  EXPECT_EQ(log, (std::vector<std::string>{"bottom", "middle", "top"}));
  EXPECT_EQ(iosb_.Status, STATUS_DEVICE_DATA_ERROR);
}

TEST_F(IrpTest, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  std::vector<std::string> log;
  PIRP parked = nullptr;
  Completion middleRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
    log.push_back("middle");
    parked = irp;
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  Completion topRoutine = [&](PDEVICE_OBJECT, PIRP irp) {
    log.push_back("top sees " + std::to_string(irp->IoStatus.Information));
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
  };
  top_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWith(irp, top_->lower, &topRoutine); };
  middle_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);  // the middle layer finishes the request itself, later
    ForwardWith(irp, middle_->lower, &middleRoutine);
    return STATUS_PENDING;
  };
  bottom_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 5); };

  Send();
  EXPECT_EQ(log, std::vector<std::string>{"middle"});
  EXPECT_FALSE(Signalled());
  ASSERT_EQ(parked, irp_);
  // The owner's location is current again: its parameters survived the walk.
  EXPECT_EQ(IoGetCurrentIrpStackLocation(parked)->DeviceObject, middle_->device);
  EXPECT_EQ(IoGetCurrentIrpStackLocation(parked)->Parameters.DeviceIoControl.IoControlCode, kBufferedCode);
  Complete(parked, STATUS_SUCCESS, 7);
  EXPECT_EQ(log, (std::vector<std::string>{"middle", "top sees 7"}));
  EXPECT_TRUE(Signalled());
  EXPECT_EQ(iosb_.Information, 7u);
}

// The bottom pends and completes from another thread at DISPATCH_LEVEL, the
// way a host controller does.
class PendingTest : public IrpTest {
 protected:
  void PendAtBottom() {
    bottom_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
      IoMarkIrpPending(irp);
      completer_ = TestThread([irp] { host::RunAtDispatchLevel([irp] { Complete(irp, STATUS_SUCCESS, 3); }); });
      return STATUS_PENDING;
    };
  }
  void Finish() {
    if (completer_.joinable()) completer_.join();
  }
  TestThread completer_;
};

TEST_F(PendingTest, PendingReturnedReachesEachRoutineAndTheCaller) {
  std::atomic<int> sawPending{0};
  Completion mark = [&](PDEVICE_OBJECT, PIRP irp) {
    if (irp->PendingReturned) {
      sawPending++;
      IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
  };
  Completion mark2 = mark;
  top_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWith(irp, top_->lower, &mark); };
  middle_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWith(irp, middle_->lower, &mark2); };
  PendAtBottom();
  NTSTATUS status = Send();
  Finish();
  EXPECT_EQ(status, STATUS_PENDING);
  EXPECT_EQ(KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(sawPending.load(), 2);
  EXPECT_EQ(iosb_.Information, 3u);
}

TEST_F(PendingTest, ARoutineThatDropsThePendingMarkIsReported) {
  Completion forgetful = [](PDEVICE_OBJECT, PIRP) { return STATUS_SUCCESS; };
  top_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(top_->lower, irp);
  };
  middle_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) { return ForwardWith(irp, middle_->lower, &forgetful); };
  PendAtBottom();
  Send();
  Finish();
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kCompletionNotMarkedPending));
}

TEST_F(PendingTest, StatusPendingWithoutTheMarkIsReported) {
  bottom_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
    completer_ = TestThread([irp] { Complete(irp, STATUS_SUCCESS); });
    return STATUS_PENDING;  // no IoMarkIrpPending
  };
  PassThrough();
  Send();
  Finish();
  KeWaitForSingleObject(&event_, Executive, KernelMode, FALSE, nullptr);
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kPendingNotMarked));
}

TEST_F(IrpTest, CompletionRulesOfTheVerifier) {
  PassThrough();
  PIRP held = nullptr;
  bottom_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
    held = irp;
    IoMarkIrpPending(irp);
    return STATUS_PENDING;
  };
  Send();
  ASSERT_NE(held, nullptr);
  held->IoStatus.Status = STATUS_PENDING;
  IoCompleteRequest(held, IO_NO_INCREMENT);
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kCompleteWithPending));
  IoSetCancelRoutine(held, [](PDEVICE_OBJECT, PIRP) {});
  Complete(held, STATUS_SUCCESS);
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kCompleteWithCancelRoutine));
  EXPECT_FALSE(Signalled());  // both refused
  IoSetCancelRoutine(held, nullptr);
  Complete(held, STATUS_SUCCESS);
  EXPECT_TRUE(Signalled());
  Complete(held, STATUS_SUCCESS);  // again: the IRP is gone
  EXPECT_TRUE(TakeBugCheck(0x44));
}

TEST_F(IrpTest, ARequestCompletedTwiceIsBugCheck0x44) {
  bottom_->onIrp = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    return Complete(irp, STATUS_SUCCESS);
  };
  Completion keep = [](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; };
  PIRP irp = IoAllocateIrp(middle_->device->StackSize, FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
  IoSetCompletionRoutine(irp, CallCompletion, &keep, TRUE, TRUE, TRUE);
  middle_->onIrp = [](PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Self(device)->lower, irp);
  };
  IoCallDriver(middle_->device, irp);
  EXPECT_TRUE(TakeBugCheck(0x44));
  IoFreeIrp(irp);
}

TEST_F(IrpTest, CallDriverChecks) {
  Completion keep = [](PDEVICE_OBJECT, PIRP) { return STATUS_MORE_PROCESSING_REQUIRED; };
  auto allocate = [&] {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoSetCompletionRoutine(irp, CallCompletion, &keep, TRUE, TRUE, TRUE);
    return irp;
  };
  PIRP irp = allocate();
  IoCallDriver(nullptr, irp);
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kCallNullDevice));
  top_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
    return IoCallDriver(top_->lower, irp);  // no location left below
  };
  IoCallDriver(top_->device, irp);  // a one-location IRP to a three-deep stack
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kOutOfStackLocations));
  // The top returned the refusal without completing the request.
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kNeitherPassedNorCompleted));
  IoFreeIrp(irp);  // the top device still owns it
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kFreeIrpInUse));
  Complete(irp, STATUS_SUCCESS);
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kReturnedStatusDiffers));
  IoFreeIrp(irp);
  IoFreeIrp(irp);
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kFreeNotIrp));

  bottom_->onIrp = [](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);  // and forgets to lower it
    return Complete(irp, STATUS_SUCCESS);
  };
  irp = allocate();
  IoCallDriver(bottom_->device, irp);
  {
    const auto checks = host::BugChecksSoFar();
    ASSERT_FALSE(checks.empty());
    const uint64_t platform[4] = {check::kIrqlChangedInDispatch, reinterpret_cast<uint64_t>(bottom_->device),
                                  PASSIVE_LEVEL, DISPATCH_LEVEL};  // the device, IRQL before, IRQL after
    EXPECT_TRUE(std::equal(platform, platform + 4, checks.back().parameters));
  }
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kIrqlChangedInDispatch));
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  IoFreeIrp(irp);

  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  PIRP built = IoBuildDeviceIoControlRequest(kBufferedCode, middle_->device, nullptr, 0, nullptr, 0, FALSE, &event_,
                                             &iosb_);
  IoFreeIrp(built);  // the I/O manager's to free
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kFreeThreadedIrp));
  Complete(built, STATUS_SUCCESS);  // never sent: no location to complete
  EXPECT_TRUE(TakeBugCheck(0x44));
  EXPECT_EQ(IoCallDriver(middle_->device, built), STATUS_SUCCESS);
  EXPECT_TRUE(Signalled());
}

TEST_F(IrpTest, AnEmptyDispatchEntryAnswersInvalidDeviceRequest) {
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(kBufferedCode, bottom_->device, nullptr, 0, nullptr, 0, FALSE, &event_,
                                           &iosb_);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
  EXPECT_EQ(IoCallDriver(bottom_->device, irp), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(iosb_.Status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(IrpTest, BufferedControlRequestsCarryOneSystemBufferBothWays) {
  unsigned char in[4] = {1, 2, 3, 4};
  unsigned char out[16] = {};
  std::fill(std::begin(out), std::end(out), 0xEE);
  ULONG_PTR reported = 6;
  bottom_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    auto system = static_cast<unsigned char *>(irp->AssociatedIrp.SystemBuffer);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 4u);
    EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 8u);
    EXPECT_EQ(system[3], 4);
    std::fill(system, system + 8, 0x5A);
    return Complete(irp, STATUS_SUCCESS, reported);
  };
  PassThrough();
  Send(kBufferedCode, in, 4, out, 8);
  EXPECT_EQ(iosb_.Information, 6u);
  EXPECT_EQ(out[5], 0x5A);
  EXPECT_EQ(out[6], 0xEE);  // only Information bytes come back

  reported = 12;  // more than the caller's 8
  Send(kBufferedCode, in, 4, out, 8);
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kInformationExceedsBuffer));
  EXPECT_EQ(out[7], 0x5A);
  EXPECT_EQ(out[8], 0xEE);

  // A length for a buffer left out: reported, and nothing is built.
  EXPECT_EQ(Send(kBufferedCode, nullptr, 1, out, 8), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kLengthWithoutBuffer));
  EXPECT_EQ(Send(kBufferedCode, in, 4, nullptr, 1), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kLengthWithoutBuffer));
}

TEST_F(IrpTest, LowResourcesFailAllocationsThatDriversMake) {
  host::lowres::FailNth(1);
  EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
  host::lowres::FailNth(1);
  EXPECT_EQ(Send(), STATUS_INSUFFICIENT_RESOURCES);
  host::lowres::FailNth(1);
  unsigned char buffer[8];
  EXPECT_EQ(IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr), nullptr);
  PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
  host::lowres::FailNth(1);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
  EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
  IoFreeMdl(mdl);
  IoFreeMdl(mdl);
  EXPECT_TRUE(TakeBugCheck(0xC2));
}

// A queue with a cancel routine against a completer on another thread: every
// request finishes exactly once, cancelled or completed.
TEST_F(IrpTest, CancelRacingCompletionLosesAndDoublesNothing) {
  constexpr int kRounds = 3000;
  std::atomic<PIRP> queued{nullptr};
  bottom_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
      IoReleaseCancelSpinLock(irp->CancelIrql);
      Complete(irp, STATUS_CANCELLED);
    });
    queued = irp;
    return STATUS_PENDING;
  };
  std::atomic<int> routineCalls{0};
  Completion keep = [&](PDEVICE_OBJECT, PIRP) {
    routineCalls++;
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  int cancelled = 0, completed = 0;
  for (int round = 0; round < kRounds; ++round) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, CallCompletion, &keep, TRUE, TRUE, TRUE);
    ASSERT_EQ(IoCallDriver(bottom_->device, irp), STATUS_PENDING);
    TestThread completer([&] {
      PIRP mine = queued.exchange(nullptr);
      host::RunAtDispatchLevel([&] {
        if (IoSetCancelRoutine(mine, nullptr) != nullptr) Complete(mine, STATUS_SUCCESS, 1);
      });
    });
    IoCancelIrp(irp);
    completer.join();
    ASSERT_EQ(routineCalls.load(), round + 1);
    (irp->IoStatus.Status == STATUS_CANCELLED ? cancelled : completed)++;
    IoFreeIrp(irp);
  }
  EXPECT_EQ(cancelled + completed, kRounds);
}

}  // namespace

namespace {

// A request the I/O manager built, held at the top by its creator's routine
// and finished by a second completion: the pattern of a synchronous request
// with a time-out. The status block and event are written only then.
TEST_F(IrpTest, ABuiltRequestHeldAtTheTopIsFinishedByASecondCompletion) {
  PassThrough();
  bottom_->onIrp = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_UNSUCCESSFUL); };
  int calls = 0;
  Completion hold = [&](PDEVICE_OBJECT, PIRP) {
    ++calls;
    return STATUS_MORE_PROCESSING_REQUIRED;
  };
  KeInitializeEvent(&event_, NotificationEvent, FALSE);
  iosb_ = {};
  irp_ = IoBuildDeviceIoControlRequest(kBufferedCode, top_->device, nullptr, 0, nullptr, 0, TRUE, &event_, &iosb_);
  ASSERT_NE(irp_, nullptr);
  IoSetCompletionRoutine(irp_, CallCompletion, &hold, TRUE, TRUE, TRUE);
  EXPECT_EQ(IoCallDriver(top_->device, irp_), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(Signalled());
  EXPECT_EQ(irp_->IoStatus.Status, STATUS_UNSUCCESSFUL);
  IoCompleteRequest(irp_, IO_NO_INCREMENT);
  EXPECT_TRUE(Signalled());
  EXPECT_EQ(iosb_.Status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(calls, 1);
}

}  // namespace
