// norvusb run: the parts a test reaches on their own.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace norvusb {

// A step's words as a shell splits them: blanks separate, '...' and "..."
// keep everything (backslashes included), a backslash outside quotes keeps
// the next character, and # at the start of a word begins a comment.
// Throws ToolError (bad input) for a quote left open.
std::vector<std::string> SplitStep(std::string_view line);

// Parses one line of a session as a step, without running it: the words and
// the options are checked as the session checks them. Throws ToolError (bad
// input) with the line the session would show.
void CheckStep(std::string_view line);

}  // namespace norvusb
