// The in-memory registry, for the PnP manager, the programs and the tests.
// The driver reaches the same data through RtlQueryRegistryValues,
// ZwSetValueKey and ZwClose (api/hostwdm.h).
//
// Paths are registry paths with backslashes, e.g.
// "\Registry\Machine\System\CurrentControlSet\Services\norvusb"; the leading
// backslash is optional, repeated ones do not matter, and names compare
// without regard to ASCII case, as on the platform. Names are UTF-8 here and
// UTF-16 on the kernel side. Every call is thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/kernel/api/hostwdm.h"

namespace host::registry {

struct Value {
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;  // as the kernel stores it: strings are UTF-16LE with their terminating null
};

void CreateKey(const std::string &path);  // with every missing parent
bool KeyExists(const std::string &path);
bool DeleteKey(const std::string &path);  // with its subkeys; open handles see it gone
std::vector<std::string> Subkeys(const std::string &path);     // names, in creation order
std::vector<std::string> ValueNames(const std::string &path);  // names, in creation order

// Values; the setters create the key as needed. "" names the key's default value.
void SetValue(const std::string &path, const std::string &name, ULONG type, std::vector<uint8_t> data);
void SetDword(const std::string &path, const std::string &name, uint32_t value);
void SetString(const std::string &path, const std::string &name, const std::string &text, ULONG type = REG_SZ);
std::optional<Value> GetValue(const std::string &path, const std::string &name);
std::optional<uint32_t> GetDword(const std::string &path, const std::string &name);  // REG_DWORD of 4 bytes only
std::optional<std::string> GetString(const std::string &path, const std::string &name);  // REG_SZ / REG_EXPAND_SZ
bool DeleteValue(const std::string &path, const std::string &name);

// A kernel handle on a key, creating the key as needed, as the PnP manager
// hands one out for IoOpenDeviceRegistryKey. The caller (the driver) closes
// it with ZwClose; handles still open at shutdown are reported as leaks.
HANDLE OpenKeyHandle(const std::string &path, ACCESS_MASK access);
std::optional<std::string> KeyPathOfHandle(HANDLE handle);  // null when not an open key handle

// A copy of the whole registry, for a test that starts each case from the
// same registry (a fuzz target that plugs one bridge per input: each plug
// leaves a new driver key behind, and every lookup walks them).
struct Key;
struct Snapshot {
  std::shared_ptr<const Key> root;
};
Snapshot TakeSnapshot();
// Puts back every key and value as `snapshot` holds them. Refused (false,
// nothing changed) while a key handle is open: it would name a key that no
// longer is.
bool Restore(const Snapshot &snapshot);

// Text conversions shared by the kernel's string routines.
std::string ToUtf8(const std::u16string &text);
std::u16string ToUtf16(const std::string &text);

}  // namespace host::registry
