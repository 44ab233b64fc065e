// The stack validates as the platform's does. Each test is a small driver
// that gets one rule wrong, and shows the stack refusing it (or, for the
// data toggle, the data going astray as it would on the wire).
#include <algorithm>
#include <functional>
#include <numeric>

#include "bus_fixture.h"

namespace usbtest {
namespace {

using ValidationTest = BusTest;

std::vector<uint8_t> Pattern(size_t size, uint8_t first = 7) {
  std::vector<uint8_t> data(size);
  std::iota(data.begin(), data.end(), first);
  return data;
}

// ------------------------------------------------------------------ header Length

// A correct request of one function, built into `block` by a driver that
// knows its pipes: `out` for pipe requests and transfers.
using Builder = std::function<void(UrbBlock &block, USBD_PIPE_HANDLE out, uint8_t *data)>;

struct LengthCase {
  const char *name;
  size_t platformLength;  // the header Length the platform's own records give
  Builder build;
};

void Feature(UrbBlock &block, USHORT function, USHORT selector, USHORT index) {
  auto &f = block.urb()->UrbControlFeatureRequest;
  f = {};
  f.Hdr.Function = function;
  f.FeatureSelector = selector;
  f.Index = index;
}

void VendorOrClass(UrbBlock &block, USHORT function, uint8_t *data) {
  auto &v = block.urb()->UrbControlVendorClassRequest;
  v = {};
  v.Hdr.Function = function;
  v.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
  v.TransferBuffer = data;
  v.TransferBufferLength = 8;
}

const std::vector<LengthCase> &LengthCases() {
  constexpr size_t pipeRequest = offsetof(_URB_PIPE_REQUEST, PipeHandle) + sizeof(USBD_PIPE_HANDLE);
  static const std::vector<LengthCase> cases = {
      {"Unconfigure", offsetof(_URB_SELECT_CONFIGURATION, Interface),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *) { b.urb()->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION; }},
      {"AbortPipe", pipeRequest,
       [](UrbBlock &b, USBD_PIPE_HANDLE out, uint8_t *) { BusTest::PipeRequest(b, URB_FUNCTION_ABORT_PIPE, out); }},
      {"ResetPipe", pipeRequest,
       [](UrbBlock &b, USBD_PIPE_HANDLE out, uint8_t *) { BusTest::PipeRequest(b, URB_FUNCTION_RESET_PIPE, out); }},
      {"SyncResetPipe", pipeRequest,
       [](UrbBlock &b, USBD_PIPE_HANDLE out, uint8_t *) { BusTest::PipeRequest(b, URB_FUNCTION_SYNC_RESET_PIPE, out); }},
      {"SyncClearStall", pipeRequest,
       [](UrbBlock &b, USBD_PIPE_HANDLE out, uint8_t *) { BusTest::PipeRequest(b, URB_FUNCTION_SYNC_CLEAR_STALL, out); }},
      {"BulkTransfer", sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
       [](UrbBlock &b, USBD_PIPE_HANDLE out, uint8_t *data) { BusTest::Bulk(b, out, 0, data, 8); }},
      {"ControlTransfer", sizeof(_URB_CONTROL_TRANSFER),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *data) {
         auto &c = b.urb()->UrbControlTransfer;
         c = {};
         c.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
         c.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
         c.TransferBuffer = data;
         c.TransferBufferLength = 8;
         c.SetupPacket[0] = 0xC0;
         c.SetupPacket[1] = 4;
       }},
      {"GetDescriptor", sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *data) {
         BusTest::Descriptor(b, USB_DEVICE_DESCRIPTOR_TYPE, data, 8);
       }},
      {"GetStatus", sizeof(_URB_CONTROL_GET_STATUS_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *data) {
         auto &g = b.urb()->UrbControlGetStatusRequest;
         g = {};
         g.Hdr.Function = URB_FUNCTION_GET_STATUS_FROM_DEVICE;
         g.TransferBuffer = data;
         g.TransferBufferLength = 2;
       }},
      {"SetFeatureToDevice", sizeof(_URB_CONTROL_FEATURE_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *) { Feature(b, URB_FUNCTION_SET_FEATURE_TO_DEVICE, 1, 0); }},
      {"ClearFeatureToDevice", sizeof(_URB_CONTROL_FEATURE_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *) { Feature(b, URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE, 1, 0); }},
      {"ClearFeatureToInterface", sizeof(_URB_CONTROL_FEATURE_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *) { Feature(b, URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE, 0, 0); }},
      {"ClearFeatureToEndpoint", sizeof(_URB_CONTROL_FEATURE_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *) {
         Feature(b, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, kOutEndpoint);
       }},
      {"VendorDevice", sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *data) { VendorOrClass(b, URB_FUNCTION_VENDOR_DEVICE, data); }},
      {"VendorInterface", sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *data) { VendorOrClass(b, URB_FUNCTION_VENDOR_INTERFACE, data); }},
      {"VendorEndpoint", sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *data) { VendorOrClass(b, URB_FUNCTION_VENDOR_ENDPOINT, data); }},
      {"VendorOther", sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *data) { VendorOrClass(b, URB_FUNCTION_VENDOR_OTHER, data); }},
      {"ClassDevice", sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *data) { VendorOrClass(b, URB_FUNCTION_CLASS_DEVICE, data); }},
      {"ClassInterface", sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *data) { VendorOrClass(b, URB_FUNCTION_CLASS_INTERFACE, data); }},
      {"ClassEndpoint", sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *data) { VendorOrClass(b, URB_FUNCTION_CLASS_ENDPOINT, data); }},
      {"ClassOther", sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
       [](UrbBlock &b, USBD_PIPE_HANDLE, uint8_t *data) { VendorOrClass(b, URB_FUNCTION_CLASS_OTHER, data); }},
  };
  return cases;
}

// A driver that counts its header Length one byte short is refused before
// anything reaches the device; the platform's own length, or a whole URB, is
// accepted.
TEST_F(ValidationTest, HeaderLengthIsCheckedForEveryFunction) {
  for (const auto &c : LengthCases()) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    UrbBlock block;
    const size_t setupsBefore = device->setups.size(), receivedBefore = device->received.size();

    c.build(block, out, data);
    block.urb()->UrbHeader.Length = static_cast<USHORT>(c.platformLength - 1);
    EXPECT_EQ(Submit(block.urb()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device->setups.size(), setupsBefore);
    EXPECT_EQ(device->received.size(), receivedBefore);

    for (size_t length : {c.platformLength, sizeof(URB)}) {
      c.build(block, out, data);
      block.urb()->UrbHeader.Length = static_cast<USHORT>(length);
      EXPECT_EQ(Submit(block.urb()), STATUS_SUCCESS) << "Length " << length;
      EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_SUCCESS) << "Length " << length;
    }
  }
}

// ------------------------------------------------------------------ select configuration

class TwoInterfaceTest : public BusTest {
 protected:
  void SetUp() override {
    BusTest::SetUp();
    device->secondInterface = true;
    configDescriptor = device->ConfigurationDescriptor();
  }
  static constexpr size_t kEntryHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  static constexpr size_t kFirstEntry = kEntryHeader + 2 * sizeof(USBD_PIPE_INFORMATION);

  // The block a driver builds: room for `roomFor` interface entries, the first
  // (interface 0, two pipes) filled, the second (interface 1) only when `both`.
  void Build(UrbBlock &block, int roomFor, bool both) {
    auto *urb = block.urb();
    urb->UrbHeader.Length = static_cast<USHORT>(offsetof(_URB_SELECT_CONFIGURATION, Interface) + kFirstEntry +
                                                (roomFor > 1 ? kEntryHeader : 0));
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configDescriptor.data());
    auto &first = urb->UrbSelectConfiguration.Interface;
    first.Length = static_cast<USHORT>(kFirstEntry);
    first.InterfaceNumber = 0;
    first.Pipes[0].MaximumTransferSize = 4096;
    first.Pipes[1].MaximumTransferSize = 4096;
    if (both) {
      auto *second = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t *>(&first) + kFirstEntry);
      second->Length = static_cast<USHORT>(kEntryHeader);
      second->InterfaceNumber = 1;
    }
  }
};

// The configuration has two interfaces (bNumInterfaces 2): the stack reads
// two entries, whatever the driver meant to select.
TEST_F(TwoInterfaceTest, SelectionIsReadByBNumInterfacesEntries) {
  struct Case {
    const char *driver;
    int roomFor;
    bool both;
    USBD_STATUS urbStatus;
  };
  const Case cases[] = {
      {"describes only the interface it uses, in a block sized for two", 2, false, USBD_STATUS_INVALID_PARAMETER},
      {"sizes the block for one interface", 1, false, USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.driver);
    UrbBlock block;
    Build(block, c.roomFor, c.both);
    EXPECT_EQ(Submit(block.urb()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(block.urb()->UrbHeader.Status, c.urbStatus);
    EXPECT_EQ(device->configuration, 0);  // nothing selected
  }

  UrbBlock block;
  Build(block, 2, true);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(device->configuration, 1);
  const auto &first = block.urb()->UrbSelectConfiguration.Interface;
  const auto *second = reinterpret_cast<const USBD_INTERFACE_INFORMATION *>(
      reinterpret_cast<const uint8_t *>(&first) + kFirstEntry);
  EXPECT_NE(first.InterfaceHandle, nullptr);
  EXPECT_NE(second->InterfaceHandle, nullptr);
  EXPECT_EQ(second->Class, 0xFF);
  EXPECT_EQ(second->NumberOfPipes, 0u);
}

// ------------------------------------------------------------------ PipeFlags

// Selects the one interface with `flags` and `packetSize` on the OUT pipe.
NTSTATUS SelectWithFlags(BusTest &test, UrbBlock &block, std::vector<uint8_t> &descriptor, ULONG flags,
                         USHORT packetSize, USBD_PIPE_HANDLE &outPipe) {
  auto *urb = block.urb();
  urb->UrbHeader.Length = static_cast<USHORT>(offsetof(_URB_SELECT_CONFIGURATION, Interface) +
                                              offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                                              2 * sizeof(USBD_PIPE_INFORMATION));
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(descriptor.data());
  auto &entry = urb->UrbSelectConfiguration.Interface;
  entry.Length = static_cast<USHORT>(offsetof(USBD_INTERFACE_INFORMATION, Pipes) + 2 * sizeof(USBD_PIPE_INFORMATION));
  for (auto &pipe : {&entry.Pipes[0], &entry.Pipes[1]}) pipe->MaximumTransferSize = 4096;
  entry.Pipes[0].PipeFlags = flags;
  entry.Pipes[0].MaximumPacketSize = packetSize;
  const NTSTATUS status = test.SubmitAsync(urb)->Wait();
  outPipe = entry.Pipes[0].PipeHandle;
  return status;
}

TEST_F(ValidationTest, PipeFlagsAreHonouredAndUnknownOnesRefused) {
  auto descriptor = device->ConfigurationDescriptor();
  USBD_PIPE_HANDLE pipe = nullptr;
  struct Refused {
    const char *driver;
    ULONG flags;
    USHORT packetSize;
    USBD_STATUS urbStatus;
  };
  const Refused refused[] = {
      {"leaves pool fill in PipeFlags", 0xCDCDCDCD, 64, USBD_STATUS_INAVLID_PIPE_FLAGS},
      {"asks for a packet size of 0", USBD_PF_CHANGE_MAX_PACKET, 0, USBD_STATUS_INVALID_PARAMETER},
      {"asks for packets above the endpoint's", USBD_PF_CHANGE_MAX_PACKET, 128, USBD_STATUS_INVALID_PARAMETER},
  };
  for (const auto &r : refused) {
    SCOPED_TRACE(r.driver);
    UrbBlock block;
    EXPECT_EQ(SelectWithFlags(*this, block, descriptor, r.flags, r.packetSize, pipe), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(block.urb()->UrbHeader.Status, r.urbStatus);
    EXPECT_EQ(device->configuration, 0);
  }

  // Honoured: the pipe moves 32-byte packets, and says so.
  UrbBlock block;
  ASSERT_EQ(SelectWithFlags(*this, block, descriptor, USBD_PF_CHANGE_MAX_PACKET, 32, pipe), STATUS_SUCCESS);
  EXPECT_EQ(block.urb()->UrbSelectConfiguration.Interface.Pipes[0].MaximumPacketSize, 32);
  EXPECT_EQ(block.urb()->UrbSelectConfiguration.Interface.Pipes[1].MaximumPacketSize, 64);
  auto data = Pattern(64);
  UrbBlock transfer;
  Bulk(transfer, pipe, 0, data.data(), 64);
  ASSERT_EQ(Submit(transfer.urb()), STATUS_SUCCESS);
  EXPECT_EQ(bus->Stats(port).bulkPackets, 2u);
  EXPECT_EQ(device->received, data);
}

// ------------------------------------------------------------------ MDL and TransferBuffer

TEST_F(ValidationTest, AnMdlIsPreferredToTheBufferAndMustCoverTheLength) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  auto wanted = Pattern(64);
  std::vector<uint8_t> stale(64, 0xEE);
  PMDL mdl = IoAllocateMdl(wanted.data(), 64, FALSE, FALSE, nullptr);
  ASSERT_NE(mdl, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  UrbBlock block;

  // A driver that leaves a stale TransferBuffer beside its MDL: the MDL's data goes.
  Bulk(block, out, 0, stale.data(), 64);
  block.urb()->UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(device->received, wanted);

  // A driver whose MDL describes fewer bytes than it asks to move.
  Bulk(block, out, 0, nullptr, 65);
  block.urb()->UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
  EXPECT_EQ(Submit(block.urb()), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
  EXPECT_EQ(device->received.size(), 64u);  // nothing more went out
  IoFreeMdl(mdl);
}

// ------------------------------------------------------------------ the device's state

TEST_F(ValidationTest, RequestsToADeviceNotStartedStoppedAsleepOrRemovedAreRefused) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  uint8_t data[8] = {};
  UrbBlock transfer, abort;
  auto send = [&] {
    Bulk(transfer, out, 0, data, sizeof data);
    return Submit(transfer.urb());
  };
  auto abortStatus = [&] {
    PipeRequest(abort, URB_FUNCTION_ABORT_PIPE, out);
    return Submit(abort.urb());
  };

  // A driver that sends while its device is in D3.
  ASSERT_EQ(SendToPdo(IRP_MJ_POWER, IRP_MN_SET_POWER, PowerDeviceD3), STATUS_SUCCESS);
  EXPECT_EQ(send(), STATUS_DEVICE_POWERED_OFF);
  EXPECT_EQ(transfer.urb()->UrbHeader.Status, USBD_STATUS_REQUEST_FAILED);
  EXPECT_EQ(ResetPort(), STATUS_DEVICE_POWERED_OFF);
  EXPECT_EQ(abortStatus(), STATUS_SUCCESS);  // cleaning up is always allowed
  ASSERT_EQ(SendToPdo(IRP_MJ_POWER, IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
  EXPECT_EQ(send(), STATUS_SUCCESS);

  // A driver that sends after passing the stop down, then after the restart.
  ASSERT_EQ(SendToPdo(IRP_MJ_PNP, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(send(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(transfer.urb()->UrbHeader.Status, USBD_STATUS_REQUEST_FAILED);
  ASSERT_EQ(SendToPdo(IRP_MJ_PNP, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(send(), STATUS_SUCCESS);

  // A driver that sends after its surprise removal: the device is gone, aborts included.
  ASSERT_EQ(SendToPdo(IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
  EXPECT_EQ(send(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(transfer.urb()->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(abortStatus(), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(device->received.size(), 16u);  // only the two accepted transfers reached the device
}

TEST_F(ValidationTest, ADeviceNeverStartedTakesNoRequest) {
  auto second = std::make_shared<LoopbackDevice>();
  pdo = bus->Pdo(bus->Attach(second));
  ASSERT_NE(pdo, nullptr);
  uint8_t buffer[18] = {};
  UrbBlock block;
  // A driver that reads descriptors in AddDevice, before its start.
  Descriptor(block, USB_DEVICE_DESCRIPTOR_TYPE, buffer, sizeof buffer);
  EXPECT_EQ(Submit(block.urb()), STATUS_INVALID_DEVICE_STATE);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_REQUEST_FAILED);
  EXPECT_EQ(buffer[0], 0);
  ASSERT_EQ(SendToPdo(IRP_MJ_PNP, IRP_MN_START_DEVICE), STATUS_SUCCESS);
  EXPECT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(buffer[0], 18);
}

// ------------------------------------------------------------------ USBD status to NTSTATUS

// Every failure the stack itself produces pairs the URB status with the
// request status the platform's port driver gives it. The cases run in turn
// on one configuration: each leaves the pipe as the next one needs it.
TEST_F(ValidationTest, EveryFailureCarriesThePlatformsRequestStatusForItsUrbStatus) {
  struct Case {
    const char *driver;
    USBD_STATUS urbStatus;
    NTSTATUS requestStatus;
    std::function<void(BusTest &, UrbBlock &, std::vector<uint8_t> &)> build;
  };
  const Case cases[] = {
      {"sends an unknown function", USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER,
       [](BusTest &, UrbBlock &b, std::vector<uint8_t> &) {
         b.urb()->UrbHeader.Length = sizeof(URB);
         b.urb()->UrbHeader.Function = 0x7777;
       }},
      {"uses a forged pipe handle", USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER,
       [](BusTest &t, UrbBlock &b, std::vector<uint8_t> &data) {
         BusTest::Bulk(b, reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(t.out) ^ 0x10), 0, data.data(), 8);
       }},
      {"reads without room for a short packet", USBD_STATUS_ERROR_SHORT_TRANSFER, STATUS_UNSUCCESSFUL,
       [](BusTest &t, UrbBlock &b, std::vector<uint8_t> &data) {
         t.device->fifo.assign(10, 1);
         BusTest::Bulk(b, t.in, USBD_TRANSFER_DIRECTION_IN, data.data(), 64);
       }},
      {"writes to a stalling endpoint", USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL,
       [](BusTest &t, UrbBlock &b, std::vector<uint8_t> &data) {
         t.device->stallOut = true;
         BusTest::Bulk(b, t.out, 0, data.data(), 64);
       }},
      {"writes again to the halted pipe", USBD_STATUS_ENDPOINT_HALTED, STATUS_UNSUCCESSFUL,
       [](BusTest &t, UrbBlock &b, std::vector<uint8_t> &data) { BusTest::Bulk(b, t.out, 0, data.data(), 64); }},
      {"talks to a device unplugged", USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED,
       [](BusTest &t, UrbBlock &b, std::vector<uint8_t> &data) {
         t.bus->Detach(t.port);
         BusTest::Vendor(b, data.data(), 8);
       }},
  };
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.driver);
    std::vector<uint8_t> data(64);
    UrbBlock block;
    c.build(*this, block, data);
    EXPECT_EQ(Submit(block.urb()), c.requestStatus);
    EXPECT_EQ(block.urb()->UrbHeader.Status, c.urbStatus);
  }
}

// ------------------------------------------------------------------ halts and data toggles

// The toy driver's two ways of recovering an endpoint.
struct StallRecovery {
  BusTest &test;
  NTSTATUS ClearHaltOnly(uint8_t endpoint) {
    UrbBlock block;
    Feature(block, URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT, USB_FEATURE_ENDPOINT_STALL, endpoint);
    block.urb()->UrbHeader.Length = sizeof(_URB_CONTROL_FEATURE_REQUEST);
    return test.Submit(block.urb());
  }
  NTSTATUS ResetPipe(USBD_PIPE_HANDLE pipe) {
    UrbBlock block;
    BusTest::PipeRequest(block, URB_FUNCTION_RESET_PIPE, pipe);
    return test.Submit(block.urb());
  }
};

TEST_F(ValidationTest, ClearHaltAloneLeavesTheHostPipeHaltedAndResetPipeRecovers) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  StallRecovery driver{*this};
  auto data = Pattern(64);
  UrbBlock block;
  device->stallOut = true;
  Bulk(block, out, 0, data.data(), 64);
  EXPECT_EQ(Submit(block.urb()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_STALL_PID);

  // CLEAR_FEATURE(ENDPOINT_HALT) reaches the device on its default pipe and
  // ends its halt; the host's endpoint is still halted.
  const size_t controlBefore = bus->Stats(port).controlTransfers;
  ASSERT_EQ(driver.ClearHaltOnly(kOutEndpoint), STATUS_SUCCESS);
  EXPECT_EQ(bus->Stats(port).controlTransfers, controlBefore + 1);
  EXPECT_EQ(device->clearedHalts, std::vector<uint8_t>{kOutEndpoint});
  EXPECT_FALSE(device->stallOut);
  Bulk(block, out, 0, data.data(), 64);
  EXPECT_EQ(Submit(block.urb()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);

  ASSERT_EQ(driver.ResetPipe(out), STATUS_SUCCESS);
  Bulk(block, out, 0, data.data(), 64);
  EXPECT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(device->received, data);
}

// After one packet each way both toggles of each pipe stand at DATA1. A
// clear-halt alone puts the device's back to DATA0 and leaves the host's:
// the next packet is taken for a retry and dropped, on either side, while
// the transfer reports success. RESET_PIPE puts both back together.
TEST_F(ValidationTest, ClearHaltAloneDesynchronisesTheDataToggle) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  StallRecovery driver{*this};
  auto first = Pattern(64), second = Pattern(64, 100);
  std::vector<uint8_t> readBack(64);
  UrbBlock block;
  Bulk(block, out, 0, first.data(), 64);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  Bulk(block, in, USBD_TRANSFER_DIRECTION_IN, readBack.data(), 64);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);

  ASSERT_EQ(driver.ClearHaltOnly(kOutEndpoint), STATUS_SUCCESS);
  Bulk(block, out, 0, second.data(), 64);
  EXPECT_EQ(Submit(block.urb()), STATUS_SUCCESS);  // the host saw an ACK
  EXPECT_EQ(device->droppedOut, 1);
  EXPECT_EQ(device->received, first);  // the second packet never arrived

  // IN: the device's DATA0 packet is the host's duplicate; the read gets the one after.
  ASSERT_EQ(driver.ClearHaltOnly(kInEndpoint), STATUS_SUCCESS);
  device->fifo.assign(first.begin(), first.end());
  device->fifo.insert(device->fifo.end(), second.begin(), second.end());
  Bulk(block, in, USBD_TRANSFER_DIRECTION_IN, readBack.data(), 64);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(readBack, second);

  // RESET_PIPE: both sides at DATA0 again, nothing lost.
  ASSERT_EQ(driver.ResetPipe(out), STATUS_SUCCESS);
  Bulk(block, out, 0, second.data(), 64);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(device->droppedOut, 1);
  ASSERT_EQ(device->received.size(), 128u);
  EXPECT_TRUE(std::equal(second.begin(), second.end(), device->received.begin() + 64));
}

}  // namespace
}  // namespace usbtest

namespace usbtest {
namespace {

// ------------------------------------------------------------------ rules the platform documents

// Each row a driver that breaks one documented rule of the platform's stack,
// then the same request done right: the first is refused and reaches
// nothing, the second is served.
TEST_F(ValidationTest, TheStackRefusesWhatThePlatformDocumentsAsWrong) {
  using Request = std::function<NTSTATUS(BusTest &, UrbBlock &, std::vector<uint8_t> &, bool right)>;
  const auto vendorOut = [](BusTest &t, UrbBlock &b, std::vector<uint8_t> &d, bool right) {
    d.assign(right ? 4096 : 5000, 0x42);
    Vendor(b, d.data(), static_cast<ULONG>(d.size()), 0);
    return t.Submit(b.urb());
  };
  const auto bulkOutThroughMdl = [](BusTest &t, UrbBlock &b, std::vector<uint8_t> &d, bool right) {
    d = Pattern(64);
    PMDL mdl = IoAllocateMdl(d.data(), 64, FALSE, FALSE, nullptr);
    if (right) MmBuildMdlForNonPagedPool(mdl);
    Bulk(b, t.out, 0, nullptr, 64);
    b.urb()->UrbBulkOrInterruptTransfer.TransferBufferMDL = mdl;
    const NTSTATUS status = t.Submit(b.urb());
    IoFreeMdl(mdl);
    return status;
  };
  const std::pair<const char *, Request> cases[] = {
      {"a control transfer of more than 4,096 bytes on the default pipe", vendorOut},
      {"an MDL whose pages were never locked or built", bulkOutThroughMdl},
  };
  for (const auto &[name, request] : cases) {
    SCOPED_TRACE(name);
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    device->received.clear();
    const size_t setups = device->setups.size();
    UrbBlock block;
    std::vector<uint8_t> data;
    EXPECT_EQ(request(*this, block, data, false), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(device->setups.size(), setups);
    EXPECT_TRUE(device->received.empty());
    EXPECT_EQ(request(*this, block, data, true), STATUS_SUCCESS);
  }
}

// On a UHCI or OHCI controller a short packet that the driver did not allow
// halts the endpoint: every later transfer fails until the pipe is reset.
TEST_F(ValidationTest, AShortInWithoutShortTransferOkHaltsTheEndpointUntilAReset) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  auto data = Pattern(10);
  std::vector<uint8_t> back(256);
  UrbBlock block;
  auto send = [&] {
    Bulk(block, out, 0, data.data(), 10);
    return Submit(block.urb());
  };
  auto read = [&](ULONG flags) {
    Bulk(block, in, USBD_TRANSFER_DIRECTION_IN | flags, back.data(), 256);
    return Submit(block.urb());
  };
  ASSERT_EQ(send(), STATUS_SUCCESS);
  EXPECT_EQ(read(0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);

  ASSERT_EQ(send(), STATUS_SUCCESS);
  EXPECT_EQ(read(USBD_SHORT_TRANSFER_OK), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(block.urb()->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);

  PipeRequest(block, URB_FUNCTION_RESET_PIPE, in);
  ASSERT_EQ(Submit(block.urb()), STATUS_SUCCESS);
  EXPECT_EQ(read(USBD_SHORT_TRANSFER_OK), STATUS_SUCCESS);
  EXPECT_EQ(block.urb()->UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);
}

// The port reset waits for the hub, so it is sent at PASSIVE_LEVEL only.
TEST_F(ValidationTest, APortResetAbovePassiveLevelIsABugCheck) {
  auto resets = [&] { return bus->Faults(port).Seen(host::usb::RequestKind::PortReset); };
  const auto before = resets();
  // Built at PASSIVE_LEVEL, as it must be; sent from DISPATCH_LEVEL.
  PendingUrb pending;
  KeInitializeEvent(&pending.event, NotificationEvent, FALSE);
  pending.irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, pdo, nullptr, 0, nullptr, 0, TRUE,
                                              &pending.event, &pending.iosb);
  ASSERT_NE(pending.irp, nullptr);
  host::RunAtDispatchLevel([&] { pending.returned = IoCallDriver(pdo, pending.irp); });
  EXPECT_EQ(pending.Wait(), STATUS_INVALID_DEVICE_STATE);
  EXPECT_TRUE(TakeBugCheck(host::bugcheck::kIrqlNotLessOrEqual));
  EXPECT_EQ(resets(), before);
  EXPECT_EQ(ResetPort(), STATUS_SUCCESS);
  EXPECT_EQ(resets(), before + 1);
}

}  // namespace
}  // namespace usbtest
