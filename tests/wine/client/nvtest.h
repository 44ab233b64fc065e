// The Wine suite's test client, nvtest.exe, shared by its files: the runner
// (runner.cpp: the test loop, checks, watchdog, setup and the other process
// of a two-process test), the helpers for handles, requests, the bus and the
// ports (client.cpp), and the scenarios, one file per host suite they mirror
// (user_io.cpp, lifecycle.cpp). nvtest.cpp holds main and the one list of
// the tests, in the order they run.
#pragma once

#include <windows.h>
#include <winternl.h>
#include <ntstatus.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge_ioctl.h"
#include "host/hardware/bridge_protocol.h"
#include "host/hardware/descriptors.h"
#include "host/hardware/printer.h"
#include "tests/wine/nvbus_protocol.h"

extern "C" NTSTATUS NTAPI NtWriteFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                      PLARGE_INTEGER, PULONG);
extern "C" NTSTATUS NTAPI NtReadFile(HANDLE, HANDLE, PIO_APC_ROUTINE, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG,
                                     PLARGE_INTEGER, PULONG);
// The query the driver reads its settings with; the user-mode headers lack it.
struct QueryTableEntry {
  NTSTATUS(NTAPI *QueryRoutine)(PWSTR, ULONG, PVOID, ULONG, PVOID, PVOID);
  ULONG Flags;
  PWSTR Name;
  PVOID EntryContext;
  ULONG DefaultType;
  PVOID DefaultData;
  ULONG DefaultLength;
};
extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG, PCWSTR, QueryTableEntry *, PVOID, PVOID);
#define QUERY_RELATIVE_TO_HANDLE 0x40000000  // RTL_REGISTRY_HANDLE

namespace nvtest {

using Bytes = std::vector<uint8_t>;
namespace hw = host::hardware;

// ---------------------------------------------------------------- the runner (runner.cpp)

struct Failure {
  std::string what;
};

// A check Wine cannot show: the test says why and counts as skipped.
struct Skip {
  std::string why;
};

[[noreturn]] void Fail(const char *format, ...);

#define CHECK(condition, ...)        \
  do {                               \
    if (!(condition)) Fail(__VA_ARGS__); \
  } while (0)

// One test: "PASS name", "FAIL name: why" or "SKIP name: why". A test still
// running at the end of its budget fails through the watchdog, which ends
// the run with its closing line. NVTEST_ONLY="1,6" runs only those tests
// (numbered from 1), for diagnosis.
void Run(const char *name, const std::function<void()> &test, int budgetSeconds = 120);
// A line of a test's own (figures, notes), never in the middle of a result.
void Note(const char *format, ...);
// Opens the bus, starts the bridge model (nvbridge.exe, beside `program`)
// and connects the bus's workers to it; false, with a FAIL line and the
// closing line printed, when any of that fails.
bool StartMachine(const char *program);
// Ends the model and prints the closing line; the program's exit code.
int Finish();
// "nvtest.exe child <mode> <port> <prefix>": the other process of a
// two-process test (ChildProcess).
int ChildMain(int argc, char **argv);
// The last test: the process hosting the drivers lived through the others.
void DriverHostLivedThroughEveryTest();

// The bus's control device, overlapped: every request is waited for with a time-out.
extern HANDLE bus;
// The first bridge's port, kept open across the first tests, and a second
// open of it, until the unplug test closes both.
extern HANDLE firstPort;
extern HANDLE secondOpen;

// ---------------------------------------------------------------- handles and requests

struct Result {
  NTSTATUS status;
  ULONG_PTR information;
  Bytes out;
};

// Opens a device by its NT name; the status as the I/O manager gives it.
NTSTATUS Open(const std::wstring &name, HANDLE *handle, bool synchronous = true);

std::wstring PortPath(int port);

Result Control(HANDLE h, ULONG code, const Bytes &in, ULONG outLength);

Result Write(HANDLE h, const uint8_t *data, ULONG length);

Result Read(HANDLE h, ULONG length);

// ---------------------------------------------------------------- the bus

Bytes BusControl(ULONG code, const void *in, size_t inLength, size_t outLength, DWORD *error = nullptr);

Bytes Hook(uint32_t bridge, uint32_t operation, uint32_t argument = 0, const Bytes &data = {}, size_t room = 0);

NVBUS_STATE State();

// shape 1: a bridge whose interface 0 has an alternate setting 1 (other
// endpoints, 32-byte packets).
void Plug(uint32_t bridge, uint32_t shape = 0);

void Unplug(uint32_t bridge);

void ArmFault(uint32_t bridge, uint32_t on, uint32_t fault);

uint32_t SinkCount(uint32_t bridge);

// Waits until the printer took `count` bytes, then reads them all back.
Bytes Sink(uint32_t bridge, uint32_t count, double timeout = 30);

bool LinkExists(int port);

bool WaitLink(int port, bool present, double timeout);

HANDLE OpenPort(int port);

struct Port {
  HANDLE h = nullptr;
  explicit Port(int port) : h(OpenPort(port)) {}
  ~Port() { Close(); }
  void Close() {
    if (h) NtClose(h);
    h = nullptr;
  }
};

Bytes Random(size_t size, uint64_t seed);

void Print(HANDLE h, const Bytes &data);

std::wstring RegistryText(HKEY root, const std::wstring &key, const wchar_t *value);

std::wstring EnumKey(uint32_t bridge);

std::string Narrow(const std::wstring &w);
std::wstring ImageFile(std::wstring path);

std::string Hex(const Bytes &b);

double Seconds(std::chrono::steady_clock::time_point since);

// ---------------------------------------------------------------- expectations of the host suite

void ExpectReply(const Result &r, const Bytes &expected, const char *what);

Bytes Reply(const hw::VendorReply &r);

void ExpectRefused(HANDLE h, ULONG code, const Bytes &in, ULONG outLength);

// ---------------------------------------------------------------- the hostile client

// A request on an overlapped handle, waited for with a time-out. Its status
// block and buffers live on the heap and are kept if it never ends, since
// its completion may still write into them.
class Async {
 public:
  static constexpr size_t kGuard = 16;

  explicit Async(size_t room = 0) : s_(new Parts) {
    s_->buffer.assign(room, 0xEE);
    s_->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  Async(const Async &) = delete;
  Async &operator=(const Async &) = delete;
  ~Async() {
    if (Ended(0)) {
      CloseHandle(s_->event);
      delete s_;
    }
  }
  void Read(HANDLE h) {
    first_ = NtReadFile(h, s_->event, nullptr, nullptr, &s_->io, s_->buffer.data(),
                        static_cast<ULONG>(s_->buffer.size()), nullptr, nullptr);
  }
  void Write(HANDLE h, const Bytes &data) {
    s_->buffer = data;
    first_ = NtWriteFile(h, s_->event, nullptr, nullptr, &s_->io, s_->buffer.data(),
                         static_cast<ULONG>(s_->buffer.size()), nullptr, nullptr);
  }
  // The output sits between guard bytes (0xA5 before, 0x5A after), filled with 0xEE.
  void Control(HANDLE h, ULONG code, const Bytes &in, ULONG outLength) {
    s_->input = in;
    s_->buffer.assign(kGuard, 0xA5);
    s_->buffer.resize(kGuard + outLength, 0xEE);
    s_->buffer.resize(kGuard + outLength + kGuard, 0x5A);
    s_->outLength = outLength;
    first_ = NtDeviceIoControlFile(h, s_->event, nullptr, nullptr, &s_->io, code,
                                   in.empty() ? nullptr : s_->input.data(), static_cast<ULONG>(in.size()),
                                   outLength ? s_->buffer.data() + kGuard : nullptr, outLength);
  }
  NTSTATUS First() const { return first_; }
  bool Ended(DWORD ms) const {
    return first_ != STATUS_PENDING || WaitForSingleObject(s_->event, ms) == WAIT_OBJECT_0;
  }
  // A request that does not end in time fails the test.
  void Wait(double seconds, const char *what) const {
    CHECK(Ended(static_cast<DWORD>(seconds * 1000)), "%s did not end within %.0f s", what, seconds);
  }
  NTSTATUS Status() const { return first_ != STATUS_PENDING ? first_ : s_->io.Status; }
  ULONG_PTR Information() const { return NT_ERROR(Status()) ? 0 : s_->io.Information; }
  const Bytes &Buffer() const { return s_->buffer; }
  Bytes Out() const {
    return Bytes(s_->buffer.begin() + kGuard, s_->buffer.begin() + static_cast<std::ptrdiff_t>(kGuard + s_->outLength));
  }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i) {
      if (s_->buffer[i] != 0xA5 || s_->buffer[kGuard + s_->outLength + i] != 0x5A) return false;
    }
    return true;
  }
  const Bytes &Input() const { return s_->input; }
  LPOVERLAPPED Overlapped() { return reinterpret_cast<LPOVERLAPPED>(&s_->io); }

 private:
  struct Parts {
    IO_STATUS_BLOCK io{};
    Bytes buffer;
    Bytes input;
    size_t outLength = 0;
    HANDLE event = nullptr;
  };
  Parts *s_;
  NTSTATUS first_ = STATUS_PENDING;
};

// An overlapped handle on a port: the tests' requests all have time-outs.
struct AsyncPort {
  HANDLE h = nullptr;
  explicit AsyncPort(int port) {
    NTSTATUS status = Open(PortPath(port), &h, false);
    CHECK(status == STATUS_SUCCESS, "opening NorvUSB%d: status %#lx", port, status);
  }
  ~AsyncPort() { Close(); }
  void Close() {
    if (h) NtClose(h);
    h = nullptr;
  }
};

// A read or write that does not end within its time is cancelled (by this
// thread, which issued it) and fails the test.
Result ReadWait(HANDLE h, ULONG length, const std::string &what = "a read", double seconds = 10);

Result WriteWait(HANDLE h, const Bytes &data, double seconds = 10);

void ExpectWritten(const Result &r, size_t size, const char *what);

void ExpectRead(const Result &r, const Bytes &expected, const char *what);

Bytes Text(const std::string &text);

// A write's data that names itself: its number in the first four bytes.
Bytes Chunk(uint32_t number, size_t size);

uint32_t ChunkNumber(const uint8_t *at);

// What the printer got is whole chunks of `size` bytes, each one of `done`
// (the writes reported done) and each once.
void ExpectChunks(const Bytes &sink, const std::vector<Bytes> &done, size_t size);

// Everything a bridge's printer got (also after its unplug, until the
// bridge's number is plugged in again).
Bytes WholeSink(uint32_t bridge);

void WaitGone(uint32_t bridge);

// No bridge plugged in, no device object left, no port: where every hostile test starts.
void UnplugAll();

// A new bridge (with a new printer) on the bus, and the port it should get.
void PlugAt(uint32_t bridge, int port);

// Until the bridge model works on at least `count` requests (a read it NAKs).
void WaitInService(uint32_t count);

// Until the bus holds no request at all.
void WaitBusIdle(const char *what);

// The other process of a two-process test: this program started as
// "nvtest.exe child <mode> <port> <prefix>"; the events <prefix>-ready, -go,
// -written and -close pace it (ChildMain).
class ChildProcess {
 public:
  ChildProcess(const char *mode, int port) {
    static int count = 0;
    prefix_ = "NorvWineChild" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count);
    for (const char *name : {"ready", "go", "written", "close"}) {
      events_[name] = CreateEventA(nullptr, TRUE, FALSE, (prefix_ + "-" + name).c_str());
    }
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = "\"" + std::string(self) + "\" child " + mode + " " + std::to_string(port) + " " + prefix_;
    STARTUPINFOA startup = {sizeof startup};
    CHECK(CreateProcessA(self, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process_),
          "cannot start the other process (error %lu)", GetLastError());
  }
  ChildProcess(const ChildProcess &) = delete;
  ChildProcess &operator=(const ChildProcess &) = delete;
  ~ChildProcess() {
    if (WaitForSingleObject(process_.hProcess, 0) != WAIT_OBJECT_0) TerminateProcess(process_.hProcess, 9);
    CloseHandle(process_.hProcess);
    CloseHandle(process_.hThread);
    for (auto &[name, event] : events_) CloseHandle(event);
  }
  void Signal(const char *name) { SetEvent(events_[name]); }
  void WaitFor(const char *name) {
    HANDLE both[2] = {events_[name], process_.hProcess};
    const DWORD got = WaitForMultipleObjects(2, both, FALSE, 20000);
    CHECK(got == WAIT_OBJECT_0, "the other process %s (exit code %lu)",
          got == WAIT_OBJECT_0 + 1 ? "ended early" : "did not answer within 20 s", ExitCode());
  }
  void Kill() { TerminateProcess(process_.hProcess, 9); }
  DWORD WaitExit() {
    CHECK(WaitForSingleObject(process_.hProcess, 20000) == WAIT_OBJECT_0, "the other process did not end within 20 s");
    return ExitCode();
  }
  DWORD Id() const { return process_.dwProcessId; }

 private:
  DWORD ExitCode() const {
    DWORD code = 0;
    GetExitCodeProcess(process_.hProcess, &code);
    return code;
  }
  std::string prefix_;
  std::map<std::string, HANDLE> events_;
  PROCESS_INFORMATION process_{};
};

// What the owner process prints (ChildMain, mode "owner").
std::string OwnerText(DWORD process);

// ---------------------------------------------------------------- the scenarios, as nvtest.cpp lists them
// user_io.cpp
void PrintOneMiB();
void DeviceControlAsTheHostSuiteExpects();
void BackChannelRead();
void HeldVendorRequestTimesOut();
void ResetDuringAPendingRead();
void SecondOpenIsRefused();
void ManyOverlappedRequests();
void CancelIoRounds();
void CancelFromAnotherThread();
void EveryCodeEveryBadLength();
void OpenCloseStorms();
void RefusedOpenIsInert();
void TwoProcessesOnOnePort();
void ProcessEndsWithReadPending();
void CloseWithWriteHeld();
void ReadsShorterThanWhatThePrinterSent();
void CloseWithReadPendingThenData();
// lifecycle.cpp
void InstallFromTheInf();
void UnplugRemovesTheLink();
void ReplugGetsTheSamePort();
void ThreeBridgesWithTheirPortNames();
void BridgeGoneWithItsPortOpen();
void SettingsFromTheDriverKey();
void ManyBridges();
void EightBridgesPrintAMiBEach();
void OutOfOrderUnplug();
void ReplugWithWriterRunning();
void WmiRequestsReachTheDeviceBelow();
void UnplugWithReadPending();

}  // namespace nvtest
