// What the USB stack sees of a device on its bus: the device's side of the
// wire, packet by packet. host/hardware implements it for the bridge; tests
// implement it for devices that misbehave.
#pragma once

#include <algorithm>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

namespace host::usb {

struct SetupPacket {
  uint8_t bmRequestType = 0;
  uint8_t bRequest = 0;
  uint16_t wValue = 0;
  uint16_t wIndex = 0;
  uint16_t wLength = 0;
};

// A device's answer to one packet (or to a whole control transfer).
enum class Handshake {
  Ack,    // data accepted or delivered
  Nak,    // not now: the host retries in a later frame
  Stall,  // the endpoint is halted (or the request is not supported)
  None,   // no answer at all: the device is not responding
};

// The PID of a bulk or interrupt data packet: the data toggle, kept per
// endpoint by the host and by the device. It flips with every packet the
// receiver takes; a packet whose PID the receiver does not expect is taken
// for the retry of one it already has: acknowledged and dropped.
enum class DataPid : uint8_t { Data0, Data1 };

inline DataPid Flipped(DataPid pid) { return pid == DataPid::Data0 ? DataPid::Data1 : DataPid::Data0; }

// A device's side of the toggles, for the device models to keep under their
// own lock. Every endpoint starts at DATA0, and returns to it on
// CLEAR_FEATURE(ENDPOINT_HALT), SET_CONFIGURATION, SET_INTERFACE and bus reset.
class DeviceToggles {
 public:
  DataPid Current(uint8_t endpoint) const {
    auto it = toggles_.find(endpoint);
    return it == toggles_.end() ? DataPid::Data0 : it->second;
  }
  void Flip(uint8_t endpoint) { toggles_[endpoint] = Flipped(Current(endpoint)); }
  void Reset(uint8_t endpoint) { toggles_.erase(endpoint); }
  void ResetAll() { toggles_.clear(); }

 private:
  std::map<uint8_t, DataPid> toggles_;
};

struct ControlReply {
  Handshake handshake = Handshake::Ack;
  std::vector<uint8_t> data;  // IN data stage; may be shorter (or, for a misbehaving device, longer) than wLength
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // Standard requests the stack itself answers from these (GET_DESCRIPTOR).
  virtual std::vector<uint8_t> DeviceDescriptor() = 0;
  // The full configuration descriptor set, wTotalLength bytes as the device
  // would send them (a misbehaving device may lie in its counts).
  virtual std::vector<uint8_t> ConfigurationDescriptor() = 0;

  // SET_CONFIGURATION and SET_INTERFACE as the stack sends them when the
  // driver selects a configuration (value 0: unconfigured).
  virtual void SetConfiguration(uint8_t configurationValue) = 0;
  virtual void SetInterface(uint8_t interfaceNumber, uint8_t alternateSetting) = 0;

  // Every other control transfer on the default pipe. `outData` is the OUT
  // data stage (empty for IN requests).
  virtual ControlReply Control(const SetupPacket &setup, std::span<const uint8_t> outData) = 0;

  // One bulk or interrupt packet of at most the endpoint's maximum packet size.
  virtual Handshake PacketOut(uint8_t endpointAddress, std::span<const uint8_t> packet) = 0;
  // Fills `packet` (its size is the endpoint's maximum packet size) and sets
  // `length`; a length below the maximum is a short packet ending the transfer.
  virtual Handshake PacketIn(uint8_t endpointAddress, std::span<uint8_t> packet, size_t &length) = 0;

  // The same packets as the bus carries them, with their data toggle. The
  // host controller calls these. `DataOut` gives the host's PID; a device
  // that keeps toggles acknowledges a packet of the wrong PID and drops it.
  // `DataIn` gets the PID the host expects and sets the one the device sent.
  // A device model without toggles (the defaults) always agrees with the host.
  virtual Handshake DataOut(uint8_t endpointAddress, std::span<const uint8_t> packet, DataPid /*pid*/) {
    return PacketOut(endpointAddress, packet);
  }
  virtual Handshake DataIn(uint8_t endpointAddress, std::span<uint8_t> packet, size_t &length, DataPid & /*pid*/) {
    return PacketIn(endpointAddress, packet, length);
  }
  // Several OUT packets at once: `data` cut into packets of `maxPacket`
  // bytes (the last may be short; no data is one zero-length packet), the
  // first with PID `pid` and each next one with the other. Ends at the first
  // packet not acknowledged and returns its handshake (Ack when all were
  // taken); `acked` counts the packets acknowledged. The default sends them
  // through DataOut; a model may take a burst at less cost, with the same
  // outcome.
  virtual Handshake DataOutBurst(uint8_t endpointAddress, std::span<const uint8_t> data, size_t maxPacket, DataPid pid,
                                 size_t &acked) {
    return ForEachOutPacket(data, maxPacket, pid, acked, [&](std::span<const uint8_t> packet, DataPid packetPid) {
      return DataOut(endpointAddress, packet, packetPid);
    });
  }
  template <class Send>
  static Handshake ForEachOutPacket(std::span<const uint8_t> data, size_t maxPacket, DataPid pid, size_t &acked,
                                    Send send) {
    acked = 0;
    for (size_t at = 0;;) {
      const size_t size = std::min(maxPacket, data.size() - at);
      const Handshake handshake = send(data.subspan(at, size), pid);
      if (handshake != Handshake::Ack) return handshake;
      ++acked;
      pid = Flipped(pid);
      at += size;
      if (at >= data.size()) return Handshake::Ack;
    }
  }

  // CLEAR_FEATURE(ENDPOINT_HALT) as the device receives it on its default
  // pipe (its halt ends and its toggle returns to DATA0), and a port reset.
  virtual void ClearHalt(uint8_t endpointAddress) = 0;
  virtual void BusReset() = 0;

  // Model time moved on to `now` (100-ns units): lets the device's own
  // machinery (the printer consuming data at its rate) catch up.
  virtual void AdvanceTo(int64_t now) = 0;

  // True while the device has work of its own that needs time to pass (data
  // in a FIFO that a consumer drains): the controller keeps its clock running
  // for it even when no request is queued.
  virtual bool Busy() { return false; }
};

}  // namespace host::usb
