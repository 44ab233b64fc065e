// The pieces that let `print` stream a document of any size: the input read
// piece by piece from files or standard input, and the check of what the
// printer took against what was written, both in bounded memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/output.h"
#include "tools/sha256.h"

namespace norvusb {

// The files of one job, read one after the other as a single stream. Every
// name is checked when the Document is made, so that a bad one stops the
// program before it touches anything; each file is opened only when its turn
// comes, so that a job of thousands of files holds one open at a time.
class Document {
 public:
  explicit Document(const std::vector<std::string> &files);
  ~Document();
  Document(Document &&other) noexcept;
  Document &operator=(Document &&) = delete;
  Document(const Document &) = delete;

  // Fills `buffer` from a regular file as far as it goes; from a pipe, a
  // terminal or a device, returns what came once no more is ready, so that
  // each line goes out as it arrives. Returns the count: 0 at the end, or
  // when a signal asked the job to stop while it waited (nothing is read
  // after it). Throws ToolError (bad input) when a file cannot be read.
  size_t Read(std::span<uint8_t> buffer);
  // The size of the whole job when every input is a regular file.
  std::optional<uint64_t> KnownSize() const { return knownSize_; }
  bool Ended() const { return current_ == inputs_.size(); }
  uint64_t BytesRead() const { return bytesRead_; }
  std::string Digest() const { return digest_.Hex(); }
  // The regular files read, which no output may be.
  const std::vector<FileIdentity> &Identities() const { return identities_; }

 private:
  struct Input {
    std::string name;
    bool regular = false;  // read in full-size pieces; else as it arrives
  };
  int Open(const Input &input) const;
  void Close();
  // Reads once from the current input; false at its end.
  bool ReadOnce(std::span<uint8_t> buffer, size_t &filled);

  std::vector<Input> inputs_;
  size_t current_ = 0;
  int fd_ = -1;  // the current input's, once opened; standard input is not closed
  std::optional<uint64_t> knownSize_;
  uint64_t bytesRead_ = 0;
  Sha256 digest_;
  std::vector<FileIdentity> identities_;
};

// Compares what the printer takes with what was written, as it happens: only
// the bytes written but not yet taken are kept (one request and the bridge's
// FIFO at most). Thread-safe: Sent from the writer, Taken from the bus.
class StreamCompare {
 public:
  // Bytes about to be written, in order.
  void Sent(std::span<const uint8_t> bytes);
  // Bytes the printer took, in order.
  void Taken(std::span<const uint8_t> bytes);

  uint64_t Received() const;
  // The offset of the first byte that differs from what was written (or was
  // never written); nullopt while all agree.
  std::optional<uint64_t> FirstDifference() const;
  std::string Digest() const;

 private:
  mutable std::mutex mutex_;
  std::vector<uint8_t> pending_;  // written, not yet taken, from head_ on
  size_t head_ = 0;
  uint64_t received_ = 0;
  std::optional<uint64_t> difference_;
  Sha256 digest_;
};

}  // namespace norvusb
