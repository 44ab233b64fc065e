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

}  // namespace
}  // namespace lifecycle
