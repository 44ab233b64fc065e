// Layout checks of the 32-bit build: the platform records the driver builds
// and reads must have the sizes the USB stack and the firmware expect.
#include "norvusb.h"
#include "../usb/urb_sizes.h"

static_assert(sizeof(void *) == 4, "norvusb.sys is a 32-bit driver");
static_assert(sizeof(struct _URB_HEADER) == 16, "URB header");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 72, "bulk URB");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 80, "vendor URB");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 80, "descriptor URB");
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 80, "feature URB");
static_assert(sizeof(URB) == 96, "URB union");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 20, "pipe information");
static_assert(FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) == 16, "interface information header");
static_assert(FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface) == 24, "select block header");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 24 + 16 + 20, "select block with one pipe");
static_assert(FIELD_OFFSET(struct _URB_PIPE_REQUEST, Reserved) == 20, "pipe request header length");
static_assert(sizeof(KEVENT) == 16, "event");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor");
static_assert(sizeof(DEVICE_RELATIONS) == 8, "relation list header and one entry");
static_assert(FIELD_OFFSET(FdoExtension, IsFdo) == FIELD_OFFSET(PdoExtension, IsFdo), "IsFdo tells the two apart");
static_assert(FIELD_OFFSET(FdoExtension, Self) == FIELD_OFFSET(PdoExtension, Self), "Self at the same place");
static_assert(FIELD_OFFSET(TransferContext, Urb) == 0, "the context's address is the URB's");

// The blocks the driver builds for the USB stack (usb/urb_sizes.h).
static_assert(NORVUSB_DESCRIPTOR_BLOCK_SIZE == 80, "descriptor request block");
static_assert(NORVUSB_DEVICE_DESCRIPTOR_SIZE == 18, "device descriptor buffer");
static_assert(NORVUSB_CONFIGURATION_PROBE_SIZE == 25, "first configuration read buffer");
static_assert(NORVUSB_INTERFACE_ENTRY_HEADER_SIZE == 16, "interface information header");
static_assert(NORVUSB_PIPE_ENTRY_SIZE == 20, "pipe information");
static_assert(NORVUSB_SELECT_BLOCK_SIZE(1, 2) == 24 + 16 + 40, "select block, one interface, two pipes");
static_assert(NORVUSB_SELECT_BLOCK_SIZE(2, 2) == 96, "select block, two interfaces, two pipes");
static_assert(NORVUSB_INTERFACE_ENTRY_SIZE(2) == 56, "interface entry with two pipes");
static_assert(NORVUSB_UNCONFIGURE_BLOCK_SIZE == 40, "unconfigure block");
static_assert(NORVUSB_PIPE_REQUEST_LENGTH == 20, "pipe request header length");
static_assert(NORVUSB_PIPE_REQUEST_BLOCK_SIZE == 36, "pipe request block");
static_assert(NORVUSB_FEATURE_REQUEST_LENGTH == 80, "clear-feature request length");
static_assert(NORVUSB_URB_BLOCK_SIZE == 96, "whole URB block");
static_assert(NORVUSB_VENDOR_REQUEST_LENGTH == 80, "vendor request length");
static_assert(NORVUSB_BULK_REQUEST_LENGTH == 72, "bulk request length");
