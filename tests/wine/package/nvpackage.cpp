// nvpackage.exe: the package stage of the Wine suite
// (scripts/test-wine-package.sh). The driver was installed from the
// unpacked package's INF; this plugs a bridge on the virtual bus and runs
// the package's norvusb.exe as a person would, one scenario per subcommand,
// checking what the model's printer got and said.
//
// Usage: nvpackage.exe NORVUSB.EXE, in a folder it may write files in.
// Prints a PASS or FAIL line per scenario and "N passed, N failed, 0 skipped".
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "host/hardware/printer.h"
#include "tests/wine/nvbus_protocol.h"

namespace {

using Bytes = std::vector<unsigned char>;

struct Failure {
  std::string what;
};

void Check(bool ok, const std::string &what) {
  if (!ok) throw Failure{what};
}

int passed = 0, failed = 0;

void Run(const char *name, const std::function<void()> &scenario) {
  try {
    scenario();
    std::printf("PASS %s\n", name);
    ++passed;
  } catch (const Failure &f) {
    std::printf("FAIL %s\n  %s\n", name, f.what.c_str());
    ++failed;
  }
}

// ---- the bus (a synchronous handle: the script bounds the whole run)
HANDLE bus = INVALID_HANDLE_VALUE;

Bytes BusControl(ULONG code, const Bytes &in, size_t outLength) {
  Bytes out(outLength);
  DWORD returned = 0;
  Check(DeviceIoControl(bus, code, const_cast<unsigned char *>(in.data()), static_cast<DWORD>(in.size()), out.data(),
                        static_cast<DWORD>(out.size()), &returned, nullptr),
        "bus request " + std::to_string(code) + " failed, error " + std::to_string(GetLastError()));
  out.resize(returned);
  return out;
}

template <typename T>
Bytes Record(const T &value) {
  Bytes b(sizeof value);
  std::memcpy(b.data(), &value, sizeof value);
  return b;
}

Bytes Hook(unsigned operation, const std::string &data = {}, size_t room = 0, unsigned argument = 0) {
  Bytes in = Record(NVBUS_HOOK{0, operation, argument, static_cast<unsigned>(data.size())});
  in.insert(in.end(), data.begin(), data.end());
  return BusControl(IOCTL_NVBUS_HOOK, in, room);
}

unsigned SinkCount() {
  const Bytes b = Hook(NVBUS_HOOK_SINK_COUNT, {}, 4);
  Check(b.size() == 4, "no sink count");
  unsigned n;
  std::memcpy(&n, b.data(), 4);
  return n;
}

// What the printer took from byte `from` on.
Bytes Sink(unsigned from) {
  Bytes all;
  for (unsigned end = SinkCount(); from + all.size() < end;) {
    const Bytes part = Hook(NVBUS_HOOK_READ_SINK, {}, 60000, from + static_cast<unsigned>(all.size()));
    Check(!part.empty(), "the sink read stopped");
    all.insert(all.end(), part.begin(), part.end());
  }
  return all;
}

unsigned InService() {
  NVBUS_STATE s;
  const Bytes b = BusControl(IOCTL_NVBUS_STATE, {}, sizeof s);
  std::memcpy(&s, b.data(), sizeof s);
  return s.InService;
}

template <typename Condition>
bool WaitFor(Condition condition, int seconds) {
  for (int i = 0; i < seconds * 20 && !condition(); ++i) Sleep(50);
  return condition();
}

// ---- norvusb.exe, through the command interpreter, as a person runs it
std::string tool;

struct Outcome {
  int exit = -1;
  std::string said;  // standard output and standard error
};

FILE *Start(const std::string &args) {
  FILE *pipe = _popen((tool + " " + args + " 2>&1").c_str(), "rb");
  Check(pipe != nullptr, "cannot start " + tool);
  return pipe;
}

Outcome Finish(FILE *pipe) {
  Outcome o;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) o.said.append(buffer, n);
  o.exit = _pclose(pipe);
  return o;
}

Outcome Tool(const std::string &args) { return Finish(Start(args)); }

// The exit status, and each text somewhere in what it said.
void Expect(const Outcome &o, int exit, std::initializer_list<std::string> texts) {
  bool shown = true;
  for (const std::string &text : texts) shown = shown && o.said.find(text) != std::string::npos;
  Check(o.exit == exit && shown, "exit status " + std::to_string(o.exit) + " (wanted " + std::to_string(exit) +
                                     "); it said:\n" + o.said);
}

void WriteFileBytes(const char *path, const Bytes &data) {
  FILE *f = std::fopen(path, "wb");
  Check(f && std::fwrite(data.data(), 1, data.size(), f) == data.size() && std::fclose(f) == 0,
        std::string("cannot write ") + path);
}

// The model printer's field KEY (MDL, MFG, ...) from its device ID.
std::string IdField(const char *key) {
  const std::string id(host::hardware::kDefaultDeviceId);
  const size_t at = id.find(std::string(key) + ":") + std::strlen(key) + 1;
  return id.substr(at, id.find(';', at) - at);
}

// ---- set-up: the bridge model, its bus workers, one bridge
bool Plug(NVBUS_PLUG *plugged, const char *self) {
  for (int i = 0; i < 300 && bus == INVALID_HANDLE_VALUE; ++i) {
    bus = CreateFileW(L"\\\\.\\NorvWineBus", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (bus == INVALID_HANDLE_VALUE) Sleep(100);
  }
  Check(bus != INVALID_HANDLE_VALUE, "cannot open the bus");
  std::string model(self);
  model = model.substr(0, model.find_last_of("\\/") + 1) + "nvbridge.exe";
  const unsigned workers = 4;  // a read the printer has nothing for holds one
  std::string command = "\"" + model + "\" " + std::to_string(workers);
  STARTUPINFOA startup{sizeof startup};
  PROCESS_INFORMATION process{};
  Check(CreateProcessA(model.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process),
        "cannot start " + model);
  HANDLE ready = nullptr;
  WaitFor([&] { return (ready = OpenEventW(SYNCHRONIZE, FALSE, L"NorvWineBridgeReady")) != nullptr; }, 10);
  Check(ready && WaitForSingleObject(ready, 10000) == WAIT_OBJECT_0, "the bridge model did not start");
  BusControl(IOCTL_NVBUS_CONNECT, Record(workers), 0);
  const Bytes plug = Hook(NVBUS_HOOK_ATTACH, {}, sizeof(NVBUS_PLUG));
  Check(plug.size() == sizeof(NVBUS_PLUG), "the model attached no bridge");
  std::memcpy(plugged, plug.data(), sizeof *plugged);
  BusControl(IOCTL_NVBUS_PLUG, plug, 0);
  wchar_t target[512];
  return WaitFor([&] { return QueryDosDeviceW(L"NorvUSB1", target, 512) != 0; }, 60);
}

void Scenarios(const NVBUS_PLUG &plugged) {
  const std::string model = IdField("MDL");
  const Bytes small{'a', 'f', 't', 'e', 'r', '\r', '\n'};
  WriteFileBytes("small.txt", small);
  Run("print: a 4 MiB file reaches the printer byte for byte", [] {
    Bytes data(4u << 20);
    unsigned x = 1284;
    for (auto &b : data) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 23);
    WriteFileBytes("big.bin", data);
    const unsigned before = SinkCount();
    Expect(Tool("print big.bin"), 0, {"NorvUSB1"});
    Check(Sink(before) == data, "the printer received other bytes");
  });
  Run("status: NorvUSB1 ready, with the model printer's make and model",
      [&] { Expect(Tool("status"), 0, {"NorvUSB1", "ready", model}); });
  Run("id: the model printer's whole IEEE 1284 ID",
      [] { Expect(Tool("id"), 0, {std::string(host::hardware::kDefaultDeviceId)}); });
  Run("ports: NorvUSB1 and its printer", [&] { Expect(Tool("ports"), 0, {"NorvUSB1", model}); });
  Run("ioctl: the device descriptor, as the bus reported the bridge", [&] {
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "%04x", plugged.VendorId);
    Expect(Tool("ioctl get-device-descriptor"), 0, {vendor});
  });
  Run("reset: the port prints after it", [&] {
    Expect(Tool("reset"), 0, {});
    const unsigned before = SinkCount();
    Expect(Tool("print small.txt"), 0, {"NorvUSB1"});
    Check(Sink(before) == small, "the printer received other bytes");
  });
  Run("read: nothing to read ends at the time-out; what comes next reaches the next read", [] {
    Expect(Tool("read --timeout 1"), 1, {"norvusb: error:"});
    Hook(NVBUS_HOOK_BACK_CHANNEL, "@PJL USTATUS\r\n");
    Expect(Tool("read --timeout 10"), 0, {"@PJL USTATUS"});
  });
  Run("in use: a second norvusb.exe on NorvUSB1 while a read holds it", [] {
    FILE *holder = Start("read --timeout 60");
    // The holder's read waits at the bridge: its port is open.
    const bool held = WaitFor([] { return InService() >= 1; }, 30);
    const unsigned before = SinkCount();
    const Outcome second = held ? Tool("print small.txt") : Outcome{};
    Hook(NVBUS_HOOK_BACK_CHANNEL, "for the holder\r\n");
    const Outcome first = Finish(holder);
    Check(held, "the holder's read never reached the bridge");
    Expect(second, 1, {"NorvUSB1 is in use by another program"});
    Check(SinkCount() == before, "the second program printed");
    Expect(first, 0, {"for the holder"});
  });
  Run("missing port: NorvUSB3 is named with the ports there are",
      [] { Expect(Tool("status --port NorvUSB3"), 2, {"no such port: NorvUSB3 (ports now: NorvUSB1)"}); });
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc != 2) {
    std::printf("usage: nvpackage NORVUSB.EXE\n");
    return 2;
  }
  tool = argv[1];
  NVBUS_PLUG plugged{};
  Run("install: the bridge gets NorvUSB1 from the package's INF", [&] {
    Check(Plug(&plugged, argv[0]), "no \\DosDevices\\NorvUSB1 after 60 s");
  });
  if (failed == 0) Scenarios(plugged);
  std::printf("%d passed, %d failed, 0 skipped\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
