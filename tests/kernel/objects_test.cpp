// Device objects, attachment, deferred deletion and the object namespace.
#include "host/kernel/detail.h"
#include "host/io/io_internal.h"
#include "tests/kernel/io_test_driver.h"
#include "tests/support/kernel_fixture.h"

namespace {

using namespace iotest;
namespace check = host::io::check;

class ObjectsTest : public KernelFixture {
 protected:
  void SetUp() override {
    KernelFixture::SetUp();
    driver_ = CreateDriverObject(u"\\Driver\\ObjTest", Entry);
    ASSERT_NE(driver_, nullptr);
  }
  void TearDown() override {
    host::DeleteDriverObject(driver_);
    KernelFixture::TearDown();
  }
  static PDRIVER_OBJECT CreateDriverObject(const std::u16string &name, PDRIVER_INITIALIZE entry) {
    return host::CreateDriverObject(name, entry);
  }
  NTSTATUS Create(const char16_t *name, PDEVICE_OBJECT *device, ULONG extension = 64, BOOLEAN exclusive = FALSE) {
    UNICODE_STRING counted = Counted(name ? name : u"");
    return IoCreateDevice(driver_, extension, name ? &counted : nullptr, FILE_DEVICE_UNKNOWN, 0, exclusive, device);
  }
  size_t Leaks() { return host::detail::IoManagerLeaks().size(); }

  PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(ObjectsTest, ANewDeviceIsZeroedInitializingAndListedWithItsDriver) {
  PDEVICE_OBJECT a, b, unnamed;
  ASSERT_EQ(Create(u"\\Device\\ObjA", &a, 100, TRUE), STATUS_SUCCESS);
  ASSERT_EQ(Create(u"\\Device\\ObjB", &b), STATUS_SUCCESS);
  ASSERT_EQ(Create(nullptr, &unnamed, 0), STATUS_SUCCESS);
  auto extension = static_cast<unsigned char *>(a->DeviceExtension);
  EXPECT_TRUE(std::all_of(extension, extension + 100, [](unsigned char c) { return c == 0; }));
  EXPECT_EQ(a->Flags & (DO_EXCLUSIVE | DO_DEVICE_INITIALIZING), ULONG(DO_EXCLUSIVE | DO_DEVICE_INITIALIZING));
  EXPECT_EQ(b->Flags & DO_EXCLUSIVE, 0u);
  EXPECT_EQ(a->StackSize, 1);
  EXPECT_EQ(a->DriverObject, driver_);
  EXPECT_EQ(unnamed->DeviceExtension, nullptr);
  EXPECT_EQ(driver_->DeviceObject, unnamed);  // newest first
  EXPECT_EQ(unnamed->NextDevice, b);
  EXPECT_EQ(b->NextDevice, a);
  EXPECT_EQ(host::LookupDevice(u"\\device\\obja"), a);  // names ignore case

  IoDeleteDevice(b);
  EXPECT_EQ(unnamed->NextDevice, a);
  EXPECT_EQ(host::LookupDevice(u"\\Device\\ObjB"), nullptr);
  IoDeleteDevice(a);
  IoDeleteDevice(unnamed);
  EXPECT_EQ(driver_->DeviceObject, nullptr);
  EXPECT_EQ(Leaks(), 0u);
}

TEST_F(ObjectsTest, NamesAreCheckedAndCollisionsRefused) {
  PDEVICE_OBJECT a = nullptr, b = nullptr;
  ASSERT_EQ(Create(u"\\Device\\Same", &a), STATUS_SUCCESS);
  EXPECT_EQ(Create(u"\\DEVICE\\same", &b), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(b, nullptr);
  EXPECT_EQ(Create(u"\\Elsewhere\\X", &b), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Create(u"\\Device\\", &b), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(Create(u"\\Device\\A\\B", &b), STATUS_OBJECT_NAME_INVALID);

  UNICODE_STRING link = Counted(u"\\DosDevices\\Port1"), target = Counted(u"\\Device\\Same");
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
  UNICODE_STRING alias = Counted(u"\\??\\PORT1");  // the same directory
  EXPECT_EQ(IoCreateSymbolicLink(&alias, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(host::LookupDevice(u"\\DosDevices\\port1"), a);
  EXPECT_EQ(host::SymbolicLinks(), std::vector<std::u16string>{u"\\DosDevices\\Port1"});
  EXPECT_EQ(IoDeleteSymbolicLink(&alias), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_TRUE(host::SymbolicLinks().empty());
  IoDeleteDevice(a);
  // A name is free again as soon as its device is deleted.
  ASSERT_EQ(Create(u"\\Device\\Same", &b), STATUS_SUCCESS);
  IoDeleteDevice(b);
}

TEST_F(ObjectsTest, AttachingStacksUpAndDetachingUndoesIt) {
  PDEVICE_OBJECT pdo, filter, fdo;
  Create(nullptr, &pdo);
  Create(nullptr, &filter);
  Create(nullptr, &fdo);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), pdo);
  // Allowed up to DISPATCH_LEVEL, as documented (a filter attaching under its lock).
  PDEVICE_OBJECT below = nullptr;
  host::RunAtDispatchLevel([&] { below = IoAttachDeviceToDeviceStack(fdo, pdo); });
  EXPECT_EQ(below, filter);  // goes on the top
  EXPECT_EQ(fdo->StackSize, 3);
  EXPECT_EQ(host::detail::AttachedDeviceTop(pdo), fdo);

  IoDeleteDevice(filter);  // still attached to the PDO: refused
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kDeleteWhileAttached));
  IoDetachDevice(filter);
  IoDetachDevice(filter);
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kDetachTwice));
  IoDetachDevice(pdo);
  IoDeleteDevice(fdo);
  IoDeleteDevice(filter);
  IoDeleteDevice(pdo);
  IoDeleteDevice(pdo);
  EXPECT_TRUE(TakeBugCheck(0xC9, check::kDeleteTwice));
}

TEST_F(ObjectsTest, DeletionWaitsForTheLastReferenceAndTheDeviceAbove) {
  PDEVICE_OBJECT pdo, fdo;
  Create(u"\\Device\\Pdo", &pdo);
  Create(nullptr, &fdo);
  IoAttachDeviceToDeviceStack(fdo, pdo);
  ObReferenceObject(pdo);
  IoDeleteDevice(pdo);  // a bus driver deletes its PDO while the FDO is still on it
  EXPECT_EQ(host::LookupDevice(u"\\Device\\Pdo"), nullptr);
  EXPECT_EQ(driver_->DeviceObject, fdo);
  EXPECT_EQ(Leaks(), 2u);
  IoDetachDevice(pdo);  // the storage is still there for this
  ObDereferenceObject(pdo);
  EXPECT_EQ(Leaks(), 1u);
  ObDereferenceObject(fdo);  // nobody holds this reference
  EXPECT_TRUE(TakeBugCheck(0x18));
  IoDeleteDevice(fdo);
  EXPECT_EQ(Leaks(), 0u);
}

TEST_F(ObjectsTest, DriverEntryFailureLeavesNoDriver) {
  auto failing = [](PDRIVER_OBJECT, PUNICODE_STRING) -> NTSTATUS { return STATUS_UNSUCCESSFUL; };
  EXPECT_EQ(host::CreateDriverObject(u"\\Driver\\Broken", failing), nullptr);
  EXPECT_EQ(host::CreateDriverObject(u"\\Driver\\ObjTest", Entry), nullptr);  // taken
  PDRIVER_OBJECT other = host::CreateDriverObject(u"Other", nullptr);
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(other->MajorFunction[IRP_MJ_CREATE], host::io::DefaultDispatch);
  EXPECT_EQ(std::u16string(other->DriverExtension->ServiceKeyName.Buffer,
                           other->DriverExtension->ServiceKeyName.Length / 2),
            u"Other");
  host::DeleteDriverObject(other);
}

}  // namespace
