// The user-mode I/O API: what an application or the print system does with a
// device (CreateFile, ReadFile, WriteFile, DeviceIoControl, CancelIo,
// CloseHandle), with the I/O manager's behaviour behind each call.
//
//   host::DeviceHandle port;
//   NTSTATUS status = port.Open(u"\\\\.\\NorvUSB1");     // or u"\\Device\\NorvUSB0"
//   host::IoResult w = port.Write(data, size);          // synchronous
//   auto read = port.StartRead(buffer, sizeof buffer);  // overlapped
//   if (!read->Wait(2 * 10'000'000)) read->Cancel();    // model time, 100 ns units
//   host::IoResult r = read->Await();
//   port.Close();                                       // or let the handle go
//
// Buffers handed to an asynchronous request must stay valid until it is done,
// as with overlapped I/O. Reads, writes, device controls and everything on a
// PendingIo are safe from any number of threads at once; Open, Close and
// moving a handle must not race other calls on the same handle object.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "host/kernel/host_kernel.h"

#ifndef STATUS_INVALID_HANDLE
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#endif

namespace host {

struct IoResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;  // bytes moved
};

struct OpenOptions {
  // Direct-I/O buffers arrive with their MDL already mapped to system space;
  // false leaves the mapping to the driver (MmGetSystemAddressForMdlSafe).
  bool mapDirectBuffers = true;
  // Model time a request may stay pending when someone must wait for it
  // (a synchronous call, a close). After it the request is cancelled, as the
  // platform does for a thread that leaves with I/O pending; if it is still
  // not finished after the same time again, the I/O manager reports it as a
  // verifier violation (bug check 0xC9, parameter 0x402) instead of hanging
  // without a word.
  int64_t stuckRequestTimeout = 300LL * 10'000'000;
  // Wine 8's I/O manager, which the platform never is: the exclusive flag is
  // not honoured, a create the driver refused still gives a handle whose
  // requests reach the driver (Open reports success), and the close goes to
  // the driver without waiting for the handle's requests still pending. For
  // tests of a driver against those orders.
  bool asWine = false;
};

// One request in flight on a handle (an overlapped operation).
class PendingIo {
 public:
  virtual ~PendingIo() = default;
  // Waits at most `timeout` of model time (100 ns units; negative: no limit).
  // True when the request is done.
  virtual bool Wait(int64_t timeout) = 0;
  virtual bool Done() const = 0;
  // IoCancelIrp on the request: true when a cancel routine was called. The
  // request still finishes through its driver (usually STATUS_CANCELLED).
  virtual bool Cancel() = 0;
  // The final status and byte count; STATUS_PENDING while not done.
  virtual IoResult Result() const = 0;
  // Waits as a synchronous call does (see OpenOptions) and returns the result.
  virtual IoResult Await() = 0;
};

class DeviceHandle {
 public:
  DeviceHandle() = default;
  ~DeviceHandle();  // closes
  DeviceHandle(DeviceHandle &&other) noexcept;
  DeviceHandle &operator=(DeviceHandle &&other) noexcept;
  DeviceHandle(const DeviceHandle &) = delete;
  DeviceHandle &operator=(const DeviceHandle &) = delete;

  // Opens "\\.\X" (the DOS name, through its "\DosDevices" link), "\??\X",
  // "\DosDevices\X" or "\Device\X"; what follows the device name
  // ("\Device\X\sub") reaches the driver as the file object's FileName.
  // Closes a handle already open first.
  NTSTATUS Open(std::u16string_view path, const OpenOptions &options = {});
  NTSTATUS Open(std::string_view path, const OpenOptions &options = {});
  // Opens a device object itself, named or not (a PDO has no name a program
  // could use, but is reached through a device interface all the same).
  NTSTATUS Open(PDEVICE_OBJECT device, const OpenOptions &options = {});
  bool IsOpen() const { return file_ != nullptr; }
  // Cleanup, then the wait for requests still pending, then close.
  // STATUS_INVALID_HANDLE when not open.
  NTSTATUS Close();

  IoResult Read(void *buffer, ULONG length, LONGLONG offset = 0);
  IoResult Write(const void *buffer, ULONG length, LONGLONG offset = 0);
  IoResult DeviceControl(ULONG code, const void *input, ULONG inputLength, void *output, ULONG outputLength);

  std::shared_ptr<PendingIo> StartRead(void *buffer, ULONG length, LONGLONG offset = 0);
  std::shared_ptr<PendingIo> StartWrite(const void *buffer, ULONG length, LONGLONG offset = 0);
  std::shared_ptr<PendingIo> StartDeviceControl(ULONG code, const void *input, ULONG inputLength, void *output,
                                                ULONG outputLength);

  // The kernel objects behind the handle (null when closed), for tests.
  PFILE_OBJECT FileObject() const;
  PDEVICE_OBJECT Device() const;

  struct File;

 private:
  // Sends the create for a device that OpenDevice*ForFile counted already.
  NTSTATUS Create(PDEVICE_OBJECT device, const std::u16string &fileName, const OpenOptions &options);

  std::shared_ptr<File> file_;
};

// "\\.\X" and "\??\X" as the object manager sees them: "\DosDevices\X".
std::u16string KernelPathOf(std::u16string_view userPath);

}  // namespace host
