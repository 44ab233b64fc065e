// The 16-bit check of the parallel-port enumerator's identifiers.
#include "norvusb.h"

// One byte step of CRC-16/ARC in two nibble tables, with the enumerator's own
// HIGH[15] (0x4600, where the standard table has 0x4400). Identifiers must
// match the enumerator's, so the tables stay as they are.
static const USHORT Crc16Low[16] = {0x0000, 0xC0C1, 0xC181, 0x0140, 0xC301, 0x03C0, 0x0280, 0xC241,
                                    0xC601, 0x06C0, 0x0780, 0xC741, 0x0500, 0xC5C1, 0xC481, 0x0440};
static const USHORT Crc16High[16] = {0x0000, 0xCC01, 0xD801, 0x1400, 0xF001, 0x3C00, 0x2800, 0xE401,
                                     0xA001, 0x6C00, 0x7800, 0xB401, 0x5000, 0x9C01, 0x8801, 0x4600};

VOID Crc16Update(const UCHAR *Data, ULONG Length, ULONG *Check) {
  for (ULONG Index = 0; Index < Length; Index++) {
    ULONG Combined = (Data[Index] ^ *Check) & 0xFF;
    *Check = (*Check >> 8) ^ Crc16Low[Combined & 0x0F] ^ Crc16High[Combined >> 4];
  }
}
