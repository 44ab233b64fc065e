// Whole Plug and Play cycles of eight bridges under the seeded scheduler, a
// fresh machine and seed per cycle, while on every port a user prints,
// reads and asks the device-control interface. Each cycle:
// plug and start, I/O, stop and restart (a resource rebalance), system sleep
// and resume, orderly removal of half the bridges (their handles closed
// first, as the platform requires) and surprise removal of the other half
// (handles open), replug of all eight and I/O again. Checked: no request
// stays pending, no verifier violation or leak at shutdown, and every
// printer received the bytes of the writes to it that succeeded, in order,
// and nothing else but part of a write that failed or was cancelled.
//
// A few cycles run in the suite; NORVUSB_SEEDS=1000 runs the soak's
// thousand, and a failing cycle prints the command that replays its seed.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <set>

#include "host/kernel/scheduler.h"
#include "tests/lifecycle/lifecycle_support.h"
#include "tests/support/seeds.h"
#include "tests/support/test_thread.h"

namespace lifecycle {
namespace {

constexpr int kPorts = 8;
constexpr uint64_t kCyclesInSuite = 3;
constexpr int kUsesPerPhase = 2;
constexpr int64_t kMillisecond = host::sched::kUnitsPerMillisecond;

// What the users wrote, by the machine's bridge index, in order: each
// write's bytes, the count it reports as moved, and whether it succeeded.
struct Write {
  std::vector<uint8_t> page;
  size_t moved;
  bool succeeded;
};
struct Sent {
  std::mutex mutex;
  std::map<size_t, std::vector<Write>> writes;
  void Add(size_t bridge, const uint8_t *data, size_t size, const host::IoResult &result) {
    std::lock_guard lock(mutex);
    writes[bridge].push_back({{data, data + size}, result.information, NT_SUCCESS(result.status)});
  }
};

// Whether `received` is the writes' bytes in order: all a succeeded write
// reports as moved, and for a failed or cancelled one what it reports and
// possibly more of its page (a failed transfer reports nothing of what had
// already moved). Every place in `received` each write may end at is
// followed, so that no guess about a failed write's share can mislead.
bool ReceivedAsSent(const std::vector<uint8_t> &received, const std::vector<Write> &writes) {
  std::set<size_t> ends = {0};
  for (const Write &write : writes) {
    std::set<size_t> next;
    for (size_t at : ends) {
      size_t same = 0;  // how much of the page `received` holds from `at`
      while (same < write.page.size() && at + same < received.size() && received[at + same] == write.page[same]) ++same;
      if (same < write.moved) continue;
      if (write.succeeded) {
        next.insert(at + write.moved);
      } else {
        for (size_t length = write.moved; length <= same; ++length) next.insert(at + length);
      }
    }
    ends = std::move(next);
  }
  return ends.count(received.size()) != 0;
}

struct PortState {
  std::atomic<bool> keepClosed{false};  // the users close their handles and open none
  std::atomic<int> handles{0};
  std::atomic<uint64_t> rounds{0};  // writes that went through
};

struct Shared {
  std::array<PortState, kPorts> ports;
  std::atomic<bool> stop{false};
  std::atomic<int> phase{0};  // a new phase lets every user run again
  std::atomic<uint64_t> unfinished{0};
  Sent sent;
};

std::string PortPath(int port) { return "\\\\.\\NorvUSB" + std::to_string(port + 1); }

// Each printer's device ID names the machine's index of its bridge, so that a
// user learns where its bytes go from the handle it holds.
std::string DeviceIdFor(size_t index) { return "MFG:ACME;MDL:LX-100;SN:" + std::to_string(index) + ";"; }

std::optional<size_t> BridgeBehind(host::DeviceHandle &handle) {
  char reply[128] = {};
  const host::IoResult result = handle.DeviceControl(IOCTL_BRIDGE_GET_DEVICE_ID, nullptr, 0, reply, sizeof reply - 1);
  if (!NT_SUCCESS(result.status)) return std::nullopt;
  const std::string id(reply + 2, result.information >= 2 ? result.information - 2 : 0);
  const size_t at = id.find("SN:");
  if (at == std::string::npos) return std::nullopt;
  return std::strtoul(id.c_str() + at + 3, nullptr, 10);
}

bool Note(Shared &shared, const host::IoResult &result) {
  if (result.status == STATUS_PENDING) shared.unfinished++;
  return NT_SUCCESS(result.status);
}

// Opens the port whenever it exists and may be opened; runs `use` on the
// handle until it returns false or the port is to be closed.
// Opens the port whenever it exists and may be opened, and runs `use` on
// the handle a few times in each phase of the cycle (a user that ran all the
// time would leave the seeded scheduler little time for the transitions),
// until it returns false or the port is to be closed. The handle stays open
// between phases, so that a bridge can be pulled out from under it.
void WithPort(Shared &shared, int port, const std::function<bool(host::DeviceHandle &)> &use) {
  PortState &state = shared.ports[port];
  int phase = -1;
  int uses = 0;
  auto mayUse = [&] {
    if (phase != shared.phase) phase = shared.phase, uses = 0;
    return uses < kUsesPerPhase;
  };
  while (!shared.stop) {
    host::DeviceHandle handle;
    // Waits, not spins, so that model time moves.
    if (state.keepClosed || !NT_SUCCESS(handle.Open(PortPath(port)))) {
      host::clock::SleepFor(kMillisecond);
      continue;
    }
    state.handles++;
    while (!shared.stop && !state.keepClosed) {
      if (!mayUse()) {
        host::clock::SleepFor(kMillisecond);
        continue;
      }
      ++uses;
      if (!use(handle)) break;
    }
    handle.Close();
    state.handles--;
  }
}

// The port is exclusive, so one user per port prints, cancels a print,
// reads and asks the device-control interface, on one handle.
void User(Shared &shared, int port) {
  uint8_t page[300];
  uint64_t serial = 0;
  WithPort(shared, port, [&](host::DeviceHandle &handle) {
    const std::optional<size_t> bridge = BridgeBehind(handle);
    if (!bridge) return false;
    for (size_t i = 0; i < sizeof page; ++i) page[i] = uint8_t((serial * 7 + i) & 0x7F);
    ++serial;
    const host::IoResult written = handle.Write(page, sizeof page);
    shared.sent.Add(*bridge, page, sizeof page, written);
    // A write cancelled at once, of bytes no other page holds.
    uint8_t other[sizeof page];
    std::fill(std::begin(other), std::end(other), 0xFF);
    auto cancelled = handle.StartWrite(other, sizeof other);
    cancelled->Cancel();
    const host::IoResult result = cancelled->Await();
    shared.sent.Add(*bridge, other, sizeof other, result);
    Note(shared, result);
    bool alive = Note(shared, written);
    if (alive) shared.ports[port].rounds++;
    uint8_t reply[64];
    alive = Note(shared, handle.Read(reply, sizeof reply)) && alive;
    alive = Note(shared, handle.DeviceControl(IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, nullptr, 0, reply, 18)) && alive;
    alive = Note(shared, handle.DeviceControl(IOCTL_BRIDGE_VENDOR_6, nullptr, 0, reply, 8)) && alive;
    return alive;
  });
}

class PnpCyclesTest : public LifecycleTest {
 protected:
  // A new phase; then until every port's user got `more` writes through,
  // or a tenth of a model second.
  static void AwaitWrites(Shared &shared, uint64_t more) {
    shared.phase++;
    std::array<uint64_t, kPorts> from;
    for (int p = 0; p < kPorts; ++p) from[p] = shared.ports[p].rounds;
    for (int waited = 0; waited < 100; ++waited) {
      bool all = true;
      for (int p = 0; p < kPorts; ++p) all = all && shared.ports[p].rounds >= from[p] + more;
      if (all) return;
      host::clock::SleepFor(kMillisecond);
    }
  }

  static void AwaitClosed(Shared &shared, int port) {
    shared.ports[port].keepClosed = true;
    while (shared.ports[port].handles > 0) host::clock::SleepFor(kMillisecond);
  }

  void PlugAll(host::Machine &machine, Shared &shared) {
    for (int p = 0; p < kPorts; ++p) {
      host::BridgePlan plan = PlanWith(DeviceIdFor(machine.BridgeCount()), p + 1);
      plan.bridge.emptyRead = host::hardware::EmptyRead::ZeroLengthPacket;
      machine.Plug(plan);
    }
    for (auto &port : shared.ports) port.keepClosed = false;
  }

  void OneCycle() {
    host::Machine &machine = Boot();
    Shared shared;
    std::vector<TestThread> users;
    for (int p = 0; p < kPorts; ++p) users.emplace_back(User, std::ref(shared), p);
    PlugAll(machine, shared);
    AwaitWrites(shared, 1);
    shared.phase++;  // I/O while the bridges restart
    for (size_t b = 0; b < kPorts; ++b) {
      // A bridge whose port is open at that moment refuses the stop.
      const NTSTATUS restarted = host::pnp::RestartDevice(BridgeNode(b)->instancePath);
      EXPECT_TRUE(restarted == STATUS_SUCCESS || restarted == STATUS_DEVICE_BUSY) << "restart " << b;
    }
    shared.phase++;  // and while the system sleeps and wakes
    EXPECT_EQ(host::pnp::SetSystemPower(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(host::pnp::SetSystemPower(PowerSystemWorking), STATUS_SUCCESS);
    AwaitWrites(shared, 1);
    shared.phase++;  // and while the bridges go
    for (size_t b = 0; b < kPorts; ++b) {
      if (b % 2 == 0) {
        AwaitClosed(shared, int(b));  // the port's name is NorvUSB<b+1> for the first eight
        EXPECT_EQ(host::pnp::RemoveDevice(BridgeNode(b)->instancePath), STATUS_SUCCESS) << "remove " << b;
      }
      machine.Unplug(b);
    }
    for (int p = 0; p < kPorts; ++p) AwaitClosed(shared, p);
    PlugAll(machine, shared);
    AwaitWrites(shared, 1);
    shared.stop = true;
    for (auto &user : users) user.join();
    machine.WaitIdle();

    EXPECT_EQ(shared.unfinished.load(), 0u);
    for (size_t b = 0; b < machine.BridgeCount(); ++b) {
      const std::vector<uint8_t> received = machine.Printer(b).Received();
      const auto &writes = shared.sent.writes[b];
      EXPECT_TRUE(std::any_of(writes.begin(), writes.end(), [](const Write &w) { return w.succeeded; }))
          << "no write reached printer " << b;
      EXPECT_TRUE(ReceivedAsSent(received, shared.sent.writes[b]))
          << "printer " << b << " received " << received.size() << " bytes, not what its " << shared.sent.writes[b].size()
          << " writes moved";
    }
  }
};

TEST_F(PnpCyclesTest, EightBridgesThroughEveryTransitionUnderIo) {
  const bool soak = std::getenv("NORVUSB_SEEDS") != nullptr || std::getenv("NORVUSB_SEED") != nullptr;
  uint64_t cycles = 0;
  auto cycle = [&](uint64_t seed) {
    StartRun(seed);
    OneCycle();
    EndRun();
    ++cycles;
  };
  if (soak) {
    ForEachSeed(cycle);
  } else {
    for (uint64_t seed = 1; seed <= kCyclesInSuite && !HasFailure(); ++seed) cycle(seed);
    if (HasFailure()) ADD_FAILURE() << "replay with:\n    " << ReplayCommand(cycles);
  }
  RecordProperty("Cycles", int(cycles));
}

}  // namespace
}  // namespace lifecycle
