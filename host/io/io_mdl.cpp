// Memory descriptor lists. The host has one address space, so a "system
// address" of a locked buffer is the buffer itself; what is modelled is the
// bookkeeping (mapped or not, freed or not) and that mapping can fail.
#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "host/kernel/scheduler.h"
#include "host/io/io_internal.h"
#include "host/kernel/watchdog.h"

namespace host::io {
namespace {

constexpr uintptr_t kPageSize = 4096;

struct MdlRegistry {
  host::Mutex mutex;
  std::unordered_map<PMDL, std::unique_ptr<MDL>> mdls;
};

MdlRegistry &Mdls() {
  static MdlRegistry registry;
  return registry;
}

PMDL NewMdl(PVOID address, ULONG length) {
  auto mdl = std::make_unique<MDL>();
  auto va = reinterpret_cast<uintptr_t>(address);
  size_t pages = ((va % kPageSize) + length + kPageSize - 1) / kPageSize;
  mdl->Size = static_cast<CSHORT>(std::min<size_t>(sizeof(MDL) + pages * sizeof(ULONG_PTR), 0x7FFF));
  mdl->StartVa = reinterpret_cast<PVOID>(va - va % kPageSize);
  mdl->ByteOffset = static_cast<ULONG>(va % kPageSize);
  mdl->ByteCount = length;
  PMDL raw = mdl.get();
  std::lock_guard lock(Mdls().mutex);
  Mdls().mdls.emplace(raw, std::move(mdl));
  return raw;
}

// Frees one MDL; false when it is not one the kernel handed out.
bool FreeOne(PMDL mdl) {
  std::unique_ptr<MDL> gone;
  std::lock_guard lock(Mdls().mutex);
  auto it = Mdls().mdls.find(mdl);
  if (it == Mdls().mdls.end()) return false;
  gone = std::move(it->second);
  Mdls().mdls.erase(it);
  return true;
}

void BadFree(PMDL mdl) {
  RaiseBugCheck(kBadPoolCaller, 0x07, reinterpret_cast<uint64_t>(mdl), 0, 0,
                "IoFreeMdl on " + Hex(mdl) + ", which is not an allocated MDL (freed twice?)");
}

// Under memory integrity every mapping must be no-execute: MmMapLockedPages
// has no way to ask, MmMapLockedPagesSpecifyCache asks with its priority.
PVOID Map(PMDL mdl, const char *routine, ULONG priority) {
  if (host::detail::MemoryIntegrity() && (priority & MdlMappingNoExecute) == 0) {
    RaiseBugCheck(host::bugcheck::kVerifierViolation, host::bugcheck::kExecutableMapping, 0, priority, 0,
                  std::string(routine) + " maps " + Hex(mdl) + " executable where memory integrity allows only "
                  "MdlMappingNoExecute");
    return nullptr;
  }
  if (host::lowres::ShouldFail(routine, 0)) return nullptr;
  if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) {
    mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  }
  return mdl->MappedSystemVa;
}

}  // namespace

PMDL NewLockedMdl(PVOID address, ULONG length, bool mapped) {
  PMDL mdl = NewMdl(address, length);
  mdl->MdlFlags = MDL_PAGES_LOCKED;
  if (mapped) {
    mdl->MappedSystemVa = address;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  }
  return mdl;
}

void FreeMdlChain(PMDL mdl) {
  while (mdl != nullptr) {
    PMDL next = mdl->Next;
    if (!FreeOne(mdl)) {
      BadFree(mdl);
      return;
    }
    mdl = next;
  }
}

void MdlsReset() {
  std::unordered_map<PMDL, std::unique_ptr<MDL>> gone;
  std::lock_guard lock(Mdls().mutex);
  gone.swap(Mdls().mdls);
}

void MdlLeaks(std::vector<std::string> &out) {
  std::lock_guard lock(Mdls().mutex);
  for (auto &[mdl, owned] : Mdls().mdls)
    out.push_back("MDL " + Hex(mdl) + " over " + std::to_string(mdl->ByteCount) + " bytes was never freed");
}

}  // namespace host::io

using namespace host::io;

extern "C" {

PMDL NTAPI IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp) {
  const host::sched::AfterEffect afterEffect("IoAllocateMdl");
  UNREFERENCED_PARAMETER(ChargeQuota);
  if (!host::irql::Allows(host::irql::Routine::IoAllocateMdl, VirtualAddress)) return nullptr;
  if (host::lowres::ShouldFail("IoAllocateMdl", 0)) return nullptr;
  PMDL mdl = NewMdl(VirtualAddress, Length);
  if (Irp != nullptr) {
    if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
      Irp->MdlAddress = mdl;
    } else {
      PMDL last = Irp->MdlAddress;
      while (last->Next != nullptr) last = last->Next;
      last->Next = mdl;
    }
  }
  return mdl;
}

VOID NTAPI IoFreeMdl(PMDL Mdl) {
  const host::sched::AfterEffect afterEffect("IoFreeMdl");
  if (!host::irql::Allows(host::irql::Routine::IoFreeMdl, Mdl)) return;
  if (!FreeOne(Mdl)) BadFree(Mdl);
}

PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  const host::sched::AfterEffect afterEffect("MmMapLockedPages");
  UNREFERENCED_PARAMETER(AccessMode);
  if (!host::irql::Allows(host::irql::Routine::MmMapLockedPages, MemoryDescriptorList)) return nullptr;
  return Map(MemoryDescriptorList, "MmMapLockedPages", 0);
}

PVOID NTAPI MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                         MEMORY_CACHING_TYPE CacheType, PVOID BaseAddress, ULONG BugCheckOnFailure,
                                         ULONG Priority) {
  const host::sched::AfterEffect afterEffect("MmMapLockedPagesSpecifyCache");
  UNREFERENCED_PARAMETER(AccessMode);
  UNREFERENCED_PARAMETER(CacheType);
  UNREFERENCED_PARAMETER(BaseAddress);
  UNREFERENCED_PARAMETER(BugCheckOnFailure);
  if (!host::irql::Allows(host::irql::Routine::MmMapLockedPagesSpecifyCache, MemoryDescriptorList)) return nullptr;
  return Map(MemoryDescriptorList, "MmMapLockedPagesSpecifyCache", Priority);
}

// The pages of non-paged memory are resident and mapped already: the MDL
// describes them from now on, and its system address is the buffer itself.
VOID NTAPI MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
  const host::sched::AfterEffect afterEffect("MmBuildMdlForNonPagedPool");
  if (!host::irql::Allows(host::irql::Routine::MmBuildMdlForNonPagedPool, MemoryDescriptorList)) return;
  MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
  MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

}  // extern "C"
