// The bridge's device-control requests by name: the table, their input
// from the command line, and one request sent on a port with its reply
// decoded, as a JSON document and a report. norvusb ioctl and norvusb.exe
// both use it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/decoded.h"
#include "tools/port.h"

namespace norvusb {

enum class Reply { None, Descriptors, Vendor, DeviceId };

struct Request {
  const char *name;
  uint32_t code;
  std::vector<const char *> arguments;  // names of the values the request takes, in input order
  std::vector<unsigned> argumentBytes;  // input bytes of each (little-endian)
  uint32_t outputLength;
  Reply reply;
  uint16_t subCommand = 0;  // for vendor replies
};

// "reset-pipe, abort-pipes, ...".
std::string RequestNames();
// A request by name, or any code by number (0x222028) with no reply
// decoding; throws ToolError (bad input) for neither.
Request FindRequest(const std::string &name);
// The input bytes: each of `arguments` in its width, least significant byte
// first, or the --input hex text instead. `given` is REQUEST as typed.
// Throws ToolError (bad input) with one clear line.
std::vector<uint8_t> RequestInput(const Request &request, const std::string &given,
                                  const std::vector<std::string> &arguments, const std::optional<std::string> &input);

struct RequestOutcome {
  Json document;  // request ... decoded; the caller adds what follows
  std::vector<Decoded> records;
  PortIo result;
  uint32_t outputLength = 0;
  std::optional<std::string> error;  // the driver refused the request
};

// Sends the request on `port` (a device ID asks once more when its text
// filled the buffer) and builds the document.
RequestOutcome SendRequest(Port &port, const Request &request, const std::string &given, const std::string &portName,
                           const std::vector<uint8_t> &input, uint32_t outputLength);
// The report of one request on standard output.
void PrintRequestReport(const RequestOutcome &outcome);

}  // namespace norvusb
