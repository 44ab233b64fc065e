// Many life cycles of several bridges while other threads keep printing,
// reading and asking the device-control interface: every request finishes
// exactly once, nothing hangs, nothing leaks.
#include <gtest/gtest.h>

#include <atomic>

#include "host/kernel/scheduler.h"
#include "tests/lifecycle/lifecycle_support.h"
#include "tests/support/seeds.h"
#include "tests/support/test_thread.h"

namespace lifecycle {
namespace {

constexpr int kBridges = 3;
constexpr int kCycles = 100;  // of every bridge: plug, start, print, restart, remove

struct IoCounts {
  std::atomic<uint64_t> requests{0};
  std::atomic<uint64_t> unfinished{0};  // returned while still pending: must stay 0
  std::atomic<uint64_t> printed{0};     // writes that went through
  std::atomic<uint64_t> opened{0};
  KEVENT openedOne;  // set at every open
  IoCounts() { KeInitializeEvent(&openedOne, NotificationEvent, FALSE); }
};

// One user of a port: opens it whenever it exists and uses it until it fails.
void UsePort(const std::string &path, const std::atomic<bool> &stop, IoCounts &counts) {
  uint8_t page[512];
  for (size_t i = 0; i < sizeof page; ++i) page[i] = uint8_t(i);
  uint8_t reply[64];
  auto note = [&](const host::IoResult &result) {
    counts.requests++;
    if (result.status == STATUS_PENDING) counts.unfinished++;
    return NT_SUCCESS(result.status);
  };
  while (!stop.load()) {
    host::DeviceHandle port;
    if (!NT_SUCCESS(port.Open(path))) {
      // Until the port exists again. A wait, not a spin: a spinning thread
      // would keep model time (and every time-out) from moving.
      host::clock::SleepFor(host::sched::kUnitsPerMillisecond);
      continue;
    }
    counts.opened++;
    KeSetEvent(&counts.openedOne, IO_NO_INCREMENT, FALSE);
    for (int round = 0; round < 8 && !stop.load(); ++round) {
      bool alive = note(port.Write(page, sizeof page));
      if (alive) counts.printed++;
      alive = note(port.Read(reply, sizeof reply)) && alive;
      alive = note(port.DeviceControl(IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, nullptr, 0, reply, 18)) && alive;
      auto pending = port.StartWrite(page, sizeof page);
      pending->Cancel();
      note(pending->Await());
      if (!alive) break;
    }
    port.Close();
  }
}

class StressTest : public LifecycleTest {
 protected:
  // `cycles` of plug, start, restart, remove or unplug of every bridge, with
  // a user on every port; then checks that every request finished once and
  // nothing is left. Returns the requests and the writes that went through.
  std::pair<uint64_t, uint64_t> LifeCycles(host::Machine &machine, int cycles) {
    std::atomic<bool> stop{false};
    IoCounts counts;
    std::vector<TestThread> users;
    for (int n = 1; n <= kBridges; ++n) {
      users.emplace_back(UsePort, "\\\\.\\NorvUSB" + std::to_string(n), std::cref(stop), std::ref(counts));
    }
    int serial = 0;
    uint64_t started = 0;
    for (int cycle = 0; cycle < cycles; ++cycle) started += OneCycle(machine, cycle, serial, counts);
    stop = true;
    for (auto &user : users) user.join();
    machine.WaitIdle();

    EXPECT_EQ(counts.unfinished.load(), 0u);
    EXPECT_GE(started, uint64_t(cycles));
    // Every bridge is gone with its names.
    for (int n = 1; n <= kBridges; ++n)
      EXPECT_EQ(host::LookupDevice(u"\\Device\\NorvUSB" + std::u16string(1, char16_t(u'0' + n))), nullptr);
    EXPECT_EQ(DriverGlobals.PortBitmap[0], 0u);
    return {counts.requests.load(), counts.printed.load()};
  }

  // One cycle of every bridge; returns how many started.
  uint64_t OneCycle(host::Machine &machine, int cycle, int &serial, IoCounts &counts) {
    uint64_t started = 0;
    std::vector<size_t> plugged;
    for (int n = 0; n < kBridges; ++n) {
      host::BridgePlan plan = PlanWith(kAcmeDeviceId, ++serial);
      plan.bridge.emptyRead = host::hardware::EmptyRead::ZeroLengthPacket;
      plugged.push_back(machine.Plug(plan));
    }
    for (size_t index : plugged) {
      auto node = BridgeNode(index);
      if (!node || node->state != host::pnp::DeviceState::Started) continue;
      started++;
      if (cycle % 2 == 0) host::pnp::RestartDevice(node->instancePath);
    }
    // A user gets at a port before the bridges go, however the host
    // schedules its threads (a model second at most).
    KeClearEvent(&counts.openedOne);
    LARGE_INTEGER second{.QuadPart = -10'000'000};
    KeWaitForSingleObject(&counts.openedOne, Executive, KernelMode, FALSE, &second);
    // Half the bridges leave in order, the others are pulled out.
    for (size_t i = 0; i < plugged.size(); ++i) {
      size_t index = plugged[(i + cycle) % plugged.size()];
      if (i % 2 == 0) {
        if (auto node = BridgeNode(index)) host::pnp::RemoveDevice(node->instancePath);
      }
      machine.Unplug(index);
    }
    return started;
  }
};

TEST_F(StressTest, LifeCyclesOfSeveralBridgesUnderIo) {
  const auto [requests, printed] = LifeCycles(Boot(), kCycles);
  EXPECT_GT(requests, 0u);
  EXPECT_GT(printed, 0u);
}

// The same, a cycle per seed: the seeded scheduler tries other interleavings
// of plug, remove, surprise removal and the users' requests each time.
TEST_F(StressTest, SeededLifeCyclesOfSeveralBridgesUnderIo) {
  uint64_t requests = 0;
  ForEachSeed([&](uint64_t seed) {
    StartRun(seed);
    requests += LifeCycles(Boot(), 2).first;
    EndRun();
  });
  EXPECT_GT(requests, 0u);  // some schedules let the users in while a bridge was there
}

}  // namespace
}  // namespace lifecycle
