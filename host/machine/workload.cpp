#include "host/machine/workload.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>

#include "host/kernel/scheduler.h"
#include "host/io/user_io.h"
#include "include/bridge_ioctl.h"

namespace host {
namespace {

// One bridge's handle and what crossed it.
struct Lane {
  DeviceHandle port;
  std::vector<uint8_t> print, answers, heard;
};

void Write(Lane &lane, ULONG requestSize, std::atomic<int> &failures) {
  for (size_t done = 0; done < lane.print.size();) {
    const ULONG size = ULONG(std::min<size_t>(requestSize, lane.print.size() - done));
    IoResult r = lane.port.Write(lane.print.data() + done, size);
    if (r.status == STATUS_DEVICE_BUSY) continue;  // the read holds the one transfer
    if (r.status != STATUS_SUCCESS || r.information != size) ++failures;
    done += size;
  }
}

void Read(Lane &lane, ULONG readSize, std::atomic<int> &failures) {
  std::vector<uint8_t> buffer(readSize);
  while (lane.heard.size() < lane.answers.size()) {
    IoResult r = lane.port.Read(buffer.data(), ULONG(buffer.size()));
    if (r.status == STATUS_DEVICE_BUSY) continue;  // the write holds the one transfer
    if (r.status != STATUS_SUCCESS) return void(++failures);
    lane.heard.insert(lane.heard.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(r.information));
  }
}

void Control(Lane &lane, int rounds, std::atomic<int> &failures) {
  std::vector<uint8_t> out(64);
  for (int i = 0; i < rounds; ++i) {
    for (ULONG code : {IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, IOCTL_BRIDGE_VENDOR_5, IOCTL_BRIDGE_NOP}) {
      IoResult r = lane.port.DeviceControl(code, nullptr, 0, out.data(), ULONG(out.size()));
      if (r.status != STATUS_SUCCESS || r.information > out.size()) ++failures;
    }
  }
}

}  // namespace

std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed) {
  std::vector<uint8_t> data(size);
  uint32_t x = seed * 2654435761u + 1;
  for (auto &byte : data) {
    x = x * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(x >> 16);
  }
  return data;
}

std::vector<std::string> WritersReadersAndControls(Machine &machine, size_t bridges, const Workload &load) {
  std::vector<std::string> faults;
  std::vector<Lane> lanes(bridges);
  for (size_t b = 0; b < bridges; ++b) {
    Lane &lane = lanes[b];
    const std::string name = "\\\\.\\" + machine.View(b).portName;
    if (lane.port.Open(name) != STATUS_SUCCESS) faults.push_back(name + " did not open");
    lane.print = PatternBytes(load.printBytes + 100 * b, uint32_t(load.patternSeed + b));
    lane.answers = PatternBytes(load.answerBytes, uint32_t(load.patternSeed + 1000 + b));
    machine.Printer(b).QueueBackChannel(lane.answers);
  }
  if (!faults.empty()) return faults;
  std::atomic<int> failures{0};
  {
    std::vector<sched::Thread> threads;
    threads.reserve(3 * bridges);
    for (Lane &lane : lanes) {
      threads.emplace_back("writer", [&] { Write(lane, load.requestSize, failures); });
      threads.emplace_back("reader", [&] { Read(lane, load.readSize, failures); });
      threads.emplace_back("control", [&] { Control(lane, load.controlRounds, failures); });
    }
    for (auto &thread : threads) thread.Join();
  }
  if (failures > 0) faults.push_back(std::to_string(failures.load()) + " request(s) failed");
  for (size_t b = 0; b < bridges; ++b) {
    const std::string bridge = "bridge " + std::to_string(b) + ": ";
    hardware::Printer &printer = machine.Printer(b);
    if (!printer.WaitForReceived(lanes[b].print.size(), std::chrono::seconds(10)) ||
        printer.Received() != lanes[b].print)
      faults.push_back(bridge + "the printer did not get the written bytes in order");
    if (lanes[b].heard != lanes[b].answers) faults.push_back(bridge + "the reader did not get the answers in order");
    if (lanes[b].port.Close() != STATUS_SUCCESS) faults.push_back(bridge + "the close failed");
  }
  return faults;
}

}  // namespace host
