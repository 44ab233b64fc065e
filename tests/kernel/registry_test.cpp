// The registry: the C++ side and the kernel routines, with the platform's
// RTL_QUERY_REGISTRY_DIRECT shapes for values of an unexpected type.
#include <cstring>
#include <vector>

#include "host/kernel/registry.h"
#include "tests/support/kernel_fixture.h"

namespace {

namespace reg = host::registry;

const std::string kKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\norvusb\\Parameters";

class RegistryTest : public KernelFixture {
 protected:
  void SetUp() override {
    KernelFixture::SetUp();
    handle_ = reg::OpenKeyHandle(kKey, KEY_READ);
  }
  void TearDown() override {
    if (handle_ != nullptr) {
      EXPECT_EQ(ZwClose(handle_), STATUS_SUCCESS);
    }
    KernelFixture::TearDown();
  }

  // One DIRECT entry for `name`, with a REG_DWORD default taken from *target,
  // as a driver reads a DWORD setting.
  NTSTATUS QueryDirect(const char16_t *name, void *target, ULONG flags = 0) {
    ULONG fallback = *static_cast<ULONG *>(target);
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | flags;
    table[0].Name = const_cast<PWSTR>(name);
    table[0].EntryContext = target;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &fallback;
    table[0].DefaultLength = sizeof fallback;
    return RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(handle_), table, nullptr, nullptr);
  }

  HANDLE handle_ = nullptr;
};

TEST_F(RegistryTest, CxxSideKeysAndValues) {
  reg::SetDword(kKey, "MaxTransferSize", 8192);
  reg::SetString(kKey, "Port Name", "NorvUSB1");
  EXPECT_EQ(reg::GetDword("registry\\MACHINE\\system\\CurrentControlSet\\services\\NORVUSB\\parameters\\",
                          "maxtransfersize"),
            8192u);
  EXPECT_EQ(reg::GetString(kKey, "Port Name"), "NorvUSB1");
  EXPECT_EQ(reg::GetDword(kKey, "Port Name"), std::nullopt);
  EXPECT_EQ(reg::ValueNames(kKey), (std::vector<std::string>{"MaxTransferSize", "Port Name"}));
  EXPECT_EQ(reg::Subkeys("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\norvusb"),
            std::vector<std::string>{"Parameters"});
  EXPECT_TRUE(reg::DeleteValue(kKey, "PORT NAME"));
  EXPECT_EQ(reg::GetValue(kKey, "Port Name"), std::nullopt);
}

TEST_F(RegistryTest, DirectDwordReadAndAbsentValueKeepsTheDefault) {
  reg::SetDword(kKey, "IFSetting", 2);
  ULONG ifSetting = 0, altSetting = 7;
  EXPECT_EQ(QueryDirect(u"IFSetting", &ifSetting), STATUS_SUCCESS);
  EXPECT_EQ(ifSetting, 2u);
  EXPECT_EQ(QueryDirect(u"AltSetting", &altSetting), STATUS_SUCCESS);
  EXPECT_EQ(altSetting, 7u);
  EXPECT_EQ(QueryDirect(u"AltSetting", &altSetting, RTL_QUERY_REGISTRY_REQUIRED), STATUS_OBJECT_NAME_NOT_FOUND);
}

// A string where a DWORD was expected: EntryContext is taken for a
// UNICODE_STRING. The DWORD's bytes become Length and MaximumLength, and the
// memory after it becomes the buffer pointer.
TEST_F(RegistryTest, DirectStringValueIsWrittenAsAUnicodeString) {
  reg::SetString(kKey, "MaxTransferSize", "4096");
  union {
    ULONG dword;
    UNICODE_STRING shape;
  } target{};
  target.dword = 4096;  // Length 4096, MaximumLength 0, Buffer null
  EXPECT_EQ(QueryDirect(u"MaxTransferSize", &target), STATUS_SUCCESS);
  ASSERT_NE(target.shape.Buffer, nullptr);  // the kernel allocated one, past the DWORD
  EXPECT_EQ(target.shape.Length, 8);
  EXPECT_EQ(std::u16string(target.shape.Buffer, 4), u"4096");
  ExFreePool(target.shape.Buffer);

  // With a buffer pointer already there and MaximumLength 0: too small.
  WCHAR elsewhere[8];
  target.dword = 4096;
  target.shape.Buffer = elsewhere;
  EXPECT_EQ(QueryDirect(u"MaxTransferSize", &target), STATUS_BUFFER_TOO_SMALL);
}

// Binary data longer than 4 bytes: the first LONG at EntryContext is read as
// the buffer size. A positive DWORD makes the kernel write length, type and
// data: 8 + N bytes over a 4-byte DWORD.
TEST_F(RegistryTest, DirectBinaryValueOverrunsADwordInPool) {
  reg::SetValue(kKey, "MaxTransferSize", REG_BINARY, {1, 2, 3, 4, 5, 6, 7, 8});
  auto *setting = static_cast<ULONG *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(ULONG), PoolTag("Set ")));
  *setting = 4096;
  EXPECT_EQ(QueryDirect(u"MaxTransferSize", setting), STATUS_SUCCESS);
  EXPECT_EQ(*setting, 8u);  // the length went where the value was
  ExFreePool(setting);
  EXPECT_TRUE(TakeBugCheck(host::bugcheck::kSpecialPoolCorruption));

  struct {
    LONG size;
    ULONG type;
    uint8_t data[8];
  } room{};
  room.size = sizeof room;
  EXPECT_EQ(QueryDirect(u"MaxTransferSize", &room), STATUS_SUCCESS);
  EXPECT_EQ(room.size, 8);
  EXPECT_EQ(room.type, static_cast<ULONG>(REG_BINARY));
  EXPECT_EQ(room.data[7], 8);

  // Negative: the bare data, if they fit.
  LONG bare[2] = {-8, 0};
  EXPECT_EQ(QueryDirect(u"MaxTransferSize", bare), STATUS_SUCCESS);
  EXPECT_EQ(std::memcmp(bare, "\1\2\3\4\5\6\7\10", 8), 0);
  LONG tooSmall[2] = {-4, 0};
  EXPECT_EQ(QueryDirect(u"MaxTransferSize", tooSmall), STATUS_BUFFER_TOO_SMALL);

  // Zero (a DWORD setting of 0): too small, nothing written.
  ULONG zero = 0;
  EXPECT_EQ(QueryDirect(u"MaxTransferSize", &zero), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(zero, 0u);
}

TEST_F(RegistryTest, ShortNonStringValuesAreCopiedAsTheyAre) {
  reg::SetValue(kKey, "IFSetting", REG_BINARY, {0xAB});
  ULONG setting = 0x11223344;
  EXPECT_EQ(QueryDirect(u"IFSetting", &setting), STATUS_SUCCESS);
  EXPECT_EQ(setting, 0x112233ABu);  // one byte written, the rest left
}

NTSTATUS NTAPI Collect(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context, PVOID entryContext) {
  auto *seen = static_cast<std::vector<std::u16string> *>(context);
  std::u16string text = name ? std::u16string(name) : u"(none)";
  text += u":" + std::u16string(1, static_cast<char16_t>(u'0' + type)) + u":";
  if (type == REG_SZ) text += static_cast<const char16_t *>(data);
  if (entryContext != nullptr) return STATUS_INVALID_PARAMETER;  // ends the query
  (void)length;
  seen->push_back(text);
  return STATUS_SUCCESS;
}

TEST_F(RegistryTest, QueryRoutinesSeeEachValueAndMultiStringsOneByOne) {
  reg::SetValue(kKey, "List", REG_MULTI_SZ, {'a', 0, 0, 0, 'b', 0, 0, 0, 0, 0});
  reg::SetString(kKey, "Path", "%SystemRoot%", REG_EXPAND_SZ);
  std::vector<std::u16string> seen;
  RTL_QUERY_REGISTRY_TABLE table[4] = {};
  table[0].QueryRoutine = Collect;
  table[0].Name = const_cast<PWSTR>(u"List");
  table[1].QueryRoutine = Collect;
  table[1].Name = const_cast<PWSTR>(u"Path");
  table[2].QueryRoutine = Collect;
  table[2].Name = const_cast<PWSTR>(u"Missing");
  table[2].DefaultType = REG_SZ;
  table[2].DefaultData = const_cast<char16_t *>(u"dflt");
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reg::ToUtf16(kKey).c_str(), table, &seen, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(seen, (std::vector<std::u16string>{u"List:1:a", u"List:1:b", u"Path:1:%SystemRoot%", u"Missing:1:dflt"}));

  // A routine's failure ends the query with its status.
  table[0].EntryContext = &seen;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, reg::ToUtf16(kKey).c_str(), table, &seen, nullptr),
            STATUS_INVALID_PARAMETER);
}

TEST_F(RegistryTest, KeysAndHandlesOfTheQuery) {
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  ULONG value = 0;
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;
  table[0].Name = const_cast<PWSTR>(u"X");
  table[0].EntryContext = &value;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, u"\\Registry\\Nowhere", table, nullptr, nullptr),
            STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, u"\\Registry\\Nowhere", table,
                                   nullptr, nullptr),
            STATUS_SUCCESS);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, reinterpret_cast<PCWSTR>(0x1234), table, nullptr, nullptr),
            STATUS_INVALID_HANDLE);
  HANDLE writeOnly = reg::OpenKeyHandle(kKey, KEY_SET_VALUE);
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_HANDLE, static_cast<PCWSTR>(writeOnly), table, nullptr, nullptr),
            STATUS_ACCESS_DENIED);
  EXPECT_EQ(ZwClose(writeOnly), STATUS_SUCCESS);
}

TEST_F(RegistryTest, SetValueNeedsWriteAccessAndAnOpenHandle) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"Port Name");
  WCHAR text[] = u"NorvUSB3";
  EXPECT_EQ(ZwSetValueKey(handle_, &name, 0, REG_SZ, text, 16), STATUS_ACCESS_DENIED);
  HANDLE writable = reg::OpenKeyHandle(kKey, KEY_WRITE);
  EXPECT_EQ(ZwSetValueKey(writable, &name, 0, REG_SZ, text, 16), STATUS_SUCCESS);
  EXPECT_EQ(reg::GetString(kKey, "port name"), "NorvUSB3");  // stored without a null: still read right
  EXPECT_EQ(reg::GetValue(kKey, "Port Name")->data.size(), 16u);
  EXPECT_EQ(ZwClose(writable), STATUS_SUCCESS);

  EXPECT_EQ(ZwSetValueKey(writable, &name, 0, REG_SZ, text, 16), STATUS_INVALID_HANDLE);
  EXPECT_EQ(ZwClose(writable), STATUS_INVALID_HANDLE);
  EXPECT_TRUE(TakeBugCheck(host::bugcheck::kInvalidKernelHandle));
}

// The registry changed every way it can after a snapshot: the restore undoes
// all of it, and is refused while a key handle is open.
TEST_F(RegistryTest, RestorePutsBackTheSnapshot) {
  const std::string other = kKey + "\\Other";
  reg::SetDword(kKey, "Kept", 1);
  reg::SetDword(other, "Gone", 2);
  const reg::Snapshot snapshot = reg::TakeSnapshot();
  reg::SetDword(kKey, "Kept", 3);
  reg::SetDword(kKey, "Added", 4);
  reg::CreateKey(kKey + "\\New\\Deeper");
  reg::DeleteKey(other);
  EXPECT_FALSE(reg::Restore(snapshot));  // the fixture's handle is open
  EXPECT_EQ(reg::GetDword(kKey, "Kept"), 3u);
  ASSERT_EQ(ZwClose(handle_), STATUS_SUCCESS);
  handle_ = nullptr;
  ASSERT_TRUE(reg::Restore(snapshot));
  EXPECT_EQ(reg::GetDword(kKey, "Kept"), 1u);
  EXPECT_FALSE(reg::GetDword(kKey, "Added"));
  EXPECT_FALSE(reg::KeyExists(kKey + "\\New"));
  EXPECT_EQ(reg::GetDword(other, "Gone"), 2u);
  // The snapshot is a copy: a change after the restore leaves it as it was.
  reg::SetDword(kKey, "Kept", 5);
  ASSERT_TRUE(reg::Restore(snapshot));
  EXPECT_EQ(reg::GetDword(kKey, "Kept"), 1u);
}

TEST_F(RegistryTest, HandleLeftOpenIsReportedAtShutdown) {
  reg::OpenKeyHandle(kKey, KEY_READ);
  ShutDownKernel();
  auto checks = TakeBugChecks();
  ASSERT_EQ(checks.size(), 1u);
  EXPECT_EQ(checks[0].code, host::bugcheck::kUnloadedWithPendingWork);
  EXPECT_NE(checks[0].what.find("Parameters"), std::string::npos) << checks[0].what;
  handle_ = nullptr;  // gone with the machine
}

TEST_F(RegistryTest, RegistryRoutinesRunAtPassiveLevelOnly) {
  ULONG value = 0;
  host::RunAtDispatchLevel([&] { EXPECT_FALSE(NT_SUCCESS(QueryDirect(u"X", &value))); });
  EXPECT_TRUE(TakeBugCheck(host::bugcheck::kIrqlNotLessOrEqual));
}

}  // namespace
