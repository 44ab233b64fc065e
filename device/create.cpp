// Bridge device creation.
#include "norvusb.h"

static const WCHAR DeviceNameTemplate[] = NORVUSB_WIDE("\\Device\\NorvUSBx");
static const WCHAR DosDeviceNameTemplate[] = NORVUSB_WIDE("\\DosDevices\\NorvUSBx");
// Device names tried past the counter's before a collision is given up on.
static const ULONG NameSearchLimit = 1024;

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

// The device name counts from NameCounter + 1. A bridge unplugged out of
// order leaves the counter at a name still in use; the next unused number is
// taken then, so that the new bridge is not left without a device. The
// search is bounded: no more names can be in use than device objects live.
static NTSTATUS CreateNamedDevice(PDRIVER_OBJECT DriverObject, WCHAR *DeviceName, PDEVICE_OBJECT *DeviceObject) {
  ULONG Number = (ULONG)DriverGlobals.NameCounter + 1;
  ULONG Last = Number + NameSearchLimit;
  NTSTATUS Status;
  do {
    BuildNumberedName(DeviceName, DeviceNameTemplate, Number);
    UNICODE_STRING Name;
    RtlInitUnicodeString(&Name, DeviceName);
    Status = IoCreateDevice(DriverObject, sizeof(FdoExtension), &Name, FILE_DEVICE_UNKNOWN, 0, TRUE, DeviceObject);
    Number++;
  } while (Status == STATUS_OBJECT_NAME_COLLISION && Number < Last);
  return Status;
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
  BuildNumberedName(DosDeviceName, DosDeviceNameTemplate, (ULONG)PortIndex + 1);
  Status = CreateNamedDevice(DriverObject, DeviceName, DeviceObject);
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
  Extension->Opened = PortFree;
  Extension->DeviceIdValid = 0;
  Extension->TransferMode = BRIDGE_MODE_FORWARD;
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
  // Above a device that is pageable for power, every device must be too.
  DeviceObject->Flags |= Extension->LowerDeviceObject->Flags & DO_POWER_PAGABLE;
  // Last: until now an opener could reach a bridge without a device below.
  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
