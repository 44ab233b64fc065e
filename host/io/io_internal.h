// Shared between the I/O manager's own files (objects, IRPs, cancel, MDLs,
// user-mode I/O). Nothing outside host/io and its tests includes this.
//
// host/io, the I/O manager's room, owns the objects, IRPs, MDLs and the
// programs' handles. It may call host/kernel; the PnP and power managers
// above it are reached only through the hooks declared in detail.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "host/kernel/detail.h"
#include "host/kernel/host_kernel.h"

namespace host::io {

// ------------------------------------------------------------------ bug checks
inline constexpr uint32_t kReferenceByPointer = 0x18;
inline constexpr uint32_t kMultipleIrpComplete = 0x44;
inline constexpr uint32_t kBadPoolCaller = 0xC2;
inline constexpr uint32_t kIoManagerViolation = 0xC9;

// Parameter 1 of an I/O manager violation (0xC9), with the platform's numbers.
namespace check {
inline constexpr uint64_t kFreeNotIrp = 0x01;
inline constexpr uint64_t kFreeThreadedIrp = 0x02;
inline constexpr uint64_t kCallNotIrp = 0x03;
inline constexpr uint64_t kCallBadDevice = 0x04;
inline constexpr uint64_t kIrqlChangedInDispatch = 0x05;
inline constexpr uint64_t kCompleteWithPending = 0x06;
inline constexpr uint64_t kCompleteWithCancelRoutine = 0x07;
inline constexpr uint64_t kCompleteAboveDispatch = 0x0E;
inline constexpr uint64_t kCallAboveDispatch = 0x10;
inline constexpr uint64_t kDeleteWhileAttached = 0x201;
inline constexpr uint64_t kDetachTwice = 0x202;
inline constexpr uint64_t kCallWithCancelRoutine = 0x203;
inline constexpr uint64_t kCallNullDevice = 0x204;
inline constexpr uint64_t kOutOfStackLocations = 0x208;
inline constexpr uint64_t kFreeIrpInUse = 0x20B;
inline constexpr uint64_t kPnpNotStartedNotSupported = 0x20E;
inline constexpr uint64_t kPowerNotStartedNotSupported = 0x20F;
inline constexpr uint64_t kWmiNotStartedNotSupported = 0x210;
inline constexpr uint64_t kFailedPnpPassedDown = 0x215;
inline constexpr uint64_t kFailedPowerPassedDown = 0x219;
inline constexpr uint64_t kRemoveNotDetached = 0x21D;
inline constexpr uint64_t kRemoveNotDeleted = 0x21E;
inline constexpr uint64_t kRequiredDispatchMissing = 0x21F;
inline constexpr uint64_t kReturnedStatusDiffers = 0x224;
inline constexpr uint64_t kReturnedMinusOne = 0x225;
inline constexpr uint64_t kPdoIgnoredRequiredIrp = 0x22A;
inline constexpr uint64_t kTargetRelationNotFilled = 0x22B;
inline constexpr uint64_t kTargetRelationNotReferenced = 0x22C;
inline constexpr uint64_t kUnknownPnpCompleted = 0x22D;
inline constexpr uint64_t kSuccessfulPnpCompleted = 0x22E;
inline constexpr uint64_t kUntouchedPnpCompleted = 0x22F;
inline constexpr uint64_t kSuccessfulPowerCompleted = 0x231;
inline constexpr uint64_t kStillInitializing = 0x243;
inline constexpr uint64_t kIoMethodNotCopied = 0x244;
inline constexpr uint64_t kBothIoMethods = 0x245;
inline constexpr uint64_t kPowerPagableNotInherited = 0x23F;
inline constexpr uint64_t kPnpCallAtDispatch = 0x23A;
inline constexpr uint64_t kNeitherPassedNorCompleted = 0x226;
inline constexpr uint64_t kCompletionNotMarkedPending = 0x228;
inline constexpr uint64_t kPendingNotMarked = 0x23D;
inline constexpr uint64_t kMarkedButNotPending = 0x23E;
inline constexpr uint64_t kDeleteTwice = 0x240;
inline constexpr uint64_t kDetachedAtSurpriseRemoval = 0x241;
inline constexpr uint64_t kDeletedAtSurpriseRemoval = 0x242;
inline constexpr uint64_t kFailedIrpThatMustNotFail = 0x247;
// No platform number for these; the host machine's own.
inline constexpr uint64_t kInformationExceedsBuffer = 0x401;
inline constexpr uint64_t kUserRequestStuck = 0x402;
inline constexpr uint64_t kPowerWithoutPoCallDriver = 0x403;
inline constexpr uint64_t kPowerNextNotStarted = 0x404;
inline constexpr uint64_t kStartNextNotPower = 0x405;
inline constexpr uint64_t kLengthWithoutBuffer = 0x406;
}  // namespace check

// Zero-filled, suitably aligned storage for kernel objects and IRPs.
struct alignas(16) Slot {
  std::byte bytes[16];
};
inline size_t SlotsFor(size_t bytes) { return (bytes + sizeof(Slot) - 1) / sizeof(Slot); }
inline std::unique_ptr<Slot[]> ZeroedStorage(size_t bytes) { return std::make_unique<Slot[]>(SlotsFor(bytes)); }

void Violation(uint64_t code, const void *p2, const void *p3, std::string what);
std::string Hex(const void *p);
std::string StatusText(NTSTATUS status);  // "0xC0000001"

// ------------------------------------------------------------------ objects (objects.cpp)
inline constexpr CSHORT kIoTypeDevice = 3;
inline constexpr CSHORT kIoTypeDriver = 4;
inline constexpr CSHORT kIoTypeFile = 5;
inline constexpr CSHORT kIoTypeIrp = 6;

// What a dispatch table entry the driver left empty does.
NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT device, PIRP irp);
bool IsLiveDevice(PDEVICE_OBJECT device);
// Whether the device is attached above another (a function or filter
// device, which passes Plug and Play requests on rather than ending them).
bool HasLowerDevice(PDEVICE_OBJECT device);
bool DriverUnloaded(PDEVICE_OBJECT device);
bool DeviceDeleted(PDEVICE_OBJECT device);
std::u16string DeviceName(PDEVICE_OBJECT device);  // "\Device\X", or a description of an unnamed one
// "device \Device\X of \Driver\Y at 0x..." for a verifier's message.
std::string DeviceText(PDEVICE_OBJECT device);
// True the first time it is asked for this driver and major function: a
// missing dispatch routine is reported once per driver, not per request.
bool FirstReportOfMissingDispatch(PDRIVER_OBJECT driver, UCHAR major);
// The top of the device's attachment stack, with an object reference taken
// (ObDereferenceObject when done), or null for an unknown device.
PDEVICE_OBJECT ReferenceAttachedTop(PDEVICE_OBJECT device);

// What an open does to the named device: resolves the name, refuses an
// exclusive device that is open already, counts the new file object in
// ReferenceCount and references the device. STATUS_SUCCESS fills *device.
NTSTATUS OpenDeviceForFile(const std::u16string &name, PDEVICE_OBJECT *device, bool honourExclusive = true);
// The same for a device object given directly (an unnamed one, such as a
// PDO that a program reaches through its device interface).
NTSTATUS OpenDeviceObjectForFile(PDEVICE_OBJECT target, PDEVICE_OBJECT *device);
// Undoes OpenDeviceForFile's count; true when it was the last open file object.
bool CloseDeviceForFile(PDEVICE_OBJECT device);
// A FILE_OBJECT registered with the object manager (one reference, dropped
// by ObDereferenceObject), FileName holding what followed the device name.
PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, const std::u16string &fileName);

void ObjectsReset();
void ObjectLeaks(std::vector<std::string> &out);

// ------------------------------------------------------------------ Plug and Play rules (io_pnp_rules.cpp)
// The major functions every driver of a Plug and Play stack must serve.
inline constexpr UCHAR kRequiredMajors[] = {IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL};
// 0x21F when the device's driver left this required major function to the
// default routine (once per driver and major). `irp` is the request that
// found it, or null when the check runs as the device joins a stack.
void VerifyRequiredDispatch(PDEVICE_OBJECT device, UCHAR major, PIRP irp);
// 0x247 when a driver completes a request that must not fail with a failure.
void VerifyMayFail(PIRP irp);

// ------------------------------------------------------------------ IRPs (io_irp.cpp)
// The I/O manager's own IRPs (threaded): finished and freed by the I/O
// manager at the end of their completion; IoFreeIrp on them is a violation.
PIRP NewIrp(CCHAR stackSize, bool threaded);
// Bytes of the caller's buffer that a buffered result may fill (IRP_INPUT_OPERATION).
void SetUserBufferLength(PIRP irp, ULONG length);
// A system buffer owned by the IRP, freed with it (IRP_DEALLOCATE_BUFFER).
PVOID AttachSystemBuffer(PIRP irp, size_t length);
// Called once when the IRP finishes at the top, before UserIosb and UserEvent
// are written and the IRP is freed.
void SetFinishObserver(PIRP irp, std::function<void(PIRP)> observer);
// Keeps the IRP's storage alive across a call that may race its completion
// (a cancel from another thread). Only valid while the IRP is known not to be
// freed yet; every HoldIrp is matched by ReleaseIrp.
void HoldIrp(PIRP irp);
void ReleaseIrp(PIRP irp);
// Fills the next stack location and buffers of a device-control request as
// the I/O manager does for the control code's transfer method.
NTSTATUS PrepareDeviceControl(PIRP irp, ULONG code, bool internal, PVOID in, ULONG inLength, PVOID out,
                              ULONG outLength, bool mapMdl);
bool IsLiveIrp(PIRP irp);

void IrpsReset();
void IrpLeaks(std::vector<std::string> &out);

// ------------------------------------------------------------------ MDLs (io_mdl.cpp)
// An MDL over a locked caller buffer, for the I/O manager's own requests
// (never failed by the low-resources policy). Mapped: MappedSystemVa set.
PMDL NewLockedMdl(PVOID address, ULONG length, bool mapped);
void FreeMdlChain(PMDL mdl);
void MdlsReset();
void MdlLeaks(std::vector<std::string> &out);

// ------------------------------------------------------------------ cancel (io_cancel.cpp)
void CancelReset();

}  // namespace host::io
