// Force-pending: the stack pends, from a seed, requests it could finish at
// once, and a driver that reads the result of a selection without waiting
// for it is caught out.
#include <algorithm>

#include "host/kernel/force_pending.h"
#include "bus_fixture.h"

namespace usbtest {
namespace {

class ForcePendingTest : public BusTest {
 protected:
  void TearDown() override {
    host::forcepending::Disable();
    BusTest::TearDown();
  }
};

TEST_F(ForcePendingTest, SelectionsPendFromTheSeedAndStillSucceed) {
  auto *urb = select.urb();
  ASSERT_EQ(Configure(), STATUS_SUCCESS);  // off: the stack finishes a selection at once
  EXPECT_EQ(SubmitAsync(urb)->returned, STATUS_SUCCESS);

  auto run = [&](uint64_t seed) {
    host::forcepending::Enable(seed);
    std::vector<bool> pended;
    for (int i = 0; i < 32; ++i) {
      auto request = SubmitAsync(urb);
      pended.push_back(request->returned == STATUS_PENDING);
      EXPECT_EQ(request->Wait(), STATUS_SUCCESS);
    }
    return pended;
  };
  const auto first = run(7);
  EXPECT_EQ(run(7), first);  // replayable
  const auto pendedCount = std::count(first.begin(), first.end(), true);
  EXPECT_GT(pendedCount, 4);
  EXPECT_LT(pendedCount, 28);
}

// A wrong driver: it takes the status IoCallDriver returns for a selection
// as its result, as if the stack always finished one at once.
TEST_F(ForcePendingTest, ADriverThatTakesTheReturnedStatusOfASelectionIsCaughtOut) {
  ASSERT_EQ(Configure(), STATUS_SUCCESS);
  host::forcepending::Enable(1);
  int refused = 0;
  for (int i = 0; i < 16; ++i) {
    auto request = SubmitAsync(select.urb());
    if (request->returned != STATUS_SUCCESS) ++refused;  // what the wrong driver would report
    EXPECT_EQ(request->Wait(), STATUS_SUCCESS);           // what really happened
  }
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace usbtest
