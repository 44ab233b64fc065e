// The user-mode I/O API over the I/O manager: opens make file objects and send
// IRP_MJ_CREATE to the top of the device's stack, each call builds the IRP
// the platform builds for it (direct, buffered or neither I/O), and close
// sends cleanup, waits for what is still pending, then sends close.
#include "host/kernel/scheduler.h"
#include "host/io/user_io.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <vector>

#include "host/io/io_internal.h"

namespace host {
namespace {

constexpr double kUnitsPerSecond = 10'000'000.0;

std::string Narrow(const std::u16string &s) {
  std::string out;
  for (char16_t c : s) out += (c < 0x80) ? static_cast<char>(c) : '?';
  return out;
}

const char *MajorName(UCHAR major) {
  switch (major) {
    case IRP_MJ_CREATE: return "create";
    case IRP_MJ_CLEANUP: return "cleanup";
    case IRP_MJ_CLOSE: return "close";
    case IRP_MJ_READ: return "read";
    case IRP_MJ_WRITE: return "write";
    case IRP_MJ_DEVICE_CONTROL: return "device-control";
    default: return "other";
  }
}

class Request final : public PendingIo {
 public:
  Request(const OpenOptions &options, PDEVICE_OBJECT device, UCHAR major)
      : timeout_(options.stuckRequestTimeout), device_(device), major_(major) {
    KeInitializeEvent(&event_, NotificationEvent, FALSE);
  }

  bool Wait(int64_t timeout) override {
    LARGE_INTEGER relative;
    relative.QuadPart = -std::max<int64_t>(timeout, 0);
    return KeWaitForSingleObject(&event_, UserRequest, UserMode, FALSE, timeout < 0 ? nullptr : &relative) ==
           STATUS_WAIT_0;
  }

  bool Done() const override { return KeReadStateEvent(const_cast<PKEVENT>(&event_)) != 0; }

  bool Cancel() override {
    PIRP irp;
    {
      std::lock_guard lock(mutex_);
      if (irp_ == nullptr) return false;
      irp = irp_;
      io::HoldIrp(irp);  // the IRP may finish on another thread meanwhile
    }
    BOOLEAN cancelled = IoCancelIrp(irp);
    io::ReleaseIrp(irp);
    return cancelled != FALSE;
  }

  IoResult Result() const override {
    if (!Done()) return {};
    return {iosb_.Status, iosb_.Information};
  }

  IoResult Await() override {
    AwaitOrReport(true);
    return Result();
  }

  // A bounded wait: cancel after the time-out, then report. False when the
  // request is still pending after all (only when keepWaiting is false).
  bool AwaitOrReport(bool keepWaiting) {
    if (Wait(timeout_)) return true;
    Cancel();
    if (Wait(timeout_)) return true;
    PIRP irp;
    {
      std::lock_guard lock(mutex_);
      irp = irp_;
    }
    io::Violation(io::check::kUserRequestStuck, irp, device_,
                  std::string("a user-mode ") + MajorName(major_) + " request to " +
                      Narrow(io::DeviceName(device_)) + " was neither completed nor cancelled within " +
                      std::to_string(static_cast<double>(timeout_) / kUnitsPerSecond) +
                      " s of model time, nor in as long again after IoCancelIrp");
    if (!keepWaiting) return false;
    Wait(-1);  // the caller's buffers are in the request: it cannot be abandoned
    return true;
  }

  // Hands the request to the driver stack; the IRP is prepared already.
  void Send(PDEVICE_OBJECT top, PIRP irp, std::shared_ptr<Request> self) {
    irp->UserIosb = &iosb_;
    irp->UserEvent = &event_;
    {
      std::lock_guard lock(mutex_);
      irp_ = irp;
    }
    io::SetFinishObserver(irp, [self = std::move(self)](PIRP) {
      std::lock_guard lock(self->mutex_);
      self->irp_ = nullptr;
    });
    IofCallDriver(top, irp);
  }

  void FailNow(NTSTATUS status) {
    iosb_.Status = status;
    iosb_.Information = 0;
    KeSetEvent(&event_, IO_NO_INCREMENT, FALSE);
  }

 private:
  int64_t timeout_;
  PDEVICE_OBJECT device_;
  UCHAR major_;
  KEVENT event_;
  IO_STATUS_BLOCK iosb_{};
  host::Mutex mutex_;
  PIRP irp_ = nullptr;  // while the I/O manager has not finished it
};

using Prepare = std::function<NTSTATUS(PIRP irp, PDEVICE_OBJECT top)>;

// The location and buffers of a read or write, by the device's I/O method.
NTSTATUS PrepareTransfer(PIRP irp, PDEVICE_OBJECT top, bool read, void *buffer, ULONG length, LONGLONG offset,
                         bool mapMdl) {
  PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
  sp->Parameters.Read.Length = length;  // Write has the same layout
  sp->Parameters.Read.ByteOffset.QuadPart = offset;
  irp->UserBuffer = buffer;
  if (length == 0) return STATUS_SUCCESS;
  if (top->Flags & DO_BUFFERED_IO) {
    PVOID system = io::AttachSystemBuffer(irp, length);
    if (system == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
    if (read) {
      irp->Flags |= IRP_INPUT_OPERATION;
      io::SetUserBufferLength(irp, length);
    } else {
      std::memcpy(system, buffer, length);
    }
  } else if (top->Flags & DO_DIRECT_IO) {
    irp->MdlAddress = io::NewLockedMdl(buffer, length, mapMdl);
  }
  return STATUS_SUCCESS;
}

// "\Device\X\rest" -> "\Device\X" and "\rest".
std::pair<std::u16string, std::u16string> SplitDeviceName(const std::u16string &path) {
  size_t directoryEnd = path.find(u'\\', 1);
  size_t nameEnd = directoryEnd == std::u16string::npos ? directoryEnd : path.find(u'\\', directoryEnd + 1);
  if (nameEnd == std::u16string::npos) return {path, {}};
  return {path.substr(0, nameEnd), path.substr(nameEnd)};
}

}  // namespace

struct DeviceHandle::File {
  File(PFILE_OBJECT object, PDEVICE_OBJECT device, const OpenOptions &options)
      : object(object), device(device), options(options) {}

  // Builds and sends one request. Requests other than cleanup and close are
  // refused once the handle is closing.
  std::shared_ptr<Request> Issue(UCHAR major, const Prepare &prepare) {
    auto request = std::make_shared<Request>(options, device, major);
    bool closingRequest = major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE;
    {
      std::lock_guard lock(mutex);
      if (closing && !closingRequest) {
        request->FailNow(STATUS_INVALID_HANDLE);
        return request;
      }
      std::erase_if(outstanding, [](const auto &r) { return r->Done(); });
      if (!closingRequest) outstanding.push_back(request);
    }
    PDEVICE_OBJECT top = io::ReferenceAttachedTop(device);
    if (top == nullptr || io::DriverUnloaded(top)) {
      request->FailNow(STATUS_NO_SUCH_DEVICE);
    } else {
      PIRP irp = io::NewIrp(top->StackSize, true);
      irp->RequestorMode = UserMode;
      irp->Tail.Overlay.OriginalFileObject = object;
      PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
      sp->MajorFunction = major;
      sp->FileObject = object;
      NTSTATUS status = prepare ? prepare(irp, top) : STATUS_SUCCESS;
      if (NT_SUCCESS(status)) {
        request->Send(top, irp, request);
      } else {
        io::FreeMdlChain(irp->MdlAddress);
        irp->MdlAddress = nullptr;
        io::ReleaseIrp(irp);
        request->FailNow(status);
      }
    }
    if (top != nullptr) ObfDereferenceObject(top);
    return request;
  }

  IoResult Call(UCHAR major, const Prepare &prepare) { return Issue(major, prepare)->Await(); }

  // The file object goes: the device's open count drops, and the PnP manager
  // hears of the last one.
  void Release() {
    if (io::CloseDeviceForFile(device) && !io::DeviceDeleted(device)) detail::PnpOnLastHandleClosed(device);
    ObfDereferenceObject(object);
  }

  NTSTATUS Close() {
    std::vector<std::shared_ptr<Request>> pending;
    {
      std::lock_guard lock(mutex);
      closing = true;
      pending = outstanding;
    }
    Issue(IRP_MJ_CLEANUP, nullptr)->AwaitOrReport(false);
    bool closed = !options.asWine || Issue(IRP_MJ_CLOSE, nullptr)->AwaitOrReport(false);
    bool stuck = false;
    for (auto &request : pending) stuck |= !request->AwaitOrReport(false);
    // A request the driver never finished still refers to the file object:
    // it stays alive (and shows in the leak report) rather than go under it.
    if (!options.asWine) closed = !stuck && Issue(IRP_MJ_CLOSE, nullptr)->AwaitOrReport(false);
    if (stuck || !closed) return STATUS_IO_TIMEOUT;
    Release();
    return STATUS_SUCCESS;
  }

  PFILE_OBJECT object;
  PDEVICE_OBJECT device;
  OpenOptions options;
  host::Mutex mutex;
  bool closing = false;
  std::vector<std::shared_ptr<Request>> outstanding;
};

std::u16string KernelPathOf(std::u16string_view userPath) {
  std::u16string path(userPath);
  for (std::u16string_view prefix : {u"\\\\.\\", u"\\??\\"})
    if (path.starts_with(prefix)) return u"\\DosDevices\\" + path.substr(prefix.size());
  return path;
}

DeviceHandle::~DeviceHandle() { Close(); }

DeviceHandle::DeviceHandle(DeviceHandle &&other) noexcept : file_(std::move(other.file_)) {}

DeviceHandle &DeviceHandle::operator=(DeviceHandle &&other) noexcept {
  if (this != &other) {
    Close();
    file_ = std::move(other.file_);
  }
  return *this;
}

NTSTATUS DeviceHandle::Open(std::string_view path, const OpenOptions &options) {
  return Open(std::u16string(path.begin(), path.end()), options);
}

NTSTATUS DeviceHandle::Open(std::u16string_view path, const OpenOptions &options) {
  Close();
  auto [deviceName, fileName] = SplitDeviceName(KernelPathOf(path));
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = io::OpenDeviceForFile(deviceName, &device, !options.asWine);
  if (!NT_SUCCESS(status)) return status;
  return Create(device, fileName, options);
}

NTSTATUS DeviceHandle::Open(PDEVICE_OBJECT target, const OpenOptions &options) {
  Close();
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = io::OpenDeviceObjectForFile(target, &device);
  if (!NT_SUCCESS(status)) return status;
  return Create(device, {}, options);
}

NTSTATUS DeviceHandle::Create(PDEVICE_OBJECT device, const std::u16string &fileName, const OpenOptions &options) {
  auto file = std::make_shared<File>(io::NewFileObject(device, fileName), device, options);
  IoResult created = file->Call(IRP_MJ_CREATE, nullptr);
  if (!NT_SUCCESS(created.status) && options.asWine) {
    file_ = std::move(file);
    return STATUS_SUCCESS;
  }
  if (!NT_SUCCESS(created.status)) {
    file->Release();  // a failed create gets no cleanup or close
    return created.status;
  }
  file_ = std::move(file);
  return STATUS_SUCCESS;
}

NTSTATUS DeviceHandle::Close() {
  if (!file_) return STATUS_INVALID_HANDLE;
  auto file = std::move(file_);
  return file->Close();
}

namespace {

IoResult NotOpen() { return {STATUS_INVALID_HANDLE, 0}; }

std::shared_ptr<PendingIo> Failed() {
  auto request = std::make_shared<Request>(OpenOptions{}, nullptr, 0);
  request->FailNow(STATUS_INVALID_HANDLE);
  return request;
}

}  // namespace

std::shared_ptr<PendingIo> DeviceHandle::StartRead(void *buffer, ULONG length, LONGLONG offset) {
  if (!file_) return Failed();
  bool map = file_->options.mapDirectBuffers;
  return file_->Issue(IRP_MJ_READ, [=](PIRP irp, PDEVICE_OBJECT top) {
    return PrepareTransfer(irp, top, true, buffer, length, offset, map);
  });
}

std::shared_ptr<PendingIo> DeviceHandle::StartWrite(const void *buffer, ULONG length, LONGLONG offset) {
  if (!file_) return Failed();
  bool map = file_->options.mapDirectBuffers;
  return file_->Issue(IRP_MJ_WRITE, [=](PIRP irp, PDEVICE_OBJECT top) {
    return PrepareTransfer(irp, top, false, const_cast<void *>(buffer), length, offset, map);
  });
}

std::shared_ptr<PendingIo> DeviceHandle::StartDeviceControl(ULONG code, const void *input, ULONG inputLength,
                                                            void *output, ULONG outputLength) {
  if (!file_) return Failed();
  bool map = file_->options.mapDirectBuffers;
  return file_->Issue(IRP_MJ_DEVICE_CONTROL, [=](PIRP irp, PDEVICE_OBJECT) {
    return io::PrepareDeviceControl(irp, code, false, const_cast<void *>(input), inputLength, output, outputLength,
                                    map);
  });
}

IoResult DeviceHandle::Read(void *buffer, ULONG length, LONGLONG offset) {
  return file_ ? StartRead(buffer, length, offset)->Await() : NotOpen();
}

IoResult DeviceHandle::Write(const void *buffer, ULONG length, LONGLONG offset) {
  return file_ ? StartWrite(buffer, length, offset)->Await() : NotOpen();
}

IoResult DeviceHandle::DeviceControl(ULONG code, const void *input, ULONG inputLength, void *output,
                                     ULONG outputLength) {
  return file_ ? StartDeviceControl(code, input, inputLength, output, outputLength)->Await() : NotOpen();
}

PFILE_OBJECT DeviceHandle::FileObject() const { return file_ ? file_->object : nullptr; }
PDEVICE_OBJECT DeviceHandle::Device() const { return file_ ? file_->device : nullptr; }

}  // namespace host
