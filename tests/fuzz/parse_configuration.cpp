// USBD_ParseConfigurationDescriptor on arbitrary descriptor sets. The set
// sits in a block of exactly the input's size and its wTotalLength never
// claims more than that (the caller's side of the contract), so any read past
// wTotalLength is an address-sanitizer finding. The interface number and
// alternate setting to look for come from the input's last two bytes.
// Checked: a found descriptor lies wholly inside wTotalLength, on the walk's
// chain of descriptors, and is the interface asked for.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "host/kernel/api/hostusb.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

// True when `offset` is where the walk from the start, by bLength, lands.
bool OnChain(const uint8_t *set, size_t total, size_t offset) {
  size_t at = 0;
  while (at < offset && at + 2 <= total && set[at] >= 2) at += set[at];
  return at == offset;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2 + sizeof(USB_CONFIGURATION_DESCRIPTOR)) return 0;
  const UCHAR interfaceNumber = data[size - 2];
  const UCHAR alternateSetting = data[size - 1];
  const size_t length = size - 2;

  auto block = std::make_unique<uint8_t[]>(length);
  std::memcpy(block.get(), data, length);
  auto *configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block.get());
  // A device may claim less than it sent; the caller never keeps less than it claims.
  const USHORT total = static_cast<USHORT>(std::min<size_t>(configuration->wTotalLength, length));
  configuration->wTotalLength = total;

  PUSB_INTERFACE_DESCRIPTOR found =
      USBD_ParseConfigurationDescriptor(configuration, interfaceNumber, alternateSetting);
  if (found == nullptr) return 0;
  const auto *at = reinterpret_cast<const uint8_t *>(found);
  FUZZ_EXPECT(at >= block.get() && at < block.get() + total);
  const size_t offset = static_cast<size_t>(at - block.get());
  FUZZ_EXPECT(offset + sizeof(USB_INTERFACE_DESCRIPTOR) <= total);
  FUZZ_EXPECT(offset + found->bLength <= total);
  FUZZ_EXPECT(found->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR));
  FUZZ_EXPECT(found->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE);
  FUZZ_EXPECT(found->bInterfaceNumber == interfaceNumber && found->bAlternateSetting == alternateSetting);
  FUZZ_EXPECT(OnChain(block.get(), total, offset));
  return 0;
}
