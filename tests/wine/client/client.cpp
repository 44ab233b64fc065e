// The client's helpers: handles and requests on a port, the bus's hooks on
// the bridge model, and the expectations the host suite's tests share.
#include "tests/wine/client/nvtest.h"

namespace nvtest {

HANDLE bus = INVALID_HANDLE_VALUE;
HANDLE firstPort = nullptr;
HANDLE secondOpen = nullptr;

// ---------------------------------------------------------------- handles and requests

NTSTATUS Open(const std::wstring &name, HANDLE *handle, bool synchronous) {
  UNICODE_STRING path;
  RtlInitUnicodeString(&path, name.c_str());
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &path, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
  IO_STATUS_BLOCK io{};
  *handle = nullptr;
  return NtCreateFile(handle, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io, nullptr, 0, 0, FILE_OPEN,
                      (synchronous ? FILE_SYNCHRONOUS_IO_NONALERT : 0) | FILE_NON_DIRECTORY_FILE, nullptr, 0);
}

std::wstring PortPath(int port) { return L"\\??\\NorvUSB" + std::to_wstring(port); }

Result Control(HANDLE h, ULONG code, const Bytes &in, ULONG outLength) {
  Result r{};
  r.out.assign(outLength, 0xEE);
  Bytes input = in;
  IO_STATUS_BLOCK io{};
  io.Information = 0;
  r.status = NtDeviceIoControlFile(h, nullptr, nullptr, nullptr, &io, code, input.empty() ? nullptr : input.data(),
                                   static_cast<ULONG>(input.size()), outLength ? r.out.data() : nullptr, outLength);
  r.information = NT_ERROR(r.status) ? 0 : io.Information;
  return r;
}

Result Write(HANDLE h, const uint8_t *data, ULONG length) {
  IO_STATUS_BLOCK io{};
  Result r{};
  r.status = NtWriteFile(h, nullptr, nullptr, nullptr, &io, const_cast<uint8_t *>(data), length, nullptr, nullptr);
  r.information = NT_ERROR(r.status) ? 0 : io.Information;
  return r;
}

Result Read(HANDLE h, ULONG length) {
  IO_STATUS_BLOCK io{};
  Result r{};
  r.out.assign(length, 0xEE);
  r.status = NtReadFile(h, nullptr, nullptr, nullptr, &io, r.out.data(), length, nullptr, nullptr);
  r.information = NT_ERROR(r.status) ? 0 : io.Information;
  return r;
}

// ---------------------------------------------------------------- the bus

Bytes BusControl(ULONG code, const void *in, size_t inLength, size_t outLength, DWORD *error) {
  // Heap-held, and kept when the request does not end: its completion may
  // still write into them.
  struct Call {
    OVERLAPPED overlapped{};
    Bytes out;
  };
  Call *call = new Call;
  call->out.resize(outLength);
  call->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(bus, code, const_cast<void *>(in), static_cast<DWORD>(inLength), call->out.data(),
                            static_cast<DWORD>(outLength), &returned, &call->overlapped);
  DWORD e = ok ? 0 : GetLastError();
  if (!ok && e == ERROR_IO_PENDING) {
    if (WaitForSingleObject(call->overlapped.hEvent, 30000) != WAIT_OBJECT_0) {
      CancelIoEx(bus, &call->overlapped);
      if (error) *error = ERROR_TIMEOUT;
      Fail("bus request %#lx: no answer in 30 s (is the process hosting the drivers alive?)", code);
    }
    ok = GetOverlappedResult(bus, &call->overlapped, &returned, FALSE);
    e = ok ? 0 : GetLastError();
  }
  if (error) *error = e;
  if (!ok && !error) Fail("bus request %#lx failed (error %lu)", code, e);
  Bytes out = std::move(call->out);
  out.resize(ok ? returned : 0);
  CloseHandle(call->overlapped.hEvent);
  delete call;
  return out;
}

Bytes Hook(uint32_t bridge, uint32_t operation, uint32_t argument, const Bytes &data, size_t room) {
  Bytes in(sizeof(NVBUS_HOOK) + data.size());
  NVBUS_HOOK h{bridge, operation, argument, static_cast<unsigned>(data.size())};
  std::memcpy(in.data(), &h, sizeof h);
  if (!data.empty()) std::memcpy(in.data() + sizeof h, data.data(), data.size());
  return BusControl(IOCTL_NVBUS_HOOK, in.data(), in.size(), room);
}

NVBUS_STATE State() {
  Bytes b = BusControl(IOCTL_NVBUS_STATE, nullptr, 0, sizeof(NVBUS_STATE));
  NVBUS_STATE s;
  std::memcpy(&s, b.data(), sizeof s);
  return s;
}

void Plug(uint32_t bridge, uint32_t shape) {
  Bytes plug = Hook(bridge, NVBUS_HOOK_ATTACH, shape, {}, sizeof(NVBUS_PLUG));
  CHECK(plug.size() == sizeof(NVBUS_PLUG), "the model attached no bridge %u", bridge);
  BusControl(IOCTL_NVBUS_PLUG, plug.data(), plug.size(), 0);
}

void Unplug(uint32_t bridge) { BusControl(IOCTL_NVBUS_UNPLUG, &bridge, sizeof bridge, 0); }

void ArmFault(uint32_t bridge, uint32_t on, uint32_t fault) {
  NVBUS_FAULT f{bridge, on, fault};
  BusControl(IOCTL_NVBUS_ARM_FAULT, &f, sizeof f, 0);
}

uint32_t SinkCount(uint32_t bridge) {
  Bytes b = Hook(bridge, NVBUS_HOOK_SINK_COUNT, 0, {}, 4);
  CHECK(b.size() == 4, "no sink count");
  uint32_t n;
  std::memcpy(&n, b.data(), 4);
  return n;
}

Bytes Sink(uint32_t bridge, uint32_t count, double timeout) {
  auto start = std::chrono::steady_clock::now();
  uint32_t have = 0;
  while ((have = SinkCount(bridge)) < count && Seconds(start) < timeout) Sleep(20);
  CHECK(have == count, "the printer took %u bytes, not %u", have, count);
  Bytes all;
  while (all.size() < count) {
    Bytes part = Hook(bridge, NVBUS_HOOK_READ_SINK, static_cast<uint32_t>(all.size()), {}, 60000);
    CHECK(!part.empty(), "the sink read stopped at %zu", all.size());
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

bool LinkExists(int port) {
  wchar_t target[512];
  return QueryDosDeviceW((L"NorvUSB" + std::to_wstring(port)).c_str(), target, 512) != 0;
}

bool WaitLink(int port, bool present, double timeout) {
  auto start = std::chrono::steady_clock::now();
  while (LinkExists(port) != present) {
    if (Seconds(start) > timeout) return false;
    Sleep(50);
  }
  return true;
}

HANDLE OpenPort(int port) {
  HANDLE h;
  NTSTATUS status = Open(PortPath(port), &h);
  CHECK(status == STATUS_SUCCESS, "opening NorvUSB%d: status %#lx", port, status);
  return h;
}

Bytes Random(size_t size, uint64_t seed) {
  Bytes b(size);
  uint64_t x = seed;
  for (auto &v : b) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    v = static_cast<uint8_t>(x >> 24);
  }
  return b;
}

void Print(HANDLE h, const Bytes &data) {
  for (size_t done = 0; done < data.size();) {
    const ULONG n = static_cast<ULONG>(std::min<size_t>(4096, data.size() - done));  // the default MaxTransferSize
    Result r = Write(h, data.data() + done, n);
    CHECK(r.status == STATUS_SUCCESS && r.information == n, "write at %zu: status %#lx, %lu bytes", done, r.status,
          static_cast<unsigned long>(r.information));
    done += n;
  }
}

std::wstring RegistryText(HKEY root, const std::wstring &key, const wchar_t *value) {
  wchar_t data[256] = {};
  DWORD size = sizeof data - sizeof(wchar_t);
  DWORD type = 0;
  if (RegGetValueW(root, key.c_str(), value, RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS) return L"";
  return data;
}

std::wstring EnumKey(uint32_t bridge) {
  wchar_t key[128];
  std::swprintf(key, 128, L"System\\CurrentControlSet\\Enum\\USB\\VID_6E75&PID_1284\\NB1284-%04u", bridge + 1);
  return key;
}

std::string Narrow(const std::wstring &w) { return std::string(w.begin(), w.end()); }

// A service's ImagePath as a file name: "\??\" and "\SystemRoot\" prefixes
// resolved, a relative path taken from the Windows folder.
std::wstring ImageFile(std::wstring path) {
  wchar_t windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  if (path.rfind(L"\\??\\", 0) == 0) return path.substr(4);
  if (_wcsnicmp(path.c_str(), L"\\SystemRoot\\", 12) == 0) return windows + path.substr(11);
  if (path.size() > 1 && path[1] == L':') return path;
  return std::wstring(windows) + L"\\" + path;
}

std::string Hex(const Bytes &b) {
  std::string s;
  char part[4];
  for (uint8_t v : b) {
    std::snprintf(part, sizeof part, "%02X ", v);
    s += part;
  }
  if (!s.empty()) s.pop_back();
  return s;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// ---------------------------------------------------------------- expectations of the host suite

void ExpectReply(const Result &r, const Bytes &expected, const char *what) {
  CHECK(r.status == STATUS_SUCCESS, "%s: status %#lx", what, r.status);
  CHECK(r.information == expected.size(), "%s: Information %lu, not %zu", what,
        static_cast<unsigned long>(r.information), expected.size());
  Bytes got(r.out.begin(), r.out.begin() + static_cast<std::ptrdiff_t>(expected.size()));
  CHECK(got == expected, "%s: reply %s, not %s", what, Hex(got).c_str(), Hex(expected).c_str());
}

Bytes Reply(const hw::VendorReply &r) { return Bytes(r.begin(), r.end()); }

void ExpectRefused(HANDLE h, ULONG code, const Bytes &in, ULONG outLength) {
  const uint32_t before = State().Seen[0];
  Result r = Control(h, code, in, outLength);
  CHECK(r.status == STATUS_INVALID_PARAMETER, "code %#lx in %zu out %lu: status %#lx", code, in.size(), outLength,
        r.status);
  CHECK(r.information == 0, "code %#lx: Information %lu", code, static_cast<unsigned long>(r.information));
  CHECK(r.out == Bytes(outLength, 0xEE), "code %#lx: the reply buffer was written", code);
  CHECK(State().Seen[0] == before, "code %#lx: refused, but sent USB requests", code);
}

// ---------------------------------------------------------------- the hostile client

Result ReadWait(HANDLE h, ULONG length, const std::string &what, double seconds) {
  Async r(length);
  r.Read(h);
  if (!r.Ended(static_cast<DWORD>(seconds * 1000))) {
    CancelIo(h);
    r.Ended(10000);
    Fail("%s (%lu bytes) got nothing within %.0f s", what.c_str(), static_cast<unsigned long>(length), seconds);
  }
  return {r.Status(), r.Information(), r.Buffer()};
}

Result WriteWait(HANDLE h, const Bytes &data, double seconds) {
  Async w;
  w.Write(h, data);
  if (!w.Ended(static_cast<DWORD>(seconds * 1000))) {
    CancelIo(h);
    w.Ended(10000);
    Fail("a write of %zu bytes did not end within %.0f s", data.size(), seconds);
  }
  return {w.Status(), w.Information(), {}};
}

void ExpectWritten(const Result &r, size_t size, const char *what) {
  CHECK(r.status == STATUS_SUCCESS && r.information == size, "%s: status %#lx, %lu of %zu bytes", what, r.status,
        static_cast<unsigned long>(r.information), size);
}

void ExpectRead(const Result &r, const Bytes &expected, const char *what) {
  CHECK(r.status == STATUS_SUCCESS && r.information == expected.size(), "%s: status %#lx, %lu bytes, not %zu", what,
        r.status, static_cast<unsigned long>(r.information), expected.size());
  CHECK(Bytes(r.out.begin(), r.out.begin() + static_cast<std::ptrdiff_t>(expected.size())) == expected,
        "%s: other bytes", what);
}

Bytes Text(const std::string &text) { return Bytes(text.begin(), text.end()); }

Bytes Chunk(uint32_t number, size_t size) {
  Bytes b = Random(size, 0x9E3779B9u ^ number);
  std::memcpy(b.data(), &number, 4);
  return b;
}

uint32_t ChunkNumber(const uint8_t *at) {
  uint32_t n;
  std::memcpy(&n, at, 4);
  return n;
}

void ExpectChunks(const Bytes &sink, const std::vector<Bytes> &done, size_t size) {
  CHECK(sink.size() == done.size() * size, "the printer got %zu bytes, not the %zu of the %zu writes reported done",
        sink.size(), done.size() * size, done.size());
  std::map<uint32_t, const Bytes *> byNumber;
  for (const Bytes &c : done) byNumber[ChunkNumber(c.data())] = &c;
  std::set<uint32_t> seen;
  for (size_t at = 0; at < sink.size(); at += size) {
    const Bytes piece(sink.begin() + static_cast<std::ptrdiff_t>(at),
                      sink.begin() + static_cast<std::ptrdiff_t>(at + size));
    const uint32_t n = ChunkNumber(piece.data());
    auto it = byNumber.find(n);
    CHECK(it != byNumber.end() && *it->second == piece, "the printer got, at byte %zu, bytes no write reported done", at);
    CHECK(seen.insert(n).second, "write %u was printed twice", n);
  }
}

Bytes WholeSink(uint32_t bridge) { return Sink(bridge, SinkCount(bridge)); }

void WaitGone(uint32_t bridge) {
  auto start = std::chrono::steady_clock::now();
  while (State().Reported & (1u << bridge)) {
    CHECK(Seconds(start) < 20, "bridge %u's device object still there 20 s after its unplug", bridge + 1);
    Sleep(20);
  }
}

void UnplugAll() {
  const NVBUS_STATE state = State();
  for (uint32_t i = 0; i < NVBUS_MAX_BRIDGES; ++i) {
    if (state.Present & (1u << i)) Unplug(i);
  }
  for (uint32_t i = 0; i < NVBUS_MAX_BRIDGES; ++i) WaitGone(i);
  for (int port = 1; port <= NVBUS_MAX_BRIDGES; ++port) {
    CHECK(WaitLink(port, false, 20), "NorvUSB%d still there with no bridge plugged in", port);
  }
}

void PlugAt(uint32_t bridge, int port) {
  WaitGone(bridge);
  Plug(bridge);
  CHECK(WaitLink(port, true, 30), "bridge %u got no NorvUSB%d within 30 s", bridge + 1, port);
}

void WaitInService(uint32_t count) {
  auto start = std::chrono::steady_clock::now();
  while (State().InService < count) {
    CHECK(Seconds(start) < 10, "no request reached the bridge within 10 s");
    Sleep(2);
  }
}

void WaitBusIdle(const char *what) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    const NVBUS_STATE state = State();
    if (state.Waiting == 0 && state.InService == 0 && state.Held == 0) return;
    CHECK(Seconds(start) < 10, "%s: a request still with the bus 10 s later", what);
    Sleep(10);
  }
}

std::string OwnerText(DWORD process) { return "printed by process " + std::to_string(process) + "\f"; }

}  // namespace nvtest
