// Where the program's results go and how: JSON that carries any bytes, output
// files that are checked before anything empties them, and writes that are
// checked, so that no output fails in silence.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/usbstack/usb_capture.h"
#include "tools/decoded.h"
#include "tools/json_text.h"

namespace norvusb {

using host::usb::FilePtr;

// Standard output becomes a data stream (an output named "-"): the returned
// stream writes where standard output went, and from now on what the program
// prints on standard output (its report) goes to standard error.
FilePtr TakeStandardOutput();

// A file's identity, as cp compares an input with an output: its device and
// inode, so that two names of one file (a link, "./x" and "x") are one.
// Only regular files have one here: a device such as /dev/null may well be
// read and written at once.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  std::string name;  // as the user gave it
  bool operator==(const FileIdentity &other) const { return device == other.device && inode == other.inode; }
};
std::optional<FileIdentity> IdentityOfDescriptor(int fd, std::string name);
// Of the file `path` names now; nullopt when there is none (or it is not a regular file).
std::optional<FileIdentity> IdentityOfPath(const std::string &path);
// Throws ToolError (bad input) when `output` (an option and its value) is
// one of `inputs`: writing it would destroy what is being read.
void RefuseSameFile(const std::string &option, const std::optional<FileIdentity> &output,
                    const std::vector<FileIdentity> &inputs);

// A file the program writes; "-" is standard output.
class OutputFile {
 public:
  OutputFile() = default;
  // Checks that `path` can be written, creating it when missing but never
  // emptying it; throws ToolError (bad input) naming `option`.
  OutputFile(std::string option, std::string path);
  ~OutputFile();
  OutputFile(OutputFile &&) = default;
  OutputFile &operator=(OutputFile &&) = default;

  bool IsOpen() const { return !path_.empty(); }
  bool IsStandardOutput() const { return path_ == "-"; }
  const std::string &Path() const { return path_; }
  // Another OutputFile names the same file.
  bool SameFileAs(const OutputFile &other) const;
  // The file this writes ("-": what standard output is now), if a regular file.
  std::optional<FileIdentity> Identity() const;

  // The job starts: empties the file; `standardOutput` is where "-" writes.
  void Start(FilePtr standardOutput = nullptr);
  // Writes, remembering the first failure (callable from the bus's thread).
  void Write(std::span<const uint8_t> bytes);
  // Hands the started stream over to a writer that closes it itself.
  FilePtr Release();
  // Flushes and closes; the error line when a write failed.
  std::optional<std::string> Close();

 private:
  std::string option_;
  std::string path_;
  bool created_ = false;  // removed again if the job never starts
  bool started_ = false;
  bool flushEach_ = false;  // a pipe or a terminal
  FilePtr file_;  // open for writing, not emptied until Start
  std::string error_;
};

}  // namespace norvusb
