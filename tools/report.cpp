#include "tools/report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>

#include "tools/errors.h"
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
int standardOutputErrno = 0;  // the first failure's reason
}  // namespace

void FlushStandardOutput() {
  errno = 0;
  if ((std::fflush(stdout) != 0 || std::ferror(stdout)) && standardOutputErrno == 0)
    standardOutputErrno = errno != 0 ? errno : EIO;
}

std::optional<std::string> StandardOutputError() {
  FlushStandardOutput();
  if (!std::ferror(stdout) && standardOutputErrno == 0) return std::nullopt;
  return std::string(std::strerror(standardOutputErrno != 0 ? standardOutputErrno : EIO));
}

size_t DocumentsEmitted() { return documentsEmitted; }

void NoteDocumentEmitted() { ++documentsEmitted; }

int ShowError(const std::string &message, int status) {
  FlushStandardOutput();
  // Names in the message (files, titles) reach the terminal escaped, as in the reports.
  std::fprintf(stderr, "norvusb: error: %s\n", TerminalSafe(message).c_str());
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

std::optional<std::string> ErrorLine(std::optional<std::string> error, const Verdict &verdict) {
  for (const std::string &output : verdict.outputErrors) error = error ? *error + "; " + output : output;
  return error;
}

Json ErrorField(const std::optional<std::string> &errorLine, const Verdict &verdict) {
  if (errorLine) return *errorLine;
  if (!verdict.violations.empty())
    return fmt::format("the verifier raised {} bug check(s)", verdict.violations.size());
  if (verdict.poolBlocksLeaked.value_or(0) != 0)
    return fmt::format("{} pool block(s) still allocated after every bridge was removed", *verdict.poolBlocksLeaked);
  return nullptr;
}

int Conclude(const std::optional<std::string> &errorLine, const Verdict &verdict, int status) {
  const int verifier = ExitStatusFor(verdict);
  if (errorLine) throw ToolError(status, *errorLine);
  return verifier;
}

}  // namespace norvusb
