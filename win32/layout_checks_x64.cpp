// Layout checks of the x64 build: the records the driver builds and reads,
// sized from mingw-w64's DDK headers. Pointers and handles are 8 bytes and
// 8-aligned, so every record with one grows and gains padding; the sizes
// the driver sends in its headers must follow, whatever 32-bit values the
// firmware's own tables were written against.
#include "norvusb.h"
#include "../usb/urb_sizes.h"

static_assert(sizeof(void *) == 8, "this is the x64 build");

// _URB_HEADER: Length 2, Function 2, Status 4, UsbdDeviceHandle 8 at 8,
// UsbdFlags 4 at 16, padded to 8: 24.
static_assert(sizeof(struct _URB_HEADER) == 24, "URB header");
// Header 24, PipeHandle 8, TransferFlags 4, TransferBufferLength 4,
// TransferBuffer 8, TransferBufferMDL 8, UrbLink 8, the host controller's
// eight pointers 64: 128.
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk URB");
static_assert(FIELD_OFFSET(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 36, "bulk length");
// The same 128 bytes up to the setup fields, then 8 bytes of them: 136.
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "vendor URB");
static_assert(FIELD_OFFSET(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129, "vendor request code");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor URB");
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 136, "feature URB");
// The largest member is the isochronous transfer: 128, three counts 12, one
// packet descriptor 12: 152, already 8-aligned.
static_assert(sizeof(URB) == 152, "URB union");
// MaximumPacketSize 2, EndpointAddress 1, Interval 1, PipeType 4,
// PipeHandle 8, MaximumTransferSize 4, PipeFlags 4: 24.
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "pipe information");
// Length 2, six bytes of numbers, InterfaceHandle 8 at 8, NumberOfPipes 4
// at 16, pipes from the next 8-aligned offset: 24.
static_assert(FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) == 24, "interface information header");
// Header 24, ConfigurationDescriptor 8, ConfigurationHandle 8: 40; then one
// interface entry of 24 + 24 per pipe.
static_assert(FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface) == 40, "select block header");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 40 + 24 + 24, "select block with one pipe");
// Header 24, PipeHandle 8: the length stops at 32.
static_assert(FIELD_OFFSET(struct _URB_PIPE_REQUEST, Reserved) == 32, "pipe request header length");
// Type, Absolute, Size, Inserted 4, SignalState 4, wait list head 16: 24.
static_assert(sizeof(KEVENT) == 24, "event");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor");
// Count 4, padding 4, one object pointer 8.
static_assert(sizeof(DEVICE_RELATIONS) == 16, "relation list header and one entry");
static_assert(FIELD_OFFSET(FdoExtension, IsFdo) == FIELD_OFFSET(PdoExtension, IsFdo), "IsFdo tells the two apart");
static_assert(FIELD_OFFSET(FdoExtension, Self) == FIELD_OFFSET(PdoExtension, Self), "Self at the same place");
static_assert(FIELD_OFFSET(TransferContext, Urb) == 0, "the context's address is the URB's");

// The blocks usb/ builds from those records.
static_assert(NORVUSB_DESCRIPTOR_BLOCK_SIZE == 136, "descriptor request block");
static_assert(NORVUSB_CONFIGURATION_PROBE_SIZE == 25, "first configuration read buffer");
static_assert(NORVUSB_SELECT_BLOCK_SIZE(1, 2) == 40 + 24 + 48, "select block, one interface, two pipes");
static_assert(NORVUSB_SELECT_BLOCK_SIZE(2, 2) == 136, "select block, two interfaces, two pipes");
static_assert(NORVUSB_INTERFACE_ENTRY_SIZE(2) == 72, "interface entry with two pipes");
static_assert(NORVUSB_UNCONFIGURE_BLOCK_SIZE == 64, "unconfigure block");
static_assert(NORVUSB_PIPE_REQUEST_BLOCK_SIZE == 48, "pipe request block");
static_assert(NORVUSB_FEATURE_REQUEST_LENGTH == 136, "clear-feature request length");
static_assert(NORVUSB_URB_BLOCK_SIZE == 152, "whole URB block");
static_assert(NORVUSB_VENDOR_REQUEST_LENGTH == 136, "vendor request length");
static_assert(NORVUSB_BULK_REQUEST_LENGTH == 128, "bulk request length");
