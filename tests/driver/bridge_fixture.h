// A bridge device object built by hand on the kernel alone, above a scripted
// stand-in for the USB stack that records every request it gets and
// completes it at once.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "frame_fixture.h"
#include "tests/support/test_thread.h"

struct ScriptedStack {
  std::vector<USHORT> functions;      // URB functions, in the order received
  std::vector<USHORT> vendorIndexes;  // wIndex of each vendor request
  std::vector<ULONG> vendorLengths;   // data stage length of each vendor request
  std::vector<USHORT> urbLengths;     // UrbHeader.Length of each URB
  std::vector<PVOID> pipeHandles;     // PipeHandle of each abort or reset
  // URBs with a field their request does not set left other than zero (a
  // link to a next URB, a buffer, an interface entry of an unconfigure).
  int untidyUrbs = 0;
  std::vector<UCHAR> vendorReply;     // what a vendor request reads
  NTSTATUS status = STATUS_SUCCESS;   // what every URB completes with
  NTSTATUS deviceIdStatus = STATUS_SUCCESS;  // what the device-ID read completes with
  USBD_STATUS urbStatus = USBD_STATUS_SUCCESS;  // the URB header status it leaves
  LONG pipesMiscounted = 0;  // added to the pipe count a selection reports (a faulty stack)
  ULONG bulkMoved = 0;                // bytes a bulk transfer reports moved
  // With holdBulk, a bulk transfer stays pending until it is cancelled; the
  // cancel completes it with success, bulkMoved bytes of 0x11 moved (as a
  // controller that finished the transfer just as the cancel came).
  bool holdBulk = false;
  PIRP heldBulk = nullptr;
  bool bulkCancelled = false;
  // With cancelTakes (model time), the cancel completes the transfer that
  // much later, from a thread of its own, as a controller that first ends
  // its frame.
  int64_t cancelTakes = 0;
  std::unique_ptr<TestThread> canceller;
  // Descriptor reads: type and bytes asked for; answered from ConfigurationSet()
  // and an 18-byte device descriptor.
  std::vector<std::pair<UCHAR, ULONG>> descriptorReads;
  // Bytes the next configuration reads bring back at most, one per read, in
  // order (a device that answers short); once used up, reads are answered whole.
  std::vector<size_t> configurationReplyLimits;

  // Plug and Play, power and WMI requests: what reached the stack, with the
  // status block as it arrived; each is completed with lowerStatus, its
  // Information left as it came.
  struct Arrival {
    UCHAR major;
    UCHAR minor;
    IO_STATUS_BLOCK statusBlock;
  };
  std::vector<Arrival> arrivals;
  NTSTATUS lowerStatus = STATUS_SUCCESS;
};

// A configuration of 32 bytes: one interface (number 0) with a bulk OUT and
// a bulk IN endpoint.
std::vector<UCHAR> ConfigurationSet();

class BridgeUnitTest : public DriverUnitTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sends one request to a device as the I/O manager would, with a
  // buffered system buffer, and waits for it.
  NTSTATUS Send(PDEVICE_OBJECT device, UCHAR major, ULONG code, std::vector<UCHAR> input, ULONG outputLength,
                std::vector<UCHAR> *output = nullptr, ULONG_PTR *information = nullptr, PMDL *mdl = nullptr,
                std::vector<UCHAR> *data = nullptr);
  NTSTATUS Ioctl(ULONG code, std::vector<UCHAR> input, ULONG outputLength, std::vector<UCHAR> *output = nullptr,
                 ULONG_PTR *information = nullptr) {
    return Send(bridge_, IRP_MJ_DEVICE_CONTROL, code, std::move(input), outputLength, output, information);
  }

  // A Plug and Play or power request as the managers send one: status
  // STATUS_NOT_SUPPORTED and the given Information on arrival.
  struct Outcome {
    NTSTATUS returned;             // what the dispatch routine returned
    IO_STATUS_BLOCK statusBlock;   // as the request completed
  };
  Outcome SendPnp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor, const IO_STACK_LOCATION &parameters = {},
                  ULONG_PTR information = 0);

  // Stores a configuration set as a start would, and selects interface 0.
  void Configure(std::vector<UCHAR> set);

  ScriptedStack stack_;
  PDRIVER_OBJECT usbDriver_ = nullptr;
  PDEVICE_OBJECT lower_ = nullptr;
  PDEVICE_OBJECT bridge_ = nullptr;
  FdoExtension *ext_ = nullptr;
};
