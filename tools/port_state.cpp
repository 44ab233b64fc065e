// A port's state in words, from what the port itself says: shared by
// norvusb status and norvusb.exe.
#include "tools/port_state.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include <fmt/format.h>

#include "host/hardware/bridge_protocol.h"
#include "include/bridge_ioctl.h"
#include "tools/device_id.h"
#include "tools/text.h"
#include "tools/vendor_replies.h"

namespace norvusb {

namespace {

namespace hw = host::hardware;

std::string Joined(const Json &list) {
  std::string text;
  for (const Json &item : list) text += (text.empty() ? "" : ", ") + item.get<std::string>();
  return text;
}

}  // namespace

void AddPortReplies(Json &state, Port &port) {
  std::array<uint8_t, hw::kVendorReplySize> reply{};
  const PortIo result = port.Control(IOCTL_BRIDGE_VENDOR_5, nullptr, 0, reply.data(), static_cast<uint32_t>(reply.size()));
  if (result.status < 0 || result.information < reply.size()) {
    state["error"] = fmt::format("the bridge gave no port status: {}", StatusText(result.status));
    return;
  }
  const hw::PortStatusReply status = hw::DecodePortStatus(reply);
  std::vector<std::string> states = PrinterStates(status.statusLines);
  // A ready printer with data still queued in the bridge is at work.
  if (states == std::vector<std::string>{"ready"} && status.fifoLevel > 0) states = {"printing"};
  state["printer"] = states;
  state["status_lines"] = status.statusLines;
  state["status_lines_text"] = StatusLinesText(status.statusLines);
  state["queued"] = status.fifoLevel;
  state["fifo_free"] = status.fifoFree;
  state["back_channel"] = status.backChannel;
  const auto id = ReadDeviceId(port, 1024);
  state["make_and_model"] = id ? MakeAndModel(DeviceIdText(id->buffer)) : "";
}

// Columns as wide as their widest entry, so that a printer held by several
// conditions or a failed bridge's problem never pushes a row out of line.
void PrintStates(const Json &ports) {
  using Row = std::array<std::string, 5>;
  std::vector<Row> rows{{"PORT", "BRIDGE", "PRINTER", "QUEUED", "MAKE AND MODEL"}};
  std::vector<std::string> errors{""};
  for (const Json &p : ports) {
    std::string bridge = p["bridge"].get<std::string>();
    if (p["problem"].get<uint32_t>() != 0) bridge += ", problem " + ProblemText(p["problem"].get<uint32_t>());
    const std::string port = p["port"].get<std::string>();
    rows.push_back({port.empty() ? "-" : port, bridge, Joined(p["printer"]),
                    p["queued"].is_null() ? "-" : HumanBytes(p["queued"].get<double>()),
                    Printable(p["make_and_model"].get<std::string>())});
    std::string note = p["error"].is_null() ? "" : p["error"].get<std::string>();
    // Bytes a held printer did not take stay in the bridge, across resets, and print first.
    if (note.empty() && !p["queued"].is_null() && p["queued"].get<uint64_t>() > 0 && Joined(p["printer"]) != "printing")
      note = fmt::format("{} bytes wait in the bridge and will print first when the printer takes data again",
                         p["queued"].get<uint64_t>());
    errors.push_back(note);
  }
  std::array<size_t, 4> widths{};
  for (const Row &row : rows)
    for (size_t column = 0; column < widths.size(); ++column) widths[column] = std::max(widths[column], row[column].size());
  for (size_t i = 0; i < rows.size(); ++i) {
    std::string line;
    for (size_t column = 0; column < widths.size(); ++column) line += fmt::format("{:<{}}  ", rows[i][column], widths[column]);
    std::printf("%s\n", (line + rows[i].back()).c_str());
    if (!errors[i].empty()) std::printf("  %s\n", errors[i].c_str());
  }
}

}  // namespace norvusb
