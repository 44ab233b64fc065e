// The bridge's vendor command set as it appears on the wire: request codes,
// sub-commands, the status-line bits and the layout of the 8-byte replies.
// The firmware encodes these; tools and tests that want to show a reply in
// words decode them. docs/hardware.md describes every byte.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace host::hardware {

inline constexpr uint8_t kVendorRequestType = 0xC0;  // device-to-host, vendor, device
inline constexpr uint8_t kVendorRequest = 4;
inline constexpr size_t kVendorReplySize = 8;

enum class SubCommand : uint16_t {
  DeviceId = 1,
  PortConfiguration = 2,
  Initialise = 3,
  TransferMode = 4,
  PortStatus = 5,
  FirmwareInfo = 6,
};

// Transfer modes (sub-command 4). Any other value is accepted and idles the port.
inline constexpr uint8_t kModeForward = 0;
inline constexpr uint8_t kModeReverse = 1;

// Status lines of the printer port, laid out as the printer-class port status
// byte (0x08 not-error, 0x10 select, 0x20 paper-empty) with nAck and BUSY in
// the two top bits. Each bit is the line's logical level: 1 = high/asserted.
namespace status {
inline constexpr uint8_t kNotError = 0x08;  // nFault: 1 = no error
inline constexpr uint8_t kSelect = 0x10;    // 1 = printer on line
inline constexpr uint8_t kPaperEmpty = 0x20;
inline constexpr uint8_t kNotAck = 0x40;  // nAck: idles high between strobes
inline constexpr uint8_t kBusy = 0x80;    // 1 = printer will not take data
}  // namespace status

// Port configuration word (sub-command 2 argument): low byte the IEEE 1284
// mode, high byte the nStrobe width in 500 ns units (0 = firmware default).
namespace port_mode {
inline constexpr uint8_t kNibble = 0x01;
inline constexpr uint8_t kByte = 0x02;
inline constexpr uint8_t kCompatibility = 0x04;
inline constexpr uint8_t kEcp = 0x10;
inline constexpr uint8_t kSupported = kNibble | kByte | kCompatibility | kEcp;
}  // namespace port_mode
inline constexpr uint16_t kDefaultPortConfiguration = 0x0104;  // compatibility, 500 ns strobe

// Capability bits of the firmware information reply (sub-command 6).
namespace capability {
inline constexpr uint8_t kReverseChannel = 0x01;
inline constexpr uint8_t kDeviceId = 0x02;
inline constexpr uint8_t kPortStatus = 0x04;
inline constexpr uint8_t kInitialise = 0x08;
}  // namespace capability

using VendorReply = std::array<uint8_t, kVendorReplySize>;

struct PortConfigurationReply {
  uint16_t active = 0;     // the configuration now in force
  bool rejected = false;   // the argument named no single supported mode
  uint8_t supportedModes = 0;
  uint8_t statusLines = 0;
  uint8_t transferMode = 0;
};

struct InitialiseReply {
  uint8_t statusLines = 0;
  uint8_t discarded = 0;  // back-channel bytes thrown away, saturating at 255
  uint16_t count = 0;     // initialisations since power-on, wrapping
};

struct TransferModeReply {
  uint8_t mode = 0;
  uint8_t previous = 0;
  uint8_t statusLines = 0;
  uint16_t fifoLevel = 0;    // saturating
  uint16_t backChannel = 0;  // saturating
};

struct PortStatusReply {
  uint8_t statusLines = 0;
  uint8_t transferMode = 0;
  uint16_t fifoLevel = 0;    // bytes waiting for the printer, saturating
  uint16_t fifoFree = 0;     // room left, saturating
  uint16_t backChannel = 0;  // bytes the printer has for the host, saturating
};

struct FirmwareInfoReply {
  uint8_t major = 0;
  uint8_t minor = 0;
  uint16_t fifoSize = 0;  // saturating
  uint8_t capabilities = 0;
  uint8_t supportedModes = 0;
  uint8_t maxPacketSize = 0;
  uint8_t subCommands = 0;
};

// 16-bit fields are little-endian, as everything else on USB.
VendorReply Encode(const PortConfigurationReply &reply);
VendorReply Encode(const InitialiseReply &reply);
VendorReply Encode(const TransferModeReply &reply);
VendorReply Encode(const PortStatusReply &reply);
VendorReply Encode(const FirmwareInfoReply &reply);

PortConfigurationReply DecodePortConfiguration(std::span<const uint8_t, kVendorReplySize> bytes);
InitialiseReply DecodeInitialise(std::span<const uint8_t, kVendorReplySize> bytes);
TransferModeReply DecodeTransferMode(std::span<const uint8_t, kVendorReplySize> bytes);
PortStatusReply DecodePortStatus(std::span<const uint8_t, kVendorReplySize> bytes);
FirmwareInfoReply DecodeFirmwareInfo(std::span<const uint8_t, kVendorReplySize> bytes);

// Clamps a count into a 16-bit reply field.
constexpr uint16_t Saturate16(uint64_t value) { return value > 0xFFFF ? 0xFFFF : static_cast<uint16_t>(value); }

}  // namespace host::hardware
