// The host machine's own view of its kernel: the services that host
// components (the USB stack, the PnP manager, the programs and the tests) use
// beside the driver-facing API of api/hostwdm.h. Modern C++ on this side.
//
// host/kernel is the lowest of the kernel's three rooms: pool, sync,
// scheduler, clock, registry, verifier and the API headers. It includes no
// other room; boot and shutdown (kernel.cpp) reach the I/O manager and the
// PnP manager only through the hooks declared in detail.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "api/hostwdm.h"

namespace host {

// ------------------------------------------------------------------ verifier (verifier.cpp)
// A bug check as the platform's verifier raises it. The default handler
// prints one clear message and ends the program; tests install a handler that
// records the bug check and fails the test. When the handler returns, the
// kernel routine that raised the check refuses the offending operation and
// returns, so that the machine stays usable.
struct BugCheck {
  uint32_t code = 0;
  uint64_t parameters[4] = {0, 0, 0, 0};
  std::string what;
};
using BugCheckHandler = std::function<void(const BugCheck &)>;

void RaiseBugCheck(uint32_t code, uint64_t p1, uint64_t p2, uint64_t p3, uint64_t p4, std::string what);
void SetBugCheckHandler(BugCheckHandler handler);  // empty: the default (message, exit)
std::vector<BugCheck> BugChecksSoFar();
void ClearBugChecks();
// "STOP 0x000000C4 (0x62, ...) DRIVER_VERIFIER_DETECTED_VIOLATION: what".
std::string FormatBugCheck(const BugCheck &check);
// The exit status of a program stopped by the default handler.
inline constexpr int kBugCheckExitStatus = 86;

// The platform's bug-check codes that the model raises, and the first
// parameters that tell the verifier's and the pool's findings apart.
namespace bugcheck {
inline constexpr uint32_t kIrqlNotGreaterOrEqual = 0x09;
inline constexpr uint32_t kIrqlNotLessOrEqual = 0x0A;  // waiting or paged code at DISPATCH_LEVEL
inline constexpr uint32_t kMultipleIrpComplete = 0x44;
inline constexpr uint32_t kInvalidKernelHandle = 0x93;  // ZwClose of a handle that is not open
inline constexpr uint32_t kSpecialPoolCorruption = 0xC1;  // guard bytes overwritten
inline constexpr uint32_t kBadPoolCaller = 0xC2;
inline constexpr uint32_t kVerifierViolation = 0xC4;
inline constexpr uint32_t kIoManagerViolation = 0xC9;
inline constexpr uint32_t kFreedPoolTouched = 0xCC;  // a touch of freed pool
inline constexpr uint32_t kUnloadedWithPendingWork = 0xCE;  // objects, IRPs, handles left at shutdown
inline constexpr uint32_t kPageFaultBeyondEnd = 0xD6;  // special pool: a touch past a block's end

// 0xC1, parameter 4
inline constexpr uint64_t kPoolUnderrun = 0x23;
inline constexpr uint64_t kPoolOverrun = 0x24;
// 0xC2, parameter 1
inline constexpr uint64_t kPoolDoubleFree = 0x07;
inline constexpr uint64_t kPoolTagMismatch = 0x0A;
inline constexpr uint64_t kPoolNotAllocated = 0x42;
inline constexpr uint64_t kPoolZeroTag = 0x9B;
// 0xC4, parameter 1
inline constexpr uint64_t kZeroSizeAllocation = 0x00;
inline constexpr uint64_t kPagedAllocationAtDispatch = 0x01;
inline constexpr uint64_t kAllocationAboveDispatch = 0x02;
inline constexpr uint64_t kPagedFreeAtDispatch = 0x11;
inline constexpr uint64_t kFreeAboveDispatch = 0x12;
inline constexpr uint64_t kRaiseToLowerIrql = 0x30;
inline constexpr uint64_t kLowerToHigherIrql = 0x31;
inline constexpr uint64_t kSpinLockAcquireIrql = 0x40;
inline constexpr uint64_t kSpinLockReleaseIrql = 0x41;
inline constexpr uint64_t kPoolLeak = 0x62;
inline constexpr uint64_t kSelfDeadlock = 0x1000;
inline constexpr uint64_t kLockOrderDeadlock = 0x1001;
inline constexpr uint64_t kReleaseByWrongThread = 0x1004;
inline constexpr uint64_t kReleaseNotAcquired = 0x1007;
inline constexpr uint64_t kThreadEndsHoldingLock = 0x100A;  // parameter 2: the thread's token
inline constexpr uint64_t kExecutablePool = 0x2000;     // code integrity: parameters pool type, tag
inline constexpr uint64_t kExecutableMapping = 0x2002;  // code integrity: parameter the page priority
}  // namespace bugcheck

// ------------------------------------------------------------------ clock (clock.cpp)
// One clock for every wait and delay: virtual time, which moves only when
// every thread of the machine waits (scheduler.h). Units are the platform's
// 100 ns.
namespace clock {
int64_t Now();                  // model time since the machine booted
void SleepFor(int64_t units);   // blocks the calling thread for that much model time
// The wall clock when the machine booted, in 100-ns units since 1601, as
// KeQuerySystemTime counts: with Now(), the calendar time of a moment.
int64_t SystemTimeAtBoot();
}  // namespace clock

// ------------------------------------------------------------------ pool (pool.cpp)
struct PoolBlockInfo {
  const void *address = nullptr;
  size_t size = 0;
  ULONG tag = 0;
  POOL_TYPE type = NonPagedPool;
  uint64_t serial = 0;  // allocation number, counting from boot
};
struct PoolStats {
  uint64_t allocations = 0;   // successful allocations since boot
  uint64_t frees = 0;
  uint64_t injectedFailures = 0;
  size_t outstandingBlocks = 0;
  size_t outstandingBytes = 0;
  size_t peakBytes = 0;
};
PoolStats GetPoolStats();
std::vector<PoolBlockInfo> OutstandingPoolBlocks();
// For tests that must act at an exact point of a driver routine: called on
// the allocating thread after each successful allocation, outside the pool's
// lock (it may take the driver's locks). An empty function stops it; so does
// shutdown.
void SetAllocationObserver(std::function<void(const PoolBlockInfo &)> observer);

// Low-resources simulation. It applies to the fallible routines as a driver
// calls them (ExAllocatePool*, IoAllocateIrp, IoBuildDeviceIoControlRequest,
// IoAllocateMdl, MmMapLockedPages*); host components use internal paths that
// it never fails. Every consulted call counts, failed or not.
namespace lowres {
void FailNth(uint64_t k);                   // the k-th consulted call from now (1 = the next)
void FailTag(ULONG tag);                    // every pool allocation with this tag
void FailOneIn(uint32_t n, uint64_t seed);  // a seeded one-in-n chance per call
void Clear();
uint64_t ConsultedCalls();                  // consulted calls since boot
bool ShouldFail(const char *routine, ULONG tag);  // used by the kernel's fallible routines
}  // namespace lowres

// ------------------------------------------------------------------ objects (objects.cpp)
// A driver object as the kernel makes one when it loads a driver image: the
// dispatch table filled with the I/O manager's default routine, a driver
// extension, then the entry point called once. Null when the entry fails.
PDRIVER_OBJECT CreateDriverObject(const std::u16string &name, PDRIVER_INITIALIZE entry);
void DeleteDriverObject(PDRIVER_OBJECT driver);  // unload: calls DriverUnload
// The device object behind a name in the object namespace ("\Device\X" or a
// "\DosDevices\X" link, followed), or null.
PDEVICE_OBJECT LookupDevice(const std::u16string &name);
std::vector<std::u16string> SymbolicLinks();  // every "\DosDevices\..." link
// While set, IoAttachDeviceToDeviceStack returns null, as when the target's
// stack is torn down between the report of a device and its AddDevice.
void RefuseAttaching(bool refuse);
// An IRP's number, counting the IRPs allocated since boot (0 for one the I/O
// manager does not know): what a capture names it by, the same in every run
// of a seeded machine, where its address is not.
uint64_t IrpSerial(PIRP irp);

// ------------------------------------------------------------------ the machine's life (kernel.cpp)
// Brings the kernel services to their boot state; exactly one alive at a time.
// Shutdown checks that every pool block and device object is gone (a leak is
// bug check 0xC4) and resets every service.
struct KernelOptions {
  // Seeded scheduling: the machine's threads run one at a time, switching
  // at kernel calls as a generator seeded with this decides. None: they run
  // freely (and at once) on the host's processors.
  std::optional<uint64_t> seed;
  // Real-time pacing for a person watching: model time never runs ahead of
  // real time multiplied by this. 0, the default: no pacing.
  double pace = 0.0;
  // The WDM version IoIsWdmVersionAvailable reports, major in the high byte:
  // Windows 2000 (1.10) by default; 0x0100 models the Windows 98 generation;
  // from 0x0600 (Windows Vista) on, drivers need not call PoStartNextPowerIrp.
  uint16_t wdmVersion = 0x0110;
  // Windows 10 with memory integrity, under the verifier's code-integrity
  // check: an allocation of executable pool is bug check 0xC4 (0x2000), an
  // MDL mapping without MdlMappingNoExecute 0xC4 (0x2002), and a machine
  // left at the default wdmVersion reports Windows 10's (6.30). Also on
  // when NORVUSB_MEMORY_INTEGRITY=1, for machines left at the default
  // wdmVersion: a test that picks an older system keeps it.
  bool memoryIntegrity = false;
  // The verifier's special pool: each block on pages of its own, ending at
  // a page boundary with an inaccessible page after it; freed blocks stay
  // inaccessible in quarantine. Also on when NORVUSB_SPECIAL_POOL=1.
  bool specialPool = false;
};
class Kernel {
 public:
  explicit Kernel(KernelOptions options = {});
  ~Kernel();
  Kernel(const Kernel &) = delete;
  Kernel &operator=(const Kernel &) = delete;
};

// ------------------------------------------------------------------ IRQL contracts (irql_contracts.cpp)
// The documented IRQL limit of each routine exported to drivers. Each routine
// calls Allows at its entry; above the limit the verifier's IRQL checking
// raises IRQL_NOT_LESS_OR_EQUAL (0x0A: subject, IRQL, 0, 0) and the routine
// refuses the call. Pool allocation and freeing, IoCallDriver,
// IoCompleteRequest and the spin-lock routines keep their own, more specific
// bug checks (0xC4, 0xC9) and are not in this table.
namespace irql {
enum class Routine : uint8_t {
  IoCreateDevice, IoDeleteDevice, IoAttachDeviceToDeviceStack, IoDetachDevice, IoCreateSymbolicLink,
  IoDeleteSymbolicLink, IoOpenDeviceRegistryKey, IoBuildDeviceIoControlRequest, RtlQueryRegistryValues,
  ZwSetValueKey, ZwClose, RtlAnsiStringToUnicodeString, RtlFreeUnicodeString, USBD_ParseConfigurationDescriptor,
  KeWaitForSingleObject, KeWaitForSingleObjectPoll, KeDelayExecutionThread, IoCancelIrp,
  IoInvalidateDeviceRelations, PoCallDriver, PoStartNextPowerIrp, PoRequestPowerIrp, KeSetEvent, KeResetEvent, KeClearEvent,
  KeReadStateEvent, ObReferenceObject, ObDereferenceObject, IoAllocateIrp, IoFreeIrp, IoAllocateMdl, IoFreeMdl,
  MmMapLockedPages, MmMapLockedPagesSpecifyCache, MmBuildMdlForNonPagedPool, IoAcquireCancelSpinLock, RtlInitUnicodeString,
  RtlInitAnsiString,
  kCount
};
struct Contract {
  Routine routine;
  const char *name;
  KIRQL highest;  // the highest IRQL the routine may be called at
};
const Contract &ContractOf(Routine routine);
std::span<const Contract> Contracts();
// The routine's entry: a switch point of the scheduler, then the IRQL check.
bool Allows(Routine routine, const void *subject = nullptr);
// The calling thread's IRQL, for the kernel's own checks (KeGetCurrentIrql
// is a driver's call, and so a switch point).
KIRQL Current();
}  // namespace irql

// ------------------------------------------------------------------ IRQL helpers
// Runs fn with the calling thread raised to DISPATCH_LEVEL, as a host
// controller's completion does.
void RunAtDispatchLevel(const std::function<void()> &fn);

// Threads blocked in KeWaitForSingleObject on this event right now: lets a
// test know that a driver has reached a wait, without sleeping and hoping.
size_t EventWaiters(const KEVENT *event);

}  // namespace host
