// Pool blocks and system-space mappings in the safest form the running
// system offers, chosen once at DriverEntry, as the platform's NX opt-in
// chooses: no-execute non-paged pool and no-execute mappings from Windows 8
// on, the plain forms before. Older systems know no other, and nothing here
// asks them for what they lack, so one image serves every target.
#include "norvusb.h"

// Windows 8 reports WDM 6.20 and is the first with NonPagedPoolNx and
// MdlMappingNoExecute; Windows 2000 reports 1.10 and is the first of the NT
// family, where MmMapLockedPages is no longer the mapping to use.
#define NO_EXECUTE_WDM_MAJOR 6
#define NO_EXECUTE_WDM_MINOR 0x20
#define NT_FAMILY_WDM_MAJOR 1
#define NT_FAMILY_WDM_MINOR 0x10

VOID ChooseMemoryForms(VOID) {
  BOOLEAN NoExecute = IoIsWdmVersionAvailable(NO_EXECUTE_WDM_MAJOR, NO_EXECUTE_WDM_MINOR);
  DriverGlobals.NonPagedType = NoExecute ? NonPagedPoolNx : NonPagedPool;
  DriverGlobals.MappingFlags = NoExecute ? (ULONG)MdlMappingNoExecute : 0;
  DriverGlobals.NtFamily = IoIsWdmVersionAvailable(NT_FAMILY_WDM_MAJOR, NT_FAMILY_WDM_MINOR) ? 1 : 0;
}

// Every allocation of the driver comes here: NonPagedPool stands for the
// non-paged pool of the running system's choice.
PVOID AllocatePool(POOL_TYPE Type, SIZE_T Size) {
  POOL_TYPE Chosen = Type == NonPagedPool ? DriverGlobals.NonPagedType : Type;
  return ExAllocatePoolWithTag(Chosen, Size, NORVUSB_POOL_TAG);
}

// Maps a locked buffer on the NT family, failing softly.
static PVOID MapOnNtFamily(PMDL Mdl) {
  PVOID Address = nullptr;
#if NORVUSB_WINDOWS98_IMAGE
  // The x86 image cannot import the NT routine (Windows 98 lacks it); the
  // flag makes the NT kernel return null where it would bug-check.
  CSHORT Before = Mdl->MdlFlags;
  Mdl->MdlFlags |= MDL_MAPPING_CAN_FAIL;
  Address = MmMapLockedPages(Mdl, KernelMode);
  Mdl->MdlFlags = (CSHORT)((Mdl->MdlFlags & ~MDL_MAPPING_CAN_FAIL) | (Before & MDL_MAPPING_CAN_FAIL));
#else
  Address = MmMapLockedPagesSpecifyCache(Mdl, KernelMode, MmCached, nullptr, FALSE,
                                         (MM_PAGE_PRIORITY)(NormalPagePriority | DriverGlobals.MappingFlags));
#endif
  return Address;
}

// The system-space address of a locked buffer, or null when the system has
// no mapping to spare: the caller fails that one request.
PVOID MapLockedBuffer(PMDL Mdl) {
  PVOID Address = nullptr;
  if (Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
    Address = Mdl->MappedSystemVa;
#if NORVUSB_RUNS_ON_WINDOWS98
  } else if (!DriverGlobals.NtFamily) {
    // The Windows 98 generation has this one routine.
    Address = MmMapLockedPages(Mdl, KernelMode);
#endif
  } else {
    Address = MapOnNtFamily(Mdl);
  }
  return Address;
}
