// A bounded byte queue: the bridge's buffer between the bulk OUT pipe and the
// printer port. A USB packet is taken whole or not at all.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace host::hardware {

class ByteFifo {
 public:
  explicit ByteFifo(size_t capacity);

  size_t Capacity() const { return storage_.size(); }
  size_t Size() const { return size_; }
  size_t Free() const { return Capacity() - size_; }
  bool Empty() const { return size_ == 0; }

  // Appends all of `data` if it fits; otherwise appends nothing and returns false.
  bool Push(std::span<const uint8_t> data);
  // The oldest bytes, as many as lie contiguously in the ring.
  std::span<const uint8_t> Front() const;
  void Pop(size_t count);
  // Drops everything; returns how many bytes were dropped.
  size_t Clear();

 private:
  std::vector<uint8_t> storage_;
  size_t head_ = 0;  // index of the oldest byte
  size_t size_ = 0;
};

}  // namespace host::hardware
