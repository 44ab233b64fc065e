// The one place that picks the platform the driver is built for.
//
// NORVUSB_WINDOWS: the real kernel, through mingw-w64's DDK headers.
// Otherwise: the host machine's kernel model, which offers the same names.
#pragma once

#if defined(NORVUSB_WINDOWS)

// mingw-w64's wdm.h defines these two again after intrin.h did, which C++
// refuses; wdm.h's copies are renamed away (the driver uses neither).
#include <intrin.h>
#define InterlockedBitTestAndSet NorvUsbUnusedBitTestAndSet
#define InterlockedBitTestAndReset NorvUsbUnusedBitTestAndReset
#include <ddk/wdm.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset
#include <usb.h>
#include <usbioctl.h>
// usbdlib.h declares the USBD routines without C linkage.
extern "C" {
#include <ddk/usbdlib.h>
}

#else

#include "../host/kernel/api/hostwdm.h"
#include "../host/kernel/api/hostusb.h"

#endif

// The x86 image loads on Windows 98 too, so it imports only what Windows 98
// exports (win32/target-routines.txt) and keeps an older routine where the
// NT family replaced it. The x64 image and the host machine take the newer.
// NORVUSB_RUNS_ON_WINDOWS98: code for that generation alone, in the x86
// image and on the host machine, which models it too; never in the x64 image.
#if defined(NORVUSB_WINDOWS) && !defined(_WIN64)
#define NORVUSB_WINDOWS98_IMAGE 1
#define NORVUSB_RUNS_ON_WINDOWS98 1
#elif defined(NORVUSB_WINDOWS)
#define NORVUSB_WINDOWS98_IMAGE 0
#define NORVUSB_RUNS_ON_WINDOWS98 0
#else
#define NORVUSB_WINDOWS98_IMAGE 0
#define NORVUSB_RUNS_ON_WINDOWS98 1
#endif

// From Windows 8 on, a mapping's priority may carry this flag (wdm.h of the
// platform's kits; mingw-w64's headers lack it).
#ifndef MdlMappingNoExecute
#define MdlMappingNoExecute 0x40000000
#endif

// Wide-character literals: WCHAR is wchar_t on the platform and char16_t on
// the host machine, so a literal needs the matching prefix.
#if defined(NORVUSB_WINDOWS)
#define NORVUSB_WIDE(Text) L##Text
#else
#define NORVUSB_WIDE(Text) u##Text
#endif

// The platform's default pool tag 'Ddk ': bytes 0x44 0x64 0x6B 0x20 in memory.
#define NORVUSB_POOL_TAG ((ULONG)0x206B6444)

// A field that one thread writes while others read it without a lock (a
// flag, a setting, the extension pointer that remove clears) is read and
// written whole and in order with the rest, never as plain memory that the
// compiler may cache, split or move. The compiler's own atomic built-ins
// serve both builds and need no library.
inline UCHAR NorvUsbReadUchar(const volatile UCHAR *Source) { return __atomic_load_n(Source, __ATOMIC_SEQ_CST); }
inline VOID NorvUsbWriteUchar(volatile UCHAR *Target, UCHAR Value) { __atomic_store_n(Target, Value, __ATOMIC_SEQ_CST); }
inline LONG NorvUsbReadLong(const volatile LONG *Source) { return __atomic_load_n(Source, __ATOMIC_SEQ_CST); }
inline ULONG NorvUsbReadUlong(const volatile ULONG *Source) { return __atomic_load_n(Source, __ATOMIC_SEQ_CST); }
inline VOID NorvUsbWriteUlong(volatile ULONG *Target, ULONG Value) { __atomic_store_n(Target, Value, __ATOMIC_SEQ_CST); }
// Pairs with InterlockedExchangePointer on the writing side.
inline PVOID NorvUsbReadPointer(PVOID const volatile *Source) { return __atomic_load_n(Source, __ATOMIC_SEQ_CST); }
