#include "host/machine/machine.h"

#include <cstdio>
#include <stdexcept>

#include "host/kernel/detail.h"
#include "host/kernel/registry.h"

// The driver image's entry point, as the loader finds it.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace host {

namespace {

char HexDigit(unsigned value) { return "0123456789ABCDEF"[value & 0xF]; }

std::string Hex4(uint16_t value) {
  return {HexDigit(value >> 12), HexDigit(value >> 8), HexDigit(value >> 4), HexDigit(value)};
}

// The function device's name: the driver names its bridges "\Device\NorvUSBn".
std::u16string DeviceNameOf(PDEVICE_OBJECT top) {
  if (top == nullptr) return {};
  for (int n = 1; n <= 256; ++n) {
    std::u16string name = u"\\Device\\NorvUSB" + registry::ToUtf16(std::to_string(n));
    if (LookupDevice(name) == top) return name;
  }
  return {};
}

}  // namespace

std::string BridgeHardwareId() {
  return "USB\\VID_" + Hex4(hardware::kBridgeVendorId) + "&PID_" + Hex4(hardware::kBridgeProductId);
}

Machine::Machine(MachineOptions options) : options_(std::move(options)) {
  kernel_ = std::make_unique<Kernel>(KernelOptions{options_.speedFactor});
  pnp::RegisterDriver(BridgeHardwareId(), kService, DriverEntry);
  for (const auto &[name, value] : options_.driverSettings) pnp::SetDriverDefault(kService, name, value);

  usb::BusOptions bus;
  bus.timing = options_.timing;
  bus_ = std::make_unique<usb::UsbBus>(bus);
  if (!options_.capture.empty()) {
    std::string error;
    if (!bus_->StartCapture(options_.capture, &error))
      throw std::runtime_error("cannot write the capture " + options_.capture.string() + ": " + error);
  }
  pnp::RegisterBus(bus_->HubDevice());
  pnp::WaitIdle();
}

std::string Machine::StopCapture() { return bus_ ? bus_->StopCapture() : std::string(); }

Machine::~Machine() {
  for (size_t i = 0; i < bridges_.size(); ++i)
    if (bridges_[i].attached) Unplug(i);
  pnp::WaitIdle();
  if (bus_) bus_->StopCapture();
  // The PnP manager lets go of the bus's devices before the bus goes.
  detail::PnpReset();
  bus_.reset();
  kernel_.reset();
}

size_t Machine::Plug(BridgePlan plan) {
  // Every bridge off the line has a serial number of its own; two equal ones
  // would be one device instance to the PnP manager.
  if (plan.bridge.identity.serialNumber == hardware::DeviceIdentity{}.serialNumber) {
    char serial[32];
    std::snprintf(serial, sizeof serial, "NB1284-%04zu", bridges_.size() + 1);
    plan.bridge.identity.serialNumber = serial;
  }
  Slot plugged;
  plugged.printer = std::make_shared<hardware::Printer>(std::move(plan.printer));
  plugged.bridge = std::make_shared<hardware::Bridge>(plugged.printer, std::move(plan.bridge));
  plugged.port = bus_->Attach(plugged.bridge);
  plugged.attached = true;
  bridges_.push_back(std::move(plugged));
  pnp::WaitIdle();
  return bridges_.size() - 1;
}

void Machine::Unplug(size_t index) {
  Slot &plugged = bridges_.at(index);
  if (!plugged.attached) return;
  plugged.attached = false;
  bus_->Detach(plugged.port);
  pnp::WaitIdle();
}

bool Machine::IsPlugged(size_t index) const { return At(index).attached; }

const Machine::Slot &Machine::At(size_t index) const {
  if (index >= bridges_.size()) throw std::out_of_range("no bridge " + std::to_string(index + 1));
  return bridges_[index];
}

hardware::Bridge &Machine::Bridge(size_t index) const { return *At(index).bridge; }
hardware::Printer &Machine::Printer(size_t index) const { return *At(index).printer; }
usb::Port Machine::Port(size_t index) const { return At(index).port; }

BridgeView Machine::View(size_t index) const {
  const Slot &plugged = At(index);
  BridgeView view;
  view.port = plugged.port;
  if (!plugged.attached) return view;
  auto node = pnp::FindDeviceByPdo(bus_->Pdo(plugged.port));
  if (!node) return view;
  view.instancePath = node->instancePath;
  view.portName = registry::GetString(pnp::DriverKeyPath(node->instancePath), "Port Name").value_or("");
  view.deviceName = DeviceNameOf(node->top);
  if (!node->children.empty()) view.printerInstancePath = node->children.front();
  return view;
}

void Machine::WaitIdle() const { pnp::WaitIdle(); }

}  // namespace host
