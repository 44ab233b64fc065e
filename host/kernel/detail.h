// Hooks between the kernel's own services. Not for the driver, the USB stack
// or the programs: those use api/hostwdm.h and host_kernel.h.
#pragma once

#include <string>
#include <vector>

#include "api/hostwdm.h"

namespace host::detail {

// I/O manager and objects (io_manager.cpp / objects.cpp).
void IoManagerReset();                        // forget every object, IRP and name
std::vector<std::string> IoManagerLeaks();    // device objects, IRPs, MDLs, file objects still alive
// An IRP for a host component's own request (the PnP and power managers):
// never failed by the low-resources policy. Freed by the I/O manager at the
// end of its completion like any other.
PIRP AllocateIrpForHost(CCHAR stackSize);
// Top of the attachment stack above a device (the platform's IoGetAttachedDevice).
PDEVICE_OBJECT AttachedDeviceTop(PDEVICE_OBJECT device);

// Pool (pool.cpp).
void PoolReset();
std::vector<std::string> PoolLeaks();

// Registry (registry.cpp).
void RegistryReset();

// Plug and Play manager (pnp_manager.cpp).
void PnpReset();                                  // stops the worker, forgets every device node
void PnpOnLastHandleClosed(PDEVICE_OBJECT device);  // the I/O manager closed the last file object on it

}  // namespace host::detail
