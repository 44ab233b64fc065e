// What the user I/O scenarios share: a machine with bridges, the port's
// handle, the driver's view of a bridge, and counts of what crossed the wire.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "host/io/user_io.h"
#include "host/machine/workload.h"
#include "norvusb.h"
#include "tests/support/machine_fixture.h"
#include "tests/support/test_thread.h"

namespace userio {

constexpr int64_t kSecond = 10'000'000;  // model time units per second
constexpr ULONG kDefaultMax = 4096;

class UserIoTest : public MachineFixture {
 protected:
  explicit UserIoTest(host::KernelOptions options = {}) : MachineFixture(options) {}

  // Boots with instant timing and plugs `bridges` bridges.
  host::Machine &BootWith(size_t bridges = 1, host::BridgePlan plan = {}) {
    host::Machine &machine = Boot();
    for (size_t i = 0; i < bridges; ++i) machine.Plug(PlanFor(i, plan));
    return machine;
  }

  // Each bridge its own serial number: two alike would be one device twice.
  static host::BridgePlan PlanFor(size_t index, host::BridgePlan plan = {}) {
    plan.bridge.identity.serialNumber = "NB1284-" + std::to_string(1000 + index);
    return plan;
  }

  static std::string DosName(size_t index) { return "\\\\.\\NorvUSB" + std::to_string(index + 1); }

  PDEVICE_OBJECT BridgeDevice(size_t index) const {
    return host::LookupDevice(machine_->View(index).deviceName);
  }
  FdoExtension *Fdo(size_t index) const { return static_cast<FdoExtension *>(BridgeDevice(index)->DeviceExtension); }

  host::usb::FaultInjector &Faults(size_t index) { return machine_->Bus().Faults(machine_->Port(index)); }
  uint64_t Seen(size_t index, host::usb::RequestKind kind) { return Faults(index).Seen(kind); }

  // The open mark of every pipe of the bridge's current interface.
  std::vector<ULONG> PipeMarks(size_t index) const {
    std::vector<ULONG> marks;
    FdoExtension *fdo = Fdo(index);
    if (fdo->InterfaceInfo == nullptr) return marks;
    for (ULONG i = 0; i < fdo->InterfaceInfo->NumberOfPipes; ++i) marks.push_back(fdo->InterfaceInfo->Pipes[i].PipeFlags);
    return marks;
  }

  static std::vector<uint8_t> Pattern(size_t size, uint32_t seed) { return host::PatternBytes(size, seed); }

  // Writes all of `data` in chunks of at most `chunk` bytes; every write must succeed whole.
  static void WriteAll(host::DeviceHandle &port, const std::vector<uint8_t> &data, ULONG chunk) {
    for (size_t done = 0; done < data.size();) {
      ULONG size = ULONG(std::min<size_t>(chunk, data.size() - done));
      host::IoResult result = port.Write(data.data() + done, size);
      ASSERT_EQ(result.status, STATUS_SUCCESS) << "at offset " << done;
      ASSERT_EQ(result.information, size);
      done += size;
    }
  }

  // host::WritersReadersAndControls on the first `bridges` bridges: no fault,
  // and no transfer left behind.
  void WritersReadersAndControls(size_t bridges, const host::Workload &load) {
    EXPECT_EQ(host::WritersReadersAndControls(*machine_, bridges, load), std::vector<std::string>{});
    for (size_t b = 0; b < bridges; ++b) EXPECT_EQ(Fdo(b)->CurrentTransfer, nullptr) << "bridge " << b;
  }

  host::IoResult Control(host::DeviceHandle &port, ULONG code, std::vector<uint8_t> input, ULONG outputLength,
                         std::vector<uint8_t> *output = nullptr) {
    std::vector<uint8_t> out(outputLength, 0xEE);
    host::IoResult result = port.DeviceControl(code, input.empty() ? nullptr : input.data(), ULONG(input.size()),
                                               out.empty() ? nullptr : out.data(), outputLength);
    if (output != nullptr) *output = std::move(out);
    return result;
  }
};

}  // namespace userio
