#include "bridge_fixture.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace {

ScriptedStack *gStack = nullptr;

// Answers one URB; returns the status to complete it with.
NTSTATUS AnswerUrb(PURB urb) {
  gStack->functions.push_back(urb->UrbHeader.Function);
  gStack->urbLengths.push_back(urb->UrbHeader.Length);
  urb->UrbHeader.Status = gStack->urbStatus;
  switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_VENDOR_DEVICE: {
      auto &request = urb->UrbControlVendorClassRequest;
      gStack->vendorIndexes.push_back(request.Index);
      gStack->vendorLengths.push_back(request.TransferBufferLength);
      if (request.Value == BRIDGE_SUBCOMMAND_DEVICE_ID && gStack->deviceIdStatus != STATUS_SUCCESS)
        return gStack->deviceIdStatus;
      ULONG n = std::min<ULONG>(ULONG(gStack->vendorReply.size()), request.TransferBufferLength);
      if (n != 0) std::memcpy(request.TransferBuffer, gStack->vendorReply.data(), n);
      request.TransferBufferLength = n;
      break;
    }
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
      const auto &feature = urb->UrbControlFeatureRequest;
      if (feature.UrbLink != nullptr || feature.Reserved2 != 0 || feature.Reserved4 != nullptr ||
          feature.Reserved5 != nullptr || feature.Reserved0 != 0 || feature.Reserved1 != 0)
        gStack->untidyUrbs++;
      break;
    }
    case URB_FUNCTION_SELECT_CONFIGURATION: {
      auto &select = urb->UrbSelectConfiguration;
      if (select.ConfigurationDescriptor == nullptr) {
        const auto *entry = reinterpret_cast<const UCHAR *>(&select.Interface);
        const size_t entryBytes = urb->UrbHeader.Length - FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
        if (std::any_of(entry, entry + entryBytes, [](UCHAR b) { return b != 0; })) gStack->untidyUrbs++;
        break;
      }
      select.ConfigurationHandle = reinterpret_cast<PVOID>(0xC0);
      PUSBD_PIPE_INFORMATION pipes = &select.Interface.Pipes[0];
      for (ULONG i = 0; i < select.Interface.NumberOfPipes; ++i)
        pipes[i].PipeHandle = reinterpret_cast<PVOID>(0x100 + i);
      select.Interface.NumberOfPipes = ULONG(LONG(select.Interface.NumberOfPipes) + gStack->pipesMiscounted);
      break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
      auto &request = urb->UrbControlDescriptorRequest;
      gStack->descriptorReads.emplace_back(request.DescriptorType, request.TransferBufferLength);
      std::vector<UCHAR> reply = ConfigurationSet();
      if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        reply = {18, 1, 0x10, 1, 0, 0, 0, 64};
      } else if (!gStack->configurationReplyLimits.empty()) {
        reply.resize(std::min(reply.size(), gStack->configurationReplyLimits.front()));
        gStack->configurationReplyLimits.erase(gStack->configurationReplyLimits.begin());
      }
      reply.resize(std::min<size_t>(reply.size(), request.TransferBufferLength));
      std::memcpy(request.TransferBuffer, reply.data(), reply.size());
      request.TransferBufferLength = ULONG(reply.size());
      break;
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE:
      gStack->pipeHandles.push_back(urb->UrbPipeRequest.PipeHandle);
      // An abort ends the transfer held on the pipe, cancelled.
      if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE && gStack->heldBulk != nullptr &&
          IoSetCancelRoutine(gStack->heldBulk, nullptr) != nullptr) {
        PIRP held = std::exchange(gStack->heldBulk, nullptr);
        // Nothing moved, and the URB says so, as the stack's does.
        static_cast<PURB>(IoGetCurrentIrpStackLocation(held)->Parameters.Others.Argument1)
            ->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        held->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(held, IO_NO_INCREMENT);
      }
      break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
      urb->UrbBulkOrInterruptTransfer.TransferBufferLength = gStack->bulkMoved;
      break;
    default:
      break;
  }
  return gStack->status;
}

void FinishHeldBulk(PIRP irp) {
  auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
  auto &transfer = urb->UrbBulkOrInterruptTransfer;
  transfer.TransferBufferLength = std::min(gStack->bulkMoved, transfer.TransferBufferLength);
  std::memset(transfer.TransferBuffer, 0x11, transfer.TransferBufferLength);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI CancelHeldBulk(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  gStack->heldBulk = nullptr;
  gStack->bulkCancelled = true;
  if (gStack->cancelTakes == 0) {
    FinishHeldBulk(irp);
  } else {
    gStack->canceller = std::make_unique<TestThread>([irp, takes = gStack->cancelTakes] {
      host::clock::SleepFor(takes);
      FinishHeldBulk(irp);
    });
  }
}

bool HoldsBulk(PIO_STACK_LOCATION sp) {
  if (!gStack->holdBulk || sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) return false;
  auto *urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
  return urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
}

NTSTATUS NTAPI ScriptedStackDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  if (HoldsBulk(sp)) {
    gStack->functions.push_back(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    IoMarkIrpPending(irp);
    gStack->heldBulk = irp;
    IoSetCancelRoutine(irp, CancelHeldBulk);
    return STATUS_PENDING;
  }
  NTSTATUS status = gStack->status;
  if (sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
    status = AnswerUrb(static_cast<PURB>(sp->Parameters.Others.Argument1));
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI ScriptedPnpDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
  gStack->arrivals.push_back({sp->MajorFunction, sp->MinorFunction, irp->IoStatus});
  if (sp->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
  NTSTATUS status = gStack->lowerStatus;
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI ScriptedStackEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ScriptedStackDispatch;
  driver->MajorFunction[IRP_MJ_PNP] = ScriptedPnpDispatch;
  driver->MajorFunction[IRP_MJ_POWER] = ScriptedPnpDispatch;
  driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = ScriptedPnpDispatch;
  driver->MajorFunction[IRP_MJ_DEVICE_CHANGE] = ScriptedPnpDispatch;
  return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeepOutcome(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  *static_cast<IO_STATUS_BLOCK *>(context) = irp->IoStatus;
  IoFreeIrp(irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

std::vector<UCHAR> ConfigurationSet() {
  return {9, 2, 32, 0, 1, 1, 0, 0x80, 50,  // configuration
          9, 4, 0, 0, 2, 0xFF, 0, 0, 0,    // interface 0, two endpoints
          7, 5, 0x01, 2, 64, 0, 0,         // bulk OUT
          7, 5, 0x82, 2, 64, 0, 0};        // bulk IN
}

void BridgeUnitTest::SetUp() {
  DriverUnitTest::SetUp();
  gStack = &stack_;
  usbDriver_ = host::CreateDriverObject(u"\\Driver\\scriptedusb", ScriptedStackEntry);
  ASSERT_NE(usbDriver_, nullptr);
  ASSERT_EQ(IoCreateDevice(usbDriver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower_), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(driver_, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &bridge_),
            STATUS_SUCCESS);
  bridge_->StackSize = CHAR(lower_->StackSize + 1);
  bridge_->Flags |= DO_DIRECT_IO;
  ext_ = static_cast<FdoExtension *>(bridge_->DeviceExtension);
  ext_->IsFdo = 1;
  ext_->Self = bridge_;
  ext_->LowerDeviceObject = lower_;
  ext_->PhysicalDeviceObject = lower_;
  ext_->PendingIoCount = 1;
  InitializeListHead(&ext_->ChildList);
  KeInitializeEvent(&ext_->RemoveEvent, NotificationEvent, FALSE);
  KeInitializeSpinLock(&ext_->ChildListLock);
  KeInitializeSpinLock(&ext_->TransferLock);
  KeInitializeSpinLock(&ext_->InterfaceLock);
  std::u16string link = u"\\DosDevices\\NorvUSBUnit", name = u"\\Device\\NorvUSBUnit";
  std::copy(link.begin(), link.end(), ext_->DosDeviceName);
  std::copy(name.begin(), name.end(), ext_->DeviceName);
}

void BridgeUnitTest::TearDown() {
  if (stack_.canceller) stack_.canceller->join();
  host::lowres::Clear();
  DriverGlobals.MaxTransferSize = 4096;
  if (bridge_ != nullptr) {
    bridge_->DeviceExtension = ext_;
    while (!IsListEmpty(&ext_->ChildList))
      DeleteChildDevice(CONTAINING_RECORD(ext_->ChildList.Flink, PdoExtension, Link)->Self);
    StopCleanup(bridge_);  // the DOS link of a start
    FreeDeviceResources(bridge_);
    IoDeleteDevice(bridge_);
  }
  if (lower_ != nullptr) IoDeleteDevice(lower_);
  if (usbDriver_ != nullptr) host::DeleteDriverObject(usbDriver_);
  gStack = nullptr;
  DriverUnitTest::TearDown();
}

NTSTATUS BridgeUnitTest::Send(PDEVICE_OBJECT device, UCHAR major, ULONG code, std::vector<UCHAR> input,
                              ULONG outputLength, std::vector<UCHAR> *output, ULONG_PTR *information, PMDL *mdl,
                              std::vector<UCHAR> *data) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  std::vector<UCHAR> out(outputLength);
  PIRP irp = IoBuildDeviceIoControlRequest(code, device, input.empty() ? nullptr : input.data(), ULONG(input.size()),
                                           out.empty() ? nullptr : out.data(), outputLength, FALSE, &done, &iosb);
  EXPECT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->MajorFunction = major;
  if (data != nullptr) {
    PMDL attached = IoAllocateMdl(data->data(), ULONG(data->size()), FALSE, FALSE, irp);
    if (mdl != nullptr) *mdl = attached;
  }
  if (IofCallDriver(device, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  if (output != nullptr) *output = out;
  if (information != nullptr) *information = iosb.Information;
  return iosb.Status;
}

BridgeUnitTest::Outcome BridgeUnitTest::SendPnp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                                                const IO_STACK_LOCATION &parameters, ULONG_PTR information) {
  Outcome outcome{STATUS_PENDING, {}};
  outcome.statusBlock.Status = STATUS_PENDING;
  PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
  EXPECT_NE(irp, nullptr);
  if (irp == nullptr) return outcome;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = information;
  PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
  location->Parameters = parameters.Parameters;
  location->MajorFunction = major;
  location->MinorFunction = minor;
  IoSetCompletionRoutine(irp, KeepOutcome, &outcome.statusBlock, TRUE, TRUE, TRUE);
  // Power requests go down as the platform wants them passed: PoCallDriver.
  outcome.returned = major == IRP_MJ_POWER ? PoCallDriver(device, irp) : IoCallDriver(device, irp);
  return outcome;  // the scripted stack completes everything at once
}

void BridgeUnitTest::Configure(std::vector<UCHAR> set) {
  auto *copy = static_cast<PUCHAR>(AllocatePool(NonPagedPool, set.size()));
  std::memcpy(copy, set.data(), set.size());
  BOOLEAN stored = FALSE;
  ASSERT_EQ(SelectInterfaceEx(bridge_, reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy), ULONG(set.size()), 0, 0,
                              &stored),
            STATUS_SUCCESS);
  ASSERT_TRUE(stored);
}
