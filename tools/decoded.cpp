#include "tools/decoded.h"

#include <algorithm>

#include <fmt/format.h>

namespace norvusb {

Json ToJson(const Decoded &decoded) {
  Json object = Json::object();
  object["type"] = decoded.kind;
  for (const Field &field : decoded.fields) object[field.name] = field.value;
  return object;
}

std::string ToText(const Decoded &decoded, int indent) {
  size_t width = 0;
  for (const Field &field : decoded.fields) width = std::max(width, field.name.size());
  const std::string pad(static_cast<size_t>(indent), ' ');
  std::string text = pad + decoded.title + "\n";
  for (const Field &field : decoded.fields)
    text += fmt::format("{}  {:<{}}  {}\n", pad, field.name, width, field.shown);
  return text;
}

}  // namespace norvusb
