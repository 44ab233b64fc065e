#include <gtest/gtest.h>

#include <numeric>

#include "tests/support/machine_fixture.h"

namespace {

class SmokeTest : public MachineFixture {};

TEST_F(SmokeTest, APluggedBridgeBecomesAPortWithItsPrinter) {
  host::Machine &machine = Boot();
  host::BridgePlan plan;
  plan.printer.deviceId = "MFG:ACME;MDL:LX-100;";
  machine.Plug(plan);
  host::BridgeView view = machine.View(0);
  EXPECT_EQ(view.portName, "NorvUSB1");
  EXPECT_EQ(view.deviceName, u"\\Device\\NorvUSB1");
  ASSERT_TRUE(view.printerInstancePath.has_value());
  auto printer = host::pnp::FindDevice(*view.printerInstancePath);
  ASSERT_TRUE(printer.has_value());
  EXPECT_EQ(printer->deviceId, "LPTENUM\\ACMELX-10039C4");

  host::DeviceHandle port;
  ASSERT_EQ(port.Open("\\\\.\\NorvUSB1"), STATUS_SUCCESS);
  std::vector<uint8_t> data(100000);
  std::iota(data.begin(), data.end(), 0);
  for (size_t done = 0; done < data.size();) {
    ULONG chunk = ULONG(std::min<size_t>(4096, data.size() - done));
    host::IoResult result = port.Write(data.data() + done, chunk);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.information, chunk);
    done += chunk;
  }
  ASSERT_TRUE(machine.Printer(0).WaitForReceived(data.size(), std::chrono::seconds(5)));
  EXPECT_EQ(machine.Printer(0).Received(), data);
}

}  // namespace
