// Plug and Play and power requests of the root hub and the device PDOs,
// answered as a bus driver answers them: what it knows it completes with
// success, everything else it completes with the status left untouched.
#include <string>
#include <vector>

#include "host/usbstack/bus_impl.h"
#include "host/usbstack/usb_ids.h"

namespace host::usb {

namespace {

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS CompleteUntouched(PIRP irp) {
  const NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// A MULTI_SZ (or, with one string, a plain string) in paged pool, which the PnP manager frees.
PWSTR PagedIdString(const std::vector<std::string> &strings, bool multi) {
  size_t characters = multi ? 1 : 0;
  for (const auto &s : strings) characters += s.size() + 1;
  auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, characters * sizeof(WCHAR), kUsbBusPoolTag));
  if (!buffer) return nullptr;
  PWSTR out = buffer;
  for (const auto &s : strings) {
    for (char c : s) *out++ = static_cast<WCHAR>(static_cast<unsigned char>(c));
    *out++ = 0;
  }
  if (multi) *out = 0;
  return buffer;
}

NTSTATUS CompleteIds(PIRP irp, const std::vector<std::string> &strings, bool multi) {
  PWSTR buffer = PagedIdString(strings, multi);
  if (!buffer) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(buffer));
}

NTSTATUS CompleteRelations(PIRP irp, const std::vector<PDEVICE_OBJECT> &devices) {
  const size_t size = sizeof(DEVICE_RELATIONS) + sizeof(PDEVICE_OBJECT) * (devices.empty() ? 0 : devices.size() - 1);
  auto *relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kUsbBusPoolTag));
  if (!relations) return Complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  relations->Count = static_cast<ULONG>(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    ObReferenceObject(devices[i]);
    relations->Objects[i] = devices[i];
  }
  return Complete(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(relations));
}

void FillCapabilities(PDEVICE_CAPABILITIES caps, Port port, bool uniqueId) {
  caps->Removable = 1;
  caps->SurpriseRemovalOK = 1;
  caps->UniqueID = uniqueId ? 1 : 0;
  caps->Address = port;
  caps->UINumber = port;
  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  for (int state = PowerSystemSleeping1; state < PowerSystemMaximum; ++state)
    caps->DeviceState[state] = PowerDeviceD3;
  caps->SystemWake = PowerSystemUnspecified;
  caps->DeviceWake = PowerDeviceUnspecified;
}

bool IsStateChange(UCHAR minor) {
  switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return true;
    default:
      return false;
  }
}

bool IsRefusable(UCHAR major, UCHAR minor) {
  if (major == IRP_MJ_POWER) return minor == IRP_MN_QUERY_POWER;
  return minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE ||
         minor == IRP_MN_QUERY_CAPABILITIES;
}

}  // namespace

// The failure a fault rule gives a request to a device's PDO that a bus may
// refuse; none for any other request, the hub's, or no rule hitting it.
std::optional<NTSTATUS> UsbBus::Impl::Refusal(Port portNumber, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (portNumber == 0 || !IsRefusable(stack->MajorFunction, stack->MinorFunction)) return std::nullopt;
  std::lock_guard lock(mutex);
  PortState *port = FindPort(portNumber);
  if (!port) return std::nullopt;
  const auto fault = port->faults.Next(RequestKind::BusRequest);
  if (!fault || fault->action != Fault::Action::Fail) return std::nullopt;
  return fault->status;
}

NTSTATUS UsbBus::Impl::DispatchPnp(Port portNumber, PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const UCHAR minor = stack->MinorFunction;
  if (const auto refused = Refusal(portNumber, irp)) return Complete(irp, *refused, 0);
  if (IsStateChange(minor) || minor == IRP_MN_REMOVE_DEVICE) {
    if (portNumber != 0) NoteStateChange(portNumber, minor);
    if (minor == IRP_MN_REMOVE_DEVICE && portNumber != 0) {
      // A PDO whose device is gone is deleted at its remove; one still
      // plugged in stays, as the bus still reports it.
      PDEVICE_OBJECT deleting = nullptr;
      {
        std::lock_guard lock(mutex);
        PortState *port = FindPort(portNumber);
        if (port && !port->attached) {
          deleting = port->pdo;
          ports.erase(portNumber);
        }
      }
      Complete(irp, STATUS_SUCCESS, 0);
      if (deleting) IoDeleteDevice(deleting);
      return STATUS_SUCCESS;
    }
    return Complete(irp, STATUS_SUCCESS, irp->IoStatus.Information);
  }

  if (minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
    const auto type = stack->Parameters.QueryDeviceRelations.Type;
    if (portNumber == 0 && type == BusRelations) {
      std::vector<PDEVICE_OBJECT> children;
      {
        std::lock_guard lock(mutex);
        for (const auto &[number, port] : ports)
          if (port->attached && port->pdo) children.push_back(port->pdo);
      }
      return CompleteRelations(irp, children);
    }
    if (portNumber != 0 && type == TargetDeviceRelation) return CompleteRelations(irp, {device});
    return CompleteUntouched(irp);
  }

  if (minor == IRP_MN_QUERY_ID) {
    const auto type = stack->Parameters.QueryId.IdType;
    if (portNumber == 0) {
      const std::string instance = std::to_string(options.busNumber);
      switch (type) {
        case BusQueryDeviceID: return CompleteIds(irp, {"USB\\ROOT_HUB"}, false);
        case BusQueryHardwareIDs: return CompleteIds(irp, {"USB\\ROOT_HUB"}, true);
        case BusQueryInstanceID: return CompleteIds(irp, {instance}, false);
        default: return CompleteUntouched(irp);
      }
    }
    DeviceIdentity identity;
    {
      std::lock_guard lock(mutex);
      PortState *port = FindPort(portNumber);
      if (!port) return CompleteUntouched(irp);
      identity = IdentifyDevice(*port->device, portNumber);
    }
    switch (type) {
      case BusQueryDeviceID: return CompleteIds(irp, {identity.deviceId}, false);
      case BusQueryHardwareIDs: return CompleteIds(irp, identity.hardwareIds, true);
      case BusQueryCompatibleIDs: return CompleteIds(irp, identity.compatibleIds, true);
      case BusQueryInstanceID: return CompleteIds(irp, {identity.instanceId}, false);
      default: return CompleteUntouched(irp);
    }
  }

  if (minor == IRP_MN_QUERY_CAPABILITIES && portNumber != 0) {
    bool uniqueId = false;
    {
      std::lock_guard lock(mutex);
      PortState *port = FindPort(portNumber);
      if (!port) return CompleteUntouched(irp);
      uniqueId = IdentifyDevice(*port->device, portNumber).uniqueId;
    }
    FillCapabilities(stack->Parameters.DeviceCapabilities.Capabilities, portNumber, uniqueId);
    return Complete(irp, STATUS_SUCCESS, 0);
  }
  return CompleteUntouched(irp);
}

void UsbBus::Impl::NoteStateChange(Port portNumber, UCHAR minor) {
  std::lock_guard lock(mutex);
  PortState *port = FindPort(portNumber);
  if (!port) return;
  switch (minor) {
    case IRP_MN_START_DEVICE:  // a start leaves the device in D0
      port->pnp = PdoState::Started;
      port->power = PowerDeviceD0;
      break;
    case IRP_MN_STOP_DEVICE:
      port->pnp = PdoState::Stopped;
      break;
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:  // a PDO still plugged in is started again after its next report
      port->pnp = PdoState::Removed;
      break;
    default:
      break;  // the queries and cancels change nothing
  }
}

NTSTATUS UsbBus::Impl::DispatchPower(Port portNumber, PIRP irp) {
  PoStartNextPowerIrp(irp);
  if (const auto refused = Refusal(portNumber, irp)) return Complete(irp, *refused, 0);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const UCHAR minor = stack->MinorFunction;
  if (minor == IRP_MN_SET_POWER && portNumber != 0 && stack->Parameters.Power.Type == DevicePowerState) {
    std::lock_guard lock(mutex);
    if (PortState *port = FindPort(portNumber)) port->power = stack->Parameters.Power.State.DeviceState;
  }
  if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) return Complete(irp, STATUS_SUCCESS, 0);
  return CompleteUntouched(irp);
}

}  // namespace host::usb
