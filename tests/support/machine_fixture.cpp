#include "tests/support/machine_fixture.h"

#include "norvusb.h"

void ResetDriverImage() {
  DriverGlobals = DRIVER_GLOBALS{};
  DriverGlobals.MaxTransferSize = 4096;
  DriverGlobals.NameCounter = 0x5A5A;  // DriverEntry must reset what the image holds
  for (ULONG &word : DriverGlobals.PortBitmap) word = 0xFFFFFFFF;
}

void MachineFixture::SetUp() {
  ResetDriverImage();
  KernelFixture::SetUp();
}

void MachineFixture::TearDown() {
  ShutDownMachine();
  KernelFixture::TearDown();
}

host::MachineOptions MachineFixture::InstantOptions() const {
  host::MachineOptions options;
  options.kernel = kernelOptions_;
  options.timing = host::usb::Timing::Instant;
  return options;
}

host::Machine &MachineFixture::Boot() { return Boot(InstantOptions()); }

host::Machine &MachineFixture::Boot(host::MachineOptions options) {
  machine_ = std::make_unique<host::Machine>(std::move(options));
  return *machine_;
}

void MachineFixture::ShutDownMachine() { machine_.reset(); }

void MachineFixture::StartRun(uint64_t seed) {
  kernelOptions_.seed = seed;
  ResetDriverImage();
}

void MachineFixture::EndRun() {
  ShutDownMachine();
  for (const auto &check : TakeBugChecks()) ADD_FAILURE() << host::FormatBugCheck(check);
}
