// USBD_ParseConfigurationDescriptor against malformed descriptor sets. The
// set lies at the very end of a page followed by an inaccessible one, so a
// read past wTotalLength faults instead of passing unnoticed.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <vector>

#include "host/kernel/api/hostusb.h"
#include "host/usbstack/descriptors.h"

namespace {

class GuardedBuffer {
 public:
  GuardedBuffer() {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    base_ = static_cast<uint8_t *>(mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    mprotect(base_ + page_, page_, PROT_NONE);
  }
  ~GuardedBuffer() { munmap(base_, 2 * page_); }
  // Places `bytes` so that the last one touches the guard page.
  PUSB_CONFIGURATION_DESCRIPTOR Place(const std::vector<uint8_t> &bytes) {
    uint8_t *start = base_ + page_ - bytes.size();
    std::memcpy(start, bytes.data(), bytes.size());
    return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(start);
  }

 private:
  size_t page_;
  uint8_t *base_;
};

const std::vector<uint8_t> kGood = {9, 2, 41, 0, 2, 1, 0, 0xC0, 50,  // two interfaces
                                    9, 4, 0, 0, 1, 7, 1, 2, 0,  7, 5, 0x01, 2, 64, 0, 0,
                                    9, 4, 1, 0, 1, 0xFF, 0, 0, 0, 7, 5, 0x83, 3, 8, 0, 10};

TEST(ParseConfiguration, FindsInterfacesByNumberAndSetting) {
  GuardedBuffer guard;
  auto *config = guard.Place(kGood);
  auto *second = USBD_ParseConfigurationDescriptor(config, 1, 0);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(reinterpret_cast<uint8_t *>(second) - reinterpret_cast<uint8_t *>(config), 25);
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(config, 1, 1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(nullptr, 0, 0), nullptr);

  const auto layout = host::usb::ParseConfiguration(kGood);
  ASSERT_TRUE(layout);
  ASSERT_EQ(layout->interfaces.size(), 2u);
  EXPECT_EQ(layout->interfaces[1].endpoints.at(0).address, 0x83);
}

TEST(ParseConfiguration, StopsAtZeroLengthsAndAtDescriptorsPastTheEnd) {
  GuardedBuffer guard;
  auto zero = kGood;
  zero[9] = 0;  // the first interface descriptor claims length 0
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(guard.Place(zero), 0, 0), nullptr);

  auto past = kGood;
  past[25] = 200;  // the second interface reaches past wTotalLength
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(guard.Place(past), 1, 0), nullptr);
  EXPECT_NE(USBD_ParseConfigurationDescriptor(guard.Place(past), 0, 0), nullptr);

  auto truncated = std::vector<uint8_t>(kGood.begin(), kGood.begin() + 30);
  truncated[2] = 30;  // wTotalLength cuts the second interface in half
  EXPECT_EQ(USBD_ParseConfigurationDescriptor(guard.Place(truncated), 1, 0), nullptr);
}

TEST(ParseConfiguration, NeverReadsPastWTotalLengthWhateverTheBytes) {
  GuardedBuffer guard;
  std::mt19937 random(1284);
  for (int round = 0; round < 20000; ++round) {
    std::vector<uint8_t> bytes = kGood;
    const int mutations = 1 + static_cast<int>(random() % 6);
    for (int m = 0; m < mutations; ++m) bytes[random() % bytes.size()] = static_cast<uint8_t>(random());
    bytes.resize(9 + random() % (bytes.size() - 8));
    // wTotalLength never exceeds what is there: that is the caller's guarantee.
    const uint16_t total = std::min<uint16_t>(static_cast<uint16_t>(bytes[2] | bytes[3] << 8), static_cast<uint16_t>(bytes.size()));
    bytes[2] = static_cast<uint8_t>(total);
    bytes[3] = static_cast<uint8_t>(total >> 8);
    bytes.resize(std::max<size_t>(total, 4));
    auto *config = guard.Place(bytes);
    auto *found = USBD_ParseConfigurationDescriptor(config, static_cast<UCHAR>(random() % 3), 0);
    if (found) {
      const auto offset = reinterpret_cast<uint8_t *>(found) - reinterpret_cast<uint8_t *>(config);
      ASSERT_LE(offset + sizeof(USB_INTERFACE_DESCRIPTOR), bytes.size());
    }
    const auto layout = host::usb::ParseConfiguration(bytes);
    if (layout) {
      for (const auto &interface : layout->interfaces) ASSERT_LE(interface.endpoints.size(), interface.declaredEndpoints);
    }
  }
}

}  // namespace
