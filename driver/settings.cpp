// The driver's three tuning values, read from the bridge's driver key.
#include "norvusb.h"

// Stores a value only when it really is a 32-bit REG_DWORD. The direct form of
// the query would write data of any other type in its own shape (a REG_SZ as
// a UNICODE_STRING) over the 4-byte target, and Windows 2000 has no flag that
// makes the query check the type; anything else leaves the setting as it was.
static NTSTATUS NTAPI StoreDwordValue(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                      PVOID Context, PVOID EntryContext) {
  UNREFERENCED_PARAMETER(ValueName);
  UNREFERENCED_PARAMETER(Context);
  if (ValueType == REG_DWORD && ValueLength == sizeof(ULONG) && ValueData != nullptr) {
    RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
  }
  return STATUS_SUCCESS;
}

BOOLEAN QueryDwordValue(HANDLE KeyHandle, PCWSTR ValueName, PULONG Value) {
  if (KeyHandle == nullptr) {
    return FALSE;
  }
  // The value on entry is also the default: an absent value keeps it.
  ULONG Default = *Value;
  RTL_QUERY_REGISTRY_TABLE Table[2];
  RtlZeroMemory(Table, sizeof(Table));
  Table[0].QueryRoutine = StoreDwordValue;
  Table[0].Name = (PWSTR)ValueName;
  Table[0].EntryContext = Value;
  Table[0].DefaultType = REG_DWORD;
  Table[0].DefaultData = &Default;
  Table[0].DefaultLength = sizeof(Default);
  NTSTATUS Status = RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, (PCWSTR)KeyHandle, Table, nullptr, nullptr);
  return NT_SUCCESS(Status) ? TRUE : FALSE;
}

// The interface settings use the value's low byte.
static VOID QueryByteSetting(HANDLE KeyHandle, PCWSTR ValueName, UCHAR *Setting) {
  ULONG Value = NorvUsbReadUchar(Setting);
  if (QueryDwordValue(KeyHandle, ValueName, &Value)) {
    NorvUsbWriteUchar(Setting, (UCHAR)(Value & 0xFF));
  }
}

BOOLEAN ReadSettings(PDEVICE_OBJECT PhysicalDeviceObject) {
  HANDLE KeyHandle = nullptr;
  NTSTATUS Status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, KEY_READ, &KeyHandle);
  if (!NT_SUCCESS(Status)) {
    return FALSE;
  }
  QueryByteSetting(KeyHandle, NORVUSB_WIDE("AltSetting"), &DriverGlobals.AltSetting);
  QueryByteSetting(KeyHandle, NORVUSB_WIDE("IFSetting"), &DriverGlobals.IfSetting);
  // Other bridges' transfers read the setting meanwhile.
  ULONG MaxTransferSize = NorvUsbReadUlong(&DriverGlobals.MaxTransferSize);
  if (QueryDwordValue(KeyHandle, NORVUSB_WIDE("MaxTransferSize"), &MaxTransferSize)) {
    NorvUsbWriteUlong(&DriverGlobals.MaxTransferSize, MaxTransferSize);
  }
  ZwClose(KeyHandle);
  return TRUE;
}
