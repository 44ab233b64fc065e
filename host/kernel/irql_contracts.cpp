// The documented IRQL limit of every routine the kernel exports to drivers,
// in one table, and the one check that each routine makes at its entry (a
// switch point of the seeded scheduler too).
#include <array>
#include <string>

#include "host/kernel/host_kernel.h"
#include "host/kernel/scheduler.h"

namespace host::irql {
namespace {

using enum Routine;

// Routines whose code may be paged out run below DISPATCH_LEVEL; the rest
// at or below it. The verifier forces paged code out, so a pageable routine
// at DISPATCH_LEVEL faults as IRQL_NOT_LESS_OR_EQUAL.
constexpr std::array<Contract, size_t(Routine::kCount)> kContracts{{
    {IoCreateDevice, "IoCreateDevice", PASSIVE_LEVEL},
    {IoDeleteDevice, "IoDeleteDevice", PASSIVE_LEVEL},
    {IoAttachDeviceToDeviceStack, "IoAttachDeviceToDeviceStack", DISPATCH_LEVEL},
    {IoDetachDevice, "IoDetachDevice", PASSIVE_LEVEL},
    {IoCreateSymbolicLink, "IoCreateSymbolicLink", PASSIVE_LEVEL},
    {IoDeleteSymbolicLink, "IoDeleteSymbolicLink", PASSIVE_LEVEL},
    {IoOpenDeviceRegistryKey, "IoOpenDeviceRegistryKey", PASSIVE_LEVEL},
    {IoBuildDeviceIoControlRequest, "IoBuildDeviceIoControlRequest", PASSIVE_LEVEL},
    {RtlQueryRegistryValues, "RtlQueryRegistryValues", PASSIVE_LEVEL},
    {ZwSetValueKey, "ZwSetValueKey", PASSIVE_LEVEL},
    {ZwClose, "ZwClose", PASSIVE_LEVEL},
    {RtlAnsiStringToUnicodeString, "RtlAnsiStringToUnicodeString", PASSIVE_LEVEL},
    {RtlFreeUnicodeString, "RtlFreeUnicodeString", PASSIVE_LEVEL},
    {USBD_ParseConfigurationDescriptor, "USBD_ParseConfigurationDescriptor", APC_LEVEL},
    {KeWaitForSingleObject, "KeWaitForSingleObject (with a time-out that is not zero)", APC_LEVEL},
    {KeWaitForSingleObjectPoll, "KeWaitForSingleObject (zero time-out)", DISPATCH_LEVEL},
    {KeDelayExecutionThread, "KeDelayExecutionThread", APC_LEVEL},
    {IoCancelIrp, "IoCancelIrp", DISPATCH_LEVEL},
    {IoInvalidateDeviceRelations, "IoInvalidateDeviceRelations", DISPATCH_LEVEL},
    {PoCallDriver, "PoCallDriver", DISPATCH_LEVEL},
    {PoStartNextPowerIrp, "PoStartNextPowerIrp", DISPATCH_LEVEL},
    {PoRequestPowerIrp, "PoRequestPowerIrp", DISPATCH_LEVEL},
    {KeSetEvent, "KeSetEvent", DISPATCH_LEVEL},
    {KeResetEvent, "KeResetEvent", DISPATCH_LEVEL},
    {KeClearEvent, "KeClearEvent", DISPATCH_LEVEL},
    {KeReadStateEvent, "KeReadStateEvent", DISPATCH_LEVEL},
    {ObReferenceObject, "ObReferenceObject", DISPATCH_LEVEL},
    {ObDereferenceObject, "ObDereferenceObject", DISPATCH_LEVEL},
    {IoAllocateIrp, "IoAllocateIrp", DISPATCH_LEVEL},
    {IoFreeIrp, "IoFreeIrp", DISPATCH_LEVEL},
    {IoAllocateMdl, "IoAllocateMdl", DISPATCH_LEVEL},
    {IoFreeMdl, "IoFreeMdl", DISPATCH_LEVEL},
    {MmMapLockedPages, "MmMapLockedPages", DISPATCH_LEVEL},
    {MmMapLockedPagesSpecifyCache, "MmMapLockedPagesSpecifyCache", DISPATCH_LEVEL},
    {MmBuildMdlForNonPagedPool, "MmBuildMdlForNonPagedPool", DISPATCH_LEVEL},
    {IoAcquireCancelSpinLock, "IoAcquireCancelSpinLock", DISPATCH_LEVEL},
    {RtlInitUnicodeString, "RtlInitUnicodeString", DISPATCH_LEVEL},
    {RtlInitAnsiString, "RtlInitAnsiString", DISPATCH_LEVEL},
}};

constexpr bool InOrder() {
  for (size_t i = 0; i < kContracts.size(); ++i)
    if (size_t(kContracts[i].routine) != i) return false;
  return true;
}
static_assert(InOrder(), "the table is indexed by Routine");

}  // namespace

const Contract &ContractOf(Routine routine) { return kContracts[size_t(routine)]; }

std::span<const Contract> Contracts() { return kContracts; }

bool Allows(Routine routine, const void *subject) {
  const Contract &contract = ContractOf(routine);
  sched::SwitchPoint(contract.name);
  KIRQL irql = Current();
  if (irql <= contract.highest) return true;
  // Parameters as the platform gives them: the address touched, the IRQL,
  // 0 (a read), the address of the code that touched it (unknown here).
  RaiseBugCheck(bugcheck::kIrqlNotLessOrEqual, reinterpret_cast<uint64_t>(subject), irql, 0, 0,
                std::string(contract.name) + " at IRQL " + std::to_string(irql) + "; it may be called at IRQL " +
                    std::to_string(contract.highest) + " or below");
  return false;
}

}  // namespace host::irql
