// Port numbers 0..127 and the "Port Name" value that the print system reads.
#include "norvusb.h"

#define PORT_BITS_PER_WORD 32

// Within a word the most significant bit stands for the lowest number.
static ULONG PortBit(ULONG Number) { return 0x80000000u >> (Number % PORT_BITS_PER_WORD); }

// A full word is passed over whole, so a plug costs the same with 1 or 127
// bridges in use.
static BOOLEAN TakeLowestFreePort(PUSHORT Number) {
  for (ULONG Candidate = 0; Candidate < NORVUSB_MAX_PORTS; Candidate++) {
    ULONG *Word = &DriverGlobals.PortBitmap[Candidate / PORT_BITS_PER_WORD];
    if (*Word == 0xFFFFFFFFu) {
      Candidate += PORT_BITS_PER_WORD - 1;
    } else if ((*Word & PortBit(Candidate)) == 0) {
      *Word |= PortBit(Candidate);
      *Number = (USHORT)Candidate;
      return TRUE;
    }
  }
  return FALSE;
}

// Writes Text as "Port Name" under one of the device's keys. The conversion
// goes into a buffer of our own, so it needs no pool and cannot fail for these
// short names.
static NTSTATUS WritePortName(PDEVICE_OBJECT PhysicalDeviceObject, ULONG KeyType, PCSZ Text) {
  HANDLE KeyHandle = nullptr;
  NTSTATUS Status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, KeyType, KEY_WRITE, &KeyHandle);
  if (!NT_SUCCESS(Status)) {
    return Status;
  }
  WCHAR WideText[16];
  UNICODE_STRING Wide;
  Wide.Length = 0;
  Wide.MaximumLength = sizeof(WideText);
  Wide.Buffer = WideText;
  ANSI_STRING Ansi;
  RtlInitAnsiString(&Ansi, Text);
  Status = RtlAnsiStringToUnicodeString(&Wide, &Ansi, FALSE);
  if (NT_SUCCESS(Status)) {
    UNICODE_STRING ValueName;
    RtlInitUnicodeString(&ValueName, NORVUSB_WIDE("Port Name"));
    Status = ZwSetValueKey(KeyHandle, &ValueName, 0, REG_SZ, Wide.Buffer, Wide.Length);
  }
  ZwClose(KeyHandle);
  return Status;
}

NTSTATUS AllocatePortName(PDEVICE_OBJECT PhysicalDeviceObject, UCHAR Allocate, PUSHORT PortIndex) {
  // "NorvUSB" and at most three digits.
  CHAR PortName[16];
  PortName[0] = '\0';

  if (Allocate == 1) {
    USHORT Number = 0;
    if (!TakeLowestFreePort(&Number)) {
      return STATUS_OBJECT_NAME_COLLISION;
    }
    if (PortIndex != nullptr) {
      *PortIndex = Number;
    }
    TEXT_BUFFER Name;
    TextStart(&Name, PortName, sizeof(PortName));
    TextAppend(&Name, "NorvUSB", sizeof(PortName));
    TextAppendNumber(&Name, (ULONG)Number + 1, 10, 1);
  } else if (PortIndex != nullptr && *PortIndex < NORVUSB_MAX_PORTS) {
    DriverGlobals.PortBitmap[*PortIndex / PORT_BITS_PER_WORD] &= ~PortBit(*PortIndex);
  }

  // Both keys are written whatever the first write gave; the device key's
  // result is the one reported.
  WritePortName(PhysicalDeviceObject, PLUGPLAY_REGKEY_DRIVER, PortName);
  return WritePortName(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE, PortName);
}
