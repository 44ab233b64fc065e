#include "tools/json_text.h"

#include <cstdio>

#include <fmt/format.h>

namespace norvusb {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `bytes`, or 0:
// no overlong forms, no surrogates, nothing above U+10FFFF.
size_t Utf8SequenceLength(std::string_view bytes) {
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
  const uint8_t lead = byte(0);
  if (lead < 0x80) return 1;
  size_t length = 0;
  uint8_t low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (bytes.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (size_t i = 2; i < length; ++i)
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  return length;
}

}  // namespace

std::string Utf8Escaped(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  while (!bytes.empty()) {
    const size_t length = Utf8SequenceLength(bytes);
    if (length == 0) {
      text += fmt::format("\\x{:02X}", static_cast<uint8_t>(bytes[0]));
      bytes.remove_prefix(1);
    } else {
      text.append(bytes.substr(0, length));
      bytes.remove_prefix(length);
    }
  }
  return text;
}

std::string TerminalSafe(std::string_view text) {
  std::string shown;
  while (!text.empty()) {
    const auto byte = static_cast<uint8_t>(text[0]);
    const size_t length = Utf8SequenceLength(text);
    // C1 controls are U+0080 to U+009F: C2 80 to C2 9F.
    const bool c1 = length == 2 && byte == 0xC2 && static_cast<uint8_t>(text[1]) < 0xA0;
    if (length > 1 && !c1) {
      shown.append(text.substr(0, length));
      text.remove_prefix(length);
      continue;
    }
    const size_t count = c1 ? 2 : 1;
    for (size_t i = 0; i < count; ++i) {
      const auto b = static_cast<uint8_t>(text[i]);
      if (b == 0x1B) shown += "\\e";
      else if (b == '\r') shown += "\\r";
      else if (b == '\n') shown += "\\n";
      else if (b < 0x20 || b >= 0x7F) shown += fmt::format("\\x{:02X}", b);
      else shown += static_cast<char>(b);
    }
    text.remove_prefix(count);
  }
  return shown;
}

Json JsonSafe(const Json &document) {
  if (document.is_string()) return Utf8Escaped(document.get_ref<const std::string &>());
  if (document.is_array()) {
    Json list = Json::array();
    for (const Json &item : document) list.push_back(JsonSafe(item));
    return list;
  }
  if (document.is_object()) {
    Json object = Json::object();
    for (const auto &[key, value] : document.items()) object[Utf8Escaped(key)] = JsonSafe(value);
    return object;
  }
  return document;
}

void PrintJson(const Json &document) { std::printf("%s\n", JsonSafe(document).dump(2).c_str()); }

}  // namespace norvusb
