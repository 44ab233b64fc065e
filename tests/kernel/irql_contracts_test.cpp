// IRQL contracts: every routine of the table refuses a call above its
// documented limit with IRQL_NOT_LESS_OR_EQUAL, and a wrong driver that
// parses a configuration descriptor under its spin lock is caught.
#include <map>

#include "host/kernel/api/hostusb.h"
#include "tests/kernel/io_test_driver.h"
#include "tests/support/kernel_fixture.h"

namespace {

using host::irql::Routine;
namespace bc = host::bugcheck;

// One call of each routine. Each is refused before it looks at its
// arguments, so the arguments need only be of the right type.
const std::map<Routine, std::function<void()>> &Calls() {
  static KEVENT event;
  static UNICODE_STRING text;
  static ANSI_STRING ansi;
  static char16_t wide[] = u"x";
  static LARGE_INTEGER second{.QuadPart = -10'000'000};
  static LARGE_INTEGER zero{};
  static const std::map<Routine, std::function<void()>> calls{
      {Routine::IoCreateDevice, [] { PDEVICE_OBJECT d; IoCreateDevice(nullptr, 0, nullptr, 0, 0, FALSE, &d); }},
      {Routine::IoDeleteDevice, [] { IoDeleteDevice(nullptr); }},
      {Routine::IoAttachDeviceToDeviceStack, [] { IoAttachDeviceToDeviceStack(nullptr, nullptr); }},
      {Routine::IoDetachDevice, [] { IoDetachDevice(nullptr); }},
      {Routine::IoCreateSymbolicLink, [] { IoCreateSymbolicLink(&text, &text); }},
      {Routine::IoDeleteSymbolicLink, [] { IoDeleteSymbolicLink(&text); }},
      {Routine::IoOpenDeviceRegistryKey, [] { HANDLE h; IoOpenDeviceRegistryKey(nullptr, 1, 0, &h); }},
      {Routine::IoBuildDeviceIoControlRequest,
       [] { IoBuildDeviceIoControlRequest(0, nullptr, nullptr, 0, nullptr, 0, FALSE, nullptr, nullptr); }},
      {Routine::RtlQueryRegistryValues, [] { RtlQueryRegistryValues(0, nullptr, nullptr, nullptr, nullptr); }},
      {Routine::ZwSetValueKey, [] { ZwSetValueKey(nullptr, &text, 0, REG_DWORD, nullptr, 0); }},
      {Routine::ZwClose, [] { ZwClose(nullptr); }},
      {Routine::RtlAnsiStringToUnicodeString, [] { RtlAnsiStringToUnicodeString(&text, &ansi, TRUE); }},
      {Routine::RtlFreeUnicodeString, [] { RtlFreeUnicodeString(&text); }},
      {Routine::USBD_ParseConfigurationDescriptor, [] { USBD_ParseConfigurationDescriptor(nullptr, 0, 0); }},
      {Routine::KeWaitForSingleObject, [] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &second); }},
      {Routine::KeWaitForSingleObjectPoll, [] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero); }},
      {Routine::KeDelayExecutionThread, [] { KeDelayExecutionThread(KernelMode, FALSE, &second); }},
      {Routine::IoCancelIrp, [] { IoCancelIrp(nullptr); }},
      {Routine::IoInvalidateDeviceRelations, [] { IoInvalidateDeviceRelations(nullptr, BusRelations); }},
      {Routine::PoCallDriver, [] { PoCallDriver(nullptr, nullptr); }},
      {Routine::PoStartNextPowerIrp, [] { PoStartNextPowerIrp(nullptr); }},
      {Routine::PoRequestPowerIrp,
       [] { PoRequestPowerIrp(nullptr, IRP_MN_SET_POWER, POWER_STATE{}, nullptr, nullptr, nullptr); }},
      {Routine::KeSetEvent, [] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }},
      {Routine::KeResetEvent, [] { KeResetEvent(&event); }},
      {Routine::KeClearEvent, [] { KeClearEvent(&event); }},
      {Routine::KeReadStateEvent, [] { KeReadStateEvent(&event); }},
      {Routine::ObReferenceObject, [] { ObReferenceObject(nullptr); }},
      {Routine::ObDereferenceObject, [] { ObDereferenceObject(nullptr); }},
      {Routine::IoAllocateIrp, [] { IoAllocateIrp(1, FALSE); }},
      {Routine::IoFreeIrp, [] { IoFreeIrp(nullptr); }},
      {Routine::IoAllocateMdl, [] { IoAllocateMdl(nullptr, 0, FALSE, FALSE, nullptr); }},
      {Routine::IoFreeMdl, [] { IoFreeMdl(nullptr); }},
      {Routine::MmMapLockedPages, [] { MmMapLockedPages(nullptr, KernelMode); }},
      {Routine::MmMapLockedPagesSpecifyCache,
       [] { MmMapLockedPagesSpecifyCache(nullptr, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority); }},
      {Routine::MmBuildMdlForNonPagedPool, [] { MmBuildMdlForNonPagedPool(nullptr); }},
      {Routine::IoAcquireCancelSpinLock, [] { KIRQL old; IoAcquireCancelSpinLock(&old); }},
      {Routine::RtlInitUnicodeString, [] { RtlInitUnicodeString(&text, wide); }},
      {Routine::RtlInitAnsiString, [] { RtlInitAnsiString(&ansi, "x"); }},
  };
  return calls;
}

class IrqlContractTest : public KernelFixture, public ::testing::WithParamInterface<host::irql::Contract> {};

TEST_P(IrqlContractTest, ACallAboveTheLimitIsRefusedWithIrqlNotLessOrEqual) {
  const host::irql::Contract &contract = GetParam();
  auto call = Calls().find(contract.routine);
  ASSERT_NE(call, Calls().end()) << contract.name << " has no call in this test";
  KIRQL old;
  KeRaiseIrql(static_cast<KIRQL>(contract.highest + 1), &old);
  call->second();
  KeLowerIrql(old);
  auto checks = TakeBugChecks();
  ASSERT_EQ(checks.size(), 1u) << contract.name;
  EXPECT_EQ(checks[0].code, bc::kIrqlNotLessOrEqual);
  EXPECT_EQ(checks[0].parameters[1], contract.highest + 1u);
}

INSTANTIATE_TEST_SUITE_P(EveryRoutine, IrqlContractTest, ::testing::ValuesIn(host::irql::Contracts().begin(),
                                                                                host::irql::Contracts().end()),
                         [](const auto &info) {
                           std::string name = info.param.name;
                           return name.substr(0, name.find(' ')) + (info.param.routine == Routine::KeWaitForSingleObjectPoll ? "Poll" : "");
                         });

// The platform's documented limits for the routines a USB function driver
// leans on most, written out rather than read back from the table.
TEST(IrqlContractTable, KnownLimits) {
  struct Case {
    Routine routine;
    KIRQL highest;
  } cases[] = {
      {Routine::USBD_ParseConfigurationDescriptor, APC_LEVEL}, {Routine::RtlQueryRegistryValues, PASSIVE_LEVEL},
      {Routine::IoCreateDevice, PASSIVE_LEVEL},                {Routine::ZwClose, PASSIVE_LEVEL},
      {Routine::KeWaitForSingleObject, APC_LEVEL},             {Routine::KeWaitForSingleObjectPoll, DISPATCH_LEVEL},
      {Routine::KeSetEvent, DISPATCH_LEVEL},                   {Routine::PoCallDriver, DISPATCH_LEVEL},
  };
  for (const Case &c : cases) EXPECT_EQ(host::irql::ContractOf(c.routine).highest, c.highest) << int(c.routine);
}

// A wrong driver: its device-control routine looks its interface up in the
// configuration descriptor while holding its spin lock.
class WrongDriverTest : public KernelFixture {};

TEST_F(WrongDriverTest, ParsingTheConfigurationUnderASpinLockIsCaught) {
  static const UCHAR configuration[] = {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 7, 1, 2, 0};
  auto descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<UCHAR *>(configuration));
  iotest::TestDriver driver;
  iotest::TestDevice &device = driver.Create();
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  PUSB_INTERFACE_DESCRIPTOR found = nullptr;
  device.onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    found = USBD_ParseConfigurationDescriptor(descriptor, 0, 0);
    KeReleaseSpinLock(&lock, old);
    return iotest::Complete(irp, found ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE);
  };
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(0, device.device, nullptr, 0, nullptr, 0, FALSE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(device.device, irp), STATUS_INVALID_DEVICE_STATE);
  auto checks = TakeBugChecks();
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].code, bc::kIrqlNotLessOrEqual);
  EXPECT_EQ(checks[0].parameters[0], reinterpret_cast<uint64_t>(descriptor));
  EXPECT_EQ(checks[0].parameters[1], uint64_t{DISPATCH_LEVEL});
  // Below DISPATCH_LEVEL the same call finds the interface.
  EXPECT_NE(USBD_ParseConfigurationDescriptor(descriptor, 0, 0), nullptr);
}

}  // namespace
