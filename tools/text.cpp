#include "tools/text.h"

#include <fmt/format.h>

#include "tools/errors.h"

namespace norvusb {

namespace {

const char *StatusName(uint32_t status) {
  switch (status) {
    case 0x00000000: return "STATUS_SUCCESS";
    case 0x00000102: return "STATUS_TIMEOUT";
    case 0x00000103: return "STATUS_PENDING";
    case 0xC0000001: return "STATUS_UNSUCCESSFUL";
    case 0xC0000002: return "STATUS_NOT_IMPLEMENTED";
    case 0xC0000008: return "STATUS_INVALID_HANDLE";
    case 0xC000000D: return "STATUS_INVALID_PARAMETER";
    case 0xC000000E: return "STATUS_NO_SUCH_DEVICE";
    case 0xC0000010: return "STATUS_INVALID_DEVICE_REQUEST";
    case 0xC0000017: return "STATUS_NO_MEMORY";
    case 0xC0000022: return "STATUS_ACCESS_DENIED";
    case 0xC0000023: return "STATUS_BUFFER_TOO_SMALL";
    case 0xC0000034: return "STATUS_OBJECT_NAME_NOT_FOUND";
    case 0xC000003A: return "STATUS_OBJECT_PATH_NOT_FOUND";
    case 0xC0000043: return "STATUS_SHARING_VIOLATION";
    case 0xC0000056: return "STATUS_DELETE_PENDING";
    case 0xC000009A: return "STATUS_INSUFFICIENT_RESOURCES";
    case 0xC00000B5: return "STATUS_IO_TIMEOUT";
    case 0xC00000BB: return "STATUS_NOT_SUPPORTED";
    case 0xC000010E: return "STATUS_IMAGE_ALREADY_LOADED";
    case 0xC0000120: return "STATUS_CANCELLED";
    case 0xC000009D: return "STATUS_DEVICE_NOT_CONNECTED";
    case 0xC00000C0: return "STATUS_DEVICE_DOES_NOT_EXIST";
    case 0xC0000184: return "STATUS_INVALID_DEVICE_STATE";
    case 0xC0000185: return "STATUS_IO_DEVICE_ERROR";
    default: return nullptr;
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string HexBytes(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (uint8_t byte : bytes) {
    if (!text.empty()) text += ' ';
    text += fmt::format("{:02X}", byte);
  }
  return text;
}

std::string StatusHex(NTSTATUS status) { return fmt::format("0x{:08X}", static_cast<uint32_t>(status)); }

std::string StatusText(NTSTATUS status) {
  const char *name = StatusName(static_cast<uint32_t>(status));
  return name ? fmt::format("{} ({})", StatusHex(status), name) : StatusHex(status);
}

std::string HumanBytes(double bytes) {
  if (bytes < 1024) return fmt::format("{:.0f} B", bytes);
  if (bytes < 1024 * 1024) return fmt::format("{:.1f} KiB", bytes / 1024);
  return fmt::format("{:.2f} MiB", bytes / (1024 * 1024));
}

std::string Escaped(std::span<const uint8_t> bytes) {
  std::string text;
  for (uint8_t byte : bytes) {
    switch (byte) {
      case '\r': text += "\\r"; break;
      case '\n': text += "\\n"; break;
      case '\f': text += "\\f"; break;
      case 0x1B: text += "\\e"; break;
      case '\\': text += "\\\\"; break;
      default:
        if (byte >= 0x20 && byte < 0x7F) {
          text += static_cast<char>(byte);
        } else {
          text += fmt::format("\\x{:02X}", byte);
        }
    }
  }
  return text;
}

std::string ProblemText(uint32_t problem) {
  struct Named {
    uint32_t code;
    const char *name;
    const char *words;
  };
  static constexpr Named kProblems[] = {
      {0, "none", "no problem"},
      {3, "CM_PROB_OUT_OF_MEMORY", "out of memory"},
      {9, "CM_PROB_INVALID_DATA", "the bus reported bad identifiers"},
      {10, "CM_PROB_FAILED_START", "the device cannot start"},
      {22, "CM_PROB_DISABLED", "the device is disabled"},
      {24, "CM_PROB_DEVICE_NOT_THERE", "the device is gone; its removal waits for its handles to close"},
      {28, "CM_PROB_FAILED_INSTALL", "no driver is installed"},
      {31, "CM_PROB_FAILED_ADD", "the driver could not add the device"},
      {37, "CM_PROB_FAILED_DRIVER_ENTRY", "the driver failed to load"},
      {42, "CM_PROB_DUPLICATE_DEVICE", "a device with the same instance path is already there"},
  };
  for (const Named &known : kProblems)
    if (known.code == problem) return fmt::format("{} ({}: {})", problem, known.name, known.words);
  return fmt::format("{} (unknown problem code)", problem);
}

std::string Printable(std::string_view text) {
  std::string shown;
  size_t plainFrom = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i < text.size() && text[i] != '\\') continue;
    const auto run = text.substr(plainFrom, i - plainFrom);
    shown += Escaped(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(run.data()), run.size()));
    if (i < text.size()) shown += '\\';
    plainFrom = i + 1;
  }
  return shown;
}

std::string Unescaped(const std::string &option, const std::string &text) {
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      bytes += text[i];
      continue;
    }
    if (++i == text.size()) BadInput(fmt::format("{} {}: a lone backslash ends the text", option, text));
    switch (text[i]) {
      case 'r': bytes += '\r'; break;
      case 'n': bytes += '\n'; break;
      case 'f': bytes += '\f'; break;
      case 'e': bytes += '\x1B'; break;
      case 't': bytes += '\t'; break;
      case '0': bytes += '\0'; break;
      case '\\': bytes += '\\'; break;
      case 'x': {
        const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
        const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
        if (high < 0 || low < 0) BadInput(fmt::format("{} {}: \\x needs two hex digits", option, text));
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
        break;
      }
      default:
        BadInput(fmt::format("{} {}: unknown escape \\{} (known: \\n \\r \\t \\f \\e \\0 \\\\ \\xHH)", option,
                             text, text[i]));
    }
  }
  return bytes;
}

}  // namespace norvusb
