// Bridge device creation.
#include "norvusb.h"

static const WCHAR DeviceNameTemplate[] = NORVUSB_WIDE("\\Device\\NorvUSBx");
static const WCHAR DosDeviceNameTemplate[] = NORVUSB_WIDE("\\DosDevices\\NorvUSBx");

// Copies Template with its final character replaced by Number in decimal.
// Name has room for NORVUSB_NAME_CHARS characters, far more than needed.
static VOID BuildNumberedName(WCHAR *Name, const WCHAR *Template, ULONG Number) {
  ULONG Length = 0;
  while (Template[Length + 1] != 0) {
    Name[Length] = Template[Length];
    Length++;
  }
  WCHAR Digits[10];
  ULONG DigitCount = 0;
  do {
    Digits[DigitCount++] = (WCHAR)('0' + Number % 10);
    Number /= 10;
  } while (Number != 0);
  while (DigitCount > 0) {
    Name[Length++] = Digits[--DigitCount];
  }
  Name[Length] = 0;
}

// A bridge that is not created keeps no port number: the number is free again
// and its "Port Name" empty.
static VOID GiveBackPortNumber(PDEVICE_OBJECT PhysicalDeviceObject, USHORT PortIndex) {
  if (PortIndex < NORVUSB_MAX_PORTS) {
    AllocatePortName(PhysicalDeviceObject, 0, &PortIndex);
  }
}

NTSTATUS CreateBridgeDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PDEVICE_OBJECT *DeviceObject) {
  USHORT PortIndex = NORVUSB_MAX_PORTS;
  NTSTATUS Status = AllocatePortName(PhysicalDeviceObject, 1, &PortIndex);
  if (!NT_SUCCESS(Status)) {
    // A failed registry write still took a number.
    GiveBackPortNumber(PhysicalDeviceObject, PortIndex);
    return Status;
  }

  WCHAR DeviceName[NORVUSB_NAME_CHARS];
  WCHAR DosDeviceName[NORVUSB_NAME_CHARS];
  BuildNumberedName(DeviceName, DeviceNameTemplate, (ULONG)DriverGlobals.NameCounter + 1);
  BuildNumberedName(DosDeviceName, DosDeviceNameTemplate, (ULONG)PortIndex + 1);

  UNICODE_STRING Name;
  RtlInitUnicodeString(&Name, DeviceName);
  Status = IoCreateDevice(DriverObject, sizeof(FdoExtension), &Name, FILE_DEVICE_UNKNOWN, 0, TRUE, DeviceObject);
  if (!NT_SUCCESS(Status)) {
    GiveBackPortNumber(PhysicalDeviceObject, PortIndex);
    return Status;
  }

  // The extension is ours from here on; marking it at once lets every routine
  // recognise it.
  FdoExtension *Extension = (FdoExtension *)(*DeviceObject)->DeviceExtension;
  Extension->IsFdo = 1;
  RtlCopyMemory(Extension->DosDeviceName, DosDeviceName, sizeof(DosDeviceName));
  RtlCopyMemory(Extension->DeviceName, DeviceName, sizeof(DeviceName));
  Extension->ConfigurationHandle = nullptr;
  Extension->ConfigurationDescriptor = nullptr;
  Extension->DeviceDescriptor = nullptr;
  Extension->InterfaceInfo = nullptr;
  Extension->CurrentTransfer = nullptr;
  Extension->DeviceIdBuffer = nullptr;
  Extension->Started = 0;
  Extension->Opened = 0;
  Extension->DeviceIdValid = 0;
  Extension->TransferMode = 0;
  Extension->PortIndex = PortIndex;
  KeInitializeEvent(&Extension->RemoveEvent, NotificationEvent, FALSE);
  Extension->PendingIoCount = 1;
  NorvUsbWriteUchar(&Extension->DeviceRemoved, 0);
  KeInitializeSpinLock(&Extension->TransferLock);
  KeInitializeSpinLock(&Extension->InterfaceLock);
  return Status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  ReadSettings(PhysicalDeviceObject);

  PDEVICE_OBJECT DeviceObject = nullptr;
  NTSTATUS Status = CreateBridgeDevice(DriverObject, PhysicalDeviceObject, &DeviceObject);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  DriverGlobals.NameCounter++;

  FdoExtension *Extension = BridgeExtension(DeviceObject);
  KeInitializeSpinLock(&Extension->ChildListLock);
  InitializeListHead(&Extension->ChildList);
  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  DeviceObject->Flags |= DO_DIRECT_IO;
  Extension->IsFdo = 1;
  Extension->ChildCount = 0;
  Extension->PhysicalDeviceObject = PhysicalDeviceObject;
  Extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
  if (Extension->LowerDeviceObject == nullptr) {
    // Nothing to attach to: undo the whole creation.
    GiveBackPortNumber(PhysicalDeviceObject, Extension->PortIndex);
    DriverGlobals.NameCounter--;
    IoDeleteDevice(DeviceObject);
    return STATUS_NO_SUCH_DEVICE;
  }
  Extension->Self = DeviceObject;
  return STATUS_SUCCESS;
}
