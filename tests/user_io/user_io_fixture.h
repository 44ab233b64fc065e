// What the user I/O scenarios share: a machine with bridges, the port's
// handle, the driver's view of a bridge, and counts of what crossed the wire.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

#include "host/kernel/user_io.h"
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

  static std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
    std::vector<uint8_t> data(size);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &byte : data) {
      x = x * 1103515245u + 12345u;
      byte = static_cast<uint8_t>(x >> 16);
    }
    return data;
  }

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

  // What each bridge carries in WritersReadersAndControls.
  struct Workload {
    size_t printBytes = 0;     // written by one thread, in requests of kDefaultMax
    size_t answerBytes = 0;    // queued on the back channel, read by another
    ULONG readSize = 64;       // bytes asked for by each read
    int controlRounds = 1;     // rounds of three device-control codes, by a third
    uint32_t patternSeed = 0;  // the bytes differ by seed and by bridge
  };

  // Every plugged bridge gets a writer, a reader and a device-control thread
  // on its own handle. Nothing may be lost or duplicated: each printer gets
  // its bytes and each reader its answers, in order, and every request
  // succeeds except a transfer refused while the other direction holds the
  // one transfer, which is sent again.
  void WritersReadersAndControls(size_t bridges, const Workload &load) {
    std::vector<host::DeviceHandle> ports(bridges);
    std::vector<std::vector<uint8_t>> prints, answers, heard(bridges);
    for (size_t b = 0; b < bridges; ++b) {
      ASSERT_EQ(ports[b].Open(DosName(b)), STATUS_SUCCESS);
      prints.push_back(Pattern(load.printBytes + 100 * b, uint32_t(load.patternSeed + b)));
      answers.push_back(Pattern(load.answerBytes, uint32_t(load.patternSeed + 1000 + b)));
      machine_->Printer(b).QueueBackChannel(answers[b]);
    }
    std::atomic<int> failures{0};
    std::vector<TestThread> threads;
    for (size_t b = 0; b < bridges; ++b) {
      host::DeviceHandle &port = ports[b];
      threads.emplace_back([&, b] {
        for (size_t done = 0; done < prints[b].size();) {
          const ULONG size = ULONG(std::min<size_t>(kDefaultMax, prints[b].size() - done));
          host::IoResult r = port.Write(prints[b].data() + done, size);
          if (r.status == STATUS_DEVICE_BUSY) continue;
          if (r.status != STATUS_SUCCESS || r.information != size) ++failures;
          done += size;
        }
      });
      threads.emplace_back([&, b] {
        std::vector<uint8_t> buffer(load.readSize);
        while (heard[b].size() < answers[b].size()) {
          host::IoResult r = port.Read(buffer.data(), ULONG(buffer.size()));
          if (r.status == STATUS_DEVICE_BUSY) continue;
          if (r.status != STATUS_SUCCESS) return void(++failures);
          heard[b].insert(heard[b].end(), buffer.begin(), buffer.begin() + r.information);
        }
      });
      threads.emplace_back([&port, &failures, rounds = load.controlRounds] {
        std::vector<uint8_t> out(64);
        for (int i = 0; i < rounds; ++i) {
          for (ULONG code : {IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, IOCTL_BRIDGE_VENDOR_5, IOCTL_BRIDGE_NOP}) {
            host::IoResult r = port.DeviceControl(code, nullptr, 0, out.data(), ULONG(out.size()));
            if (r.status != STATUS_SUCCESS || r.information > out.size()) ++failures;
          }
        }
      });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    for (size_t b = 0; b < bridges; ++b) {
      ASSERT_TRUE(machine_->Printer(b).WaitForReceived(prints[b].size(), std::chrono::seconds(10)));
      EXPECT_TRUE(machine_->Printer(b).Received() == prints[b]) << "bridge " << b;
      EXPECT_TRUE(heard[b] == answers[b]) << "bridge " << b;
      EXPECT_EQ(Fdo(b)->CurrentTransfer, nullptr);
      EXPECT_EQ(ports[b].Close(), STATUS_SUCCESS);
    }
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
