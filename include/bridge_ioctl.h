// Device-control codes of the bridge's private interface. Self-contained so
// that user-mode tools can include it without the kernel headers.
#pragma once

#define NORVUSB_CTL(function) (0x00220000u + 4u * (function))

#define IOCTL_BRIDGE_RESET_PIPE NORVUSB_CTL(0x801)                 // 0x222004
#define IOCTL_BRIDGE_ABORT_PIPES NORVUSB_CTL(0x802)                // 0x222008
#define IOCTL_BRIDGE_RESET_DEVICE NORVUSB_CTL(0x803)               // 0x22200C
#define IOCTL_BRIDGE_SELECT_INTERFACE NORVUSB_CTL(0x804)           // 0x222010
#define IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR NORVUSB_CTL(0x805)      // 0x222014
#define IOCTL_BRIDGE_GET_CONFIGURATION_DESCRIPTOR NORVUSB_CTL(0x806)  // 0x222018
#define IOCTL_BRIDGE_GET_INTERFACE_DESCRIPTOR NORVUSB_CTL(0x807)   // 0x22201C
#define IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS NORVUSB_CTL(0x808)   // 0x222020
#define IOCTL_BRIDGE_NOP NORVUSB_CTL(0x809)                        // 0x222024
#define IOCTL_BRIDGE_VENDOR_2 NORVUSB_CTL(0x815)                   // 0x222054
#define IOCTL_BRIDGE_VENDOR_3 NORVUSB_CTL(0x816)                   // 0x222058
#define IOCTL_BRIDGE_VENDOR_6 NORVUSB_CTL(0x817)                   // 0x22205C
#define IOCTL_BRIDGE_SET_TRANSFER_MODE NORVUSB_CTL(0x818)          // 0x222060
#define IOCTL_BRIDGE_GET_DEVICE_ID NORVUSB_CTL(0x819)              // 0x222064
#define IOCTL_BRIDGE_VENDOR_5 NORVUSB_CTL(0x81A)                   // 0x222068
#define IOCTL_BRIDGE_CLEAR_HALTS NORVUSB_CTL(0x81B)                // 0x22206C

// Vendor request of the bridge firmware.
#define BRIDGE_VENDOR_REQUEST 4
#define BRIDGE_SUBCOMMAND_DEVICE_ID 1
#define BRIDGE_SUBCOMMAND_PORT_CONFIG 2
#define BRIDGE_SUBCOMMAND_PRINTER_INIT 3
#define BRIDGE_SUBCOMMAND_TRANSFER_MODE 4
#define BRIDGE_SUBCOMMAND_PORT_STATUS 5
#define BRIDGE_SUBCOMMAND_FIRMWARE_INFO 6
// The argument of sub-command 2 that a start sends: compatibility mode, a
// 500 ns strobe.
#define BRIDGE_PORT_CONFIG_DEFAULT 0x0104
// The arguments of sub-command 4: data to the printer, or from it.
#define BRIDGE_MODE_FORWARD 0
#define BRIDGE_MODE_REVERSE 1
// Every sub-command but the device ID answers with this many bytes.
#define BRIDGE_VENDOR_REPLY_SIZE 8u
