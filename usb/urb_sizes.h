// Sizes of the request blocks the driver builds for the USB stack. Every size
// comes from the platform's own records, so the blocks fit on 32 and 64 bits;
// the 32-bit build checks the values the USB stack and the firmware were
// built against (win32/layout_checks.cpp).
#pragma once

#include "norvusb.h"

// Reply and scratch buffers get this much room beyond what the request asks,
// so that a device answering a little more than asked never writes past them.
#define NORVUSB_BLOCK_SLACK 16u

// Largest data stage of one request on the default pipe: the platform's
// stack takes at most 4,096 bytes in one transfer there, and fails a longer one.
#define NORVUSB_DEFAULT_PIPE_MAXIMUM 4096u

// Descriptor reads.
#define NORVUSB_DESCRIPTOR_BLOCK_SIZE ((ULONG)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
#define NORVUSB_DEVICE_DESCRIPTOR_SIZE ((ULONG)sizeof(USB_DEVICE_DESCRIPTOR))
#define NORVUSB_CONFIGURATION_HEADER_SIZE ((ULONG)sizeof(USB_CONFIGURATION_DESCRIPTOR))
#define NORVUSB_CONFIGURATION_PROBE_SIZE (NORVUSB_CONFIGURATION_HEADER_SIZE + NORVUSB_BLOCK_SLACK)

// Select-configuration block: the request up to its first interface entry,
// one entry header per interface of the configuration, one pipe record per
// endpoint of the interface that is selected.
#define NORVUSB_INTERFACE_ENTRY_HEADER_SIZE ((ULONG)FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes))
#define NORVUSB_PIPE_ENTRY_SIZE ((ULONG)sizeof(USBD_PIPE_INFORMATION))
#define NORVUSB_SELECT_HEADER_SIZE ((ULONG)FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface))
#define NORVUSB_SELECT_BLOCK_SIZE(interfaces, endpoints)                   \
  (NORVUSB_SELECT_HEADER_SIZE + NORVUSB_INTERFACE_ENTRY_HEADER_SIZE * (ULONG)(interfaces) + \
   NORVUSB_PIPE_ENTRY_SIZE * (ULONG)(endpoints))
#define NORVUSB_INTERFACE_ENTRY_SIZE(endpoints) \
  (NORVUSB_INTERFACE_ENTRY_HEADER_SIZE + NORVUSB_PIPE_ENTRY_SIZE * (ULONG)(endpoints))
// Unconfiguring sends a select block describing one empty interface entry.
#define NORVUSB_UNCONFIGURE_BLOCK_SIZE NORVUSB_SELECT_BLOCK_SIZE(1, 0)

// Pipe maintenance: abort and reset carry a pipe request whose header length
// stops before the reserved word; clear-halt uses a whole URB.
#define NORVUSB_PIPE_REQUEST_LENGTH ((ULONG)FIELD_OFFSET(struct _URB_PIPE_REQUEST, Reserved))
#define NORVUSB_PIPE_REQUEST_BLOCK_SIZE (NORVUSB_PIPE_REQUEST_LENGTH + NORVUSB_BLOCK_SLACK)
#define NORVUSB_FEATURE_REQUEST_LENGTH ((ULONG)sizeof(struct _URB_CONTROL_FEATURE_REQUEST))
#define NORVUSB_URB_BLOCK_SIZE ((ULONG)sizeof(URB))

// Vendor commands and bulk transfers.
#define NORVUSB_VENDOR_REQUEST_LENGTH ((ULONG)sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST))
#define NORVUSB_BULK_REQUEST_LENGTH ((ULONG)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))

// Every block a routine builds must hold the record it is filled as.
static_assert(NORVUSB_PIPE_REQUEST_BLOCK_SIZE >= sizeof(struct _URB_PIPE_REQUEST), "pipe request fits");
static_assert(NORVUSB_URB_BLOCK_SIZE >= sizeof(struct _URB_CONTROL_FEATURE_REQUEST), "feature request fits");
static_assert(NORVUSB_URB_BLOCK_SIZE >= sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST), "vendor request fits");
static_assert(NORVUSB_UNCONFIGURE_BLOCK_SIZE >= (ULONG)FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface),
              "unconfigure request fits");
