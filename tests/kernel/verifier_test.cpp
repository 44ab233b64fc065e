// Bug checks, the low-resources policy and the machine's life.
#include <stdexcept>
#include <vector>

#include "tests/support/kernel_fixture.h"

namespace {

class LowResourcesTest : public KernelFixture {
 protected:
  // Allocates and frees `count` blocks with the tag; which ones failed (0-based).
  std::vector<int> FailuresAmong(int count, ULONG tag = PoolTag("LowR")) {
    std::vector<int> failed;
    for (int i = 0; i < count; ++i) {
      void *p = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
      if (p == nullptr) {
        failed.push_back(i);
      } else {
        ExFreePool(p);
      }
    }
    return failed;
  }
};

TEST_F(LowResourcesTest, FailNthCountsFromNowAndFiresOnce) {
  FailuresAmong(3);
  EXPECT_EQ(host::lowres::ConsultedCalls(), 3u);
  host::lowres::FailNth(2);
  EXPECT_EQ(FailuresAmong(6), std::vector<int>{1});
  EXPECT_EQ(host::GetPoolStats().injectedFailures, 1u);
  EXPECT_EQ(host::lowres::ConsultedCalls(), 9u);
}

TEST_F(LowResourcesTest, FailTagHitsOnlyThatTag) {
  host::lowres::FailTag(PoolTag("Bad "));
  EXPECT_EQ(FailuresAmong(3, PoolTag("Bad ")).size(), 3u);
  EXPECT_TRUE(FailuresAmong(3, PoolTag("Good")).empty());
  host::lowres::Clear();
  EXPECT_TRUE(FailuresAmong(3, PoolTag("Bad ")).empty());
}

TEST_F(LowResourcesTest, OneInNIsReproducibleBySeed) {
  host::lowres::FailOneIn(4, 1234);
  auto first = FailuresAmong(400);
  host::lowres::FailOneIn(4, 1234);
  auto again = FailuresAmong(400);
  host::lowres::FailOneIn(4, 99);
  auto other = FailuresAmong(400);
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
  // Roughly one in four; far from none and far from all.
  EXPECT_GT(first.size(), 50u);
  EXPECT_LT(first.size(), 150u);
}

TEST_F(LowResourcesTest, OnlyOneMachineAtATime) {
  EXPECT_THROW(host::Kernel second, std::logic_error);
}

TEST(BugCheckTest, DefaultHandlerStopsTheProgramWithTheCodeAndWhatWasFound) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        host::SetBugCheckHandler({});
        host::RaiseBugCheck(0xC4, 0x62, 0, 0, 3, "3 pool block(s) never freed");
      },
      ::testing::ExitedWithCode(host::kBugCheckExitStatus),
      "STOP 0x000000C4 \\(0x62, 0x0, 0x0, 0x3\\) DRIVER_VERIFIER_DETECTED_VIOLATION: 3 pool block");
}

TEST(BugCheckTest, RecordIsKeptWhateverTheHandler) {
  host::ClearBugChecks();
  int calls = 0;
  host::SetBugCheckHandler([&](const host::BugCheck &) { ++calls; });
  host::RaiseBugCheck(0x44, 1, 2, 3, 4, "completed twice");
  host::SetBugCheckHandler({});
  auto record = host::BugChecksSoFar();
  ASSERT_EQ(record.size(), 1u);
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(record[0].parameters[3], 4u);
  EXPECT_EQ(host::FormatBugCheck(record[0]),
            "STOP 0x00000044 (0x1, 0x2, 0x3, 0x4) MULTIPLE_IRP_COMPLETE_REQUESTS: completed twice");
  host::ClearBugChecks();
  EXPECT_TRUE(host::BugChecksSoFar().empty());
}

}  // namespace
