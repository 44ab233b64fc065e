// The bridge's device-control requests by name, with their replies decoded
// (descriptors as lsusb -v shows them, the vendor replies in words).
#include "tools/requests.h"

#include <charconv>
#include <cstdio>
#include <span>

#include <fmt/format.h>

#include "include/bridge_ioctl.h"
#include "tools/device_id.h"
#include "tools/errors.h"
#include "tools/text.h"
#include "tools/usb_descriptors.h"
#include "tools/vendor_replies.h"

namespace norvusb {

namespace {

// Descriptor and device-ID replies get a buffer as large as the driver's own.
constexpr uint32_t kLargeBuffer = 1024;

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

}  // namespace

std::string RequestNames() {
  std::string names;
  for (const Request &request : Requests()) names += (names.empty() ? "" : ", ") + std::string(request.name);
  return names;
}

namespace {

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
}  // namespace

Request FindRequest(const std::string &name) {
  for (const Request &request : Requests())
    if (name == request.name) return request;
  if (const auto code = Number(name); code && *code <= 0xFFFFFFFF)
    return {"code", static_cast<uint32_t>(*code), {}, {}, kLargeBuffer, Reply::None};
  BadInput(fmt::format("unknown request \"{}\"; one of: {}, or a control code such as 0x222024", name, RequestNames()));
}

namespace {

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

}  // namespace

std::vector<uint8_t> RequestInput(const Request &request, const std::string &given,
                                  const std::vector<std::string> &arguments, const std::optional<std::string> &input) {
  if (input && !arguments.empty())
    BadInput(fmt::format("ARGS ({}) and --input both give the input bytes: give one of them", arguments.front()));
  if (input) return HexInput(*input);
  if (request.name == std::string("code") && !arguments.empty()) {
    std::string named;
    for (const Request &known : Requests())
      if (known.code == request.code) named = fmt::format(" ({} is {}: norvusb ioctl {} ...)", given, known.name, known.name);
    BadInput(fmt::format("{} {}: a request given as a control code takes no ARGS; give its input bytes with --input{}",
                         given, arguments.front(), named));
  }
  if (arguments.size() != request.arguments.size()) {
    std::string usage = request.name;
    for (const char *argument : request.arguments) usage += std::string(" ") + argument;
    BadInput(fmt::format("{} takes {} argument(s): {}", request.name, request.arguments.size(), usage));
  }
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < request.arguments.size(); ++i) {
    const unsigned width = request.argumentBytes[i];
    const uint64_t limit = (uint64_t{1} << (8 * width)) - 1;
    const auto value = Number(arguments[i]);
    if (!value || *value > limit)
      BadInput(fmt::format("{} {}: {} must be a number from 0 to {}", request.name, arguments[i],
                           request.arguments[i], limit));
    for (unsigned b = 0; b < width; ++b) bytes.push_back(static_cast<uint8_t>(*value >> (8 * b)));
  }
  return bytes;
}

namespace {

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

}  // namespace

RequestOutcome SendRequest(Port &port, const Request &request, const std::string &given, const std::string &portName,
                           const std::vector<uint8_t> &input, uint32_t outputLength) {
  RequestOutcome outcome;
  outcome.outputLength = outputLength;
  std::vector<uint8_t> output(outputLength);
  DeviceIdLength idLength;
  outcome.result = port.Control(request.code, input.empty() ? nullptr : input.data(), static_cast<uint32_t>(input.size()),
                                output.empty() ? nullptr : output.data(), outputLength);
  const bool succeeded = outcome.result.status >= 0;
  if (request.reply == Reply::DeviceId && succeeded && outcome.result.information != 0)
    idLength = DeviceIdLengthOf(port, outputLength, outcome.result.information);

  // The I/O manager copies back Information bytes, never more than the buffer.
  const size_t delivered = std::min<size_t>(outcome.result.information, output.size());
  const std::span<const uint8_t> reply(output.data(), succeeded ? delivered : 0);
  const std::string name = request.name == std::string("code") ? given : request.name;
  outcome.document = Json{{"request", name},
                          {"port", portName},
                          {"code", fmt::format("0x{:08X}", request.code)},
                          {"input_hex", HexBytes(input)},
                          {"output_length", outputLength},
                          {"status", StatusHex(outcome.result.status)},
                          {"status_text", StatusText(outcome.result.status)},
                          {"information", outcome.result.information},
                          {"reply_hex", HexBytes(reply)}};
  outcome.records = DecodeReply(request, reply, output, idLength);
  if (Json decoded = DecodedJson(request, outcome.records); !decoded.is_null()) outcome.document["decoded"] = decoded;
  if (!succeeded) outcome.error = fmt::format("the driver refused {}: {}", name, StatusText(outcome.result.status));
  return outcome;
}

void PrintRequestReport(const RequestOutcome &outcome) {
  const Json &document = outcome.document;
  const bool succeeded = outcome.result.status >= 0;
  std::printf("%s (%s) on %s\n", document["request"].get<std::string>().c_str(),
              document["code"].get<std::string>().c_str(), document["port"].get<std::string>().c_str());
  std::printf("  status       %s\n", document["status_text"].get<std::string>().c_str());
  std::printf("  information  %llu\n", static_cast<unsigned long long>(outcome.result.information));
  if (outcome.outputLength == 0) return;
  const char *none = succeeded ? "(none: the bridge gave no reply)" : "(none: the driver refused the request)";
  const std::string reply = document["reply_hex"].get<std::string>();
  std::printf("  reply        %s\n", reply.empty() ? none : reply.c_str());
  for (const Decoded &record : outcome.records) std::printf("%s", ToText(record).c_str());
}

}  // namespace norvusb
