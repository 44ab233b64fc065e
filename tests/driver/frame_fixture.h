// The kernel booted with the driver loaded, for the driver's unit tests.
#pragma once

#include "norvusb.h"
#include "tests/support/kernel_fixture.h"

class DriverUnitTest : public KernelFixture {
 protected:
  void SetUp() override {
    KernelFixture::SetUp();
    driver_ = host::CreateDriverObject(u"\\Driver\\norvusb", DriverEntry);
    ASSERT_NE(driver_, nullptr);
  }

  void TearDown() override {
    if (driver_ != nullptr) host::DeleteDriverObject(driver_);
    KernelFixture::TearDown();
  }

  // A device object of the driver, standing in for a physical device object
  // that has no device node (so its registry keys cannot be opened).
  PDEVICE_OBJECT CreateStandInDevice() {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    return device;
  }

  PDRIVER_OBJECT driver_ = nullptr;
};
