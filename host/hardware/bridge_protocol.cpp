#include "host/hardware/bridge_protocol.h"

namespace host::hardware {
namespace {

// Sequential little-endian writer over one reply; unwritten bytes stay zero.
class ReplyWriter {
 public:
  ReplyWriter &U8(uint8_t value) {
    bytes_.at(at_++) = value;
    return *this;
  }
  ReplyWriter &U16(uint16_t value) { return U8(static_cast<uint8_t>(value)).U8(static_cast<uint8_t>(value >> 8)); }
  VendorReply Done() const { return bytes_; }

 private:
  VendorReply bytes_{};
  size_t at_ = 0;
};

class ReplyReader {
 public:
  explicit ReplyReader(std::span<const uint8_t, kVendorReplySize> bytes) : bytes_(bytes) {}
  uint8_t U8() { return bytes_[at_++]; }
  uint16_t U16() {
    const uint16_t low = U8();
    return static_cast<uint16_t>(low | (U8() << 8));
  }

 private:
  std::span<const uint8_t, kVendorReplySize> bytes_;
  size_t at_ = 0;
};

}  // namespace

VendorReply Encode(const PortConfigurationReply &r) {
  return ReplyWriter{}.U16(r.active).U8(r.rejected ? 1 : 0).U8(r.supportedModes).U8(r.statusLines).U8(r.transferMode).Done();
}

VendorReply Encode(const InitialiseReply &r) {
  return ReplyWriter{}.U8(r.statusLines).U8(r.discarded).U16(r.count).Done();
}

VendorReply Encode(const TransferModeReply &r) {
  return ReplyWriter{}.U8(r.mode).U8(r.previous).U8(r.statusLines).U8(0).U16(r.fifoLevel).U16(r.backChannel).Done();
}

VendorReply Encode(const PortStatusReply &r) {
  // Byte 1 is the transfer mode; fill levels follow as three 16-bit words.
  return ReplyWriter{}.U8(r.statusLines).U8(r.transferMode).U16(r.fifoLevel).U16(r.fifoFree).U16(r.backChannel).Done();
}

VendorReply Encode(const FirmwareInfoReply &r) {
  return ReplyWriter{}
      .U8(r.major)
      .U8(r.minor)
      .U16(r.fifoSize)
      .U8(r.capabilities)
      .U8(r.supportedModes)
      .U8(r.maxPacketSize)
      .U8(r.subCommands)
      .Done();
}

PortConfigurationReply DecodePortConfiguration(std::span<const uint8_t, kVendorReplySize> bytes) {
  ReplyReader in(bytes);
  PortConfigurationReply r;
  r.active = in.U16();
  r.rejected = in.U8() != 0;
  r.supportedModes = in.U8();
  r.statusLines = in.U8();
  r.transferMode = in.U8();
  return r;
}

InitialiseReply DecodeInitialise(std::span<const uint8_t, kVendorReplySize> bytes) {
  ReplyReader in(bytes);
  InitialiseReply r;
  r.statusLines = in.U8();
  r.discarded = in.U8();
  r.count = in.U16();
  return r;
}

TransferModeReply DecodeTransferMode(std::span<const uint8_t, kVendorReplySize> bytes) {
  ReplyReader in(bytes);
  TransferModeReply r;
  r.mode = in.U8();
  r.previous = in.U8();
  r.statusLines = in.U8();
  in.U8();
  r.fifoLevel = in.U16();
  r.backChannel = in.U16();
  return r;
}

PortStatusReply DecodePortStatus(std::span<const uint8_t, kVendorReplySize> bytes) {
  ReplyReader in(bytes);
  PortStatusReply r;
  r.statusLines = in.U8();
  r.transferMode = in.U8();
  r.fifoLevel = in.U16();
  r.fifoFree = in.U16();
  r.backChannel = in.U16();
  return r;
}

FirmwareInfoReply DecodeFirmwareInfo(std::span<const uint8_t, kVendorReplySize> bytes) {
  ReplyReader in(bytes);
  FirmwareInfoReply r;
  r.major = in.U8();
  r.minor = in.U8();
  r.fifoSize = in.U16();
  r.capabilities = in.U8();
  r.supportedModes = in.U8();
  r.maxPacketSize = in.U8();
  r.subCommands = in.U8();
  return r;
}

}  // namespace host::hardware
