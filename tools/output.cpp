#include "tools/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fmt/format.h>

#include "tools/errors.h"
#include "tools/report.h"

namespace norvusb {

namespace {

std::string Describe(int error) { return std::strerror(error); }

}  // namespace

FilePtr TakeStandardOutput() {
  FlushStandardOutput();
  const int data = dup(STDOUT_FILENO);
  if (data < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) Fail("cannot take over standard output: " + Describe(errno));
  FilePtr stream(fdopen(data, "wb"));
  if (!stream) Fail("cannot take over standard output: " + Describe(errno));
  return stream;
}

OutputFile::OutputFile(std::string option, std::string path) : option_(std::move(option)), path_(std::move(path)) {
  if (path_.empty()) BadInput(fmt::format("{} '': expected a file name, or - for standard output", option_));
  if (IsStandardOutput()) {
    // Binary data would garble the terminal (and could drive it).
    if (isatty(STDOUT_FILENO) == 1)
      BadInput(fmt::format("{} -: standard output is a terminal; redirect it to a file or pipe it to a program",
                           option_));
    return;
  }
  // Created when missing, but not emptied: a job that cannot start must leave
  // a user's file as it was.
  int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  created_ = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) BadInput(fmt::format("{} {}: cannot write the file: {}", option_, path_, Describe(errno)));
  file_.reset(fdopen(fd, "wb"));  // fdopen never truncates
  if (!file_) {
    close(fd);
    BadInput(fmt::format("{} {}: cannot write the file: {}", option_, path_, Describe(errno)));
  }
}

OutputFile::~OutputFile() {
  if (file_ && created_ && !started_) unlink(path_.c_str());
}

std::optional<FileIdentity> IdentityOfDescriptor(int fd, std::string name) {
  struct stat info{};
  if (fd < 0 || fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino, std::move(name)};
}

std::optional<FileIdentity> IdentityOfPath(const std::string &path) {
  struct stat info{};
  if (path.empty() || path == "-" || stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino, path};
}

void RefuseSameFile(const std::string &option, const std::optional<FileIdentity> &output,
                    const std::vector<FileIdentity> &inputs) {
  if (!output) return;
  for (const FileIdentity &input : inputs)
    if (input == *output)
      BadInput(fmt::format("{} {} and {} are the same file: writing it would destroy what is being read", option,
                           output->name, input.name == "-" ? "standard input" : input.name));
}

std::optional<FileIdentity> OutputFile::Identity() const {
  if (!IsOpen()) return std::nullopt;
  if (IsStandardOutput()) return IdentityOfDescriptor(file_ ? fileno(file_.get()) : STDOUT_FILENO, "- (standard output)");
  return file_ ? IdentityOfDescriptor(fileno(file_.get()), path_) : IdentityOfPath(path_);
}

bool OutputFile::SameFileAs(const OutputFile &other) const {
  if (!IsOpen() || !other.IsOpen()) return false;
  if (IsStandardOutput() || other.IsStandardOutput()) return IsStandardOutput() && other.IsStandardOutput();
  struct stat mine{}, theirs{};
  if (fstat(fileno(file_.get()), &mine) != 0 || fstat(fileno(other.file_.get()), &theirs) != 0) return false;
  // Devices such as /dev/null may well take both.
  return S_ISREG(mine.st_mode) && mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino;
}

void OutputFile::Start(FilePtr standardOutput) {
  started_ = true;
  if (IsStandardOutput()) file_ = std::move(standardOutput);
  struct stat info{};
  const bool regular = file_ && fstat(fileno(file_.get()), &info) == 0 && S_ISREG(info.st_mode);
  // A pipe or a terminal gets the data as the printer takes it.
  flushEach_ = file_ && !regular;
  if (regular && !IsStandardOutput() && ftruncate(fileno(file_.get()), 0) != 0)
    Fail(fmt::format("{} {}: cannot empty the file: {}", option_, path_, Describe(errno)));
}

void OutputFile::Write(std::span<const uint8_t> bytes) {
  if (!file_ || !error_.empty()) return;
  if (std::fwrite(bytes.data(), 1, bytes.size(), file_.get()) != bytes.size() ||
      (flushEach_ && std::fflush(file_.get()) != 0))
    error_ = Describe(errno);
}

FilePtr OutputFile::Release() { return std::move(file_); }

std::optional<std::string> OutputFile::Close() {
  if (file_) {
    // A full disk often shows only at the last flush or at the close.
    if (std::fflush(file_.get()) != 0 && error_.empty()) error_ = Describe(errno);
    if (std::fclose(file_.release()) != 0 && error_.empty()) error_ = Describe(errno);
  }
  if (error_.empty()) return std::nullopt;
  const std::string where = IsStandardOutput() ? "standard output" : path_;
  return fmt::format("{} {}: the write failed: {}", option_, where, error_);
}

}  // namespace norvusb
