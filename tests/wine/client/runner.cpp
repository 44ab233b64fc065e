// The runner of the client: the test loop and its bookkeeping, the
// watchdog, the start of the bus and the bridge model, the closing line, and
// the other process of a two-process test.
//
// Prints "PASS name" or "FAIL name: why" per test and a last line
// "N passed, N failed"; exits 0 only when all passed.
//
// Every wait is bounded: a bus request or a port request that does not end
// in time fails its test, and a test that does not finish within its budget
// (a call that never returns) fails through the watchdog, which ends the run
// with its closing line.
#include <cctype>
#include <sstream>

#include "tests/wine/client/nvtest.h"

namespace nvtest {

namespace {

int passed = 0, failed = 0, skipped = 0;

int testNumber = 0;

// The watchdog's view of the running test: its name and when its budget
// ends (0: none running). Result lines and the closing line go out under
// outputLock, so the watchdog never writes into the middle of one.
std::mutex outputLock;
std::string runningName;
std::atomic<int64_t> deadline{0};
HANDLE modelProcess = nullptr;

int64_t NowMs() { return static_cast<int64_t>(GetTickCount64()); }

void Watchdog() {
  for (;;) {
    Sleep(500);
    const int64_t end = deadline.load();
    if (end == 0 || NowMs() < end) continue;
    std::lock_guard lock(outputLock);
    if (deadline.load() != end) continue;
    ++failed;
    std::printf("FAIL %s: still running at the end of its budget (a request that never ended)\n", runningName.c_str());
    std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
    std::fflush(stdout);
    if (modelProcess) TerminateProcess(modelProcess, 3);
    ExitProcess(1);
  }
}

}  // namespace

void Fail(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw Failure{text};
}

void Run(const char *name, const std::function<void()> &test, int budgetSeconds) {
  ++testNumber;
  char only[128];
  if (GetEnvironmentVariableA("NVTEST_ONLY", only, sizeof only)) {
    // Each entry is a test's number or the start of its name.
    bool listed = false;
    std::stringstream entries(only);
    for (std::string entry; std::getline(entries, entry, ',');)
      listed = listed || entry == std::to_string(testNumber) || (!entry.empty() && !std::isdigit(entry[0]) &&
                                                                std::string(name).rfind(entry, 0) == 0);
    if (!listed) return;
  }
  {
    std::lock_guard lock(outputLock);
    runningName = name;
    deadline = NowMs() + budgetSeconds * 1000LL;
  }
  std::string line;
  try {
    test();
    line = std::string("PASS ") + name;
  } catch (const Failure &f) {
    line = std::string("FAIL ") + name + ": " + f.what;
  } catch (const Skip &s) {
    line = std::string("SKIP ") + name + ": " + s.why;
  }
  std::lock_guard lock(outputLock);
  deadline = 0;
  if (line[0] == 'P') ++passed;
  if (line[0] == 'F') ++failed;
  if (line[0] == 'S') ++skipped;
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void Note(const char *format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard lock(outputLock);
  std::printf("  %s\n", text);
  std::fflush(stdout);
}

bool StartMachine(const char *program) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  // The bus starts with Wine's services: give it some time.
  for (int i = 0; i < 300; ++i) {
    bus = CreateFileW(L"\\\\.\\NorvWineBus", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                      FILE_FLAG_OVERLAPPED, nullptr);
    if (bus != INVALID_HANDLE_VALUE) break;
    Sleep(100);
  }
  if (bus == INVALID_HANDLE_VALUE) {
    std::printf("FAIL setup: cannot open the bus (error %lu)\n0 passed, 1 failed\n", GetLastError());
    return false;
  }
  // The bridge model, beside this program.
  std::string model(program);
  model = model.substr(0, model.find_last_of("\\/") + 1) + "nvbridge.exe";
  // Enough workers that the requests the tests leave waiting in the bridge
  // (a read the printer has nothing for) never hold up the others.
  const uint32_t workers = 10;
  std::string command = "\"" + model + "\" " + std::to_string(workers);
  STARTUPINFOA startup = {sizeof startup};
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(model.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    std::printf("FAIL setup: cannot start %s (error %lu)\n0 passed, 1 failed\n", model.c_str(), GetLastError());
    return false;
  }
  // Once its pipe is up, the bus's workers connect to it.
  HANDLE ready = nullptr;
  for (int i = 0; i < 200 && ready == nullptr; ++i) {
    ready = OpenEventW(SYNCHRONIZE, FALSE, L"NorvWineBridgeReady");
    if (!ready) Sleep(50);
  }
  if (ready) WaitForSingleObject(ready, 10000);
  modelProcess = process.hProcess;
  std::thread(Watchdog).detach();
  BusControl(IOCTL_NVBUS_CONNECT, &workers, sizeof workers, 0);
  for (int i = 0; i < 200 && State().Workers < workers; ++i) Sleep(50);
  if (State().Workers < workers) {
    std::printf("FAIL setup: the bus connected %u of %u workers to the model\n0 passed, 1 failed\n", State().Workers,
                workers);
    return false;
  }
  return true;
}

void DriverHostLivedThroughEveryTest() {
  DWORD error = 0;
  BusControl(IOCTL_NVBUS_STATE, nullptr, 0, sizeof(NVBUS_STATE), &error);
  CHECK(error == 0, "the bus answers error %lu: the process hosting the drivers is gone", error);
}

int Finish() {
  // The model ends; the bus keeps nothing waiting for it.
  DWORD error = 0;
  NVBUS_HOOK shutdown{0, NVBUS_HOOK_SHUTDOWN, 0, 0};
  BusControl(IOCTL_NVBUS_HOOK, &shutdown, sizeof shutdown, 0, &error);
  if (WaitForSingleObject(modelProcess, 5000) != WAIT_OBJECT_0) TerminateProcess(modelProcess, 3);
  std::lock_guard lock(outputLock);
  std::printf("%d passed, %d failed, %d skipped\n", passed, failed, skipped);
  return failed == 0 ? 0 : 1;
}

// "nvtest.exe child <mode> <port> <prefix>": the other process of a test.
// Modes: "owner" opens the port, and on <prefix>-go writes OwnerText, sets
// <prefix>-written, and on <prefix>-close closes and ends (exit code 0 when
// its write was done); "read-then-exit" and "read-then-wait" open the port,
// leave a read pending, set <prefix>-ready, and end at once or wait to be
// ended. Prints nothing: the results are the parent's.
int ChildMain(int argc, char **argv) {
  if (argc < 5) return 2;
  const std::string mode = argv[2];
  const int port = std::atoi(argv[3]);
  const std::string prefix = argv[4];
  auto event = [&](const char *name) {
    return OpenEventA(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, (prefix + "-" + name).c_str());
  };
  HANDLE ready = event("ready"), go = event("go"), written = event("written"), closeNow = event("close");
  if (!ready || !go || !written || !closeNow) return 2;
  HANDLE h;
  if (mode == "owner") {
    if (Open(PortPath(port), &h) != STATUS_SUCCESS) return 3;
    SetEvent(ready);
    if (WaitForSingleObject(go, 30000) != WAIT_OBJECT_0) return 4;
    const std::string text = OwnerText(GetCurrentProcessId());
    const Result r = Write(h, reinterpret_cast<const uint8_t *>(text.data()), static_cast<ULONG>(text.size()));
    SetEvent(written);
    if (WaitForSingleObject(closeNow, 30000) != WAIT_OBJECT_0) return 4;
    NtClose(h);
    return r.status == STATUS_SUCCESS && r.information == text.size() ? 0 : 1;
  }
  if (mode == "read-then-exit" || mode == "read-then-wait") {
    if (Open(PortPath(port), &h, false) != STATUS_SUCCESS) return 3;
    static IO_STATUS_BLOCK io;
    static uint8_t buffer[64];
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (NtReadFile(h, done, nullptr, nullptr, &io, buffer, sizeof buffer, nullptr, nullptr) != STATUS_PENDING) return 5;
    SetEvent(ready);
    if (mode == "read-then-exit") ExitProcess(0);  // with the read pending
    Sleep(60000);
    return 6;
  }
  return 2;
}

}  // namespace nvtest
