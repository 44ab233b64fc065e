// A small USB device for the stack's tests: bulk OUT 0x01 feeds a FIFO that
// bulk IN 0x82 reads back, with knobs for back-pressure, stalls and replies.
#pragma once

#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

#include "host/usbstack/usb_device.h"

namespace usbtest {

using host::usb::ControlReply;
using host::usb::DataPid;
using host::usb::Handshake;
using host::usb::SetupPacket;

inline constexpr uint8_t kOutEndpoint = 0x01;
inline constexpr uint8_t kInEndpoint = 0x82;

class LoopbackDevice : public host::usb::UsbDevice {
 public:
  // FIFO capacity (OUT NAKs when full) and how many bytes the device itself
  // drains per millisecond of model time (0: it keeps them for IN).
  size_t capacity = 1 << 20;
  size_t drainPerMs = 0;
  bool stallOut = false;
  std::vector<uint8_t> vendorReply = {1, 2, 3};
  uint8_t serialIndex = 0;
  bool secondInterface = false;  // a configuration of two interfaces

  std::vector<uint8_t> DeviceDescriptor() override {
    return {18, 1, 0x10, 0x01, 0, 0, 0, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 1, 2, serialIndex, 1};
  }
  std::vector<uint8_t> ConfigurationDescriptor() override {
    const uint8_t interfaces = secondInterface ? 2 : 1;
    const uint8_t total = secondInterface ? 41 : 32;
    std::vector<uint8_t> set = {9, 2, total, 0, interfaces, 1, 0, 0xC0, 50,  // configuration
                                9, 4, 0, 0, 2, 7, 1, 2, 0,                   // interface 0: printer class, 2 endpoints
                                7, 5, kOutEndpoint, 2, 64, 0, 0,              // bulk OUT
                                7, 5, kInEndpoint, 2, 64, 0, 0,               // bulk IN
                                9, 4, 1, 0, 0, 0xFF, 0, 0, 0};                // interface 1: vendor class, no endpoints
    set.resize(total);
    return set;
  }
  void SetConfiguration(uint8_t value) override {
    std::lock_guard lock(mutex);
    configuration = value;
    toggles.ResetAll();
  }
  void SetInterface(uint8_t, uint8_t) override {}
  ControlReply Control(const SetupPacket &setup, std::span<const uint8_t> out) override {
    std::lock_guard lock(mutex);
    setups.push_back(setup);
    controlOut.assign(out.begin(), out.end());
    if (setup.bmRequestType == 0x80 && setup.bRequest == 6 && (setup.wValue >> 8) == 3) {
      // Serial number string "SN,1".
      return {Handshake::Ack, {10, 3, 'S', 0, 'N', 0, ',', 0, '1', 0}};
    }
    return {Handshake::Ack, vendorReply};
  }
  Handshake PacketOut(uint8_t endpoint, std::span<const uint8_t> packet) override {
    std::lock_guard lock(mutex);
    return PacketOutLocked(endpoint, packet);
  }
  Handshake PacketIn(uint8_t endpoint, std::span<uint8_t> packet, size_t &length) override {
    std::lock_guard lock(mutex);
    return PacketInLocked(endpoint, packet, length);
  }
  // With toggles, as a real device: an OUT packet of the unexpected PID is acknowledged and dropped.
  Handshake DataOut(uint8_t endpoint, std::span<const uint8_t> packet, DataPid pid) override {
    std::lock_guard lock(mutex);
    if (endpoint == kOutEndpoint && !stallOut && pid != toggles.Current(endpoint)) {
      ++droppedOut;
      return Handshake::Ack;
    }
    const Handshake handshake = PacketOutLocked(endpoint, packet);
    if (handshake == Handshake::Ack) toggles.Flip(endpoint);
    return handshake;
  }
  Handshake DataIn(uint8_t endpoint, std::span<uint8_t> packet, size_t &length, DataPid &pid) override {
    std::lock_guard lock(mutex);
    const Handshake handshake = PacketInLocked(endpoint, packet, length);
    if (handshake == Handshake::Ack) {
      pid = toggles.Current(endpoint);
      toggles.Flip(endpoint);
    }
    return handshake;
  }
  void ClearHalt(uint8_t endpoint) override {
    std::lock_guard lock(mutex);
    clearedHalts.push_back(endpoint);
    toggles.Reset(endpoint);
    if (endpoint == kOutEndpoint) stallOut = false;
  }
  void BusReset() override {
    std::lock_guard lock(mutex);
    ++busResets;
    configuration = 0;
    toggles.ResetAll();
  }
  void AdvanceTo(int64_t now) override {
    std::lock_guard lock(mutex);
    if (drainPerMs && lastTime) {
      const size_t drain = std::min(fifo.size(), static_cast<size_t>((now - lastTime) / 10000) * drainPerMs);
      fifo.erase(fifo.begin(), fifo.begin() + static_cast<long>(drain));
    }
    if (!lastTime || (now - lastTime) >= 10000) lastTime = now;
  }

  Handshake PacketOutLocked(uint8_t endpoint, std::span<const uint8_t> packet) {
    if (endpoint != kOutEndpoint) return Handshake::Stall;
    if (stallOut) return Handshake::Stall;
    if (fifo.size() + packet.size() > capacity) return Handshake::Nak;
    fifo.insert(fifo.end(), packet.begin(), packet.end());
    received.insert(received.end(), packet.begin(), packet.end());
    return Handshake::Ack;
  }
  Handshake PacketInLocked(uint8_t endpoint, std::span<uint8_t> packet, size_t &length) {
    if (endpoint != kInEndpoint) return Handshake::Stall;
    if (fifo.empty()) return Handshake::Nak;
    length = std::min(packet.size(), fifo.size());
    std::copy_n(fifo.begin(), length, packet.begin());
    fifo.erase(fifo.begin(), fifo.begin() + static_cast<long>(length));
    return Handshake::Ack;
  }

  std::mutex mutex;
  host::usb::DeviceToggles toggles;
  int droppedOut = 0;  // OUT packets taken for retries and dropped
  std::deque<uint8_t> fifo;
  std::vector<uint8_t> received;
  std::vector<SetupPacket> setups;
  std::vector<uint8_t> controlOut;
  std::vector<uint8_t> clearedHalts;
  uint8_t configuration = 0;
  int busResets = 0;
  int64_t lastTime = 0;
};

}  // namespace usbtest
