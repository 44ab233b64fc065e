// The Windows side of norvusb.exe. Windows 98 is the floor: no CancelIoEx or
// CancelSynchronousIo, and overlapped I/O on a device handle is not assured
// there. A read or write that must time out therefore runs on a worker
// thread while this one waits for it; at the time-out this thread sends the
// driver's own abort-pipes request on the same handle, which makes the USB
// stack end the transfer. That works whether or not the system honours the
// handle's overlapped flag, and CancelIo would not: it cancels only what the
// calling thread started.
#include "tools/win32/system.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "include/bridge_ioctl.h"

namespace norvusb::win32 {

namespace {

// The status the driver's request ended with, from the Windows error the
// system made of it: the system hands callers the error, not the status.
// Errors with no single status become the platform's NTSTATUS_FROM_WIN32.
int32_t StatusOf(DWORD error) {
  struct Pair {
    DWORD error;
    uint32_t status;
  };
  static const Pair kPairs[] = {
      {ERROR_SUCCESS, 0x00000000},
      {ERROR_GEN_FAILURE, 0xC0000001},             // STATUS_UNSUCCESSFUL
      {ERROR_INVALID_HANDLE, 0xC0000008},          // STATUS_INVALID_HANDLE
      {ERROR_INVALID_PARAMETER, 0xC000000D},       // STATUS_INVALID_PARAMETER
      {ERROR_INVALID_FUNCTION, 0xC0000010},        // STATUS_INVALID_DEVICE_REQUEST
      {ERROR_INSUFFICIENT_BUFFER, 0xC0000023},     // STATUS_BUFFER_TOO_SMALL
      {ERROR_FILE_NOT_FOUND, 0xC0000034},          // STATUS_OBJECT_NAME_NOT_FOUND
      {ERROR_ALREADY_EXISTS, 0xC0000035},          // STATUS_OBJECT_NAME_COLLISION
      {ERROR_NO_SYSTEM_RESOURCES, 0xC000009A},     // STATUS_INSUFFICIENT_RESOURCES
      {ERROR_DEVICE_NOT_CONNECTED, 0xC000009D},    // STATUS_DEVICE_NOT_CONNECTED
      {ERROR_SEM_TIMEOUT, 0xC00000B5},             // STATUS_IO_TIMEOUT
      {ERROR_NOT_SUPPORTED, 0xC00000BB},           // STATUS_NOT_SUPPORTED
      {ERROR_OPERATION_ABORTED, 0xC0000120},       // STATUS_CANCELLED
      {ERROR_BUSY, 0x80000011},                    // STATUS_DEVICE_BUSY
  };
  for (const Pair &pair : kPairs)
    if (pair.error == error) return static_cast<int32_t>(pair.status);
  return static_cast<int32_t>(0xC0070000u | (error & 0xFFFFu));
}

// Waits for an overlapped request; a system that ran it at once has
// finished it already.
PortIo Settle(HANDLE handle, BOOL done, OVERLAPPED &overlapped, DWORD moved) {
  DWORD error = done ? ERROR_SUCCESS : GetLastError();
  if (!done && error == ERROR_IO_PENDING)
    error = GetOverlappedResult(handle, &overlapped, &moved, TRUE) ? ERROR_SUCCESS : GetLastError();
  return {StatusOf(error), moved};
}

struct Transfer {
  HANDLE handle;
  bool write;
  void *data;
  DWORD length;
  PortIo result;
};

DWORD WINAPI RunTransfer(LPVOID context) {
  Transfer &transfer = *static_cast<Transfer *>(context);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD moved = 0;
  const BOOL done = transfer.write ? WriteFile(transfer.handle, transfer.data, transfer.length, &moved, &overlapped)
                                   : ReadFile(transfer.handle, transfer.data, transfer.length, &moved, &overlapped);
  transfer.result = Settle(transfer.handle, done, overlapped, moved);
  CloseHandle(overlapped.hEvent);
  return 0;
}

DWORD StartTick() {
  static const DWORD start = GetTickCount();
  return start;
}

volatile LONG interrupted = 0;

BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  // A second one ends the program at once, as the Linux program does.
  if (InterlockedExchange(&interrupted, 1) != 0) ExitProcess(130);
  return TRUE;
}

}  // namespace

RealPort::~RealPort() { CloseHandle(handle_); }

PortIo RealPort::Control(uint32_t code, const void *input, uint32_t inputLength, void *output, uint32_t outputLength) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  DWORD moved = 0;
  const BOOL done = DeviceIoControl(handle_, code, const_cast<void *>(input), inputLength, output, outputLength, &moved,
                                    &overlapped);
  const PortIo result = Settle(handle_, done, overlapped, moved);
  CloseHandle(overlapped.hEvent);
  return result;
}

PortIo RealPort::Write(const void *data, uint32_t length) {
  bool timedOut = false;
  return TimedTransfer(true, const_cast<void *>(data), length, -1, timedOut);
}

PortIo RealPort::TimedTransfer(bool write, void *data, uint32_t length, double seconds, bool &timedOut) {
  Transfer transfer{handle_, write, data, length, {}};
  DWORD id = 0;
  HANDLE worker = CreateThread(nullptr, 0, RunTransfer, &transfer, 0, &id);
  if (worker == nullptr) return {StatusOf(GetLastError()), 0};
  const DWORD wait = seconds < 0 ? INFINITE : static_cast<DWORD>(seconds * 1000 + 0.5);
  timedOut = false;
  // A slice at a time, so that Ctrl-C ends the wait as the time-out does.
  for (DWORD waited = 0;;) {
    const DWORD slice = wait == INFINITE ? 100 : (wait - waited < 100 ? wait - waited : 100);
    if (WaitForSingleObject(worker, slice) != WAIT_TIMEOUT) break;
    waited += slice;
    if (Interrupted() || (wait != INFINITE && waited >= wait)) {
      timedOut = !Interrupted();
      Control(IOCTL_BRIDGE_ABORT_PIPES, nullptr, 0, nullptr, 0);
      WaitForSingleObject(worker, INFINITE);
      break;
    }
  }
  CloseHandle(worker);
  return transfer.result;
}

Opened OpenPort(unsigned number) {
  char name[32];
  std::snprintf(name, sizeof name, "\\\\.\\NorvUSB%u", number);
  HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  Opened opened;
  DWORD error = handle != INVALID_HANDLE_VALUE ? ERROR_SUCCESS : GetLastError();
  if (handle != INVALID_HANDLE_VALUE) {
    opened.port = std::make_unique<RealPort>(handle);
    // The driver serves only the handle that opened the port. Wine hands a
    // second opener a handle although the driver refused its open; the
    // driver's no-op request then says whose the port is.
    if (static_cast<uint32_t>(opened.port->Control(IOCTL_BRIDGE_NOP, nullptr, 0, nullptr, 0).status) != 0xC0000008u)
      return opened;
    opened.port.reset();
    error = ERROR_ALREADY_EXISTS;
  }
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      opened.failure = OpenFailure::NoSuchPort;
      break;
    // The driver lets one program open a port: a second open ends with
    // STATUS_OBJECT_NAME_COLLISION, which the system reports as "already
    // exists"; a system that checks sharing itself says so instead.
    case ERROR_ALREADY_EXISTS:
    case ERROR_SHARING_VIOLATION:
    case ERROR_ACCESS_DENIED:
    case ERROR_BUSY:
      opened.failure = OpenFailure::InUse;
      break;
    default: {
      opened.failure = OpenFailure::Other;
      char text[512] = "";
      if (FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                         sizeof text, nullptr) == 0)
        text[0] = 0;
      for (char *end = text + std::char_traits<char>::length(text); end > text && (end[-1] == '\n' || end[-1] == '\r' || end[-1] == ' ');)
        *--end = 0;
      opened.words = std::string("Windows error ") + std::to_string(error) + (text[0] ? std::string(": ") + text : "");
    }
  }
  return opened;
}

std::string PortsNow() {
  std::string names;
  for (unsigned number = 1; number <= kMaxPorts; ++number) {
    const Opened opened = OpenPort(number);
    if (opened.failure == OpenFailure::NoSuchPort) continue;
    names += (names.empty() ? "" : ", ") + std::string("NorvUSB") + std::to_string(number);
  }
  return names.empty() ? "none" : names;
}

double Seconds() { return static_cast<DWORD>(GetTickCount() - StartTick()) / 1000.0; }

void Pause(double seconds) { Sleep(static_cast<DWORD>(seconds * 1000)); }

void BinaryStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
}

bool StderrIsConsole() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  return GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info) != 0;
}

int ConsoleColumns() {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 80;
  return info.srWindow.Right - info.srWindow.Left + 1;
}

void CatchInterrupts() {
  StartTick();
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool Interrupted() { return interrupted != 0; }

}  // namespace norvusb::win32
