// The host machine's USB bus: a bus driver on the host kernel with a root hub
// device and one PDO per attached device, a full-speed frame model served by
// a host-controller thread, per-request fault injection and USBPcap capture.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "host/kernel/api/hostusb.h"
#include "host/usbstack/usb_capture.h"
#include "host/usbstack/usb_device.h"

namespace host::usb {

enum class Timing {
  FullSpeed,  // 1 ms frames, at most 19 bulk packets per frame, control transfers over several frames
  Instant,    // data moves as soon as the device takes it; no frame waits
};

struct BusOptions {
  Timing timing = Timing::FullSpeed;
  uint16_t busNumber = 1;                // root hub number, as captures show it
  uint32_t maxTransferSizeLimit = 1u << 20;  // largest MaximumTransferSize a pipe may be given
  uint32_t bulkPacketsPerFrame = 19;     // full-speed budget of 64-byte bulk transactions
};

// A port of the root hub, 1-based; 0 is no port.
using Port = uint32_t;

// Which requests a fault applies to.
enum class RequestKind {
  Any,
  Control,     // CONTROL_TRANSFER, CLASS_*, GET_STATUS
  Vendor,      // VENDOR_*
  BulkIn,
  BulkOut,
  Descriptor,  // GET_DESCRIPTOR_FROM_DEVICE
  Select,      // SELECT_CONFIGURATION, SELECT_INTERFACE
  Abort,       // ABORT_PIPE
  ResetPipe,   // RESET_PIPE, SYNC_RESET_PIPE, SYNC_CLEAR_STALL
  Clear,       // CLEAR_FEATURE_*
  PortReset,   // IOCTL_INTERNAL_USB_RESET_PORT
  // A Plug and Play or power request to the device's PDO that a bus driver
  // may refuse: START_DEVICE, QUERY_STOP_DEVICE, QUERY_REMOVE_DEVICE,
  // QUERY_CAPABILITIES, QUERY_POWER. Only Action::Fail applies (with
  // `status`). Not one of Any, which counts and hits the USB requests.
  BusRequest,
};

struct Fault {
  enum class Action {
    Fail,        // complete with `status` and `usbdStatus`
    Stall,       // the device stalls: USBD_STATUS_STALL_PID, a data endpoint stays halted
    Delay,       // serve the request `delay` model time (100-ns units) later
    Hold,        // never complete; only IoCancelIrp ends it (`delay` later when given: a slow cancel)
    Disconnect,  // the device is unplugged as the request arrives
  };
  Action action = Action::Fail;
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  USBD_STATUS usbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
  int64_t delay = 0;

  static Fault Failure(NTSTATUS status, USBD_STATUS usbdStatus) { return {Action::Fail, status, usbdStatus, 0}; }
  static Fault Stall() { return {Action::Stall}; }
  static Fault DelayBy(int64_t units) { return {Action::Delay, STATUS_SUCCESS, USBD_STATUS_SUCCESS, units}; }
  static Fault Hold() { return {Action::Hold}; }
  // Held, and when cancelled completed only `units` of model time later, on the
  // controller's thread, as a controller does that must first stop the endpoint.
  static Fault HoldWithSlowCancel(int64_t units) { return {Action::Hold, STATUS_SUCCESS, USBD_STATUS_SUCCESS, units}; }
  static Fault Disconnect() { return {Action::Disconnect}; }
};

// Faults of one port. A rule hits the `nth` matching request counted from when
// it was added (1 = the next), then the following `times - 1` matching ones
// (times 0: every one from the nth on).
class FaultInjector {
 public:
  virtual ~FaultInjector() = default;
  virtual void Add(RequestKind kind, Fault fault, uint64_t nth = 1, uint64_t times = 1) = 0;
  virtual void Clear() = 0;
  // Requests of this kind seen since the port was attached.
  virtual uint64_t Seen(RequestKind kind) const = 0;
};

struct PortStats {
  uint64_t bulkTransfers = 0;     // completed bulk/interrupt URBs (any status)
  uint64_t controlTransfers = 0;  // completed default-pipe transfers (descriptor, vendor, class, feature, status)
  uint64_t bytesOut = 0;          // payload bytes to the device (bulk and control data stages)
  uint64_t bytesIn = 0;           // payload bytes from the device
  uint64_t bulkPackets = 0;       // bulk transactions acknowledged by the device
  uint64_t naks = 0;              // bulk transactions the device NAKed
  uint64_t framesUsed = 0;        // frames in which this port moved at least one packet
  int64_t modelTime = 0;          // sum over completed requests of completion minus submission time
};

struct BusStats {
  uint64_t frames = 0;                 // frames the host controller ran
  uint32_t maxBulkPacketsInFrame = 0;  // most bulk transactions (ACK or NAK) in any one frame
};

class UsbBus {
 public:
  explicit UsbBus(BusOptions options = {});
  ~UsbBus();  // stops the controller, fails what is queued, deletes the hub and every PDO
  UsbBus(const UsbBus &) = delete;
  UsbBus &operator=(const UsbBus &) = delete;

  // The root hub's device object: register it with the PnP manager as a bus.
  PDEVICE_OBJECT HubDevice();

  // Plugs a device into a free port, creates its PDO and invalidates the bus
  // relations so that the PnP manager enumerates it.
  Port Attach(std::shared_ptr<UsbDevice> device);
  // The same, with the port's faults set up before the hub reports the
  // device, so that a fault can meet the very first request of enumeration.
  Port Attach(std::shared_ptr<UsbDevice> device, const std::function<void(FaultInjector &)> &prepare);
  // Unplugs it: queued requests fail with STATUS_DEVICE_NOT_CONNECTED, later
  // ones too, and the bus relations no longer report the PDO. The PDO itself
  // is deleted when the PnP manager sends it IRP_MN_REMOVE_DEVICE (or with the bus).
  void Detach(Port port);
  bool Attached(Port port) const;
  // The PDO of a port, attached or not yet removed; null if none.
  PDEVICE_OBJECT Pdo(Port port) const;

  FaultInjector &Faults(Port port);
  PortStats Stats(Port port) const;
  BusStats Stats() const;

  // Writes every URB submission and completion to a USBPcap file from now on.
  // Returns false (with `error` set) when the file cannot be created.
  bool StartCapture(const std::filesystem::path &file, std::string *error = nullptr);
  // The same to a stream already open, which the capture then closes.
  bool StartCapture(FilePtr stream, std::string *error = nullptr);
  // Returns why a write of the capture failed, empty when none did.
  std::string StopCapture();

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The pool tag of blocks that the bus hands to the PnP manager (relations
// lists and identifier strings). Tests that fail allocations by tag must not
// name this one: a bus driver cannot retry them.
inline constexpr ULONG kUsbBusPoolTag = 0x62487355;  // 'bHsU', shown as "UsHb" in pool dumps

}  // namespace host::usb
