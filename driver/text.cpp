// Bounded formatting of the port names and the child's ID text, in place of
// the run-time's sprintf, which the platform bans: every write is checked
// against the buffer's capacity, and the text stays terminated.
#include "norvusb.h"

VOID TextStart(TEXT_BUFFER *Buffer, PCHAR Text, ULONG Capacity) {
  Buffer->Text = Text;
  Buffer->Capacity = Capacity;
  Buffer->Length = 0;
  Buffer->Cut = Capacity == 0;
  if (Capacity != 0) {
    Text[0] = '\0';
  }
}

static VOID TextPut(TEXT_BUFFER *Buffer, CHAR Character) {
  if (Buffer->Length + 1 >= Buffer->Capacity) {
    Buffer->Cut = TRUE;
    return;
  }
  Buffer->Text[Buffer->Length++] = Character;
  Buffer->Text[Buffer->Length] = '\0';
}

VOID TextAppend(TEXT_BUFFER *Buffer, PCSZ Source, ULONG Limit) {
  for (ULONG Index = 0; Index < Limit && Source[Index] != '\0'; Index++) {
    TextPut(Buffer, Source[Index]);
  }
}

VOID TextAppendNumber(TEXT_BUFFER *Buffer, ULONG Value, ULONG Base, ULONG Width) {
  // Ten decimal digits hold any ULONG; the width is capped to match.
  CHAR Digits[10];
  ULONG Count = 0;
  do {
    Digits[Count++] = "0123456789ABCDEF"[Value % Base];
    Value /= Base;
  } while (Value != 0 && Count < sizeof(Digits));
  for (ULONG Pad = Count; Pad < Width && Pad < sizeof(Digits); Pad++) {
    TextPut(Buffer, '0');
  }
  while (Count != 0) {
    TextPut(Buffer, Digits[--Count]);
  }
}
