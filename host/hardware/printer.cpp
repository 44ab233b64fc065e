#include "host/hardware/printer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "host/hardware/bridge_protocol.h"

namespace host::hardware {
namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000;  // model time is in 100-ns units
constexpr uint64_t kMaxRate = 1'000'000'000;
// Longest gap counted at once; keeps credit arithmetic far from overflow.
constexpr int64_t kMaxElapsed = 100 * static_cast<int64_t>(kTicksPerSecond);

uint8_t Bit(Condition condition) { return static_cast<uint8_t>(condition); }

std::string ModelOf(std::string_view deviceId) {
  while (!deviceId.empty()) {
    const size_t end = std::min(deviceId.find(';'), deviceId.size());
    const std::string_view field = deviceId.substr(0, end);
    for (std::string_view key : {"MDL:", "MODEL:"}) {
      if (field.starts_with(key)) return std::string(field.substr(key.size()));
    }
    deviceId.remove_prefix(std::min(end + 1, deviceId.size()));
  }
  return "Unknown";
}

void CheckDeviceId(const std::string &deviceId) {
  if (deviceId.size() > kMaxDeviceIdLength) {
    throw std::invalid_argument("device ID longer than " + std::to_string(kMaxDeviceIdLength) + " bytes");
  }
}

void CheckRate(std::optional<uint64_t> rate) {
  if (rate && (*rate == 0 || *rate > kMaxRate)) {
    throw std::invalid_argument("printer rate must be 1 to " + std::to_string(kMaxRate) + " bytes per second");
  }
}

}  // namespace

Printer::Printer(PrinterOptions options)
    : deviceId_(std::move(options.deviceId)), rate_(options.bytesPerSecond), keepInMemory_(options.keepInMemory) {
  CheckDeviceId(deviceId_);
  CheckRate(rate_);
  model_ = ModelOf(deviceId_);
  if (!options.sinkFile.empty()) SetSinkFile(options.sinkFile);
}

std::string Printer::DeviceId() const {
  std::lock_guard lock(mutex_);
  return deviceId_;
}

void Printer::SetDeviceId(std::string deviceId) {
  CheckDeviceId(deviceId);
  std::lock_guard lock(mutex_);
  model_ = ModelOf(deviceId);
  deviceId_ = std::move(deviceId);
}

std::string Printer::Model() const {
  std::lock_guard lock(mutex_);
  return model_;
}

void Printer::SetRate(std::optional<uint64_t> bytesPerSecond) {
  CheckRate(bytesPerSecond);
  std::lock_guard lock(mutex_);
  rate_ = bytesPerSecond;
  credit_ = 0;
}

bool Printer::HasRate() const {
  std::lock_guard lock(mutex_);
  return rate_.has_value();
}

void Printer::SetCondition(Condition condition, bool present) {
  std::lock_guard lock(mutex_);
  if (present) {
    conditions_ |= Bit(condition);
  } else {
    conditions_ &= static_cast<uint8_t>(~Bit(condition));
  }
}

bool Printer::Ready() const {
  std::lock_guard lock(mutex_);
  return ReadyLocked();
}

bool Printer::ReadyLocked() const { return conditions_ == 0; }

uint8_t Printer::StatusLines() const {
  std::lock_guard lock(mutex_);
  uint8_t lines = status::kNotAck | status::kNotError | status::kSelect;
  if (!ReadyLocked()) lines |= status::kBusy;
  if (conditions_ & Bit(Condition::PaperOut)) lines |= status::kPaperEmpty;
  if (conditions_ & Bit(Condition::Offline)) lines &= static_cast<uint8_t>(~status::kSelect);
  if (conditions_ & Bit(Condition::Error)) lines &= static_cast<uint8_t>(~status::kNotError);
  return lines;
}

std::vector<uint8_t> Printer::Received() const {
  std::lock_guard lock(mutex_);
  return sink_;
}

uint64_t Printer::ReceivedCount() const {
  std::lock_guard lock(mutex_);
  return receivedCount_;
}

void Printer::ClearReceived() {
  std::lock_guard lock(mutex_);
  sink_.clear();
  receivedCount_ = 0;
}

bool Printer::WaitForReceived(uint64_t count, std::chrono::milliseconds timeout) const {
  sched::Lock lock(mutex_);
  const int64_t deadline = sched::Now() + std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count() / 100;
  ++receivedWaiters_;
  const bool received =
      received_.WaitUntil(lock, deadline, "the printer to receive data", [&] { return receivedCount_ >= count; });
  --receivedWaiters_;
  return received;
}

void Printer::SetSinkFile(const std::filesystem::path &file) {
  std::ofstream stream(file, std::ios::binary | std::ios::app);
  if (!stream) throw std::runtime_error("cannot open " + file.string() + ": " + std::generic_category().message(errno));
  std::lock_guard lock(mutex_);
  sinkFile_ = std::move(stream);
  sinkError_.clear();
}

std::string Printer::SinkError() const {
  std::lock_guard lock(mutex_);
  return sinkError_;
}

void Printer::SetObserver(Observer observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

void Printer::GoOfflineAt(std::optional<uint64_t> count) {
  std::lock_guard lock(mutex_);
  offlineAt_ = count;
  CheckOfflineLocked();
}

void Printer::CheckOfflineLocked() {
  if (offlineAt_ && receivedCount_ >= *offlineAt_) {
    conditions_ |= Bit(Condition::Offline);
    offlineAt_.reset();
  }
}

void Printer::QueueBackChannel(std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  backChannel_.insert(backChannel_.end(), bytes.begin(), bytes.end());
}

void Printer::QueueBackChannel(std::string_view text) {
  QueueBackChannel(std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size()));
}

size_t Printer::BackChannelSize() const {
  std::lock_guard lock(mutex_);
  return backChannel_.size();
}

size_t Printer::Drain(ByteFifo &fifo, int64_t now) {
  std::lock_guard lock(mutex_);
  if (!ReadyLocked()) {
    // A stopped printer does no work, so it earns no credit either.
    credit_ = 0;
    creditTime_ = now;
    return 0;
  }
  size_t total = 0;
  while (!fifo.Empty()) {
    if (!ReadyLocked()) break;
    auto front = fifo.Front();
    // Never past the byte at which the test hook takes it off line.
    if (offlineAt_) front = front.first(std::min<uint64_t>(front.size(), *offlineAt_ - receivedCount_));
    const size_t taken = BudgetLocked(now, front.size());
    if (taken == 0) break;
    SinkLocked(front.first(taken));
    fifo.Pop(taken);
    total += taken;
    CheckOfflineLocked();
  }
  // An idle printer banks no time: only the fraction of a byte carries over.
  if (fifo.Empty()) {
    credit_ %= kTicksPerSecond;
    if (!creditTime_ || now > *creditTime_) creditTime_ = now;
  }
  return total;
}

size_t Printer::BudgetLocked(int64_t now, size_t wanted) {
  if (!rate_) return wanted;
  if (creditTime_ && now > *creditTime_) credit_ += static_cast<uint64_t>(std::min(now - *creditTime_, kMaxElapsed)) * *rate_;
  if (!creditTime_ || now > *creditTime_) creditTime_ = now;
  const size_t taken = static_cast<size_t>(std::min<uint64_t>(wanted, credit_ / kTicksPerSecond));
  credit_ -= taken * kTicksPerSecond;
  return taken;
}

void Printer::SinkLocked(std::span<const uint8_t> bytes) {
  if (keepInMemory_) sink_.insert(sink_.end(), bytes.begin(), bytes.end());
  receivedCount_ += bytes.size();
  if (observer_) observer_(bytes);
  if (sinkFile_.is_open()) {
    sinkFile_.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    sinkFile_.flush();
    if (!sinkFile_) {
      // Keep printing to memory; the file stops at the first failure.
      sinkError_ = "write to the sink file failed";
      sinkFile_.close();
    }
  }
  std::vector<uint8_t> replies;
  pjl_.Scan(bytes, model_, replies);
  backChannel_.insert(backChannel_.end(), replies.begin(), replies.end());
  if (receivedWaiters_ != 0) received_.NotifyAll();  // the scheduler's lock only when someone waits
}

size_t Printer::ReadBackChannel(std::span<uint8_t> out) {
  std::lock_guard lock(mutex_);
  const size_t count = std::min(out.size(), backChannel_.size());
  std::copy_n(backChannel_.begin(), count, out.begin());
  backChannel_.erase(backChannel_.begin(), backChannel_.begin() + static_cast<ptrdiff_t>(count));
  return count;
}

size_t Printer::Initialise() {
  std::lock_guard lock(mutex_);
  const size_t dropped = backChannel_.size();
  backChannel_.clear();
  pjl_.Reset();
  return dropped;
}

}  // namespace host::hardware
