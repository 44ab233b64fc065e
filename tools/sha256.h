// SHA-256, fed piece by piece, so that a document of any size gets a digest
// without being held in memory.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>

namespace norvusb {

class Sha256 {
 public:
  Sha256();
  void Update(std::span<const uint8_t> bytes);
  // The digest of everything so far, as 64 lowercase hex digits (as sha256sum
  // prints it); more may be added afterwards.
  std::string Hex() const;

 private:
  void Block(const uint8_t *block);

  std::array<uint32_t, 8> state_;
  std::array<uint8_t, 64> pending_{};
  size_t pendingSize_ = 0;
  uint64_t length_ = 0;  // bytes fed in all
};

}  // namespace norvusb
