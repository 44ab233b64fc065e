// A whole host machine: the kernel, a USB bus, bridges with printers behind
// them, and the NorvUSB driver registered for the bridge's hardware ID. The
// programs and the scenario tests build on this; everything below it runs as
// the platform would.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/hardware/bridge.h"
#include "host/hardware/printer.h"
#include "host/kernel/host_kernel.h"
#include "host/pnp/pnp_manager.h"
#include "host/usbstack/usb_bus.h"

namespace host {

// One bridge to plug in: the bridge firmware's configuration and its printer.
struct BridgePlan {
  hardware::PrinterOptions printer;
  hardware::BridgeConfig bridge;
};

struct MachineOptions {
  KernelOptions kernel;  // scheduling mode and real-time pace
  usb::Timing timing = usb::Timing::FullSpeed;
  std::filesystem::path capture;  // USBPcap capture of all USB traffic; empty: none
  // DWORD values written into each bridge's driver key when it is installed,
  // as an INF file's AddReg would ("MaxTransferSize", "IFSetting", "AltSetting").
  std::vector<std::pair<std::string, uint32_t>> driverSettings;
};

// What the machine knows of one plugged bridge.
struct BridgeView {
  usb::Port port = 0;
  std::string instancePath;      // the bridge's device node
  std::string portName;          // "Port Name" of its driver key ("NorvUSB1", ...)
  std::u16string deviceName;     // "\Device\NorvUSBn" of its function device, if any
  std::optional<std::string> printerInstancePath;  // the child printer device node
};

class Machine {
 public:
  static constexpr const char *kService = "norvusb";

  explicit Machine(MachineOptions options = {});
  // Unplugs every bridge, lets the PnP manager remove them, then shuts the
  // kernel down, which checks for leaked pool blocks and objects.
  ~Machine();
  Machine(const Machine &) = delete;
  Machine &operator=(const Machine &) = delete;

  // Plugs a bridge in and waits until the PnP manager has finished with it
  // (driver loaded, bridge started, printer enumerated). Returns its index.
  size_t Plug(BridgePlan plan = {});
  // Pulls the cable: the device is gone from the bus at once; the PnP manager
  // surprise-removes it and removes it when the last handle is closed.
  void Unplug(size_t index);
  bool IsPlugged(size_t index) const;
  size_t BridgeCount() const { return bridges_.size(); }

  hardware::Bridge &Bridge(size_t index) const;
  hardware::Printer &Printer(size_t index) const;
  usb::Port Port(size_t index) const;
  BridgeView View(size_t index) const;

  usb::UsbBus &Bus() { return *bus_; }
  // Ends the capture; returns why a write of it failed, empty when none did.
  std::string StopCapture();
  void WaitIdle() const;

 private:
  struct Slot {
    std::shared_ptr<hardware::Printer> printer;
    std::shared_ptr<hardware::Bridge> bridge;
    usb::Port port = 0;
    bool attached = false;
  };

  const Slot &At(size_t index) const;

  MachineOptions options_;
  std::unique_ptr<Kernel> kernel_;
  std::unique_ptr<usb::UsbBus> bus_;
  std::vector<Slot> bridges_;
};

// The bridge's hardware ID, under which the driver is registered.
std::string BridgeHardwareId();

}  // namespace host
