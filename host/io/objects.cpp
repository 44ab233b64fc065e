// The object manager's part of the kernel: driver, device and file objects,
// their reference counts, and the namespace of "\Device\..." names and
// "\DosDevices\..." symbolic links.
//
// Object storage lives here, in records keyed by the object's address, so the
// public structures stay exactly the platform's. A device object's storage
// goes only when it was deleted, nothing references it any more and nothing is
// attached to it; until then the driver may still touch it.
#include <algorithm>
#include <map>
#include <mutex>
#include <unordered_map>

#include "host/kernel/scheduler.h"
#include "host/io/io_internal.h"
#include "host/kernel/watchdog.h"

namespace host::io {
namespace {

enum class Kind { Driver, Device, File };

struct Record {
  Kind kind = Kind::Device;
  long refs = 1;  // the creation reference plus ObReferenceObject's
  std::unique_ptr<Slot[]> storage;
  std::u16string name;         // driver or device name; empty for an unnamed device
  std::u16string serviceName;  // driver: DriverExtension->ServiceKeyName
  std::u16string fileName;     // file: FileName
  bool deleted = false;        // device deleted, driver unloaded
  bool removePending = false;  // device: its stack is being removed; opens are refused
  PDEVICE_OBJECT attachedTo = nullptr;  // device: the device below it
  PDRIVER_OBJECT driver = nullptr;      // device: its driver (referenced)
  PDEVICE_OBJECT fileDevice = nullptr;  // file: the device it is open on (referenced)
  uint32_t missingDispatchReported = 0;  // driver: a bit per major function reported missing
  uint64_t referenceCalls = 0;           // ObReferenceObject calls on it
};

struct Link {
  std::u16string name;
  std::u16string target;
};

struct ObjectManager {
  host::Mutex mutex;
  std::unordered_map<const void *, std::unique_ptr<Record>> objects;
  std::map<std::u16string, PDEVICE_OBJECT> devices;  // folded "\device\x" -> device
  std::map<std::u16string, Link> links;              // folded "\dosdevices\x" -> link
  uint32_t autoNames = 0;
  bool refuseAttach = false;  // RefuseAttaching: every attach finds its target stack gone
};

ObjectManager &Om() {
  static ObjectManager om;
  return om;
}

const std::u16string kDevicePrefix = u"\\Device\\";
const std::u16string kDosPrefix = u"\\DosDevices\\";
const std::u16string kGlobalPrefix = u"\\??\\";
const std::u16string kDriverPrefix = u"\\Driver\\";
constexpr int kMaxLinkDepth = 8;

// The object namespace compares names without regard to case.
std::u16string Fold(std::u16string s) {
  for (auto &c : s)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return s;
}

bool StartsWithFolded(const std::u16string &s, const std::u16string &prefix) {
  return s.size() >= prefix.size() && Fold(s.substr(0, prefix.size())) == Fold(prefix);
}

// "\??\X" is the same directory as "\DosDevices\X".
std::u16string CanonicalLinkName(const std::u16string &name) {
  if (StartsWithFolded(name, kGlobalPrefix)) return kDosPrefix + name.substr(kGlobalPrefix.size());
  return name;
}

// A single component after the prefix: non-empty, no further separator, no NUL.
bool IsNameInDirectory(const std::u16string &name, const std::u16string &prefix) {
  if (!StartsWithFolded(name, prefix) || name.size() == prefix.size()) return false;
  return std::none_of(name.begin() + static_cast<long>(prefix.size()), name.end(),
                      [](char16_t c) { return c == u'\\' || c == 0; });
}

bool ToString(PCUNICODE_STRING s, std::u16string &out) {
  if (s == nullptr || (s->Length % 2) != 0 || (s->Length > 0 && s->Buffer == nullptr)) return false;
  out.assign(s->Buffer, s->Length / 2);
  return true;
}

std::string Narrow(const std::u16string &s) {
  std::string out;
  for (char16_t c : s) out += (c < 0x80) ? static_cast<char>(c) : '?';
  return out;
}

size_t RoundUp(size_t bytes) { return SlotsFor(bytes) * sizeof(Slot); }

Record *FindLocked(const void *object, Kind kind) {
  auto &om = Om();
  auto it = om.objects.find(object);
  return (it != om.objects.end() && it->second->kind == kind) ? it->second.get() : nullptr;
}

PDEVICE_OBJECT TopLocked(PDEVICE_OBJECT device) {
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

bool CanFreeLocked(const void *object, const Record &r) {
  if (r.refs > 0) return false;
  if (r.kind != Kind::Device) return true;
  auto device = static_cast<const DEVICE_OBJECT *>(object);
  return r.deleted && device->AttachedDevice == nullptr && r.attachedTo == nullptr;
}

void ReleaseLocked(const void *object);

// Frees an object whose last reference went, and drops the references it held.
void TryFreeLocked(const void *object) {
  auto &om = Om();
  auto it = om.objects.find(object);
  if (it == om.objects.end() || !CanFreeLocked(object, *it->second)) return;
  std::unique_ptr<Record> record = std::move(it->second);
  om.objects.erase(it);
  if (record->driver != nullptr) ReleaseLocked(record->driver);
  if (record->fileDevice != nullptr) ReleaseLocked(record->fileDevice);
}

void ReleaseLocked(const void *object) {
  auto it = Om().objects.find(object);
  if (it == Om().objects.end()) return;
  --it->second->refs;
  TryFreeLocked(object);
}

std::u16string DescribeLocked(PDEVICE_OBJECT device) {
  Record *r = FindLocked(device, Kind::Device);
  if (r == nullptr) return u"(unknown device object)";
  if (!r->name.empty()) return r->name;
  Record *d = FindLocked(r->driver, Kind::Driver);
  return u"(unnamed device of " + (d ? d->name : std::u16string(u"?")) + u")";
}

PDEVICE_OBJECT ResolveLocked(const std::u16string &name, int depth) {
  auto &om = Om();
  std::u16string canonical = CanonicalLinkName(name);
  if (depth < kMaxLinkDepth && StartsWithFolded(canonical, kDosPrefix)) {
    auto it = om.links.find(Fold(canonical));
    return it == om.links.end() ? nullptr : ResolveLocked(it->second.target, depth + 1);
  }
  auto it = om.devices.find(Fold(canonical));
  return it == om.devices.end() ? nullptr : it->second;
}

void FillDefaultDispatch(PDRIVER_OBJECT driver) {
  for (auto &routine : driver->MajorFunction)
    if (routine == nullptr) routine = DefaultDispatch;
}

std::u16string ServiceOf(const std::u16string &driverName) {
  return driverName.substr(driverName.rfind(u'\\') + 1);
}

// Makes the record and storage of a new driver object; null on a name already taken.
PDRIVER_OBJECT NewDriverObject(const std::u16string &name) {
  auto &om = Om();
  std::lock_guard lock(om.mutex);
  for (auto &[object, r] : om.objects)
    if (r->kind == Kind::Driver && !r->deleted && Fold(r->name) == Fold(name)) return nullptr;
  auto record = std::make_unique<Record>();
  record->kind = Kind::Driver;
  record->name = name;
  record->serviceName = ServiceOf(name);
  size_t objectBytes = RoundUp(sizeof(DRIVER_OBJECT));
  record->storage = ZeroedStorage(objectBytes + sizeof(DRIVER_EXTENSION));
  auto bytes = reinterpret_cast<std::byte *>(record->storage.get());
  auto driver = reinterpret_cast<PDRIVER_OBJECT>(bytes);
  auto extension = reinterpret_cast<PDRIVER_EXTENSION>(bytes + objectBytes);
  driver->Type = kIoTypeDriver;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = extension;
  driver->DriverName = {static_cast<USHORT>(record->name.size() * 2), static_cast<USHORT>(record->name.size() * 2),
                        record->name.data()};
  extension->DriverObject = driver;
  FillDefaultDispatch(driver);
  extension->ServiceKeyName = {static_cast<USHORT>(record->serviceName.size() * 2),
                               static_cast<USHORT>(record->serviceName.size() * 2), record->serviceName.data()};
  om.objects.emplace(driver, std::move(record));
  return driver;
}

// Unload bookkeeping: the name is free again; the storage goes with the
// last reference (each device object holds one).
void RetireDriverObject(PDRIVER_OBJECT driver) {
  std::lock_guard lock(Om().mutex);
  Record *r = FindLocked(driver, Kind::Driver);
  if (r == nullptr || r->deleted) return;
  r->deleted = true;
  ReleaseLocked(driver);
}

NTSTATUS AssignDeviceName(PUNICODE_STRING deviceName, ULONG characteristics, std::u16string &name) {
  auto &om = Om();
  name.clear();
  if (deviceName != nullptr && deviceName->Length > 0) {
    if (!ToString(deviceName, name) || !IsNameInDirectory(name, kDevicePrefix)) return STATUS_OBJECT_NAME_INVALID;
  } else if (characteristics & FILE_AUTOGENERATED_DEVICE_NAME) {
    do {
      char text[16];
      std::snprintf(text, sizeof text, "%08X", ++om.autoNames);
      name = kDevicePrefix + std::u16string(text, text + 8);
    } while (om.devices.count(Fold(name)) != 0);
  }
  if (!name.empty() && om.devices.count(Fold(name)) != 0) return STATUS_OBJECT_NAME_COLLISION;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS NTAPI DefaultDispatch(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  irp->IoStatus.Information = 0;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void Violation(uint64_t code, const void *p2, const void *p3, std::string what) {
  RaiseBugCheck(kIoManagerViolation, code, reinterpret_cast<uint64_t>(p2), reinterpret_cast<uint64_t>(p3), 0,
                std::move(what));
}

std::string Hex(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

std::string StatusText(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

bool IsLiveDevice(PDEVICE_OBJECT device) {
  std::lock_guard lock(Om().mutex);
  return FindLocked(device, Kind::Device) != nullptr;
}

bool HasLowerDevice(PDEVICE_OBJECT device) {
  std::lock_guard lock(Om().mutex);
  Record *r = FindLocked(device, Kind::Device);
  return r != nullptr && r->attachedTo != nullptr;
}

bool DeviceDeleted(PDEVICE_OBJECT device) {
  std::lock_guard lock(Om().mutex);
  Record *r = FindLocked(device, Kind::Device);
  return r == nullptr || r->deleted;
}

bool DriverUnloaded(PDEVICE_OBJECT device) {
  std::lock_guard lock(Om().mutex);
  Record *r = FindLocked(device, Kind::Device);
  Record *d = r ? FindLocked(r->driver, Kind::Driver) : nullptr;
  return d == nullptr || d->deleted;
}

std::u16string DeviceName(PDEVICE_OBJECT device) {
  std::lock_guard lock(Om().mutex);
  return DescribeLocked(device);
}

std::string DeviceText(PDEVICE_OBJECT device) {
  std::lock_guard lock(Om().mutex);
  Record *r = FindLocked(device, Kind::Device);
  Record *d = r ? FindLocked(r->driver, Kind::Driver) : nullptr;
  const std::string name = r == nullptr || r->name.empty() ? "(unnamed)" : Narrow(r->name);
  return "device " + name + " of " + (d ? Narrow(d->name) : std::string("an unknown driver")) + " at " + Hex(device);
}

bool FirstReportOfMissingDispatch(PDRIVER_OBJECT driver, UCHAR major) {
  std::lock_guard lock(Om().mutex);
  Record *d = FindLocked(driver, Kind::Driver);
  const uint32_t bit = 1u << (major & 31);
  if (d == nullptr || (d->missingDispatchReported & bit)) return false;
  d->missingDispatchReported |= bit;
  return true;
}

PDEVICE_OBJECT ReferenceAttachedTop(PDEVICE_OBJECT device) {
  std::lock_guard lock(Om().mutex);
  if (FindLocked(device, Kind::Device) == nullptr) return nullptr;
  PDEVICE_OBJECT top = TopLocked(device);
  FindLocked(top, Kind::Device)->refs++;
  return top;
}

namespace {

// The checks and the count of an open, on a device already found.
NTSTATUS OpenFoundLocked(PDEVICE_OBJECT found, PDEVICE_OBJECT *device, bool honourExclusive = true) {
  Record *r = FindLocked(found, Kind::Device);
  if (r == nullptr) return STATUS_NO_SUCH_DEVICE;
  Record *d = FindLocked(r->driver, Kind::Driver);
  if (r->deleted) return STATUS_DELETE_PENDING;
  // As the platform's DOE_REMOVE_PENDING: no new handle on a stack the PnP
  // manager has begun to remove.
  if (r->removePending) return STATUS_NO_SUCH_DEVICE;
  if (d == nullptr || d->deleted || (found->Flags & DO_DEVICE_INITIALIZING)) return STATUS_NO_SUCH_DEVICE;
  if (honourExclusive && (found->Flags & DO_EXCLUSIVE) && __atomic_load_n(&found->ReferenceCount, __ATOMIC_SEQ_CST) != 0)
    return STATUS_ACCESS_DENIED;
  __atomic_add_fetch(&found->ReferenceCount, 1, __ATOMIC_SEQ_CST);
  r->refs++;  // adopted by the file object
  *device = found;
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS OpenDeviceForFile(const std::u16string &name, PDEVICE_OBJECT *device, bool honourExclusive) {
  std::lock_guard lock(Om().mutex);
  PDEVICE_OBJECT found = ResolveLocked(name, 0);
  if (found == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  return OpenFoundLocked(found, device, honourExclusive);
}

NTSTATUS OpenDeviceObjectForFile(PDEVICE_OBJECT target, PDEVICE_OBJECT *device) {
  std::lock_guard lock(Om().mutex);
  return OpenFoundLocked(target, device);
}

bool CloseDeviceForFile(PDEVICE_OBJECT device) {
  std::lock_guard lock(Om().mutex);
  return __atomic_sub_fetch(&device->ReferenceCount, 1, __ATOMIC_SEQ_CST) == 0;
}

PFILE_OBJECT NewFileObject(PDEVICE_OBJECT device, const std::u16string &fileName) {
  auto &om = Om();
  std::lock_guard lock(om.mutex);
  auto record = std::make_unique<Record>();
  record->kind = Kind::File;
  record->fileName = fileName;
  record->fileDevice = device;
  record->storage = ZeroedStorage(sizeof(FILE_OBJECT));
  auto file = reinterpret_cast<PFILE_OBJECT>(record->storage.get());
  file->Type = kIoTypeFile;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  file->ReadAccess = TRUE;
  file->WriteAccess = TRUE;
  file->FileName = {static_cast<USHORT>(record->fileName.size() * 2),
                    static_cast<USHORT>(record->fileName.size() * 2),
                    record->fileName.empty() ? nullptr : record->fileName.data()};
  om.objects.emplace(file, std::move(record));
  return file;
}

void ObjectsReset() {
  auto &om = Om();
  std::lock_guard lock(om.mutex);
  om.objects.clear();
  om.devices.clear();
  om.links.clear();
  om.autoNames = 0;
  om.refuseAttach = false;
}

void ObjectLeaks(std::vector<std::string> &out) {
  std::lock_guard lock(Om().mutex);
  for (auto &[object, r] : Om().objects) {
    if (r->kind == Kind::Device) {
      auto device = static_cast<PDEVICE_OBJECT>(const_cast<void *>(object));
      std::string what = "device object " + Narrow(DescribeLocked(device)) + " at " + Hex(object);
      if (!r->deleted)
        what += " was never deleted";
      else
        what += " was deleted but is still referenced (" + std::to_string(r->refs) + " references, " +
                std::to_string(device->ReferenceCount) + " open files" +
                (device->AttachedDevice ? ", a device attached above" : "") + ")";
      out.push_back(what);
    } else if (r->kind == Kind::File) {
      out.push_back("file object at " + Hex(object) + " on " + Narrow(DescribeLocked(r->fileDevice)) +
                    " is still open (" + std::to_string(r->refs) + " references)");
    }
  }
}

}  // namespace host::io

// ====================================================================== the driver-facing routines
using namespace host::io;

extern "C" {

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject) {
  const host::sched::AfterEffect afterEffect("IoCreateDevice");
  auto &om = Om();
  if (!host::irql::Allows(host::irql::Routine::IoCreateDevice, DriverObject)) return STATUS_INVALID_DEVICE_STATE;
  if (DeviceObject == nullptr) return STATUS_INVALID_PARAMETER;
  *DeviceObject = nullptr;
  std::lock_guard lock(om.mutex);
  Record *driverRecord = FindLocked(DriverObject, Kind::Driver);
  if (driverRecord == nullptr || driverRecord->deleted) return STATUS_INVALID_PARAMETER;
  std::u16string name;
  NTSTATUS status = AssignDeviceName(DeviceName, DeviceCharacteristics, name);
  if (!NT_SUCCESS(status)) return status;

  auto record = std::make_unique<Record>();
  record->kind = Kind::Device;
  record->name = name;
  record->driver = DriverObject;
  size_t objectBytes = RoundUp(sizeof(DEVICE_OBJECT));
  record->storage = ZeroedStorage(objectBytes + DeviceExtensionSize);
  auto device = reinterpret_cast<PDEVICE_OBJECT>(record->storage.get());
  device->Type = kIoTypeDevice;
  device->Size = static_cast<USHORT>(std::min<size_t>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize, 0xFFFF));
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->DeviceExtension =
      DeviceExtensionSize ? reinterpret_cast<std::byte *>(record->storage.get()) + objectBytes : nullptr;
  device->NextDevice = DriverObject->DeviceObject;
  DriverObject->DeviceObject = device;
  driverRecord->refs++;
  if (!name.empty()) om.devices.emplace(Fold(name), device);
  om.objects.emplace(device, std::move(record));
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  const host::sched::AfterEffect afterEffect("IoDeleteDevice");
  if (!host::irql::Allows(host::irql::Routine::IoDeleteDevice, DeviceObject)) return;
  auto &om = Om();
  std::unique_lock lock(om.mutex);
  Record *r = FindLocked(DeviceObject, Kind::Device);
  if (r == nullptr || r->deleted) {
    lock.unlock();
    Violation(check::kDeleteTwice, DeviceObject, nullptr,
              "IoDeleteDevice on device object " + Hex(DeviceObject) + ", which was already deleted");
    return;
  }
  if (r->attachedTo != nullptr) {
    std::string what = "IoDeleteDevice on " + Narrow(DescribeLocked(DeviceObject)) +
                       " while it is still attached to " + Narrow(DescribeLocked(r->attachedTo)) +
                       " (IoDetachDevice first)";
    PDEVICE_OBJECT lower = r->attachedTo;
    lock.unlock();
    Violation(check::kDeleteWhileAttached, DeviceObject, lower, what);
    return;
  }
  r->deleted = true;
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  for (PDEVICE_OBJECT *link = &driver->DeviceObject; *link != nullptr; link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  DeviceObject->NextDevice = nullptr;
  if (!r->name.empty()) om.devices.erase(Fold(r->name));
  ReleaseLocked(DeviceObject);
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  const host::sched::AfterEffect afterEffect("IoAttachDeviceToDeviceStack");
  if (!host::irql::Allows(host::irql::Routine::IoAttachDeviceToDeviceStack, SourceDevice)) return nullptr;
  std::lock_guard lock(Om().mutex);
  Record *source = FindLocked(SourceDevice, Kind::Device);
  if (Om().refuseAttach || source == nullptr || source->deleted || source->attachedTo != nullptr ||
      FindLocked(TargetDevice, Kind::Device) == nullptr)
    return nullptr;
  PDEVICE_OBJECT top = TopLocked(TargetDevice);
  if (top == SourceDevice || FindLocked(top, Kind::Device)->deleted) return nullptr;
  top->AttachedDevice = SourceDevice;
  source->attachedTo = top;
  SourceDevice->StackSize = static_cast<CHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = std::max(SourceDevice->AlignmentRequirement, top->AlignmentRequirement);
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  const host::sched::AfterEffect afterEffect("IoDetachDevice");
  if (!host::irql::Allows(host::irql::Routine::IoDetachDevice, TargetDevice)) return;
  std::unique_lock lock(Om().mutex);
  PDEVICE_OBJECT above = FindLocked(TargetDevice, Kind::Device) ? TargetDevice->AttachedDevice : nullptr;
  if (above == nullptr) {
    lock.unlock();
    Violation(check::kDetachTwice, TargetDevice, nullptr,
              "IoDetachDevice on device object " + Hex(TargetDevice) + ", which has nothing attached to it");
    return;
  }
  TargetDevice->AttachedDevice = nullptr;
  if (Record *r = FindLocked(above, Kind::Device)) r->attachedTo = nullptr;
  TryFreeLocked(TargetDevice);
  TryFreeLocked(above);
}

NTSTATUS NTAPI IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  const host::sched::AfterEffect afterEffect("IoCreateSymbolicLink");
  if (!host::irql::Allows(host::irql::Routine::IoCreateSymbolicLink, SymbolicLinkName)) return STATUS_INVALID_DEVICE_STATE;
  std::u16string name, target;
  if (!ToString(SymbolicLinkName, name) || !ToString(DeviceName, target) || target.empty())
    return STATUS_OBJECT_NAME_INVALID;
  name = CanonicalLinkName(name);
  if (!IsNameInDirectory(name, kDosPrefix)) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard lock(Om().mutex);
  if (!Om().links.emplace(Fold(name), Link{name, target}).second) return STATUS_OBJECT_NAME_COLLISION;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  const host::sched::AfterEffect afterEffect("IoDeleteSymbolicLink");
  if (!host::irql::Allows(host::irql::Routine::IoDeleteSymbolicLink, SymbolicLinkName)) return STATUS_INVALID_DEVICE_STATE;
  std::u16string name;
  if (!ToString(SymbolicLinkName, name) || name.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard lock(Om().mutex);
  return Om().links.erase(Fold(CanonicalLinkName(name))) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

VOID NTAPI ObfReferenceObject(PVOID Object) {
  const host::sched::AfterEffect afterEffect("ObfReferenceObject");
  if (!host::irql::Allows(host::irql::Routine::ObReferenceObject, Object)) return;
  std::unique_lock lock(Om().mutex);
  auto it = Om().objects.find(Object);
  if (it == Om().objects.end()) {
    lock.unlock();
    host::RaiseBugCheck(kReferenceByPointer, reinterpret_cast<uint64_t>(Object), 0, 0, 0,
                        "ObReferenceObject on " + Hex(Object) + ", which is not a live object");
    return;
  }
  it->second->refs++;
  it->second->referenceCalls++;
}

VOID NTAPI ObfDereferenceObject(PVOID Object) {
  const host::sched::AfterEffect afterEffect("ObfDereferenceObject");
  if (!host::irql::Allows(host::irql::Routine::ObDereferenceObject, Object)) return;
  std::unique_lock lock(Om().mutex);
  auto it = Om().objects.find(Object);
  // An object not yet deleted keeps its creation reference.
  long floor = (it != Om().objects.end() && it->second->kind != Kind::File && !it->second->deleted) ? 1 : 0;
  if (it == Om().objects.end() || it->second->refs <= floor) {
    long refs = it == Om().objects.end() ? 0 : it->second->refs;
    lock.unlock();
    host::RaiseBugCheck(kReferenceByPointer, reinterpret_cast<uint64_t>(Object), static_cast<uint64_t>(refs), 0, 0,
                        "ObDereferenceObject on " + Hex(Object) + " drops a reference nobody holds");
    return;
  }
  ReleaseLocked(Object);
}

}  // extern "C"

// ====================================================================== the host's view
namespace host {

PDRIVER_OBJECT CreateDriverObject(const std::u16string &name, PDRIVER_INITIALIZE entry) {
  std::u16string full = name.find(u'\\') == std::u16string::npos ? kDriverPrefix + name : name;
  PDRIVER_OBJECT driver = NewDriverObject(full);
  if (driver == nullptr) return nullptr;
  std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + ServiceOf(full);
  UNICODE_STRING registryPath{static_cast<USHORT>(path.size() * 2), static_cast<USHORT>(path.size() * 2),
                              path.data()};
  NTSTATUS status = entry ? entry(driver, &registryPath) : STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) {
    RetireDriverObject(driver);
    return nullptr;
  }
  FillDefaultDispatch(driver);
  return driver;
}

void DeleteDriverObject(PDRIVER_OBJECT driver) {
  {
    std::lock_guard lock(Om().mutex);
    Record *r = FindLocked(driver, Kind::Driver);
    if (r == nullptr || r->deleted) return;
  }
  if (driver->DriverUnload != nullptr) driver->DriverUnload(driver);
  RetireDriverObject(driver);
}

PDEVICE_OBJECT LookupDevice(const std::u16string &name) {
  std::lock_guard lock(Om().mutex);
  return ResolveLocked(name, 0);
}

void RefuseAttaching(bool refuse) {
  std::lock_guard lock(Om().mutex);
  Om().refuseAttach = refuse;
}

std::vector<std::u16string> SymbolicLinks() {
  std::lock_guard lock(Om().mutex);
  std::vector<std::u16string> names;
  for (auto &[key, link] : Om().links) names.push_back(link.name);
  return names;
}

namespace detail {

PDEVICE_OBJECT AttachedDeviceTop(PDEVICE_OBJECT device) {
  std::lock_guard lock(Om().mutex);
  return FindLocked(device, io::Kind::Device) ? TopLocked(device) : nullptr;
}

PDEVICE_OBJECT AttachmentBase(PDEVICE_OBJECT device) {
  std::lock_guard lock(Om().mutex);
  io::Record *r = FindLocked(device, io::Kind::Device);
  while (r != nullptr && r->attachedTo != nullptr) {
    device = r->attachedTo;
    r = FindLocked(device, io::Kind::Device);
  }
  return r != nullptr ? device : nullptr;
}

uint64_t ReferenceCalls(const void *object) {
  std::lock_guard lock(Om().mutex);
  auto it = Om().objects.find(object);
  return it != Om().objects.end() ? it->second->referenceCalls : 0;
}

void SetStackRemovePending(PDEVICE_OBJECT pdo, bool pending) {
  std::lock_guard lock(Om().mutex);
  for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice) {
    io::Record *r = FindLocked(device, io::Kind::Device);
    if (r == nullptr) break;
    r->removePending = pending;
  }
}

}  // namespace detail
}  // namespace host

namespace host::detail {

std::vector<PDEVICE_OBJECT> ReferenceDevicesAbove(PDEVICE_OBJECT pdo) {
  std::vector<PDEVICE_OBJECT> devices;
  std::lock_guard lock(Om().mutex);
  if (FindLocked(pdo, io::Kind::Device) == nullptr) return devices;
  for (PDEVICE_OBJECT device = pdo->AttachedDevice; device != nullptr; device = device->AttachedDevice) {
    io::Record *r = FindLocked(device, io::Kind::Device);
    if (r == nullptr) break;
    r->refs++;
    devices.push_back(device);
  }
  return devices;
}

// After a remove every function and filter device is detached and deleted;
// after a surprise removal none is yet (it still gets the remove). Another
// minor code checks nothing (the references are dropped all the same).
void VerifyDevicesAfter(UCHAR minor, const std::vector<PDEVICE_OBJECT> &devices) {
  for (PDEVICE_OBJECT device : devices) {
    bool attached = false, deleted = false;
    {
      std::lock_guard lock(Om().mutex);
      io::Record *r = FindLocked(device, io::Kind::Device);
      attached = r->attachedTo != nullptr;
      deleted = r->deleted;
    }
    const std::string which = io::DeviceText(device);
    if (minor == IRP_MN_REMOVE_DEVICE && attached)
      io::Violation(io::check::kRemoveNotDetached, device, nullptr, which + " was not detached at its remove");
    // The Windows 98 generation defers no deletion: a device with files
    // still open has to stay.
    const bool keptForFiles =
        !IoIsWdmVersionAvailable(1, 0x10) && __atomic_load_n(&device->ReferenceCount, __ATOMIC_SEQ_CST) > 0;
    if (minor == IRP_MN_REMOVE_DEVICE && !deleted && !keptForFiles)
      io::Violation(io::check::kRemoveNotDeleted, device, nullptr, which + " was not deleted at its remove");
    if (minor == IRP_MN_SURPRISE_REMOVAL && !attached)
      io::Violation(io::check::kDetachedAtSurpriseRemoval, device, nullptr,
                    which + " detached itself at surprise removal, before its remove");
    if (minor == IRP_MN_SURPRISE_REMOVAL && deleted)
      io::Violation(io::check::kDeletedAtSurpriseRemoval, device, nullptr,
                    which + " deleted itself at surprise removal, before its remove");
    ObDereferenceObject(device);
  }
}

// AddDevice's duties: DO_DEVICE_INITIALIZING cleared on what it created,
// the lower device's I/O method and power-pageable flag taken over, never
// both I/O methods, and a routine for every required major function.
void VerifyAddDevice(PDEVICE_OBJECT pdo) {
  std::vector<PDEVICE_OBJECT> devices = ReferenceDevicesAbove(pdo);
  PDEVICE_OBJECT lower = pdo;
  for (PDEVICE_OBJECT device : devices) {
    const ULONG flags = device->Flags, below = lower->Flags;
    const std::string which = io::DeviceText(device);
    for (UCHAR major : io::kRequiredMajors) io::VerifyRequiredDispatch(device, major, nullptr);
    if (flags & DO_DEVICE_INITIALIZING)
      io::Violation(io::check::kStillInitializing, device, pdo, which + " is still DO_DEVICE_INITIALIZING after AddDevice");
    if ((flags & DO_BUFFERED_IO) && (flags & DO_DIRECT_IO))
      io::Violation(io::check::kBothIoMethods, device, pdo, which + " has both DO_BUFFERED_IO and DO_DIRECT_IO");
    else if ((below & (DO_BUFFERED_IO | DO_DIRECT_IO)) && !(flags & (DO_BUFFERED_IO | DO_DIRECT_IO)))
      io::Violation(io::check::kIoMethodNotCopied, device, lower, which + " did not take over its lower device's I/O method");
    if ((below & DO_POWER_PAGABLE) && !(flags & DO_POWER_PAGABLE))
      io::Violation(io::check::kPowerPagableNotInherited, device, lower,
                    which + " is not DO_POWER_PAGABLE above " + io::DeviceText(lower) +
                        ", which is: every device above a pageable one must be pageable too");
    lower = device;
    ObDereferenceObject(device);
  }
}

}  // namespace host::detail
