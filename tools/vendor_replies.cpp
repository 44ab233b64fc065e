#include "tools/vendor_replies.h"

#include <algorithm>

#include <fmt/format.h>

#include "host/hardware/bridge_protocol.h"
#include "tools/text.h"

namespace norvusb {

namespace {

namespace hw = host::hardware;
using Reply = std::span<const uint8_t, hw::kVendorReplySize>;

std::string ModeName(uint8_t mode) {
  if (mode == hw::kModeForward) return "0 forward (host to printer)";
  if (mode == hw::kModeReverse) return "1 reverse (printer to host)";
  return fmt::format("{} idle", mode);
}

std::string PortModes(uint8_t modes) {
  std::string text = fmt::format("0x{:02X}", modes);
  const std::pair<uint8_t, const char *> names[] = {{hw::port_mode::kNibble, "nibble"},
                                                    {hw::port_mode::kByte, "byte"},
                                                    {hw::port_mode::kCompatibility, "compatibility"},
                                                    {hw::port_mode::kEcp, "ECP"}};
  for (const auto &[bit, name] : names)
    if (modes & bit) text += std::string(" ") + name;
  return text;
}

std::string PortConfigurationText(uint16_t word) {
  const uint8_t strobe = static_cast<uint8_t>(word >> 8);
  return fmt::format("0x{:04X} {}, nStrobe {} ns", word, PortModes(word & 0xFF).substr(5),
                     (strobe == 0 ? 1 : strobe) * 500);
}

std::string Capabilities(uint8_t bits) {
  std::string text = fmt::format("0x{:02X}", bits);
  const std::pair<uint8_t, const char *> names[] = {{hw::capability::kReverseChannel, "reverse-channel"},
                                                    {hw::capability::kDeviceId, "device-ID"},
                                                    {hw::capability::kPortStatus, "port-status"},
                                                    {hw::capability::kInitialise, "initialise"}};
  for (const auto &[bit, name] : names)
    if (bits & bit) text += std::string(" ") + name;
  return text;
}

void AddStatusLines(Decoded &out, uint8_t lines) { out.Add("status_lines", lines, StatusLinesText(lines)); }

Decoded PortConfiguration(Reply reply) {
  const auto r = hw::DecodePortConfiguration(reply);
  Decoded out{"port-configuration", "Port configuration (sub-command 2):", {}};
  out.Add("active", r.active, PortConfigurationText(r.active));
  out.Add("rejected", r.rejected, r.rejected ? "yes: the argument named no single supported mode" : "no");
  out.Add("supported_modes", r.supportedModes, PortModes(r.supportedModes));
  AddStatusLines(out, r.statusLines);
  out.Add("transfer_mode", r.transferMode, ModeName(r.transferMode));
  return out;
}

Decoded Initialise(Reply reply) {
  const auto r = hw::DecodeInitialise(reply);
  Decoded out{"initialise", "Printer initialise (sub-command 3):", {}};
  AddStatusLines(out, r.statusLines);
  out.Add("discarded", r.discarded,
          fmt::format("{} back-channel byte(s) dropped{}", r.discarded, r.discarded == 255 ? " or more" : ""));
  out.Add("count", r.count, fmt::format("{} initialisation(s) since power-on", r.count));
  return out;
}

Decoded TransferMode(Reply reply) {
  const auto r = hw::DecodeTransferMode(reply);
  Decoded out{"transfer-mode", "Transfer mode (sub-command 4):", {}};
  out.Add("mode", r.mode, ModeName(r.mode));
  out.Add("previous", r.previous, ModeName(r.previous));
  AddStatusLines(out, r.statusLines);
  out.Add("fifo_level", r.fifoLevel, fmt::format("{} byte(s) waiting for the printer", r.fifoLevel));
  out.Add("back_channel", r.backChannel, fmt::format("{} byte(s) waiting for the host", r.backChannel));
  return out;
}

Decoded PortStatus(Reply reply) {
  const auto r = hw::DecodePortStatus(reply);
  Decoded out{"port-status", "Port status (sub-command 5):", {}};
  AddStatusLines(out, r.statusLines);
  out.Add("transfer_mode", r.transferMode, ModeName(r.transferMode));
  out.Add("fifo_level", r.fifoLevel, fmt::format("{} byte(s) waiting for the printer", r.fifoLevel));
  out.Add("fifo_free", r.fifoFree, fmt::format("{} byte(s) of room", r.fifoFree));
  out.Add("back_channel", r.backChannel, fmt::format("{} byte(s) waiting for the host", r.backChannel));
  return out;
}

Decoded FirmwareInfo(Reply reply) {
  const auto r = hw::DecodeFirmwareInfo(reply);
  Decoded out{"firmware-info", "Firmware information (sub-command 6):", {}};
  out.Add("version", fmt::format("{}.{}", r.major, r.minor), fmt::format("{}.{}", r.major, r.minor));
  out.Add("fifo_size", r.fifoSize, fmt::format("{} bytes", r.fifoSize));
  out.Add("capabilities", r.capabilities, Capabilities(r.capabilities));
  out.Add("supported_modes", r.supportedModes, PortModes(r.supportedModes));
  out.Add("max_packet_size", r.maxPacketSize, fmt::format("{} bytes", r.maxPacketSize));
  out.Add("sub_commands", r.subCommands, std::to_string(r.subCommands));
  return out;
}

}  // namespace

std::string StatusLinesText(uint8_t lines) {
  namespace s = hw::status;
  std::string text = fmt::format("0x{:02X}", lines);
  text += (lines & s::kBusy) ? " busy" : " ready";
  text += (lines & s::kSelect) ? ", on line" : ", off line";
  if (lines & s::kPaperEmpty) text += ", paper empty";
  if (!(lines & s::kNotError)) text += ", error";
  return text;
}

std::vector<std::string> PrinterStates(uint8_t lines) {
  namespace s = hw::status;
  std::vector<std::string> states;
  if (!(lines & s::kSelect)) states.push_back("off line");
  if (lines & s::kPaperEmpty) states.push_back("paper out");
  if (!(lines & s::kNotError)) states.push_back("error");
  // Busy goes with each of the above; alone it is a state of its own.
  if (states.empty() && (lines & s::kBusy)) states.push_back("busy");
  if (states.empty()) states.push_back("ready");
  return states;
}

std::string HoldupOf(uint8_t lines) {
  const std::vector<std::string> states = PrinterStates(lines);
  if (states.front() == "ready") return "";
  std::string words;
  for (const std::string &state : states) words += (words.empty() ? "" : ", ") + state;
  return "printer " + words;
}

Decoded DecodeVendorReply(uint16_t subCommand, std::span<const uint8_t> reply) {
  if (reply.size() < hw::kVendorReplySize) return {"short", "Reply shorter than 8 bytes", {}};
  const Reply bytes = reply.first<hw::kVendorReplySize>();
  switch (static_cast<hw::SubCommand>(subCommand)) {
    case hw::SubCommand::PortConfiguration: return PortConfiguration(bytes);
    case hw::SubCommand::Initialise: return Initialise(bytes);
    case hw::SubCommand::TransferMode: return TransferMode(bytes);
    case hw::SubCommand::PortStatus: return PortStatus(bytes);
    case hw::SubCommand::FirmwareInfo: return FirmwareInfo(bytes);
    default: return {"unknown", fmt::format("Reply of sub-command {}", subCommand), {}};
  }
}

std::string DeviceIdText(std::span<const uint8_t> buffer) {
  const auto end = std::find(buffer.begin(), buffer.end(), uint8_t{0});
  return std::string(buffer.begin(), end);
}

namespace {

// The "KEY:value" pairs of a device ID text, in order.
std::vector<std::pair<std::string, std::string>> DeviceIdPairs(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> pairs;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find(';', at), text.size());
    const std::string_view pair = text.substr(at, end - at);
    if (const size_t colon = pair.find(':'); colon != std::string_view::npos)
      pairs.emplace_back(pair.substr(0, colon), pair.substr(colon + 1));
    at = end + 1;
  }
  return pairs;
}

}  // namespace

std::string DeviceIdField(std::string_view text, std::string_view key) {
  for (const auto &[name, value] : DeviceIdPairs(text))
    if (name == key) return value;
  return "";
}

std::string MakeAndModel(std::string_view text) {
  std::string make = DeviceIdField(text, "MFG");
  if (make.empty()) make = DeviceIdField(text, "MANUFACTURER");
  std::string model = DeviceIdField(text, "MDL");
  if (model.empty()) model = DeviceIdField(text, "MODEL");
  return make + (make.empty() || model.empty() ? "" : " ") + model;
}

Decoded DecodeDeviceId(std::span<const uint8_t> buffer, const DeviceIdLength &length) {
  const std::string text = DeviceIdText(buffer);
  Decoded out{"device-id", "IEEE 1284 device ID (sub-command 1):", {}};
  out.Add("length_field", length.field,
          fmt::format("{}{} (the device's: the text and the two length bytes)", length.field,
                      length.field >= kLargestDeviceIdBuffer ? " or more" : ""));
  out.Add("cut", length.cut, length.cut ? "yes" : "no");
  const std::string note = CutNote(length, static_cast<ULONG>(buffer.size()));
  // The text comes from the device: escaped, so that no control byte reaches the terminal.
  out.Add("text", text, Printable(text) + (note.empty() ? "" : "  " + note));
  Json keys = Json::object();
  std::string names;
  for (const auto &[name, value] : DeviceIdPairs(text)) {
    keys[name] = value;
    names += (names.empty() ? "" : ", ") + Printable(name);
  }
  out.Add("fields", keys, names.empty() ? "none" : names);
  return out;
}

}  // namespace norvusb
