// How the program ends: one exception type that carries the line to show and
// the exit status, so that every failure leaves through the same door.
#pragma once

#include <stdexcept>
#include <string>

namespace norvusb {

namespace exit_code {
inline constexpr int kOk = 0;
inline constexpr int kFailed = 1;    // the job could not be done (device, printer, I/O)
inline constexpr int kBadInput = 2;  // the command line or an input file is wrong
// The machine's verifier found a driver fault; the same status the kernel's
// own bug-check handler ends with.
inline constexpr int kVerifier = 86;
}  // namespace exit_code

class ToolError : public std::runtime_error {
 public:
  ToolError(int exitCode, const std::string &message) : std::runtime_error(message), exitCode_(exitCode) {}
  int ExitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

[[noreturn]] inline void Fail(const std::string &message) { throw ToolError(exit_code::kFailed, message); }
[[noreturn]] inline void BadInput(const std::string &message) { throw ToolError(exit_code::kBadInput, message); }

}  // namespace norvusb
