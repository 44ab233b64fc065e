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

// The bus's device pends Plug and Play and power requests too, and finishes
// them from another thread; a caller that takes what IoCallDriver returned
// for the final status is caught out.
TEST_F(ForcePendingTest, PlugAndPlayAndPowerRequestsToTheDevicePendFromTheSeed) {
  struct Case {
    const char *name;
    UCHAR major;
    UCHAR minor;
    DEVICE_POWER_STATE power;
  };
  const Case cases[] = {
      {"query-stop", IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE, PowerDeviceUnspecified},
      {"device query-power", IRP_MJ_POWER, IRP_MN_QUERY_POWER, PowerDeviceD2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    auto run = [&](uint64_t seed) {
      host::forcepending::Enable(seed);
      std::vector<bool> pended;
      for (int i = 0; i < 32; ++i) {
        const auto request = SendToPdoAndWait(c.major, c.minor, c.power);
        pended.push_back(request.returned == STATUS_PENDING);
        EXPECT_EQ(request.status, STATUS_SUCCESS);
      }
      host::forcepending::Disable();
      return pended;
    };
    const auto first = run(7);
    EXPECT_EQ(run(7), first);
    const auto pendedCount = std::count(first.begin(), first.end(), true);
    EXPECT_GT(pendedCount, 4);
    EXPECT_LT(pendedCount, 28);
  }
}

}  // namespace
}  // namespace usbtest
