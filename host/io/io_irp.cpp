// IRPs: allocation, IoCallDriver, the completion walk and the I/O manager's
// final processing, device-control requests.
//
// Each IRP has a side record (its storage, who finishes it, the buffers the
// I/O manager gave it). Freed IRPs stay in a quarantine for a while, their
// memory poisoned, so that a second completion or a second free is reported
// as the bug check it is instead of touching reused memory.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <optional>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "host/kernel/scheduler.h"
#include "host/io/io_internal.h"
#include "host/kernel/watchdog.h"

namespace host::io {
namespace {

constexpr size_t kQuarantine = 1024;
constexpr unsigned char kPoison = 0xDD;

bool IsError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// Whether the top-level dispatch's returned status agrees with the pending
// mark the IRP carried when it finished. The two ends happen on different
// threads in either order; the later one checks.
std::string HexByte(UCHAR value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

class PendingAudit {
 public:
  PendingAudit(PIRP irp, PDEVICE_OBJECT device, UCHAR major) : irp_(irp), device_(device), major_(major) {}

  void Dispatched(NTSTATUS status) {
    std::unique_lock lock(mutex_);
    returned_ = status;
    dispatched_ = true;
    if (finished_) Check(lock);
  }
  void Finished(bool pendingReturned) {
    std::unique_lock lock(mutex_);
    pendingReturned_ = pendingReturned;
    finished_ = true;
    if (dispatched_) Check(lock);
  }

 private:
  void Check(host::sched::Lock &lock) {
    bool returnedPending = returned_ == STATUS_PENDING;
    if (returnedPending == pendingReturned_) return;
    lock.unlock();
    std::string where = " (IRP " + Hex(irp_) + ", major 0x" + HexByte(major_) + ", device " + Hex(device_) + ")";
    if (returnedPending)
      Violation(check::kPendingNotMarked, irp_, device_,
                "a dispatch routine returned STATUS_PENDING without IoMarkIrpPending" + where);
    else
      Violation(check::kMarkedButNotPending, irp_, device_,
                "a dispatch routine marked the IRP pending but returned another status" + where);
  }

  host::Mutex mutex_;
  PIRP irp_;
  PDEVICE_OBJECT device_;
  UCHAR major_;
  bool dispatched_ = false, finished_ = false, pendingReturned_ = false;
  NTSTATUS returned_ = 0;
};

// Whether a dispatch routine that did not pend returned the status its
// request was completed with, as the platform's callers trust it to. The
// return and the completion past its stack location may come in either order.
class ReturnAudit {
 public:
  ReturnAudit(PIRP irp, PDEVICE_OBJECT device) : irp_(irp), device_(device) {}

  // A status other than STATUS_PENDING says the request is done with at this
  // location: passed down and completed below, or completed here.
  void Returned(NTSTATUS status) {
    std::unique_lock lock(mutex_);
    const bool unfinished = status != STATUS_PENDING && !completed_;
    lock.unlock();
    if (unfinished)
      Violation(check::kNeitherPassedNorCompleted, irp_, device_,
                "a dispatch routine of device " + Hex(device_) + " returned " + StatusText(status) + " for IRP " +
                    Hex(irp_) + " without completing it or passing it down");
    Record(returned_, status);
  }
  void Completed(NTSTATUS status) { Record(completed_, status); }

 private:
  void Record(std::optional<NTSTATUS> &slot, NTSTATUS status) {
    std::unique_lock lock(mutex_);
    slot = status;
    if (!returned_ || !completed_ || *returned_ == STATUS_PENDING || *returned_ == *completed_) return;
    NTSTATUS returned = *returned_, completed = *completed_;
    lock.unlock();
    Violation(check::kReturnedStatusDiffers, irp_, device_,
              "a dispatch routine of device " + Hex(device_) + " returned status " + StatusText(returned) +
                  " for IRP " + Hex(irp_) + ", which it completed (or let complete) with " + StatusText(completed));
  }

  host::Mutex mutex_;
  PIRP irp_;
  PDEVICE_OBJECT device_;
  std::optional<NTSTATUS> returned_, completed_;
};

struct IrpRecord {
  std::unique_ptr<Slot[]> storage;  // the IRP and its stack locations
  size_t bytes = 0;
  uint64_t serial = 0;    // its number since boot
  bool threaded = false;  // the I/O manager finishes and frees it
  bool freed = false;     // quarantined (guarded by the registry's mutex)
  std::atomic<bool> held{false};  // a driver below its creator owns it and may complete it
  std::atomic<int> refs{1};
  std::unique_ptr<std::byte[]> systemBuffer;
  std::optional<ULONG> userBufferLength;
  std::function<void(PIRP)> onFinish;
  std::shared_ptr<PendingAudit> audit;
  // The dispatch calls at each stack location whose return awaits checking.
  host::Mutex returnsMutex;
  std::unordered_map<int, std::vector<std::shared_ptr<ReturnAudit>>> returns;
  CHAR lowestLocation = 0;  // the lowest stack location the request reached
  bool viaPoCallDriver = false;
  bool sent = false;  // IoCallDriver has taken it once
  // The devices a set-power or query-power request reached that have not yet
  // called PoStartNextPowerIrp for it (guarded by returnsMutex).
  std::vector<PDEVICE_OBJECT> powerOwed;

  void CompletedAt(int location, NTSTATUS status) {
    std::vector<std::shared_ptr<ReturnAudit>> audits;
    {
      std::lock_guard lock(returnsMutex);
      auto found = returns.find(location);
      if (found == returns.end()) return;
      audits = std::move(found->second);
      returns.erase(found);
    }
    for (auto &audit : audits) audit->Completed(status);
  }
};

struct Registry {
  host::Mutex mutex;
  std::unordered_map<PIRP, std::unique_ptr<IrpRecord>> irps;
  std::deque<PIRP> quarantine;
  uint64_t allocated = 0;  // IRPs since boot
};

Registry &Irps() {
  static Registry registry;
  return registry;
}

thread_local char tThreadMarker;  // stands for the requesting thread in Tail.Overlay.Thread

enum class State { Live, Freed, Unknown };

IrpRecord *Find(PIRP irp, State *state = nullptr) {
  auto &reg = Irps();
  std::lock_guard lock(reg.mutex);
  auto it = reg.irps.find(irp);
  State s = it == reg.irps.end() ? State::Unknown : it->second->freed ? State::Freed : State::Live;
  if (state) *state = s;
  return s == State::Live ? it->second.get() : nullptr;
}

// The IRP's last reference went: poison it and keep it quarantined.
void Retire(PIRP irp) {
  auto &reg = Irps();
  std::unique_lock lock(reg.mutex);
  auto it = reg.irps.find(irp);
  if (it == reg.irps.end()) return;
  IrpRecord &r = *it->second;
  r.freed = true;
  std::memset(r.storage.get(), kPoison, r.bytes);
  auto buffer = std::move(r.systemBuffer);
  auto observer = std::move(r.onFinish);
  auto audit = std::move(r.audit);
  reg.quarantine.push_back(irp);
  std::unique_ptr<IrpRecord> evicted;
  if (reg.quarantine.size() > kQuarantine) {
    auto old = reg.irps.find(reg.quarantine.front());
    evicted = std::move(old->second);
    reg.irps.erase(old);
    reg.quarantine.pop_front();
  }
  lock.unlock();  // the observer's captures may do anything when they go
}

std::string Describe(PIRP irp) {
  std::string text = "IRP " + Hex(irp);
  if (irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    char major[8];
    std::snprintf(major, sizeof major, "0x%02X", sp->MajorFunction);
    text += " (major " + std::string(major) + " at device " + Hex(sp->DeviceObject) + ")";
  }
  return text;
}

void ZeroStackLocation(PIO_STACK_LOCATION sp) {
  sp->MinorFunction = 0;
  sp->Flags = 0;
  sp->Control = 0;
  std::memset(&sp->Parameters, 0, sizeof sp->Parameters);
  sp->FileObject = nullptr;
}

bool ShouldInvoke(PIRP irp, const IO_STACK_LOCATION &sp) {
  if (NT_SUCCESS(irp->IoStatus.Status) ? (sp.Control & SL_INVOKE_ON_SUCCESS) : (sp.Control & SL_INVOKE_ON_ERROR))
    return true;
  return __atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (sp.Control & SL_INVOKE_ON_CANCEL);
}

// A completion routine that saw PendingReturned must leave its own location
// marked pending (or stop the walk); otherwise the caller above waits for an
// event nobody sets.
void CheckPendingPropagated(PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (!irp->PendingReturned || (sp->Control & SL_PENDING_RETURNED)) return;
  Violation(check::kCompletionNotMarkedPending, irp, sp->DeviceObject,
            "a completion routine of device " + Hex(sp->DeviceObject) +
                " saw PendingReturned but did not call IoMarkIrpPending (" + Describe(irp) + ")");
  IoMarkIrpPending(irp);
}

void CopyBufferedResult(IrpRecord &r, PIRP irp) {
  if (!(irp->Flags & IRP_BUFFERED_IO) || !(irp->Flags & IRP_INPUT_OPERATION) || IsError(irp->IoStatus.Status))
    return;
  size_t bytes = irp->IoStatus.Information;
  ULONG room = r.userBufferLength.value_or(0);
  if (r.userBufferLength && bytes > room) {
    Violation(check::kInformationExceedsBuffer, irp, reinterpret_cast<const void *>(irp->IoStatus.Information),
              "a driver completed a buffered request with Information " + std::to_string(bytes) +
                  ", more than the caller's output length " + std::to_string(room) + " (" + Hex(irp) + ")");
    bytes = room;
  }
  if (bytes > 0 && irp->UserBuffer != nullptr && irp->AssociatedIrp.SystemBuffer != nullptr)
    std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, bytes);
}

bool SerialisedPower(const IO_STACK_LOCATION &sp) {
  return sp.MajorFunction == IRP_MJ_POWER &&
         (sp.MinorFunction == IRP_MN_SET_POWER || sp.MinorFunction == IRP_MN_QUERY_POWER);
}

// Where the platform serialises power requests, every driver a set-power or
// query-power request reached calls PoStartNextPowerIrp for it, failed or
// not; one that does not holds its stack's next request back for good.
// Once reported, the next one goes on, so that the machine does too.
void CheckNextPowerStarted(IrpRecord &r, PIRP irp) {
  std::vector<PDEVICE_OBJECT> owed;
  {
    std::lock_guard lock(r.returnsMutex);
    owed.swap(r.powerOwed);
  }
  if (owed.empty() || !detail::PowerIrpsSerialised()) return;
  Violation(check::kPowerNextNotStarted, irp, owed.front(),
            "device " + Hex(owed.front()) + " was done with power request " + Hex(irp) +
                " without calling PoStartNextPowerIrp");
  pnp::internal::PowerIrpFinished(irp);
}

// The I/O manager's final processing once no location is left.
void Finish(IrpRecord &r, PIRP irp) {
  CopyBufferedResult(r, irp);
  if ((irp->Flags & IRP_DEALLOCATE_BUFFER) && r.systemBuffer) {
    r.systemBuffer.reset();
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  FreeMdlChain(irp->MdlAddress);
  irp->MdlAddress = nullptr;
  bool pendingReturned = irp->PendingReturned;
  auto audit = std::move(r.audit);
  auto observer = std::move(r.onFinish);
  if (observer) observer(irp);
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, IO_NO_INCREMENT, FALSE);
  if (audit) audit->Finished(pendingReturned);
  ReleaseIrp(irp);
}

// Walks the stack upward from the current location, as the platform does.
void CompleteWalk(IrpRecord &r, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
  for (; irp->CurrentLocation <= irp->StackCount + 1; sp++, irp->CurrentLocation++,
                                                      irp->Tail.Overlay.CurrentStackLocation++) {
    irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    r.CompletedAt(irp->CurrentLocation - 1, irp->IoStatus.Status);
    bool top = irp->CurrentLocation == irp->StackCount + 1;
    // Every driver has seen the request back by now; its creator may keep it.
    if (top) CheckNextPowerStarted(r, irp);
    bool invoke = sp->CompletionRoutine != nullptr && ShouldInvoke(irp, *sp);
    ZeroStackLocation(sp);
    if (!invoke) {
      if (irp->PendingReturned && !top) IoMarkIrpPending(irp);
      continue;
    }
    // The routine's owner holds the IRP again while the routine runs: it may
    // stop the walk and complete the IRP later, from any thread.
    // At the top that is whoever built the IRP, who may hold it to finish it
    // later with a second IoCompleteRequest.
    PDEVICE_OBJECT owner = top ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    r.held.store(true);
    NTSTATUS status = sp->CompletionRoutine(owner, irp, sp->Context);
    if (status == STATUS_MORE_PROCESSING_REQUIRED) return;  // the IRP may be gone now
    if (!r.held.exchange(false)) {
      RaiseBugCheck(kMultipleIrpComplete, reinterpret_cast<uint64_t>(irp), 0, 0, 0,
                    "IRP " + Hex(irp) + " was completed again while its completion was still going on");
      return;
    }
    if (!top) CheckPendingPropagated(irp);
  }
  Finish(r, irp);
}

// Plug and Play, power and WMI requests start as "not supported", so that a
// stack nobody answers reports just that; a failed one is completed, not
// passed on; a power request goes down through PoCallDriver.
void CheckForwarding(IrpRecord &r, PIRP irp, PDEVICE_OBJECT device) {
  const UCHAR major = IoGetNextIrpStackLocation(irp)->MajorFunction;
  const bool pnp = major == IRP_MJ_PNP, power = major == IRP_MJ_POWER;
  const bool first = !std::exchange(r.sent, true);
  if (!pnp && !power && major != IRP_MJ_SYSTEM_CONTROL) return;
  const NTSTATUS status = irp->IoStatus.Status;
  const char *kind = pnp ? "Plug and Play" : power ? "power" : "WMI";
  if (first) {
    if (status != STATUS_NOT_SUPPORTED)
      Violation(pnp ? check::kPnpNotStartedNotSupported
                    : power ? check::kPowerNotStartedNotSupported : check::kWmiNotStartedNotSupported,
                irp, device, std::string("a new ") + kind + " request " + Hex(irp) +
                                 " was sent without IoStatus.Status = STATUS_NOT_SUPPORTED");
  } else if (IsError(status) && status != STATUS_NOT_SUPPORTED && major != IRP_MJ_SYSTEM_CONTROL) {
    Violation(pnp ? check::kFailedPnpPassedDown : check::kFailedPowerPassedDown, irp, device,
              std::string("a failed ") + kind + " request " + Hex(irp) + " was passed down to " + Hex(device) +
                  " instead of being completed");
  }
  if (power && !std::exchange(r.viaPoCallDriver, false))
    Violation(check::kPowerWithoutPoCallDriver, irp, device,
              "a power request " + Hex(irp) + " was passed to " + Hex(device) + " with IoCallDriver, not PoCallDriver");
}

// The requests that change a device's state: every driver of the stack, the
// bus driver last, must see them unless one fails them.
bool EveryDriverMustSee(UCHAR major, UCHAR minor) {
  if (major == IRP_MJ_POWER) return minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER;
  switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return true;
    default:
      return false;
  }
}

// A function or filter device hands a Plug and Play or power request on to
// the device below it; ending one it left untouched, one it does not know,
// or a state change it did not fail hides it from the bus driver.
void CheckEndedHere(const IrpRecord &r, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const bool pnp = sp->MajorFunction == IRP_MJ_PNP, power = sp->MajorFunction == IRP_MJ_POWER;
  if ((!pnp && !power) || r.lowestLocation < irp->CurrentLocation || !HasLowerDevice(sp->DeviceObject)) return;
  const NTSTATUS status = irp->IoStatus.Status;
  const UCHAR minor = sp->MinorFunction;
  const std::string where = " at device " + Hex(sp->DeviceObject) + " instead of passing it down (IRP " + Hex(irp) +
                            ", minor " + std::to_string(minor) + ")";
  if (pnp && (minor > IRP_MN_QUERY_LEGACY_BUS_INFORMATION || minor == 0x0E)) {
    Violation(check::kUnknownPnpCompleted, irp, sp->DeviceObject, "an unknown Plug and Play request was completed" + where);
  } else if (pnp && status == STATUS_NOT_SUPPORTED) {
    Violation(check::kUntouchedPnpCompleted, irp, sp->DeviceObject, "an untouched Plug and Play request was completed" + where);
  } else if (NT_SUCCESS(status) && EveryDriverMustSee(sp->MajorFunction, minor)) {
    Violation(pnp ? check::kSuccessfulPnpCompleted : check::kSuccessfulPowerCompleted, irp, sp->DeviceObject,
              std::string("a successful ") + (pnp ? "Plug and Play" : "power") + " request was completed" + where);
  }
}

}  // namespace

PIRP NewIrp(CCHAR stackSize, bool threaded) {
  auto record = std::make_unique<IrpRecord>();
  record->bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
  record->storage = ZeroedStorage(record->bytes);
  record->threaded = threaded;
  auto irp = reinterpret_cast<PIRP>(record->storage.get());
  auto stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Type = kIoTypeIrp;
  irp->Size = static_cast<USHORT>(record->bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  record->lowestLocation = irp->CurrentLocation;
  irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
  InitializeListHead(&irp->ThreadListEntry);
  if (threaded) irp->Tail.Overlay.Thread = &tThreadMarker;
  auto &reg = Irps();
  std::lock_guard lock(reg.mutex);
  record->serial = ++reg.allocated;
  reg.irps[irp] = std::move(record);
  return irp;
}

}  // namespace host::io

uint64_t host::IrpSerial(PIRP irp) {
  using namespace host::io;
  auto &reg = Irps();
  std::lock_guard lock(reg.mutex);
  auto it = reg.irps.find(irp);
  return it == reg.irps.end() ? 0 : it->second->serial;
}

namespace host::io {

bool IsLiveIrp(PIRP irp) { return Find(irp) != nullptr; }

void SetUserBufferLength(PIRP irp, ULONG length) { Find(irp)->userBufferLength = length; }

PVOID AttachSystemBuffer(PIRP irp, size_t length) {
  IrpRecord *r = Find(irp);
  size_t bytes = std::max<size_t>(length, 1);
  r->systemBuffer.reset(new (std::nothrow) std::byte[bytes]);
  if (r->systemBuffer) std::memset(r->systemBuffer.get(), detail::kUnwrittenByte, bytes);
  irp->AssociatedIrp.SystemBuffer = r->systemBuffer.get();
  return irp->AssociatedIrp.SystemBuffer;
}

void SetFinishObserver(PIRP irp, std::function<void(PIRP)> observer) { Find(irp)->onFinish = std::move(observer); }

void HoldIrp(PIRP irp) { Find(irp)->refs++; }

void ReleaseIrp(PIRP irp) {
  IrpRecord *r = Find(irp);
  if (r != nullptr && --r->refs == 0) Retire(irp);
}

NTSTATUS PrepareDeviceControl(PIRP irp, ULONG code, bool internal, PVOID in, ULONG inLength, PVOID out,
                              ULONG outLength, bool mapMdl) {
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  sp->Parameters.DeviceIoControl.OutputBufferLength = outLength;
  sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
  sp->Parameters.DeviceIoControl.IoControlCode = code;
  irp->UserBuffer = out;
  ULONG method = code & 3;
  if (method == METHOD_NEITHER) {
    sp->Parameters.DeviceIoControl.Type3InputBuffer = in;
    return STATUS_SUCCESS;
  }
  // Buffered: one system buffer of the larger length carries the input in and
  // the result out. Direct: the input is buffered, the output gets an MDL.
  size_t bufferLength = method == METHOD_BUFFERED ? std::max(inLength, outLength) : inLength;
  if (bufferLength > 0) {
    PVOID buffer = AttachSystemBuffer(irp, bufferLength);
    if (buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (in != nullptr && inLength > 0) std::memcpy(buffer, in, inLength);
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
  }
  if (method == METHOD_BUFFERED) {
    if (out != nullptr && outLength > 0) {
      irp->Flags |= IRP_INPUT_OPERATION;
      SetUserBufferLength(irp, outLength);
    }
  } else if (out != nullptr && outLength > 0) {
    irp->MdlAddress = NewLockedMdl(out, outLength, mapMdl);
  }
  return STATUS_SUCCESS;
}

void IrpsReset() {
  auto &reg = Irps();
  std::unordered_map<PIRP, std::unique_ptr<IrpRecord>> gone;
  {
    std::lock_guard lock(reg.mutex);
    gone.swap(reg.irps);
    reg.quarantine.clear();
    reg.allocated = 0;
  }
}

void IrpLeaks(std::vector<std::string> &out) {
  auto &reg = Irps();
  std::lock_guard lock(reg.mutex);
  for (auto &[irp, r] : reg.irps) {
    if (r->freed) continue;
    bool dispatched = irp->CurrentLocation <= irp->StackCount;
    out.push_back(Describe(irp) + (dispatched ? " was never completed" : " was never freed"));
  }
}

}  // namespace host::io

// ====================================================================== the driver-facing routines
using namespace host::io;

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  const host::sched::AfterEffect afterEffect("IoAllocateIrp");
  UNREFERENCED_PARAMETER(ChargeQuota);
  if (!host::irql::Allows(host::irql::Routine::IoAllocateIrp)) return nullptr;
  if (host::lowres::ShouldFail("IoAllocateIrp", 0) || StackSize < 1) return nullptr;
  return NewIrp(StackSize, false);
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  const host::sched::AfterEffect afterEffect("IoFreeIrp");
  if (!host::irql::Allows(host::irql::Routine::IoFreeIrp, Irp)) return;
  State state;
  IrpRecord *r = Find(Irp, &state);
  if (r == nullptr) {
    Violation(check::kFreeNotIrp, Irp, nullptr,
              "IoFreeIrp on " + Hex(Irp) + (state == State::Freed ? ", an IRP already freed" : ", which is not an IRP"));
    return;
  }
  if (r->threaded) {
    Violation(check::kFreeThreadedIrp, Irp, nullptr,
              "IoFreeIrp on " + Describe(Irp) + ", which the I/O manager built and frees itself at completion");
    return;
  }
  // Held at the top (a completion routine of its creator stopped the walk)
  // is the creator's own: it may free it.
  if (r->held.load() && Irp->CurrentLocation <= Irp->StackCount) {
    Violation(check::kFreeIrpInUse, Irp, nullptr,
              "IoFreeIrp on " + Describe(Irp) + ", which a lower driver still owns (not completed yet)");
    return;
  }
  ReleaseIrp(Irp);
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const host::sched::AfterEffect afterEffect("IofCallDriver");
  host::sched::SwitchPoint("IoCallDriver");
  IrpRecord *r = Find(Irp);
  if (r == nullptr) {
    Violation(check::kCallNotIrp, Irp, DeviceObject, "IoCallDriver with " + Hex(Irp) + ", which is not a live IRP");
    return STATUS_INVALID_PARAMETER;
  }
  if (DeviceObject == nullptr) {
    Violation(check::kCallNullDevice, Irp, nullptr, "IoCallDriver with a null device object for " + Describe(Irp));
    return STATUS_INVALID_PARAMETER;
  }
  if (!IsLiveDevice(DeviceObject)) {
    Violation(check::kCallBadDevice, Irp, DeviceObject,
              "IoCallDriver to " + Hex(DeviceObject) + ", which is not a device object");
    return STATUS_INVALID_PARAMETER;
  }
  KIRQL irql = host::irql::Current();
  if (irql > DISPATCH_LEVEL) {
    Violation(check::kCallAboveDispatch, Irp, DeviceObject,
              "IoCallDriver at IRQL " + std::to_string(irql) + ", above DISPATCH_LEVEL");
    return STATUS_INVALID_PARAMETER;
  }
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
    Violation(check::kCallWithCancelRoutine, Irp, DeviceObject,
              "IoCallDriver with a cancel routine still set on " + Describe(Irp));
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->CurrentLocation <= 1) {
    Violation(check::kOutOfStackLocations, Irp, DeviceObject,
              "IoCallDriver to " + Hex(DeviceObject) + " with no stack location left in " + Hex(Irp) + " (" +
                  std::to_string(Irp->StackCount) + " allocated)");
    return STATUS_INVALID_PARAMETER;
  }
  // Plug and Play requests are sent and passed on at PASSIVE_LEVEL only.
  if (IoGetNextIrpStackLocation(Irp)->MajorFunction == IRP_MJ_PNP && irql >= DISPATCH_LEVEL)
    Violation(check::kPnpCallAtDispatch, Irp, DeviceObject,
              "IoCallDriver with a Plug and Play request " + Hex(Irp) + " at IRQL " + std::to_string(irql));
  CheckForwarding(*r, Irp, DeviceObject);
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
  sp->DeviceObject = DeviceObject;
  UCHAR major = sp->MajorFunction;
  std::shared_ptr<PendingAudit> audit;
  if (Irp->CurrentLocation == Irp->StackCount) r->audit = audit = std::make_shared<PendingAudit>(Irp, DeviceObject, major);
  auto returned = std::make_shared<ReturnAudit>(Irp, DeviceObject);
  {
    std::lock_guard lock(r->returnsMutex);
    r->returns[Irp->CurrentLocation].push_back(returned);
    r->lowestLocation = std::min(r->lowestLocation, Irp->CurrentLocation);
    if (SerialisedPower(*sp)) r->powerOwed.push_back(DeviceObject);
  }
  r->held.store(true);
  PDRIVER_DISPATCH routine =
      major <= IRP_MJ_MAXIMUM_FUNCTION ? DeviceObject->DriverObject->MajorFunction[major] : DefaultDispatch;
  VerifyRequiredDispatch(DeviceObject, major, Irp);
  NTSTATUS status = routine(DeviceObject, Irp);
  if (status == static_cast<NTSTATUS>(0xFFFFFFFF))
    Violation(check::kReturnedMinusOne, Irp, DeviceObject,
              "a dispatch routine of device " + Hex(DeviceObject) + " returned 0xFFFFFFFF");
  returned->Returned(status);
  KIRQL after = host::irql::Current();
  if (after != irql) {
    // The platform's parameters: the device, the IRQL before, the IRQL after.
    host::RaiseBugCheck(kIoManagerViolation, check::kIrqlChangedInDispatch, reinterpret_cast<uint64_t>(DeviceObject),
                        irql, after,
                        "a dispatch routine of device " + Hex(DeviceObject) + " returned at IRQL " + std::to_string(after) +
                      ", called at " + std::to_string(irql));
    if (after > irql) {
      KeLowerIrql(irql);
    } else {
      KIRQL old;
      KeRaiseIrql(irql, &old);
    }
  }
  if (audit) audit->Dispatched(status);
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  const host::sched::AfterEffect afterEffect("IofCompleteRequest");
  host::sched::SwitchPoint("IoCompleteRequest");
  host::sched::NoteProgress();
  UNREFERENCED_PARAMETER(PriorityBoost);
  State state;
  IrpRecord *r = Find(Irp, &state);
  // A request the I/O manager built, whose walk its creator's routine stopped
  // at the top, is finished by a second IoCompleteRequest (the location is
  // then one past the last); one a driver allocated is freed, never completed
  // again.
  const bool atTop = Irp->CurrentLocation == Irp->StackCount + 1;
  if (r == nullptr || Irp->CurrentLocation > Irp->StackCount + 1 || (atTop && !r->threaded)) {
    host::RaiseBugCheck(kMultipleIrpComplete, reinterpret_cast<uint64_t>(Irp), 0, 0, 0,
                        "IoCompleteRequest on " + Hex(Irp) +
                            (state == State::Unknown ? ", which is not an IRP" : ", which was already completed"));
    return;
  }
  NTSTATUS status = Irp->IoStatus.Status;
  if (status == STATUS_PENDING || status == static_cast<NTSTATUS>(0xFFFFFFFF)) {
    Violation(check::kCompleteWithPending, Irp, nullptr,
              "IoCompleteRequest with status STATUS_PENDING or -1 on " + Describe(Irp));
    return;
  }
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) {
    Violation(check::kCompleteWithCancelRoutine, Irp, nullptr,
              "IoCompleteRequest with the cancel routine still set on " + Describe(Irp));
    return;
  }
  KIRQL irql = host::irql::Current();
  if (irql > DISPATCH_LEVEL) {
    Violation(check::kCompleteAboveDispatch, Irp, nullptr,
              "IoCompleteRequest at IRQL " + std::to_string(irql) + ", above DISPATCH_LEVEL");
    return;
  }
  if (!r->held.exchange(false)) {
    host::RaiseBugCheck(kMultipleIrpComplete, reinterpret_cast<uint64_t>(Irp), 0, 0, 0,
                        "IoCompleteRequest on " + Describe(Irp) + ", which its owner does not hold (completed twice)");
    return;
  }
  if (Irp->CurrentLocation <= Irp->StackCount) {
    VerifyMayFail(Irp);
    CheckEndedHere(*r, Irp);
  }
  CompleteWalk(*r, Irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  const host::sched::AfterEffect afterEffect("IoBuildDeviceIoControlRequest");
  if (!host::irql::Allows(host::irql::Routine::IoBuildDeviceIoControlRequest, DeviceObject)) return nullptr;
  // The routine's contract: a buffer left out (null) has length 0.
  if ((InputBuffer == nullptr && InputBufferLength != 0) || (OutputBuffer == nullptr && OutputBufferLength != 0)) {
    Violation(check::kLengthWithoutBuffer, reinterpret_cast<const void *>(uintptr_t{InputBufferLength}),
              reinterpret_cast<const void *>(uintptr_t{OutputBufferLength}),
              "IoBuildDeviceIoControlRequest with a length for a buffer that is null (input " +
                  std::to_string(InputBufferLength) + ", output " + std::to_string(OutputBufferLength) + " bytes)");
    return nullptr;
  }
  if (host::lowres::ShouldFail("IoBuildDeviceIoControlRequest", 0) || !IsLiveDevice(DeviceObject)) return nullptr;
  PIRP irp = NewIrp(DeviceObject->StackSize, true);
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  if (!NT_SUCCESS(PrepareDeviceControl(irp, IoControlCode, InternalDeviceIoControl, InputBuffer, InputBufferLength,
                                       OutputBuffer, OutputBufferLength, false))) {
    FreeMdlChain(irp->MdlAddress);
    ReleaseIrp(irp);
    return nullptr;
  }
  return irp;
}

}  // extern "C"

namespace host::detail {

PIRP AllocateIrpForHost(CCHAR stackSize) { return io::NewIrp(std::max<CCHAR>(stackSize, 1), true); }

void MarkPowerCall(PIRP irp) {
  if (io::IrpRecord *r = io::Find(irp)) r->viaPoCallDriver = true;
}

void MarkPowerStarted(PIRP irp) {
  io::IrpRecord *r = io::Find(irp);
  const bool located = r != nullptr && irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount;
  PIO_STACK_LOCATION sp = located ? IoGetCurrentIrpStackLocation(irp) : nullptr;
  if (sp == nullptr || sp->MajorFunction != IRP_MJ_POWER) {
    io::Violation(io::check::kStartNextNotPower, irp, sp ? sp->DeviceObject : nullptr,
                  "PoStartNextPowerIrp with " + (r ? io::Describe(irp) : io::Hex(irp)) +
                      ", which is not a power request at its current location");
    return;
  }
  std::lock_guard lock(r->returnsMutex);
  auto &owed = r->powerOwed;
  owed.erase(std::remove(owed.begin(), owed.end(), sp->DeviceObject), owed.end());
}

}  // namespace host::detail
