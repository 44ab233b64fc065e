// Passing a request down the way a function driver's start does: the
// completion routine stops the walk, so the request comes back to the caller,
// who then completes it (or does more with it first).
#pragma once

#include "host/kernel/api/hostwdm.h"

namespace support {

// Sends `irp` to `lower` with the current stack location copied, waits until
// the lower stack is done with it, and returns its status. The request is
// not completed.
NTSTATUS ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp);

}  // namespace support
