// The device's PDO as the platform's hub driver makes it, under the Plug and
// Play manager: a small function driver above it gets its flags right or wrong.
#include "bus_fixture.h"
#include "host/io/io_internal.h"
#include "host/pnp/pnp_manager.h"
#include "tests/support/toy_setting.h"

namespace usbtest {
namespace {

support::ToySetting<bool> g_inheritsPagable{true};

NTSTATUS NTAPI PassDown(PDEVICE_OBJECT device, PIRP irp) {
  PDEVICE_OBJECT lower = *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension);
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  const bool power = sp->MajorFunction == IRP_MJ_POWER;
  const bool remove = sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
  if (power) PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  const NTSTATUS status = power ? PoCallDriver(lower, irp) : IoCallDriver(lower, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo = nullptr;
  const NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  *static_cast<PDEVICE_OBJECT *>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
  if (g_inheritsPagable.Get()) fdo->Flags |= pdo->Flags & DO_POWER_PAGABLE;
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR major : {IRP_MJ_PNP, IRP_MJ_POWER, IRP_MJ_SYSTEM_CONTROL}) driver->MajorFunction[major] = PassDown;
  driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

using DevicePdoTest = BusTest;

// The device's PDO is pageable for power, so every device above it must be
// too: a driver that does not take the flag over is caught.
TEST_F(DevicePdoTest, EveryDeviceAboveItMustBePagableForPower) {
  struct Case {
    const char *driver;
    bool inherits;
    std::vector<uint64_t> rules;
  } cases[] = {{"takes the flag over", true, {}},
               {"leaves it", false, {host::io::check::kPowerPagableNotInherited}}};
  host::pnp::RegisterDriver("USB\\VID_1234&PID_5678", "pagetoy", Entry);
  g_inheritsPagable.Set(true);
  const std::string hub = host::pnp::RegisterBus(bus->HubDevice());
  for (const Case &c : cases) {
    g_inheritsPagable.Set(c.inherits);
    bus->Attach(std::make_shared<LoopbackDevice>());
    host::pnp::WaitIdle();
    std::vector<uint64_t> rules;
    for (const auto &check : TakeBugChecks()) rules.push_back(check.parameters[0]);
    EXPECT_EQ(rules, c.rules) << c.driver;
  }
  EXPECT_EQ(host::pnp::RemoveDevice(hub), STATUS_SUCCESS);
}

}  // namespace
}  // namespace usbtest
