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

NTSTATUS LocateInConfiguration(FdoExtension *Extension, USHORT Kind, DescriptorSpan *Span) {
  const UCHAR *Set = (const UCHAR *)Extension->ConfigurationDescriptor;
  ULONG Available = Extension->ConfigurationDescriptorSize;
  if (Set == nullptr || Available == 0) {
    return STATUS_UNSUCCESSFUL;
  }
  ULONG Start = 0;
  ULONG Count = Set[0];  // the configuration descriptor alone
  if (Kind != KindConfiguration) {
    // Always the interface of the settings, not one a later select chose.
    ULONG Offset = 0;
    PUSB_INTERFACE_DESCRIPTOR Interface =
        FindInterface(Extension->ConfigurationDescriptor, Available, NorvUsbReadUchar(&DriverGlobals.IfSetting),
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

NTSTATUS LocateDescriptor(FdoExtension *Extension, USHORT Kind, DescriptorSpan *Span) {
  switch (Kind) {
    case KindDevice:
      return LocateDeviceDescriptor(Extension, Span);
    case KindConfiguration:
    case KindInterface:
    case KindEndpoints:
      return LocateInConfiguration(Extension, Kind, Span);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR Set, ULONG SetSize, UCHAR InterfaceNumber,
                                        UCHAR AlternateSetting, PULONG Offset) {
  if (Set == nullptr || SetSize < NORVUSB_CONFIGURATION_HEADER_SIZE) {
    return nullptr;
  }
  PUSB_INTERFACE_DESCRIPTOR Interface = USBD_ParseConfigurationDescriptor(Set, InterfaceNumber, AlternateSetting);
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

// The buffer must be resident (the system buffer of a buffered request is):
// the copy is made under InterfaceLock, so that a start replacing the stored
// descriptors cannot free them under it.
NTSTATUS GetDescriptor(PDEVICE_OBJECT DeviceObject, USHORT Kind, PVOID Buffer, ULONG BufferLength,
                       PULONG OutLength) {
  FdoExtension *Extension = BridgeExtension(DeviceObject);
  ULONG Out = 0;
  NTSTATUS Status = Kind <= KindEndpoints ? STATUS_UNSUCCESSFUL : STATUS_INVALID_PARAMETER;
  if (Extension != nullptr) {
    KIRQL Irql;
    KeAcquireSpinLock(&Extension->InterfaceLock, &Irql);
    DescriptorSpan Span;
    Status = LocateDescriptor(Extension, Kind, &Span);
    if (NT_SUCCESS(Status)) {
      Out = Span.Count;
      if (Buffer == nullptr || Span.Count > BufferLength) {
        Status = STATUS_NO_MEMORY;
      } else {
        RtlCopyMemory(Buffer, Span.Source, Span.Count);
      }
    }
    KeReleaseSpinLock(&Extension->InterfaceLock, Irql);
  }
  if (OutLength != nullptr) {
    *OutLength = Out;
  }
  return Status;
}
