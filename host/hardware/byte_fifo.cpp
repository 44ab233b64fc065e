#include "host/hardware/byte_fifo.h"

#include <algorithm>
#include <stdexcept>

namespace host::hardware {

ByteFifo::ByteFifo(size_t capacity) : storage_(capacity) {
  if (capacity == 0) throw std::invalid_argument("FIFO size must be at least one byte");
}

bool ByteFifo::Push(std::span<const uint8_t> data) {
  if (data.size() > Free()) return false;
  size_t tail = (head_ + size_) % Capacity();
  const size_t first = std::min(data.size(), Capacity() - tail);
  std::copy_n(data.begin(), first, storage_.begin() + static_cast<ptrdiff_t>(tail));
  std::copy(data.begin() + static_cast<ptrdiff_t>(first), data.end(), storage_.begin());
  size_ += data.size();
  return true;
}

std::span<const uint8_t> ByteFifo::Front() const {
  return {storage_.data() + head_, std::min(size_, Capacity() - head_)};
}

void ByteFifo::Pop(size_t count) {
  count = std::min(count, size_);
  head_ = (head_ + count) % Capacity();
  size_ -= count;
}

size_t ByteFifo::Clear() {
  const size_t dropped = size_;
  head_ = 0;
  size_ = 0;
  return dropped;
}

}  // namespace host::hardware
