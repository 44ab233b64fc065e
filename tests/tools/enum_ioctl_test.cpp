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
           {"ioctl", "vendor-3", "--length", "4"}, {"ioctl", "0x222028"}, {"ioctl", "select-interface", "--input", "00"}}) {
    auto full = args;
    full.insert(full.end(), {"--timing", "instant", "--json"});
    const CliResult result = Run(full);
    EXPECT_EQ(result.status, 1) << args[1];
    EXPECT_EQ(result.Json()["status"], "0xC000000D");
    EXPECT_ONE_ERROR_LINE(result, "STATUS_INVALID_PARAMETER");
  }
}

}  // namespace

namespace {

// A device ID longer than the driver's 1024-byte buffer.
std::string LongDeviceId() { return "MFG:ACME;MDL:LX-100;DES:" + std::string(1976, 'x') + ";"; }

TEST_F(IoctlTest, DeviceIdShowsTheDevicesLengthFieldAndACut) {
  const std::string id = LongDeviceId();  // 2001 bytes: field 2003
  const auto cut = Run({"ioctl", "get-device-id", "--timing", "instant", "--json", "--device-id", id}).Json();
  EXPECT_EQ(cut["information"], 1022);  // capped at the buffer's room
  EXPECT_EQ(cut["decoded"]["length_field"], id.size() + 2);
  EXPECT_EQ(cut["decoded"]["cut"], true);
  EXPECT_EQ(cut["decoded"]["text"], id.substr(0, 1022));

  const auto whole = Run({"ioctl", "get-device-id", "--timing", "instant", "--json", "--device-id", id, "--length",
                          "4096"}).Json();
  EXPECT_EQ(whole["decoded"]["length_field"], id.size() + 2);
  EXPECT_EQ(whole["decoded"]["cut"], false);
  EXPECT_EQ(whole["decoded"]["text"], id);

  const CliResult text = Run({"ioctl", "get-device-id", "--timing", "instant", "--device-id", id});
  EXPECT_NE(text.out.find("cut to the 1022 bytes a 1024-byte buffer holds; the device's text is 2001 bytes"),
            std::string::npos)
      << text.out;
}

TEST_F(EnumTest, SaysWhenTheChildsIdTextWasCut) {
  const std::string id = LongDeviceId();
  const CliResult json = Run({"enum", "--timing", "instant", "--json", "--device-id", id});
  ASSERT_EQ(json.status, 0) << json.err;
  const auto printer = json.Json()["bridges"][0]["printer"];
  EXPECT_EQ(printer["ieee1284_id_cut"], true);
  EXPECT_EQ(printer["ieee1284_length_field"], id.size() + 2);
  const CliResult text = Run({"enum", "--timing", "instant", "--device-id", id});
  EXPECT_NE(text.out.find("(cut to the 1022 bytes"), std::string::npos) << text.out;
}

// Control bytes in a device ID never reach the terminal raw, wherever the
// text or what is built from it is shown.
TEST_F(EnumTest, DeviceTextIsEscapedInEveryHumanReport) {
  const std::string id = "MFG:\x1b[31mRED\x07;MDL:X\x9b" "2J;";
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"enum"}, {"enum", "--tree"}, {"status"}, {"ioctl", "get-device-id"}}) {
    auto full = args;
    full.insert(full.end(), {"--timing", "instant", "--device-id", id});
    const CliResult result = Run(full);
    ASSERT_EQ(result.status, 0) << args[0] << ": " << result.err;
    for (char raw : {'\x1b', '\x07', '\x9b'})
      EXPECT_EQ(result.out.find(raw), std::string::npos) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    EXPECT_NE(result.out.find("\\e[31mRED\\x07"), std::string::npos) << result.out;
  }
}

TEST_F(EnumTest, TreeAndPortFilter) {
  const CliResult tree = Run({"enum", "--tree", "--bridges", "2", "--timing", "instant"});
  ASSERT_EQ(tree.status, 0) << tree.err;
  EXPECT_EQ(tree.out.rfind("/:  Bus 01.Port 1: Class=root_hub", 0), 0u) << tree.out;
  for (const char *line : {"\n    |__ Port 1: Dev 1, If 0, Class=Printer, Driver=norvusb, 12M  NorvUSB1 (Started)\n",
                           "\n    |__ Port 2: Dev 2, If 0, Class=Printer, Driver=norvusb, 12M  NorvUSB2 (Started)\n",
                           "\n        |__ LPTENUM\\Norv_LabsLinePrinter218C  Norv Labs LinePrinter 9 (Started)\n"})
    EXPECT_NE(tree.out.find(line), std::string::npos) << line << tree.out;

  const auto second = Run({"enum", "--port", "norvusb2", "--bridges", "2", "--timing", "instant", "--json"}).Json();
  ASSERT_EQ(second["bridges"].size(), 1u);
  EXPECT_EQ(second["bridges"][0]["port_name"], "NorvUSB2");
  EXPECT_EQ(second["bridges"][0]["usb_port"], 2);
}

using StatusTest = CliTest;

TEST_F(StatusTest, EveryPortInWords) {
  const CliResult result = Run({"status", "--bridges", "2", "--timing", "instant", "--json"});
  ASSERT_EQ(result.status, 0) << result.err;
  const auto ports = result.Json()["ports"];
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[1]["port"], "NorvUSB2");
  EXPECT_EQ(ports[1]["bridge"], "Started");
  EXPECT_EQ(ports[1]["printer"], nlohmann::json::array({"ready"}));
  EXPECT_EQ(ports[1]["status_lines"], 0x58);
  EXPECT_EQ(ports[1]["queued"], 0);
  EXPECT_EQ(ports[1]["make_and_model"], "Norv Labs LinePrinter 9");
  EXPECT_TRUE(result.Json()["error"].is_null());
}

}  // namespace
