// A port of the host machine as the shared jobs see it.
#pragma once

#include "host/io/user_io.h"
#include "tools/port.h"

namespace norvusb {

class HostPort : public Port {
 public:
  explicit HostPort(host::DeviceHandle &handle) : handle_(handle) {}
  PortIo Control(uint32_t code, const void *input, uint32_t inputLength, void *output,
                 uint32_t outputLength) override;
  PortIo Write(const void *data, uint32_t length) override;

 private:
  host::DeviceHandle &handle_;
};

}  // namespace norvusb
