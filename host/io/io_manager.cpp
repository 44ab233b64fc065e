// The I/O manager as a whole: reset at boot and shutdown, and the leak report.
#include "host/io/io_internal.h"

namespace host::detail {

void IoManagerReset() {
  io::IrpsReset();
  io::MdlsReset();
  io::ObjectsReset();
  io::CancelReset();
}

std::vector<std::string> IoManagerLeaks() {
  std::vector<std::string> leaks;
  io::ObjectLeaks(leaks);
  io::IrpLeaks(leaks);
  io::MdlLeaks(leaks);
  return leaks;
}

}  // namespace host::detail
