// The virtual USB bus of the Wine suite (tests/wine/): the requests its
// control device "\\.\NorvWineBus" takes, and the records it exchanges with
// the bridge-model process. Plain C types, shared by the bus driver
// (kernel mode) and the Win32 programs.
//
// The bus driver (nvbus.sys) owns the USB side: child devices, their IDs,
// pipe handles, host-side halts, aborts, and the faults armed from the test
// client. Every request a bridge itself must answer (descriptors, control
// transfers, bulk packets, resets) goes to nvbridge.exe, which runs the host
// machine's bridge and printer model (host/hardware/) and answers through
// the same control device (an inverted call). The test client's requests to
// the model (the printer's sink, the back channel, ...) travel the same way.
#pragma once

#define NVBUS_CTL(function) (0x00220000u + 4u * (function))  // FILE_DEVICE_UNKNOWN, METHOD_BUFFERED, any access

// ---- the bridge-model process
// nvbridge.exe serves the named pipe "\\.\pipe\NorvWineBridge" with
// several instances. In: a ULONG count; the bus starts that many worker
// threads, each of which opens one instance and carries requests over it:
// an NVBUS_REQUEST and its data to the model, an NVBUS_REPLY and its data
// back. At every NAK the model asks whether the request still lives
// (NVBUS_REPLY.Handshake = NVBUS_QUERY_ALIVE); the bus answers with a ULONG,
// 1 or 0 (cancelled, aborted or unplugged meanwhile), and on 0 the model
// stops at once and answers NVBUS_CANCELLED with what had moved. The bus
// finishes a request only on the model's answer, so no packet of a request
// moves after its caller saw it end.
//
// Why not an inverted call (requests the model pends on the control device):
// Wine's winedevice dispatches the requests of a process's drivers on one
// thread, and norvusb.sys waits for its URBs inside its own dispatch routine,
// so the model's answer could never be dispatched while the driver waits for
// it. The bus's own threads are not held up by that.
#define IOCTL_NVBUS_CONNECT NVBUS_CTL(0x900)
#define NVBUS_PIPE_NAME L"\\??\\pipe\\NorvWineBridge"
#define NVBUS_QUERY_ALIVE 100

// ---- the test client
// In: NVBUS_PLUG. The bus reports a new child device for the bridge.
#define IOCTL_NVBUS_PLUG NVBUS_CTL(0x910)
// In: the bridge number (ULONG). The child is reported gone (surprise removal).
#define IOCTL_NVBUS_UNPLUG NVBUS_CTL(0x911)
// In: NVBUS_FAULT. Arms a fault for the bridge's next request of a kind.
#define IOCTL_NVBUS_ARM_FAULT NVBUS_CTL(0x912)
// In: NVBUS_HOOK and its data; out: the model's answer. Carried to the model.
#define IOCTL_NVBUS_HOOK NVBUS_CTL(0x913)
// Out: NVBUS_STATE.
#define IOCTL_NVBUS_STATE NVBUS_CTL(0x914)
// In: the bridge number (ULONG); out: NVBUS_WMI. Sends a WMI request
// (IRP_MJ_SYSTEM_CONTROL) to the top of the bridge's device stack, as the
// WMI system does, and tells whether it reached the bridge's USB device.
#define IOCTL_NVBUS_SYSTEM_CONTROL NVBUS_CTL(0x915)

#define NVBUS_MAX_BRIDGES 8
#define NVBUS_MAX_DATA 65536u

// What the model is asked to do (NVBUS_REQUEST.Kind).
#define NVBUS_KIND_DESCRIPTOR 1     // Setup: a GET_DESCRIPTOR request; the stack's own answer for device/configuration
#define NVBUS_KIND_CONTROL 2        // Setup and OUT data: any other control transfer on the default pipe
#define NVBUS_KIND_SELECT 3         // Value: configuration value (0: none); data: (interface, setting) byte pairs
#define NVBUS_KIND_BULK_OUT 4       // Endpoint, Value: max packet size; data: the transfer
#define NVBUS_KIND_BULK_IN 5        // Endpoint, Value: max packet size, Length: bytes wanted
#define NVBUS_KIND_CLEAR_HALT 6     // Endpoint
#define NVBUS_KIND_BUS_RESET 7      // a port reset
#define NVBUS_KIND_HOOK 8           // Value: NVBUS_HOOK_*; Endpoint: its argument; data: its input

// The model's answer to a transfer (NVBUS_REPLY.Handshake).
#define NVBUS_ACK 0
#define NVBUS_STALL 1
#define NVBUS_NO_ANSWER 2
#define NVBUS_OVERRUN 3  // an IN transfer got more than it asked for
#define NVBUS_CANCELLED 4  // stopped at a NAK: the request no longer lives

// Requests of the test client to the model (NVBUS_HOOK.Operation).
#define NVBUS_HOOK_ATTACH 1         // a new bridge and printer (Argument 1: with an alternate setting 1 of
                                    // interface 0); answer: the NVBUS_PLUG that reports it
#define NVBUS_HOOK_SINK_COUNT 2     // answer: the ULONG count of bytes the printer took
#define NVBUS_HOOK_READ_SINK 3      // Argument: offset; answer: the bytes from there (as many as fit)
#define NVBUS_HOOK_BACK_CHANNEL 4   // data: bytes the printer queues for the host
#define NVBUS_HOOK_VENDOR_FAULT 5   // Argument: sub-command; data: ULONG kind (0 stall, 1 no answer), ULONG times
#define NVBUS_HOOK_PORT_CONFIGURATION 6  // answer: the bridge's port configuration word (USHORT)
#define NVBUS_HOOK_TRANSFER_MODE 7  // answer: the bridge's transfer mode (UCHAR)
#define NVBUS_HOOK_SHUTDOWN 8       // the model process ends
#define NVBUS_HOOK_ALTERNATE_SETTING 9  // Argument: interface; answer: its active setting (UCHAR, 0xFF: none)

// Request kinds a fault can be armed for (NVBUS_FAULT.RequestKind).
#define NVBUS_ON_CONTROL 1   // any control transfer but a descriptor read
#define NVBUS_ON_VENDOR 2    // a vendor request
#define NVBUS_ON_BULK_OUT 3
#define NVBUS_ON_BULK_IN 4
#define NVBUS_ON_ANY 5

#define NVBUS_FAULT_HOLD 1        // the request is held: only a cancel ends it
#define NVBUS_FAULT_STALL 2       // the request fails with a STALL; a data pipe halts
#define NVBUS_FAULT_DISCONNECT 3  // the bridge is unplugged as the request arrives

#pragma pack(push, 4)
typedef struct NVBUS_REQUEST {
  unsigned int Id;
  unsigned int Bridge;
  unsigned int Kind;
  unsigned int Endpoint;
  unsigned int Value;
  unsigned int Length;  // IN bytes wanted
  unsigned char Setup[8];
  unsigned int DataLength;  // bytes that follow
} NVBUS_REQUEST;

typedef struct NVBUS_REPLY {
  unsigned int Id;
  unsigned int Handshake;
  unsigned int Transferred;  // OUT: bytes the device took
  unsigned int DataLength;   // IN: bytes that follow
} NVBUS_REPLY;

typedef struct NVBUS_PLUG {
  unsigned int Bridge;
  unsigned short VendorId;
  unsigned short ProductId;
  unsigned short Revision;
  unsigned char Class;  // of the device, or of the first interface when the device's is 0
  unsigned char SubClass;
  unsigned char Protocol;
  unsigned char Reserved[3];
  char Serial[32];  // the instance ID; characters an ID may not hold become '_'
} NVBUS_PLUG;

typedef struct NVBUS_FAULT {
  unsigned int Bridge;
  unsigned int RequestKind;
  unsigned int Fault;
} NVBUS_FAULT;

typedef struct NVBUS_HOOK {
  unsigned int Bridge;
  unsigned int Operation;
  unsigned int Argument;
  unsigned int DataLength;  // bytes that follow
} NVBUS_HOOK;

typedef struct NVBUS_WMI {
  unsigned int Reached;  // the bridge's USB device got the request
  int Status;            // what it was completed with
} NVBUS_WMI;

typedef struct NVBUS_STATE {
  unsigned int Workers;         // worker threads connected to the model
  unsigned int Waiting;         // requests not yet taken by the model
  unsigned int InService;       // requests the model is working on
  unsigned int Held;            // requests held by a fault
  unsigned int Present;         // bit n: bridge n plugged in
  unsigned int Reported;        // bit n: bridge n has a child device object
  unsigned int Seen[NVBUS_MAX_BRIDGES];  // URBs and port resets each bridge got
} NVBUS_STATE;
#pragma pack(pop)
