// A port's state as people who use lpstat look for it, from what the port
// itself says: the bridge's port status (vendor-5) and the printer's make and
// model from its device ID, asked as a print monitor asks them.
#pragma once

#include "tools/decoded.h"
#include "tools/port.h"

namespace norvusb {

// Fills `state` (a status record: "printer", "status_lines", ...,
// "make_and_model") from the port; sets "error" when the bridge gave no
// port status.
void AddPortReplies(Json &state, Port &port);
// One line per port under a heading, each column as wide as its widest entry.
void PrintStates(const Json &ports);

}  // namespace norvusb
