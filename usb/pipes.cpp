// The pipe array of the selected interface: its open marks, and the
// maintenance requests (abort, reset, clear halt) on open pipes.
//
// A selection may replace InterfaceInfo at any moment, and frees the old
// array right after. So the array is read only under InterfaceLock, and only
// what a request needs is copied out; the lock is never held across a wait.
#include "norvusb.h"
#include "urb_sizes.h"

namespace {

const ULONG NoPipe = NORVUSB_EVERY_PIPE - 1;

// Index of a pipe record in the current array, or NoPipe when the record is
// not part of it (the array it belonged to was replaced).
ULONG PipeIndexOf(FdoExtension *Extension, PUSBD_PIPE_INFORMATION Pipe) {
  ULONG Index = NoPipe;
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->InterfaceLock, &Irql);
  PUSBD_INTERFACE_INFORMATION Info = Extension->InterfaceInfo;
  if (Info != nullptr) {
    ULONG_PTR First = (ULONG_PTR)&Info->Pipes[0];
    ULONG_PTR Address = (ULONG_PTR)Pipe;
    ULONG_PTR Offset = Address - First;
    if (Address >= First && Offset % sizeof(USBD_PIPE_INFORMATION) == 0 &&
        Offset / sizeof(USBD_PIPE_INFORMATION) < Info->NumberOfPipes) {
      Index = (ULONG)(Offset / sizeof(USBD_PIPE_INFORMATION));
    }
  }
  KeReleaseSpinLock(&Extension->InterfaceLock, Irql);
  return Index;
}

BOOLEAN HasInterface(FdoExtension *Extension) {
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->InterfaceLock, &Irql);
  BOOLEAN Present = Extension->InterfaceInfo != nullptr;
  KeReleaseSpinLock(&Extension->InterfaceLock, Irql);
  return Present;
}

// Number of pipes of the current array (0 without one).
ULONG PipeCount(FdoExtension *Extension) {
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->InterfaceLock, &Irql);
  ULONG Count = Extension->InterfaceInfo != nullptr ? Extension->InterfaceInfo->NumberOfPipes : 0;
  KeReleaseSpinLock(&Extension->InterfaceLock, Irql);
  return Count;
}

VOID FillPipeRequest(PURB Urb, ULONG BlockSize, USHORT Function, const USBD_PIPE_INFORMATION *Pipe) {
  RtlZeroMemory(Urb, BlockSize);
  Urb->UrbHeader.Function = Function;
  if (Function == URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT) {
    Urb->UrbHeader.Length = (USHORT)NORVUSB_FEATURE_REQUEST_LENGTH;
    Urb->UrbControlFeatureRequest.FeatureSelector = USB_FEATURE_ENDPOINT_STALL;
    Urb->UrbControlFeatureRequest.Index = (USHORT)Pipe->EndpointAddress;
  } else {
    Urb->UrbHeader.Length = (USHORT)NORVUSB_PIPE_REQUEST_LENGTH;
    Urb->UrbPipeRequest.PipeHandle = Pipe->PipeHandle;
  }
}

// Sends the request for one pipe when it is marked open; otherwise leaves
// *Result alone.
VOID MaintainOnePipe(PDEVICE_OBJECT DeviceObject, PURB Urb, ULONG BlockSize, USHORT Function, ULONG PipeIndex,
                     NTSTATUS *Result) {
  USBD_PIPE_INFORMATION Pipe;
  if (!CopyPipe(DeviceObject, PipeIndex, &Pipe) || Pipe.PipeFlags == NORVUSB_PIPE_CLOSED) {
    return;
  }
  FillPipeRequest(Urb, BlockSize, Function, &Pipe);
  *Result = SubmitUrb(DeviceObject, Urb);
}

}  // namespace

VOID SetPipeMarks(PDEVICE_OBJECT DeviceObject, ULONG Mark) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr) {
    return;
  }
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->InterfaceLock, &Irql);
  PUSBD_INTERFACE_INFORMATION Info = Extension->InterfaceInfo;
  if (Info != nullptr) {
    PUSBD_PIPE_INFORMATION Pipes = &Info->Pipes[0];
    for (ULONG Index = 0; Index < Info->NumberOfPipes; ++Index) {
      Pipes[Index].PipeFlags = Mark;
    }
  }
  KeReleaseSpinLock(&Extension->InterfaceLock, Irql);
}

BOOLEAN CopyPipe(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex, PUSBD_PIPE_INFORMATION Copy) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr) {
    return FALSE;
  }
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->InterfaceLock, &Irql);
  PUSBD_INTERFACE_INFORMATION Info = Extension->InterfaceInfo;
  BOOLEAN Found = Info != nullptr && PipeIndex < Info->NumberOfPipes;
  if (Found) {
    *Copy = (&Info->Pipes[0])[PipeIndex];
  }
  KeReleaseSpinLock(&Extension->InterfaceLock, Irql);
  return Found;
}

NTSTATUS MaintainPipes(PDEVICE_OBJECT DeviceObject, USHORT Function, ULONG PipeIndex) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr || !HasInterface(Extension)) {
    return STATUS_SUCCESS;
  }
  ULONG BlockSize = Function == URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT ? NORVUSB_URB_BLOCK_SIZE
                                                                        : NORVUSB_PIPE_REQUEST_BLOCK_SIZE;
  PURB Urb = (PURB)AllocatePool(NonPagedPool, BlockSize);
  if (Urb == nullptr) {
    return STATUS_NO_MEMORY;
  }
  NTSTATUS Result = STATUS_SUCCESS;
  if (PipeIndex != NORVUSB_EVERY_PIPE) {
    MaintainOnePipe(DeviceObject, Urb, BlockSize, Function, PipeIndex, &Result);
  } else {
    // The count is read again each time: a selection meanwhile may have
    // changed the array, and a pipe that no longer exists is passed over.
    for (ULONG Index = 0; Index < PipeCount(Extension); ++Index) {
      MaintainOnePipe(DeviceObject, Urb, BlockSize, Function, Index, &Result);
    }
  }
  ExFreePool(Urb);
  return Result;
}

namespace {

// A named pipe is turned into its index at once; a record that is no longer
// part of the current array names no pipe, and nothing is sent for it.
NTSTATUS MaintainNamedOrEvery(PDEVICE_OBJECT DeviceObject, USHORT Function, PUSBD_PIPE_INFORMATION Pipe) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr) {
    return STATUS_SUCCESS;
  }
  ULONG Index = Pipe == nullptr ? NORVUSB_EVERY_PIPE : PipeIndexOf(Extension, Pipe);
  return MaintainPipes(DeviceObject, Function, Index);
}

}  // namespace

NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe) {
  return MaintainNamedOrEvery(DeviceObject, URB_FUNCTION_ABORT_PIPE, Pipe);
}

NTSTATUS ResetPipes(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe) {
  return MaintainNamedOrEvery(DeviceObject, URB_FUNCTION_RESET_PIPE, Pipe);
}

NTSTATUS ClearHalts(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe) {
  return MaintainNamedOrEvery(DeviceObject, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, Pipe);
}
