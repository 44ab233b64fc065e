// Device configuration: the device and configuration descriptors read at
// start, the interface selection, and the return to the unconfigured state.
//
// The stored blocks (DeviceDescriptor, ConfigurationDescriptor,
// InterfaceInfo) are swapped under InterfaceLock, which every reader takes,
// and a replaced block is freed right after the swap: nobody can still be
// reading it, and a restart or a new selection leaks nothing.
#include "norvusb.h"
#include "urb_sizes.h"
#include "usb_internal.h"

namespace {

// Tries at copying the stored configuration set while a start replaces it.
const ULONG StoredCopyAttempts = 4;

PVOID AllocateBlock(ULONG Size) { return AllocatePool(NonPagedPool, Size); }
VOID FreeBlock(PVOID Block) {
  if (Block != nullptr) {
    ExFreePool(Block);
  }
}

VOID FillDescriptorRequest(PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG BufferLength) {
  RtlZeroMemory(Urb, NORVUSB_DESCRIPTOR_BLOCK_SIZE);
  Urb->UrbHeader.Length = (USHORT)NORVUSB_DESCRIPTOR_BLOCK_SIZE;
  Urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  struct _URB_CONTROL_DESCRIPTOR_REQUEST *Request = &Urb->UrbControlDescriptorRequest;
  Request->DescriptorType = DescriptorType;
  Request->Index = 0;
  Request->LanguageId = 0;
  Request->TransferBuffer = Buffer;
  Request->TransferBufferLength = BufferLength;
  Request->TransferBufferMDL = nullptr;
  Request->UrbLink = nullptr;
}

VOID StoreDeviceDescriptor(FdoExtension *Extension, PUSB_DEVICE_DESCRIPTOR Descriptor) {
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->InterfaceLock, &Irql);
  PUSB_DEVICE_DESCRIPTOR Old = Extension->DeviceDescriptor;
  Extension->DeviceDescriptor = Descriptor;
  KeReleaseSpinLock(&Extension->InterfaceLock, Irql);
  if (Old != Descriptor) {
    FreeBlock(Old);
  }
}

// Bytes of the set that the device really delivered. A device whose second
// reply claims a wTotalLength beyond what arrived has its count cut to what
// arrived, so that no parser (ours, the library's, the USB stack's) walks
// past the data.
ULONG HeldSetSize(PUCHAR Set, ULONG BufferSize, ULONG Moved) {
  if (Moved > BufferSize) {
    Moved = BufferSize;
  }
  ULONG Total = TotalLengthOf(Set);
  if (Total > Moved) {
    Total = Moved;
    Set[2] = (UCHAR)(Total & 0xFF);
    Set[3] = (UCHAR)(Total >> 8);
  }
  return Total;
}

// Sends the descriptor request for Length bytes into Buffer; the block is
// the caller's.
NTSTATUS ReadDescriptor(PDEVICE_OBJECT DeviceObject, PURB Urb, UCHAR DescriptorType, PVOID Buffer, ULONG Length) {
  RtlZeroMemory(Buffer, Length);
  FillDescriptorRequest(Urb, DescriptorType, Buffer, Length);
  return SubmitUrb(DeviceObject, Urb);
}

VOID FillSelectRequest(PURB Urb, ULONG BlockSize, PUSB_CONFIGURATION_DESCRIPTOR Set,
                       PUSB_INTERFACE_DESCRIPTOR Interface) {
  RtlZeroMemory(Urb, BlockSize);
  Urb->UrbHeader.Length = (USHORT)BlockSize;
  Urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  Urb->UrbSelectConfiguration.ConfigurationDescriptor = Set;
  // Only the one interface is described; room for further ones stays zero.
  PUSBD_INTERFACE_INFORMATION Entry = &Urb->UrbSelectConfiguration.Interface;
  Entry->Length = (USHORT)NORVUSB_INTERFACE_ENTRY_SIZE(Interface->bNumEndpoints);
  Entry->InterfaceNumber = Interface->bInterfaceNumber;
  Entry->AlternateSetting = Interface->bAlternateSetting;
  Entry->NumberOfPipes = Interface->bNumEndpoints;
  ULONG MaxTransferSize = NorvUsbReadUlong(&DriverGlobals.MaxTransferSize);
  PUSBD_PIPE_INFORMATION Pipes = &Entry->Pipes[0];
  for (ULONG Index = 0; Index < Entry->NumberOfPipes; ++Index) {
    Pipes[Index].MaximumTransferSize = MaxTransferSize;
    Pipes[Index].PipeFlags = 0;
  }
}

// The driver's own copy of the interface entry the USB stack filled, with
// every open mark clear; null without pool.
PUSBD_INTERFACE_INFORMATION CopyInterfaceEntry(PURB Urb, ULONG Endpoints) {
  ULONG Length = NORVUSB_INTERFACE_ENTRY_SIZE(Endpoints);
  PUSBD_INTERFACE_INFORMATION Copy = (PUSBD_INTERFACE_INFORMATION)AllocateBlock(Length);
  if (Copy == nullptr) {
    return nullptr;
  }
  RtlCopyMemory(Copy, &Urb->UrbSelectConfiguration.Interface, Length);
  // The copy holds exactly Endpoints pipe records, whatever the stack wrote.
  Copy->Length = (USHORT)Length;
  if (Copy->NumberOfPipes > Endpoints) {
    Copy->NumberOfPipes = Endpoints;
  }
  PUSBD_PIPE_INFORMATION Pipes = &Copy->Pipes[0];
  for (ULONG Index = 0; Index < Copy->NumberOfPipes; ++Index) {
    Pipes[Index].PipeFlags = 0;
  }
  return Copy;
}

// Stores a successful selection; frees what it replaces.
NTSTATUS StoreSelection(FdoExtension *Extension, PUSB_CONFIGURATION_DESCRIPTOR Set, ULONG SetSize, PURB Urb,
                        ULONG Endpoints, BOOLEAN *Stored) {
  PUSBD_INTERFACE_INFORMATION Copy = CopyInterfaceEntry(Urb, Endpoints);
  PUSB_CONFIGURATION_DESCRIPTOR OldSet = nullptr;
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->InterfaceLock, &Irql);
  Extension->ConfigurationHandle = Urb->UrbSelectConfiguration.ConfigurationHandle;
  if (Extension->ConfigurationDescriptor != Set) {
    OldSet = Extension->ConfigurationDescriptor;
    Extension->ConfigurationDescriptor = Set;
    Extension->ConfigurationDescriptorSize = SetSize;
    *Stored = TRUE;
  }
  PUSBD_INTERFACE_INFORMATION OldInfo = Extension->InterfaceInfo;
  Extension->InterfaceInfo = Copy;
  KeReleaseSpinLock(&Extension->InterfaceLock, Irql);
  FreeBlock(OldSet);
  FreeBlock(OldInfo);
  return Copy != nullptr ? STATUS_SUCCESS : STATUS_NO_MEMORY;
}

}  // namespace

NTSTATUS CopyStoredConfiguration(FdoExtension *Extension, PUSB_CONFIGURATION_DESCRIPTOR *Copy, PULONG CopySize) {
  for (ULONG Attempt = 0; Attempt < StoredCopyAttempts; ++Attempt) {
    KIRQL Irql;
    KeAcquireSpinLock(&Extension->InterfaceLock, &Irql);
    ULONG Size = Extension->ConfigurationDescriptor != nullptr ? Extension->ConfigurationDescriptorSize : 0;
    KeReleaseSpinLock(&Extension->InterfaceLock, Irql);
    if (Size == 0) {
      return STATUS_INVALID_PARAMETER;  // never configured
    }
    PUSB_CONFIGURATION_DESCRIPTOR Buffer = (PUSB_CONFIGURATION_DESCRIPTOR)AllocateBlock(Size);
    if (Buffer == nullptr) {
      return STATUS_NO_MEMORY;
    }
    BOOLEAN Copied = FALSE;
    KeAcquireSpinLock(&Extension->InterfaceLock, &Irql);
    if (Extension->ConfigurationDescriptor != nullptr && Extension->ConfigurationDescriptorSize == Size) {
      RtlCopyMemory(Buffer, Extension->ConfigurationDescriptor, Size);
      Copied = TRUE;
    }
    KeReleaseSpinLock(&Extension->InterfaceLock, Irql);
    if (Copied) {
      *Copy = Buffer;
      *CopySize = Size;
      return STATUS_SUCCESS;
    }
    FreeBlock(Buffer);  // replaced meanwhile: take the new one's size
  }
  return STATUS_DEVICE_BUSY;
}

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr) {
    return STATUS_DELETE_PENDING;
  }
  Extension->Started = 1;
  PURB Urb = (PURB)AllocateBlock(NORVUSB_DESCRIPTOR_BLOCK_SIZE);
  if (Urb == nullptr) {
    return STATUS_NO_MEMORY;
  }
  PUSB_DEVICE_DESCRIPTOR Descriptor = (PUSB_DEVICE_DESCRIPTOR)AllocateBlock(NORVUSB_DEVICE_DESCRIPTOR_SIZE);
  if (Descriptor == nullptr) {
    FreeBlock(Urb);
    return STATUS_NO_MEMORY;
  }
  NTSTATUS Status =
      ReadDescriptor(DeviceObject, Urb, USB_DEVICE_DESCRIPTOR_TYPE, Descriptor, NORVUSB_DEVICE_DESCRIPTOR_SIZE);
  if (!NT_SUCCESS(Status)) {
    FreeBlock(Descriptor);
    Descriptor = nullptr;
  }
  StoreDeviceDescriptor(Extension, Descriptor);
  FreeBlock(Urb);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  return ReadConfigurationDescriptor(DeviceObject);
}

NTSTATUS ReadConfigurationDescriptor(PDEVICE_OBJECT DeviceObject) {
  PURB Urb = (PURB)AllocateBlock(NORVUSB_DESCRIPTOR_BLOCK_SIZE);
  if (Urb == nullptr) {
    return STATUS_NO_MEMORY;
  }
  // First only the configuration descriptor's own bytes, for wTotalLength.
  PUCHAR Probe = (PUCHAR)AllocateBlock(NORVUSB_CONFIGURATION_PROBE_SIZE);
  if (Probe == nullptr) {
    FreeBlock(Urb);
    return STATUS_NO_MEMORY;
  }
  RtlZeroMemory(Probe, NORVUSB_CONFIGURATION_PROBE_SIZE);
  FillDescriptorRequest(Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, Probe, NORVUSB_CONFIGURATION_HEADER_SIZE);
  NTSTATUS Status = SubmitUrb(DeviceObject, Urb);
  if (!NT_SUCCESS(Status)) {
    FreeBlock(Probe);
    FreeBlock(Urb);
    return Status;
  }
  ULONG FullSize = TotalLengthOf(Probe) + NORVUSB_BLOCK_SLACK;
  // A read the stack would refuse fails the start; a set longer than one
  // read is kept as far as it arrives, which HeldSetSize records.
  if (FullSize > NORVUSB_DEFAULT_PIPE_MAXIMUM) {
    FullSize = NORVUSB_DEFAULT_PIPE_MAXIMUM;
  }
  FreeBlock(Probe);

  // Then the whole set.
  PUCHAR Set = (PUCHAR)AllocateBlock(FullSize);
  if (Set == nullptr) {
    FreeBlock(Urb);
    return STATUS_NO_MEMORY;
  }
  Status = ReadDescriptor(DeviceObject, Urb, USB_CONFIGURATION_DESCRIPTOR_TYPE, Set, FullSize);
  if (!NT_SUCCESS(Status)) {
    FreeBlock(Set);
    FreeBlock(Urb);
    return Status;
  }
  ULONG SetSize = HeldSetSize(Set, FullSize, Urb->UrbControlDescriptorRequest.TransferBufferLength);
  // The selection's own result does not decide the start.
  BOOLEAN Stored = FALSE;
  SelectInterfaceEx(DeviceObject, (PUSB_CONFIGURATION_DESCRIPTOR)Set, SetSize, NorvUsbReadUchar(&DriverGlobals.IfSetting),
                    NorvUsbReadUchar(&DriverGlobals.AltSetting), &Stored);
  if (!Stored) {
    FreeBlock(Set);
  }
  FreeBlock(Urb);
  return Status;
}

NTSTATUS SelectInterfaceEx(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                           ULONG DescriptorSize, UCHAR InterfaceNumber, UCHAR AlternateSetting, BOOLEAN *Stored) {
  *Stored = FALSE;
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr) {
    return STATUS_DELETE_PENDING;
  }
  // No descriptor set, no such interface, or a set that claims no interface
  // at all (its select block would have no room for the entry): nothing is
  // built, sent or stored.
  ULONG Offset = 0;
  PUSB_INTERFACE_DESCRIPTOR Interface =
      FindInterface(ConfigurationDescriptor, DescriptorSize, InterfaceNumber, AlternateSetting, &Offset);
  // NOLINTNEXTLINE(clang-analyzer-core.NullDereference): a null set has no interface
  if (Interface == nullptr || ConfigurationDescriptor->bNumInterfaces == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG Endpoints = Interface->bNumEndpoints;
  ULONG BlockSize = NORVUSB_SELECT_BLOCK_SIZE(ConfigurationDescriptor->bNumInterfaces, Endpoints);
  PURB Urb = (PURB)AllocateBlock(BlockSize);
  if (Urb == nullptr) {
    return STATUS_NO_MEMORY;
  }
  FillSelectRequest(Urb, BlockSize, ConfigurationDescriptor, Interface);
  NTSTATUS Status = SubmitUrb(DeviceObject, Urb);
  if (NT_SUCCESS(Status) && USBD_SUCCESS(Urb->UrbHeader.Status)) {
    NTSTATUS StoreStatus = StoreSelection(Extension, ConfigurationDescriptor, DescriptorSize, Urb, Endpoints, Stored);
    if (!NT_SUCCESS(StoreStatus)) {
      Status = StoreStatus;
    }
    // Bytes a read left belong to the configuration that is gone.
    InterlockedExchange(&Extension->ReadCarryStale, 1);
  }
  FreeBlock(Urb);
  return Status;
}

NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                         UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  // The caller vouches that the buffer holds wTotalLength bytes; a buffer
  // the selection stores becomes the extension's.
  ULONG Size = ConfigurationDescriptor != nullptr ? TotalLengthOf((const UCHAR *)ConfigurationDescriptor) : 0;
  BOOLEAN Stored = FALSE;
  return SelectInterfaceEx(DeviceObject, ConfigurationDescriptor, Size, InterfaceNumber, AlternateSetting, &Stored);
}

NTSTATUS SelectStoredInterface(PDEVICE_OBJECT DeviceObject, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  if (Extension == nullptr) {
    return STATUS_DELETE_PENDING;
  }
  PUSB_CONFIGURATION_DESCRIPTOR Copy = nullptr;
  ULONG CopySize = 0;
  NTSTATUS Status = CopyStoredConfiguration(Extension, &Copy, &CopySize);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  BOOLEAN Stored = FALSE;
  Status = SelectInterfaceEx(DeviceObject, Copy, CopySize, InterfaceNumber, AlternateSetting, &Stored);
  if (!Stored) {
    FreeBlock(Copy);
  }
  return Status;
}

NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject) {
  PURB Urb = (PURB)AllocateBlock(NORVUSB_UNCONFIGURE_BLOCK_SIZE);
  if (Urb == nullptr) {
    return STATUS_NO_MEMORY;
  }
  RtlZeroMemory(Urb, NORVUSB_UNCONFIGURE_BLOCK_SIZE);
  Urb->UrbHeader.Length = (USHORT)NORVUSB_UNCONFIGURE_BLOCK_SIZE;
  Urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  Urb->UrbSelectConfiguration.ConfigurationDescriptor = nullptr;  // the unconfigured state
  SubmitUrb(DeviceObject, Urb);  // a refusal by the stack is not reported
  FreeBlock(Urb);
  return STATUS_SUCCESS;
}
