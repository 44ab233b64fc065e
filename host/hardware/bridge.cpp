#include "host/hardware/bridge.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace host::hardware {
namespace {

using host::usb::ControlReply;
using host::usb::DataPid;
using host::usb::Handshake;
using host::usb::SetupPacket;

// Standard request codes (USB 1.1 chapter 9).
constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kClearFeature = 1;
constexpr uint8_t kSetFeature = 3;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kSetConfiguration = 9;
constexpr uint8_t kGetInterface = 10;
constexpr uint8_t kSetInterface = 11;
constexpr uint16_t kEndpointHalt = 0;

constexpr uint8_t kRequestTypeMask = 0x60;
constexpr uint8_t kRequestTypeStandard = 0x00;
constexpr uint8_t kRequestTypeVendor = 0x40;
constexpr uint8_t kSubCommandCount = 6;

ControlReply Stall() { return {Handshake::Stall, {}}; }

ControlReply Data(std::vector<uint8_t> bytes, uint16_t length) {
  if (bytes.size() > length) bytes.resize(length);
  return {Handshake::Ack, std::move(bytes)};
}

std::vector<uint8_t> Bytes(const VendorReply &reply) { return {reply.begin(), reply.end()}; }

// Exactly `size` bytes: the reply cut, or padded past its own end.
std::vector<uint8_t> Fit(std::vector<uint8_t> bytes, size_t size) {
  bytes.resize(size, kOverrunFill);
  return bytes;
}

bool ValidPortMode(uint8_t mode) { return std::has_single_bit(mode) && (mode & port_mode::kSupported) == mode; }

}  // namespace

Bridge::Bridge(std::shared_ptr<Printer> printer, BridgeConfig config)
    : printer_(std::move(printer)), config_(std::move(config)), faults_(config_.vendorFaults), fifo_(config_.fifoSize) {
  if (!printer_) throw std::invalid_argument("a bridge needs a printer");
}

// ---------------------------------------------------------------- descriptors and state

std::vector<uint8_t> Bridge::DeviceDescriptor() { return SerializeDeviceDescriptor(config_.identity); }

std::vector<uint8_t> Bridge::ConfigurationDescriptor() { return SerializeConfiguration(config_.configuration); }

void Bridge::SetConfiguration(uint8_t configurationValue) {
  std::lock_guard lock(mutex_);
  SetConfigurationLocked(configurationValue);
}

void Bridge::SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting) {
  std::lock_guard lock(mutex_);
  SetInterfaceLocked(interfaceNumber, alternateSetting);
}

bool Bridge::SetConfigurationLocked(uint8_t value) {
  if (value != 0 && value != config_.configuration.value) return false;
  configuration_ = value;
  alternateSettings_.clear();
  if (value != 0) {
    for (const auto &i : config_.configuration.interfaces) alternateSettings_[i.number] = 0;
  }
  halted_.clear();
  toggles_.ResetAll();
  zeroLengthOwed_ = false;
  return true;
}

bool Bridge::SetInterfaceLocked(uint8_t interfaceNumber, uint8_t alternateSetting) {
  const InterfaceDescriptor *chosen = config_.configuration.Find(interfaceNumber, alternateSetting);
  if (configuration_ == 0 || chosen == nullptr) return false;
  alternateSettings_[interfaceNumber] = alternateSetting;
  for (const auto &e : chosen->endpoints) ClearHaltLocked(e.address);
  return true;
}

void Bridge::ClearHalt(uint8_t endpointAddress) {
  std::lock_guard lock(mutex_);
  ClearHaltLocked(endpointAddress);
}

// The halt ends and the endpoint's next packet is DATA0 again.
void Bridge::ClearHaltLocked(uint8_t endpointAddress) {
  halted_.erase(endpointAddress);
  toggles_.Reset(endpointAddress);
}

void Bridge::Halt(uint8_t endpointAddress) {
  std::lock_guard lock(mutex_);
  halted_.insert(endpointAddress);
}

bool Bridge::Halted(uint8_t endpointAddress) const {
  std::lock_guard lock(mutex_);
  return halted_.contains(endpointAddress);
}

void Bridge::BusReset() {
  std::lock_guard lock(mutex_);
  BusResetLocked();
}

// A bus reset ends the USB state only. The port keeps its transfer mode and
// configuration (the host's record of the mode survives a port reset too),
// and bytes already acknowledged still go to the printer.
void Bridge::BusResetLocked() { SetConfigurationLocked(0); }

void Bridge::PowerCycle() {
  std::lock_guard lock(mutex_);
  BusResetLocked();
  fifo_.Clear();
  transferMode_ = kModeForward;
  portConfiguration_ = kDefaultPortConfiguration;
  initialisations_ = 0;
}

uint8_t Bridge::Configuration() const {
  std::lock_guard lock(mutex_);
  return configuration_;
}

std::optional<uint8_t> Bridge::AlternateSetting(uint8_t interfaceNumber) const {
  std::lock_guard lock(mutex_);
  auto it = alternateSettings_.find(interfaceNumber);
  if (it == alternateSettings_.end()) return std::nullopt;
  return it->second;
}

uint8_t Bridge::TransferMode() const {
  std::lock_guard lock(mutex_);
  return transferMode_;
}

uint16_t Bridge::PortConfiguration() const {
  std::lock_guard lock(mutex_);
  return portConfiguration_;
}

bool Bridge::Busy() {
  std::lock_guard lock(mutex_);
  // Only a printer that takes data needs the clock; an offline one would
  // keep the bus ticking for nothing.
  return fifo_.Size() > 0 && printer_->Ready();
}

size_t Bridge::FifoLevel() const {
  std::lock_guard lock(mutex_);
  return fifo_.Size();
}

void Bridge::SetVendorFault(uint16_t subCommand, VendorFault fault) {
  std::lock_guard lock(mutex_);
  faults_[subCommand] = fault;
}

void Bridge::ClearVendorFaults() {
  std::lock_guard lock(mutex_);
  faults_.clear();
}

// ---------------------------------------------------------------- data pipes

const EndpointDescriptor *Bridge::ActiveEndpointLocked(uint8_t address) const {
  for (const auto &i : config_.configuration.interfaces) {
    auto active = alternateSettings_.find(i.number);
    if (active == alternateSettings_.end() || active->second != i.alternateSetting) continue;
    for (const auto &e : i.endpoints) {
      if (e.address == address) return &e;
    }
  }
  return nullptr;
}

// Every bulk or interrupt endpoint of the active settings carries printer
// data, so a host may use whichever interface it selected.
const EndpointDescriptor *Bridge::DataEndpointLocked(uint8_t address, bool in) const {
  const EndpointDescriptor *e = ActiveEndpointLocked(address);
  if (e == nullptr || !e->Data() || e->In() != in || halted_.contains(address)) return nullptr;
  return e;
}

void Bridge::PumpLocked() { printer_->Drain(fifo_, now_); }

void Bridge::AdvanceTo(int64_t now) {
  std::lock_guard lock(mutex_);
  now_ = std::max(now_, now);
  PumpLocked();
}

Handshake Bridge::PacketOut(uint8_t endpointAddress, std::span<const uint8_t> packet) {
  std::lock_guard lock(mutex_);
  return PacketOutLocked(endpointAddress, packet);
}

Handshake Bridge::PacketIn(uint8_t endpointAddress, std::span<uint8_t> packet, size_t &length) {
  std::lock_guard lock(mutex_);
  return PacketInLocked(endpointAddress, packet, length);
}

// A packet of the PID the endpoint does not expect is the host's retry of
// one already taken (the host missed the handshake): acknowledged, dropped.
Handshake Bridge::DataOut(uint8_t endpointAddress, std::span<const uint8_t> packet, DataPid pid) {
  std::lock_guard lock(mutex_);
  return DataOutLocked(endpointAddress, packet, pid, true);
}

Handshake Bridge::DataOutLocked(uint8_t endpointAddress, std::span<const uint8_t> packet, DataPid pid,
                                bool pumpEach) {
  const EndpointDescriptor *e = DataEndpointLocked(endpointAddress, false);
  if (e != nullptr && packet.size() <= e->maxPacketSize && pid != toggles_.Current(endpointAddress))
    return Handshake::Ack;
  const Handshake handshake = PacketOutLocked(endpointAddress, packet, pumpEach);
  if (handshake == Handshake::Ack) toggles_.Flip(endpointAddress);
  return handshake;
}

// A printer without a rate takes everything it is given, so a pump empties
// the FIFO whatever its level: pumping when the FIFO is full and once at the
// end moves the same bytes as pumping around every packet, at a fraction of
// the cost. A printer with a rate is pumped around every packet, since when
// its FIFO runs empty decides the work it banks.
Handshake Bridge::DataOutBurst(uint8_t endpointAddress, std::span<const uint8_t> data, size_t maxPacket, DataPid pid,
                               size_t &acked) {
  std::lock_guard lock(mutex_);
  const bool pumpEach = printer_->HasRate();
  PumpLocked();
  const Handshake handshake = ForEachOutPacket(data, maxPacket, pid, acked, [&](auto packet, DataPid packetPid) {
    return DataOutLocked(endpointAddress, packet, packetPid, pumpEach);
  });
  PumpLocked();
  return handshake;
}

Handshake Bridge::DataIn(uint8_t endpointAddress, std::span<uint8_t> packet, size_t &length, DataPid &pid) {
  std::lock_guard lock(mutex_);
  const Handshake handshake = PacketInLocked(endpointAddress, packet, length);
  if (handshake == Handshake::Ack) {
    pid = toggles_.Current(endpointAddress);
    toggles_.Flip(endpointAddress);  // the host acknowledges every packet, kept or not
  }
  return handshake;
}

Handshake Bridge::PacketOutLocked(uint8_t endpointAddress, std::span<const uint8_t> packet, bool pumpEach) {
  const EndpointDescriptor *e = DataEndpointLocked(endpointAddress, false);
  if (e == nullptr || packet.size() > e->maxPacketSize) return Handshake::Stall;
  if (pumpEach) PumpLocked();
  // The OUT pipe moves only in forward mode; the FIFO takes a packet whole.
  if (transferMode_ != kModeForward) return Handshake::Nak;
  if (!fifo_.Push(packet)) {
    if (pumpEach) return Handshake::Nak;  // pumped already
    PumpLocked();
    if (!fifo_.Push(packet)) return Handshake::Nak;
  }
  if (pumpEach) PumpLocked();
  return Handshake::Ack;
}

Handshake Bridge::PacketInLocked(uint8_t endpointAddress, std::span<uint8_t> packet, size_t &length) {
  length = 0;
  const EndpointDescriptor *e = DataEndpointLocked(endpointAddress, true);
  if (e == nullptr) return Handshake::Stall;
  PumpLocked();
  if (transferMode_ != kModeReverse) return Handshake::Nak;
  const size_t room = std::min<size_t>(packet.size(), e->maxPacketSize);
  length = printer_->ReadBackChannel(packet.first(room));
  if (length > 0) {
    zeroLengthOwed_ = length == room && printer_->BackChannelSize() == 0;
    return Handshake::Ack;
  }
  if (zeroLengthOwed_ || config_.emptyRead == EmptyRead::ZeroLengthPacket) {
    zeroLengthOwed_ = false;
    return Handshake::Ack;
  }
  return Handshake::Nak;
}

// ---------------------------------------------------------------- control pipe

ControlReply Bridge::Control(const SetupPacket &setup, std::span<const uint8_t> /*outData*/) {
  std::lock_guard lock(mutex_);
  switch (setup.bmRequestType & kRequestTypeMask) {
    case kRequestTypeStandard:
      return StandardLocked(setup);
    case kRequestTypeVendor:
      return VendorLocked(setup);
    default:
      return Stall();
  }
}

ControlReply Bridge::StandardLocked(const SetupPacket &s) {
  const uint8_t endpoint = static_cast<uint8_t>(s.wIndex);
  switch (s.bmRequestType << 8 | s.bRequest) {
    case 0x80 << 8 | kGetStatus:
      return Data({static_cast<uint8_t>((config_.configuration.attributes & 0x40) ? 1 : 0), 0}, s.wLength);
    case 0x81 << 8 | kGetStatus:
      return Data({0, 0}, s.wLength);
    case 0x82 << 8 | kGetStatus:
      if (ActiveEndpointLocked(endpoint) == nullptr) return Stall();
      return Data({static_cast<uint8_t>(halted_.contains(endpoint) ? 1 : 0), 0}, s.wLength);
    case 0x02 << 8 | kClearFeature:
    case 0x02 << 8 | kSetFeature:
      if (s.wValue != kEndpointHalt || ActiveEndpointLocked(endpoint) == nullptr) return Stall();
      if (s.bRequest == kSetFeature) {
        halted_.insert(endpoint);
      } else {
        ClearHaltLocked(endpoint);
      }
      return {};
    case 0x80 << 8 | kGetDescriptor: {
      const uint8_t type = static_cast<uint8_t>(s.wValue >> 8);
      const uint8_t index = static_cast<uint8_t>(s.wValue);
      if (type == kDescriptorDevice) return Data(SerializeDeviceDescriptor(config_.identity), s.wLength);
      if (type == kDescriptorConfiguration && index == 0) return Data(SerializeConfiguration(config_.configuration), s.wLength);
      if (type == kDescriptorString) {
        if (auto text = SerializeString(config_.identity, index)) return Data(std::move(*text), s.wLength);
      }
      return Stall();
    }
    case 0x80 << 8 | kGetConfiguration:
      return Data({configuration_}, s.wLength);
    case 0x00 << 8 | kSetConfiguration:
      return SetConfigurationLocked(static_cast<uint8_t>(s.wValue)) ? ControlReply{} : Stall();
    case 0x81 << 8 | kGetInterface: {
      auto it = alternateSettings_.find(static_cast<uint8_t>(s.wIndex));
      if (it == alternateSettings_.end()) return Stall();
      return Data({it->second}, s.wLength);
    }
    case 0x01 << 8 | kSetInterface:
      return SetInterfaceLocked(static_cast<uint8_t>(s.wIndex), static_cast<uint8_t>(s.wValue)) ? ControlReply{} : Stall();
    default:
      return Stall();
  }
}

std::optional<VendorFault> Bridge::TakeFaultLocked(uint16_t subCommand) {
  auto it = faults_.find(subCommand);
  if (it == faults_.end()) return std::nullopt;
  const VendorFault fault = it->second;
  if (fault.times == 1) {
    faults_.erase(it);
  } else if (fault.times > 1) {
    --it->second.times;
  }
  return fault;
}

ControlReply Bridge::VendorLocked(const SetupPacket &s) {
  if (s.bmRequestType != kVendorRequestType || s.bRequest != kVendorRequest) return Stall();
  const std::optional<VendorFault> fault = TakeFaultLocked(s.wValue);
  if (fault && fault->kind == VendorFault::Kind::Stall) return Stall();
  if (fault && fault->kind == VendorFault::Kind::NoAnswer) return {Handshake::None, {}};
  if (fault && fault->kind == VendorFault::Kind::NakForever) return {Handshake::Nak, {}};
  auto reply = SubCommandLocked(s.wValue, s.wIndex, s.wLength);
  if (!reply) return Stall();
  if (fault) return {Handshake::Ack, Fit(std::move(*reply), fault->replySize)};
  return Data(std::move(*reply), s.wLength);
}

// The whole reply of a sub-command, before it is cut to wLength; nullopt for
// a request the firmware refuses.
std::optional<std::vector<uint8_t>> Bridge::SubCommandLocked(uint16_t subCommand, uint16_t argument, uint16_t length) {
  switch (static_cast<SubCommand>(subCommand)) {
    case SubCommand::DeviceId:
      return DeviceIdReplyLocked(length);
    case SubCommand::PortConfiguration: {
      const uint8_t mode = static_cast<uint8_t>(argument);
      const bool accepted = ValidPortMode(mode);
      if (accepted) {
        const uint8_t strobe = static_cast<uint8_t>(argument >> 8);
        portConfiguration_ = static_cast<uint16_t>((strobe == 0 ? 1 : strobe) << 8 | mode);
      }
      return Bytes(Encode(PortConfigurationReply{portConfiguration_, !accepted, port_mode::kSupported,
                                                 StatusLinesLocked(), transferMode_}));
    }
    case SubCommand::Initialise: {
      const size_t dropped = printer_->Initialise();
      ++initialisations_;
      return Bytes(Encode(InitialiseReply{StatusLinesLocked(), static_cast<uint8_t>(std::min<size_t>(dropped, 0xFF)),
                                          initialisations_}));
    }
    case SubCommand::TransferMode: {
      if (argument > 0xFF) return std::nullopt;
      const uint8_t previous = transferMode_;
      transferMode_ = static_cast<uint8_t>(argument);
      zeroLengthOwed_ = false;
      return Bytes(Encode(TransferModeReply{transferMode_, previous, StatusLinesLocked(), Saturate16(fifo_.Size()),
                                            Saturate16(printer_->BackChannelSize())}));
    }
    case SubCommand::PortStatus:
      PumpLocked();
      return Bytes(Encode(PortStatusReply{StatusLinesLocked(), transferMode_, Saturate16(fifo_.Size()),
                                          Saturate16(fifo_.Free()), Saturate16(printer_->BackChannelSize())}));
    case SubCommand::FirmwareInfo:
      return Bytes(Encode(FirmwareInfoReply{
          config_.firmwareMajor, config_.firmwareMinor, Saturate16(fifo_.Capacity()),
          capability::kReverseChannel | capability::kDeviceId | capability::kPortStatus | capability::kInitialise,
          port_mode::kSupported, 64, kSubCommandCount}));
  }
  return std::nullopt;
}

// Two length bytes, most significant first, then the text without a null.
std::vector<uint8_t> Bridge::DeviceIdReplyLocked(uint16_t length) const {
  const std::string id = printer_->DeviceId();
  const auto &framing = config_.deviceIdFraming;
  const uint16_t prefix = framing.claimedLength.value_or(Saturate16(id.size() + (framing.prefixCountsItself ? 2 : 0)));
  std::vector<uint8_t> reply(2 + id.size());
  reply[0] = static_cast<uint8_t>(prefix >> 8);
  reply[1] = static_cast<uint8_t>(prefix);
  std::copy(id.begin(), id.end(), reply.begin() + 2);
  if (framing.padding && reply.size() < length) reply.resize(length, *framing.padding);
  return reply;
}

uint8_t Bridge::StatusLinesLocked() const { return printer_->StatusLines(); }

}  // namespace host::hardware
