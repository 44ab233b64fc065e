// Drives a Bridge through the UsbDevice interface the way the USB stack does,
// one packet or control transfer at a time, without a kernel.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/hardware/bridge.h"

namespace host::hardware::testing {

using host::usb::ControlReply;
using host::usb::Handshake;
using host::usb::SetupPacket;

inline constexpr int64_t kMillisecond = 10'000;  // model time is in 100-ns units
inline constexpr int64_t kSecond = 1000 * kMillisecond;

inline std::vector<uint8_t> ToBytes(std::string_view text) { return {text.begin(), text.end()}; }
inline std::string ToText(const std::vector<uint8_t> &bytes) { return {bytes.begin(), bytes.end()}; }

// A deterministic byte pattern that makes lost, repeated or reordered bytes visible.
inline std::vector<uint8_t> Pattern(size_t size, uint32_t seed = 1) {
  std::vector<uint8_t> out(size);
  for (auto &b : out) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return out;
}

struct Harness {
  explicit Harness(PrinterOptions printerOptions = {}, BridgeConfig config = {})
      : printer(std::make_shared<Printer>(std::move(printerOptions))), bridge(printer, std::move(config)) {
    bridge.SetConfiguration(1);
  }

  ControlReply Vendor(uint16_t subCommand, uint16_t argument = 0, uint16_t length = 8) {
    return bridge.Control({kVendorRequestType, kVendorRequest, subCommand, argument, length}, {});
  }
  // The reply of a sub-command that must be acknowledged.
  std::vector<uint8_t> VendorData(uint16_t subCommand, uint16_t argument = 0, uint16_t length = 8) {
    const ControlReply reply = Vendor(subCommand, argument, length);
    EXPECT_EQ(reply.handshake, Handshake::Ack) << "sub-command " << subCommand;
    return reply.data;
  }
  void SetMode(uint8_t mode) { VendorData(4, mode); }

  // Offers `data` in 64-byte packets on `endpoint` until it is all taken or
  // the bridge answers anything but ACK; returns the bytes acknowledged.
  size_t Send(const std::vector<uint8_t> &data, uint8_t endpoint = 0x01, size_t packet = 64) {
    size_t sent = 0;
    while (sent < data.size()) {
      const size_t n = std::min(packet, data.size() - sent);
      last = bridge.PacketOut(endpoint, std::span(data).subspan(sent, n));
      if (last != Handshake::Ack) break;
      sent += n;
    }
    return sent;
  }
  // Reads IN packets until a short packet or anything but ACK.
  std::vector<uint8_t> Receive(uint8_t endpoint = 0x82, size_t packet = 64) {
    std::vector<uint8_t> out;
    std::vector<uint8_t> buffer(packet);
    for (;;) {
      size_t length = 0;
      last = bridge.PacketIn(endpoint, buffer, length);
      if (last != Handshake::Ack) break;
      out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(length));
      if (length < packet) break;
    }
    return out;
  }

  std::shared_ptr<Printer> printer;
  Bridge bridge;
  Handshake last = Handshake::Ack;
};

}  // namespace host::hardware::testing
