// The machinery both managers send their requests with: a work queue thread,
// and a request built, sent to the top of a stack and waited for.
#include <chrono>
#include <memory>

#include "host/kernel/detail.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/power_manager.h"

namespace host::pnp::internal {

// ------------------------------------------------------------------ work queue

WorkQueue::~WorkQueue() { Stop(); }

void WorkQueue::Post(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  queue_.push_back(std::move(work));
  if (!thread_.joinable()) {
    thread_ = std::thread(&WorkQueue::Run, this);
    threadId_ = thread_.get_id();
  }
  wake_.notify_one();
}

void WorkQueue::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) break;
    auto work = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    work();
    work = nullptr;  // whatever it captured goes before the queue counts as idle
    lock.lock();
    busy_ = false;
    if (queue_.empty()) idle_.notify_all();
  }
  busy_ = false;
  idle_.notify_all();
}

bool WorkQueue::OnThread() const { return threadId_.load() == std::this_thread::get_id(); }

bool WorkQueue::Idle() {
  std::lock_guard lock(mutex_);
  return queue_.empty() && !busy_;
}

void WorkQueue::WaitIdle() {
  if (OnThread()) return;
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [&] { return stopping_ || (queue_.empty() && !busy_); });
}

void WorkQueue::Stop() {
  std::thread thread;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
    thread = std::move(thread_);
  }
  wake_.notify_all();
  idle_.notify_all();
  if (thread.joinable()) {
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
  std::lock_guard lock(mutex_);
  stopping_ = false;
  busy_ = false;
  threadId_ = std::thread::id{};
}

// ------------------------------------------------------------------ requests

namespace {

// Shared by the sender and the completion routine. A request abandoned by
// the watchdog may still complete later, so an abandoned waiter is kept for
// the life of the process (only after a bug check).
struct Waiter {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  bool power = false;
  IrpOutcome outcome;
};

std::mutex g_abandonedMutex;
std::vector<std::unique_ptr<Waiter>> g_abandoned;

NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *waiter = static_cast<Waiter *>(context);
  if (waiter->power) PowerIrpFinished(irp);
  std::lock_guard lock(waiter->mutex);
  waiter->outcome.status = irp->IoStatus.Status;
  waiter->outcome.information = irp->IoStatus.Information;
  waiter->finished = true;
  waiter->done.notify_all();
  // The I/O manager finishes and frees the request.
  return STATUS_SUCCESS;
}

// Real time that a span of model time takes at the clock's current speed.
std::chrono::nanoseconds RealTimeFor(int64_t modelUnits) {
  const double factor = host::clock::SpeedFactor() > 0 ? host::clock::SpeedFactor() : 1.0;
  return std::chrono::nanoseconds(static_cast<int64_t>(static_cast<double>(modelUnits) * 100.0 / factor));
}

}  // namespace

IrpOutcome SendIrp(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, const IO_STACK_LOCATION &parameters,
                   int64_t watchdog) {
  auto waiter = std::make_unique<Waiter>();
  waiter->power = major == IRP_MJ_POWER;

  PIRP irp = detail::AllocateIrpForHost(static_cast<CCHAR>(top->StackSize > 0 ? top->StackSize : 1));
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  next->Parameters = parameters.Parameters;
  IoSetCompletionRoutine(irp, RequestDone, waiter.get(), TRUE, TRUE, TRUE);

  const NTSTATUS returned = waiter->power ? PoCallDriver(top, irp) : IoCallDriver(top, irp);
  // As the platform's manager: the status the stack returned, unless it
  // pended; only then the status block.
  auto outcome = [&] {
    IrpOutcome result = waiter->outcome;
    if (returned != STATUS_PENDING) result.status = returned;
    return result;
  };

  std::unique_lock lock(waiter->mutex);
  if (watchdog <= 0) {
    waiter->done.wait(lock, [&] { return waiter->finished; });
    return outcome();
  }
  if (waiter->done.wait_for(lock, RealTimeFor(watchdog), [&] { return waiter->finished; })) {
    return outcome();
  }
  lock.unlock();
  // DRIVER_POWER_STATE_FAILURE (parameter 1 = 3: a device object has been
  // blocking a power request too long) or DRIVER_PNP_WATCHDOG.
  const bool power = waiter->power;
  host::RaiseBugCheck(power ? 0x9F : 0x1D5, power ? 3 : 0, reinterpret_cast<uint64_t>(top), 0,
                      reinterpret_cast<uint64_t>(irp),
                      std::string(power ? "a power" : "a Plug and Play") + " request (minor " + std::to_string(minor) +
                          ") sent to the device stack was not finished by its drivers");
  IrpOutcome abandoned;
  abandoned.status = STATUS_IO_TIMEOUT;
  abandoned.abandoned = true;
  std::lock_guard keep(g_abandonedMutex);
  g_abandoned.push_back(std::move(waiter));
  return abandoned;
}

size_t PoolRoom(const void *p) {
  const auto *address = static_cast<const uint8_t *>(p);
  for (const auto &block : host::OutstandingPoolBlocks()) {
    const auto *start = static_cast<const uint8_t *>(block.address);
    if (address >= start && address < start + block.size) return static_cast<size_t>(start + block.size - address);
  }
  return 0;
}

}  // namespace host::pnp::internal
