// A GoogleTest fixture for scenario tests: a whole host machine (kernel, USB
// bus, bridges with printers, the driver) booted by the test.
//
//   class PrintTest : public MachineFixture {};
//   TEST_F(PrintTest, Something) {
//     host::Machine &machine = Boot();         // instant timing
//     machine.Plug();                          // one bridge with the default printer
//     host::DeviceHandle port;
//     ASSERT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
//     ...
//   }
//
// Every scenario starts from the driver image's initial data (a fresh load)
// and ends with the machine shut down: unplugged, removed, leak-checked. Any
// bug check the test did not take fails it, as with KernelFixture.
#pragma once

#include <memory>

#include "host/io/user_io.h"
#include "host/machine/machine.h"
#include "tests/support/kernel_fixture.h"

class MachineFixture : public KernelFixture {
 protected:
  explicit MachineFixture(host::KernelOptions options = {}) : KernelFixture(options, false) {}

  void SetUp() override;
  void TearDown() override;

  // Boots the machine; options.kernel defaults to the fixture's and the
  // timing to instant unless the test asks for full speed.
  host::Machine &Boot();
  host::Machine &Boot(host::MachineOptions options);
  host::MachineOptions InstantOptions() const;
  // Ends the machine before TearDown, to look at what shutdown reported.
  void ShutDownMachine();

  // For a test that runs one machine per seed (tests/support/seeds.h): the
  // next Boot() schedules with `seed` from a freshly loaded driver image;
  // EndRun() shuts that machine down and fails the test for every bug check
  // of the run.
  void StartRun(uint64_t seed);
  void EndRun();

  std::unique_ptr<host::Machine> machine_;
};

// Restores the driver's writable data to what a freshly loaded image holds.
void ResetDriverImage();
