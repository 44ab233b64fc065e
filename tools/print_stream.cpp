#include "tools/print_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include <fmt/format.h>

#include "tools/errors.h"
#include "tools/interrupt.h"

namespace norvusb {

namespace {

std::string CannotRead(const std::string &name, const std::string &reason) {
  return fmt::format("cannot read {}: {}", name == "-" ? "standard input" : name, reason);
}
std::string CannotRead(const std::string &name, int error) { return CannotRead(name, std::strerror(error)); }

// True when `fd` has data (or its end) now.
bool ReadyNow(int fd) {
  pollfd ready{fd, POLLIN, 0};
  return poll(&ready, 1, 0) > 0;
}

// Waits until `fd` has data or its end; false when a signal asked the job to
// stop first.
bool AwaitInput(int fd) {
  while (!Interrupted()) {
    pollfd ready[2] = {{fd, POLLIN, 0}, {InterruptDescriptor(), POLLIN, 0}};
    if (poll(ready, ready[1].fd >= 0 ? 2 : 1, -1) > 0 && ready[0].revents != 0 && !Interrupted()) return true;
  }
  return false;
}

}  // namespace

Document::Document(const std::vector<std::string> &files) {
  knownSize_ = 0;
  if (std::count(files.begin(), files.end(), "-") > 1) BadInput("standard input (-) can be read only once");
  for (const std::string &name : files) {
    struct stat info{};
    // stat, not the library's filesystem calls: a name too long or behind a
    // folder that cannot be read is said with its reason, as bad input.
    if ((name == "-" ? fstat(STDIN_FILENO, &info) : stat(name.c_str(), &info)) != 0) BadInput(CannotRead(name, errno));
    if (S_ISDIR(info.st_mode)) BadInput(CannotRead(name, "it is a folder"));
    const bool regular = S_ISREG(info.st_mode);
    if (name != "-") {
      // A regular file is tried and closed again; a pipe is only checked, as
      // opening it would let its writer start into a reader that goes away.
      if (regular) {
        const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) BadInput(CannotRead(name, errno));
        close(fd);
      } else if (access(name.c_str(), R_OK) != 0) {
        BadInput(CannotRead(name, errno));
      }
    }
    if (regular) identities_.push_back({info.st_dev, info.st_ino, name});
    // A pipe or a device (/dev/zero) has no size until it ends, if ever.
    if (knownSize_ && regular) {
      *knownSize_ += static_cast<uint64_t>(info.st_size);
    } else {
      knownSize_.reset();
    }
    inputs_.push_back({name, regular});
  }
}

Document::~Document() { Close(); }

Document::Document(Document &&other) noexcept
    : inputs_(std::move(other.inputs_)), current_(other.current_), fd_(std::exchange(other.fd_, -1)),
      knownSize_(other.knownSize_), bytesRead_(other.bytesRead_), digest_(other.digest_),
      identities_(std::move(other.identities_)) {}

int Document::Open(const Input &input) const {
  if (input.name == "-") return STDIN_FILENO;
  // Not blocking: a pipe with no writer yet would hold the open, where a
  // signal cannot reach it; the wait for input is the poll.
  const int fd = open(input.name.c_str(), O_RDONLY | O_CLOEXEC | (input.regular ? 0 : O_NONBLOCK));
  if (fd < 0) BadInput(CannotRead(input.name, errno));
  return fd;
}

void Document::Close() {
  if (fd_ > STDIN_FILENO) close(fd_);
  fd_ = -1;
}

bool Document::ReadOnce(std::span<uint8_t> buffer, size_t &filled) {
  const Input &input = inputs_[current_];
  if (fd_ < 0) fd_ = Open(input);
  const ssize_t got = read(fd_, buffer.data() + filled, buffer.size() - filled);
  if (got > 0) filled += static_cast<size_t>(got);
  if (got < 0 && errno != EAGAIN && errno != EINTR) BadInput(CannotRead(input.name, errno));
  return got != 0;
}

size_t Document::Read(std::span<uint8_t> buffer) {
  size_t filled = 0;
  while (filled < buffer.size() && !Ended()) {
    if (!inputs_[current_].regular) {
      if (fd_ < 0) fd_ = Open(inputs_[current_]);
      // What came goes out once no more is ready: a line piped in is printed
      // as it arrives, not when a full request has gathered.
      if (filled > 0 && !ReadyNow(fd_)) break;
      if (!AwaitInput(fd_)) break;
    }
    if (!ReadOnce(buffer, filled)) {
      Close();
      ++current_;
    }
  }
  bytesRead_ += filled;
  digest_.Update(buffer.first(filled));
  return filled;
}

void StreamCompare::Sent(std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  // Drop what was taken before the buffer grows, so that it stays the size
  // of what is in flight.
  if (head_ > 0 && head_ >= pending_.size() / 2) {
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(head_));
    head_ = 0;
  }
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
}

void StreamCompare::Taken(std::span<const uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  digest_.Update(bytes);
  const size_t known = std::min(bytes.size(), pending_.size() - head_);
  if (!difference_) {
    const auto mismatch = std::mismatch(bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(known),
                                        pending_.begin() + static_cast<ptrdiff_t>(head_));
    const size_t same = static_cast<size_t>(mismatch.first - bytes.begin());
    // A byte beyond what was written is a difference too.
    if (same < bytes.size()) difference_ = received_ + same;
  }
  head_ += known;
  received_ += bytes.size();
}

uint64_t StreamCompare::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

std::optional<uint64_t> StreamCompare::FirstDifference() const {
  std::lock_guard lock(mutex_);
  return difference_;
}

std::string StreamCompare::Digest() const {
  std::lock_guard lock(mutex_);
  return digest_.Hex();
}

}  // namespace norvusb
