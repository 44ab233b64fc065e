// Ctrl-C and SIGTERM: the first one asks the job to stop at a clean point
// (the pending request cancelled, the port closed, the capture ended on a
// whole packet, the report printed), a second one ends the program at once,
// as cp and tcpdump users expect. The same signal again from the process
// that sent the first (the process and then its group signalled) is a copy
// of the one request. A session at a terminal takes Ctrl-C as
// "abandon this step" and goes on with the next one.
#pragma once

#include <optional>
#include <string>

namespace norvusb {

// Installs the handlers (once; the program's main does it).
void CatchInterrupts();
// The signal that asked the job to stop, if any.
std::optional<int> InterruptSignal();
inline bool Interrupted() { return InterruptSignal().has_value(); }
// Forgets it, so that the next step of a session runs: a second signal from
// now on stops that step again instead of ending the program.
void ClearInterrupt();
// "interrupted by SIGINT (Ctrl-C)".
std::string InterruptText();
// 128 + the signal's number: 130 for SIGINT, 143 for SIGTERM.
int InterruptExitStatus();
// A descriptor that becomes readable when a signal asks the job to stop: a
// wait for input polls it beside the input, so that no read blocks past it.
int InterruptDescriptor();

}  // namespace norvusb
