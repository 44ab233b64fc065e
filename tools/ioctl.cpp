// norvusb ioctl: any device-control request of the bridge by a readable name,
// with the reply decoded (descriptors as lsusb -v shows them, the vendor
// replies in words) and in hex.
#include <charconv>
#include <cstdio>
#include <memory>
#include <optional>

#include <fmt/format.h>

#include "include/bridge_ioctl.h"
#include "tools/commands.h"
#include "tools/decoded.h"
#include "tools/errors.h"
#include "tools/device_id.h"
#include "tools/output.h"
#include "tools/report.h"
#include "tools/session.h"
#include "tools/text.h"
#include "tools/usb_descriptors.h"
#include "tools/vendor_replies.h"

namespace norvusb {

namespace {

enum class Reply { None, Descriptors, Vendor, DeviceId };

struct Request {
  const char *name;
  ULONG code;
  std::vector<const char *> arguments;  // names of the values the request takes, in input order
  std::vector<unsigned> argumentBytes;  // input bytes of each (little-endian)
  ULONG outputLength;
  Reply reply;
  uint16_t subCommand = 0;  // for vendor replies
};

// Descriptor and device-ID replies get a buffer as large as the driver's own.
constexpr ULONG kLargeBuffer = 1024;

const std::vector<Request> &Requests() {
  static const std::vector<Request> requests = {
      {"reset-pipe", IOCTL_BRIDGE_RESET_PIPE, {}, {}, 0, Reply::None},
      {"abort-pipes", IOCTL_BRIDGE_ABORT_PIPES, {}, {}, 0, Reply::None},
      {"reset-device", IOCTL_BRIDGE_RESET_DEVICE, {}, {}, 0, Reply::None},
      {"select-interface", IOCTL_BRIDGE_SELECT_INTERFACE, {"IF", "ALT"}, {1, 1}, 0, Reply::None},
      {"get-device-descriptor", IOCTL_BRIDGE_GET_DEVICE_DESCRIPTOR, {}, {}, kLargeBuffer, Reply::Descriptors},
      {"get-configuration-descriptor", IOCTL_BRIDGE_GET_CONFIGURATION_DESCRIPTOR, {}, {}, kLargeBuffer,
       Reply::Descriptors},
      {"get-interface-descriptor", IOCTL_BRIDGE_GET_INTERFACE_DESCRIPTOR, {}, {}, kLargeBuffer, Reply::Descriptors},
      {"get-endpoint-descriptors", IOCTL_BRIDGE_GET_ENDPOINT_DESCRIPTORS, {}, {}, kLargeBuffer, Reply::Descriptors},
      {"nop", IOCTL_BRIDGE_NOP, {}, {}, 0, Reply::None},
      {"vendor-2", IOCTL_BRIDGE_VENDOR_2, {"ARG"}, {2}, BRIDGE_VENDOR_REPLY_SIZE, Reply::Vendor,
       BRIDGE_SUBCOMMAND_PORT_CONFIG},
      {"vendor-3", IOCTL_BRIDGE_VENDOR_3, {}, {}, BRIDGE_VENDOR_REPLY_SIZE, Reply::Vendor,
       BRIDGE_SUBCOMMAND_PRINTER_INIT},
      {"vendor-5", IOCTL_BRIDGE_VENDOR_5, {}, {}, BRIDGE_VENDOR_REPLY_SIZE, Reply::Vendor,
       BRIDGE_SUBCOMMAND_PORT_STATUS},
      {"vendor-6", IOCTL_BRIDGE_VENDOR_6, {}, {}, BRIDGE_VENDOR_REPLY_SIZE, Reply::Vendor,
       BRIDGE_SUBCOMMAND_FIRMWARE_INFO},
      {"set-transfer-mode", IOCTL_BRIDGE_SET_TRANSFER_MODE, {"MODE"}, {1}, BRIDGE_VENDOR_REPLY_SIZE, Reply::Vendor,
       BRIDGE_SUBCOMMAND_TRANSFER_MODE},
      {"get-device-id", IOCTL_BRIDGE_GET_DEVICE_ID, {}, {}, kLargeBuffer, Reply::DeviceId},
      {"clear-halts", IOCTL_BRIDGE_CLEAR_HALTS, {}, {}, 0, Reply::None},
  };
  return requests;
}

std::string Names() {
  std::string names;
  for (const Request &request : Requests()) names += (names.empty() ? "" : ", ") + std::string(request.name);
  return names;
}

struct IoctlOptions {
  CommonOptions common;
  std::string request;
  std::vector<std::string> arguments;
  std::optional<ULONG> length;  // output buffer length
  std::optional<std::string> input;  // input bytes in hex, replacing the arguments
};

std::optional<uint64_t> Number(std::string_view text) {
  int base = 10;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  }
  uint64_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// A request by name, or any code by number (0x222028) with no reply decoding.
Request FindRequest(const std::string &name) {
  for (const Request &request : Requests())
    if (name == request.name) return request;
  if (const auto code = Number(name); code && *code <= 0xFFFFFFFF)
    return {"code", static_cast<ULONG>(*code), {}, {}, kLargeBuffer, Reply::None};
  BadInput(fmt::format("unknown request \"{}\"; one of: {}, or a control code such as 0x222024", name, Names()));
}

std::vector<uint8_t> HexInput(const std::string &text) {
  std::string digits;
  for (char c : text)
    if (c != ' ' && c != ':' && c != ',') digits += c;
  if (digits.starts_with("0x") || digits.starts_with("0X")) digits.erase(0, 2);
  if (digits.size() % 2 != 0) BadInput(fmt::format("--input {}: expected whole bytes in hex", text));
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    const auto byte = Number("0x" + digits.substr(i, 2));
    if (!byte) BadInput(fmt::format("--input {}: expected whole bytes in hex", text));
    bytes.push_back(static_cast<uint8_t>(*byte));
  }
  return bytes;
}

// The input bytes: each argument in its width, least significant byte first.
std::vector<uint8_t> InputOf(const Request &request, const IoctlOptions &options) {
  if (options.input && !options.arguments.empty())
    BadInput(fmt::format("ARGS ({}) and --input both give the input bytes: give one of them", options.arguments.front()));
  if (options.input) return HexInput(*options.input);
  if (request.name == std::string("code") && !options.arguments.empty()) {
    std::string named;
    for (const Request &known : Requests())
      if (known.code == request.code) named = fmt::format(" ({} is {}: norvusb ioctl {} ...)", options.request, known.name, known.name);
    BadInput(fmt::format("{} {}: a request given as a control code takes no ARGS; give its input bytes with --input{}",
                         options.request, options.arguments.front(), named));
  }
  if (options.arguments.size() != request.arguments.size()) {
    std::string usage = request.name;
    for (const char *argument : request.arguments) usage += std::string(" ") + argument;
    BadInput(fmt::format("{} takes {} argument(s): {}", request.name, request.arguments.size(), usage));
  }
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < request.arguments.size(); ++i) {
    const unsigned width = request.argumentBytes[i];
    const uint64_t limit = (uint64_t{1} << (8 * width)) - 1;
    const auto value = Number(options.arguments[i]);
    if (!value || *value > limit)
      BadInput(fmt::format("{} {}: {} must be a number from 0 to {}", request.name, options.arguments[i],
                           request.arguments[i], limit));
    for (unsigned b = 0; b < width; ++b) bytes.push_back(static_cast<uint8_t>(*value >> (8 * b)));
  }
  return bytes;
}

// The reply's records: one per descriptor, or the one vendor or device-ID record.
std::vector<Decoded> DecodeReply(const Request &request, std::span<const uint8_t> reply,
                                 std::span<const uint8_t> buffer, const DeviceIdLength &idLength) {
  if (reply.empty()) return {};
  switch (request.reply) {
    case Reply::Descriptors: return DecodeDescriptors(reply);
    case Reply::Vendor: return {DecodeVendorReply(request.subCommand, reply)};
    case Reply::DeviceId: return {DecodeDeviceId(buffer, idLength)};
    case Reply::None: return {};
  }
  return {};
}

// Descriptors are a list; the other replies one object.
Json DecodedJson(const Request &request, const std::vector<Decoded> &records) {
  if (records.empty()) return nullptr;
  if (request.reply != Reply::Descriptors) return ToJson(records.front());
  Json list = Json::array();
  for (const Decoded &record : records) list.push_back(ToJson(record));
  return list;
}

int RunIoctl(const IoctlOptions &options, Bench *bench) {
  const Request request = FindRequest(options.request);
  std::vector<uint8_t> input = InputOf(request, options);
  const ULONG outputLength = options.length.value_or(request.outputLength);
  Session session(options.common, bench);

  std::vector<uint8_t> output(outputLength);
  host::IoResult result;
  DeviceIdLength idLength;
  {
    host::DeviceHandle port = session.OpenPort();
    result = port.DeviceControl(request.code, input.empty() ? nullptr : input.data(), static_cast<ULONG>(input.size()),
                                output.empty() ? nullptr : output.data(), outputLength);
    if (request.reply == Reply::DeviceId && NT_SUCCESS(result.status) && result.information != 0)
      idLength = DeviceIdLengthOf(port, outputLength, result.information);
  }
  const Verdict verdict = session.Finish();

  // The I/O manager copies back Information bytes, never more than the buffer.
  const size_t delivered = std::min<size_t>(result.information, output.size());
  const std::span<const uint8_t> reply(output.data(), NT_SUCCESS(result.status) ? delivered : 0);
  Json document{{"request", request.name == std::string("code") ? options.request : request.name},
                {"port", session.PortName()},
                {"code", fmt::format("0x{:08X}", request.code)},
                {"input_hex", HexBytes(input)},
                {"output_length", outputLength},
                {"status", StatusHex(result.status)},
                {"status_text", StatusText(result.status)},
                {"information", result.information},
                {"reply_hex", HexBytes(reply)}};
  const std::vector<Decoded> records = DecodeReply(request, reply, output, idLength);
  if (Json decoded = DecodedJson(request, records); !decoded.is_null()) document["decoded"] = decoded;
  AddVerdict(document, verdict);
  std::optional<std::string> error;
  if (!NT_SUCCESS(result.status))
    error = fmt::format("the driver refused {}: {}", document["request"].get<std::string>(), StatusText(result.status));
  error = ErrorLine(error, verdict);
  document["error"] = ErrorField(error, verdict);

  if (options.common.json) {
    EmitJson(document, options.common);
  } else if (!options.common.quiet) {
    std::printf("%s (%s) on %s\n", document["request"].get<std::string>().c_str(),
                document["code"].get<std::string>().c_str(), session.PortName().c_str());
    std::printf("  status       %s\n", StatusText(result.status).c_str());
    std::printf("  information  %llu\n", static_cast<unsigned long long>(result.information));
    if (outputLength != 0) {
      const char *none = NT_SUCCESS(result.status) ? "(none: the bridge gave no reply)"
                                                   : "(none: the driver refused the request)";
      std::printf("  reply        %s\n", reply.empty() ? none : HexBytes(reply).c_str());
      for (const Decoded &record : records) std::printf("%s", ToText(record).c_str());
    }
  }
  FlushStandardOutput();
  return Conclude(error, verdict);
}

}  // namespace

Command AddIoctlCommand(CLI::App &program) {
  auto options = std::make_shared<IoctlOptions>();
  CLI::App *app = program.add_subcommand("ioctl", "Send one device-control request to the bridge and decode the reply");
  app->add_option("REQUEST", options->request, "The request: " + Names() + "; or a control code such as 0x222024")
      ->required();
  app->add_option("ARGS", options->arguments,
                  "The request's values: select-interface IF ALT, vendor-2 ARG (16 bits), set-transfer-mode MODE");
  app->add_option("--length", options->length, "Output buffer length in bytes (default: what the request needs)")
      ->type_name("BYTES")
      ->check(CLI::Range(0u, 1u << 20));
  app->add_option("--input", options->input, "Input bytes in hex, instead of the request's values (\"04 01\")")
      ->type_name("HEX");
  AddCommonOptions(*app, options->common, common_option::kAll & ~(common_option::kOut | common_option::kPrinterRate));
  return {app, &options->common, [options](Bench *bench) { return RunIoctl(*options, bench); },
          [options] { *options = IoctlOptions{}; }};
}

}  // namespace norvusb
