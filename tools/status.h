// The state of each port as people who use lpstat look for it: the bridge's,
// and the printer's in words, read through the port as a print monitor does.
#pragma once

#include <cstddef>

#include "tools/decoded.h"
#include "tools/port_state.h"
#include "tools/session.h"

namespace norvusb {

// One port's state: the bridge's device node, the port status the bridge
// reports (vendor-5) and the printer's make and model.
Json PortState(Session &session, size_t bridgeIndex, const CommonOptions &options = {});

}  // namespace norvusb
