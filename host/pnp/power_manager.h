// Between the PnP manager and the power manager (not for drivers, stacks or
// programs: those use pnp_manager.h). Both managers send their requests with
// the same machinery and run their operations on the PnP worker.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host/kernel/scheduler.h"
#include "host/pnp/pnp_manager.h"

namespace host::pnp::internal {

// One thread that runs posted work in order; started at the first post.
class WorkQueue {
 public:
  WorkQueue() = default;
  ~WorkQueue();
  WorkQueue(const WorkQueue &) = delete;
  WorkQueue &operator=(const WorkQueue &) = delete;

  void Post(std::function<void()> work);
  void WaitIdle();        // returns at once on the queue's own thread
  bool OnThread() const;
  void Stop();            // drops what is queued and joins the thread
  bool Idle();

 private:
  void Run();
  host::Mutex mutex_;
  sched::CondVar wake_;
  sched::CondVar idle_;
  std::deque<std::function<void()>> queue_;
  bool busy_ = false;
  bool stopping_ = false;
  sched::Thread thread_;
};

// A request built by a manager, sent to the top of a stack and waited for.
// The IRP starts with STATUS_NOT_SUPPORTED, as the platform requires of PnP and
// power requests; power requests go through PoCallDriver. `watchdog` (model
// time, 100 ns units; 0 = none) bounds the wait: past it the platform's
// watchdog bug check is raised (0x9F for power, 0x1D5 for PnP) and the request
// is abandoned, so that one driver that never finishes a request cannot
// freeze the machine.
constexpr int64_t kRequestWatchdog = 10LL * 60 * 10'000'000;  // ten minutes of model time
struct IrpOutcome {
  NTSTATUS status = STATUS_NOT_SUPPORTED;
  ULONG_PTR information = 0;
  bool abandoned = false;
};
IrpOutcome SendIrp(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, const IO_STACK_LOCATION &parameters,
                   int64_t watchdog);

// Bytes from `p` to the end of the pool block that holds it; 0 when `p` is
// not inside an outstanding pool block. Bounds the reading of buffers that
// drivers hand to the manager.
size_t PoolRoom(const void *p);

// ---- provided by the PnP manager
NTSTATUS RunOnWorker(const std::function<NTSTATUS()> &work);
struct PowerTarget {
  std::string instancePath;
  PDEVICE_OBJECT top = nullptr;
  DEVICE_CAPABILITIES capabilities{};
};
std::vector<PowerTarget> StartedNodes();  // depth first, parents before children
void NotePowerState(const std::string &instancePath, DEVICE_POWER_STATE state);

// ---- provided by the power manager
void PowerReset();
void PowerWaitIdle();

}  // namespace host::pnp::internal
