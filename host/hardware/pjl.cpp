#include "host/hardware/pjl.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace host::hardware {
namespace {

constexpr std::string_view kUniversalExit = "\x1B%-12345X";

std::string Upper(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

std::string_view Trim(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string> Words(std::string_view text) {
  std::istringstream in{std::string(text)};
  std::vector<std::string> words;
  for (std::string word; in >> word;) words.push_back(Upper(word));
  return words;
}

std::string Reply(std::string_view command, std::string_view body) {
  std::string out(command);
  out += "\r\n";
  out += body;
  out += '\f';
  return out;
}

}  // namespace

std::optional<std::string> PjlAnswer(std::string_view line, std::string_view model) {
  while (line.starts_with(kUniversalExit)) line.remove_prefix(kUniversalExit.size());
  line = Trim(line);
  const auto words = Words(line);
  if (words.size() < 2 || words[0] != "@PJL") return std::nullopt;
  if (words[1] == "ECHO") return Reply(line, "");
  if (words[1] != "INFO" || words.size() != 3) return std::nullopt;
  if (words[2] == "ID") return Reply(line, "\"" + std::string(model) + "\"\r\n");
  if (words[2] == "STATUS") return Reply(line, "CODE=10001\r\nDISPLAY=\"READY\"\r\nONLINE=TRUE\r\n");
  return std::nullopt;
}

void PjlListener::Scan(std::span<const uint8_t> data, std::string_view model, std::vector<uint8_t> &replies) {
  for (uint8_t byte : data) {
    if (byte != '\n') {
      if (line_.size() < kMaxLine) {
        line_.push_back(static_cast<char>(byte));
      } else {
        overlong_ = true;
      }
      continue;
    }
    if (!overlong_) {
      if (auto answer = PjlAnswer(line_, model)) replies.insert(replies.end(), answer->begin(), answer->end());
    }
    Reset();
  }
}

void PjlListener::Reset() {
  line_.clear();
  overlong_ = false;
}

}  // namespace host::hardware
