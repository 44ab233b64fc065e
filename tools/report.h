// How a job's outcome goes out: its JSON document (indented on its own, one
// line per step of a session) and the verifier's fields every document ends with.
#pragma once

#include <string>

#include "tools/decoded.h"
#include "tools/options.h"
#include "tools/session.h"

namespace norvusb {

// Appends "pool_blocks_leaked" (null for a step, whose bridges stay plugged)
// and "verifier_violations".
void AddVerdict(Json &document, const Verdict &verdict);
// "0 violation(s), 0 pool block(s) leaked" from a document's verdict fields.
std::string VerdictText(const Json &document);
// Prints the document on standard output: indented, or as one line that
// starts with the step's "line" and "step" when it is a step of `run`.
void EmitJson(const Json &document, const CommonOptions &options);
// Documents printed so far in this process (a session knows by it whether a
// failed step printed its own).
size_t DocumentsEmitted();
// Counts a document printed by other means (a session's closing line).
void NoteDocumentEmitted();
// Flushes standard output, keeping the reason of its first failure (a later
// flush no longer knows it); StandardOutputError says it.
void FlushStandardOutput();
// Why standard output could not be written, if it could not: flushes first.
std::optional<std::string> StandardOutputError();
// The one line every failure ends with, "norvusb: error: ...", on standard
// error after whatever standard output holds; returns `status`.
int ShowError(const std::string &message, int status);
// The error field: the message, or null.
inline Json ErrorField(const std::optional<std::string> &error) { return error ? Json(*error) : Json(nullptr); }

// The line a job ends with: its own error, then every output that could not
// be written (--out, --pcap), so that no failure passes for success.
std::optional<std::string> ErrorLine(std::optional<std::string> error, const Verdict &verdict);
// The document's error field: the error line; without one, what the
// verifier found when it found something (exit status 86); else null.
Json ErrorField(const std::optional<std::string> &errorLine, const Verdict &verdict);
// After the report: shows the verifier's findings, then throws ToolError with
// the error line and `status` when there is one; else the verifier's status.
int Conclude(const std::optional<std::string> &errorLine, const Verdict &verdict, int status = 1);

}  // namespace norvusb
