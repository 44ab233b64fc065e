// A tiny driver for the I/O manager's tests: every request goes to a
// per-device handler that the test sets; completion routines are lambdas.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/kernel/host_kernel.h"

namespace iotest {

using Handler = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
using Completion = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

struct TestDevice {
  PDEVICE_OBJECT device = nullptr;
  PDEVICE_OBJECT lower = nullptr;
  Handler onIrp;  // empty: complete with success (a power request as a bus driver does)
};

inline TestDevice *Self(PDEVICE_OBJECT device) { return *static_cast<TestDevice **>(device->DeviceExtension); }

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

inline NTSTATUS NTAPI Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  TestDevice *self = Self(device);
  if (self->onIrp) return self->onIrp(device, irp);
  if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  return Complete(irp, STATUS_SUCCESS);
}

inline NTSTATUS NTAPI Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major)
    if (major != IRP_MJ_FLUSH_BUFFERS) driver->MajorFunction[major] = Dispatch;  // flush: the default routine
  return STATUS_SUCCESS;
}

inline NTSTATUS NTAPI CallCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
  return (*static_cast<Completion *>(context))(device, irp);
}

// Passes the request down with a completion routine (kept alive by the caller).
inline NTSTATUS ForwardWith(PIRP irp, PDEVICE_OBJECT lower, Completion *routine, bool onSuccess = true,
                            bool onError = true, bool onCancel = true) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, CallCompletion, routine, onSuccess, onError, onCancel);
  return IoCallDriver(lower, irp);
}

inline UNICODE_STRING Counted(const char16_t *text) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  return s;
}

class TestDriver {
 public:
  explicit TestDriver(const std::u16string &name = u"\\Driver\\IoTest")
      : driver_(host::CreateDriverObject(name, Entry)) {}
  ~TestDriver() {
    for (auto &d : devices_)
      if (d->device != nullptr) Delete(*d);
    host::DeleteDriverObject(driver_);
  }

  // A started device (DO_DEVICE_INITIALIZING cleared), attached above
  // `below` when given.
  TestDevice &Create(const char16_t *name = nullptr, bool exclusive = false, TestDevice *below = nullptr,
                     ULONG flags = DO_DIRECT_IO) {
    auto d = std::make_unique<TestDevice>();
    UNICODE_STRING counted = Counted(name ? name : u"");
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver_, sizeof(TestDevice *), name ? &counted : nullptr, FILE_DEVICE_UNKNOWN, 0,
                                     exclusive, &device);
    if (!NT_SUCCESS(status)) return *devices_.emplace_back(std::move(d));
    *static_cast<TestDevice **>(device->DeviceExtension) = d.get();
    d->device = device;
    if (below != nullptr) d->lower = IoAttachDeviceToDeviceStack(device, below->device);
    device->Flags |= flags;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return *devices_.emplace_back(std::move(d));
  }

  void Delete(TestDevice &d) {
    if (d.lower != nullptr) IoDetachDevice(d.lower);
    IoDeleteDevice(d.device);
    d.device = nullptr;
    d.lower = nullptr;
  }

  PDRIVER_OBJECT driver() const { return driver_; }

 private:
  PDRIVER_OBJECT driver_;
  std::vector<std::unique_ptr<TestDevice>> devices_;
};

}  // namespace iotest
