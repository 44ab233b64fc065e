// Removal racing I/O under the seeded scheduler: each seed a fresh machine
// whose threads run one at a time and switch at kernel calls as the seed
// decides. A failing seed prints the command that replays it.
#include <gtest/gtest.h>

#include <atomic>

#include "host/kernel/scheduler.h"
#include "tests/lifecycle/lifecycle_support.h"
#include "tests/support/seeds.h"
#include "tests/support/test_thread.h"

namespace lifecycle {
namespace {

using host::usb::RequestKind;

class SeededRaceTest : public LifecycleTest {
 protected:
  bool Finished(NTSTATUS status) { return status != STATUS_PENDING; }

  // A fresh machine for this seed with one bridge plugged in and its port open.
  host::Machine &StartWithOpenPort(uint64_t seed, host::DeviceHandle &port) {
    StartRun(seed);
    host::Machine &machine = Boot();
    machine.Plug(PlanWith(kAcmeDeviceId));
    EXPECT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
    return machine;
  }
};

// A remove while a user writes and reads, as only the Windows 98 generation
// sends one: at once after an unplug, with the handle open. Every request
// finishes and the bridge's names go; the inert device object stays, as
// that generation defers no deletion.
TEST_F(SeededRaceTest, RemoveDuringIo) {
  ForEachSeed([&](uint64_t seed) {
    host::DeviceHandle port;
    kernelOptions_.wdmVersion = 0x0100;
    host::Machine &machine = StartWithOpenPort(seed, port);
    ASSERT_TRUE(port.IsOpen());
    PDEVICE_OBJECT fdo = Fdo(0);
    std::atomic<int> unfinished{0};
    TestThread user([&] {
      uint8_t page[512] = {1, 2, 3};
      uint8_t reply[64];
      for (int i = 0; i < 4; ++i) {
        if (!Finished(port.Write(page, sizeof page).status)) ++unfinished;
        auto read = port.StartRead(reply, sizeof reply);
        read->Cancel();
        if (!Finished(read->Await().status)) ++unfinished;
      }
    });
    machine.Unplug(0);
    user.join();
    EXPECT_EQ(unfinished.load(), 0);
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    machine.WaitIdle();
    EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), fdo);
    EXPECT_FALSE(LinkExists("NorvUSB1"));
    EXPECT_EQ(DriverGlobals.PortBitmap[0], 0u);
    IoDeleteDevice(fdo);  // what that system never does; the kernel's leak check wants it gone
    EndRun();
  });
}

// The bridge pulled out while a read waits for the printer and a write is on
// its way: both end with a failure, and the bridge goes at the last close.
TEST_F(SeededRaceTest, SurpriseRemovalWithAPendingRead) {
  ForEachSeed([&](uint64_t seed) {
    host::DeviceHandle port;
    host::Machine &machine = StartWithOpenPort(seed, port);
    ASSERT_TRUE(port.IsOpen());
    uint8_t buffer[64];
    auto read = port.StartRead(buffer, sizeof buffer);  // the printer has nothing to say
    TestThread puller([&] { machine.Unplug(0); });
    const host::IoResult write = port.Write(buffer, sizeof buffer);
    puller.join();
    ASSERT_TRUE(read->Wait(-1));
    EXPECT_FALSE(NT_SUCCESS(read->Result().status));
    EXPECT_NE(write.status, STATUS_PENDING);
    EXPECT_FALSE(NT_SUCCESS(port.Write(buffer, sizeof buffer).status));
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    machine.WaitIdle();
    EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB1"), nullptr);
    EXPECT_EQ(DriverGlobals.NameCounter, 0);
    EndRun();
  });
}

// An open racing a remove of the Windows 98 generation, which comes at once
// after an unplug: the open either comes first, and remove waits for it, or
// is refused. Counted only after the look at the removed flag, a late open
// would be let in after remove had freed the bridge's resources, and its
// bounce buffer would be lost. The window is narrow: each seed tries three
// machines.
TEST_F(SeededRaceTest, OpenDuringRemove) {
  ForEachSeed([&](uint64_t seed) {
    for (uint64_t attempt = 0; attempt < 3 && !HasFailure(); ++attempt) {
      kernelOptions_.wdmVersion = 0x0100;
      StartRun(seed * 3 + attempt);
      host::Machine &machine = Boot();
      machine.Plug(PlanWith(kAcmeDeviceId));
      PDEVICE_OBJECT fdo = Fdo(0);
      host::DeviceHandle port;
      TestThread opener([&] { port.Open(u"\\Device\\NorvUSB1"); });
      machine.Unplug(0);
      opener.join();
      if (port.IsOpen()) {
        EXPECT_EQ(port.Close(), STATUS_SUCCESS);
      }
      machine.WaitIdle();
      EXPECT_EQ(DriverGlobals.PortBitmap[0], 0u);
      // A create still on its way at the remove counts as a handle there, and
      // that generation keeps the device object; the verifier, which knows
      // only the later generations' rule, names it.
      TakeBugCheck(0xC9, 0x21E);
      if (host::LookupDevice(u"\\Device\\NorvUSB1") == fdo) IoDeleteDevice(fdo);
      EndRun();
    }
  });
}

// Two creates at once, as Wine sends them (it keeps no device exclusive):
// exactly one becomes the port's owner.
TEST_F(SeededRaceTest, TwoCreatesAtOnceMakeOneOwner) {
  ForEachSeed([&](uint64_t seed) {
    StartRun(seed);
    host::Machine &machine = Boot();
    machine.Plug(PlanWith(kAcmeDeviceId));
    FILE_OBJECT files[2] = {};
    NTSTATUS created[2] = {STATUS_PENDING, STATUS_PENDING};
    auto create = [&](int i) {
      IO_STACK_LOCATION parameters{};
      parameters.FileObject = &files[i];
      SentIrp sent = Send(Fdo(0), IRP_MJ_CREATE, 0, parameters);
      EXPECT_TRUE(sent.Wait());
      created[i] = sent.Status();
    };
    TestThread other([&] { create(1); });
    create(0);
    other.join();
    EXPECT_EQ(int(created[0] == STATUS_SUCCESS) + int(created[1] == STATUS_SUCCESS), 1);
    for (FILE_OBJECT &file : files) {
      IO_STACK_LOCATION parameters{};
      parameters.FileObject = &file;
      EXPECT_TRUE(Send(Fdo(0), IRP_MJ_CLOSE, 0, parameters).Wait());
    }
    EXPECT_EQ(Extension(0)->Opened, PortFree);
    EXPECT_EQ(Extension(0)->TransferBuffer, nullptr);
    EndRun();
  });
}

// Wine delivers a close while the handle's write is still on its way into
// the driver. The write is refused, or goes down and is cancelled by the
// close (its record complete before the close can see it); what it reports
// is what reached the printer, and the close frees the bounce buffer only
// after the write let go of it.
TEST_F(SeededRaceTest, AWineCloseRacingAWriteOnItsWay) {
  ForEachSeed([&](uint64_t seed) {
    StartRun(seed);
    host::Machine &machine = Boot();
    machine.Plug(PlanWith(kAcmeDeviceId));
    host::OpenOptions wine;
    wine.asWine = true;
    host::DeviceHandle port;
    ASSERT_EQ(port.Open("\\\\.\\NorvUSB1", wine), STATUS_SUCCESS);
    uint8_t page[512];
    for (size_t i = 0; i < sizeof page; ++i) page[i] = uint8_t(i);
    host::IoResult written{STATUS_PENDING, 0};
    TestThread writer([&] { written = port.Write(page, sizeof page); });
    IO_STACK_LOCATION close{};
    close.FileObject = port.FileObject();
    SentIrp closed = Send(Fdo(0), IRP_MJ_CLOSE, 0, close);
    writer.join();
    ASSERT_TRUE(closed.Wait());
    EXPECT_EQ(closed.Status(), STATUS_SUCCESS);
    ASSERT_NE(written.status, STATUS_PENDING);
    const size_t reported = NT_SUCCESS(written.status) ? written.information : 0;
    EXPECT_TRUE(machine.Printer(0).WaitForReceived(reported, std::chrono::seconds(5)));
    EXPECT_EQ(machine.Printer(0).Received(), std::vector<uint8_t>(page, page + reported));
    EXPECT_EQ(Extension(0)->TransferBuffer, nullptr);
    EXPECT_EQ(Extension(0)->TransferBusy, 0);
    EXPECT_EQ(port.Close(), STATUS_SUCCESS);
    EndRun();
  });
}

}  // namespace
}  // namespace lifecycle
