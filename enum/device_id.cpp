// The identifier text of the child printer device, from the printer's IEEE
// 1284 device ID: manufacturer and model joined, cut to 20 characters, and the
// check of the whole joined text in four hexadecimal digits.
#include "norvusb.h"

struct DeviceIdKey {
  const char *Short;  // "MFG:"
  ULONG ShortLength;
  const char *Long;  // "MANUFACTURER:"
  ULONG LongLength;
};

static const DeviceIdKey ManufacturerKey = {"MFG:", 4, "MANUFACTURER:", 13};
static const DeviceIdKey ModelKey = {"MDL:", 4, "MODEL:", 6};

// A value that is not there has Length 0.
struct FieldValue {
  ULONG Start;
  ULONG Length;
};

// A key counts only where it lies wholly inside the text. Compared here
// rather than with strncmp, which the oldest target's kernel is not known
// to export.
static BOOLEAN KeyAt(const ANSI_STRING *DeviceId, ULONG Position, const char *Key, ULONG KeyLength) {
  if (Position + KeyLength > DeviceId->Length) {
    return FALSE;
  }
  ULONG Matched = 0;
  while (Matched < KeyLength && DeviceId->Buffer[Position + Matched] == Key[Matched]) {
    Matched++;
  }
  return Matched == KeyLength;
}

// The first position where either form of the key stands, scanning from the
// start (also inside other fields' values); the value runs to the next ";" or
// to the end of the text.
static FieldValue FindValue(const ANSI_STRING *DeviceId, const DeviceIdKey *Key) {
  FieldValue Value = {0, 0};
  for (ULONG Position = 0; Position < DeviceId->Length; Position++) {
    if (KeyAt(DeviceId, Position, Key->Short, Key->ShortLength)) {
      Value.Start = Position + Key->ShortLength;
    } else if (KeyAt(DeviceId, Position, Key->Long, Key->LongLength)) {
      Value.Start = Position + Key->LongLength;
    } else {
      continue;
    }
    while (Value.Start + Value.Length < DeviceId->Length && DeviceId->Buffer[Value.Start + Value.Length] != ';') {
      Value.Length++;
    }
    break;
  }
  return Value;
}

static PCHAR AllocateZeroed(ULONG Size) {
  PCHAR Block = (PCHAR)AllocatePool(NonPagedPool, Size);
  if (Block != nullptr) {
    RtlZeroMemory(Block, Size);
  }
  return Block;
}

BOOLEAN BuildDeviceId(PUNICODE_STRING Result, const ANSI_STRING *DeviceId) {
  FieldValue Manufacturer = FindValue(DeviceId, &ManufacturerKey);
  if (Manufacturer.Length == 0) {
    return FALSE;
  }
  FieldValue Model = FindValue(DeviceId, &ModelKey);

  // Room for both values: a model key inside the manufacturer's value makes
  // the two overlap, so together they can be longer than the text itself.
  ULONG Count = Manufacturer.Length + Model.Length;
  PCHAR Joined = AllocateZeroed(Count + 5);
  if (Joined == nullptr) {
    return FALSE;
  }
  RtlCopyMemory(Joined, DeviceId->Buffer + Manufacturer.Start, Manufacturer.Length);
  RtlCopyMemory(Joined + Manufacturer.Length, DeviceId->Buffer + Model.Start, Model.Length);

  ULONG Check = 0;
  Crc16Update((const UCHAR *)Joined, Count, &Check);

  BOOLEAN Built = FALSE;
  PCHAR Text = AllocateZeroed(Count + 5);
  if (Text != nullptr) {
    // At most 20 bytes of the joined text and four digits: min(Count, 20) + 5
    // bytes with the null, within the block.
    TEXT_BUFFER Id;
    TextStart(&Id, Text, Count + 5);
    TextAppend(&Id, Joined, 20);
    TextAppendNumber(&Id, Check, 16, 4);
    ANSI_STRING Ansi;
    RtlInitAnsiString(&Ansi, Text);
    UNICODE_STRING Wide;
    if (NT_SUCCESS(RtlAnsiStringToUnicodeString(&Wide, &Ansi, TRUE))) {
      *Result = Wide;
      Built = TRUE;
    }
    ExFreePool(Text);
  }
  ExFreePool(Joined);
  return Built;
}
