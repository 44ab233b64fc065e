// URB validation and the requests the stack serves without bus time:
// select configuration and interface, abort and reset pipe. Every check
// happens before anything changes, so a refused URB leaves the port as it was.
#include <algorithm>
#include <cstddef>
#include <functional>

#include "host/usbstack/bus_impl.h"

namespace host::usb {

namespace {

constexpr size_t kPipeRequestLength = offsetof(_URB_PIPE_REQUEST, PipeHandle) + sizeof(USBD_PIPE_HANDLE);
constexpr size_t kInterfaceHeaderLength = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

constexpr uint8_t kDirectionIn = 0x80;
constexpr uint8_t kTypeStandard = 0x00, kTypeClass = 0x20, kTypeVendor = 0x40;
constexpr uint8_t kRequestGetStatus = 0, kRequestClearFeature = 1, kRequestSetFeature = 3,
                  kRequestGetDescriptor = 6, kRequestSetConfiguration = 9, kRequestSetInterface = 11;

Outcome Refuse(USBD_STATUS usbd) { return {NtStatusFor(usbd), usbd}; }

// The recipient a URB function addresses: 0 device, 1 interface, 2 endpoint, 3 other.
uint8_t RecipientOf(uint16_t function) {
  switch (function) {
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
      return 1;
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
      return 2;
    case 0x001F:  // CLASS_OTHER
    case 0x0020:  // VENDOR_OTHER
      return 3;
    default:
      return 0;
  }
}

bool IsVendorOrClass(uint16_t function) {
  return (function >= URB_FUNCTION_VENDOR_DEVICE && function <= URB_FUNCTION_CLASS_ENDPOINT) || function == 0x001F ||
         function == 0x0020;
}

bool IsPipeRequest(uint16_t function) {
  return function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_RESET_PIPE ||
         function == URB_FUNCTION_SYNC_RESET_PIPE || function == URB_FUNCTION_SYNC_CLEAR_STALL;
}

bool IsFeatureRequest(uint16_t function) {
  return function == URB_FUNCTION_SET_FEATURE_TO_DEVICE || function == URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE ||
         function == URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE || function == URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT;
}

// The smallest header Length the stack accepts: everything it reads must lie inside.
size_t MinimumLength(uint16_t function) {
  if (function == URB_FUNCTION_SELECT_CONFIGURATION) return offsetof(_URB_SELECT_CONFIGURATION, Interface);
  if (function == URB_FUNCTION_SELECT_INTERFACE) return offsetof(_URB_SELECT_INTERFACE, Interface) + kInterfaceHeaderLength;
  if (IsPipeRequest(function)) return kPipeRequestLength;
  if (function == URB_FUNCTION_CONTROL_TRANSFER) return sizeof(_URB_CONTROL_TRANSFER);
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
  if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
  if (IsFeatureRequest(function)) return sizeof(_URB_CONTROL_FEATURE_REQUEST);
  if (function == URB_FUNCTION_GET_STATUS_FROM_DEVICE) return sizeof(_URB_CONTROL_GET_STATUS_REQUEST);
  if (IsVendorOrClass(function)) return sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  return 0;  // unknown
}

// The data buffer of a transfer URB: the virtual address, or the MDL's system address.
uint8_t *BufferOf(PVOID buffer, PMDL mdl) {
  if (buffer) return static_cast<uint8_t *>(buffer);
  if (!mdl) return nullptr;
  if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL))
    return static_cast<uint8_t *>(mdl->MappedSystemVa);
  return static_cast<uint8_t *>(MmGetMdlVirtualAddress(mdl));
}

// Fills the transfer part of a request from the common transfer fields.
std::optional<Outcome> TakeTransfer(Request &request, ULONG flags, ULONG length, PVOID buffer, PMDL mdl) {
  request.buffer = BufferOf(buffer, mdl);
  request.length = length;
  request.in = (flags & USBD_TRANSFER_DIRECTION_IN) != 0;
  request.shortOk = (flags & USBD_SHORT_TRANSFER_OK) != 0;
  if (length != 0 && !request.buffer) return Refuse(USBD_STATUS_INVALID_PARAMETER);
  return std::nullopt;
}

std::optional<Outcome> PrepareControl(Request &request, uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue,
                                      uint16_t wIndex) {
  if (request.length > 0xFFFF) return Refuse(USBD_STATUS_INVALID_PARAMETER);
  request.control = true;
  request.setup = SetupPacket{bmRequestType, bRequest, wValue, wIndex, static_cast<uint16_t>(request.length)};
  return std::nullopt;
}

std::optional<Outcome> PrepareBulk(PortState &port, Request &request) {
  auto &urb = request.urb->UrbBulkOrInterruptTransfer;
  auto handle = port.pipeHandles.find(urb.PipeHandle);
  if (handle == port.pipeHandles.end()) return Refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
  PipeState &pipe = port.pipes.at(handle->second);
  if (pipe.type != UsbdPipeTypeBulk && pipe.type != UsbdPipeTypeInterrupt) return Refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
  if (auto refusal = TakeTransfer(request, urb.TransferFlags, urb.TransferBufferLength, urb.TransferBuffer,
                                  urb.TransferBufferMDL))
    return refusal;
  if (request.in != ((pipe.address & kDirectionIn) != 0)) return Refuse(USBD_STATUS_INVALID_PARAMETER);
  if (request.length > pipe.maxTransfer) return Refuse(USBD_STATUS_INVALID_PARAMETER);
  request.bulk = true;
  request.endpoint = pipe.address;
  request.kind = request.in ? RequestKind::BulkIn : RequestKind::BulkOut;
  return std::nullopt;
}

std::optional<Outcome> PrepareControlTransfer(PortState &port, Request &request) {
  auto &urb = request.urb->UrbControlTransfer;
  if (urb.PipeHandle) {
    auto handle = port.pipeHandles.find(urb.PipeHandle);
    if (handle == port.pipeHandles.end() || port.pipes.at(handle->second).type != UsbdPipeTypeControl)
      return Refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
  }
  if (auto refusal = TakeTransfer(request, urb.TransferFlags, urb.TransferBufferLength, urb.TransferBuffer,
                                  urb.TransferBufferMDL))
    return refusal;
  const uint8_t *setup = urb.SetupPacket;
  if (((setup[0] & kDirectionIn) != 0) != request.in) return Refuse(USBD_STATUS_INVALID_PARAMETER);
  // The stack, not the caller, decides wLength: it is the buffer's length.
  return PrepareControl(request, setup[0], setup[1], static_cast<uint16_t>(setup[2] | setup[3] << 8),
                        static_cast<uint16_t>(setup[4] | setup[5] << 8));
}

std::optional<Outcome> PreparePipeRequest(PortState &port, Request &request) {
  auto handle = port.pipeHandles.find(request.urb->UrbPipeRequest.PipeHandle);
  if (handle == port.pipeHandles.end()) return Refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
  request.endpoint = handle->second;
  request.immediate = true;
  return std::nullopt;
}

}  // namespace

NTSTATUS NtStatusFor(USBD_STATUS usbd) {
  switch (usbd) {
    case USBD_STATUS_SUCCESS:
      return STATUS_SUCCESS;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_ERROR_BUSY:
      return STATUS_DEVICE_BUSY;
    case USBD_STATUS_BUFFER_TOO_SMALL:
      return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
      return STATUS_INVALID_PARAMETER;
    default:
      // Request errors (0x8...) are the caller's; transfer errors (0xC...) the device's.
      return (static_cast<uint32_t>(usbd) >> 30) == 2 ? STATUS_INVALID_PARAMETER : STATUS_UNSUCCESSFUL;
  }
}

RequestKind KindOf(const URB &urb) {
  const uint16_t function = urb.UrbHeader.Function;
  if (function == URB_FUNCTION_SELECT_CONFIGURATION || function == URB_FUNCTION_SELECT_INTERFACE)
    return RequestKind::Select;
  if (function == URB_FUNCTION_ABORT_PIPE) return RequestKind::Abort;
  if (IsPipeRequest(function)) return RequestKind::ResetPipe;
  if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) return RequestKind::Descriptor;
  if (IsFeatureRequest(function)) return RequestKind::Clear;
  if (function >= URB_FUNCTION_VENDOR_DEVICE && function <= URB_FUNCTION_VENDOR_ENDPOINT) return RequestKind::Vendor;
  if (function == 0x0020) return RequestKind::Vendor;
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
    return (urb.UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? RequestKind::BulkIn
                                                                                         : RequestKind::BulkOut;
  return RequestKind::Control;
}

std::optional<Outcome> UsbBus::Impl::Prepare(PortState &port, Request &request) {
  URB &urb = *request.urb;
  const uint16_t function = urb.UrbHeader.Function;
  const size_t minimum = MinimumLength(function);
  if (minimum == 0) return Refuse(USBD_STATUS_INVALID_URB_FUNCTION);
  if (urb.UrbHeader.Length < minimum) return Refuse(USBD_STATUS_INVALID_PARAMETER);
  request.kind = KindOf(urb);

  if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
    const auto *descriptor = urb.UrbSelectConfiguration.ConfigurationDescriptor;
    request.immediate = true;
    request.setup = {0x00, kRequestSetConfiguration, static_cast<uint16_t>(descriptor ? descriptor->bConfigurationValue : 0), 0, 0};
    return std::nullopt;
  }
  if (function == URB_FUNCTION_SELECT_INTERFACE) {
    const auto &interface = urb.UrbSelectInterface.Interface;
    request.immediate = true;
    request.setup = {0x01, kRequestSetInterface, interface.AlternateSetting, interface.InterfaceNumber, 0};
    return std::nullopt;
  }
  if (IsPipeRequest(function)) return PreparePipeRequest(port, request);
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) return PrepareBulk(port, request);
  if (function == URB_FUNCTION_CONTROL_TRANSFER) return PrepareControlTransfer(port, request);

  if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
    auto &d = urb.UrbControlDescriptorRequest;
    if (auto refusal =
            TakeTransfer(request, USBD_TRANSFER_DIRECTION_IN, d.TransferBufferLength, d.TransferBuffer, d.TransferBufferMDL))
      return refusal;
    return PrepareControl(request, kDirectionIn, kRequestGetDescriptor,
                          static_cast<uint16_t>(d.DescriptorType << 8 | d.Index), d.LanguageId);
  }
  if (IsFeatureRequest(function)) {
    auto &f = urb.UrbControlFeatureRequest;
    request.in = false;
    const uint8_t bRequest = function == URB_FUNCTION_SET_FEATURE_TO_DEVICE ? kRequestSetFeature : kRequestClearFeature;
    return PrepareControl(request, kTypeStandard | RecipientOf(function), bRequest, f.FeatureSelector, f.Index);
  }
  if (function == URB_FUNCTION_GET_STATUS_FROM_DEVICE) {
    auto &g = urb.UrbControlGetStatusRequest;
    if (g.TransferBufferLength < 2) return Refuse(USBD_STATUS_INVALID_PARAMETER);
    if (auto refusal = TakeTransfer(request, USBD_TRANSFER_DIRECTION_IN, 2, g.TransferBuffer, g.TransferBufferMDL))
      return refusal;
    return PrepareControl(request, kDirectionIn, kRequestGetStatus, 0, g.Index);
  }
  // Vendor and class requests.
  auto &v = urb.UrbControlVendorClassRequest;
  if (auto refusal = TakeTransfer(request, v.TransferFlags, v.TransferBufferLength, v.TransferBuffer, v.TransferBufferMDL))
    return refusal;
  const uint8_t type = (function >= URB_FUNCTION_VENDOR_DEVICE && function <= URB_FUNCTION_VENDOR_ENDPOINT) ||
                               function == 0x0020
                           ? kTypeVendor
                           : kTypeClass;
  const uint8_t bmRequestType =
      static_cast<uint8_t>((request.in ? kDirectionIn : 0) | type | RecipientOf(function) | v.RequestTypeReservedBits);
  return PrepareControl(request, bmRequestType, v.Request, v.Value, v.Index);
}

// ------------------------------------------------------------------ select configuration and interface

namespace {

// One interface entry of a select URB, checked against the configuration.
struct InterfacePlan {
  PUSBD_INTERFACE_INFORMATION entry;
  const InterfaceDescriptor *interface;
};

std::optional<USBD_STATUS> CheckEntry(const ConfigurationLayout &layout, PUSBD_INTERFACE_INFORMATION entry,
                                      size_t room, uint32_t maxTransferLimit, InterfacePlan &plan) {
  if (entry->Length < kInterfaceHeaderLength || entry->Length > room) return USBD_STATUS_INVALID_PARAMETER;
  const InterfaceDescriptor *interface = layout.Find(entry->InterfaceNumber, entry->AlternateSetting);
  if (!interface) return USBD_STATUS_INVALID_PARAMETER;
  if (interface->endpoints.size() < interface->declaredEndpoints) return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
  if (entry->Length < kInterfaceHeaderLength + sizeof(USBD_PIPE_INFORMATION) * interface->declaredEndpoints)
    return USBD_STATUS_BUFFER_TOO_SMALL;
  for (size_t i = 0; i < interface->declaredEndpoints; ++i) {
    const ULONG size = entry->Pipes[i].MaximumTransferSize;
    if (size == 0 || size > maxTransferLimit) return USBD_STATUS_INVALID_PARAMETER;
  }
  plan = {entry, interface};
  return std::nullopt;
}

PVOID NewHandle(UsbBus::Impl &bus) {
  // Tokens, not addresses: a driver cannot make one up or carry one across a reconfiguration.
  return reinterpret_cast<PVOID>(static_cast<uintptr_t>(bus.handleSalt + (++bus.handleCounter << 4)));
}

void CancelTransfersOn(UsbBus::Impl &bus, PortState &port, const std::function<bool(uint8_t)> &endpointMatches,
                       std::vector<Finished> &done) {
  for (auto it = bus.queue.begin(); it != bus.queue.end();) {
    auto next = std::next(it);
    Request &request = **it;
    if (request.port == port.number && request.bulk && endpointMatches(request.endpoint) && bus.Claim(request))
      bus.Finish(it, {STATUS_CANCELLED, USBD_STATUS_CANCELED}, done);
    it = next;
  }
}

void CloseInterfacePipes(UsbBus::Impl &bus, PortState &port, uint8_t interfaceNumber, std::vector<Finished> &done) {
  std::vector<uint8_t> closing;
  for (const auto &[address, pipe] : port.pipes)
    if (pipe.interfaceNumber == interfaceNumber) closing.push_back(address);
  auto matches = [&closing](uint8_t address) { return std::find(closing.begin(), closing.end(), address) != closing.end(); };
  CancelTransfersOn(bus, port, matches, done);
  std::erase_if(port.pipeHandles, [&](const auto &item) { return matches(item.second); });
  for (uint8_t address : closing) port.pipes.erase(address);
}

void OpenInterface(UsbBus::Impl &bus, PortState &port, const InterfacePlan &plan) {
  PUSBD_INTERFACE_INFORMATION entry = plan.entry;
  const InterfaceDescriptor &interface = *plan.interface;
  entry->Class = interface.interfaceClass;
  entry->SubClass = interface.subClass;
  entry->Protocol = interface.protocol;
  entry->InterfaceHandle = NewHandle(bus);
  entry->NumberOfPipes = interface.declaredEndpoints;
  port.interfaceHandles[interface.number] = entry->InterfaceHandle;
  port.alternateSettings[interface.number] = interface.alternateSetting;
  for (size_t i = 0; i < interface.declaredEndpoints; ++i) {
    const EndpointDescriptor &endpoint = interface.endpoints[i];
    USBD_PIPE_INFORMATION &info = entry->Pipes[i];
    info.MaximumPacketSize = endpoint.maxPacketSize;
    info.EndpointAddress = endpoint.address;
    info.Interval = endpoint.interval;
    info.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint.attributes & USB_ENDPOINT_TYPE_MASK);
    info.PipeHandle = NewHandle(bus);
    PipeState pipe;
    pipe.address = endpoint.address;
    pipe.type = info.PipeType;
    pipe.maxPacket = endpoint.maxPacketSize ? endpoint.maxPacketSize : 64;
    pipe.interval = endpoint.interval;
    pipe.maxTransfer = info.MaximumTransferSize;
    pipe.interfaceNumber = interface.number;
    port.pipes[endpoint.address] = pipe;
    port.pipeHandles[info.PipeHandle] = endpoint.address;
  }
  if (interface.alternateSetting != 0) port.device->SetInterface(interface.number, interface.alternateSetting);
}

void Unconfigure(UsbBus::Impl &bus, PortState &port, std::vector<Finished> &done) {
  CancelTransfersOn(bus, port, [](uint8_t) { return true; }, done);
  port.layout.reset();
  port.configurationHandle = nullptr;
  port.pipeHandles.clear();
  port.pipes.clear();
  port.interfaceHandles.clear();
  port.alternateSettings.clear();
}

Outcome SelectConfiguration(UsbBus::Impl &bus, PortState &port, Request &request, std::vector<Finished> &done) {
  auto &urb = request.urb->UrbSelectConfiguration;
  const auto *descriptor = urb.ConfigurationDescriptor;
  if (!descriptor) {
    Unconfigure(bus, port, done);
    port.device->SetConfiguration(0);
    return {};
  }
  const auto layout = ParseConfiguration({reinterpret_cast<const uint8_t *>(descriptor), descriptor->wTotalLength});
  if (!layout || layout->declaredInterfaces == 0) return Refuse(USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);

  // Interface entries follow one another up to the URB's Length; an entry of Length 0 ends the list.
  std::vector<InterfacePlan> plans;
  auto *base = reinterpret_cast<uint8_t *>(request.urb);
  size_t offset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  while (offset + kInterfaceHeaderLength <= urb.Hdr.Length && plans.size() < layout->declaredInterfaces) {
    auto *entry = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
    if (entry->Length == 0) break;
    InterfacePlan plan{};
    if (auto error = CheckEntry(*layout, entry, urb.Hdr.Length - offset, bus.options.maxTransferSizeLimit, plan))
      return Refuse(*error);
    for (const auto &earlier : plans)
      if (earlier.interface->number == plan.interface->number) return Refuse(USBD_STATUS_INVALID_PARAMETER);
    plans.push_back(plan);
    offset += entry->Length;
  }
  if (plans.empty()) return Refuse(USBD_STATUS_INVALID_PARAMETER);

  Unconfigure(bus, port, done);
  port.device->SetConfiguration(layout->configurationValue);
  port.layout = *layout;
  port.configurationHandle = NewHandle(bus);
  urb.ConfigurationHandle = port.configurationHandle;
  for (const auto &plan : plans) OpenInterface(bus, port, plan);
  return {};
}

Outcome SelectInterface(UsbBus::Impl &bus, PortState &port, Request &request, std::vector<Finished> &done) {
  auto &urb = request.urb->UrbSelectInterface;
  if (!port.layout || urb.ConfigurationHandle != port.configurationHandle || !urb.ConfigurationHandle)
    return Refuse(USBD_STATUS_INVALID_PARAMETER);
  const size_t offset = offsetof(_URB_SELECT_INTERFACE, Interface);
  InterfacePlan plan{};
  if (auto error =
          CheckEntry(*port.layout, &urb.Interface, urb.Hdr.Length - offset, bus.options.maxTransferSizeLimit, plan))
    return Refuse(*error);
  CloseInterfacePipes(bus, port, plan.interface->number, done);
  if (plan.interface->alternateSetting == 0) port.device->SetInterface(plan.interface->number, 0);
  OpenInterface(bus, port, plan);
  return {};
}

}  // namespace

Outcome UsbBus::Impl::ServeImmediate(PortState &port, Request &request, std::vector<Finished> &done) {
  if (!port.attached) return {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
  if (request.stall) return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
  switch (request.function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
      return SelectConfiguration(*this, port, request, done);
    case URB_FUNCTION_SELECT_INTERFACE:
      return SelectInterface(*this, port, request, done);
    default:
      break;
  }
  // Pipe requests: the handle was valid at submission, but a delayed one may
  // find its configuration gone.
  auto pipe = port.pipes.find(request.endpoint);
  if (pipe == port.pipes.end()) return Refuse(USBD_STATUS_INVALID_PIPE_HANDLE);
  const uint8_t address = request.endpoint;
  if (request.function == URB_FUNCTION_ABORT_PIPE) {
    CancelTransfersOn(*this, port, [address](uint8_t a) { return a == address; }, done);
    return {};
  }
  pipe->second.halted = false;
  if (request.function != URB_FUNCTION_SYNC_RESET_PIPE) port.device->ClearHalt(address);
  return {};
}

}  // namespace host::usb
