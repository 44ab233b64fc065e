// The driver frame: entry point, port numbers, registry settings.
#include <vector>

#include "frame_fixture.h"
#include "host/kernel/registry.h"

namespace {

using FrameTest = DriverUnitTest;

NTSTATUS NTAPI EntryThatServesNothing(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_SUCCESS; }

// What the I/O manager leaves in a slot the driver does not fill, taken from
// a driver that fills none: the requests the platform may send the bridge
// (opened by programs, on a USB stack) or its child printer device (a PDO)
// must not reach it.
TEST_F(FrameTest, EveryRequestThePlatformSendsEitherDeviceHasARoutineOfItsOwn) {
  PDRIVER_OBJECT bare = host::CreateDriverObject(u"\\Driver\\bare", EntryThatServesNothing);
  ASSERT_NE(bare, nullptr);
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL,
                      IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_POWER, IRP_MJ_PNP, IRP_MJ_SYSTEM_CONTROL}) {
    EXPECT_NE(driver_->MajorFunction[major], bare->MajorFunction[major]) << "major function " << int(major);
  }
  host::DeleteDriverObject(bare);
  EXPECT_NE(driver_->DriverExtension->AddDevice, nullptr);
  EXPECT_NE(driver_->DriverUnload, nullptr);
}

TEST_F(FrameTest, EntryResetsThePortMapAndKeepsTheSettings) {
  DriverGlobals.NameCounter = 7;
  DriverGlobals.PortBitmap[2] = 0x12345678;
  ULONG maxTransferSize = DriverGlobals.MaxTransferSize;
  ASSERT_EQ(DriverEntry(driver_, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(DriverGlobals.NameCounter, 0);
  for (ULONG word : DriverGlobals.PortBitmap) EXPECT_EQ(word, 0u);
  EXPECT_EQ(DriverGlobals.MaxTransferSize, maxTransferSize) << "settings keep their values";
}

TEST_F(FrameTest, ImageStartsWithDefaultSettings) {
  EXPECT_EQ(DriverGlobals.MaxTransferSize, 4096u);
  EXPECT_EQ(DriverGlobals.AltSetting, 0);
  EXPECT_EQ(DriverGlobals.IfSetting, 0);
}

class PortNumberTest : public DriverUnitTest {
 protected:
  void SetUp() override {
    DriverUnitTest::SetUp();
    pdo_ = CreateStandInDevice();
  }
  void TearDown() override {
    IoDeleteDevice(pdo_);
    DriverUnitTest::TearDown();
  }
  // The number handed out, whatever the registry writes gave.
  USHORT Allocate() {
    USHORT number = 0xFFFF;
    AllocatePortName(pdo_, 1, &number);
    return number;
  }
  void Free(USHORT number) { AllocatePortName(pdo_, 0, &number); }
  PDEVICE_OBJECT pdo_ = nullptr;
};

TEST_F(PortNumberTest, HandsOutTheLowestFreeNumberMostSignificantBitFirst) {
  EXPECT_EQ(Allocate(), 0);
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0x80000000u);
  EXPECT_EQ(Allocate(), 1);
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0xC0000000u);
  for (USHORT expected = 2; expected < 128; ++expected) ASSERT_EQ(Allocate(), expected);
  for (ULONG word : DriverGlobals.PortBitmap) EXPECT_EQ(word, 0xFFFFFFFFu);

  USHORT untouched = 0xABCD;
  EXPECT_EQ(AllocatePortName(pdo_, 1, &untouched), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(untouched, 0xABCD) << "no number when all 128 are taken";

  Free(5);
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0xFBFFFFFFu);
  Free(40);
  EXPECT_EQ(DriverGlobals.PortBitmap[1], 0xFF7FFFFFu);
  EXPECT_EQ(Allocate(), 5) << "numbers are reused lowest first";
  EXPECT_EQ(Allocate(), 40);
}

// A bridge whose "Port Name" cannot be written (the stand-in is no device the
// Plug and Play manager knows, so it has no registry keys) is not created: the
// registry's own refusal is handed on, and the number is free again.
TEST_F(PortNumberTest, ABridgeThatCannotBeCreatedGivesItsNumberBack) {
  PDEVICE_OBJECT bridge = nullptr;
  EXPECT_EQ(CreateBridgeDevice(driver_, pdo_, &bridge), STATUS_INVALID_DEVICE_REQUEST);
  for (ULONG word : DriverGlobals.PortBitmap) EXPECT_EQ(word, 0u);
}

TEST_F(PortNumberTest, FreeingANumberOutOfRangeChangesNoBit) {
  EXPECT_EQ(Allocate(), 0);
  Free(128);
  Free(0xFFFF);
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0x80000000u);
  for (int word = 1; word < 4; ++word) EXPECT_EQ(DriverGlobals.PortBitmap[word], 0u);
}

TEST_F(PortNumberTest, AllocationWithoutAPlaceForTheNumberStillTakesOne) {
  AllocatePortName(pdo_, 1, nullptr);
  EXPECT_EQ(DriverGlobals.PortBitmap[0], 0x80000000u);
  EXPECT_EQ(Allocate(), 1);
}

// A device without a driver key (the stand-in has none) has no settings to
// read: each keeps its value.
TEST_F(PortNumberTest, ADeviceWithoutADriverKeyHasNoSettingsToRead) {
  EXPECT_FALSE(ReadSettings(pdo_));
  EXPECT_EQ(DriverGlobals.MaxTransferSize, 4096u);
}

// Values read through QueryDwordValue from a key of the in-memory registry.
class DwordValueTest : public DriverUnitTest {
 protected:
  static constexpr const char *kKey = "\\Registry\\Machine\\System\\NorvUsbTest";
  void SetUp() override {
    DriverUnitTest::SetUp();
    host::registry::CreateKey(kKey);
    key_ = host::registry::OpenKeyHandle(kKey, KEY_READ);
    ASSERT_NE(key_, nullptr);
  }
  void TearDown() override {
    ZwClose(key_);
    DriverUnitTest::TearDown();
  }
  // The target lies between two guards, so that a write of another shape
  // than 4 bytes shows.
  struct Guarded {
    ULONG before = 0xB0B0B0B0;
    ULONG value = 0;
    ULONG after[6] = {0xA0A0A0A0, 0xA0A0A0A0, 0xA0A0A0A0, 0xA0A0A0A0, 0xA0A0A0A0, 0xA0A0A0A0};
  };
  bool Query(Guarded &target) { return QueryDwordValue(key_, NORVUSB_WIDE("Setting"), &target.value) == TRUE; }
  static void ExpectGuardsIntact(const Guarded &target) {
    EXPECT_EQ(target.before, 0xB0B0B0B0u);
    for (ULONG word : target.after) EXPECT_EQ(word, 0xA0A0A0A0u);
  }
  HANDLE key_ = nullptr;
};

TEST_F(DwordValueTest, ReadsADword) {
  host::registry::SetDword(kKey, "Setting", 0x12345678);
  Guarded target;
  target.value = 99;
  EXPECT_TRUE(Query(target));
  EXPECT_EQ(target.value, 0x12345678u);
  ExpectGuardsIntact(target);
}

TEST_F(DwordValueTest, AbsentValueKeepsTheDefault) {
  Guarded target;
  target.value = 4096;
  EXPECT_TRUE(Query(target));
  EXPECT_EQ(target.value, 4096u);
  ExpectGuardsIntact(target);
}

TEST_F(DwordValueTest, ValueOfAnotherTypeOverwritesNothing) {
  struct Case {
    ULONG type;
    std::vector<uint8_t> data;
  };
  const std::vector<Case> cases = {
      {REG_SZ, {'8', 0, '1', 0, '9', 0, '2', 0, 0, 0}},
      {REG_EXPAND_SZ, {'1', 0, 0, 0}},
      {REG_MULTI_SZ, {'1', 0, 0, 0, '2', 0, 0, 0, 0, 0}},
      {REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}},
      {REG_BINARY, {1, 2, 3, 4}},
      {REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 1}},
      {REG_DWORD, {1, 2}},
      {REG_NONE, {}},
  };
  for (const Case &c : cases) {
    host::registry::SetValue(kKey, "Setting", c.type, c.data);
    Guarded target;
    target.value = 4096;
    Query(target);
    EXPECT_EQ(target.value, 4096u) << "type " << c.type << ", " << c.data.size() << " bytes";
    ExpectGuardsIntact(target);
  }
}

TEST_F(DwordValueTest, NoKeyNoValue) {
  ULONG value = 7;
  EXPECT_FALSE(QueryDwordValue(nullptr, NORVUSB_WIDE("Setting"), &value));
  EXPECT_EQ(value, 7u);
}

}  // namespace
