// The bridge firmware's vendor control request: bRequest 4, the sub-command
// in wValue, its argument in wIndex, a reply read from the device.
#include "norvusb.h"
#include "urb_sizes.h"

namespace {

// The device ID reply starts with its length, two bytes, most significant first.
const ULONG DeviceIdPrefixSize = 2;

// The request block and the zero-filled reply buffer of one command. Both
// blocks belong to the command and are freed by ReleaseVendorBlocks.
struct VendorBlocks {
  PURB Urb;
  PUCHAR Reply;
};

NTSTATUS AllocateVendorBlocks(ULONG ReplyLength, VendorBlocks *Blocks) {
  Blocks->Reply = (PUCHAR)AllocatePool(NonPagedPool, ReplyLength);
  if (Blocks->Reply == nullptr) {
    return STATUS_NO_MEMORY;
  }
  // Bytes the device does not send read as zero.
  RtlZeroMemory(Blocks->Reply, ReplyLength);
  Blocks->Urb = (PURB)AllocatePool(NonPagedPool, NORVUSB_URB_BLOCK_SIZE);
  if (Blocks->Urb == nullptr) {
    ExFreePool(Blocks->Reply);
    return STATUS_NO_MEMORY;
  }
  return STATUS_SUCCESS;
}

VOID ReleaseVendorBlocks(VendorBlocks *Blocks) {
  ExFreePool(Blocks->Reply);
  ExFreePool(Blocks->Urb);
}

// Fills the request block and sends it; returns SubmitUrb's status.
NTSTATUS SendVendorRequest(PDEVICE_OBJECT DeviceObject, VendorBlocks *Blocks, ULONG ReplyLength, UCHAR SubCommand,
                           USHORT Index) {
  PURB Urb = Blocks->Urb;
  RtlZeroMemory(Urb, NORVUSB_URB_BLOCK_SIZE);
  Urb->UrbHeader.Length = (USHORT)NORVUSB_VENDOR_REQUEST_LENGTH;
  Urb->UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST *Request = &Urb->UrbControlVendorClassRequest;
  // Every reply may be shorter than the buffer (the device ID always is):
  // without the flag, UHCI and OHCI controllers fail a short control read.
  Request->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  Request->TransferBufferLength = ReplyLength;
  Request->TransferBuffer = Blocks->Reply;
  Request->TransferBufferMDL = nullptr;
  Request->UrbLink = nullptr;
  Request->RequestTypeReservedBits = 0;
  Request->Request = BRIDGE_VENDOR_REQUEST;
  Request->Value = SubCommand;
  Request->Index = Index;
  return SubmitUrb(DeviceObject, Urb);
}

// wIndex of each sub-command: its argument for 2 and 4, a fixed 5 for 5,
// 0 otherwise.
USHORT VendorIndex(UCHAR SubCommand, USHORT Argument) {
  switch (SubCommand) {
    case BRIDGE_SUBCOMMAND_PORT_CONFIG:
      return Argument;
    case BRIDGE_SUBCOMMAND_TRANSFER_MODE:
      return (USHORT)(UCHAR)Argument;
    case BRIDGE_SUBCOMMAND_PORT_STATUS:
      return 5;
    default:
      return 0;
  }
}

}  // namespace

NTSTATUS VendorCommand(PDEVICE_OBJECT DeviceObject, PIRP Irp, UCHAR SubCommand, USHORT Argument,
                       PVOID ReplyBuffer) {
  if (SubCommand < BRIDGE_SUBCOMMAND_PORT_CONFIG || SubCommand > BRIDGE_SUBCOMMAND_FIRMWARE_INFO) {
    return STATUS_INVALID_PARAMETER;  // the device ID has its own routine
  }
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr) {
    return STATUS_DELETE_PENDING;
  }
  VendorBlocks Blocks;
  NTSTATUS Status = AllocateVendorBlocks(BRIDGE_VENDOR_REPLY_SIZE, &Blocks);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Status = SendVendorRequest(DeviceObject, &Blocks, BRIDGE_VENDOR_REPLY_SIZE, SubCommand,
                             VendorIndex(SubCommand, Argument));
  if (NT_SUCCESS(Status)) {
    if (ReplyBuffer != nullptr) {
      // All of it, whatever the device sent: the rest reads as zero.
      RtlCopyMemory(ReplyBuffer, Blocks.Reply, BRIDGE_VENDOR_REPLY_SIZE);
      Irp->IoStatus.Information = BRIDGE_VENDOR_REPLY_SIZE;
    }
    if (SubCommand == BRIDGE_SUBCOMMAND_TRANSFER_MODE) {
      Extension->TransferMode = (UCHAR)Argument;
    }
  }
  ReleaseVendorBlocks(&Blocks);
  return Status;
}

NTSTATUS ReadDeviceId(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Buffer, ULONG Length) {
  // No room for the length prefix: nothing is sent.
  if (Buffer == nullptr || Length < DeviceIdPrefixSize) {
    return STATUS_INVALID_PARAMETER;
  }
  if (BridgeExtension(DeviceObject) == nullptr) {
    return STATUS_DELETE_PENDING;
  }
  // A caller's buffer larger than one control transfer can fill gets what
  // one transfer brings.
  ULONG RequestLength = Length < NORVUSB_DEFAULT_PIPE_MAXIMUM ? Length : NORVUSB_DEFAULT_PIPE_MAXIMUM;
  VendorBlocks Blocks;
  NTSTATUS Status = AllocateVendorBlocks(RequestLength, &Blocks);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  Status = SendVendorRequest(DeviceObject, &Blocks, RequestLength, BRIDGE_SUBCOMMAND_DEVICE_ID, 0);
  if (NT_SUCCESS(Status)) {
    ULONG TextRoom = RequestLength - DeviceIdPrefixSize;
    RtlCopyMemory(Buffer, Blocks.Reply + DeviceIdPrefixSize, TextRoom);
    // The device's own count may claim more than was delivered; the count
    // handed on never exceeds the text bytes actually in the buffer, since
    // a device-control caller gets exactly that many bytes back.
    ULONG Claimed = ((ULONG)Blocks.Reply[0] << 8) | Blocks.Reply[1];
    Irp->IoStatus.Information = Claimed < TextRoom ? Claimed : TextRoom;
  }
  ReleaseVendorBlocks(&Blocks);
  return Status;
}
