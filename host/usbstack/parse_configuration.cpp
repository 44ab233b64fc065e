// USBD_ParseConfigurationDescriptor: the USBD library routine that finds an
// interface descriptor in a configuration descriptor set. Descriptors come
// from devices, so every length is checked against wTotalLength before it is
// trusted: a zero bLength or a descriptor reaching past the end stops the walk.
#include "host/kernel/api/hostusb.h"
#include "host/kernel/host_kernel.h"
#include "host/kernel/watchdog.h"

extern "C" PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptor(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  const host::sched::AfterEffect afterEffect("USBD_ParseConfigurationDescriptor");
  if (!host::irql::Allows(host::irql::Routine::USBD_ParseConfigurationDescriptor, ConfigurationDescriptor))
    return nullptr;
  if (ConfigurationDescriptor == nullptr) return nullptr;
  const auto *base = reinterpret_cast<const UCHAR *>(ConfigurationDescriptor);
  const ULONG total = ConfigurationDescriptor->wTotalLength;
  ULONG offset = 0;
  // The walk needs two bytes (bLength, bDescriptorType) of each descriptor.
  while (offset + sizeof(USB_COMMON_DESCRIPTOR) <= total) {
    const auto *common = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(base + offset);
    if (common->bLength < sizeof(USB_COMMON_DESCRIPTOR) || offset + common->bLength > total) return nullptr;
    if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && common->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
      auto *interface = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<UCHAR *>(base + offset));
      if (interface->bInterfaceNumber == InterfaceNumber && interface->bAlternateSetting == AlternateSetting)
        return interface;
    }
    offset += common->bLength;
  }
  return nullptr;
}
