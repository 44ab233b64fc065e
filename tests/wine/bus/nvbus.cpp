// nvbus.sys: the virtual USB bus of the Wine suite. A root-enumerated bus
// driver whose children are NorvUSB bridges: each child answers the URBs of
// the platform's USB driver interface as the host machine's USB stack does
// (docs/usb-stack.md), and everything the bridge itself answers is asked of
// the bridge model (host/hardware/) running in nvbridge.exe, through the
// control device "\\.\NorvWineBus" (see nvbus_protocol.h).
//
// A test part, not part of the driver: it runs under Wine only.
#include <intrin.h>
#define InterlockedBitTestAndSet NvBusUnusedBitTestAndSet
#define InterlockedBitTestAndReset NvBusUnusedBitTestAndReset
#include <ddk/wdm.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset
#include <usb.h>
#include <usbioctl.h>

#include "../nvbus_protocol.h"

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

namespace {

const ULONG PoolTag = 0x7375424E;  // 'NBus'

enum DeviceKind : ULONG { KindFdo = 1, KindPdo = 2, KindControl = 3 };

struct Pipe {
  UCHAR Interface;
  UCHAR Address;
  UCHAR Type;
  USHORT MaxPacket;
  ULONG MaxTransfer;
};

struct Child {
  ULONG Kind;  // KindPdo
  ULONG Index;
  PDEVICE_OBJECT Pdo;
  BOOLEAN Present;   // plugged in: reported in the bus relations
  NVBUS_PLUG Plug;
  // The selected configuration, as the stack keeps it.
  UCHAR ConfigurationValue;
  UCHAR Configuration[1024];  // the descriptor set of the selection, for SELECT_INTERFACE
  ULONG PipeCount;
  Pipe Pipes[16];
  ULONG Halted;  // bit per pipe index: the host side's halt
  // Armed faults: the next request of a kind.
  ULONG FaultKind;
  ULONG FaultOn;
  ULONG WmiSeen;  // WMI requests that reached the child
};

struct DeviceHeader {
  ULONG Kind;
};

struct FdoExtension {
  ULONG Kind;  // KindFdo
  PDEVICE_OBJECT Lower;
  PDEVICE_OBJECT Pdo;
};

// A request on its way to the model, or held by a fault.
enum Where : ULONG { NoWhere = 0, InWaiting, InService, InHeld };

struct Pending {
  LIST_ENTRY Link;
  PIRP Irp;
  ULONG Id;
  Where Place;
  Child *Owner;  // null for a hook
  NVBUS_REQUEST Request;
  PUCHAR OutData;  // the data sent with the request
  PUCHAR InBuffer;  // where IN data goes
  ULONG InRoom;
  PURB Urb;  // null for a port reset or a hook
  ULONG PipeIndex;
  UCHAR Pairs[32];  // a selection's (interface, setting) pairs
  // In service: failed by an abort or an unplug while the model works on it;
  // it completes with this status once the model has let go of it.
  NTSTATUS FailStatus;
  USBD_STATUS FailUsbdStatus;
};

// The bus: one instance. Lock guards the three request lists, each
// request's place in them, a request's failure mark, NextId and Seen; it is
// the only lock, taken under the cancel spin lock (in the cancel routine) and
// never the other way round.
//
// A waiting or held request has a cancel routine, which completes it. A
// request in service has none: as a host controller does with a transfer it
// has started, the bus finishes it only once the model has let go of it
// (the model asks whether it still lives at every NAK, and a cancelled,
// aborted or unplugged one does not). So once a caller sees a request end,
// no packet of it moves any more, and nothing the device sends afterwards
// can go to it.
// A child's selection, halts and armed fault are changed by the thread that
// submits its URBs (the driver under test sends one at a time per bridge) and
// the halts also by the worker that finishes a stalled transfer.
struct Bus {
  KSPIN_LOCK Lock;
  LIST_ENTRY Waiting;
  LIST_ENTRY InServiceList;
  LIST_ENTRY HeldList;
  KEVENT Work;  // set when a request joins Waiting
  LONG Workers;  // worker threads connected to the model
  LONG Opened;   // the control device is open
  ULONG NextId;
  PDEVICE_OBJECT Fdo;  // null until AddDevice
  PDEVICE_OBJECT Control;
  Child *Children[NVBUS_MAX_BRIDGES];
  ULONG Seen[NVBUS_MAX_BRIDGES];
};

Bus TheBus;

ULONG KindOf(PDEVICE_OBJECT Device) { return ((DeviceHeader *)Device->DeviceExtension)->Kind; }

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

VOID Copy(PVOID Target, const VOID *Source, SIZE_T Length) {
  PUCHAR T = (PUCHAR)Target;
  const UCHAR *S = (const UCHAR *)Source;
  for (SIZE_T i = 0; i < Length; ++i) T[i] = S[i];
}

VOID Zero(PVOID Target, SIZE_T Length) {
  PUCHAR T = (PUCHAR)Target;
  for (SIZE_T i = 0; i < Length; ++i) T[i] = 0;
}

// ---------------------------------------------------------------- the queues

// A request that ends before the device saw it moved nothing: the USB stack
// reports the bytes a transfer moved, so its length goes to 0.
VOID EndUnserved(Pending *P, USBD_STATUS UsbdStatus) {
  if (P->Urb == nullptr) return;
  P->Urb->UrbHeader.Status = UsbdStatus;
  const ULONG Kind = P->Request.Kind;
  if (Kind == NVBUS_KIND_BULK_IN || Kind == NVBUS_KIND_BULK_OUT || Kind == NVBUS_KIND_CONTROL ||
      Kind == NVBUS_KIND_DESCRIPTOR)
    P->Urb->UrbControlTransfer.TransferBufferLength = 0;
}

// Waiting or held requests only: one in service has no cancel routine.
VOID NTAPI CancelPending(PDEVICE_OBJECT, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  Pending *P = (Pending *)Irp->Tail.Overlay.DriverContext[0];
  KIRQL Irql;
  KeAcquireSpinLock(&TheBus.Lock, &Irql);
  RemoveEntryList(&P->Link);
  InitializeListHead(&P->Link);
  P->Place = NoWhere;
  KeReleaseSpinLock(&TheBus.Lock, Irql);
  EndUnserved(P, USBD_STATUS_CANCELED);
  Complete(Irp, STATUS_CANCELLED, 0);
  ExFreePoolWithTag(P, PoolTag);
}

// Queues a request for the model (or holds it). The IRP is pending afterwards.
NTSTATUS Forward(Pending *P, BOOLEAN Hold) {
  PIRP Irp = P->Irp;
  Irp->Tail.Overlay.DriverContext[0] = P;
  IoMarkIrpPending(Irp);
  KIRQL Irql;
  KeAcquireSpinLock(&TheBus.Lock, &Irql);
  P->Id = ++TheBus.NextId;
  P->Request.Id = P->Id;
  IoSetCancelRoutine(Irp, CancelPending);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, nullptr) != nullptr) {
    KeReleaseSpinLock(&TheBus.Lock, Irql);
    EndUnserved(P, USBD_STATUS_CANCELED);
    Complete(Irp, STATUS_CANCELLED, 0);
    ExFreePoolWithTag(P, PoolTag);
    return STATUS_PENDING;
  }
  if (Hold) {
    P->Place = InHeld;
    InsertTailList(&TheBus.HeldList, &P->Link);
  } else {
    P->Place = InWaiting;
    InsertTailList(&TheBus.Waiting, &P->Link);
  }
  KeReleaseSpinLock(&TheBus.Lock, Irql);
  if (!Hold) KeSetEvent(&TheBus.Work, IO_NO_INCREMENT, FALSE);
  return STATUS_PENDING;
}

// Takes a queued request out of its list for completion by the bus; false
// when its cancel routine owns it. Under the lock.
BOOLEAN ClaimLocked(Pending *P) {
  if (IoSetCancelRoutine(P->Irp, nullptr) == nullptr) return FALSE;
  RemoveEntryList(&P->Link);
  InitializeListHead(&P->Link);
  P->Place = NoWhere;
  return TRUE;
}

// Whether a request belongs to a child (and to one of its data pipes).
BOOLEAN Matches(const Pending *P, const Child *C, LONG PipeIndex) {
  if (P->Owner != C) return FALSE;
  if (PipeIndex < 0) return TRUE;
  return P->Urb != nullptr && (LONG)P->PipeIndex == PipeIndex &&
         (P->Request.Kind == NVBUS_KIND_BULK_IN || P->Request.Kind == NVBUS_KIND_BULK_OUT);
}

// Fails every request of a child (or of one of its pipes) that is queued,
// in service or held: an abort, or the bridge gone. Returns once none of
// them is in service any more, as the stack completes an abort only after
// the pipe's transfers (bounded: a model that no longer answers is left).
VOID FailRequests(Child *C, LONG PipeIndex, NTSTATUS Status, USBD_STATUS UsbdStatus) {
  LIST_ENTRY Taken;
  InitializeListHead(&Taken);
  KIRQL Irql;
  KeAcquireSpinLock(&TheBus.Lock, &Irql);
  PLIST_ENTRY Lists[2] = {&TheBus.Waiting, &TheBus.HeldList};
  for (PLIST_ENTRY List : Lists) {
    for (PLIST_ENTRY Entry = List->Flink; Entry != List;) {
      Pending *P = CONTAINING_RECORD(Entry, Pending, Link);
      Entry = Entry->Flink;
      if (Matches(P, C, PipeIndex) && ClaimLocked(P)) InsertTailList(&Taken, &P->Link);
    }
  }
  BOOLEAN Busy = FALSE;
  for (PLIST_ENTRY Entry = TheBus.InServiceList.Flink; Entry != &TheBus.InServiceList; Entry = Entry->Flink) {
    Pending *P = CONTAINING_RECORD(Entry, Pending, Link);
    if (!Matches(P, C, PipeIndex)) continue;
    if (P->FailStatus == 0) {
      P->FailStatus = Status;
      P->FailUsbdStatus = UsbdStatus;
    }
    Busy = TRUE;
  }
  KeReleaseSpinLock(&TheBus.Lock, Irql);
  while (!IsListEmpty(&Taken)) {
    Pending *P = CONTAINING_RECORD(RemoveHeadList(&Taken), Pending, Link);
    EndUnserved(P, UsbdStatus);
    Complete(P->Irp, Status, 0);
    ExFreePoolWithTag(P, PoolTag);
  }
  for (ULONG Wait = 0; Busy && Wait < 5000; ++Wait) {
    LARGE_INTEGER Pause;
    Pause.QuadPart = -10000;  // 1 ms: the model asks at its next NAK
    KeDelayExecutionThread(KernelMode, FALSE, &Pause);
    Busy = FALSE;
    KeAcquireSpinLock(&TheBus.Lock, &Irql);
    for (PLIST_ENTRY Entry = TheBus.InServiceList.Flink; Entry != &TheBus.InServiceList; Entry = Entry->Flink) {
      Pending *P = CONTAINING_RECORD(Entry, Pending, Link);
      if (Matches(P, C, PipeIndex) && P->FailStatus != 0) Busy = TRUE;
    }
    KeReleaseSpinLock(&TheBus.Lock, Irql);
  }
}

// ---------------------------------------------------------------- the model's answers

NTSTATUS FinishUrb(Pending *P, const NVBUS_REPLY *Reply, const UCHAR *Data, ULONG DataLength) {
  PURB Urb = P->Urb;
  Child *C = P->Owner;
  const ULONG Kind = P->Request.Kind;
  NTSTATUS Status = STATUS_SUCCESS;
  USBD_STATUS UsbdStatus = USBD_STATUS_SUCCESS;
  if (Reply->Handshake == NVBUS_STALL) {
    Status = STATUS_UNSUCCESSFUL;
    UsbdStatus = USBD_STATUS_STALL_PID;
    if (Kind == NVBUS_KIND_BULK_IN || Kind == NVBUS_KIND_BULK_OUT) C->Halted |= 1u << P->PipeIndex;
  } else if (Reply->Handshake == NVBUS_NO_ANSWER) {
    Status = STATUS_UNSUCCESSFUL;
    UsbdStatus = USBD_STATUS_DEV_NOT_RESPONDING;
  } else if (Reply->Handshake == NVBUS_OVERRUN) {
    Status = STATUS_UNSUCCESSFUL;
    UsbdStatus = USBD_STATUS_DATA_OVERRUN;
  } else if (Reply->Handshake == NVBUS_CANCELLED) {
    Status = STATUS_CANCELLED;
    UsbdStatus = USBD_STATUS_CANCELED;
  }
  if (P->FailStatus != 0) {  // aborted or unplugged meanwhile
    Status = P->FailStatus;
    UsbdStatus = P->FailUsbdStatus;
  }
  if (Urb == nullptr) {  // a port reset
    return Complete(P->Irp, Status, 0);
  }
  ULONG Moved = 0;
  if (Kind == NVBUS_KIND_BULK_OUT) {
    Moved = Reply->Transferred;
  } else if (P->InBuffer != nullptr) {
    Moved = DataLength < P->InRoom ? DataLength : P->InRoom;
    Copy(P->InBuffer, Data, Moved);
  }
  if (Kind == NVBUS_KIND_BULK_IN || Kind == NVBUS_KIND_BULK_OUT || Kind == NVBUS_KIND_CONTROL ||
      Kind == NVBUS_KIND_DESCRIPTOR) {
    Urb->UrbControlTransfer.TransferBufferLength = Moved;
    if (NT_SUCCESS(Status) && Kind == NVBUS_KIND_BULK_IN && Moved < P->InRoom &&
        !(Urb->UrbBulkOrInterruptTransfer.TransferFlags & USBD_SHORT_TRANSFER_OK)) {
      Status = STATUS_UNSUCCESSFUL;
      UsbdStatus = USBD_STATUS_ERROR_SHORT_TRANSFER;
    }
  }
  Urb->UrbHeader.Status = UsbdStatus;
  return Complete(P->Irp, Status, 0);
}

// Finishes the request a reply names: a request in service belongs to the
// worker that carries it.
VOID Finish(const NVBUS_REPLY *Reply, const UCHAR *Data, ULONG DataLength) {
  Pending *Found = nullptr;
  KIRQL Irql;
  KeAcquireSpinLock(&TheBus.Lock, &Irql);
  for (PLIST_ENTRY Entry = TheBus.InServiceList.Flink; Entry != &TheBus.InServiceList; Entry = Entry->Flink) {
    Pending *P = CONTAINING_RECORD(Entry, Pending, Link);
    if (P->Id == Reply->Id) {
      RemoveEntryList(&P->Link);
      InitializeListHead(&P->Link);
      P->Place = NoWhere;
      Found = P;
      break;
    }
  }
  KeReleaseSpinLock(&TheBus.Lock, Irql);
  if (Found == nullptr) return;
  if (Found->Request.Kind == NVBUS_KIND_HOOK) {
    const ULONG Moved = DataLength < Found->InRoom ? DataLength : Found->InRoom;
    Copy(Found->InBuffer, Data, Moved);
    Complete(Found->Irp, Reply->Handshake == NVBUS_ACK ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL, Moved);
  } else {
    FinishUrb(Found, Reply, Data, DataLength);
  }
  ExFreePoolWithTag(Found, PoolTag);
}

// Whether the model should go on with a request: not cancelled, aborted or
// unplugged.
BOOLEAN StillInService(ULONG Id) {
  BOOLEAN Alive = FALSE;
  KIRQL Irql;
  KeAcquireSpinLock(&TheBus.Lock, &Irql);
  for (PLIST_ENTRY Entry = TheBus.InServiceList.Flink; Entry != &TheBus.InServiceList; Entry = Entry->Flink) {
    const Pending *P = CONTAINING_RECORD(Entry, Pending, Link);
    if (P->Id == Id) Alive = !P->Irp->Cancel && P->FailStatus == 0;
  }
  KeReleaseSpinLock(&TheBus.Lock, Irql);
  return Alive;
}

// Moves the oldest waiting request into service and copies it (header and
// data) into Buffer; 0 when none waits. Its cancel routine goes: from now on
// the worker finishes it.
ULONG TakeRequest(PUCHAR Buffer) {
  ULONG Length = 0;
  KIRQL Irql;
  KeAcquireSpinLock(&TheBus.Lock, &Irql);
  while (Length == 0 && !IsListEmpty(&TheBus.Waiting)) {
    Pending *P = CONTAINING_RECORD(RemoveHeadList(&TheBus.Waiting), Pending, Link);
    InitializeListHead(&P->Link);
    if (IoSetCancelRoutine(P->Irp, nullptr) == nullptr) {
      P->Place = NoWhere;  // its cancel routine is on its way and completes it
      continue;
    }
    P->Place = InService;
    InsertTailList(&TheBus.InServiceList, &P->Link);
    Copy(Buffer, &P->Request, sizeof P->Request);
    if (P->Request.DataLength != 0) Copy(Buffer + sizeof P->Request, P->OutData, P->Request.DataLength);
    Length = sizeof P->Request + P->Request.DataLength;
  }
  KeReleaseSpinLock(&TheBus.Lock, Irql);
  return Length;
}

BOOLEAN PipeWrite(HANDLE Pipe, const VOID *Data, ULONG Length) {
  IO_STATUS_BLOCK Io;
  return NT_SUCCESS(ZwWriteFile(Pipe, nullptr, nullptr, nullptr, &Io, (PVOID)Data, Length, nullptr, nullptr)) &&
         Io.Information == Length;
}

BOOLEAN PipeRead(HANDLE Pipe, PVOID Data, ULONG Length) {
  for (ULONG Done = 0; Done < Length;) {
    IO_STATUS_BLOCK Io;
    if (!NT_SUCCESS(ZwReadFile(Pipe, nullptr, nullptr, nullptr, &Io, (PUCHAR)Data + Done, Length - Done, nullptr,
                               nullptr)) ||
        Io.Information == 0) {
      return FALSE;
    }
    Done += (ULONG)Io.Information;
  }
  return TRUE;
}

// One request over the pipe: sent, then the model's questions answered
// until its reply comes. False when the pipe broke.
BOOLEAN Carry(HANDLE Pipe, PUCHAR Buffer, ULONG Length) {
  const ULONG Id = ((NVBUS_REQUEST *)Buffer)->Id;
  if (!PipeWrite(Pipe, Buffer, Length)) return FALSE;
  for (;;) {
    NVBUS_REPLY Reply;
    if (!PipeRead(Pipe, &Reply, sizeof Reply)) return FALSE;
    if (Reply.Handshake == NVBUS_QUERY_ALIVE) {
      ULONG Alive = StillInService(Id) ? 1 : 0;
      if (!PipeWrite(Pipe, &Alive, sizeof Alive)) return FALSE;
      continue;
    }
    if (Reply.DataLength > NVBUS_MAX_DATA || !PipeRead(Pipe, Buffer, Reply.DataLength)) return FALSE;
    Finish(&Reply, Buffer, Reply.DataLength);
    return TRUE;
  }
}

// A worker: one pipe instance of the model, one request at a time.
VOID NTAPI Worker(PVOID) {
  PUCHAR Buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, sizeof(NVBUS_REQUEST) + NVBUS_MAX_DATA, PoolTag);
  HANDLE Pipe = nullptr;
  UNICODE_STRING Name;
  RtlInitUnicodeString(&Name, NVBUS_PIPE_NAME);
  OBJECT_ATTRIBUTES Attributes;
  InitializeObjectAttributes(&Attributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
  for (int Try = 0; Buffer != nullptr && Try < 100; ++Try) {
    IO_STATUS_BLOCK Io;
    if (NT_SUCCESS(ZwCreateFile(&Pipe, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &Attributes, &Io, nullptr, 0, 0,
                                FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0))) {
      break;
    }
    Pipe = nullptr;
    LARGE_INTEGER Pause;
    Pause.QuadPart = -500000;  // 50 ms
    KeDelayExecutionThread(KernelMode, FALSE, &Pause);
  }
  if (Pipe != nullptr) {
    InterlockedIncrement(&TheBus.Workers);
    for (;;) {
      ULONG Length = TakeRequest(Buffer);
      if (Length == 0) {
        LARGE_INTEGER Limit;
        Limit.QuadPart = -1000000;  // 100 ms
        KeWaitForSingleObject(&TheBus.Work, Executive, KernelMode, FALSE, &Limit);
        continue;
      }
      if (!Carry(Pipe, Buffer, Length)) {
        // The model is gone: what it had goes unanswered.
        NVBUS_REPLY Reply = {((NVBUS_REQUEST *)Buffer)->Id, NVBUS_NO_ANSWER, 0, 0};
        Finish(&Reply, Buffer, 0);
        break;
      }
    }
    InterlockedDecrement(&TheBus.Workers);
    ZwClose(Pipe);
  }
  if (Buffer != nullptr) ExFreePoolWithTag(Buffer, PoolTag);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS Connect(PIRP Irp, PIO_STACK_LOCATION Location) {
  if (Location->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
    return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  const ULONG Count = *(const ULONG *)Irp->AssociatedIrp.SystemBuffer;
  for (ULONG i = 0; i < Count && i < 16; ++i) {
    HANDLE Thread;
    NTSTATUS Status = PsCreateSystemThread(&Thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Worker, nullptr);
    if (!NT_SUCCESS(Status)) return Complete(Irp, Status, 0);
    ZwClose(Thread);
  }
  return Complete(Irp, STATUS_SUCCESS, 0);
}

// ---------------------------------------------------------------- children

// "USB\VID_6E75&PID_1284" and the like, in a buffer the PnP manager frees.
struct WideText {
  WCHAR *Buffer;
  ULONG Used;  // characters
  ULONG Room;

  VOID Put(WCHAR Character) {
    if (Used < Room) Buffer[Used++] = Character;
  }
  VOID Text(const char *Text) {
    while (*Text) Put((WCHAR)*Text++);
  }
  VOID Hex(ULONG Value, int Digits) {
    for (int Shift = (Digits - 1) * 4; Shift >= 0; Shift -= 4) Put((WCHAR)"0123456789ABCDEF"[(Value >> Shift) & 15]);
  }
  VOID Id(const NVBUS_PLUG *Plug) {
    Text("USB\\VID_");
    Hex(Plug->VendorId, 4);
    Text("&PID_");
    Hex(Plug->ProductId, 4);
  }
  VOID Class(const NVBUS_PLUG *Plug, int Parts) {
    Text("USB\\Class_");
    Hex(Plug->Class, 2);
    if (Parts > 1) {
      Text("&SubClass_");
      Hex(Plug->SubClass, 2);
    }
    if (Parts > 2) {
      Text("&Prot_");
      Hex(Plug->Protocol, 2);
    }
  }
};

NTSTATUS QueryId(Child *C, PIRP Irp, BUS_QUERY_ID_TYPE Type) {
  const ULONG Room = 512;
  WideText T = {(WCHAR *)ExAllocatePoolWithTag(PagedPool, Room * sizeof(WCHAR), PoolTag), 0, Room - 2};
  if (T.Buffer == nullptr) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  switch (Type) {
    case BusQueryDeviceID:
      T.Id(&C->Plug);
      break;
    case BusQueryHardwareIDs:
      T.Id(&C->Plug);
      T.Text("&REV_");
      T.Hex(C->Plug.Revision, 4);
      T.Put(0);
      T.Id(&C->Plug);
      T.Put(0);
      break;
    case BusQueryCompatibleIDs:
      T.Class(&C->Plug, 3);
      T.Put(0);
      T.Class(&C->Plug, 2);
      T.Put(0);
      T.Class(&C->Plug, 1);
      T.Put(0);
      break;
    case BusQueryInstanceID:
      if (C->Plug.Serial[0] != 0) {
        for (ULONG i = 0; i < sizeof C->Plug.Serial && C->Plug.Serial[i] != 0; ++i) T.Put((WCHAR)C->Plug.Serial[i]);
      } else {
        T.Hex(C->Index + 1, 4);
      }
      break;
    default:
      ExFreePoolWithTag(T.Buffer, PoolTag);
      return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
  }
  T.Room += 2;
  T.Put(0);
  return Complete(Irp, STATUS_SUCCESS, (ULONG_PTR)T.Buffer);
}

// Deletes a child's device object once nothing refers to it; under no lock.
VOID DeleteChild(Child *C) {
  FailRequests(C, -1, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  KIRQL Irql;
  KeAcquireSpinLock(&TheBus.Lock, &Irql);
  if (TheBus.Children[C->Index] == C) TheBus.Children[C->Index] = nullptr;
  KeReleaseSpinLock(&TheBus.Lock, Irql);
  IoDeleteDevice(C->Pdo);
}

NTSTATUS ChildPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  Child *C = (Child *)Device->DeviceExtension;
  PIO_STACK_LOCATION Location = IoGetCurrentIrpStackLocation(Irp);
  switch (Location->MinorFunction) {
    case IRP_MN_QUERY_ID:
      // Asked also while the child is being removed: Wine's
      // IoOpenDeviceRegistryKey finds the device's key through its IDs.
      return QueryId(C, Irp, Location->Parameters.QueryId.IdType);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES Caps = Location->Parameters.DeviceCapabilities.Capabilities;
      Caps->Removable = TRUE;
      Caps->SurpriseRemovalOK = TRUE;
      Caps->UniqueID = C->Plug.Serial[0] != 0;
      Caps->Address = C->Index + 1;
      Caps->UINumber = C->Index + 1;
      return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (Location->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
        PDEVICE_RELATIONS Relations =
            (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), PoolTag);
        if (Relations == nullptr) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        Relations->Count = 1;
        Relations->Objects[0] = Device;
        ObReferenceObject(Device);
        return Complete(Irp, STATUS_SUCCESS, (ULONG_PTR)Relations);
      }
      return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return Complete(Irp, STATUS_SUCCESS, 0);
    case IRP_MN_REMOVE_DEVICE: {
      // A child that was unplugged goes; one still plugged in stays, as the
      // bus still reports it.
      Complete(Irp, STATUS_SUCCESS, 0);
      if (!C->Present) DeleteChild(C);
      return STATUS_SUCCESS;
    }
    default:
      return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
  }
}

NTSTATUS Plug(PIRP Irp, PIO_STACK_LOCATION Location) {
  if (Location->Parameters.DeviceIoControl.InputBufferLength < sizeof(NVBUS_PLUG)) {
    return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  NVBUS_PLUG PlugRecord;
  Copy(&PlugRecord, Irp->AssociatedIrp.SystemBuffer, sizeof PlugRecord);
  PlugRecord.Serial[sizeof PlugRecord.Serial - 1] = 0;
  if (PlugRecord.Bridge >= NVBUS_MAX_BRIDGES || TheBus.Fdo == nullptr) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  if (TheBus.Children[PlugRecord.Bridge] != nullptr) return Complete(Irp, STATUS_DEVICE_BUSY, 0);
  PDEVICE_OBJECT Pdo;
  NTSTATUS Status = IoCreateDevice(TheBus.Fdo->DriverObject, sizeof(Child), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &Pdo);
  if (!NT_SUCCESS(Status)) return Complete(Irp, Status, 0);
  Child *C = (Child *)Pdo->DeviceExtension;
  Zero(C, sizeof *C);
  C->Kind = KindPdo;
  C->Index = PlugRecord.Bridge;
  C->Pdo = Pdo;
  C->Present = TRUE;
  C->Plug = PlugRecord;
  Pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  TheBus.Children[C->Index] = C;
  IoInvalidateDeviceRelations(TheBus.Fdo, BusRelations);
  return Complete(Irp, STATUS_SUCCESS, 0);
}

// The bridge leaves the bus: its requests fail and the PnP manager hears it
// is gone. The device object goes at its remove.
VOID Unplug(Child *C) {
  C->Present = FALSE;
  FailRequests(C, -1, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  IoInvalidateDeviceRelations(TheBus.Fdo, BusRelations);
}

NTSTATUS UnplugRequest(PIRP Irp, PIO_STACK_LOCATION Location) {
  if (Location->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG)) {
    return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  const ULONG Index = *(const ULONG *)Irp->AssociatedIrp.SystemBuffer;
  if (Index >= NVBUS_MAX_BRIDGES || TheBus.Children[Index] == nullptr || !TheBus.Children[Index]->Present) {
    return Complete(Irp, STATUS_NO_SUCH_DEVICE, 0);
  }
  Unplug(TheBus.Children[Index]);
  return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS ArmFault(PIRP Irp, PIO_STACK_LOCATION Location) {
  if (Location->Parameters.DeviceIoControl.InputBufferLength < sizeof(NVBUS_FAULT)) {
    return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  NVBUS_FAULT Fault;
  Copy(&Fault, Irp->AssociatedIrp.SystemBuffer, sizeof Fault);
  if (Fault.Bridge >= NVBUS_MAX_BRIDGES || TheBus.Children[Fault.Bridge] == nullptr) {
    return Complete(Irp, STATUS_NO_SUCH_DEVICE, 0);
  }
  Child *C = TheBus.Children[Fault.Bridge];
  C->FaultOn = Fault.RequestKind;
  C->FaultKind = Fault.Fault;
  return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS Hook(PIRP Irp, PIO_STACK_LOCATION Location) {
  const ULONG InLength = Location->Parameters.DeviceIoControl.InputBufferLength;
  if (InLength < sizeof(NVBUS_HOOK)) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  NVBUS_HOOK H;
  Copy(&H, Irp->AssociatedIrp.SystemBuffer, sizeof H);
  if (H.DataLength > InLength - sizeof H || H.DataLength > NVBUS_MAX_DATA) {
    return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  Pending *P = (Pending *)ExAllocatePoolWithTag(NonPagedPool, sizeof(Pending), PoolTag);
  if (P == nullptr) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  Zero(P, sizeof *P);
  P->Irp = Irp;
  P->Request.Bridge = H.Bridge;
  P->Request.Kind = NVBUS_KIND_HOOK;
  P->Request.Value = H.Operation;
  P->Request.Endpoint = H.Argument;
  P->Request.Length = Location->Parameters.DeviceIoControl.OutputBufferLength;
  P->Request.DataLength = H.DataLength;
  P->OutData = (PUCHAR)Irp->AssociatedIrp.SystemBuffer + sizeof H;
  P->InBuffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  P->InRoom = Location->Parameters.DeviceIoControl.OutputBufferLength;
  return Forward(P, FALSE);
}

NTSTATUS State(PIRP Irp, PIO_STACK_LOCATION Location) {
  if (Location->Parameters.DeviceIoControl.OutputBufferLength < sizeof(NVBUS_STATE)) {
    return Complete(Irp, STATUS_BUFFER_TOO_SMALL, 0);
  }
  NVBUS_STATE S;
  Zero(&S, sizeof S);
  KIRQL Irql;
  KeAcquireSpinLock(&TheBus.Lock, &Irql);
  S.Workers = (ULONG)TheBus.Workers;
  for (PLIST_ENTRY E = TheBus.Waiting.Flink; E != &TheBus.Waiting; E = E->Flink) ++S.Waiting;
  for (PLIST_ENTRY E = TheBus.InServiceList.Flink; E != &TheBus.InServiceList; E = E->Flink) ++S.InService;
  for (PLIST_ENTRY E = TheBus.HeldList.Flink; E != &TheBus.HeldList; E = E->Flink) ++S.Held;
  for (ULONG i = 0; i < NVBUS_MAX_BRIDGES; ++i) {
    if (TheBus.Children[i] != nullptr) {
      S.Reported |= 1u << i;
      if (TheBus.Children[i]->Present) S.Present |= 1u << i;
    }
    S.Seen[i] = TheBus.Seen[i];
  }
  KeReleaseSpinLock(&TheBus.Lock, Irql);
  Copy(Irp->AssociatedIrp.SystemBuffer, &S, sizeof S);
  return Complete(Irp, STATUS_SUCCESS, sizeof S);
}

NTSTATUS NTAPI WmiDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A WMI request for the child, sent where the WMI system sends it: to the
// top of the child's stack. The drivers above must pass it on.
NTSTATUS SendSystemControl(PIRP Irp, PIO_STACK_LOCATION Location) {
  if (Location->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG) ||
      Location->Parameters.DeviceIoControl.OutputBufferLength < sizeof(NVBUS_WMI)) {
    return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  }
  const ULONG Index = *(const ULONG *)Irp->AssociatedIrp.SystemBuffer;
  if (Index >= NVBUS_MAX_BRIDGES || TheBus.Children[Index] == nullptr || !TheBus.Children[Index]->Present) {
    return Complete(Irp, STATUS_NO_SUCH_DEVICE, 0);
  }
  Child *C = TheBus.Children[Index];
  PDEVICE_OBJECT Top = IoGetAttachedDeviceReference(C->Pdo);
  PIRP Wmi = IoAllocateIrp(Top->StackSize, FALSE);
  // Kept if the request never ends: its completion would still signal it.
  PKEVENT Done = (PKEVENT)ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), PoolTag);
  if (Wmi == nullptr || Done == nullptr) {
    if (Wmi != nullptr) IoFreeIrp(Wmi);
    if (Done != nullptr) ExFreePoolWithTag(Done, PoolTag);
    ObDereferenceObject(Top);
    return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  KeInitializeEvent(Done, NotificationEvent, FALSE);
  static GUID NoSuchGuid = {0x4E565749, 0x4D49, 0x0001, {0, 0, 0, 0, 0, 0, 0, 1}};
  Wmi->IoStatus.Status = STATUS_NOT_SUPPORTED;
  Wmi->IoStatus.Information = 0;
  PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Wmi);
  Next->MajorFunction = IRP_MJ_SYSTEM_CONTROL;
  Next->MinorFunction = IRP_MN_QUERY_ALL_DATA;
  Next->Parameters.WMI.ProviderId = (ULONG_PTR)C->Pdo;
  Next->Parameters.WMI.DataPath = &NoSuchGuid;
  Next->Parameters.WMI.BufferSize = 0;
  Next->Parameters.WMI.Buffer = nullptr;
  IoSetCompletionRoutine(Wmi, WmiDone, Done, TRUE, TRUE, TRUE);
  const ULONG Before = C->WmiSeen;
  IoCallDriver(Top, Wmi);
  LARGE_INTEGER Limit;
  Limit.QuadPart = -50000000;  // 5 s
  const NTSTATUS Waited = KeWaitForSingleObject(Done, Executive, KernelMode, FALSE, &Limit);
  ObDereferenceObject(Top);
  if (Waited == STATUS_TIMEOUT) return Complete(Irp, STATUS_IO_TIMEOUT, 0);
  NVBUS_WMI Result;
  Result.Reached = C->WmiSeen != Before;
  Result.Status = Wmi->IoStatus.Status;
  IoFreeIrp(Wmi);
  ExFreePoolWithTag(Done, PoolTag);
  Copy(Irp->AssociatedIrp.SystemBuffer, &Result, sizeof Result);
  return Complete(Irp, STATUS_SUCCESS, sizeof Result);
}

NTSTATUS ControlDeviceControl(PIRP Irp) {
  PIO_STACK_LOCATION Location = IoGetCurrentIrpStackLocation(Irp);
  switch (Location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_NVBUS_CONNECT:
      return Connect(Irp, Location);
    case IOCTL_NVBUS_PLUG:
      return Plug(Irp, Location);
    case IOCTL_NVBUS_UNPLUG:
      return UnplugRequest(Irp, Location);
    case IOCTL_NVBUS_ARM_FAULT:
      return ArmFault(Irp, Location);
    case IOCTL_NVBUS_HOOK:
      return Hook(Irp, Location);
    case IOCTL_NVBUS_STATE:
      return State(Irp, Location);
    case IOCTL_NVBUS_SYSTEM_CONTROL:
      return SendSystemControl(Irp, Location);
    default:
      return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

// ---------------------------------------------------------------- URBs

NTSTATUS FailUrb(PIRP Irp, PURB Urb, NTSTATUS Status, USBD_STATUS UsbdStatus) {
  if (Urb != nullptr) Urb->UrbHeader.Status = UsbdStatus;
  return Complete(Irp, Status, 0);
}

// The pipe a handle names in the child's current configuration, or -1.
LONG PipeOf(Child *C, USBD_PIPE_HANDLE Handle) {
  const ULONG_PTR Value = (ULONG_PTR)Handle;
  if ((Value & ~(ULONG_PTR)0xFF) != 0x4E560000) return -1;
  for (ULONG i = 0; i < C->PipeCount; ++i) {
    if (C->Pipes[i].Address == (UCHAR)Value) return (LONG)i;
  }
  return -1;
}

// Fills one interface entry of a selection from the configuration
// descriptor and records its pipes. False when the descriptor lacks it.
BOOLEAN SelectOne(Child *C, PUSB_CONFIGURATION_DESCRIPTOR Set, PUSBD_INTERFACE_INFORMATION Info, ULONG Room) {
  const PUCHAR Begin = (PUCHAR)Set;
  const PUCHAR End = Begin + Set->wTotalLength;
  PUSB_INTERFACE_DESCRIPTOR Found = nullptr;
  PUCHAR At = Begin;
  while (At + 2 <= End && At[0] >= 2) {
    if (At[1] == USB_INTERFACE_DESCRIPTOR_TYPE && At + sizeof(USB_INTERFACE_DESCRIPTOR) <= End) {
      PUSB_INTERFACE_DESCRIPTOR I = (PUSB_INTERFACE_DESCRIPTOR)At;
      if (I->bInterfaceNumber == Info->InterfaceNumber && I->bAlternateSetting == Info->AlternateSetting) {
        Found = I;
        break;
      }
    }
    At += At[0];
  }
  if (Found == nullptr) return FALSE;
  const ULONG Needed = sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) +
                       Found->bNumEndpoints * sizeof(USBD_PIPE_INFORMATION);
  if (Info->Length < Needed || Room < Needed) return FALSE;
  Info->Class = Found->bInterfaceClass;
  Info->SubClass = Found->bInterfaceSubClass;
  Info->Protocol = Found->bInterfaceProtocol;
  Info->InterfaceHandle = (USBD_INTERFACE_HANDLE)(ULONG_PTR)(0x4E560100 | Info->InterfaceNumber);
  Info->NumberOfPipes = Found->bNumEndpoints;
  At = (PUCHAR)Found + Found->bLength;
  ULONG Pipes = 0;
  while (Pipes < Found->bNumEndpoints && At + 2 <= End && At[0] >= 2 && At[1] != USB_INTERFACE_DESCRIPTOR_TYPE) {
    if (At[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && At + sizeof(USB_ENDPOINT_DESCRIPTOR) <= End) {
      PUSB_ENDPOINT_DESCRIPTOR E = (PUSB_ENDPOINT_DESCRIPTOR)At;
      PUSBD_PIPE_INFORMATION P = &Info->Pipes[Pipes++];
      P->MaximumPacketSize = E->wMaxPacketSize;
      P->EndpointAddress = E->bEndpointAddress;
      P->Interval = E->bInterval;
      P->PipeType = (USBD_PIPE_TYPE)(E->bmAttributes & 3);
      P->PipeHandle = (USBD_PIPE_HANDLE)(ULONG_PTR)(0x4E560000 | E->bEndpointAddress);
      if (C->PipeCount < 16) {
        Pipe &Record = C->Pipes[C->PipeCount++];
        Record.Interface = Info->InterfaceNumber;
        Record.Address = E->bEndpointAddress;
        Record.Type = E->bmAttributes & 3;
        Record.MaxPacket = E->wMaxPacketSize;
        Record.MaxTransfer = P->MaximumTransferSize;
      }
    }
    At += At[0];
  }
  return TRUE;
}

Pending *NewPending(PIRP Irp, Child *C, PURB Urb, ULONG Kind) {
  Pending *P = (Pending *)ExAllocatePoolWithTag(NonPagedPool, sizeof(Pending), PoolTag);
  if (P == nullptr) return nullptr;
  Zero(P, sizeof *P);
  P->Irp = Irp;
  P->Owner = C;
  P->Urb = Urb;
  P->Request.Bridge = C->Index;
  P->Request.Kind = Kind;
  return P;
}

// Whether an armed fault hits this request; takes it.
ULONG TakeFault(Child *C, ULONG Kind, const UCHAR *Setup) {
  if (C->FaultKind == 0) return 0;
  BOOLEAN Hits = FALSE;
  switch (C->FaultOn) {
    case NVBUS_ON_ANY:
      Hits = TRUE;
      break;
    case NVBUS_ON_CONTROL:
      Hits = Kind == NVBUS_KIND_CONTROL;
      break;
    case NVBUS_ON_VENDOR:
      Hits = Kind == NVBUS_KIND_CONTROL && (Setup[0] & 0x60) == 0x40;
      break;
    case NVBUS_ON_BULK_OUT:
      Hits = Kind == NVBUS_KIND_BULK_OUT;
      break;
    case NVBUS_ON_BULK_IN:
      Hits = Kind == NVBUS_KIND_BULK_IN;
      break;
  }
  if (!Hits) return 0;
  const ULONG Fault = C->FaultKind;
  C->FaultKind = 0;
  return Fault;
}

// A control request on the default pipe, built from the URB's setup packet.
NTSTATUS SendControl(PIRP Irp, Child *C, PURB Urb, ULONG Kind, UCHAR RequestType, UCHAR Request, USHORT Value,
                     USHORT Index) {
  struct _URB_CONTROL_TRANSFER *T = &Urb->UrbControlTransfer;
  PUCHAR Buffer = (PUCHAR)T->TransferBuffer;
  if (Buffer == nullptr && T->TransferBufferMDL != nullptr) {
    Buffer = (PUCHAR)MmGetSystemAddressForMdlSafe(T->TransferBufferMDL, NormalPagePriority);
  }
  const ULONG Length = T->TransferBufferLength;
  if (Length != 0 && Buffer == nullptr) return FailUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  if (Length > NVBUS_MAX_DATA || Length > 0xFFFF) return FailUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  Pending *P = NewPending(Irp, C, Urb, Kind);
  if (P == nullptr) return FailUrb(Irp, Urb, STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES);
  UCHAR *S = P->Request.Setup;
  S[0] = RequestType;
  S[1] = Request;
  S[2] = (UCHAR)Value;
  S[3] = (UCHAR)(Value >> 8);
  S[4] = (UCHAR)Index;
  S[5] = (UCHAR)(Index >> 8);
  S[6] = (UCHAR)Length;
  S[7] = (UCHAR)(Length >> 8);
  if (RequestType & 0x80) {
    P->InBuffer = Buffer;
    P->InRoom = Length;
    P->Request.Length = Length;
  } else {
    P->OutData = Buffer;
    P->Request.DataLength = Length;
  }
  const ULONG Fault = TakeFault(C, Kind, S);
  if (Fault == NVBUS_FAULT_STALL) {
    ExFreePoolWithTag(P, PoolTag);
    return FailUrb(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  }
  if (Fault == NVBUS_FAULT_DISCONNECT) {
    ExFreePoolWithTag(P, PoolTag);
    Unplug(C);
    return FailUrb(Irp, Urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  }
  return Forward(P, Fault == NVBUS_FAULT_HOLD);
}

// Drops the recorded pipes of one interface (before it is selected again).
VOID DropPipes(Child *C, UCHAR Interface) {
  ULONG Kept = 0;
  for (ULONG i = 0; i < C->PipeCount; ++i) {
    if (C->Pipes[i].Interface != Interface) C->Pipes[Kept++] = C->Pipes[i];
  }
  C->PipeCount = Kept;
  C->Halted = 0;
}

// SELECT_CONFIGURATION and SELECT_INTERFACE: checked and filled here, as the
// stack does; the bridge hears SET_CONFIGURATION and SET_INTERFACE.
NTSTATUS SendSelect(PIRP Irp, Child *C, PURB Urb) {
  Pending *P = NewPending(Irp, C, Urb, NVBUS_KIND_SELECT);
  if (P == nullptr) return FailUrb(Irp, Urb, STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES);
  PUCHAR End = (PUCHAR)Urb + Urb->UrbHeader.Length;
  ULONG PairCount = 0;
  if (Urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
    PUSB_CONFIGURATION_DESCRIPTOR Set = Urb->UrbSelectConfiguration.ConfigurationDescriptor;
    // A refused selection leaves the current one in place.
    const ULONG KeptCount = C->PipeCount;
    Pipe Kept[16];
    Copy(Kept, C->Pipes, sizeof Kept);
    C->PipeCount = 0;
    if (Set != nullptr) {
      if (Set->wTotalLength > sizeof C->Configuration) {
        C->PipeCount = KeptCount;
        ExFreePoolWithTag(P, PoolTag);
        return FailUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
      }
      PUSBD_INTERFACE_INFORMATION Info = &Urb->UrbSelectConfiguration.Interface;
      while ((PUCHAR)Info + sizeof(USHORT) <= End && Info->Length != 0 && PairCount < 16) {
        if (!SelectOne(C, Set, Info, (ULONG)(End - (PUCHAR)Info))) {
          Copy(C->Pipes, Kept, sizeof Kept);
          C->PipeCount = KeptCount;
          ExFreePoolWithTag(P, PoolTag);
          return FailUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        P->Pairs[2 * PairCount] = Info->InterfaceNumber;
        P->Pairs[2 * PairCount + 1] = Info->AlternateSetting;
        ++PairCount;
        Info = (PUSBD_INTERFACE_INFORMATION)((PUCHAR)Info + Info->Length);
      }
      Copy(C->Configuration, Set, Set->wTotalLength);
      C->ConfigurationValue = Set->bConfigurationValue;
      Urb->UrbSelectConfiguration.ConfigurationHandle =
          (USBD_CONFIGURATION_HANDLE)(ULONG_PTR)(0x4E560200 | Set->bConfigurationValue);
    }
    if (Set == nullptr) C->ConfigurationValue = 0;
    C->Halted = 0;
    P->Request.Value = C->ConfigurationValue;
  } else {
    PUSBD_INTERFACE_INFORMATION Info = &Urb->UrbSelectInterface.Interface;
    if (C->ConfigurationValue == 0) {
      ExFreePoolWithTag(P, PoolTag);
      return FailUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    DropPipes(C, Info->InterfaceNumber);
    if (!SelectOne(C, (PUSB_CONFIGURATION_DESCRIPTOR)C->Configuration, Info, (ULONG)(End - (PUCHAR)Info))) {
      ExFreePoolWithTag(P, PoolTag);
      return FailUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    P->Pairs[0] = Info->InterfaceNumber;
    P->Pairs[1] = Info->AlternateSetting;
    PairCount = 1;
    P->Request.Value = 0x100;  // the configuration stays
  }
  P->OutData = P->Pairs;
  P->Request.DataLength = 2 * PairCount;
  return Forward(P, FALSE);
}

NTSTATUS SendBulk(PIRP Irp, Child *C, PURB Urb) {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER *T = &Urb->UrbBulkOrInterruptTransfer;
  const LONG Index = PipeOf(C, T->PipeHandle);
  if (Index < 0) return FailUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  const Pipe &Record = C->Pipes[Index];
  const BOOLEAN In = (Record.Address & 0x80) != 0;
  if (In != ((T->TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0)) {
    return FailUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  PUCHAR Buffer = (PUCHAR)T->TransferBuffer;
  if (Buffer == nullptr && T->TransferBufferMDL != nullptr) {
    Buffer = (PUCHAR)MmGetSystemAddressForMdlSafe(T->TransferBufferMDL, NormalPagePriority);
  }
  const ULONG Length = T->TransferBufferLength;
  if ((Length != 0 && Buffer == nullptr) || Length > NVBUS_MAX_DATA || Length > Record.MaxTransfer) {
    return FailUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
  }
  if (C->Halted & (1u << Index)) return FailUrb(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_ENDPOINT_HALTED);
  Pending *P = NewPending(Irp, C, Urb, In ? NVBUS_KIND_BULK_IN : NVBUS_KIND_BULK_OUT);
  if (P == nullptr) return FailUrb(Irp, Urb, STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES);
  P->PipeIndex = (ULONG)Index;
  P->Request.Endpoint = Record.Address;
  P->Request.Value = Record.MaxPacket;
  if (In) {
    P->InBuffer = Buffer;
    P->InRoom = Length;
    P->Request.Length = Length;
  } else {
    P->OutData = Buffer;
    P->Request.DataLength = Length;
  }
  const ULONG Fault = TakeFault(C, P->Request.Kind, P->Request.Setup);
  if (Fault == NVBUS_FAULT_STALL) {
    ExFreePoolWithTag(P, PoolTag);
    C->Halted |= 1u << Index;
    return FailUrb(Irp, Urb, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
  }
  if (Fault == NVBUS_FAULT_DISCONNECT) {
    ExFreePoolWithTag(P, PoolTag);
    Unplug(C);
    return FailUrb(Irp, Urb, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
  }
  return Forward(P, Fault == NVBUS_FAULT_HOLD);
}

// Reset pipe, sync reset, sync clear stall: the host side's halt, the
// device's, or both.
NTSTATUS SendPipeReset(PIRP Irp, Child *C, PURB Urb, BOOLEAN Host, BOOLEAN Device) {
  const LONG Index = PipeOf(C, Urb->UrbPipeRequest.PipeHandle);
  if (Index < 0) return FailUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
  if (Host) C->Halted &= ~(1u << Index);
  if (!Device) {
    Urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
    return Complete(Irp, STATUS_SUCCESS, 0);
  }
  Pending *P = NewPending(Irp, C, Urb, NVBUS_KIND_CLEAR_HALT);
  if (P == nullptr) return FailUrb(Irp, Urb, STATUS_INSUFFICIENT_RESOURCES, USBD_STATUS_INSUFFICIENT_RESOURCES);
  P->Request.Endpoint = C->Pipes[Index].Address;
  return Forward(P, FALSE);
}

NTSTATUS SubmitUrb(PIRP Irp, Child *C, PURB Urb) {
  if (Urb == nullptr) return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  const UCHAR In = 0x80, Vendor = 0x40, Class = 0x20;
  switch (Urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
      return SendSelect(Irp, C, Urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      struct _URB_CONTROL_DESCRIPTOR_REQUEST *D = &Urb->UrbControlDescriptorRequest;
      return SendControl(Irp, C, Urb, NVBUS_KIND_DESCRIPTOR, In, 6, (USHORT)(D->DescriptorType << 8 | D->Index),
                         D->LanguageId);
    }
    case URB_FUNCTION_CONTROL_TRANSFER: {
      const UCHAR *S = Urb->UrbControlTransfer.SetupPacket;
      return SendControl(Irp, C, Urb, NVBUS_KIND_CONTROL, S[0], S[1], (USHORT)(S[2] | S[3] << 8),
                         (USHORT)(S[4] | S[5] << 8));
    }
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
      struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *V = &Urb->UrbControlVendorClassRequest;
      const USHORT F = Urb->UrbHeader.Function;
      UCHAR Type = (F >= URB_FUNCTION_VENDOR_DEVICE && F <= URB_FUNCTION_VENDOR_ENDPOINT) || F == URB_FUNCTION_VENDOR_OTHER
                       ? Vendor
                       : Class;
      UCHAR Recipient = F == URB_FUNCTION_VENDOR_OTHER || F == URB_FUNCTION_CLASS_OTHER
                            ? 3
                            : (UCHAR)((F - (Type == Vendor ? URB_FUNCTION_VENDOR_DEVICE : URB_FUNCTION_CLASS_DEVICE)));
      UCHAR RequestType = (UCHAR)(((V->TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? In : 0) | Type | Recipient |
                                  V->RequestTypeReservedBits);
      return SendControl(Irp, C, Urb, NVBUS_KIND_CONTROL, RequestType, V->Request, V->Value, V->Index);
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
      return SendControl(Irp, C, Urb, NVBUS_KIND_CONTROL,
                         (UCHAR)(In | (Urb->UrbHeader.Function - URB_FUNCTION_GET_STATUS_FROM_DEVICE)), 0, 0,
                         Urb->UrbControlGetStatusRequest.Index);
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
      return SendControl(Irp, C, Urb, NVBUS_KIND_CONTROL,
                         (UCHAR)(Urb->UrbHeader.Function - URB_FUNCTION_SET_FEATURE_TO_DEVICE), 3,
                         Urb->UrbControlFeatureRequest.FeatureSelector, Urb->UrbControlFeatureRequest.Index);
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
      const UCHAR Recipient = (UCHAR)(Urb->UrbHeader.Function - URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE);
      if (Recipient == 2 && Urb->UrbControlFeatureRequest.FeatureSelector == 0) {
        // ENDPOINT_HALT: the host's halt of that pipe goes too.
        for (ULONG i = 0; i < C->PipeCount; ++i) {
          if (C->Pipes[i].Address == (UCHAR)Urb->UrbControlFeatureRequest.Index) C->Halted &= ~(1u << i);
        }
      }
      return SendControl(Irp, C, Urb, NVBUS_KIND_CONTROL, Recipient, 1, Urb->UrbControlFeatureRequest.FeatureSelector,
                         Urb->UrbControlFeatureRequest.Index);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      return SendBulk(Irp, C, Urb);
    case URB_FUNCTION_ABORT_PIPE: {
      const LONG Index = PipeOf(C, Urb->UrbPipeRequest.PipeHandle);
      if (Index < 0) return FailUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
      FailRequests(C, Index, STATUS_CANCELLED, USBD_STATUS_CANCELED);
      Urb->UrbHeader.Status = USBD_STATUS_SUCCESS;
      return Complete(Irp, STATUS_SUCCESS, 0);
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
      return SendPipeReset(Irp, C, Urb, TRUE, TRUE);
    case URB_FUNCTION_SYNC_RESET_PIPE:
      return SendPipeReset(Irp, C, Urb, TRUE, FALSE);
    case URB_FUNCTION_SYNC_CLEAR_STALL:
      return SendPipeReset(Irp, C, Urb, TRUE, TRUE);
    default:
      return FailUrb(Irp, Urb, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
  }
}

NTSTATUS ChildInternalControl(PDEVICE_OBJECT Device, PIRP Irp) {
  Child *C = (Child *)Device->DeviceExtension;
  PIO_STACK_LOCATION Location = IoGetCurrentIrpStackLocation(Irp);
  PURB Urb = (PURB)Location->Parameters.Others.Argument1;
  const ULONG Code = Location->Parameters.DeviceIoControl.IoControlCode;
  if (Code == IOCTL_INTERNAL_USB_SUBMIT_URB || Code == IOCTL_INTERNAL_USB_RESET_PORT) {
    KIRQL Irql;
    KeAcquireSpinLock(&TheBus.Lock, &Irql);
    ++TheBus.Seen[C->Index];
    KeReleaseSpinLock(&TheBus.Lock, Irql);
  }
  if (!C->Present) {
    return FailUrb(Irp, Code == IOCTL_INTERNAL_USB_SUBMIT_URB ? Urb : nullptr, STATUS_DEVICE_NOT_CONNECTED,
                   USBD_STATUS_DEVICE_GONE);
  }
  switch (Code) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return SubmitUrb(Irp, C, Urb);
    case IOCTL_INTERNAL_USB_RESET_PORT: {
      // The stack restores the configuration, so pipe handles stay valid;
      // every halt ends.
      C->Halted = 0;
      Pending *P = NewPending(Irp, C, nullptr, NVBUS_KIND_BUS_RESET);
      if (P == nullptr) return Complete(Irp, STATUS_INSUFFICIENT_RESOURCES, 0);
      P->Request.Value = C->ConfigurationValue;
      return Forward(P, FALSE);
    }
    default:
      return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
  }
}

// ---------------------------------------------------------------- the bus device

NTSTATUS NTAPI SignalDone(PDEVICE_OBJECT, PIRP, PVOID Context) {
  KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(FdoExtension *Fdo, PIRP Irp) {
  KEVENT Event;
  KeInitializeEvent(&Event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalDone, &Event, TRUE, TRUE, TRUE);
  if (IoCallDriver(Fdo->Lower, Irp) == STATUS_PENDING) {
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
  }
  return Irp->IoStatus.Status;
}

NTSTATUS PassDown(FdoExtension *Fdo, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Fdo->Lower, Irp);
}

NTSTATUS ReportChildren(PIRP Irp) {
  ULONG Count = 0;
  for (ULONG i = 0; i < NVBUS_MAX_BRIDGES; ++i) {
    if (TheBus.Children[i] != nullptr && TheBus.Children[i]->Present) ++Count;
  }
  PDEVICE_RELATIONS Old = (PDEVICE_RELATIONS)Irp->IoStatus.Information;
  const ULONG OldCount = Old != nullptr ? Old->Count : 0;
  const ULONG Size = sizeof(DEVICE_RELATIONS) + (OldCount + Count) * sizeof(PDEVICE_OBJECT);
  PDEVICE_RELATIONS Relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(PagedPool, Size, PoolTag);
  if (Relations == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  Relations->Count = 0;
  for (ULONG i = 0; i < OldCount; ++i) Relations->Objects[Relations->Count++] = Old->Objects[i];
  for (ULONG i = 0; i < NVBUS_MAX_BRIDGES; ++i) {
    Child *C = TheBus.Children[i];
    if (C == nullptr || !C->Present) continue;
    ObReferenceObject(C->Pdo);
    Relations->Objects[Relations->Count++] = C->Pdo;
  }
  if (Old != nullptr) ExFreePool(Old);
  Irp->IoStatus.Information = (ULONG_PTR)Relations;
  return STATUS_SUCCESS;
}

NTSTATUS BusPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  FdoExtension *Fdo = (FdoExtension *)Device->DeviceExtension;
  PIO_STACK_LOCATION Location = IoGetCurrentIrpStackLocation(Irp);
  switch (Location->MinorFunction) {
    case IRP_MN_START_DEVICE: {
      NTSTATUS Status = ForwardAndWait(Fdo, Irp);
      if (NT_SUCCESS(Status) || Status == STATUS_NOT_SUPPORTED) Status = STATUS_SUCCESS;
      return Complete(Irp, Status, 0);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (Location->Parameters.QueryDeviceRelations.Type == BusRelations) {
        NTSTATUS Status = ReportChildren(Irp);
        if (!NT_SUCCESS(Status)) return Complete(Irp, Status, 0);
        Irp->IoStatus.Status = STATUS_SUCCESS;
      }
      return PassDown(Fdo, Irp);
    case IRP_MN_REMOVE_DEVICE: {
      Irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS Status = PassDown(Fdo, Irp);
      IoDetachDevice(Fdo->Lower);
      TheBus.Fdo = nullptr;
      IoDeleteDevice(Device);
      return Status;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      return PassDown(Fdo, Irp);
    default:
      return PassDown(Fdo, Irp);
  }
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT Device, PIRP Irp) {
  switch (KindOf(Device)) {
    case KindFdo:
      return BusPnp(Device, Irp);
    case KindPdo:
      return ChildPnp(Device, Irp);
    default:
      return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT Device, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  if (KindOf(Device) == KindFdo) {
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(((FdoExtension *)Device->DeviceExtension)->Lower, Irp);
  }
  const UCHAR Minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  if (KindOf(Device) == KindPdo && (Minor == IRP_MN_SET_POWER || Minor == IRP_MN_QUERY_POWER)) {
    return Complete(Irp, STATUS_SUCCESS, 0);
  }
  return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}

// The control device has one opener at a time (the test client), as a
// bridge does: a second open is refused with STATUS_OBJECT_NAME_COLLISION,
// which lets the suite see how Wine reports a create its driver refused.
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT Device, PIRP Irp) {
  if (KindOf(Device) != KindControl) return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_CLOSE) {
    InterlockedExchange(&TheBus.Opened, 0);
    return Complete(Irp, STATUS_SUCCESS, 0);
  }
  if (InterlockedCompareExchange(&TheBus.Opened, 1, 0) != 0) return Complete(Irp, STATUS_OBJECT_NAME_COLLISION, 0);
  return Complete(Irp, STATUS_SUCCESS, 0);
}

// WMI: the child is the request's target and completes it with the status
// it arrived with (it registers no WMI data); the bus passes its own down.
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT Device, PIRP Irp) {
  if (KindOf(Device) == KindFdo) return PassDown((FdoExtension *)Device->DeviceExtension, Irp);
  if (KindOf(Device) == KindPdo) ++((Child *)Device->DeviceExtension)->WmiSeen;
  return Complete(Irp, Irp->IoStatus.Status, Irp->IoStatus.Information);
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT Device, PIRP Irp) {
  if (KindOf(Device) == KindControl) return ControlDeviceControl(Irp);
  if (KindOf(Device) == KindFdo) return PassDown((FdoExtension *)Device->DeviceExtension, Irp);
  return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI DispatchInternalControl(PDEVICE_OBJECT Device, PIRP Irp) {
  if (KindOf(Device) == KindPdo) return ChildInternalControl(Device, Irp);
  if (KindOf(Device) == KindFdo) return PassDown((FdoExtension *)Device->DeviceExtension, Irp);
  return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT Driver, PDEVICE_OBJECT Pdo) {
  if (TheBus.Fdo != nullptr) return STATUS_DEVICE_ALREADY_ATTACHED;  // one bus
  PDEVICE_OBJECT Device;
  NTSTATUS Status = IoCreateDevice(Driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &Device);
  if (!NT_SUCCESS(Status)) return Status;
  FdoExtension *Fdo = (FdoExtension *)Device->DeviceExtension;
  Fdo->Kind = KindFdo;
  Fdo->Pdo = Pdo;
  Fdo->Lower = IoAttachDeviceToDeviceStack(Device, Pdo);
  if (Fdo->Lower == nullptr) {
    IoDeleteDevice(Device);
    return STATUS_NO_SUCH_DEVICE;
  }
  TheBus.Fdo = Device;
  Device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

VOID NTAPI Unload(PDRIVER_OBJECT) {
  UNICODE_STRING Link;
  RtlInitUnicodeString(&Link, L"\\DosDevices\\NorvWineBus");
  IoDeleteSymbolicLink(&Link);
  if (TheBus.Control != nullptr) IoDeleteDevice(TheBus.Control);
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING) {
  KeInitializeSpinLock(&TheBus.Lock);
  InitializeListHead(&TheBus.Waiting);
  InitializeListHead(&TheBus.InServiceList);
  InitializeListHead(&TheBus.HeldList);
  KeInitializeEvent(&TheBus.Work, SynchronizationEvent, FALSE);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternalControl;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = DispatchSystemControl;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = Unload;

  UNICODE_STRING Name;
  RtlInitUnicodeString(&Name, L"\\Device\\NorvWineBus");
  PDEVICE_OBJECT Control;
  NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(DeviceHeader), &Name, FILE_DEVICE_UNKNOWN, 0, FALSE, &Control);
  if (!NT_SUCCESS(Status)) return Status;
  ((DeviceHeader *)Control->DeviceExtension)->Kind = KindControl;
  Control->Flags |= DO_BUFFERED_IO;
  Control->Flags &= ~DO_DEVICE_INITIALIZING;
  UNICODE_STRING Link;
  RtlInitUnicodeString(&Link, L"\\DosDevices\\NorvWineBus");
  Status = IoCreateSymbolicLink(&Link, &Name);
  if (!NT_SUCCESS(Status)) {
    IoDeleteDevice(Control);
    return Status;
  }
  TheBus.Control = Control;
  return STATUS_SUCCESS;
}
