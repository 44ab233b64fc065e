// Running an outside program from a test (tshark reading a capture) and
// cutting its field output apart.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace support {

// The command's standard output; empty when it cannot be started.
std::string RunCommand(const std::string &command);
// The fields of `text` between separators; a trailing separator ends an
// empty last field, as tshark prints one.
std::vector<std::string> Split(const std::string &text, char separator);

// True when `name` is a program on PATH. The project installs every tool a
// test needs, so a test fails, not skips, without it.
bool HasTool(const std::string &name);

// A file in the temporary folder named for this process, removed when the
// test ends however it ends (a failed assertion returns early).
class ScratchFile {
 public:
  ScratchFile(const std::string &stem, const std::string &extension);
  ~ScratchFile();
  ScratchFile(const ScratchFile &) = delete;
  ScratchFile &operator=(const ScratchFile &) = delete;
  const std::filesystem::path &path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace support
