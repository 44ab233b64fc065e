// A decoded record (a descriptor, a vendor reply) as named fields that both
// outputs use: the JSON document takes each field's value, the report shows
// its text with what the value means, aligned as lsusb -v does.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace norvusb {

using Json = nlohmann::ordered_json;

struct Field {
  std::string name;
  Json value;
  std::string shown;  // the value as people read it, with its meaning
};

struct Decoded {
  std::string kind;   // "device", "endpoint", "port-status", ...
  std::string title;  // "Device Descriptor:", ...
  std::vector<Field> fields;

  void Add(std::string name, Json value, std::string shown) {
    fields.push_back({std::move(name), std::move(value), std::move(shown)});
  }
};

// {"type": kind, name: value, ...}
Json ToJson(const Decoded &decoded);
// The title, then one "  name   shown" line per field, indented by `indent`.
std::string ToText(const Decoded &decoded, int indent = 0);

}  // namespace norvusb
