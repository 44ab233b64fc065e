// The driver's shared records and routines.
#pragma once

#include "platform.h"
#include "bridge_ioctl.h"

// ------------------------------------------------------------------ driver-wide state
struct DRIVER_GLOBALS {
  ULONG MaxTransferSize;  // 4096 in the image; overwritten by each AddDevice (NorvUsbReadUlong/NorvUsbWriteUlong)
  USHORT NameCounter;     // live bridge devices; number of the next \Device name
  ULONG PortBitmap[4];    // bit per port number 0..127, most significant bit first
  UCHAR AltSetting;
  UCHAR IfSetting;
  // What the running system offers, chosen by DriverEntry (driver/memory.cpp).
  POOL_TYPE NonPagedType;  // NonPagedPoolNx from Windows 8 on
  ULONG MappingFlags;      // MdlMappingNoExecute from Windows 8 on
  UCHAR NtFamily;          // 0 on the Windows 98 generation
};

extern DRIVER_GLOBALS DriverGlobals;

#define NORVUSB_MAX_PORTS 128
#define NORVUSB_NAME_CHARS 127
#define NORVUSB_DEVICE_ID_BUFFER_SIZE 1024
// The largest bulk packet that a read rounds up to (high speed); the bounce
// buffer has this much room beyond the largest request for the rounding.
#define NORVUSB_CARRY_SIZE 512

struct TransferContext;

// The port's open state (FdoExtension::Opened). It goes Free -> Open (an
// open, by OwnerFileObject) -> Closing (a close taking the port apart) ->
// Free; only Open admits transfers and only Free an open. Held is Free
// while a stop is pending or done: no open until the stop is cancelled or
// the next start.
enum PORT_STATE { PortFree = 0, PortOpen = 1, PortClosing = 2, PortHeld = 3 };

// A pipe's open mark, in the PipeFlags word of its USBD_PIPE_INFORMATION.
#define NORVUSB_PIPE_CLOSED ((ULONG)0)
#define NORVUSB_PIPE_OPEN ((ULONG)1)
// The pipes of the interface, by index, and the direction of a bulk transfer.
#define NORVUSB_WRITE_PIPE ((ULONG)0)
#define NORVUSB_READ_PIPE ((ULONG)1)
#define NORVUSB_DIRECTION_OUT ((UCHAR)0)
#define NORVUSB_DIRECTION_IN ((UCHAR)1)

// ------------------------------------------------------------------ the bridge device's extension
//
// Locks: each lock below is taken alone. None is ever held while another is
// taken, so locks never nest and there is no order to keep. TransferLock
// guards Opened and OwnerFileObject together, and CurrentTransfer;
// InterfaceLock guards the InterfaceInfo pointer, the pipe marks in its
// array and the stored descriptor blocks; ChildListLock guards the child
// list. The other fields say how they are kept safe: interlocked, written
// whole (NorvUsbRead/Write...), owned by whoever holds TransferBusy, or only
// touched by Plug and Play requests, which come one at a time.
struct FdoExtension {
  PDEVICE_OBJECT PhysicalDeviceObject;  // set at AddDevice, then read only
  PDEVICE_OBJECT LowerDeviceObject;     // set at AddDevice, then read only
  PDEVICE_OBJECT Self;
  UCHAR IsFdo;  // 1; 0 in PdoExtension, at the same place
  LIST_ENTRY ChildList;   // ChildListLock (remove, a Plug and Play request, takes none)
  ULONG ChildCount;       // ChildListLock
  KSPIN_LOCK ChildListLock;
  LONG PendingIoCount;  // interlocked (the I/O gate, device/gate.cpp)
  UCHAR DeviceRemoved;  // written whole (NorvUsbReadUchar/NorvUsbWriteUchar)
  KEVENT RemoveEvent;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;          // InterfaceLock
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // InterfaceLock
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;                // InterfaceLock
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;              // InterfaceLock, with its pipe marks
  UCHAR Started;                        // Plug and Play requests only
  WCHAR DosDeviceName[NORVUSB_NAME_CHARS];
  WCHAR DeviceName[NORVUSB_NAME_CHARS];
  UCHAR Opened;  // a PORT_STATE; TransferLock (read alone, whole)
  USHORT PortIndex;
  TransferContext *CurrentTransfer;  // TransferLock
  PUCHAR TransferBuffer;             // swapped interlocked (FreeTransferBuffer)
  PUCHAR DeviceIdBuffer;             // Plug and Play requests only
  UCHAR DeviceIdValid;               // Plug and Play requests only
  UCHAR TransferMode;                // whoever holds TransferBusy (or the device-control caller)

  // Kept beside the fields above so that the data path and the control path
  // stay sound when they run at the same time.
  ULONG TransferBufferSize;         // bytes TransferBuffer was allocated with at open; its owner
  LONG TransferBusy;                // interlocked: 1 while a read or write owns the bounce buffer
  KSPIN_LOCK TransferLock;          // guards Opened, OwnerFileObject and CurrentTransfer
  KSPIN_LOCK InterfaceLock;         // guards the InterfaceInfo pointer and its pipe marks
  ULONG ConfigurationDescriptorSize;  // InterfaceLock: bytes of the configuration descriptor set that were read

  // The file object whose open succeeded. Wine can hand a refused open's
  // file object to its caller as if it had succeeded, and can send a close
  // while a request is still in the driver: only the owner's requests act.
  // TransferLock, together with Opened (read alone, whole).
  PFILE_OBJECT OwnerFileObject;
  // Bytes the printer sent beyond what a read asked for: a bulk IN always
  // asks for whole packets, so a short read must not drop the rest of the
  // last packet. Owned by whoever holds TransferBusy.
  ULONG ReadCarryLength;
  UCHAR ReadCarry[NORVUSB_CARRY_SIZE];

  // Set at surprise removal: the device is gone, new opens and I/O are
  // refused, while the remove waits for the last handle. Written whole.
  UCHAR DeviceGone;
  // Interlocked: set by a reset or a new configuration, which make the
  // carry's bytes stale; the next holder of TransferBusy empties the carry.
  LONG ReadCarryStale;
};

// ------------------------------------------------------------------ the child printer device's extension
struct PdoExtension {
  PDEVICE_OBJECT ParentFdo;          // where FdoExtension has PhysicalDeviceObject
  PDEVICE_OBJECT LowerDeviceObject;  // always null
  PDEVICE_OBJECT Self;
  UCHAR IsFdo;  // 0
  ANSI_STRING DeviceId;
  LIST_ENTRY Link;

  // The child's own copy of the device-ID text, so that it never reads the
  // bridge's buffer after a stop freed it.
  PCHAR DeviceIdCopy;
};

// ------------------------------------------------------------------ the one bulk transfer in flight
struct TransferContext {
  struct _URB_BULK_OR_INTERRUPT_TRANSFER Urb;  // first: the record's address is the URB's
  PIRP Irp;
  UCHAR Cancelled;
  UCHAR ReadDirection;

  // Kept beside the fields above so that a cancel never meets a freed record:
  // one reference for the transfer itself, one per reset sequence cancelling
  // it; the last to let go finishes the request.
  LONG References;
  PUCHAR CallerBuffer;  // system-space address of the caller's buffer, mapped before the transfer starts
  PUCHAR BounceBuffer;  // the bounce buffer the transfer uses; close waits for the transfer before freeing it
  ULONG AskedLength;    // bytes the caller asked for; a read may ask the device for more
};

// ------------------------------------------------------------------ routines
// driver/
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
BOOLEAN ReadSettings(PDEVICE_OBJECT PhysicalDeviceObject);
BOOLEAN QueryDwordValue(HANDLE KeyHandle, PCWSTR ValueName, PULONG Value);
NTSTATUS AllocatePortName(PDEVICE_OBJECT PhysicalDeviceObject, UCHAR Allocate, PUSHORT PortIndex);
VOID ChooseMemoryForms(VOID);
PVOID AllocatePool(POOL_TYPE Type, SIZE_T Size);
PVOID MapLockedBuffer(PMDL Mdl);
// Bounded text (driver/text.cpp): what does not fit is cut, the text is
// always terminated, and Cut tells.
struct TEXT_BUFFER {
  PCHAR Text;
  ULONG Capacity;  // bytes, with the terminating null
  ULONG Length;
  BOOLEAN Cut;
};
VOID TextStart(TEXT_BUFFER *Buffer, PCHAR Text, ULONG Capacity);
VOID TextAppend(TEXT_BUFFER *Buffer, PCSZ Source, ULONG Limit);  // at most Limit characters, up to Source's null
VOID TextAppendNumber(TEXT_BUFFER *Buffer, ULONG Value, ULONG Base, ULONG Width);  // base 10 or 16, zero-padded

// device/
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS CreateBridgeDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PDEVICE_OBJECT *DeviceObject);
BOOLEAN IoGateAcquire(PDEVICE_OBJECT DeviceObject);
// As IoGateAcquire, for an open, a read, a write or a device-control
// request: these are refused from surprise removal on as well.
BOOLEAN IoGateAcquireForIo(PDEVICE_OBJECT DeviceObject);
VOID IoGateRelease(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI StartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID StopCleanup(PDEVICE_OBJECT DeviceObject);
NTSTATUS HandleRemove(PDEVICE_OBJECT DeviceObject, PIRP Irp, BOOLEAN *HandleKept);
VOID FreeDeviceResources(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI PowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// usb/
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject);
NTSTATUS DelayFor(LONG Count);
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                         UCHAR InterfaceNumber, UCHAR AlternateSetting);
NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS GetDescriptor(PDEVICE_OBJECT DeviceObject, USHORT Kind, PVOID Buffer, ULONG BufferLength,
                       PULONG OutLength);
NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);
NTSTATUS ResetPipes(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);
NTSTATUS ClearHalts(PDEVICE_OBJECT DeviceObject, PUSBD_PIPE_INFORMATION Pipe);
NTSTATUS VendorCommand(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR SubCommand, USHORT Argument,
                       PVOID ReplyBuffer);
NTSTATUS ReadDeviceId(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer, ULONG Length);
// The pipe array of InterfaceInfo may be replaced by a selection at any time:
// every user goes through these, which take InterfaceLock, and copies what it
// needs instead of keeping a pointer into the array.
#define NORVUSB_EVERY_PIPE ((ULONG)0xFFFFFFFF)
VOID SetPipeMarks(PDEVICE_OBJECT DeviceObject, ULONG Mark);
BOOLEAN CopyPipe(PDEVICE_OBJECT DeviceObject, ULONG PipeIndex, PUSBD_PIPE_INFORMATION Copy);
NTSTATUS MaintainPipes(PDEVICE_OBJECT DeviceObject, USHORT Function, ULONG PipeIndex);
// Selection with an owned descriptor set of DescriptorSize bytes; *Stored
// tells whether the extension took the buffer over.
NTSTATUS SelectInterfaceEx(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                           ULONG DescriptorSize, UCHAR InterfaceNumber, UCHAR AlternateSetting, BOOLEAN *Stored);
// Selection from the stored configuration descriptor set (device control).
NTSTATUS SelectStoredInterface(PDEVICE_OBJECT DeviceObject, UCHAR InterfaceNumber, UCHAR AlternateSetting);

// io/
NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS BulkTransfer(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG PipeIndex, UCHAR ReadDirection);
NTSTATUS NTAPI BulkTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
VOID CancelTransfer(TransferContext *Context);
// Cancels the transfer in flight, if any, and returns whether there was one.
// The transfer's record stays alive until the cancel has been issued.
BOOLEAN CancelCurrentTransfer(PDEVICE_OBJECT DeviceObject);
NTSTATUS NTAPI DeviceControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Moves the port's open state (a PORT_STATE) From -> To under TransferLock,
// with the owner; false, and nothing changed, when it was not in From.
BOOLEAN MoveOpenState(FdoExtension *Extension, UCHAR From, UCHAR To, PFILE_OBJECT Owner);

// enum/
BOOLEAN BuildDeviceId(PUNICODE_STRING Result, const ANSI_STRING *DeviceId);
VOID Crc16Update(const UCHAR *Data, ULONG Length, ULONG *Check);
NTSTATUS CreateChildDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT ParentDeviceObject,
                           PDEVICE_OBJECT *ChildDeviceObject);
NTSTATUS ReportBusRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ChildPnpDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ChildPowerDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ChildSystemControlDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID DeleteChildDevice(PDEVICE_OBJECT ChildDeviceObject);

// Helpers shared across folders.
// The extension pointer, read once: remove clears it (with
// InterlockedExchangePointer) while requests on an open handle may be reading it.
inline PVOID LoadExtension(PDEVICE_OBJECT DeviceObject) {
  return NorvUsbReadPointer((PVOID const volatile *)&DeviceObject->DeviceExtension);
}
inline FdoExtension *BridgeExtension(PDEVICE_OBJECT DeviceObject) {
  // Null for a bridge left without extension by a remove with a handle open,
  // and for a child printer device (whose extension is a PdoExtension).
  FdoExtension *Extension = (FdoExtension *)LoadExtension(DeviceObject);
  return (Extension != nullptr && Extension->IsFdo == 1) ? Extension : nullptr;
}
// The child printer device's extension, or null for a bridge (with or without
// extension).
inline PdoExtension *ChildExtension(PDEVICE_OBJECT DeviceObject) {
  PdoExtension *Extension = (PdoExtension *)LoadExtension(DeviceObject);
  return (Extension != nullptr && Extension->IsFdo == 0) ? Extension : nullptr;
}
// Frees the bounce buffer of the open handle, if it is still there. Close and
// remove may both come for it at the same time: whoever takes the pointer
// frees the block, the other finds nothing.
VOID FreeTransferBuffer(FdoExtension *Extension);
inline BOOLEAN IsErrorSeverity(NTSTATUS Status) { return ((ULONG)Status & 0xC0000000u) == 0xC0000000u; }
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
// Passes a request to the next lower driver with a copy of the current stack
// location; returns the status of the call.
NTSTATUS PassRequestDown(PDEVICE_OBJECT LowerDeviceObject, PIRP Irp);
