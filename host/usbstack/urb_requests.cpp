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
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_OTHER:
      return 3;
    default:
      return 0;
  }
}

bool IsPipeRequest(uint16_t function) {
  return function == URB_FUNCTION_ABORT_PIPE || function == URB_FUNCTION_RESET_PIPE ||
         function == URB_FUNCTION_SYNC_RESET_PIPE || function == URB_FUNCTION_SYNC_CLEAR_STALL;
}

bool IsFeatureRequest(uint16_t function) {
  return function == URB_FUNCTION_SET_FEATURE_TO_DEVICE || function == URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE ||
         function == URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE || function == URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT;
}

// The header Length each function the stack serves must reach, as the
// platform's dispatch table gives one per function: the whole structure of
// the request. Two kinds differ. Pipe requests end at the handle: their
// trailing Reserved word is never read, so a driver that sends header plus
// handle is served. The select requests are of variable length: the
// fixed part here, and each interface entry is checked against Length when
// the selection is served.
struct FunctionLength {
  uint16_t function;
  size_t minimum;
};

constexpr size_t kControlLength = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
constexpr FunctionLength kFunctionLengths[] = {
    {URB_FUNCTION_SELECT_CONFIGURATION, offsetof(_URB_SELECT_CONFIGURATION, Interface)},
    {URB_FUNCTION_SELECT_INTERFACE, offsetof(_URB_SELECT_INTERFACE, Interface) + kInterfaceHeaderLength},
    {URB_FUNCTION_ABORT_PIPE, kPipeRequestLength},
    {URB_FUNCTION_RESET_PIPE, kPipeRequestLength},
    {URB_FUNCTION_SYNC_RESET_PIPE, kPipeRequestLength},
    {URB_FUNCTION_SYNC_CLEAR_STALL, kPipeRequestLength},
    {URB_FUNCTION_CONTROL_TRANSFER, sizeof(_URB_CONTROL_TRANSFER)},
    {URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)},
    {URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST)},
    {URB_FUNCTION_SET_FEATURE_TO_DEVICE, sizeof(_URB_CONTROL_FEATURE_REQUEST)},
    {URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, sizeof(_URB_CONTROL_FEATURE_REQUEST)},
    {URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, sizeof(_URB_CONTROL_FEATURE_REQUEST)},
    {URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, sizeof(_URB_CONTROL_FEATURE_REQUEST)},
    {URB_FUNCTION_GET_STATUS_FROM_DEVICE, sizeof(_URB_CONTROL_GET_STATUS_REQUEST)},
    {URB_FUNCTION_VENDOR_DEVICE, kControlLength},
    {URB_FUNCTION_VENDOR_INTERFACE, kControlLength},
    {URB_FUNCTION_VENDOR_ENDPOINT, kControlLength},
    {URB_FUNCTION_VENDOR_OTHER, kControlLength},
    {URB_FUNCTION_CLASS_DEVICE, kControlLength},
    {URB_FUNCTION_CLASS_INTERFACE, kControlLength},
    {URB_FUNCTION_CLASS_ENDPOINT, kControlLength},
    {URB_FUNCTION_CLASS_OTHER, kControlLength},
};

// 0 for a function the stack does not serve.
size_t MinimumLength(uint16_t function) {
  for (const auto &entry : kFunctionLengths)
    if (entry.function == function) return entry.minimum;
  return 0;
}

// The data buffer of a transfer URB. An MDL wins over the virtual address,
// as on the platform, whose controller works from the MDL's pages.
uint8_t *BufferOf(PVOID buffer, PMDL mdl) {
  if (!mdl) return static_cast<uint8_t *>(buffer);
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
  if (length != 0 && !request.buffer) return Outcome::Of(USBD_STATUS_INVALID_PARAMETER);
  // The controller works from the physical pages an MDL describes: one that
  // was only allocated (never probed and locked, nor built for non-paged
  // pool) describes none.
  if (mdl && !(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL)))
    return Outcome::Of(USBD_STATUS_INVALID_PARAMETER);
  // The controller would run off the end of the MDL's pages.
  if (mdl && MmGetMdlByteCount(mdl) < length) return Outcome::Of(USBD_STATUS_INVALID_PARAMETER);
  return std::nullopt;
}

// The platform's stack takes at most 4,096 bytes in one transfer on the
// default control pipe; a pipe of the configuration takes up to wLength.
constexpr uint32_t kDefaultPipeControlLimit = 4096;

// The flags of a standard read whose URB has no flags of its own (a
// descriptor, a status): the stack asks for data and accepts a short reply.
constexpr ULONG kStackRead = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

std::optional<Outcome> PrepareControl(Request &request, uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue,
                                      uint16_t wIndex, bool defaultPipe = true) {
  if (request.length > (defaultPipe ? kDefaultPipeControlLimit : 0xFFFF))
    return Outcome::Of(USBD_STATUS_INVALID_PARAMETER);
  request.control = true;
  request.setup = SetupPacket{bmRequestType, bRequest, wValue, wIndex, static_cast<uint16_t>(request.length)};
  return std::nullopt;
}

std::optional<Outcome> PrepareBulk(PortState &port, Request &request) {
  auto &urb = request.urb->UrbBulkOrInterruptTransfer;
  auto handle = port.pipeHandles.find(urb.PipeHandle);
  if (handle == port.pipeHandles.end()) return Outcome::Of(USBD_STATUS_INVALID_PIPE_HANDLE);
  PipeState &pipe = port.pipes.at(handle->second);
  if (pipe.type != UsbdPipeTypeBulk && pipe.type != UsbdPipeTypeInterrupt)
    return Outcome::Of(USBD_STATUS_INVALID_PIPE_HANDLE);
  if (auto refusal = TakeTransfer(request, urb.TransferFlags, urb.TransferBufferLength, urb.TransferBuffer,
                                  urb.TransferBufferMDL))
    return refusal;
  if (request.in != ((pipe.address & kDirectionIn) != 0)) return Outcome::Of(USBD_STATUS_INVALID_PARAMETER);
  if (request.length > pipe.maxTransfer) return Outcome::Of(USBD_STATUS_INVALID_PARAMETER);
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
      return Outcome::Of(USBD_STATUS_INVALID_PIPE_HANDLE);
  }
  if (auto refusal = TakeTransfer(request, urb.TransferFlags, urb.TransferBufferLength, urb.TransferBuffer,
                                  urb.TransferBufferMDL))
    return refusal;
  const uint8_t *setup = urb.SetupPacket;
  if (((setup[0] & kDirectionIn) != 0) != request.in) return Outcome::Of(USBD_STATUS_INVALID_PARAMETER);
  // The stack, not the caller, decides wLength: it is the buffer's length.
  return PrepareControl(request, setup[0], setup[1], static_cast<uint16_t>(setup[2] | setup[3] << 8),
                        static_cast<uint16_t>(setup[4] | setup[5] << 8), urb.PipeHandle == nullptr);
}

std::optional<Outcome> PreparePipeRequest(PortState &port, Request &request) {
  auto handle = port.pipeHandles.find(request.urb->UrbPipeRequest.PipeHandle);
  if (handle == port.pipeHandles.end()) return Outcome::Of(USBD_STATUS_INVALID_PIPE_HANDLE);
  request.endpoint = handle->second;
  request.immediate = true;
  return std::nullopt;
}

}  // namespace

// The one mapping from a URB's status to the request's, as the platform's
// port driver applies it to every URB it completes: the caller's mistakes
// are STATUS_INVALID_PARAMETER, a few conditions have statuses of their own,
// and every transfer error (stall, halt, no answer, babble, short transfer)
// is STATUS_UNSUCCESSFUL.
NTSTATUS NtStatusFor(USBD_STATUS usbd) {
  switch (usbd) {
    case USBD_STATUS_SUCCESS:
      return STATUS_SUCCESS;
    case USBD_STATUS_PENDING:
      return STATUS_PENDING;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_NO_MEMORY:
    case USBD_STATUS_INSUFFICIENT_RESOURCES:
      return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_NOT_SUPPORTED:
      return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_ERROR_BUSY:
      return STATUS_DEVICE_BUSY;
    case USBD_STATUS_TIMEOUT:
      return STATUS_IO_TIMEOUT;
    case USBD_STATUS_BUFFER_TOO_SMALL:
      return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INAVLID_PIPE_FLAGS:
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_BAD_START_FRAME:
      return STATUS_INVALID_PARAMETER;
    default:
      return STATUS_UNSUCCESSFUL;
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
  if (function == URB_FUNCTION_VENDOR_OTHER) return RequestKind::Vendor;
  if (function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER)
    return (urb.UrbBulkOrInterruptTransfer.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? RequestKind::BulkIn
                                                                                         : RequestKind::BulkOut;
  return RequestKind::Control;
}

// The hub refuses what its device cannot take in its present state, before
// the URB is looked at: after a remove or surprise removal the device is gone;
// before a start, after a stop, or in a low-power state it is there but not
// to be used. Aborting a pipe is always allowed, so that a driver can clean
// up; it finds no transfer to cancel.
std::optional<Outcome> UsbBus::Impl::RefuseForState(const PortState &port, const Request &request) const {
  if (port.pnp == PdoState::Removed) return Outcome::Of(USBD_STATUS_DEVICE_GONE);
  if (request.function == URB_FUNCTION_ABORT_PIPE && request.urb) return std::nullopt;
  if (port.pnp != PdoState::Started) return Outcome{STATUS_INVALID_DEVICE_STATE, USBD_STATUS_REQUEST_FAILED};
  if (port.power != PowerDeviceD0) return Outcome{STATUS_DEVICE_POWERED_OFF, USBD_STATUS_REQUEST_FAILED};
  return std::nullopt;
}

std::optional<Outcome> UsbBus::Impl::Prepare(PortState &port, Request &request) {
  URB &urb = *request.urb;
  const uint16_t function = urb.UrbHeader.Function;
  const size_t minimum = MinimumLength(function);
  if (minimum == 0) return Outcome::Of(USBD_STATUS_INVALID_URB_FUNCTION);
  if (urb.UrbHeader.Length < minimum) return Outcome::Of(USBD_STATUS_INVALID_PARAMETER);
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
            TakeTransfer(request, kStackRead, d.TransferBufferLength, d.TransferBuffer, d.TransferBufferMDL))
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
    if (g.TransferBufferLength < 2) return Outcome::Of(USBD_STATUS_INVALID_PARAMETER);
    if (auto refusal = TakeTransfer(request, kStackRead, 2, g.TransferBuffer, g.TransferBufferMDL))
      return refusal;
    return PrepareControl(request, kDirectionIn, kRequestGetStatus, 0, g.Index);
  }
  // Vendor and class requests.
  auto &v = urb.UrbControlVendorClassRequest;
  if (auto refusal = TakeTransfer(request, v.TransferFlags, v.TransferBufferLength, v.TransferBuffer, v.TransferBufferMDL))
    return refusal;
  const uint8_t type = (function >= URB_FUNCTION_VENDOR_DEVICE && function <= URB_FUNCTION_VENDOR_ENDPOINT) ||
                               function == URB_FUNCTION_VENDOR_OTHER
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
    const USBD_PIPE_INFORMATION &pipe = entry->Pipes[i];
    if (pipe.MaximumTransferSize == 0 || pipe.MaximumTransferSize > maxTransferLimit)
      return USBD_STATUS_INVALID_PARAMETER;
    if (pipe.PipeFlags & ~static_cast<ULONG>(USBD_PF_VALID_MASK)) return USBD_STATUS_INAVLID_PIPE_FLAGS;
    // The caller's packet size, which the stack honours, must fit the endpoint.
    const uint16_t endpointPacket = i < interface->endpoints.size() ? interface->endpoints[i].maxPacketSize : 0;
    if ((pipe.PipeFlags & USBD_PF_CHANGE_MAX_PACKET) &&
        (pipe.MaximumPacketSize == 0 || pipe.MaximumPacketSize > endpointPacket))
      return USBD_STATUS_INVALID_PARAMETER;
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
      bus.Finish(it, Outcome::Of(USBD_STATUS_CANCELED), done);
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
    if (!(info.PipeFlags & USBD_PF_CHANGE_MAX_PACKET)) info.MaximumPacketSize = endpoint.maxPacketSize;
    info.EndpointAddress = endpoint.address;
    info.Interval = endpoint.interval;
    info.PipeType = static_cast<USBD_PIPE_TYPE>(endpoint.attributes & USB_ENDPOINT_TYPE_MASK);
    info.PipeHandle = NewHandle(bus);
    PipeState pipe;
    pipe.address = endpoint.address;
    pipe.type = info.PipeType;
    pipe.maxPacket = info.MaximumPacketSize ? info.MaximumPacketSize : 64;
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
  if (!layout || layout->declaredInterfaces == 0) return Outcome::Of(USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);

  // One interface entry per interface of the configuration (bNumInterfaces),
  // one after another, each inside the URB's Length: every interface is
  // selected, as the platform's stack requires.
  std::vector<InterfacePlan> plans;
  auto *base = reinterpret_cast<uint8_t *>(request.urb);
  size_t offset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  while (plans.size() < layout->declaredInterfaces) {
    if (offset + kInterfaceHeaderLength > urb.Hdr.Length)
      return Outcome::Of(USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR);
    auto *entry = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + offset);
    InterfacePlan plan{};
    if (auto error = CheckEntry(*layout, entry, urb.Hdr.Length - offset, bus.options.maxTransferSizeLimit, plan))
      return Outcome::Of(*error);
    for (const auto &earlier : plans)
      if (earlier.interface->number == plan.interface->number) return Outcome::Of(USBD_STATUS_INVALID_PARAMETER);
    plans.push_back(plan);
    offset += entry->Length;
  }

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
    return Outcome::Of(USBD_STATUS_INVALID_PARAMETER);
  const size_t offset = offsetof(_URB_SELECT_INTERFACE, Interface);
  InterfacePlan plan{};
  if (auto error =
          CheckEntry(*port.layout, &urb.Interface, urb.Hdr.Length - offset, bus.options.maxTransferSizeLimit, plan))
    return Outcome::Of(*error);
  CloseInterfacePipes(bus, port, plan.interface->number, done);
  if (plan.interface->alternateSetting == 0) port.device->SetInterface(plan.interface->number, 0);
  OpenInterface(bus, port, plan);
  return {};
}

}  // namespace

Outcome UsbBus::Impl::ServeImmediate(PortState &port, Request &request, std::vector<Finished> &done) {
  if (!port.attached) return Outcome::Of(USBD_STATUS_DEVICE_GONE);
  if (request.stall) return Outcome::Of(USBD_STATUS_STALL_PID);
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
  if (pipe == port.pipes.end()) return Outcome::Of(USBD_STATUS_INVALID_PIPE_HANDLE);
  const uint8_t address = request.endpoint;
  if (request.function == URB_FUNCTION_ABORT_PIPE) {
    CancelTransfersOn(*this, port, [address](uint8_t a) { return a == address; }, done);
    return {};
  }
  // RESET_PIPE resets the host's endpoint (halt and toggle) and sends the
  // device CLEAR_FEATURE(ENDPOINT_HALT); the two SYNC_ forms do one half each.
  if (request.function != URB_FUNCTION_SYNC_CLEAR_STALL) {
    pipe->second.halted = false;
    pipe->second.toggle = DataPid::Data0;
  }
  if (request.function != URB_FUNCTION_SYNC_RESET_PIPE) port.device->ClearHalt(address);
  return {};
}

}  // namespace host::usb
