// USBD_ParseConfigurationDescriptorEx and the older routine it replaces: the
// USBD library routines that find an interface descriptor in a configuration
// descriptor set. Descriptors come
// from devices, so every length is checked against wTotalLength before it is
// trusted: a zero bLength or a descriptor reaching past the end stops the walk.
#include "host/kernel/api/hostusb.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/watchdog.h"

namespace {

bool Matches(LONG wanted, UCHAR value) { return wanted == -1 || wanted == value; }

}  // namespace

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  const host::sched::AfterEffect afterEffect("USBD_ParseConfigurationDescriptorEx");
  if (!host::irql::Allows(host::irql::Routine::USBD_ParseConfigurationDescriptor, ConfigurationDescriptor))
    return nullptr;
  if (ConfigurationDescriptor == nullptr) return nullptr;
  const auto *base = reinterpret_cast<const UCHAR *>(ConfigurationDescriptor);
  const ULONG total = ConfigurationDescriptor->wTotalLength;
  const auto *start = static_cast<const UCHAR *>(StartPosition);
  // A start outside the set finds nothing.
  if (start < base || start > base + total) return nullptr;
  // The walk goes from the set's start so that a start position inside a
  // descriptor never makes its bytes read as a header.
  ULONG offset = 0;
  // The walk needs two bytes (bLength, bDescriptorType) of each descriptor.
  while (offset + sizeof(USB_COMMON_DESCRIPTOR) <= total) {
    const auto *common = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(base + offset);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || offset + common->bLength > total) return nullptr;
    if (base + offset >= start && common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
        common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto *interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR *>(base + offset));
      if (Matches(InterfaceNumber, interface->bInterfaceNumber) &&
          Matches(AlternateSetting, interface->bAlternateSetting) &&
          Matches(InterfaceClass, interface->bInterfaceClass) &&
          Matches(InterfaceSubClass, interface->bInterfaceSubClass) &&
          Matches(InterfaceProtocol, interface->bInterfaceProtocol))
        return interface;
    }
    offset += common->bLength;
  }
  return nullptr;
}

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  return USBD_ParseConfigurationDescriptorEx(ConfigurationDescriptor, ConfigurationDescriptor, InterfaceNumber,
                                             AlternateSetting, -1, -1, -1);
}
