// The progress bar: its layout at the widths terminals have, what it says
// while the printer takes nothing, and the bar as a terminal shows it.
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include "tests/tools/cli_runner.h"
#include "tools/progress.h"

namespace {

using norvusb::ProgressBar;
using norvusb::ProgressFrame;

constexpr uint64_t kMiB = 1024 * 1024;

struct FrameCase {
  const char *name;
  ProgressFrame frame;
  const char *says;        // what the bar must show at every width
  const char *mustNotSay;  // what it must not show
};

// A job moving, one held by the printer, one stalled for no known reason,
// and one that is done; sizes up to GiB, whose counts are widest.
const FrameCase kFrames[] = {
    {"moving", {600 * kMiB, 1024 * kMiB, 12.5, 0, ""}, "left", "stalled"},
    {"offline", {10'000, 132'839, 3.0, 2.0, "printer off line"}, "printer off line 0:02", "left"},
    {"stalled", {10'000, 132'839, 3.0, 1.5, ""}, "stalled 0:02", "left"},
    {"briefly idle", {10'000, 132'839, 3.0, 0.5, ""}, "left", "stalled"},
    {"done", {132'839, 132'839, 0.16, 0, ""}, "100%", "stalled"},
    // A pipe or a device has no size: bytes, rate and time so far, as pv shows them.
    {"unknown size", {2'715'000, 0, 3.0, 0, "", false, false}, "2.59 MiB  883.8 KiB/s  0:03", "%"},
    {"unknown size, stalled", {2'715'000, 0, 3.0, 1.5, "", false, false}, "stalled 0:02", "%"},
};

TEST(ProgressLayout, FitsEveryWidthAndSaysWhatHoldsThePrinter) {
  for (const FrameCase &c : kFrames) {
    for (int columns : {40, 50, 60, 80, 100, 132, 200}) {
      const std::string line = ProgressBar::Render(c.frame, columns);
      EXPECT_LE(line.size(), static_cast<size_t>(columns - 1)) << c.name << " at " << columns << ": " << line;
      EXPECT_NE(line.find(c.says), std::string::npos) << c.name << " at " << columns << ": " << line;
      EXPECT_EQ(line.find(c.mustNotSay), std::string::npos) << c.name << " at " << columns << ": " << line;
    }
  }
}

TEST(ProgressLayout, WideTerminalsShowTheWholeCountAndABar) {
  const std::string line = ProgressBar::Render({600 * kMiB, 1024 * kMiB, 12.5, 0, ""}, 120);
  EXPECT_NE(line.find("600.00 MiB / 1024.00 MiB"), std::string::npos) << line;
  EXPECT_NE(line.find("[#"), std::string::npos) << line;
  // The bar's share matches the job's: 600 of 1024 filled within a cell.
  const size_t open = line.find('['), close = line.find(']');
  const size_t filled = static_cast<size_t>(std::count(line.begin() + open, line.begin() + close, '#'));
  EXPECT_NEAR(static_cast<double>(filled) / static_cast<double>(close - open - 1), 600.0 / 1024.0, 0.05) << line;
}

// The program under a terminal of 40 columns: every redraw fits, and a print
// stopped by an off-line printer ends with the bar saying so.
TEST_F(CliTest, ProgressBarUnderANarrowTerminal) {
  const auto file = WriteFile("doc.bin", Document(40'000));
  const std::string program = std::string(NORVUSB_BINARY_DIR) + "/norvusb";
  winsize size{};
  size.ws_col = 40;
  size.ws_row = 24;
  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, &size);
  ASSERT_NE(child, -1);
  if (child == 0) {
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);  // the report; the bar is on standard error
    execl(program.c_str(), program.c_str(), "print", file.c_str(), "--timing", "instant", "--offline-after", "10000",
          "--stall-timeout", "0.3", static_cast<char *>(nullptr));
    _exit(127);
  }
  std::string shown;
  char buffer[4096];
  for (ssize_t n; (n = read(terminal, buffer, sizeof buffer)) > 0;) shown.append(buffer, static_cast<size_t>(n));
  int status = 0;
  waitpid(child, &status, 0);
  close(terminal);
  EXPECT_EQ(WEXITSTATUS(status), 1);

  // The bar's lines: what lies between carriage returns up to the newline that ends it.
  const std::string bar = shown.substr(0, shown.find('\n'));
  std::vector<std::string> redraws;
  for (size_t at = 0; at < bar.size();) {
    const size_t next = bar.find('\r', at + 1);
    redraws.push_back(bar.substr(at, next == std::string::npos ? std::string::npos : next - at));
    at = next == std::string::npos ? bar.size() : next;
  }
  for (std::string &redraw : redraws) {
    if (!redraw.empty() && redraw[0] == '\r') redraw.erase(0, 1);
    while (!redraw.empty() && redraw.back() == ' ') redraw.pop_back();
    EXPECT_LE(redraw.size(), 39u) << redraw;
  }
  // The terminal ends the line with a carriage return of its own.
  std::erase(redraws, std::string());
  ASSERT_FALSE(redraws.empty()) << shown;
  EXPECT_NE(redraws.back().find("printer off line"), std::string::npos) << shown;
}

}  // namespace

namespace {

// Model time runs ahead of the wall clock: the bar says its times are model
// time, at every width where there is room, and still shows what is left.
TEST(ProgressModelTime, IsLabelled) {
  norvusb::ProgressFrame frame{600 * 1024, 1024 * 1024, 0.5, 0, ""};
  frame.modelTime = true;
  const std::string wide = norvusb::ProgressBar::Render(frame, 100);
  EXPECT_NE(wide.find("left (model time)"), std::string::npos) << wide;
  for (int columns = 40; columns <= 120; ++columns) {
    const std::string line = norvusb::ProgressBar::Render(frame, columns);
    EXPECT_LE(line.size(), static_cast<size_t>(columns - 1)) << line;
    EXPECT_NE(line.find("left"), std::string::npos) << columns << ": " << line;
  }
  frame.modelTime = false;  // paced to the wall clock: no label
  EXPECT_EQ(norvusb::ProgressBar::Render(frame, 100).find("model"), std::string::npos);
}

}  // namespace
