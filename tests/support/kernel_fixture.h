// A GoogleTest fixture that boots the host machine's kernel for one test.
//
//   class MyTest : public KernelFixture {};                  // free-running
//   class RaceTest : public KernelFixture {
//    protected:
//     RaceTest() : KernelFixture({.seed = 7}) {}              // seeded scheduling
//   };
//   TEST_F(MyTest, Something) {
//     ...                                                     // driver or kernel calls
//     EXPECT_TRUE(TakeBugCheck(0xC1));                        // a bug check this test expects
//   }
//
// SetUp boots a host::Kernel and installs a bug-check handler that records
// instead of ending the program (the kernel routine that raised it then
// refuses the operation and returns). TearDown shuts the kernel down, which
// runs the leak checks (a pool block left over is bug check 0xC4), and fails
// the test for every bug check that the test did not take.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <vector>

#include "host/kernel/host_kernel.h"

// A pool tag as it reads in a leak report: PoolTag("Ddk ") is 0x206B6444.
constexpr ULONG PoolTag(const char (&text)[5]) {
  return ULONG(uint8_t(text[0])) | ULONG(uint8_t(text[1])) << 8 | ULONG(uint8_t(text[2])) << 16 |
         ULONG(uint8_t(text[3])) << 24;
}

class KernelFixture : public ::testing::Test {
 protected:
  explicit KernelFixture(host::KernelOptions options = {}, bool bootKernel = true)
      : kernelOptions_(options), bootKernel_(bootKernel) {}

  void SetUp() override;
  void TearDown() override;

  // Bug checks recorded so far, taken out of the record.
  std::vector<host::BugCheck> TakeBugChecks();
  // True when a bug check with this code (and, if given, this first
  // parameter) was recorded; that one is taken out of the record.
  bool TakeBugCheck(uint32_t code);
  bool TakeBugCheck(uint32_t code, uint64_t parameter1);

  // Ends the machine before TearDown, to look at what shutdown reported.
  void ShutDownKernel();

  host::KernelOptions kernelOptions_;
  bool bootKernel_;  // false: the test boots its own (a whole machine)
  std::unique_ptr<host::Kernel> kernel_;

 private:
  bool TakeMatching(uint32_t code, const uint64_t *parameter1);

  std::mutex mutex_;
  std::vector<host::BugCheck> recorded_;
};
