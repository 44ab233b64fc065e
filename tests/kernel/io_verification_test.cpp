// The verifier's I/O rules for Plug and Play, power and ordinary requests,
// each shown by a small wrong driver: a filter above a bus device here, a
// wrong function driver under the PnP manager below.
#include <algorithm>

#include "host/io/io_internal.h"
#include "host/io/user_io.h"
#include "tests/kernel/io_test_driver.h"
#include "tests/kernel/pnp_toy_drivers.h"
#include "tests/support/kernel_fixture.h"
#include "tests/support/toy_setting.h"

namespace {

using namespace iotest;
namespace check = host::io::check;
constexpr uint32_t kIoViolation = host::bugcheck::kIoManagerViolation;

NTSTATUS NTAPI KeepForCaller(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

struct Sent {
  NTSTATUS returned;
  NTSTATUS completed;
};
// A request the test allocates, as a driver would, sent to a device.
Sent SendTo(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, NTSTATUS initial = STATUS_NOT_SUPPORTED) {
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  irp->IoStatus.Status = initial;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  IoSetCompletionRoutine(irp, KeepForCaller, nullptr, TRUE, TRUE, TRUE);
  if (major == IRP_MJ_POWER) next->Parameters.Power.Type = DevicePowerState;
  Sent sent{major == IRP_MJ_POWER ? PoCallDriver(device, irp) : IoCallDriver(device, irp), 0};
  sent.completed = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return sent;
}

// filter -> bus device (the bottom of the stack, which ends every request)
class IoVerificationTest : public KernelFixture {
 protected:
  void SetUp() override {
    KernelFixture::SetUp();
    driver_ = std::make_unique<TestDriver>();
    bus_ = &driver_->Create();
    filter_ = &driver_->Create(nullptr, false, bus_);
  }
  void TearDown() override {
    driver_.reset();
    KernelFixture::TearDown();
  }

  Sent Send(UCHAR major, UCHAR minor, NTSTATUS initial = STATUS_NOT_SUPPORTED) {
    return SendTo(filter_->device, major, minor, initial);
  }
  bool OnlyViolation(uint64_t rule) {
    auto checks = TakeBugChecks();
    return checks.size() == 1 && checks[0].code == kIoViolation && checks[0].parameters[0] == rule;
  }

  std::unique_ptr<TestDriver> driver_;
  TestDevice *bus_ = nullptr, *filter_ = nullptr;
};

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  const bool power = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
  if (power) PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return power ? PoCallDriver(Self(device)->lower, irp) : IoCallDriver(Self(device)->lower, irp);
}

TEST_F(IoVerificationTest, ADispatchRoutineReturnsTheStatusItCompletedWith) {
  filter_->onIrp = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_UNSUCCESSFUL);
    return STATUS_SUCCESS;
  };
  EXPECT_EQ(Send(IRP_MJ_DEVICE_CONTROL, 0, STATUS_SUCCESS).returned, STATUS_SUCCESS);
  EXPECT_TRUE(OnlyViolation(check::kReturnedStatusDiffers));

  // A completion routine that changes the status makes the lower status,
  // returned as it came, a different one.
  static Completion toFailure = [](PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
    return STATUS_SUCCESS;
  };
  filter_->onIrp = [](PDEVICE_OBJECT device, PIRP irp) { return ForwardWith(irp, Self(device)->lower, &toFailure); };
  Send(IRP_MJ_DEVICE_CONTROL, 0, STATUS_SUCCESS);
  EXPECT_TRUE(OnlyViolation(check::kReturnedStatusDiffers));

  // Passing down and returning what came back is sound, and so is pending.
  filter_->onIrp = PassDown;
  EXPECT_EQ(Send(IRP_MJ_DEVICE_CONTROL, 0, STATUS_SUCCESS).returned, STATUS_SUCCESS);
  EXPECT_TRUE(TakeBugChecks().empty());
}

TEST_F(IoVerificationTest, PnpPowerAndWmiRequestsStartAsNotSupported) {
  filter_->onIrp = PassDown;
  struct Case {
    UCHAR major;
    uint64_t rule;
  } cases[] = {{IRP_MJ_PNP, check::kPnpNotStartedNotSupported},
               {IRP_MJ_POWER, check::kPowerNotStartedNotSupported},
               {IRP_MJ_SYSTEM_CONTROL, check::kWmiNotStartedNotSupported}};
  for (const Case &c : cases) {
    Send(c.major, IRP_MN_QUERY_CAPABILITIES, STATUS_SUCCESS);
    EXPECT_TRUE(OnlyViolation(c.rule)) << int(c.major);
    Send(c.major, IRP_MN_QUERY_CAPABILITIES);
    EXPECT_TRUE(TakeBugChecks().empty()) << int(c.major);
  }
}

TEST_F(IoVerificationTest, AFailedPnpOrPowerRequestIsCompletedNotPassedDown) {
  filter_->onIrp = [](PDEVICE_OBJECT device, PIRP irp) {
    irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
    return PassDown(device, irp);
  };
  Send(IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE);
  EXPECT_TRUE(OnlyViolation(check::kFailedPnpPassedDown));
  Send(IRP_MJ_POWER, IRP_MN_SET_POWER);
  EXPECT_TRUE(OnlyViolation(check::kFailedPowerPassedDown));
}

TEST_F(IoVerificationTest, AFilterPassesPnpRequestsItDoesNotFailDown) {
  struct Case {
    const char *what;
    UCHAR minor;
    NTSTATUS ending;  // what the filter completes with; STATUS_PENDING: leaves the status as it came
    uint64_t rule;    // 0: sound; else the platform's 0xC9 parameter 1
  } cases[] = {
      {"untouched", IRP_MN_QUERY_CAPABILITIES, STATUS_PENDING, 0x22F},
      {"unknown", 0x42, STATUS_PENDING, 0x22D},
      {"successful", IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS, 0x22E},
      {"failed (a veto)", IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY, 0},
  };
  for (const Case &c : cases) {
    static support::ToySetting<NTSTATUS> ending{STATUS_PENDING};
    ending.Set(c.ending);
    filter_->onIrp = [](PDEVICE_OBJECT, PIRP irp) {
      if (ending.Get() != STATUS_PENDING) irp->IoStatus.Status = ending.Get();
      NTSTATUS status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    };
    Send(IRP_MJ_PNP, c.minor);
    if (c.rule != 0) {
      EXPECT_TRUE(OnlyViolation(c.rule)) << c.what;
    } else {
      EXPECT_TRUE(TakeBugChecks().empty()) << c.what;
    }
  }
  // The bus device at the bottom ends every request itself.
  filter_->onIrp = PassDown;
  bus_->onIrp = [](PDEVICE_OBJECT, PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  };
  EXPECT_EQ(Send(IRP_MJ_PNP, 0x42).returned, STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(TakeBugChecks().empty());
  // Passed on under a spin lock: Plug and Play requests go at PASSIVE_LEVEL.
  filter_->onIrp = [](PDEVICE_OBJECT device, PIRP irp) {
    NTSTATUS status = STATUS_SUCCESS;
    host::RunAtDispatchLevel([&] { status = PassDown(device, irp); });
    return status;
  };
  Send(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
  EXPECT_TRUE(OnlyViolation(0x23A));
}

TEST_F(IoVerificationTest, PowerRequestsGoDownWithPoCallDriver) {
  filter_->onIrp = [](PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(Self(device)->lower, irp);  // not PoCallDriver
  };
  Send(IRP_MJ_POWER, IRP_MN_SET_POWER);
  EXPECT_TRUE(OnlyViolation(check::kPowerWithoutPoCallDriver));
  filter_->onIrp = [](PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Self(device)->lower, irp);
  };
  Send(IRP_MJ_POWER, IRP_MN_SET_POWER);
  EXPECT_TRUE(TakeBugChecks().empty());
}

// Before WDM 6.00 every driver that a set-power or query-power request
// reaches calls PoStartNextPowerIrp for it, also when it fails the request;
// other power requests need no call, and a request of another kind takes none.
TEST_F(IoVerificationTest, EveryDriverASetOrQueryPowerReachesStartsTheNextOne) {
  struct Case {
    const char *what;
    UCHAR major, minor;
    bool starts, fails;  // the filter calls PoStartNextPowerIrp; completes with an error instead of passing down
    uint64_t rule;       // 0: sound
  } cases[] = {
      {"set-power passed down without it", IRP_MJ_POWER, IRP_MN_SET_POWER, false, false, check::kPowerNextNotStarted},
      {"query-power failed without it", IRP_MJ_POWER, IRP_MN_QUERY_POWER, false, true, check::kPowerNextNotStarted},
      {"set-power passed down", IRP_MJ_POWER, IRP_MN_SET_POWER, true, false, 0},
      {"query-power failed", IRP_MJ_POWER, IRP_MN_QUERY_POWER, true, true, 0},
      {"wait-wake passed down without it", IRP_MJ_POWER, IRP_MN_WAIT_WAKE, false, false, 0},
      {"a Plug and Play request", IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, true, false, check::kStartNextNotPower},
  };
  for (const Case &c : cases) {
    filter_->onIrp = [c](PDEVICE_OBJECT device, PIRP irp) {
      if (c.starts) PoStartNextPowerIrp(irp);
      if (c.fails) return Complete(irp, STATUS_UNSUCCESSFUL);
      IoSkipCurrentIrpStackLocation(irp);
      return c.major == IRP_MJ_POWER ? PoCallDriver(Self(device)->lower, irp) : IoCallDriver(Self(device)->lower, irp);
    };
    Send(c.major, c.minor);
    if (c.rule != 0) {
      EXPECT_TRUE(OnlyViolation(c.rule)) << c.what;
    } else {
      EXPECT_TRUE(TakeBugChecks().empty()) << c.what;
    }
  }
}

// From WDM 6.00 (Windows Vista) on the call does nothing and is not needed.
class IoVerificationVistaTest : public IoVerificationTest {
 protected:
  IoVerificationVistaTest() { kernelOptions_.wdmVersion = 0x0600; }
};

TEST_F(IoVerificationVistaTest, APowerRequestNeedsNoPoStartNextPowerIrp) {
  filter_->onIrp = [](PDEVICE_OBJECT device, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(Self(device)->lower, irp);
  };
  Send(IRP_MJ_POWER, IRP_MN_SET_POWER);
  EXPECT_TRUE(TakeBugChecks().empty());
}

// A driver that reports bytes it never wrote hands back the unwritten
// pattern, from pool and from a buffered request's system buffer alike.
TEST_F(IoVerificationTest, BytesADriverNeverWroteAreNeverZero) {
  auto *block = static_cast<UCHAR *>(ExAllocatePoolWithTag(PagedPool, 4, PoolTag("Unwr")));
  EXPECT_EQ(std::vector<UCHAR>(block, block + 4), std::vector<UCHAR>(4, 0xCD));
  ExFreePool(block);

  filter_->onIrp = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 4); };
  UCHAR out[4] = {};
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                           filter_->device, nullptr, 0, out, sizeof out, FALSE, &event, &iosb);
  EXPECT_EQ(IoCallDriver(filter_->device, irp), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 4u);
  EXPECT_EQ(std::vector<UCHAR>(out, out + 4), std::vector<UCHAR>(4, 0xCD));
}

// A driver that keeps in paged pool what the kernel touches at DISPATCH_LEVEL
// (a spin lock, an event), or frees paged pool while it holds a spin lock, is
// caught every time, as under the verifier's IRQL checking; the same code on
// non-paged pool is sound.
TEST_F(IoVerificationTest, PagedPoolIsNeverTouchedAtDispatchLevel) {
  struct Misuse {
    const char *name;
    void (*run)(PVOID block);
    uint32_t code;
    bool parameter1IsTheBlock;  // otherwise the verifier's rule
    uint64_t rule;
  };
  const Misuse misuses[] = {
      {"spin lock", [](PVOID block) {
         auto lock = static_cast<PKSPIN_LOCK>(block);
         KIRQL irql;
         KeInitializeSpinLock(lock);
         KeAcquireSpinLock(lock, &irql);
         KeReleaseSpinLock(lock, irql);
       }, host::bugcheck::kIrqlNotLessOrEqual, true, 0},
      {"event set", [](PVOID block) {
         KeInitializeEvent(static_cast<PKEVENT>(block), NotificationEvent, FALSE);
         KeSetEvent(static_cast<PKEVENT>(block), IO_NO_INCREMENT, FALSE);
       }, host::bugcheck::kIrqlNotLessOrEqual, true, 0},
      {"event waited on", [](PVOID block) {
         KeInitializeEvent(static_cast<PKEVENT>(block), NotificationEvent, TRUE);
         KeWaitForSingleObject(block, Executive, KernelMode, FALSE, nullptr);
       }, host::bugcheck::kIrqlNotLessOrEqual, true, 0},
      {"freed under a spin lock", [](PVOID block) {
         KSPIN_LOCK lock;
         KIRQL irql;
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLock(&lock, &irql);
         ExFreePool(block);
         KeReleaseSpinLock(&lock, irql);
       }, host::bugcheck::kVerifierViolation, false, host::bugcheck::kPagedFreeAtDispatch},
  };
  for (const Misuse &m : misuses) {
    for (POOL_TYPE type : {NonPagedPool, PagedPool}) {
      SCOPED_TRACE(std::string(m.name) + (type == PagedPool ? " in paged pool" : " in non-paged pool"));
      PVOID block = ExAllocatePoolWithTag(type, sizeof(KEVENT), PoolTag("Pgd "));
      bool freed = false;
      filter_->onIrp = [&](PDEVICE_OBJECT, PIRP irp) {
        m.run(block);
        const auto live = host::OutstandingPoolBlocks();
        freed = std::none_of(live.begin(), live.end(), [&](const auto &b) { return b.address == block; });
        return Complete(irp, STATUS_SUCCESS);
      };
      Send(IRP_MJ_DEVICE_CONTROL, 0);
      auto checks = TakeBugChecks();
      if (type == NonPagedPool) {
        EXPECT_TRUE(checks.empty());
      } else {
        ASSERT_EQ(checks.size(), 1u);
        EXPECT_EQ(checks[0].code, m.code);
        EXPECT_EQ(checks[0].parameters[0], m.parameter1IsTheBlock ? reinterpret_cast<uintptr_t>(block) : m.rule);
      }
      if (!freed) ExFreePool(block);
    }
  }
}

// ---------------------------------------------------------------- a wrong function driver under the PnP manager

enum class Fault { None, LeaveInitializing, NoDetachAtRemove, NoDeleteAtRemove, TearDownAtSurpriseRemoval, ReturnSuccessForFailedStart };
support::ToySetting<Fault> g_fault{Fault::None};
support::ToySetting<int> g_leaveOut{-1};  // a major function the driver, when it loads, leaves without a routine
PDEVICE_OBJECT g_fdo = nullptr, g_lower = nullptr;

NTSTATUS NTAPI WrongPnp(PDEVICE_OBJECT device, PIRP irp) {
  const UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_START_DEVICE && g_fault.Get() == Fault::ReturnSuccessForFailedStart) {
    Complete(irp, STATUS_UNSUCCESSFUL);
    return STATUS_SUCCESS;
  }
  const bool remove = minor == IRP_MN_REMOVE_DEVICE;
  const bool tearDown = remove || (minor == IRP_MN_SURPRISE_REMOVAL && g_fault.Get() == Fault::TearDownAtSurpriseRemoval);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(g_lower, irp);
  if (tearDown && !(remove && g_fault.Get() == Fault::TearDownAtSurpriseRemoval)) {
    if (g_fault.Get() != Fault::NoDetachAtRemove) IoDetachDevice(g_lower);
    if (g_fault.Get() != Fault::NoDeleteAtRemove && g_fault.Get() != Fault::NoDetachAtRemove) IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI WrongAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_fdo);
  if (!NT_SUCCESS(status)) return status;
  g_lower = IoAttachDeviceToDeviceStack(g_fdo, pdo);
  g_fdo->Flags |= pdo->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE);
  if (g_fault.Get() != Fault::LeaveInitializing) g_fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI WrongPassDown(PDEVICE_OBJECT, PIRP irp) {
  const bool power = IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER;
  if (power) PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return power ? PoCallDriver(g_lower, irp) : IoCallDriver(g_lower, irp);
}

NTSTATUS NTAPI WrongEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = WrongPnp;
  driver->MajorFunction[IRP_MJ_POWER] = WrongPassDown;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = WrongPassDown;
  if (const int leftOut = g_leaveOut.Get(); leftOut >= 0) driver->MajorFunction[leftOut] = nullptr;  // the loader's default
  driver->DriverExtension->AddDevice = WrongAddDevice;
  return STATUS_SUCCESS;
}

class WrongFunctionDriverTest : public PnpFixture {
 protected:
  void SetUp() override {
    PnpFixture::SetUp();
    g_fault.Set(Fault::None);
    g_leaveOut.Set(-1);
    host::pnp::RegisterDriver("toy\\widget_hw", "wrongfn", WrongEntry);
  }
};

// A function device after its AddDevice, and a child as its bus reports it,
// are ready for requests: DO_DEVICE_INITIALIZING is cleared.
TEST_F(WrongFunctionDriverTest, ADeviceLeftInitializing) {
  struct Case {
    const char *what;
    Fault fault;
    bool childInitializing;
  } cases[] = {{"a function device after AddDevice", Fault::LeaveInitializing, false},
               {"a child reported in bus relations", Fault::None, true}};
  toy::Bus &bus = AddBus();
  for (const Case &c : cases) {
    g_fault.Set(c.fault);
    toy::Child &child = bus.Add({.instanceId = c.childInitializing ? u"2" : u"1", .leaveInitializing = c.childInitializing});
    bus.Invalidate();
    host::pnp::WaitIdle();
    EXPECT_EQ(Violations(), std::vector<uint64_t>{check::kStillInitializing}) << c.what;
    bus.Unplug(child);
    bus.Invalidate();
    host::pnp::WaitIdle();
  }
}

TEST_F(WrongFunctionDriverTest, RemoveWithoutDetachOrDelete) {
  struct Case {
    Fault fault;
    uint64_t rule;
  } cases[] = {{Fault::NoDetachAtRemove, check::kRemoveNotDetached}, {Fault::NoDeleteAtRemove, check::kRemoveNotDeleted}};
  toy::Bus &bus = AddBus();
  for (const Case &c : cases) {
    g_fault.Set(c.fault);
    toy::Child &child = bus.Add(toy::ChildSpec{.instanceId = c.fault == Fault::NoDetachAtRemove ? u"1" : u"2"});
    bus.Invalidate();
    host::pnp::WaitIdle();
    EXPECT_EQ(host::pnp::RemoveDevice(Node(child).instancePath), STATUS_SUCCESS);
    auto rules = Violations();
    EXPECT_NE(std::find(rules.begin(), rules.end(), c.rule), rules.end()) << int(c.fault);
    // What the driver left behind, put away by hand.
    if (c.fault == Fault::NoDetachAtRemove) IoDetachDevice(g_lower);
    IoDeleteDevice(g_fdo);
    bus.Unplug(child);
    bus.Invalidate();
    host::pnp::WaitIdle();
  }
}

TEST_F(WrongFunctionDriverTest, DetachingAndDeletingAtSurpriseRemoval) {
  g_fault.Set(Fault::TearDownAtSurpriseRemoval);
  toy::Bus &bus = AddBus({toy::ChildSpec{}});
  bus.Unplug(*bus.children[0]);
  bus.Invalidate();
  host::pnp::WaitIdle();
  EXPECT_EQ(Violations(), (std::vector<uint64_t>{check::kDetachedAtSurpriseRemoval, check::kDeletedAtSurpriseRemoval}));
}

TEST_F(WrongFunctionDriverTest, TheManagerTakesTheReturnedStatusOfARequestThatDidNotPend) {
  g_fault.Set(Fault::ReturnSuccessForFailedStart);
  toy::Bus &bus = AddBus({toy::ChildSpec{}});
  // Started, as on the platform, although the request completed with a failure.
  EXPECT_EQ(Node(*bus.children[0]).state, host::pnp::DeviceState::Started);
  EXPECT_EQ(Violations(), std::vector<uint64_t>{check::kReturnedStatusDiffers});
  g_fault.Set(Fault::None);
}

// Every driver of a Plug and Play stack has a routine for IRP_MJ_PNP,
// IRP_MJ_POWER and IRP_MJ_SYSTEM_CONTROL. The host finds a missing one when
// the driver's device joins a stack (after AddDevice, or as its bus reports
// it) or when such a request reaches it, and says so once per driver; the
// default routine fails the request.
struct MissingRoutine {
  const char *what;
  int functionLeavesOut, busLeavesOut;
  bool child;           // the WMI request goes to the child's stack, else to the bus device
  NTSTATUS wmiOutcome;  // of a WMI request sent afterwards
  bool reported;
};

void PrintTo(const MissingRoutine &c, std::ostream *out) { *out << c.what; }

class RequiredDispatchTest : public WrongFunctionDriverTest, public ::testing::WithParamInterface<MissingRoutine> {};

TEST_P(RequiredDispatchTest, ARequiredMajorFunctionWithoutARoutine) {
  const MissingRoutine &c = GetParam();
  g_leaveOut.Set(c.functionLeavesOut);
  if (c.busLeavesOut >= 0) toy::LeaveOutOfBusDriver(static_cast<UCHAR>(c.busLeavesOut));
  toy::Bus &bus = c.child ? AddBus({toy::ChildSpec{}}) : AddBus();
  PDEVICE_OBJECT top = c.child ? Node(*bus.children[0]).top : bus.Device();
  EXPECT_EQ(SendTo(top, IRP_MJ_SYSTEM_CONTROL, IRP_MN_QUERY_ALL_DATA).completed, c.wmiOutcome);
  EXPECT_EQ(Violations(), c.reported ? std::vector<uint64_t>{check::kRequiredDispatchMissing} : std::vector<uint64_t>{});
}

INSTANTIATE_TEST_SUITE_P(
    Drivers, RequiredDispatchTest,
    ::testing::Values(
        MissingRoutine{"every routine there", -1, -1, true, STATUS_NOT_SUPPORTED, false},
        MissingRoutine{"function driver without WMI", IRP_MJ_SYSTEM_CONTROL, -1, true, STATUS_INVALID_DEVICE_REQUEST, true},
        MissingRoutine{"function driver without power", IRP_MJ_POWER, -1, true, STATUS_NOT_SUPPORTED, true},
        MissingRoutine{"bus driver without WMI, its child reported", -1, IRP_MJ_SYSTEM_CONTROL, true,
                       STATUS_INVALID_DEVICE_REQUEST, true},
        MissingRoutine{"bus driver without WMI, asked at its bus device", -1, IRP_MJ_SYSTEM_CONTROL, false,
                       STATUS_INVALID_DEVICE_REQUEST, true}));

// A bus driver answers TargetDeviceRelation for its child (asked as the
// child's stack starts, and when a handle on it registers for device-change
// notification) with a one-entry list holding the child, referenced; and the
// child lets surprise removal succeed.
using BusDriverTest = PnpFixture;

TEST_F(BusDriverTest, ABusDriverAnswersForItsChildAndNeverFailsSurpriseRemoval) {
  struct Case {
    const char *what;
    toy::TargetAnswer target;
    NTSTATUS surpriseRemoval;
    NTSTATUS query;
    uint64_t queryRule, removalRule;  // 0: sound
  } cases[] = {
      {"a sound child", toy::TargetAnswer::Referenced, STATUS_SUCCESS, STATUS_SUCCESS, 0, 0},
      {"ignores the query", toy::TargetAnswer::Ignored, STATUS_SUCCESS, STATUS_NOT_SUPPORTED, check::kPdoIgnoredRequiredIrp, 0},
      {"answers an empty list", toy::TargetAnswer::EmptyList, STATUS_SUCCESS, STATUS_UNSUCCESSFUL, check::kTargetRelationNotFilled, 0},
      {"answers without a reference", toy::TargetAnswer::Unreferenced, STATUS_SUCCESS, STATUS_SUCCESS,
       check::kTargetRelationNotReferenced, 0},
      {"fails surprise removal", toy::TargetAnswer::Referenced, STATUS_UNSUCCESSFUL, STATUS_SUCCESS, 0,
       check::kFailedIrpThatMustNotFail},
  };
  auto rules = [](uint64_t rule) { return rule != 0 ? std::vector<uint64_t>{rule} : std::vector<uint64_t>{}; };
  UseFunctionDriver();
  toy::Bus &bus = AddBus();
  char16_t instance = u'1';
  for (const Case &c : cases) {
    toy::Child &child = bus.Add({.instanceId = std::u16string(1, instance++), .target = c.target,
                                 .surpriseRemovalStatus = c.surpriseRemoval});
    bus.Invalidate();
    host::pnp::WaitIdle();
    EXPECT_EQ(Violations(), rules(c.queryRule)) << c.what << ", as its stack starts";
    host::DeviceHandle handle;
    ASSERT_EQ(handle.Open(child.pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT target = nullptr;
    EXPECT_EQ(host::pnp::QueryTargetDevice(handle.FileObject(), &target), c.query) << c.what;
    EXPECT_EQ(target, c.query == STATUS_SUCCESS ? child.pdo : nullptr) << c.what;
    EXPECT_EQ(Violations(), rules(c.queryRule)) << c.what << ", as a handle registers";
    handle.Close();
    bus.Unplug(child);
    bus.Invalidate();
    host::pnp::WaitIdle();
    EXPECT_EQ(Violations(), rules(c.removalRule)) << c.what << ", at surprise removal";
  }
}

}  // namespace
