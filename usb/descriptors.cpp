// Copying the stored descriptors out to a caller.
//
// The byte counts come from the device's own descriptors (bLength,
// bNumEndpoints). A malformed device may claim more than was stored (18 bytes
// of device descriptor, ConfigurationDescriptorSize bytes of configuration
// set); such a request is answered STATUS_UNSUCCESSFUL with out length 0 and
// nothing copied, as when the descriptor is missing: the caller gets no
// bytes that the device did not send.
#include "norvusb.h"
#include "urb_sizes.h"
#include "usb_internal.h"

namespace {

enum DescriptorKind : USHORT {
  KindDevice = 0,
  KindConfiguration = 1,
  KindInterface = 2,
  KindEndpoints = 3,
};

// Where the requested bytes lie: Count bytes from Source.
struct DescriptorSpan {
  const UCHAR *Source;
  ULONG Count;
};

// Checks that Count bytes from Start lie inside Available bytes.
BOOLEAN SpanInside(ULONG Start, ULONG Count, ULONG Available) {
  return Start <= Available && Count <= Available - Start;
}

NTSTATUS LocateDeviceDescriptor(FdoExtension *Extension, DescriptorSpan *Span) {
  const UCHAR *Device = (const UCHAR *)Extension->DeviceDescriptor;
  if (Device == nullptr) {
    return STATUS_UNSUCCESSFUL;
  }
  Span->Source = Device;
  Span->Count = Device[0];  // bLength
  return SpanInside(0, Span->Count, NORVUSB_DEVICE_DESCRIPTOR_SIZE) ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// Where the requested kind lies in a configuration set of Available bytes:
// a copy of the driver's own, so no lock is held while the USBD parser (which
// may run only below DISPATCH_LEVEL) walks it.
NTSTATUS LocateInConfiguration(PUSB_CONFIGURATION_DESCRIPTOR Configuration, ULONG Available, USHORT Kind,
                               DescriptorSpan *Span) {
  const UCHAR *Set = (const UCHAR *)Configuration;
  ULONG Start = 0;
  ULONG Count = Set[0];  // the configuration descriptor alone
  if (Kind != KindConfiguration) {
    // Always the interface of the settings, not one a later select chose.
    ULONG Offset = 0;
    PUSB_INTERFACE_DESCRIPTOR Interface = FindInterface(Configuration, Available, NorvUsbReadUchar(&DriverGlobals.IfSetting),
                                                        NorvUsbReadUchar(&DriverGlobals.AltSetting), &Offset);
    if (Interface == nullptr) {
      return STATUS_UNSUCCESSFUL;
    }
    Start = Offset;
    Count = Interface->bLength;
    if (Kind == KindEndpoints) {
      Start = Offset + Interface->bLength;
      Count = (ULONG)sizeof(USB_ENDPOINT_DESCRIPTOR) * Interface->bNumEndpoints;
    }
  }
  if (!SpanInside(Start, Count, Available)) {
    return STATUS_UNSUCCESSFUL;
  }
  Span->Source = Set + Start;
  Span->Count = Count;
  return STATUS_SUCCESS;
}

// Copies a located span to the caller; *Out is the span's size either way.
NTSTATUS CopySpan(const DescriptorSpan *Span, PVOID Buffer, ULONG BufferLength, PULONG Out) {
  *Out = Span->Count;
  if (Buffer == nullptr || Span->Count > BufferLength) {
    return STATUS_NO_MEMORY;
  }
  RtlCopyMemory(Buffer, Span->Source, Span->Count);
  return STATUS_SUCCESS;
}

// The device descriptor needs no parsing: it is copied under InterfaceLock,
// so the buffer must be resident (the system buffer of a buffered request is).
NTSTATUS CopyDeviceDescriptor(FdoExtension *Extension, PVOID Buffer, ULONG BufferLength, PULONG Out) {
  KIRQL Irql;
  KeAcquireSpinLock(&Extension->InterfaceLock, &Irql);
  DescriptorSpan Span;
  NTSTATUS Status = LocateDeviceDescriptor(Extension, &Span);
  if (NT_SUCCESS(Status)) {
    Status = CopySpan(&Span, Buffer, BufferLength, Out);
  }
  KeReleaseSpinLock(&Extension->InterfaceLock, Irql);
  return Status;
}

// The configuration kinds read the driver's own copy of the stored set,
// taken under InterfaceLock: a start replacing the stored set cannot free it
// under the search, and the search runs with the lock released.
NTSTATUS CopyFromConfiguration(FdoExtension *Extension, USHORT Kind, PVOID Buffer, ULONG BufferLength, PULONG Out) {
  PUSB_CONFIGURATION_DESCRIPTOR Set = nullptr;
  ULONG SetSize = 0;
  if (!NT_SUCCESS(CopyStoredConfiguration(Extension, &Set, &SetSize))) {
    return STATUS_UNSUCCESSFUL;  // never configured, or no pool for the copy
  }
  DescriptorSpan Span;
  NTSTATUS Status = LocateInConfiguration(Set, SetSize, Kind, &Span);
  if (NT_SUCCESS(Status)) {
    Status = CopySpan(&Span, Buffer, BufferLength, Out);
  }
  ExFreePool(Set);
  return Status;
}

}  // namespace

PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR Set, ULONG SetSize, UCHAR InterfaceNumber,
                                        UCHAR AlternateSetting, PULONG Offset) {
  if (Set == nullptr || SetSize < NORVUSB_CONFIGURATION_HEADER_SIZE) {
    return nullptr;
  }
#if NORVUSB_WINDOWS98_IMAGE
  // The Ex routine is not known for certain on the first Windows 98.
  PUSB_INTERFACE_DESCRIPTOR Interface = USBD_ParseConfigurationDescriptor(Set, InterfaceNumber, AlternateSetting);
#else
  PUSB_INTERFACE_DESCRIPTOR Interface =
      USBD_ParseConfigurationDescriptorEx(Set, Set, InterfaceNumber, AlternateSetting, -1, -1, -1);
#endif
  if (Interface == nullptr) {
    return nullptr;
  }
  ULONG_PTR First = (ULONG_PTR)Set;
  ULONG_PTR Found = (ULONG_PTR)Interface;
  // The distance is measured at full width: on 64 bits a pointer 4 GiB or
  // more past the set would otherwise narrow to an offset inside it.
  if (Found < First || Found - First > SetSize ||
      !SpanInside((ULONG)(Found - First), (ULONG)sizeof(USB_INTERFACE_DESCRIPTOR), SetSize)) {
    return nullptr;
  }
  *Offset = (ULONG)(Found - First);
  return Interface;
}

NTSTATUS GetDescriptor(PDEVICE_OBJECT DeviceObject, USHORT Kind, PVOID Buffer, ULONG BufferLength,
                       PULONG OutLength) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  ULONG Out = 0;
  NTSTATUS Status;
  if (Kind > KindEndpoints) {
    Status = STATUS_INVALID_PARAMETER;
  } else if (Extension == nullptr) {
    Status = STATUS_UNSUCCESSFUL;
  } else if (Kind == KindDevice) {
    Status = CopyDeviceDescriptor(Extension, Buffer, BufferLength, &Out);
  } else {
    Status = CopyFromConfiguration(Extension, Kind, Buffer, BufferLength, &Out);
  }
  if (OutLength != nullptr) {
    *OutLength = Out;
  }
  return Status;
}
