// Hooks between the kernel's own services. Not for the driver, the USB stack
// or the programs: those use api/hostwdm.h and host_kernel.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "api/hostwdm.h"
#include "host/kernel/host_kernel.h"

namespace host::detail {

// I/O manager and objects (io_manager.cpp / objects.cpp).
void IoManagerReset();                        // forget every object, IRP and name
std::vector<std::string> IoManagerLeaks();    // device objects, IRPs, MDLs, file objects still alive
// An IRP for a host component's own request (the PnP and power managers):
// never failed by the low-resources policy. Freed by the I/O manager at the
// end of its completion like any other.
PIRP AllocateIrpForHost(CCHAR stackSize);
// PoCallDriver's mark: the next IoCallDriver of this power request is its own.
void MarkPowerCall(PIRP irp);
// PoStartNextPowerIrp's mark: the device at the request's current location is
// done with it. Reports a request that is not a power request.
void MarkPowerStarted(PIRP irp);
// Whether the machine's platform needs PoStartNextPowerIrp (WDM before 6.00).
bool PowerIrpsSerialised();
// Windows 10 with memory integrity: executable pool and executable mappings
// are the code-integrity check's bug checks (KernelOptions::memoryIntegrity).
bool MemoryIntegrity();
// Top of the attachment stack above a device (the platform's IoGetAttachedDevice).
PDEVICE_OBJECT AttachedDeviceTop(PDEVICE_OBJECT device);
// Marks every device of the stack above a PDO as being removed (or no longer):
// the I/O manager then refuses new opens on it, as the platform does once
// query-remove, surprise removal or remove has begun.
void SetStackRemovePending(PDEVICE_OBJECT pdo, bool pending);
// The function and filter devices above a PDO, each with a reference taken;
// VerifyDevicesAfter checks what a remove or surprise removal left of them
// (detached and deleted, or neither) and drops the references.
std::vector<PDEVICE_OBJECT> ReferenceDevicesAbove(PDEVICE_OBJECT pdo);
void VerifyDevicesAfter(UCHAR minor, const std::vector<PDEVICE_OBJECT> &devices);
// Every device AddDevice put above the PDO has DO_DEVICE_INITIALIZING cleared.
void VerifyAddDevice(PDEVICE_OBJECT pdo);
// A PDO reported in bus relations for the first time: its bus driver has
// cleared DO_DEVICE_INITIALIZING (cleared here after the report, so that the
// machine goes on) and serves the required major functions.
void VerifyReportedChild(PDEVICE_OBJECT pdo);
// The bottom of the attachment stack a device belongs to (its PDO).
PDEVICE_OBJECT AttachmentBase(PDEVICE_OBJECT device);
// How many times ObReferenceObject was called on the object since it was made.
uint64_t ReferenceCalls(const void *object);
// The answer of a PDO's bus driver to TargetDeviceRelation: success with a
// one-entry list holding the PDO, referenced. Reports what is wrong (0x22A,
// 0x22B, 0x22C); true when the PDO can be taken from the answer.
bool VerifyTargetRelation(PDEVICE_OBJECT pdo, NTSTATUS status, const std::vector<PDEVICE_OBJECT> &listed,
                          bool referenced);

// Pool (pool.cpp). Memory the kernel hands a driver unwritten (new pool
// blocks, the system buffers of buffered I/O) holds this byte, as the
// verifier's special pool does: a driver that returns bytes it never wrote
// shows them, never an accidental zero.
inline constexpr unsigned char kUnwrittenByte = 0xCD;
// Boot: the special pool on when asked (or NORVUSB_SPECIAL_POOL=1).
void PoolBoot(bool specialPool);
void PoolReset();
std::vector<std::string> PoolLeaks();
// The live pool block that holds `address`, found without a walk over the pool.
std::optional<PoolBlockInfo> PoolBlockHolding(const void *address);
// Whether the address lies in a live paged-pool block: the kernel touches
// spin locks and dispatcher objects at DISPATCH_LEVEL, where paged memory
// must not be touched.
bool InPagedPool(const void *address);

// Every freed block still in quarantine keeps its poison; a write after free
// is bug check 0xCC. Run at shutdown before PoolReset.
void PoolVerifyFreed();

// Low-resources policy (verifier.cpp): policies and the call count back to boot state.
void LowResourcesReset();

// Clock and sync (clock.cpp, sync.cpp).
void ClockReset(const KernelOptions &options);  // at boot: model time back to 0, the scheduler's mode set
void ClockHalt();                                // at shutdown: no machine runs, free-running
int64_t SystemTimeAtBoot();                   // 100-ns units since 1601, as KeQuerySystemTime
void SyncForgetLocksIn(const void *begin, size_t length);  // freed memory holds no spin lock any more

// Registry (registry.cpp).
void RegistryReset();
std::vector<std::string> RegistryHandleLeaks();  // key handles still open

// Plug and Play manager (pnp_manager.cpp).
void PnpReset();                                  // stops the worker, forgets every device node
void PnpOnLastHandleClosed(PDEVICE_OBJECT device);  // the I/O manager closed the last file object on it

}  // namespace host::detail

// Power manager (power_manager.cpp): a power IRP came back to the top, so the
// devices it reached take their next one. Here, not in power_manager.h, since
// the I/O manager, which sees it come back, must not include the rooms above.
namespace host::pnp::internal {
void PowerIrpFinished(PIRP irp);
}
