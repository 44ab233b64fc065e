// The in-memory registry and the kernel's registry routines.
//
// RtlQueryRegistryValues follows the platform's documented behaviour to the
// letter, including what RTL_QUERY_REGISTRY_DIRECT does when a value's type
// is not the one the caller expected: the data are written in the shape their
// own type dictates, whatever EntryContext really points to. A driver that
// does not guard against that corrupts its memory here as it would there.
#include "host/kernel/scheduler.h"
#include "host/kernel/registry.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "host/kernel/detail.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/watchdog.h"

namespace host::registry {

struct Key {
  std::string name;
  std::vector<std::shared_ptr<Key>> subkeys;          // creation order
  // The same subkeys by their name in lower case: a key with many (an
  // enumerator's, a class's) is searched without a walk over them all.
  std::unordered_map<std::string, std::shared_ptr<Key>> byName;
  std::vector<std::pair<std::string, Value>> values;  // creation order
  bool deleted = false;
};

namespace {

constexpr NTSTATUS kStatusKeyDeleted = static_cast<NTSTATUS>(0xC000017C);
constexpr uintptr_t kFirstHandle = 0x80000004;  // kernel handles have the top bit set
constexpr ULONG kQueryTag = 0x76727152;         // 'Rqrv': strings RtlQueryRegistryValues allocates

using KeyPtr = std::shared_ptr<Key>;

struct OpenHandle {
  KeyPtr key;
  ACCESS_MASK access = 0;
  std::string path;
};

struct Registry {
  host::Mutex mutex;
  KeyPtr root = std::make_shared<Key>();
  std::unordered_map<uintptr_t, OpenHandle> handles;
  uintptr_t nextHandle = kFirstHandle;
};

Registry &TheRegistry() {
  static Registry registry;
  return registry;
}

bool SameName(const std::string &a, const std::string &b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto fold = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    return fold(x) == fold(y);
  });
}

std::vector<std::string> Components(const std::string &path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::string Joined(const std::vector<std::string> &parts) {
  std::string path;
  for (const auto &part : parts) path += "\\" + part;
  return path.empty() ? "\\" : path;
}

std::string Folded(const std::string &name) {
  std::string folded = name;
  for (char &c : folded) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return folded;
}

KeyPtr ChildLocked(const Key &key, const std::string &name) {
  auto found = key.byName.find(Folded(name));
  return found != key.byName.end() ? found->second : nullptr;
}

void AddChildLocked(Key &parent, KeyPtr child) {
  parent.byName.emplace(Folded(child->name), child);
  parent.subkeys.push_back(std::move(child));
}

KeyPtr FindLocked(KeyPtr from, const std::string &path) {
  for (const auto &part : Components(path)) {
    if (!from) return nullptr;
    from = ChildLocked(*from, part);
  }
  return from;
}

KeyPtr CreateLocked(KeyPtr from, const std::string &path) {
  for (const auto &part : Components(path)) {
    KeyPtr child = ChildLocked(*from, part);
    if (!child) {
      child = std::make_shared<Key>();
      child->name = part;
      AddChildLocked(*from, child);
    }
    from = child;
  }
  return from;
}

void MarkDeleted(Key &key) {
  key.deleted = true;
  for (auto &child : key.subkeys) MarkDeleted(*child);
}

KeyPtr Copy(const Key &key) {
  auto copy = std::make_shared<Key>();
  copy->name = key.name;
  copy->values = key.values;
  for (const auto &child : key.subkeys) AddChildLocked(*copy, Copy(*child));
  return copy;
}

Value *ValueLocked(Key &key, const std::string &name) {
  for (auto &[valueName, value] : key.values) {
    if (SameName(valueName, name)) return &value;
  }
  return nullptr;
}

void SetLocked(Key &key, const std::string &name, Value value) {
  if (Value *existing = ValueLocked(key, name)) {
    *existing = std::move(value);
  } else {
    key.values.emplace_back(name, std::move(value));
  }
}

std::vector<uint8_t> StringBytes(const std::u16string &text) {
  std::vector<uint8_t> bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<uint8_t>(c & 0xFF));
    bytes.push_back(static_cast<uint8_t>(c >> 8));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

std::u16string WideOf(PCWSTR text) { return text == nullptr ? std::u16string() : std::u16string(text); }

std::u16string WideOf(PCUNICODE_STRING text) {
  return std::u16string(text->Buffer, text->Buffer + text->Length / sizeof(WCHAR));
}

}  // namespace

// ------------------------------------------------------------------ text
std::string ToUtf8(const std::u16string &text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    uint32_t c = text[i];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (c >= 0xD800 && c < 0xE000) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::u16string ToUtf16(const std::string &text) {
  std::u16string out;
  for (size_t i = 0; i < text.size();) {
    auto byte = static_cast<unsigned char>(text[i]);
    int extra = byte < 0x80 ? 0 : (byte >> 5) == 6 ? 1 : (byte >> 4) == 14 ? 2 : (byte >> 3) == 30 ? 3 : -1;
    uint32_t c = extra == 0 ? byte : extra == 1 ? (byte & 0x1F) : extra == 2 ? (byte & 0x0F) : (byte & 0x07);
    bool valid = extra >= 0 && i + extra < text.size();
    for (int k = 1; valid && k <= extra; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      c = (c << 6) | (next & 0x3F);
    }
    if (!valid) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    i += extra + 1;
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

// ------------------------------------------------------------------ the C++ side
void CreateKey(const std::string &path) {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  CreateLocked(r.root, path);
}

bool KeyExists(const std::string &path) {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  return FindLocked(r.root, path) != nullptr;
}

bool DeleteKey(const std::string &path) {
  auto parts = Components(path);
  if (parts.empty()) return false;  // the root stays
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  std::string last = parts.back();
  parts.pop_back();
  KeyPtr parent = FindLocked(r.root, Joined(parts));
  KeyPtr key = parent ? ChildLocked(*parent, last) : nullptr;
  if (!key) return false;
  MarkDeleted(*key);
  std::erase(parent->subkeys, key);
  parent->byName.erase(Folded(last));
  return true;
}

std::vector<std::string> Subkeys(const std::string &path) {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  std::vector<std::string> names;
  if (KeyPtr key = FindLocked(r.root, path)) {
    for (const auto &child : key->subkeys) names.push_back(child->name);
  }
  return names;
}

std::vector<std::string> ValueNames(const std::string &path) {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  std::vector<std::string> names;
  if (KeyPtr key = FindLocked(r.root, path)) {
    for (const auto &[name, value] : key->values) names.push_back(name);
  }
  return names;
}

void SetValue(const std::string &path, const std::string &name, ULONG type, std::vector<uint8_t> data) {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  SetLocked(*CreateLocked(r.root, path), name, Value{type, std::move(data)});
}

void SetDword(const std::string &path, const std::string &name, uint32_t value) {
  SetValue(path, name, REG_DWORD,
           {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)});
}

void SetString(const std::string &path, const std::string &name, const std::string &text, ULONG type) {
  SetValue(path, name, type, StringBytes(ToUtf16(text)));
}

std::optional<Value> GetValue(const std::string &path, const std::string &name) {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  KeyPtr key = FindLocked(r.root, path);
  Value *value = key ? ValueLocked(*key, name) : nullptr;
  if (value == nullptr) return std::nullopt;
  return *value;
}

std::optional<uint32_t> GetDword(const std::string &path, const std::string &name) {
  auto value = GetValue(path, name);
  if (!value || value->type != REG_DWORD || value->data.size() != 4) return std::nullopt;
  const auto &d = value->data;
  return uint32_t(d[0]) | uint32_t(d[1]) << 8 | uint32_t(d[2]) << 16 | uint32_t(d[3]) << 24;
}

std::optional<std::string> GetString(const std::string &path, const std::string &name) {
  auto value = GetValue(path, name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  std::u16string text;
  for (size_t i = 0; i + 1 < value->data.size(); i += 2) {
    char16_t c = static_cast<char16_t>(value->data[i] | value->data[i + 1] << 8);
    if (c == 0) break;
    text += c;
  }
  return ToUtf8(text);
}

bool DeleteValue(const std::string &path, const std::string &name) {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  KeyPtr key = FindLocked(r.root, path);
  if (!key) return false;
  return std::erase_if(key->values, [&](const auto &entry) { return SameName(entry.first, name); }) > 0;
}

Snapshot TakeSnapshot() {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  return {Copy(*r.root)};
}

bool Restore(const Snapshot &snapshot) {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  if (!r.handles.empty()) return false;
  MarkDeleted(*r.root);
  r.root = Copy(*snapshot.root);
  return true;
}

HANDLE OpenKeyHandle(const std::string &path, ACCESS_MASK access) {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  KeyPtr key = CreateLocked(r.root, path);
  uintptr_t handle = r.nextHandle;
  r.nextHandle += 4;
  r.handles.emplace(handle, OpenHandle{key, access, Joined(Components(path))});
  return reinterpret_cast<HANDLE>(handle);
}

std::optional<std::string> KeyPathOfHandle(HANDLE handle) {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  auto found = r.handles.find(reinterpret_cast<uintptr_t>(handle));
  if (found == r.handles.end()) return std::nullopt;
  return found->second.path;
}

// ------------------------------------------------------------------ the query engine
namespace {

// What a query sees of one value: copied out, so that query routines run
// without the registry lock (they may well use the registry themselves).
struct Found {
  std::u16string name;
  ULONG type = REG_NONE;
  std::vector<uint8_t> data;
};

bool IsString(ULONG type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

// RTL_QUERY_REGISTRY_DIRECT: the data go where EntryContext points, in the
// shape the data's own type dictates.
NTSTATUS StoreDirect(PVOID context, ULONG type, const std::vector<uint8_t> &data) {
  if (context == nullptr) return STATUS_INVALID_PARAMETER;
  auto length = static_cast<ULONG>(data.size());
  if (IsString(type)) {
    auto *target = static_cast<PUNICODE_STRING>(context);
    if (length == 0) {
      target->Length = 0;
      return STATUS_SUCCESS;
    }
    if (length > 0xFFFF) return STATUS_BUFFER_TOO_SMALL;
    if (target->Buffer == nullptr) {
      target->Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, length, kQueryTag));
      if (target->Buffer == nullptr) return STATUS_NO_MEMORY;
      target->MaximumLength = static_cast<USHORT>(length);
    } else if (length > target->MaximumLength) {
      return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(target->Buffer, data.data(), length);
    bool terminated = length >= 2 && data[length - 1] == 0 && data[length - 2] == 0;
    target->Length = static_cast<USHORT>(terminated ? length - sizeof(WCHAR) : length);
    return STATUS_SUCCESS;
  }
  if (length <= sizeof(ULONG)) {
    std::memcpy(context, data.data(), length);
    return STATUS_SUCCESS;
  }
  LONG size;
  std::memcpy(&size, context, sizeof size);
  auto *bytes = static_cast<uint8_t *>(context);
  if (size < 0) {
    // A negative size asks for the bare data.
    if (static_cast<int64_t>(length) > -static_cast<int64_t>(size)) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(bytes, data.data(), length);
    return STATUS_SUCCESS;
  }
  // Otherwise: length, type, then the data.
  if (static_cast<uint64_t>(size) < uint64_t{length} + 2 * sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
  ULONG header[2] = {length, type};
  std::memcpy(bytes, header, sizeof header);
  std::memcpy(bytes + sizeof header, data.data(), length);
  return STATUS_SUCCESS;
}

NTSTATUS CallRoutine(const RTL_QUERY_REGISTRY_TABLE &entry, std::u16string name, ULONG type,
                     std::vector<uint8_t> data, PVOID context) {
  PWSTR namePointer = name.data();
  return entry.QueryRoutine(namePointer, type, data.empty() ? nullptr : data.data(), static_cast<ULONG>(data.size()),
                            context, entry.EntryContext);
}

// Hands one value to the entry: DIRECT stores it, otherwise the routine gets
// it, a REG_MULTI_SZ one string at a time unless NOEXPAND. There is no
// environment in the model, so REG_EXPAND_SZ text arrives unchanged as REG_SZ.
NTSTATUS Deliver(const RTL_QUERY_REGISTRY_TABLE &entry, const Found &value, PVOID context) {
  bool expand = (entry.Flags & RTL_QUERY_REGISTRY_NOEXPAND) == 0;
  if (entry.Flags & RTL_QUERY_REGISTRY_DIRECT) {
    return StoreDirect(entry.EntryContext, value.type, value.data);
  }
  if (entry.QueryRoutine == nullptr) return STATUS_SUCCESS;
  if (expand && value.type == REG_EXPAND_SZ) return CallRoutine(entry, value.name, REG_SZ, value.data, context);
  if (expand && value.type == REG_MULTI_SZ) {
    size_t start = 0;
    while (start + 1 < value.data.size()) {
      size_t end = start;
      while (end + 1 < value.data.size() && (value.data[end] | value.data[end + 1]) != 0) end += 2;
      if (end == start) break;  // the empty string that ends the list
      std::vector<uint8_t> one(value.data.begin() + std::ptrdiff_t(start), value.data.begin() + std::ptrdiff_t(end));
      one.insert(one.end(), {0, 0});
      if (NTSTATUS status = CallRoutine(entry, value.name, REG_SZ, std::move(one), context); !NT_SUCCESS(status)) {
        return status;
      }
      start = end + 2;
    }
    return STATUS_SUCCESS;
  }
  return CallRoutine(entry, value.name, value.type, value.data, context);
}

// The entry's default, as if it were the value, or nullopt when it has none.
std::optional<Found> DefaultOf(const RTL_QUERY_REGISTRY_TABLE &entry) {
  if (entry.DefaultType == REG_NONE) return std::nullopt;
  Found value{WideOf(entry.Name), entry.DefaultType, {}};
  ULONG length = entry.DefaultLength;
  auto text = static_cast<const WCHAR *>(entry.DefaultData);
  if (length == 0 && text != nullptr && IsString(entry.DefaultType)) {
    size_t chars = 0;
    if (entry.DefaultType == REG_MULTI_SZ) {
      while (text[chars] != 0 || text[chars + 1] != 0) ++chars;
      chars += 2;
    } else {
      chars = std::char_traits<char16_t>::length(text) + 1;
    }
    length = static_cast<ULONG>(chars * sizeof(WCHAR));
  }
  if (entry.DefaultData != nullptr) {
    auto bytes = static_cast<const uint8_t *>(entry.DefaultData);
    value.data.assign(bytes, bytes + length);
  }
  return value;
}

std::vector<Found> Snapshot(const KeyPtr &key, const std::u16string *name) {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  std::vector<Found> found;
  if (!key || key->deleted) return found;
  std::string wanted = name ? ToUtf8(*name) : std::string();
  for (const auto &[valueName, value] : key->values) {
    if (name == nullptr || SameName(valueName, wanted)) found.push_back({ToUtf16(valueName), value.type, value.data});
  }
  return found;
}

NTSTATUS QueryEntry(const RTL_QUERY_REGISTRY_TABLE &entry, const KeyPtr &key, PVOID context) {
  if (entry.Flags & RTL_QUERY_REGISTRY_NOVALUE) {
    return entry.QueryRoutine ? entry.QueryRoutine(nullptr, REG_NONE, nullptr, 0, context, entry.EntryContext)
                              : STATUS_SUCCESS;
  }
  if (entry.Name == nullptr && (entry.Flags & RTL_QUERY_REGISTRY_DIRECT)) return STATUS_INVALID_PARAMETER;
  std::u16string name = WideOf(entry.Name);
  std::vector<Found> values = Snapshot(key, entry.Name ? &name : nullptr);
  if (values.empty()) {
    if (entry.Flags & RTL_QUERY_REGISTRY_REQUIRED) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (entry.DefaultType != REG_NONE && entry.DefaultData == nullptr && entry.DefaultLength != 0) {
      return STATUS_INVALID_PARAMETER;
    }
    auto fallback = DefaultOf(entry);
    return fallback ? Deliver(entry, *fallback, context) : STATUS_SUCCESS;
  }
  for (const auto &value : values) {
    if (NTSTATUS status = Deliver(entry, value, context); !NT_SUCCESS(status)) return status;
  }
  if ((entry.Flags & RTL_QUERY_REGISTRY_DELETE) && entry.Name != nullptr) {
    auto &r = TheRegistry();
    std::lock_guard lock(r.mutex);
    std::string wanted = ToUtf8(name);
    std::erase_if(key->values, [&](const auto &v) { return SameName(v.first, wanted); });
  }
  return STATUS_SUCCESS;
}

// The key a query starts from, or a failure status.
NTSTATUS ResolveTop(ULONG relativeTo, PCWSTR path, KeyPtr &top) {
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  ULONG base = relativeTo & ~static_cast<ULONG>(RTL_REGISTRY_OPTIONAL);
  if (base == RTL_REGISTRY_HANDLE) {
    auto found = r.handles.find(reinterpret_cast<uintptr_t>(path));
    if (found == r.handles.end()) return STATUS_INVALID_HANDLE;
    if ((found->second.access & KEY_QUERY_VALUE) == 0) return STATUS_ACCESS_DENIED;
    if (found->second.key->deleted) return kStatusKeyDeleted;
    top = found->second.key;
    return STATUS_SUCCESS;
  }
  if (base != RTL_REGISTRY_ABSOLUTE || path == nullptr) return STATUS_INVALID_PARAMETER;
  top = FindLocked(r.root, ToUtf8(path));
  return top ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

bool MayRunRegistryCode(irql::Routine routine, const void *subject) { return irql::Allows(routine, subject); }

}  // namespace

}  // namespace host::registry

namespace host::detail {

void RegistryReset() {
  auto &r = registry::TheRegistry();
  std::lock_guard lock(r.mutex);
  registry::MarkDeleted(*r.root);
  r.root = std::make_shared<registry::Key>();
  r.handles.clear();
  r.nextHandle = registry::kFirstHandle;
}

std::vector<std::string> RegistryHandleLeaks() {
  auto &r = registry::TheRegistry();
  std::lock_guard lock(r.mutex);
  std::vector<std::pair<uintptr_t, std::string>> open;
  for (const auto &[handle, entry] : r.handles) open.emplace_back(handle, entry.path);
  std::sort(open.begin(), open.end());
  std::vector<std::string> leaks;
  for (const auto &[handle, path] : open) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(handle));
    leaks.push_back(std::string("key handle ") + text + " on " + path);
  }
  return leaks;
}

}  // namespace host::detail

using namespace host::registry;

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID /*Environment*/) {
  const host::sched::AfterEffect afterEffect("RtlQueryRegistryValues");
  if (!MayRunRegistryCode(host::irql::Routine::RtlQueryRegistryValues, QueryTable)) return STATUS_UNSUCCESSFUL;
  if (QueryTable == nullptr) return STATUS_INVALID_PARAMETER;
  KeyPtr top;
  NTSTATUS status = ResolveTop(RelativeTo, Path, top);
  if (status == STATUS_OBJECT_NAME_NOT_FOUND && (RelativeTo & RTL_REGISTRY_OPTIONAL)) return STATUS_SUCCESS;
  if (!NT_SUCCESS(status)) return status;

  KeyPtr current = top;
  constexpr ULONG kKeyEntry = RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_DIRECT;
  for (auto entry = QueryTable; entry->QueryRoutine != nullptr || (entry->Flags & kKeyEntry) != 0; ++entry) {
    if (entry->Flags & RTL_QUERY_REGISTRY_TOPKEY) current = top;
    if (entry->Flags & RTL_QUERY_REGISTRY_SUBKEY) {
      // Later entries read this subkey of the starting key.
      {
        auto &r = TheRegistry();
        std::lock_guard lock(r.mutex);
        current = entry->Name ? FindLocked(top, ToUtf8(entry->Name)) : top;
      }
      if (!current && (entry->Flags & RTL_QUERY_REGISTRY_REQUIRED)) return STATUS_OBJECT_NAME_NOT_FOUND;
      if (entry->QueryRoutine == nullptr) continue;
      RTL_QUERY_REGISTRY_TABLE allValues = *entry;
      allValues.Name = nullptr;
      allValues.Flags &= ~static_cast<ULONG>(RTL_QUERY_REGISTRY_SUBKEY);
      status = QueryEntry(allValues, current, Context);
    } else {
      status = QueryEntry(*entry, current, Context);
    }
    if (!NT_SUCCESS(status)) return status;
  }
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG /*TitleIndex*/,
                                        ULONG Type, PVOID Data, ULONG DataSize) {
  const host::sched::AfterEffect afterEffect("ZwSetValueKey");
  if (!MayRunRegistryCode(host::irql::Routine::ZwSetValueKey, KeyHandle)) return STATUS_UNSUCCESSFUL;
  if (ValueName == nullptr || (ValueName->Length % sizeof(WCHAR)) != 0 ||
      (ValueName->Length != 0 && ValueName->Buffer == nullptr) || (Data == nullptr && DataSize != 0)) {
    return STATUS_INVALID_PARAMETER;
  }
  std::string name = ToUtf8(WideOf(ValueName));
  auto bytes = static_cast<const uint8_t *>(Data);
  Value value{Type, bytes ? std::vector<uint8_t>(bytes, bytes + DataSize) : std::vector<uint8_t>()};
  auto &r = TheRegistry();
  std::lock_guard lock(r.mutex);
  auto found = r.handles.find(reinterpret_cast<uintptr_t>(KeyHandle));
  if (found == r.handles.end()) return STATUS_INVALID_HANDLE;
  if ((found->second.access & KEY_SET_VALUE) == 0) return STATUS_ACCESS_DENIED;
  if (found->second.key->deleted) return kStatusKeyDeleted;
  SetLocked(*found->second.key, name, std::move(value));
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
  const host::sched::AfterEffect afterEffect("ZwClose");
  if (!MayRunRegistryCode(host::irql::Routine::ZwClose, Handle)) return STATUS_UNSUCCESSFUL;
  {
    auto &r = TheRegistry();
    std::lock_guard lock(r.mutex);
    if (r.handles.erase(reinterpret_cast<uintptr_t>(Handle)) == 1) return STATUS_SUCCESS;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%p", Handle);
  host::RaiseBugCheck(host::bugcheck::kInvalidKernelHandle, reinterpret_cast<uintptr_t>(Handle), 1, 0, 0,
                      std::string("ZwClose of ") + text + ", which is not an open handle");
  return STATUS_INVALID_HANDLE;
}
