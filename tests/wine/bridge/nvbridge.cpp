// nvbridge.exe: the bridges behind the Wine suite's virtual USB bus. Runs the
// host machine's own bridge and printer model (host/hardware/, compiled
// unchanged for Win32) and answers what nvbus.sys forwards: the device side
// of every control transfer, bulk transfers packet by packet as the host
// machine's host controller moves them (host/usbstack/host_controller.cpp),
// and the test client's requests to the model (its printer's sink, the back
// channel, vendor faults).
//
// Usage: nvbridge.exe [workers]. Ends on NVBUS_HOOK_SHUTDOWN.
#include <windows.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/hardware/bridge.h"
#include "tests/wine/nvbus_protocol.h"

// The model's locks come from the host scheduler, whose misuse checks end in
// a bug check (declared in host/kernel/host_kernel.h, which this Windows
// program cannot include); here there is no machine to stop but the process.
namespace host {
void RaiseBugCheck(uint32_t code, uint64_t p1, uint64_t p2, uint64_t p3, uint64_t p4, std::string what) {
  std::fprintf(stderr, "nvbridge: STOP 0x%08X (0x%llX, 0x%llX, 0x%llX, 0x%llX) %s\n", code,
               static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2),
               static_cast<unsigned long long>(p3), static_cast<unsigned long long>(p4), what.c_str());
  std::fflush(stderr);
  std::abort();
}
}  // namespace host

namespace {

using host::hardware::Bridge;
using host::hardware::Printer;
using host::usb::Handshake;
using host::usb::SetupPacket;

struct Slot {
  std::shared_ptr<Printer> printer;
  std::shared_ptr<Bridge> bridge;
  // The last selection, restored after a port reset as the stack does.
  uint8_t configuration = 0;
  std::vector<std::pair<uint8_t, uint8_t>> settings;
};

std::mutex slotsLock;
std::array<Slot, NVBUS_MAX_BRIDGES> slots;
std::atomic<bool> stopping{false};
// NVBRIDGE_TRACE set: every request and its answer on standard error.
const bool trace = GetEnvironmentVariableA("NVBRIDGE_TRACE", nullptr, 0) != 0;

// Model time in 100-ns units, from the performance counter.
int64_t Now() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<int64_t>(counter.QuadPart / static_cast<double>(frequency.QuadPart) * 1e7);
}

bool ReadAll(HANDLE pipe, void *data, size_t length) {
  for (size_t done = 0; done < length;) {
    DWORD n = 0;
    if (!ReadFile(pipe, static_cast<uint8_t *>(data) + done, static_cast<DWORD>(length - done), &n, nullptr) || n == 0)
      return false;
    done += n;
  }
  return true;
}

bool WriteAll(HANDLE pipe, const void *data, size_t length) {
  DWORD n = 0;
  return WriteFile(pipe, data, static_cast<DWORD>(length), &n, nullptr) && n == length;
}

// Asks the bus whether a request still lives (not cancelled or aborted).
bool Alive(HANDLE pipe, uint32_t id) {
  NVBUS_REPLY query{id, NVBUS_QUERY_ALIVE, 0, 0};
  uint32_t alive = 0;
  return WriteAll(pipe, &query, sizeof query) && ReadAll(pipe, &alive, sizeof alive) && alive == 1;
}

struct Answer {
  uint32_t handshake = NVBUS_ACK;
  uint32_t transferred = 0;
  std::vector<uint8_t> data;
};

uint32_t HandshakeCode(Handshake h) {
  switch (h) {
    case Handshake::Ack:
      return NVBUS_ACK;
    case Handshake::Stall:
      return NVBUS_STALL;
    default:
      return NVBUS_NO_ANSWER;
  }
}

// A NAK: the host retries in a later frame, for as long as the request lives
// (a caller's time-out cancels it). Asked at every NAK: the bus finishes a
// cancelled request only once the model has stopped, so asking less often
// would only make cancels slower, and asking at all is what keeps data the
// device has after a cancel for the next request.
bool WaitFrame(HANDLE pipe, uint32_t id) {
  Sleep(1);
  return Alive(pipe, id);
}

Answer Control(HANDLE pipe, const NVBUS_REQUEST &r, Bridge &bridge, const uint8_t *data) {
  SetupPacket setup;
  setup.bmRequestType = r.Setup[0];
  setup.bRequest = r.Setup[1];
  setup.wValue = static_cast<uint16_t>(r.Setup[2] | r.Setup[3] << 8);
  setup.wIndex = static_cast<uint16_t>(r.Setup[4] | r.Setup[5] << 8);
  setup.wLength = static_cast<uint16_t>(r.Setup[6] | r.Setup[7] << 8);
  Answer a;
  const bool standardGet = setup.bmRequestType == 0x80 && setup.bRequest == 6;
  if (standardGet && (setup.wValue >> 8) == 1) {
    a.data = bridge.DeviceDescriptor();
  } else if (standardGet && (setup.wValue >> 8) == 2) {
    a.data = bridge.ConfigurationDescriptor();
  } else if (setup.bmRequestType == 0x02 && setup.bRequest == 1 && setup.wValue == 0) {
    bridge.ClearHalt(static_cast<uint8_t>(setup.wIndex));  // CLEAR_FEATURE(ENDPOINT_HALT)
  } else {
    for (;;) {
      bridge.AdvanceTo(Now());
      host::usb::ControlReply reply = bridge.Control(setup, {data, r.DataLength});
      if (reply.handshake == Handshake::Nak) {
        if (!WaitFrame(pipe, r.Id)) return {NVBUS_CANCELLED, 0, {}};
        continue;
      }
      a.handshake = HandshakeCode(reply.handshake);
      a.data = std::move(reply.data);
      break;
    }
  }
  if (a.data.size() > setup.wLength) a.data.resize(setup.wLength);  // the stack takes what it asked for
  return a;
}

Answer BulkOut(HANDLE pipe, const NVBUS_REQUEST &r, Bridge &bridge, const uint8_t *data) {
  Answer a;
  const size_t packetSize = r.Value ? r.Value : 64;
  size_t done = 0;
  while (done < r.DataLength) {
    const size_t n = std::min(packetSize, r.DataLength - done);
    bridge.AdvanceTo(Now());
    const Handshake h = bridge.PacketOut(static_cast<uint8_t>(r.Endpoint), {data + done, n});
    if (h == Handshake::Ack) {
      done += n;
    } else if (h == Handshake::Nak) {
      if (!WaitFrame(pipe, r.Id)) {
        a.handshake = NVBUS_CANCELLED;
        break;
      }
    } else {
      a.handshake = HandshakeCode(h);
      break;
    }
  }
  a.transferred = static_cast<uint32_t>(done);
  return a;
}

Answer BulkIn(HANDLE pipe, const NVBUS_REQUEST &r, Bridge &bridge) {
  Answer a;
  const size_t packetSize = r.Value ? r.Value : 64;
  std::vector<uint8_t> packet(packetSize);
  while (a.data.size() < r.Length) {
    size_t length = 0;
    bridge.AdvanceTo(Now());
    const Handshake h = bridge.PacketIn(static_cast<uint8_t>(r.Endpoint), packet, length);
    if (h == Handshake::Nak) {
      if (!WaitFrame(pipe, r.Id)) {
        a.handshake = NVBUS_CANCELLED;
        break;
      }
      continue;
    }
    if (h != Handshake::Ack) {
      a.handshake = HandshakeCode(h);
      break;
    }
    if (a.data.size() + length > r.Length) {
      a.handshake = NVBUS_OVERRUN;  // babble: more than was asked for
      break;
    }
    a.data.insert(a.data.end(), packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(length));
    if (length < packetSize) break;  // a short packet ends the transfer
  }
  return a;
}

Answer Attach(uint32_t index, uint32_t shape) {
  auto printer = std::make_shared<Printer>();
  host::hardware::BridgeConfig config;
  if (shape == 1) config.configuration = host::hardware::AlternateSettingConfiguration();
  char serial[32];
  std::snprintf(serial, sizeof serial, "NB1284-%04u", index + 1);  // as the host machine numbers its bridges
  config.identity.serialNumber = serial;
  auto bridge = std::make_shared<Bridge>(printer, config);
  {
    std::lock_guard lock(slotsLock);
    slots[index] = Slot{printer, bridge, 0, {}};
  }
  // The IDs the bus reports come from the bridge's own descriptors.
  const std::vector<uint8_t> device = bridge->DeviceDescriptor();
  const std::vector<uint8_t> configuration = bridge->ConfigurationDescriptor();
  NVBUS_PLUG plug{};
  plug.Bridge = index;
  plug.VendorId = static_cast<uint16_t>(device[8] | device[9] << 8);
  plug.ProductId = static_cast<uint16_t>(device[10] | device[11] << 8);
  plug.Revision = static_cast<uint16_t>(device[12] | device[13] << 8);
  plug.Class = device[4];
  plug.SubClass = device[5];
  plug.Protocol = device[6];
  if (plug.Class == 0 && configuration.size() >= 18 && configuration[10] == 4) {
    plug.Class = configuration[14];
    plug.SubClass = configuration[15];
    plug.Protocol = configuration[16];
  }
  for (size_t i = 0; serial[i] != 0 && i + 1 < sizeof plug.Serial; ++i) {
    const unsigned char c = static_cast<unsigned char>(serial[i]);
    plug.Serial[i] = (c <= 0x20 || c > 0x7F || c == 0x2C) ? 0x5F : static_cast<char>(c);
  }
  Answer a;
  a.data.resize(sizeof plug);
  std::memcpy(a.data.data(), &plug, sizeof plug);
  return a;
}

Answer Hook(const NVBUS_REQUEST &r, const std::shared_ptr<Bridge> &bridge, const uint8_t *data) {
  Answer a;
  if (r.Value == NVBUS_HOOK_SHUTDOWN) {
    stopping = true;
    return a;
  }
  if (r.Bridge >= NVBUS_MAX_BRIDGES) return {NVBUS_STALL, 0, {}};
  if (r.Value == NVBUS_HOOK_ATTACH) return Attach(r.Bridge, r.Endpoint);
  if (!bridge) return {NVBUS_STALL, 0, {}};
  Printer &printer = bridge->printer();
  switch (r.Value) {
    case NVBUS_HOOK_SINK_COUNT: {
      const uint32_t count = static_cast<uint32_t>(printer.ReceivedCount());
      a.data.resize(4);
      std::memcpy(a.data.data(), &count, 4);
      break;
    }
    case NVBUS_HOOK_READ_SINK: {
      const std::vector<uint8_t> all = printer.Received();
      const size_t from = std::min<size_t>(r.Endpoint, all.size());
      const size_t n = std::min<size_t>(all.size() - from, std::min<size_t>(r.Length, NVBUS_MAX_DATA));
      a.data.assign(all.begin() + static_cast<std::ptrdiff_t>(from),
                    all.begin() + static_cast<std::ptrdiff_t>(from + n));
      break;
    }
    case NVBUS_HOOK_BACK_CHANNEL:
      printer.QueueBackChannel(std::span<const uint8_t>(data, r.DataLength));
      break;
    case NVBUS_HOOK_VENDOR_FAULT: {
      uint32_t kind = 0, times = 0;
      if (r.DataLength >= 8) {
        std::memcpy(&kind, data, 4);
        std::memcpy(&times, data + 4, 4);
      }
      using host::hardware::VendorFault;
      bridge->SetVendorFault(static_cast<uint16_t>(r.Endpoint),
                             kind == 0 ? VendorFault::Stall(times) : VendorFault::NoAnswer(times));
      break;
    }
    case NVBUS_HOOK_PORT_CONFIGURATION: {
      const uint16_t word = bridge->PortConfiguration();
      a.data.resize(2);
      std::memcpy(a.data.data(), &word, 2);
      break;
    }
    case NVBUS_HOOK_TRANSFER_MODE:
      a.data.push_back(bridge->TransferMode());
      break;
    case NVBUS_HOOK_ALTERNATE_SETTING:
      a.data.push_back(bridge->AlternateSetting(static_cast<uint8_t>(r.Endpoint)).value_or(0xFF));
      break;
    default:
      return {NVBUS_STALL, 0, {}};
  }
  return a;
}

Answer Serve(HANDLE pipe, const NVBUS_REQUEST &r, const uint8_t *data) {
  Slot slot;
  if (r.Bridge < NVBUS_MAX_BRIDGES) {
    std::lock_guard lock(slotsLock);
    slot = slots[r.Bridge];
  }
  if (r.Kind == NVBUS_KIND_HOOK) return Hook(r, slot.bridge, data);
  if (!slot.bridge) return {NVBUS_NO_ANSWER, 0, {}};
  Bridge &bridge = *slot.bridge;
  switch (r.Kind) {
    case NVBUS_KIND_DESCRIPTOR:
    case NVBUS_KIND_CONTROL:
      return Control(pipe, r, bridge, data);
    case NVBUS_KIND_SELECT: {
      std::lock_guard lock(slotsLock);
      Slot &kept = slots[r.Bridge];
      if (r.Value != 0x100) {
        bridge.SetConfiguration(static_cast<uint8_t>(r.Value));
        kept.configuration = static_cast<uint8_t>(r.Value);
        kept.settings.clear();
      }
      for (uint32_t i = 0; i + 1 < r.DataLength; i += 2) {
        const uint8_t number = data[i], setting = data[i + 1];
        // SELECT_CONFIGURATION sends SET_INTERFACE for other settings than
        // 0; SELECT_INTERFACE always does.
        if (setting != 0 || r.Value == 0x100) bridge.SetInterface(number, setting);
        std::erase_if(kept.settings, [number](const auto &s) { return s.first == number; });
        kept.settings.emplace_back(number, setting);
      }
      return {};
    }
    case NVBUS_KIND_BULK_OUT:
      return BulkOut(pipe, r, bridge, data);
    case NVBUS_KIND_BULK_IN:
      return BulkIn(pipe, r, bridge);
    case NVBUS_KIND_CLEAR_HALT:
      bridge.ClearHalt(static_cast<uint8_t>(r.Endpoint));
      return {};
    case NVBUS_KIND_BUS_RESET:
      bridge.BusReset();
      if (slot.configuration != 0) {
        bridge.SetConfiguration(slot.configuration);
        for (const auto &[number, setting] : slot.settings) {
          if (setting != 0) bridge.SetInterface(number, setting);
        }
      }
      return {};
    default:
      return {NVBUS_STALL, 0, {}};
  }
}

// One pipe instance: the bus's worker thread at the other end brings one
// request at a time.
void Worker(HANDLE pipe) {
  if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
    std::fprintf(stderr, "nvbridge: no connection (error %lu)\n", GetLastError());
    return;
  }
  std::vector<uint8_t> data(NVBUS_MAX_DATA);
  std::vector<uint8_t> out(sizeof(NVBUS_REPLY) + NVBUS_MAX_DATA);
  while (!stopping) {
    NVBUS_REQUEST request;
    if (!ReadAll(pipe, &request, sizeof request) || request.DataLength > NVBUS_MAX_DATA ||
        !ReadAll(pipe, data.data(), request.DataLength)) {
      break;
    }
    Answer answer;
    try {
      answer = Serve(pipe, request, data.data());
    } catch (const std::exception &e) {
      std::fprintf(stderr, "nvbridge: request %u: %s\n", request.Id, e.what());
      answer = {NVBUS_STALL, 0, {}};
    }
    if (trace) {
      std::fprintf(stderr, "nvbridge: #%u bridge %u kind %u ep %#x value %#x length %u setup", request.Id,
                   request.Bridge, request.Kind, request.Endpoint, request.Value, request.Length);
      for (uint8_t b : request.Setup) std::fprintf(stderr, " %02X", b);
      std::fprintf(stderr, " data %u -> handshake %u moved %u data %zu\n", request.DataLength, answer.handshake,
                   answer.transferred, answer.data.size());
    }
    NVBUS_REPLY reply{request.Id, answer.handshake, answer.transferred,
                      static_cast<unsigned>(std::min<size_t>(answer.data.size(), NVBUS_MAX_DATA))};
    std::memcpy(out.data(), &reply, sizeof reply);
    std::memcpy(out.data() + sizeof reply, answer.data.data(), reply.DataLength);
    if (!WriteAll(pipe, out.data(), sizeof reply + reply.DataLength)) break;
  }
  CloseHandle(pipe);
}

}  // namespace

int main(int argc, char **argv) {
  const int workers = argc > 1 ? std::max(1, std::atoi(argv[1])) : 6;
  std::vector<HANDLE> pipes;
  for (int i = 0; i < workers; ++i) {
    HANDLE pipe = CreateNamedPipeW(L"\\\\.\\pipe\\NorvWineBridge", PIPE_ACCESS_DUPLEX,
                                   PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, workers,
                                   sizeof(NVBUS_REPLY) + NVBUS_MAX_DATA, sizeof(NVBUS_REQUEST) + NVBUS_MAX_DATA, 0,
                                   nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
      std::fprintf(stderr, "nvbridge: cannot create the pipe (error %lu)\n", GetLastError());
      return 2;
    }
    pipes.push_back(pipe);
  }
  // Ready: the test client connects the bus once this event is set.
  HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, L"NorvWineBridgeReady");
  std::vector<std::thread> threads;
  for (HANDLE pipe : pipes) threads.emplace_back(Worker, pipe);
  if (ready) SetEvent(ready);
  while (!stopping) Sleep(20);
  Sleep(100);  // the shutdown's own answer goes out first
  std::fflush(stderr);
  ExitProcess(0);
}
