// The port a subcommand talks to: a handle on the host machine's port, or a
// real \\.\NorvUSB<n> handle in norvusb.exe. The jobs that both programs
// share (requests, the device ID, a port's state) are written against this.
// Plain integer types, so that the Windows side needs neither the host's
// kernel headers nor the platform's here.
#pragma once

#include <cstdint>

namespace norvusb {

struct PortIo {
  int32_t status = 0;        // the request's final status (an NTSTATUS)
  uint64_t information = 0;  // IoStatus.Information: bytes handed back or moved
};

class Port {
 public:
  virtual ~Port() = default;
  virtual PortIo Control(uint32_t code, const void *input, uint32_t inputLength, void *output,
                         uint32_t outputLength) = 0;
  virtual PortIo Write(const void *data, uint32_t length) = 0;
};

}  // namespace norvusb
