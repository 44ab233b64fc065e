// The capture records of a request: control transfers as SETUP and COMPLETE,
// bulk transfers with OUT data on submission and IN data on completion, the
// other URBs as IRP information.
#include "host/kernel/host_kernel.h"
#include "host/usbstack/bus_impl.h"

namespace host::usb {

namespace {

std::array<uint8_t, 8> SetupBytes(const SetupPacket &setup) {
  return {setup.bmRequestType,
          setup.bRequest,
          static_cast<uint8_t>(setup.wValue),
          static_cast<uint8_t>(setup.wValue >> 8),
          static_cast<uint8_t>(setup.wIndex),
          static_cast<uint8_t>(setup.wIndex >> 8),
          static_cast<uint8_t>(setup.wLength),
          static_cast<uint8_t>(setup.wLength >> 8)};
}

bool CapturedAsControl(const Request &request) {
  return request.control || request.function == URB_FUNCTION_SELECT_CONFIGURATION ||
         request.function == URB_FUNCTION_SELECT_INTERFACE;
}

CaptureRecord BaseRecord(const Request &request, const PortState &port, uint16_t bus) {
  CaptureRecord record;
  record.irpId = host::IrpSerial(request.irp);  // not its address: a seeded run's capture repeats
  record.function = request.function;
  record.bus = bus;
  record.device = static_cast<uint16_t>(port.number);
  record.time = host::clock::Now();
  if (CapturedAsControl(request)) {
    record.transfer = CaptureTransfer::Control;
    record.endpoint = request.in ? 0x80 : 0x00;
  } else if (request.bulk) {
    const auto pipe = port.pipes.find(request.endpoint);
    const bool interrupt = pipe != port.pipes.end() && pipe->second.type == UsbdPipeTypeInterrupt;
    record.transfer = interrupt ? CaptureTransfer::Interrupt : CaptureTransfer::Bulk;
    record.endpoint = request.endpoint;
  } else {
    record.transfer = CaptureTransfer::IrpInfo;
    record.endpoint = request.endpoint;
  }
  return record;
}

}  // namespace

void UsbBus::Impl::CaptureSubmit(const Request &request, const PortState &port) {
  if (!request.urb || !capture.IsOpen()) return;
  CaptureRecord record = BaseRecord(request, port, options.busNumber);
  std::vector<uint8_t> payload;
  if (record.transfer == CaptureTransfer::Control) {
    record.stage = ControlStage::Setup;
    const auto setup = SetupBytes(request.setup);
    payload.assign(setup.begin(), setup.end());
    if (!request.in && request.buffer) payload.insert(payload.end(), request.buffer, request.buffer + request.length);
  } else if (request.bulk && !request.in && request.buffer) {
    payload.assign(request.buffer, request.buffer + request.length);
  }
  record.usbdStatus = USBD_STATUS_PENDING;
  record.data = payload;
  capture.Write(record);
}

void UsbBus::Impl::CaptureComplete(const Request &request, const PortState &port, USBD_STATUS usbd) {
  if (!request.urb || !capture.IsOpen()) return;
  CaptureRecord record = BaseRecord(request, port, options.busNumber);
  record.completion = true;
  record.usbdStatus = usbd;
  if (record.transfer == CaptureTransfer::Control) record.stage = ControlStage::Complete;
  if (request.in && request.buffer && request.moved > 0) record.data = {request.buffer, request.moved};
  capture.Write(record);
}

}  // namespace host::usb
