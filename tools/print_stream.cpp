#include "tools/print_stream.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "tools/errors.h"

namespace norvusb {

namespace {

std::string CannotRead(const std::string &name, int error) {
  return fmt::format("cannot read {}: {}", name == "-" ? "standard input" : name, std::strerror(error));
}

}  // namespace

Document::Document(const std::vector<std::string> &files) {
  knownSize_ = 0;
  if (std::count(files.begin(), files.end(), "-") > 1) BadInput("standard input (-) can be read only once");
  for (const std::string &name : files) {
    Input input{name, nullptr};
    struct stat info{};
    if (name == "-") {
      if (fstat(fileno(stdin), &info) != 0) BadInput(CannotRead(name, errno));
    } else {
      if (std::filesystem::is_directory(name)) BadInput(fmt::format("cannot read {}: it is a folder", name));
      input.file.reset(std::fopen(name.c_str(), "rb"));
      if (!input.file || fstat(fileno(input.file.get()), &info) != 0) BadInput(CannotRead(name, errno));
    }
    if (S_ISREG(info.st_mode)) identities_.push_back({info.st_dev, info.st_ino, name});
    // A pipe or a device (/dev/zero) has no size until it ends, if ever.
    if (knownSize_ && S_ISREG(info.st_mode)) {
      *knownSize_ += static_cast<uint64_t>(info.st_size);
    } else {
      knownSize_.reset();
    }
    inputs_.push_back(std::move(input));
  }
}

std::FILE *Document::Stream(const Input &input) const { return input.file ? input.file.get() : stdin; }

size_t Document::Read(std::span<uint8_t> buffer) {
  size_t filled = 0;
  while (filled < buffer.size() && !Ended()) {
    std::FILE *stream = Stream(inputs_[current_]);
    const size_t got = std::fread(buffer.data() + filled, 1, buffer.size() - filled, stream);
    filled += got;
    if (got == 0 || std::feof(stream) || std::ferror(stream)) {
      if (std::ferror(stream)) BadInput(CannotRead(inputs_[current_].name, errno));
      if (std::feof(stream)) ++current_;
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
