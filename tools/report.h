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
// The one line every failure ends with, "norvusb: error: ...", on standard
// error after whatever standard output holds; returns `status`.
int ShowError(const std::string &message, int status);
// The error field: the message, or null.
inline Json ErrorField(const std::optional<std::string> &error) { return error ? Json(*error) : Json(nullptr); }

}  // namespace norvusb
