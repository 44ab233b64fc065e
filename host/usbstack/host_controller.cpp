// The host controller: a thread that runs the bus frame by frame (or, in
// instant mode, as fast as the devices answer), moves packets between the
// queued transfers and the devices, and completes requests at DISPATCH_LEVEL.
#include <algorithm>
#include <chrono>
#include <map>

#include "host/kernel/force_pending.h"
#include "host/kernel/scheduler.h"
#include "host/kernel/host_kernel.h"
#include "host/usbstack/bus_impl.h"

namespace host::usb {

namespace {

using QueueIt = std::list<std::unique_ptr<Request>>::iterator;

const Outcome kStalled = Outcome::Of(USBD_STATUS_STALL_PID);
const Outcome kHalted = Outcome::Of(USBD_STATUS_ENDPOINT_HALTED);
const Outcome kNotResponding = Outcome::Of(USBD_STATUS_DEV_NOT_RESPONDING);
const Outcome kOverrun = Outcome::Of(USBD_STATUS_DATA_OVERRUN);
const Outcome kShort = Outcome::Of(USBD_STATUS_ERROR_SHORT_TRANSFER);

// Waits `units` of model time, or less when someone wakes the controller.
void WaitModelTime(sched::CondVar &wake, sched::Lock &lock, int64_t units) {
  wake.WaitUntil(lock, host::clock::Now() + std::max<int64_t>(1, units), "the next bus frame");
}

// Lets every other thread of the machine run until it waits. The clock
// moves only when all of them wait, so a wait for the next model-time unit
// returns exactly then.
void SettleMachine() { host::sched::Delay(1, "the machine to settle before a bus frame"); }

bool IsStandardGetDescriptor(const SetupPacket &setup, uint8_t type) {
  return setup.bmRequestType == 0x80 && setup.bRequest == 6 && (setup.wValue >> 8) == type;
}

bool IsClearEndpointHalt(const SetupPacket &setup) {
  return setup.bmRequestType == 0x02 && setup.bRequest == 1 && setup.wValue == USB_FEATURE_ENDPOINT_STALL;
}

// A request the controller may work on now.
bool Servable(const Request &request) { return !request.orphaned && request.phase == Phase::Active; }

bool SameEndpoint(const Request &a, const Request &b) { return a.port == b.port && a.endpoint == b.endpoint; }

}  // namespace

// Instant timing: a bulk transfer at the head of its endpoint is served on
// the thread that submits it, and completes there if the device takes it
// whole, sparing two hand-offs between threads. One that the device holds
// back (a NAK) stays queued for the controller, with what moved kept.
bool UsbBus::Impl::ServeAtOnce(PortState &port, QueueIt it, std::vector<Finished> &done) {
  Request &request = **it;
  if (options.timing != Timing::Instant || !request.bulk || !Servable(request) || request.stall) return false;
  const bool behindAnother = std::any_of(queue.begin(), it, [&](const auto &other) {
    return other->bulk && Servable(*other) && SameEndpoint(*other, request);
  });
  // Force-pending leaves it to the controller's thread, as the verifier asks.
  if (behindAnother || host::forcepending::ShouldPend()) return false;
  port.device->AdvanceTo(host::clock::Now());
  draining.insert(port.number);  // the controller's next frame sees whether its device works on
  const size_t finishedBefore = done.size();
  ServeBulk(port, it, UINT32_MAX, done);
  return done.size() > finishedBefore;
}

bool UsbBus::Impl::HasTimedWork() const {
  const bool requests = std::any_of(queue.begin(), queue.end(), [](const auto &request) {
    return !request->orphaned && request->phase != Phase::Held;
  });
  return requests || std::any_of(draining.begin(), draining.end(), [this](Port number) {
           const auto found = ports.find(number);
           return found != ports.end() && found->second->attached && found->second->device->Busy();
         });
}

void UsbBus::Impl::ControllerLoop() {
  const bool frames = options.timing == Timing::FullSpeed;
  std::vector<Finished> done;
  std::unique_lock lock(mutex);
  int64_t nextFrame = 0;
  bool ticking = false;
  while (!stopping) {
    if (!HasTimedWork() && done.empty()) {
      ticking = false;
      wake.WaitForWork(lock, "work for the host controller", [this] { return stopping || HasTimedWork(); });
      continue;
    }
    const int64_t now = host::clock::Now();
    if (frames) {
      if (!ticking) {
        // A frame that has not begun yet takes the request: one submitted
        // on a boundary makes the frame that starts there.
        nextFrame = (now + kFrameTime - 1) / kFrameTime * kFrameTime;
        ticking = true;
      }
      if (now < nextFrame) {
        WaitModelTime(wake, lock, nextFrame - now);
        continue;
      }
      // Requests finished in the last frame complete at its end. Then the
      // machine settles before the next frame starts: whatever the
      // completions woke (a driver's next request, a caller's next write)
      // runs until it waits, so that it always makes this frame, as a
      // driver's turnaround takes no bus time.
      lock.unlock();
      CompleteAll(done);
      SettleMachine();
      lock.lock();
      if (stopping) break;
      RunFrame(nextFrame, done);
      // A controller that fell far behind (a stopped debugger, a loaded
      // machine) does not replay the frames it missed.
      nextFrame = std::max(nextFrame + kFrameTime, (now / kFrameTime - 8) * kFrameTime);
    } else {
      RunFrame(now, done);
      const bool progressed = !done.empty();
      lock.unlock();
      CompleteAll(done);
      lock.lock();
      if (!progressed && HasTimedWork()) WaitModelTime(wake, lock, kFrameTime);
    }
  }
  lock.unlock();
  CompleteAll(done);
}

// The ports a frame looks at: those with a request queued, and those whose
// device works on without one (a printer draining its FIFO). An idle port
// costs a frame nothing.
std::vector<PortState *> UsbBus::Impl::PortsInFrame() {
  std::erase_if(draining, [this](Port number) {
    const PortState *port = FindPort(number);
    return port == nullptr || !port->attached;
  });
  std::vector<Port> numbers(draining.begin(), draining.end());
  for (const auto &request : queue) numbers.push_back(request->port);
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  std::vector<PortState *> inFrame;
  for (Port number : numbers) {
    PortState *port = FindPort(number);
    if (port != nullptr && port->attached) inFrame.push_back(port);
  }
  return inFrame;
}

void UsbBus::Impl::RunFrame(int64_t now, std::vector<Finished> &done) {
  const bool frames = options.timing == Timing::FullSpeed;
  ++stats.frames;
  const std::vector<PortState *> inFrame = PortsInFrame();
  for (PortState *port : inFrame) {
    port->usedThisFrame = false;
    port->device->AdvanceTo(now);
  }
  for (auto it = queue.begin(); it != queue.end();) {
    auto next = std::next(it);
    Request &request = **it;
    if (request.phase == Phase::Waiting && request.due <= now) {
      if (request.cancelling)
        Finish(it, Outcome::Of(USBD_STATUS_CANCELED), done);  // a slow cancel, done now
      else
        request.phase = Phase::Active;
    }
    it = next;
  }

  // Select, abort and reset requests that a fault delayed.
  for (auto it = queue.begin(); it != queue.end();) {
    auto next = std::next(it);
    Request &request = **it;
    if (request.immediate && Servable(request) && Claim(request)) {
      PortState *port = FindPort(request.port);
      const Outcome outcome = port ? ServeImmediate(*port, request, done) : Outcome::Of(USBD_STATUS_DEVICE_GONE);
      next = std::next(it);  // ServeImmediate may finish other requests, never this one
      Finish(it, outcome, done);
    }
    it = next;
  }

  // The default pipe of each port serves one control transfer at a time.
  std::map<Port, QueueIt> controls;  // each port's first, in port order
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    const Request &r = **it;
    if (Servable(r) && (r.control || r.kind == RequestKind::PortReset)) controls.emplace(r.port, it);
  }
  for (const auto &[number, it] : controls)
    if (PortState *port = FindPort(number)) ServeControl(*port, it, done);

  uint32_t used = 0;
  const uint32_t budget = frames ? options.bulkPacketsPerFrame : UINT32_MAX;
  for (bool more = true; more && used < budget;) {
    const std::vector<QueueIt> heads = BulkHeads();
    if (heads.empty()) break;
    const size_t finishedBefore = done.size();
    const uint32_t usedBefore = used;
    used += ServeInTurn(heads, budget - used, done);
    // In instant mode a pass that finished transfers lets the next ones on
    // the same endpoints run at once; in frames they wait for the next frame.
    more = !frames && done.size() > finishedBefore && used > usedBefore;
  }
  stats.maxBulkPacketsInFrame = std::max(stats.maxBulkPacketsInFrame, frames ? used : 0u);
  for (PortState *port : inFrame) {
    if (port->usedThisFrame) ++port->stats.framesUsed;
    if (port->device->Busy())
      draining.insert(port->number);
    else
      draining.erase(port->number);
  }
}

// The head transfer of every bulk endpoint, in the order of the bulk list
// (port, then endpoint), starting at the endpoint the last frame would have
// served next: the controller's place in its list survives the frame.
std::vector<QueueIt> UsbBus::Impl::BulkHeads() {
  std::map<uint64_t, QueueIt> byEndpoint;
  for (auto it = queue.begin(); it != queue.end(); ++it) {
    const Request &r = **it;
    if (r.bulk && Servable(r)) byEndpoint.emplace(ListKey(r.port, r.endpoint), it);
  }
  std::vector<QueueIt> heads;
  heads.reserve(byEndpoint.size());
  auto first = byEndpoint.lower_bound(bulkCursor);
  for (auto at = first; at != byEndpoint.end(); ++at) heads.push_back(at->second);
  for (auto at = byEndpoint.begin(); at != first; ++at) heads.push_back(at->second);
  return heads;
}

// One packet to each endpoint in turn, as a UHCI controller walks its ring
// of bulk queue heads breadth first and an OHCI controller its bulk list,
// until the frame's budget is spent. An endpoint whose transfer ends, or
// that NAKs, leaves the turn until the next frame. Whole rounds go out as
// one burst per endpoint (the same packets in each endpoint's order, so
// the same counts); only the last, partial round moves the list's place.
uint32_t UsbBus::Impl::ServeInTurn(std::vector<QueueIt> heads, uint32_t budget, std::vector<Finished> &done) {
  uint32_t used = 0;
  while (!heads.empty() && used < budget) {
    const uint32_t left = budget - used;
    const bool partial = left < heads.size();
    const auto rounds = static_cast<uint32_t>(partial ? 1 : left / heads.size());
    std::vector<QueueIt> stay;
    for (size_t i = 0; i < heads.size(); ++i) {
      if (used >= budget) {
        stay.insert(stay.end(), heads.begin() + static_cast<long>(i), heads.end());
        break;
      }
      const Request &request = **heads[i];
      const uint64_t key = ListKey(request.port, request.endpoint);
      const BulkTurn turn = ServeBulk(*FindPort(request.port), heads[i], rounds, done);
      used += turn.slots;
      if (turn.goesOn) stay.push_back(heads[i]);
      if (partial) bulkCursor = key + 1;
    }
    if (partial) break;
    heads.swap(stay);
  }
  return used;
}

void UsbBus::Impl::ServeControl(PortState &port, QueueIt it, std::vector<Finished> &done) {
  Request &request = **it;
  const bool frames = options.timing == Timing::FullSpeed;
  port.usedThisFrame = true;
  auto finish = [&](Outcome outcome) {
    if (Claim(request)) Finish(it, outcome, done);
  };
  if (request.stall) return finish(kStalled);

  if (request.kind == RequestKind::PortReset) {
    if (frames && --request.framesLeft > 0) return;
    port.device->BusReset();
    for (auto &[address, pipe] : port.pipes) {
      pipe.halted = false;
      pipe.toggle = DataPid::Data0;
    }
    // The stack restores the address and the configuration after the reset:
    // the driver's handles stay valid.
    if (port.layout) {
      port.device->SetConfiguration(port.layout->configurationValue);
      for (const auto &[interface, alternate] : port.alternateSettings)
        if (alternate != 0) port.device->SetInterface(interface, alternate);
    }
    return finish({});
  }

  if (!request.answered) {
    const SetupPacket &setup = request.setup;
    ControlReply reply;
    if (IsStandardGetDescriptor(setup, USB_DEVICE_DESCRIPTOR_TYPE)) {
      reply.data = port.device->DeviceDescriptor();
    } else if (IsStandardGetDescriptor(setup, USB_CONFIGURATION_DESCRIPTOR_TYPE)) {
      reply.data = port.device->ConfigurationDescriptor();
    } else if (IsClearEndpointHalt(setup)) {
      // The device's halt and toggle only: the host's endpoint stays as it
      // is until the driver resets the pipe.
      port.device->ClearHalt(static_cast<uint8_t>(setup.wIndex));
    } else {
      const std::span<const uint8_t> out =
          request.in ? std::span<const uint8_t>{} : std::span<const uint8_t>(request.buffer, request.length);
      reply = port.device->Control(setup, out);
    }
    switch (reply.handshake) {
      case Handshake::Nak:
        return;  // the setup is retried next frame
      case Handshake::Stall:
        return finish(kStalled);
      case Handshake::None:
        return finish(kNotResponding);
      case Handshake::Ack:
        break;
    }
    if (request.in) {
      // The host stops asking at wLength: a device with more to say is cut short.
      request.moved = static_cast<uint32_t>(std::min<size_t>(reply.data.size(), request.length));
      std::copy_n(reply.data.begin(), request.moved, request.buffer);
    } else {
      request.moved = request.length;
    }
    request.answered = true;
    const int dataFrames = static_cast<int>((request.length + kControlBytesPerFrame - 1) / kControlBytesPerFrame);
    request.framesLeft = frames ? dataFrames + 1 : 0;  // this frame carried the setup; then data, then status
    if (request.framesLeft > 0) return;
  } else if (--request.framesLeft > 0) {
    return;
  }
  // A UHCI or OHCI controller that meets a short packet in a control read
  // without USBD_SHORT_TRANSFER_OK drops the data and status stages and fails
  // the transfer (an EHCI controller would not; this bus models the former).
  // The stack sets the flag itself for the standard reads it builds.
  const bool cutShort = request.in && request.moved < request.length && !request.shortOk;
  finish(cutShort ? kShort : Outcome{});
}

BulkTurn UsbBus::Impl::ServeBulk(PortState &port, QueueIt it, uint32_t budget, std::vector<Finished> &done) {
  Request &request = **it;
  auto finish = [&](Outcome outcome) {
    if (Claim(request)) Finish(it, outcome, done);
  };
  auto found = port.pipes.find(request.endpoint);
  if (found == port.pipes.end()) {
    finish(Outcome::Of(USBD_STATUS_INVALID_PIPE_HANDLE));
    return {};
  }
  PipeState &pipe = found->second;
  if (pipe.halted) {
    finish(kHalted);
    return {};
  }
  port.usedThisFrame = true;
  if (request.stall) {
    pipe.halted = true;
    finish(kStalled);
    return {1, false};
  }
  // A packet the device did not take: a NAK waits for the next frame.
  auto refused = [&](Handshake handshake) {
    if (handshake == Handshake::Nak) {
      ++port.stats.naks;
    } else if (handshake == Handshake::Stall) {
      pipe.halted = true;
      finish(kStalled);
    } else {
      finish(kNotResponding);
    }
  };
  if (!request.in) {
    // OUT: every packet the budget allows, in one burst.
    const uint32_t remaining = request.length - request.moved;
    const size_t packets =
        std::min<size_t>(budget, std::max<size_t>(1, (remaining + pipe.maxPacket - 1) / pipe.maxPacket));
    const std::span<const uint8_t> data(request.buffer + request.moved,
                                        std::min<size_t>(remaining, packets * pipe.maxPacket));
    size_t acked = 0;
    const Handshake handshake = port.device->DataOutBurst(pipe.address, data, pipe.maxPacket, pipe.toggle, acked);
    port.stats.bulkPackets += acked;
    if (acked % 2 != 0) pipe.toggle = Flipped(pipe.toggle);
    request.moved += static_cast<uint32_t>(std::min(data.size(), acked * pipe.maxPacket));
    if (handshake != Handshake::Ack) {
      refused(handshake);
      return {static_cast<uint32_t>(acked + 1), false};
    }
    const bool complete = request.moved == request.length;
    if (complete) finish({});
    return {static_cast<uint32_t>(acked), !complete};
  }
  std::vector<uint8_t> packet(pipe.maxPacket);
  uint32_t used = 0;
  while (used < budget) {
    ++used;
    const uint32_t remaining = request.length - request.moved;
    DataPid pid = pipe.toggle;
    size_t got = 0;
    const Handshake handshake = port.device->DataIn(pipe.address, packet, got, pid);
    if (handshake != Handshake::Ack) {
      refused(handshake);
      return {used, false};
    }
    ++port.stats.bulkPackets;
    if (pid != pipe.toggle) continue;  // a retry of a packet already taken: acknowledged, dropped
    pipe.toggle = Flipped(pipe.toggle);
    if (got > pipe.maxPacket || got > remaining) {
      finish(kOverrun);  // babble: the device sent more than was asked for
      return {used, false};
    }
    std::copy_n(packet.begin(), got, request.buffer + request.moved);
    request.moved += static_cast<uint32_t>(got);
    const bool shortPacket = got < pipe.maxPacket;
    if (request.moved == request.length || shortPacket) {
      const bool incomplete = request.in && request.moved < request.length;
      // A UHCI or OHCI controller halts the endpoint on a short packet the
      // driver did not allow; only a pipe reset lets the next transfer run.
      if (incomplete && !request.shortOk) pipe.halted = true;
      finish(incomplete && !request.shortOk ? kShort : Outcome{});
      return {used, false};
    }
  }
  return {used, true};
}

}  // namespace host::usb
