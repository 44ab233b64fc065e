// Helpers shared by the USB access routines only.
#pragma once

#include "norvusb.h"

// The interface descriptor with this number and alternate setting inside a
// configuration descriptor set of SetSize bytes, or null when there is none
// or when it does not lie wholly inside the set. *Offset receives its place.
PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR Set, ULONG SetSize, UCHAR InterfaceNumber,
                                        UCHAR AlternateSetting, PULONG Offset);

// wTotalLength of a descriptor set, read byte by byte (least significant first).
inline ULONG TotalLengthOf(const UCHAR *Set) { return (ULONG)Set[2] | ((ULONG)Set[3] << 8); }
