// Runs the built norvusb program as a user would, with its output and exit
// status captured, in a scratch folder of the test's own.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

struct CliResult {
  int status = -1;
  std::string out;
  std::string err;

  nlohmann::json Json() const { return nlohmann::json::parse(out); }
  // Lines of standard error, without the trailing newline.
  std::vector<std::string> ErrLines() const {
    std::vector<std::string> lines;
    size_t at = 0;
    while (at < err.size()) {
      const size_t end = err.find('\n', at);
      lines.push_back(err.substr(at, end == std::string::npos ? std::string::npos : end - at));
      if (end == std::string::npos) break;
      at = end + 1;
    }
    return lines;
  }
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    // The process id keeps apart two runs of the same test (two build folders
    // on one machine): they would otherwise share and delete each other's files.
    std::string name = std::string("norvusb-cli-") + info->test_suite_name() + "-" + info->name() + "-" +
                       std::to_string(getpid());
    for (char &c : name)
      if (c == '/') c = '_';
    dir_ = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::string Quote(const std::string &arg) {
    std::string quoted = "'";
    for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
  }

  static std::string ReadFile(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  std::filesystem::path Path(const std::string &name) const { return dir_ / name; }

  std::filesystem::path WriteFile(const std::string &name, const std::string &bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
    return Path(name);
  }

  // A document of `size` bytes whose every position differs from its
  // neighbours', so that a lost or doubled packet shows.
  static std::string Document(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
  }

  // `stdoutFile`: where standard output goes instead of `out` (/dev/full).
  CliResult Run(const std::vector<std::string> &args, const std::string &stdinFile = "",
                const std::string &stdoutFile = "") const {
    return RunFrom("", args, stdinFile, stdoutFile);
  }

  // The same, from the folder `dir` (empty: the test's own working folder).
  CliResult RunFrom(const std::filesystem::path &dir, const std::vector<std::string> &args,
                    const std::string &stdinFile = "", const std::string &stdoutFile = "") const {
    std::string command = dir.empty() ? "" : "cd " + Quote(dir.string()) + " && ";
    command += Quote(std::string(NORVUSB_BINARY_DIR) + "/norvusb");
    for (const auto &arg : args) command += " " + Quote(arg);
    command += " <" + Quote(stdinFile.empty() ? "/dev/null" : stdinFile);
    command += " >" + Quote(stdoutFile.empty() ? Path("stdout").string() : stdoutFile) + " 2>" +
               Quote(Path("stderr").string());
    CliResult result;
    const int raw = std::system(command.c_str());
    result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    result.out = ReadFile(Path("stdout"));
    result.err = ReadFile(Path("stderr"));
    return result;
  }

  std::filesystem::path dir_;
};

// Checks the one-line error the program ends a failure with.
#define EXPECT_ONE_ERROR_LINE(result, fragment)                                 \
  do {                                                                          \
    const auto lines_ = (result).ErrLines();                                    \
    ASSERT_EQ(lines_.size(), 1u) << (result).err;                               \
    EXPECT_EQ(lines_[0].rfind("norvusb: error: ", 0), 0u) << lines_[0];         \
    EXPECT_NE(lines_[0].find(fragment), std::string::npos) << lines_[0];        \
  } while (0)
