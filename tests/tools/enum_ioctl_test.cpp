// norvusb enum and norvusb ioctl as a user runs them: the identifiers the
// driver reports for several printers, and every device-control request.
#include <regex>

#include "tests/tools/cli_runner.h"

namespace {

using EnumTest = CliTest;

TEST_F(EnumTest, EveryBridgeAndPrinterWithTheirIdentifiers) {
  const std::string first = "MFG:ACME;MDL:LX-100;CMD:PCL;CLS:PRINTER;";
  const std::string second = "MANUFACTURER:Zeta Works;MODEL:Quill 5 Colour Deluxe;CLASS:PRINTER;";
  const CliResult result = Run({"enum", "--timing", "instant", "--json", "--bridges", "3", "--device-id", first,
                                "--device-id", second});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto bridges = result.Json()["bridges"];
  ASSERT_EQ(bridges.size(), 3u);
  const std::string ids[] = {first, second, second};  // the last --device-id repeats
  for (size_t i = 0; i < 3; ++i) {
    const auto &bridge = bridges[i];
    const std::string port = "NorvUSB" + std::to_string(i + 1);
    EXPECT_EQ(bridge["port_name"], port);
    EXPECT_EQ(bridge["device_key_port_name"], port);
    EXPECT_EQ(bridge["dos_link"], "\\DosDevices\\" + port);
    EXPECT_TRUE(bridge["device_name"].get<std::string>().starts_with("\\Device\\NorvUSB")) << bridge["device_name"];
    EXPECT_EQ(bridge["state"], "Started");
    const auto &printer = bridge["printer"];
    EXPECT_EQ(printer["ieee1284_id"], ids[i]);
    EXPECT_EQ(printer["state"], "Started");
    EXPECT_EQ(printer["compatible_ids"], nlohmann::json::array());
    ASSERT_EQ(printer["hardware_ids"].size(), 1u);
    EXPECT_EQ(printer["device_id"], "LPTENUM\\" + printer["hardware_ids"][0].get<std::string>());
    EXPECT_EQ(printer["instance_id"], printer["hardware_ids"][0].get<std::string>() + "NorvUSB");
  }
  // Manufacturer and model, cut to 20 characters, then a 16-bit check.
  EXPECT_TRUE(std::regex_match(bridges[0]["printer"]["hardware_ids"][0].get<std::string>(),
                               std::regex("ACMELX-100[0-9A-F]{4}")))
      << bridges[0]["printer"]["hardware_ids"][0];
  EXPECT_TRUE(std::regex_match(bridges[1]["printer"]["hardware_ids"][0].get<std::string>(),
                               std::regex("Zeta_WorksQuill_5_Co[0-9A-F]{4}")))
      << bridges[1]["printer"]["hardware_ids"][0];
  EXPECT_EQ(result.Json()["verifier_violations"], 0);
  EXPECT_EQ(result.Json()["pool_blocks_leaked"], 0);
}

TEST_F(EnumTest, HumanReportNamesEveryIdentifier) {
  const CliResult result = Run({"enum", "--timing", "instant"});
  ASSERT_EQ(result.status, 0) << result.err;
  for (const char *label : {"\\DosDevices\\NorvUSB1", "Port Name", "IEEE 1284 ID", "MFG:Norv Labs;", "LPTENUM\\",
                            "compatible IDs", "instance ID", "capabilities"})
    EXPECT_NE(result.out.find(label), std::string::npos) << label << "\n" << result.out;
}

// One row per request: its arguments, the Information and reply expected.
struct IoctlCase {
  std::vector<std::string> args;
  uint64_t information;
  std::string replyStart;  // the reply's first bytes in hex
};

class IoctlRequests : public CliTest, public ::testing::WithParamInterface<IoctlCase> {};

TEST_P(IoctlRequests, SucceedsWithTheDocumentedReply) {
  std::vector<std::string> args = {"ioctl"};
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  args.insert(args.end(), {"--timing", "instant", "--json"});
  const CliResult result = Run(args);
  ASSERT_EQ(result.status, 0) << result.err;
  const auto reply = result.Json();
  EXPECT_EQ(reply["request"], GetParam().args[0]);
  EXPECT_EQ(reply["status"], "0x00000000");
  EXPECT_EQ(reply["information"], GetParam().information);
  EXPECT_EQ(reply["reply_hex"].get<std::string>().substr(0, GetParam().replyStart.size()), GetParam().replyStart);
  EXPECT_EQ(reply.contains("decoded"), GetParam().information != 0);
  EXPECT_EQ(reply["verifier_violations"], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Every, IoctlRequests,
    ::testing::Values(IoctlCase{{"reset-pipe"}, 0, ""}, IoctlCase{{"abort-pipes"}, 0, ""},
                      IoctlCase{{"reset-device"}, 0, ""}, IoctlCase{{"select-interface", "0", "0"}, 0, ""},
                      IoctlCase{{"get-device-descriptor"}, 18, "12 01 10 01"},
                      IoctlCase{{"get-configuration-descriptor"}, 9, "09 02 20 00"},
                      IoctlCase{{"get-interface-descriptor"}, 9, "09 04 00 00 02 07 01 02"},
                      IoctlCase{{"get-endpoint-descriptors"}, 14, "07 05 01 02 40 00 00 07 05 82"},
                      IoctlCase{{"nop"}, 0, ""}, IoctlCase{{"vendor-2", "0x0104"}, 8, "04 01 00 17 58"},
                      IoctlCase{{"vendor-3"}, 8, "58 00 02 00"}, IoctlCase{{"vendor-5"}, 8, "58 00 00 00 00 10"},
                      IoctlCase{{"vendor-6"}, 8, "01 02 00 10 0F 17 40 06"},
                      IoctlCase{{"set-transfer-mode", "1"}, 8, "01 00 58"},
                      IoctlCase{{"get-device-id"}, 86, "4D 46 47 3A"}, IoctlCase{{"clear-halts"}, 0, ""}),
    [](const auto &info) {
      std::string name = info.param.args[0];
      for (char &c : name)
        if (c == '-') c = '_';
      return name;
    });

using IoctlTest = CliTest;

TEST_F(IoctlTest, DecodesDescriptorsAndVendorReplies) {
  const auto endpoints = Run({"ioctl", "get-endpoint-descriptors", "--timing", "instant", "--json"}).Json()["decoded"];
  ASSERT_EQ(endpoints.size(), 2u);
  EXPECT_EQ(endpoints[0]["type"], "endpoint");
  EXPECT_EQ(endpoints[0]["bEndpointAddress"], 0x01);
  EXPECT_EQ(endpoints[1]["bEndpointAddress"], 0x82);
  EXPECT_EQ(endpoints[1]["wMaxPacketSize"], 64);

  const auto device = Run({"ioctl", "get-device-descriptor", "--timing", "instant", "--json"}).Json()["decoded"];
  EXPECT_EQ(device[0]["idVendor"], "0x6e75");
  EXPECT_EQ(device[0]["bcdUSB"], "1.10");

  const auto rejected = Run({"ioctl", "vendor-2", "0x0008", "--timing", "instant", "--json"}).Json()["decoded"];
  EXPECT_EQ(rejected["rejected"], true);  // EPP is no mode the bridge has
  EXPECT_EQ(rejected["active"], 0x0104);

  const auto id = Run({"ioctl", "get-device-id", "--timing", "instant", "--json", "--device-id", "MFG:A;MDL:B;"});
  EXPECT_EQ(id.Json()["information"], 14);
  EXPECT_EQ(id.Json()["decoded"]["text"], "MFG:A;MDL:B;");
  EXPECT_EQ(id.Json()["decoded"]["fields"]["MDL"], "B");

  const CliResult text = Run({"ioctl", "get-interface-descriptor", "--timing", "instant"});
  EXPECT_NE(text.out.find("bInterfaceClass     7 Printer"), std::string::npos) << text.out;
}

TEST_F(IoctlTest, BufferRulesAndUnknownCodes) {
  // A buffer one byte short of the device descriptor: accepted, nothing handed back.
  const auto shortBuffer = Run({"ioctl", "get-device-descriptor", "--length", "17", "--timing", "instant", "--json"});
  ASSERT_EQ(shortBuffer.status, 0) << shortBuffer.err;
  EXPECT_EQ(shortBuffer.Json()["information"], 0);
  EXPECT_FALSE(shortBuffer.Json().contains("decoded"));

  // Refused requests: one line and a non-zero exit, the JSON still printed.
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"ioctl", "vendor-3", "--length", "4"}, {"ioctl", "0x222028"}, {"ioctl", "select-interface", "0", "0", "--input", "00"}}) {
    auto full = args;
    full.insert(full.end(), {"--timing", "instant", "--json"});
    const CliResult result = Run(full);
    EXPECT_EQ(result.status, 1) << args[1];
    EXPECT_EQ(result.Json()["status"], "0xC000000D");
    EXPECT_ONE_ERROR_LINE(result, "STATUS_INVALID_PARAMETER");
  }
}

}  // namespace
