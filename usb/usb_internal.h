// Helpers shared by the USB access routines only.
#pragma once

#include "norvusb.h"

// The interface descriptor with this number and alternate setting inside a
// configuration descriptor set of SetSize bytes, or null when there is none
// or when it does not lie wholly inside the set. *Offset receives its place.
PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR Set, ULONG SetSize, UCHAR InterfaceNumber,
                                        UCHAR AlternateSetting, PULONG Offset);

// A fresh copy of the stored configuration set (from NonPagedPool, the
// caller frees it), so that a selection or a descriptor request can go on
// with it while a start replaces and frees the stored one. Fails without a
// stored set, without pool, or when starts keep replacing the set.
NTSTATUS CopyStoredConfiguration(FdoExtension *Extension, PUSB_CONFIGURATION_DESCRIPTOR *Copy, PULONG CopySize);

// wTotalLength of a descriptor set, read byte by byte (least significant first).
inline ULONG TotalLengthOf(const UCHAR *Set) { return (ULONG)Set[2] | ((ULONG)Set[3] << 8); }
