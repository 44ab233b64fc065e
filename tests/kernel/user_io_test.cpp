// The user-mode I/O API: opens, direct and buffered transfers, device control,
// overlapped requests with time-outs and cancel, close.
#include <mutex>
#include <thread>

#include "host/io/io_internal.h"
#include "host/io/user_io.h"
#include "tests/support/test_thread.h"
#include "tests/kernel/io_test_driver.h"
#include "tests/support/kernel_fixture.h"

namespace {

using namespace iotest;
namespace check = host::io::check;

constexpr int64_t kSecond = 10'000'000;
constexpr ULONG kBufferedCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class UserIoTest : public KernelFixture {
 protected:
  void SetUp() override {
    KernelFixture::SetUp();
    driver_ = std::make_unique<TestDriver>();
    pdo_ = &driver_->Create();
    port_ = &driver_->Create(u"\\Device\\UioPort0", true, pdo_);
    UNICODE_STRING link = Counted(u"\\DosDevices\\UioPort1"), name = Counted(u"\\Device\\UioPort0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    port_->onIrp = [this](PDEVICE_OBJECT, PIRP irp) {
      PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
      {
        std::lock_guard lock(logMutex_);  // requests arrive from many threads
        log_.push_back(sp->MajorFunction);
      }
      return handler_ ? handler_(irp) : Complete(irp, STATUS_SUCCESS);
    };
  }
  void TearDown() override {
    driver_.reset();
    KernelFixture::TearDown();
  }

  std::unique_ptr<TestDriver> driver_;
  TestDevice *pdo_ = nullptr, *port_ = nullptr;
  std::mutex logMutex_;
  std::vector<UCHAR> log_;
  std::function<NTSTATUS(PIRP)> handler_;
};

TEST_F(UserIoTest, OpenIsExclusiveAndCountsFileObjectsUntilClose) {
  PFILE_OBJECT seen = nullptr;
  handler_ = [&](PIRP irp) {
    seen = IoGetCurrentIrpStackLocation(irp)->FileObject;
    return Complete(irp, STATUS_SUCCESS);
  };
  host::DeviceHandle first, second;
  ASSERT_EQ(first.Open(u"\\\\.\\UioPort1"), STATUS_SUCCESS);
  EXPECT_EQ(seen, first.FileObject());
  EXPECT_EQ(seen->DeviceObject, port_->device);
  EXPECT_EQ(port_->device->ReferenceCount, 1);
  EXPECT_EQ(second.Open("\\Device\\UioPort0"), STATUS_ACCESS_DENIED);
  EXPECT_EQ(second.Open("\\\\.\\NoSuchPort"), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(first.Close(), STATUS_SUCCESS);
  EXPECT_EQ(log_, (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(port_->device->ReferenceCount, 0);
  EXPECT_EQ(first.Close(), STATUS_INVALID_HANDLE);
  EXPECT_EQ(first.Write("x", 1).status, STATUS_INVALID_HANDLE);

  // A refused create leaves nothing open and gets no close.
  handler_ = [](PIRP irp) { return Complete(irp, STATUS_OBJECT_NAME_COLLISION); };
  log_.clear();
  EXPECT_EQ(second.Open("\\Device\\UioPort0\\sub"), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(port_->device->ReferenceCount, 0);
  EXPECT_EQ(log_, std::vector<UCHAR>{IRP_MJ_CREATE});
}

TEST_F(UserIoTest, WritesAndReadsUseAnMdlOverTheCallersBuffer) {
  std::string received;
  const void *mapped = nullptr;
  handler_ = [&](PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction != IRP_MJ_WRITE && sp->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
    EXPECT_EQ(irp->MdlAddress->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA, 0);  // the driver maps it
    auto data = static_cast<char *>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
    mapped = data;
    ULONG length = sp->Parameters.Write.Length;
    EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), length);
    if (sp->MajorFunction == IRP_MJ_WRITE)
      received.assign(data, length);
    else
      std::memcpy(data, "back", 4);
    return Complete(irp, STATUS_SUCCESS, sp->MajorFunction == IRP_MJ_WRITE ? length : 4);
  };
  host::OpenOptions options;
  options.mapDirectBuffers = false;
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(u"\\??\\UioPort1", options), STATUS_SUCCESS);
  const char text[] = "print me";
  host::IoResult w = port.Write(text, 8);
  EXPECT_EQ(w.status, STATUS_SUCCESS);
  EXPECT_EQ(w.information, 8u);
  EXPECT_EQ(received, "print me");
  EXPECT_EQ(mapped, text);
  char buffer[16] = {};
  EXPECT_EQ(port.Read(buffer, sizeof buffer).information, 4u);
  EXPECT_EQ(std::string(buffer), "back");
}

TEST_F(UserIoTest, BufferedControlNeverCopiesMoreThanTheOutputLength) {
  handler_ = [](PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Complete(irp, STATUS_SUCCESS);
    ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
    ULONG out = sp->Parameters.DeviceIoControl.OutputBufferLength;
    auto system = static_cast<unsigned char *>(irp->AssociatedIrp.SystemBuffer);
    unsigned char first = system[0];
    std::fill(system, system + std::max(in, out), static_cast<unsigned char>(first + 1));
    return Complete(irp, STATUS_SUCCESS, std::max(in, out));  // claims the whole buffer
  };
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(u"\\Device\\UioPort0"), STATUS_SUCCESS);
  unsigned char in[32] = {7};
  unsigned char out[32] = {};
  host::IoResult r = port.DeviceControl(kBufferedCode, in, 32, out, 32);
  EXPECT_EQ(r.information, 32u);
  EXPECT_EQ(out[31], 8);

  std::fill(std::begin(out), std::end(out), 0xEE);
  r = port.DeviceControl(kBufferedCode, in, 32, out, 4);  // the driver reports 32 for a 4-byte output
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kInformationExceedsBuffer));
  EXPECT_EQ(out[3], 8);
  EXPECT_EQ(out[4], 0xEE);
}

// The driver queues reads with a cancel routine and never completes them.
class QueueingTest : public UserIoTest {
 protected:
  void QueueReads(bool cancellable) {
    handler_ = [this, cancellable](PIRP irp) {
      if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_READ) return Complete(irp, STATUS_SUCCESS);
      IoMarkIrpPending(irp);
      if (cancellable) {
        IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP irp) {
          IoReleaseCancelSpinLock(irp->CancelIrql);
          Complete(irp, STATUS_CANCELLED);
        });
      } else {
        stuck_ = irp;
      }
      return STATUS_PENDING;
    };
  }
  PIRP stuck_ = nullptr;
};

TEST_F(QueueingTest, AnOverlappedReadTimesOutThenCancels) {
  QueueReads(true);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(u"\\\\.\\UioPort1"), STATUS_SUCCESS);
  char buffer[8];
  auto read = port.StartRead(buffer, sizeof buffer);
  EXPECT_FALSE(read->Wait(2 * kSecond));
  EXPECT_EQ(read->Result().status, STATUS_PENDING);
  EXPECT_TRUE(read->Cancel());
  EXPECT_TRUE(read->Wait(-1));
  EXPECT_EQ(read->Result().status, STATUS_CANCELLED);
  EXPECT_FALSE(read->Cancel());  // finished: nothing left to cancel
}

TEST_F(QueueingTest, RequestsFromManyThreadsAllFinishAndCloseWaitsForThem) {
  QueueReads(true);
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(u"\\\\.\\UioPort1"), STATUS_SUCCESS);
  std::vector<std::shared_ptr<host::PendingIo>> reads(16);
  char buffers[16][4];
  std::vector<TestThread> threads;
  for (int i = 0; i < 16; ++i) threads.emplace_back([&, i] { reads[i] = port.StartRead(buffers[i], 4); });
  for (auto &t : threads) t.join();
  TestThread canceller([&] {
    for (auto &r : reads) r->Cancel();
  });
  canceller.join();
  for (auto &r : reads) EXPECT_EQ(r->Await().status, STATUS_CANCELLED);
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
}

TEST_F(QueueingTest, CloseCancelsThenReportsARequestNobodyFinishes) {
  QueueReads(false);
  host::OpenOptions options;
  options.stuckRequestTimeout = kSecond;
  PIRP stuck = nullptr;
  {
    host::DeviceHandle port;
    ASSERT_EQ(port.Open(u"\\\\.\\UioPort1", options), STATUS_SUCCESS);
    char buffer[8];
    auto read = port.StartRead(buffer, sizeof buffer);
    stuck = stuck_;
    EXPECT_EQ(port.Close(), STATUS_IO_TIMEOUT);  // no hang
    EXPECT_TRUE(TakeBugCheck(0xC9, check::kUserRequestStuck));
    Complete(stuck, STATUS_SUCCESS);  // late: the request still finishes safely
    EXPECT_TRUE(read->Done());
  }
  // The file object stayed alive for the request and shows at shutdown.
  driver_.reset();
  ShutDownKernel();
  EXPECT_TRUE(TakeBugCheck(0xCE));
  TakeBugChecks();
}

TEST_F(UserIoTest, AHandleOnADeletedDeviceStillClosesCleanly) {
  host::DeviceHandle port;
  ASSERT_EQ(port.Open(u"\\\\.\\UioPort1"), STATUS_SUCCESS);
  driver_->Delete(*port_);
  EXPECT_EQ(host::LookupDevice(u"\\Device\\UioPort0"), nullptr);
  EXPECT_EQ(host::detail::IoManagerLeaks().size(), 3u);  // the PDO, the deleted port, the file object
  log_.clear();
  EXPECT_EQ(port.Close(), STATUS_SUCCESS);
  EXPECT_EQ(log_, (std::vector<UCHAR>{IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
  EXPECT_EQ(host::detail::IoManagerLeaks().size(), 1u);  // the storage went with the file object
}

}  // namespace
