// The printer behind the bridge's IEEE 1284 port: identity, the sink that
// keeps what it prints, the rate at which it takes data, the conditions that
// stop it, and the back channel it answers reads from.
//
// Thread-safe: the bridge calls the port side from the USB stack's
// host-controller thread while tests and programs use the rest from theirs.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/kernel/scheduler.h"
#include "host/hardware/byte_fifo.h"
#include "host/hardware/pjl.h"

namespace host::hardware {

inline constexpr std::string_view kDefaultDeviceId =
    "MFG:Norv Labs;MDL:LinePrinter 9;CMD:PJL,PCL;CLS:PRINTER;DES:Norv Labs LinePrinter 9;";

// The longest device ID whose length, with its two-byte prefix, fits 16 bits.
inline constexpr size_t kMaxDeviceIdLength = 0xFFFF - 2;

// Conditions that stop the printer from taking data; any mix may hold.
enum class Condition : uint8_t {
  Busy = 0x01,
  PaperOut = 0x02,
  Offline = 0x04,
  Error = 0x08,
};

struct PrinterOptions {
  std::string deviceId{kDefaultDeviceId};
  std::optional<uint64_t> bytesPerSecond;  // nullopt: takes data as fast as it comes
  bool keepInMemory = true;                // false: only count (and write to the file)
  std::filesystem::path sinkFile;          // empty: none; otherwise appended to
};

class Printer {
 public:
  // Throws std::invalid_argument / std::runtime_error for a bad device ID,
  // rate or sink file.
  explicit Printer(PrinterOptions options = {});

  // Identity.
  std::string DeviceId() const;
  void SetDeviceId(std::string deviceId);
  // The model (MDL: or MODEL: value of the device ID), as PJL reports it.
  std::string Model() const;

  // Rate in bytes per second of model time; nullopt for unlimited.
  void SetRate(std::optional<uint64_t> bytesPerSecond);
  bool HasRate() const;

  // Conditions and the status lines they show.
  void SetCondition(Condition condition, bool present);
  bool Ready() const;
  uint8_t StatusLines() const;

  // The sink: every byte the printer took, in order.
  std::vector<uint8_t> Received() const;
  uint64_t ReceivedCount() const;  // counts also when not kept in memory
  void ClearReceived();
  // Waits (model time) until at least `count` bytes have been taken.
  bool WaitForReceived(uint64_t count, std::chrono::milliseconds timeout) const;
  void SetSinkFile(const std::filesystem::path &file);  // throws std::runtime_error if it cannot be opened
  std::string SinkError() const;                        // the first write failure, empty if none
  // Sees every byte as the printer takes it, on the bus's thread and under the
  // printer's lock, so it must not call the printer. Empty: none.
  using Observer = std::function<void(std::span<const uint8_t>)>;
  void SetObserver(Observer observer);
  // Test hook: the printer goes off line once it has taken exactly `count`
  // bytes in all (at once if it already has); nullopt disarms it.
  void GoOfflineAt(std::optional<uint64_t> count);

  // The back channel: bytes the printer has for the host.
  void QueueBackChannel(std::span<const uint8_t> bytes);
  void QueueBackChannel(std::string_view text);
  size_t BackChannelSize() const;

  // ---- the port side, used by the bridge firmware
  // Takes from the front of `fifo` what the printer can take by model time
  // `now`; returns the count taken.
  size_t Drain(ByteFifo &fifo, int64_t now);
  // Moves up to out.size() back-channel bytes into `out`; returns the count.
  size_t ReadBackChannel(std::span<uint8_t> out);
  // nInit pulse: the printer forgets its back channel and any partial command
  // line; returns the back-channel bytes dropped.
  size_t Initialise();

 private:
  bool ReadyLocked() const;
  size_t BudgetLocked(int64_t now, size_t wanted);
  void SinkLocked(std::span<const uint8_t> bytes);
  void CheckOfflineLocked();

  mutable host::Mutex mutex_;
  mutable sched::CondVar received_;
  mutable size_t receivedWaiters_ = 0;  // threads in WaitForReceived
  std::string deviceId_;
  std::string model_;
  std::optional<uint64_t> rate_;
  uint8_t conditions_ = 0;
  bool keepInMemory_ = true;
  std::vector<uint8_t> sink_;
  uint64_t receivedCount_ = 0;
  std::ofstream sinkFile_;
  std::string sinkError_;
  Observer observer_;
  std::optional<uint64_t> offlineAt_;
  std::deque<uint8_t> backChannel_;
  PjlListener pjl_;
  // Rate accounting: work credit in byte x 100-ns units, and the model time
  // up to which it was counted.
  uint64_t credit_ = 0;
  std::optional<int64_t> creditTime_;
};

}  // namespace host::hardware
