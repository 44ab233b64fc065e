// The machinery both managers send their requests with: a work queue thread,
// and a request built, sent to the top of a stack and waited for.
#include <chrono>
#include <memory>

#include "host/kernel/scheduler.h"
#include "host/kernel/detail.h"
#include "host/kernel/host_kernel.h"
#include "host/pnp/power_manager.h"

namespace host::pnp::internal {

// ------------------------------------------------------------------ work queue

WorkQueue::~WorkQueue() { Stop(); }

void WorkQueue::Post(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  queue_.push_back(std::move(work));
  if (!thread_.Joinable()) thread_ = sched::Thread("Plug and Play worker", [this] { Run(); });
  wake_.NotifyOne();
}

void WorkQueue::Run() {
  sched::Lock lock(mutex_);
  for (;;) {
    wake_.WaitForWork(lock, "work for the Plug and Play worker", [&] { return stopping_ || !queue_.empty(); });
    if (stopping_) break;
    auto work = std::move(queue_.front());
    queue_.pop_front();
    busy_ = true;
    lock.unlock();
    work();
    work = nullptr;  // whatever it captured goes before the queue counts as idle
    lock.lock();
    busy_ = false;
    if (queue_.empty()) idle_.NotifyAll();
  }
  busy_ = false;
  idle_.NotifyAll();
}

bool WorkQueue::OnThread() const { return thread_.OnThread(); }

bool WorkQueue::Idle() {
  std::lock_guard lock(mutex_);
  return queue_.empty() && !busy_;
}

void WorkQueue::WaitIdle() {
  if (OnThread()) return;
  sched::Lock lock(mutex_);
  idle_.Wait(lock, "the Plug and Play worker to finish its work", [&] { return stopping_ || (queue_.empty() && !busy_); });
}

void WorkQueue::Stop() {
  sched::Thread thread;
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    queue_.clear();
    thread = std::move(thread_);
  }
  wake_.NotifyAll();
  idle_.NotifyAll();
  thread.Join();  // detaches when the worker stops itself
  std::lock_guard lock(mutex_);
  stopping_ = false;
  busy_ = false;
}

// ------------------------------------------------------------------ requests

namespace {

// Shared by the sender and the completion routine. A request abandoned by
// the watchdog may still complete later, so an abandoned waiter is kept for
// the life of the process (only after a bug check).
struct Waiter {
  host::Mutex mutex;
  sched::CondVar done;
  bool finished = false;
  bool power = false;
  IrpOutcome outcome;
};

host::Mutex g_abandonedMutex;
std::vector<std::unique_ptr<Waiter>> g_abandoned;

NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto *waiter = static_cast<Waiter *>(context);
  if (waiter->power) PowerIrpFinished(irp);
  std::lock_guard lock(waiter->mutex);
  waiter->outcome.status = irp->IoStatus.Status;
  waiter->outcome.information = irp->IoStatus.Information;
  waiter->finished = true;
  waiter->done.NotifyAll();
  // The I/O manager finishes and frees the request.
  return STATUS_SUCCESS;
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

  sched::Lock lock(waiter->mutex);
  const char *what = waiter->power ? "a power request sent to a device stack" : "a Plug and Play request sent to a device stack";
  if (watchdog <= 0) {
    waiter->done.Wait(lock, what, [&] { return waiter->finished; });
    return outcome();
  }
  if (waiter->done.WaitUntil(lock, host::clock::Now() + watchdog, what, [&] { return waiter->finished; })) {
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
  const std::optional<PoolBlockInfo> block = host::detail::PoolBlockHolding(p);
  if (!block) return 0;
  const auto *end = static_cast<const uint8_t *>(block->address) + block->size;
  return static_cast<size_t>(end - static_cast<const uint8_t *>(p));
}

}  // namespace host::pnp::internal
