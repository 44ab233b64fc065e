// Inside the USB bus: the state shared by the bus driver's dispatch routines
// (usb_bus.cpp, bus_pnp.cpp), the URB handling (urb_requests.cpp) and the
// host-controller thread (host_controller.cpp). One mutex guards it all;
// requests are completed only after it is released, since a completion
// routine may send the next request straight back into the stack.
#pragma once

#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "host/kernel/scheduler.h"
#include "host/kernel/api/hostusb.h"
#include "host/usbstack/descriptors.h"
#include "host/usbstack/fault_rules.h"
#include "host/usbstack/usb_bus.h"
#include "host/usbstack/usb_capture.h"

namespace host::usb {

inline constexpr int64_t kFrameTime = 10000;  // 1 ms in 100-ns units
inline constexpr uint32_t kControlBytesPerFrame = 512;  // data stage progress of a control transfer per frame
inline constexpr int kPortResetFrames = 10;

struct PipeState {
  uint8_t address = 0;
  USBD_PIPE_TYPE type = UsbdPipeTypeBulk;
  uint16_t maxPacket = 0;
  uint8_t interval = 0;
  uint32_t maxTransfer = 0;
  uint8_t interfaceNumber = 0;
  bool halted = false;
  DataPid toggle = DataPid::Data0;  // the PID of the next packet out, or the one expected in
};

// Where the PDO stands by the Plug and Play requests it has received.
enum class PdoState { NotStarted, Started, Stopped, Removed };

struct PortState {
  Port number = 0;
  std::shared_ptr<UsbDevice> device;
  PDEVICE_OBJECT pdo = nullptr;
  bool attached = true;  // false once unplugged; the PDO then waits for its remove
  PdoState pnp = PdoState::NotStarted;
  DEVICE_POWER_STATE power = PowerDeviceD0;  // from the device set-power requests the PDO completed
  FaultRules faults;
  PortStats stats;
  bool usedThisFrame = false;

  // The selected configuration; handles are tokens of this port's tables.
  std::optional<ConfigurationLayout> layout;
  PVOID configurationHandle = nullptr;
  std::map<PVOID, uint8_t> pipeHandles;       // handle -> endpoint address
  std::map<uint8_t, PipeState> pipes;         // endpoint address -> pipe
  std::map<uint8_t, PVOID> interfaceHandles;  // interface number -> handle
  std::map<uint8_t, uint8_t> alternateSettings;  // interface number -> selected setting
};

enum class Phase { Active, Waiting, Held };

struct Request {
  PIRP irp = nullptr;
  Port port = 0;
  PURB urb = nullptr;  // null for a port reset
  uint16_t function = 0;
  RequestKind kind = RequestKind::Any;
  int64_t submitted = 0;
  Phase phase = Phase::Active;
  int64_t due = 0;        // Waiting: when it becomes active
  bool stall = false;     // an injected stall, answered in place of the device

  bool immediate = false;  // select, abort, reset pipe: served in one step, no bus time
  bool control = false;    // a transfer on the default pipe
  SetupPacket setup;
  int framesLeft = 0;      // control and port reset: frames until the transfer completes
  bool answered = false;   // control: the device has answered the setup

  uint8_t endpoint = 0;
  bool in = false;
  uint8_t *buffer = nullptr;
  uint32_t length = 0;
  uint32_t moved = 0;
  bool shortOk = false;
  bool bulk = false;       // a bulk/interrupt transfer on the pipe of `endpoint`
  bool orphaned = false;   // its cancel routine owns it: the controller leaves it alone
  int64_t cancelDelay = 0;  // Held with a slow cancel: how long a cancel takes to complete it
  bool cancelling = false;  // cancelled; the controller completes it at `due`
};

// The request status the platform's stack gives a URB status (urb_requests.cpp).
NTSTATUS NtStatusFor(USBD_STATUS usbd);

// The outcome of a request, filled into its URB under the lock and reported
// to the I/O manager after it. The stack's own outcomes come from `Of`, so
// the two statuses always agree; only an injected fault may pair them freely.
struct Outcome {
  NTSTATUS status = STATUS_SUCCESS;
  USBD_STATUS usbd = USBD_STATUS_SUCCESS;

  static Outcome Of(USBD_STATUS usbd) { return {NtStatusFor(usbd), usbd}; }
};

struct Finished {
  PIRP irp;
  NTSTATUS status;
};

// What one endpoint's turn on the bus took: its slots, and whether its
// transfer is still queued and took every slot it was given.
struct BulkTurn {
  uint32_t slots = 0;
  bool goesOn = false;
};

// An endpoint's place in the controller's bulk list: port, then endpoint.
inline uint64_t ListKey(Port port, uint8_t endpoint) { return uint64_t{port} << 8 | endpoint; }

class UsbBus::Impl {
 public:
  explicit Impl(BusOptions options);
  ~Impl();

  // Dispatch entry points (called from the driver object's table).
  NTSTATUS DispatchInternalControl(PIRP irp);
  NTSTATUS DispatchPnp(Port port, PDEVICE_OBJECT device, PIRP irp);  // port 0: the hub
  NTSTATUS DispatchPower(Port port, PIRP irp);  // port 0: the hub
  void NoteStateChange(Port port, UCHAR minor);  // a PDO's Plug and Play state change
  NTSTATUS PendOnOwnThread(PIRP irp, std::function<void()> serve);  // force-pending
  void CancelQueued(PIRP irp);

  Port Attach(std::shared_ptr<UsbDevice> device, const std::function<void(FaultInjector &)> &prepare);
  void Detach(Port port);
  PortState *FindPort(Port port);  // under the lock
  std::optional<NTSTATUS> Refusal(Port port, PIRP irp);  // takes the lock
  PortState *PortOfPdo(PDEVICE_OBJECT pdo);

  // ---- under the lock
  void UnplugLocked(PortState &port, std::vector<Finished> &done);
  void Finish(std::list<std::unique_ptr<Request>>::iterator it, Outcome outcome, std::vector<Finished> &done);
  void FinishUnqueued(Request &request, Outcome outcome, std::vector<Finished> &done);
  void CaptureSubmit(const Request &request, const PortState &port);
  void CaptureComplete(const Request &request, const PortState &port, USBD_STATUS usbd);
  bool Claim(Request &request);  // takes the request back from its cancel routine

  // URB handling (urb_requests.cpp)
  std::optional<Outcome> RefuseForState(const PortState &port, const Request &request) const;
  std::optional<Outcome> Prepare(PortState &port, Request &request);
  Outcome ServeImmediate(PortState &port, Request &request, std::vector<Finished> &done);

  // Host controller (host_controller.cpp)
  void ControllerLoop();
  void RunFrame(int64_t now, std::vector<Finished> &done);
  std::vector<PortState *> PortsInFrame();
  std::vector<std::list<std::unique_ptr<Request>>::iterator> BulkHeads();
  uint32_t ServeInTurn(std::vector<std::list<std::unique_ptr<Request>>::iterator> heads, uint32_t budget,
                       std::vector<Finished> &done);
  void ServeControl(PortState &port, std::list<std::unique_ptr<Request>>::iterator it, std::vector<Finished> &done);
  BulkTurn ServeBulk(PortState &port, std::list<std::unique_ptr<Request>>::iterator it, uint32_t budget,
                     std::vector<Finished> &done);
  bool HasTimedWork() const;
  bool ServeAtOnce(PortState &port, std::list<std::unique_ptr<Request>>::iterator it, std::vector<Finished> &done);

  static void CompleteAll(std::vector<Finished> &done);

  BusOptions options;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT hub = nullptr;

  mutable host::Mutex mutex;
  sched::CondVar wake;
  std::map<Port, std::unique_ptr<PortState>> ports;
  std::list<std::unique_ptr<Request>> queue;  // submission order
  BusStats stats;
  uint64_t bulkCursor = 0;  // ListKey of the bulk endpoint the controller serves next
  std::set<Port> draining;  // ports whose device may work on with no request queued
  uint64_t handleSalt = 0;
  uint64_t handleCounter = 0;
  bool stopping = false;
  CaptureFile capture;
  std::vector<sched::Thread> deferred;  // force-pended Plug and Play and power requests
  sched::Thread controller;
};

// The extension of every device object of the bus driver.
struct BusDeviceExtension {
  uint32_t magic;
  UsbBus::Impl *bus;
  Port port;  // 0: the root hub
};
inline constexpr uint32_t kBusExtensionMagic = 0x42555342;  // "BSUB"

RequestKind KindOf(const URB &urb);

}  // namespace host::usb
