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

// Whether the line's first word is "@PJL" (any case), as Words would find it:
// most printed lines are not PJL, and tokenising each would cost more than
// moving it over the bus.
bool FirstWordIsPjl(std::string_view text) {
  constexpr std::string_view kPjl = "@PJL";
  const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  const auto start = std::find_if_not(text.begin(), text.end(), space);
  text.remove_prefix(static_cast<size_t>(start - text.begin()));
  if (text.size() < kPjl.size()) return false;
  for (size_t i = 0; i < kPjl.size(); ++i)
    if (std::toupper(static_cast<unsigned char>(text[i])) != kPjl[i]) return false;
  return text.size() == kPjl.size() || space(text[kPjl.size()]);
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
  if (!FirstWordIsPjl(line)) return std::nullopt;
  const auto words = Words(line);
  if (words.size() < 2 || words[0] != "@PJL") return std::nullopt;
  if (words[1] == "ECHO") return Reply(line, "");
  if (words[1] != "INFO" || words.size() != 3) return std::nullopt;
  if (words[2] == "ID") return Reply(line, "\"" + std::string(model) + "\"\r\n");
  if (words[2] == "STATUS") return Reply(line, "CODE=10001\r\nDISPLAY=\"READY\"\r\nONLINE=TRUE\r\n");
  return std::nullopt;
}

void PjlListener::Scan(std::span<const uint8_t> data, std::string_view model, std::vector<uint8_t> &replies) {
  const auto *chars = reinterpret_cast<const char *>(data.data());
  std::string_view rest(chars, data.size());
  while (!rest.empty()) {
    const size_t end = rest.find('\n');
    const std::string_view piece = rest.substr(0, end);
    const size_t room = kMaxLine - line_.size();
    line_.append(piece.substr(0, room));
    if (piece.size() > room) overlong_ = true;
    if (end == std::string_view::npos) break;
    if (!overlong_) {
      if (auto answer = PjlAnswer(line_, model)) replies.insert(replies.end(), answer->begin(), answer->end());
    }
    Reset();
    rest.remove_prefix(end + 1);
  }
}

void PjlListener::Reset() {
  line_.clear();
  overlong_ = false;
}

}  // namespace host::hardware
