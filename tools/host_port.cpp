#include "tools/host_port.h"

namespace norvusb {

PortIo HostPort::Control(uint32_t code, const void *input, uint32_t inputLength, void *output, uint32_t outputLength) {
  const host::IoResult result = handle_.DeviceControl(code, input, inputLength, output, outputLength);
  return {result.status, result.information};
}

PortIo HostPort::Write(const void *data, uint32_t length) {
  const host::IoResult result = handle_.Write(data, length);
  return {result.status, result.information};
}

}  // namespace norvusb
