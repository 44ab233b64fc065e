#include "tools/report.h"

#include <cstdio>

#include <fmt/format.h>

#include "tools/output.h"

namespace norvusb {

void AddVerdict(Json &document, const Verdict &verdict) {
  document["pool_blocks_leaked"] = verdict.poolBlocksLeaked ? Json(*verdict.poolBlocksLeaked) : Json(nullptr);
  document["verifier_violations"] = verdict.violations.size();
}

std::string VerdictText(const Json &document) {
  const Json &leaked = document["pool_blocks_leaked"];
  return fmt::format("{} violation(s), {}", document["verifier_violations"].get<size_t>(),
                     leaked.is_null() ? std::string("pool counted when the session ends")
                                      : fmt::format("{} pool block(s) leaked", leaked.get<size_t>()));
}

namespace {
size_t documentsEmitted = 0;
}  // namespace

size_t DocumentsEmitted() { return documentsEmitted; }

int ShowError(const std::string &message, int status) {
  std::fflush(stdout);
  std::fprintf(stderr, "norvusb: error: %s\n", message.c_str());
  return status;
}

void EmitJson(const Json &document, const CommonOptions &options) {
  ++documentsEmitted;
  if (!options.step) {
    PrintJson(document);
    return;
  }
  Json line{{"line", options.step->line}, {"step", options.step->text}};
  for (const auto &[key, value] : document.items()) line[key] = value;
  std::printf("%s\n", JsonSafe(line).dump().c_str());
}

}  // namespace norvusb
