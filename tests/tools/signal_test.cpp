// Ctrl-C and SIGTERM as a user meets them: the job stops at a clean point,
// the report says what was delivered and that it was interrupted, the
// capture ends on a whole packet, and the exit status is 128 + the signal.
// At a session's prompt, Ctrl-C abandons the step and the session goes on.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/tools/cli_runner.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;

// Bytes of whole records in a pcap file; the file's size when none is cut.
uint64_t WholeRecordBytes(const std::string &bytes) {
  if (bytes.size() < 24) return 0;
  uint64_t at = 24;
  while (at + 16 <= bytes.size()) {
    uint32_t length = 0;
    for (int i = 3; i >= 0; --i) length = length << 8 | static_cast<uint8_t>(bytes[at + 8 + static_cast<size_t>(i)]);
    if (at + 16 + length > bytes.size()) break;
    at += 16 + length;
  }
  return at;
}

class SignalTest : public CliTest, public ::testing::WithParamInterface<int> {
 protected:
  // Starts norvusb with `args`, its output in files; returns its process id.
  pid_t Start(const std::vector<std::string> &args) {
    std::vector<std::string> argv = {std::string(NORVUSB_BINARY_DIR) + "/norvusb"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> pointers;
    for (std::string &arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, Path("stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, Path("stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t child = 0;
    EXPECT_EQ(posix_spawn(&child, pointers[0], &actions, nullptr, pointers.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    return child;
  }

  // Waits for the child; its exit status, or -1 when a signal ended it.
  static int Finish(pid_t child) {
    int status = 0;
    for (int i = 0; i < 300; ++i) {
      if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      std::this_thread::sleep_for(100ms);
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    ADD_FAILURE() << "norvusb did not stop within 30 s of the signal";
    return -1;
  }

  // Waits until `file` holds more than `bytes` bytes.
  void AwaitGrowth(const std::filesystem::path &file, uintmax_t bytes) {
    for (int i = 0; i < 300; ++i) {
      std::error_code ignored;
      if (std::filesystem::file_size(file, ignored) > bytes && !ignored) return;
      std::this_thread::sleep_for(50ms);
    }
    ADD_FAILURE() << file << " did not grow";
  }
};

// A print with no end, stopped by the signal.
TEST_P(SignalTest, StopsThePrintCleanly) {
  const int signal = GetParam();
  const pid_t child = Start({"print", "/dev/zero", "--json", "--pcap", Path("cap.pcap").string(), "--out",
                             Path("out.prn").string()});
  AwaitGrowth(Path("out.prn"), 100'000);
  ASSERT_EQ(kill(child, signal), 0);
  EXPECT_EQ(Finish(child), 128 + signal);

  const std::string err = ReadFile(Path("stderr"));
  const std::string name = signal == SIGINT ? "interrupted by SIGINT (Ctrl-C)" : "interrupted by SIGTERM";
  EXPECT_EQ(err.rfind("norvusb: error: " + name + "; ", 0), 0u) << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
  const auto document = nlohmann::json::parse(ReadFile(Path("stdout")));
  EXPECT_EQ("norvusb: error: " + document["error"].get<std::string>() + "\n", err);
  EXPECT_EQ(document["complete"], false);
  EXPECT_EQ(document["interrupted"], true);
  EXPECT_EQ(document["match"], false);  // /dev/zero never ends
  EXPECT_EQ(document["first_difference"], nullptr);
  EXPECT_GT(document["bytes_received"].get<uint64_t>(), 100'000u);
  // What the report says was delivered is what the printer received.
  EXPECT_EQ(document["bytes_received"].get<uint64_t>(), std::filesystem::file_size(Path("out.prn")));
  EXPECT_NE(err.find(std::to_string(document["bytes_received"].get<uint64_t>()) + " bytes delivered"),
            std::string::npos);
  EXPECT_EQ(document["pool_blocks_leaked"], 0);
  EXPECT_EQ(document["verifier_violations"], 0);
  // The capture ends on a whole packet.
  const std::string capture = ReadFile(Path("cap.pcap"));
  EXPECT_GT(capture.size(), 24u);
  EXPECT_EQ(WholeRecordBytes(capture), capture.size());
}

using SignalReportTest = SignalTest;

// `timeout -s INT` signals the process and then its group, which holds it:
// the copy, even once the first was taken (no longer pending), never ends the
// program without its report.
TEST_F(SignalReportTest, TwoSignalsAtOnceKeepTheReport) {
  const pid_t child = Start({"print", "/dev/zero", "--json", "--out", Path("out.prn").string()});
  AwaitGrowth(Path("out.prn"), 100'000);
  ASSERT_EQ(kill(child, SIGINT), 0);
  for (bool pending = true; pending; std::this_thread::sleep_for(1ms)) {
    std::ifstream status("/proc/" + std::to_string(child) + "/status");
    pending = false;
    for (std::string line; std::getline(status, line);)
      if (line.starts_with("ShdPnd:")) pending = std::stoull(line.substr(7), nullptr, 16) >> (SIGINT - 1) & 1;
  }
  ASSERT_EQ(kill(child, SIGINT), 0);
  EXPECT_EQ(Finish(child), 130);
  EXPECT_EQ(nlohmann::json::parse(ReadFile(Path("stdout")))["interrupted"], true);
  EXPECT_EQ(ReadFile(Path("stderr")).rfind("norvusb: error: interrupted by SIGINT", 0), 0u);
}

std::string ReadUntil(int terminal, const std::string &text, std::string &seen);

// Each line piped in goes out as it arrives: the next is written only once
// the printer has the last (its --out, a pipe too, gets the data as the
// printer takes it). Ctrl-C ends the print that waits for more, and what
// comes after it is not sent.
TEST_F(SignalReportTest, PipeLinesGoOutAsTheyComeAndCtrlCEndsTheWait) {
  signal(SIGPIPE, SIG_IGN);  // the program closes its input on its way out
  ASSERT_EQ(mkfifo(Path("in").c_str(), 0600), 0);
  ASSERT_EQ(mkfifo(Path("out").c_str(), 0600), 0);
  const int printed = open(Path("out").c_str(), O_RDONLY | O_NONBLOCK);
  const pid_t child = Start({"print", Path("in").string(), "--json", "--out", Path("out").string()});
  const int writer = open(Path("in").c_str(), O_WRONLY);  // once the program opens it
  ASSERT_GE(writer, 0);
  std::string seen;
  for (const std::string line : {"line 1\n", "line 2\n"}) {
    ASSERT_EQ(write(writer, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ReadUntil(printed, line, seen);
  }
  ASSERT_EQ(kill(child, SIGINT), 0);
  (void)!write(writer, "late\n", 5);
  close(writer);
  EXPECT_EQ(Finish(child), 130);
  ReadUntil(printed, "\x04", seen);  // to the end: nothing more came
  close(printed);
  EXPECT_EQ(seen, "line 1\nline 2\n");
  const auto document = nlohmann::json::parse(ReadFile(Path("stdout")));
  EXPECT_EQ(document["write_requests"], 2);
  EXPECT_EQ(document["interrupted"], true);
  EXPECT_EQ(document["bytes_received"], seen.size());
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalTest, ::testing::Values(SIGINT, SIGTERM),
                         [](const auto &info) { return info.param == SIGINT ? "Sigint" : "Sigterm"; });

TEST_F(SignalReportTest, HumanReportSaysInterrupted) {
  const pid_t child = Start({"print", "/dev/zero", "--out", Path("out.prn").string()});
  AwaitGrowth(Path("out.prn"), 100'000);
  ASSERT_EQ(kill(child, SIGINT), 0);
  EXPECT_EQ(Finish(child), 130);
  const std::string out = ReadFile(Path("stdout"));
  EXPECT_EQ(out.rfind("Interrupted print of /dev/zero on NorvUSB1", 0), 0u) << out;
  EXPECT_NE(out.find("the start of the file, intact"), std::string::npos) << out;
}

// A script session stops at the interrupted step, and ends as interrupted.
TEST_F(SignalReportTest, ScriptSessionEndsInterrupted) {
  WriteFile("steps", "status\nprint /dev/zero --out " + Path("out.prn").string() + "\nstatus\n");
  const pid_t child = Start({"run", Path("steps").string(), "--json", "--keep-going"});
  AwaitGrowth(Path("out.prn"), 100'000);
  ASSERT_EQ(kill(child, SIGINT), 0);
  EXPECT_EQ(Finish(child), 130);
  std::vector<nlohmann::json> lines;
  std::istringstream in(ReadFile(Path("stdout")));
  for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(lines.size(), 3u) << ReadFile(Path("stdout"));  // status, the print, the end: not the last status
  EXPECT_EQ(lines[1]["interrupted"], true);
  EXPECT_EQ(lines[2]["session"], "end");
  EXPECT_EQ(lines[2]["interrupted"], true);
  EXPECT_EQ(lines[2]["pool_blocks_leaked"], 0);
}

// Reads what the terminal shows until `text` appears (or 30 s pass).
std::string ReadUntil(int terminal, const std::string &text, std::string &seen) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
    pollfd ready{terminal, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t got = read(terminal, buffer, sizeof buffer);
    if (got <= 0) break;
    seen.append(buffer, static_cast<size_t>(got));
  }
  return seen;
}

// At the prompt, Ctrl-C (the terminal's own, sent to the foreground process
// group) abandons the running step; the session goes on with the next.
TEST_F(SignalReportTest, CtrlCAtThePromptAbandonsTheStepNotTheSession) {
  int terminal = -1;
  const std::string program = std::string(NORVUSB_BINARY_DIR) + "/norvusb";
  const std::string out = Path("out.prn").string();
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(program.c_str(), program.c_str(), "run", "--timing", "instant", static_cast<char *>(nullptr));
    _exit(127);
  }
  // Each wait looks only at what came after the last one: the prompt shows
  // once libedit has the terminal again, and only then does what is typed
  // reach the line editor rather than the terminal's own line discipline
  // (which would swallow a Ctrl-D as the end of a cooked read).
  std::string seen, fresh;
  auto await = [&](const std::string &text) {
    ReadUntil(terminal, text, fresh);
    const size_t at = fresh.find(text);
    ASSERT_NE(at, std::string::npos) << "waiting for " << text << " after " << seen;
    seen += fresh.substr(0, at + text.size());
    fresh.erase(0, at + text.size());
  };
  await("norvusb> ");
  const std::string step = "print /dev/zero -q --out " + out + "\n";
  ASSERT_EQ(write(terminal, step.data(), step.size()), static_cast<ssize_t>(step.size()));
  AwaitGrowth(Path("out.prn"), 100'000);
  ASSERT_EQ(write(terminal, "\x03", 1), 1);  // Ctrl-C
  await("interrupted by SIGINT");
  await("norvusb> ");
  // Ctrl-C at the prompt itself drops the line typed so far.
  ASSERT_EQ(write(terminal, "statu", 5), 5);
  await("statu");
  ASSERT_EQ(write(terminal, "\x03", 1), 1);
  await("norvusb> ");
  ASSERT_EQ(write(terminal, "status\n", 7), 7);
  await("LinePrinter 9");
  EXPECT_NE(seen.find("NorvUSB1  Started"), std::string::npos) << seen;
  await("norvusb> ");
  ASSERT_EQ(write(terminal, "\x04", 1), 1);  // Ctrl-D: the end of the input
  await("== end");
  ReadUntil(terminal, "\n", fresh);
  seen += fresh;
  EXPECT_NE(seen.find("== end: 2 step(s), 1 failed"), std::string::npos) << seen;
  EXPECT_EQ(seen.find("stdin:3"), std::string::npos) << seen;  // the abandoned line ran nothing
  EXPECT_EQ(Finish(child), 130);  // the first failed step's status
  close(terminal);
}

}  // namespace

namespace {

// At a terminal the prompt edits the line and keeps a history (libedit): a
// typo rubbed out, then the last step again with the up arrow.
TEST_F(SignalReportTest, PromptEditsLinesAndKeepsHistory) {
  int terminal = -1;
  const std::string program = std::string(NORVUSB_BINARY_DIR) + "/norvusb";
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    execl(program.c_str(), program.c_str(), "run", "--timing", "instant", static_cast<char *>(nullptr));
    _exit(127);
  }
  std::string seen;
  ReadUntil(terminal, "norvusb> ", seen);
  const std::string typo = "statux\x7fs\r";  // backspace over the x
  ASSERT_EQ(write(terminal, typo.data(), typo.size()), static_cast<ssize_t>(typo.size()));
  ReadUntil(terminal, "== stdin:1: status", seen);
  ReadUntil(terminal, "norvusb> ", seen = seen.substr(seen.find("== stdin:1: status")));
  ASSERT_EQ(write(terminal, "\x1b[A\r", 4), 4);  // up arrow: the last line again
  ReadUntil(terminal, "== stdin:2: status", seen);
  EXPECT_NE(seen.find("== stdin:2: status"), std::string::npos) << seen;
  ASSERT_EQ(write(terminal, "quit\r", 5), 5);
  ReadUntil(terminal, "== end", seen);
  EXPECT_NE(seen.find("== end: 2 step(s), 0 failed"), std::string::npos) << seen;
  EXPECT_EQ(Finish(child), 0);
  close(terminal);
}

}  // namespace
