#include "tools/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <fmt/format.h>

#include "tools/text.h"

namespace norvusb {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kDefaultColumns = 80;
constexpr int kMinBar = 6;
constexpr int kMaxBar = 40;

std::string Clock(double seconds) {
  const auto whole = static_cast<long>(seconds + 0.5);
  return fmt::format("{}:{:02}", whole / 60, whole % 60);
}

// What follows the counts: the rate and time left, or why nothing moves.
std::string Tail(const ProgressFrame &frame) {
  if (!frame.holdup.empty()) return fmt::format("{} {}", frame.holdup, Clock(frame.idleSeconds));
  if ((frame.done < frame.total || !frame.totalKnown) && frame.idleSeconds >= ProgressBar::kStalledAfterSeconds)
    return fmt::format("stalled {}", Clock(frame.idleSeconds));
  const double rate = frame.seconds > 0 ? static_cast<double>(frame.done) / frame.seconds : 0;
  if (!frame.totalKnown) return fmt::format("{}/s  {}", HumanBytes(rate), Clock(frame.seconds));
  const std::string left =
      rate > 0 ? Clock(static_cast<double>(frame.total - std::min(frame.done, frame.total)) / rate) : "--:--";
  return fmt::format("{}/s  {} left", HumanBytes(rate), left);
}

}  // namespace

ProgressBar::ProgressBar(std::optional<uint64_t> total, bool enabled, bool modelTime) : enabled_(enabled) {
  frame_.total = total.value_or(0);
  frame_.totalKnown = total.has_value();
  frame_.modelTime = modelTime;
}

ProgressBar::~ProgressBar() { Finish(); }

bool ProgressBar::StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

int ProgressBar::TerminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char *columns = std::getenv("COLUMNS"); columns != nullptr && std::atoi(columns) > 0)
    return std::atoi(columns);
  return kDefaultColumns;
}

std::string ProgressBar::Render(const ProgressFrame &frame, int columns) {
  const int room = std::max(columns, 2) - 1;
  const double share = frame.total == 0 ? 1.0 : static_cast<double>(frame.done) / static_cast<double>(frame.total);
  const std::string percent = fmt::format("{:3.0f}%", std::min(share, 1.0) * 100);
  const std::string done = HumanBytes(static_cast<double>(frame.done));
  // Model time is labelled as such; the label goes after the total and the
  // count when the terminal is narrow.
  std::vector<std::string> tails = {Tail(frame)};
  if (frame.modelTime) tails.insert(tails.begin(), tails.front() + " (model time)");
  if (!frame.totalKnown) {
    for (const std::string &tail : tails)
      if (const std::string text = fmt::format("{}  {}", done, tail); static_cast<int>(text.size()) <= room) return text;
    return tails.back().substr(0, static_cast<size_t>(room));
  }
  // The widest text that leaves room for a bar; narrower terminals lose the
  // total first, then the count.
  for (const std::string &tail : tails) {
    for (const std::string &text :
         {fmt::format(" {}  {} / {}  {}", percent, done, HumanBytes(static_cast<double>(frame.total)), tail),
          fmt::format(" {}  {}  {}", percent, done, tail), fmt::format(" {}  {}", percent, tail)}) {
      const int bar = std::min(kMaxBar, room - 2 - static_cast<int>(text.size()));
      if (bar < kMinBar) continue;
      const int filled = static_cast<int>(std::min(share, 1.0) * bar);
      return "[" + std::string(static_cast<size_t>(filled), '#') +
             std::string(static_cast<size_t>(bar - filled), '-') + "]" + text;
    }
  }
  return fmt::format("{}  {}", percent, tails.back()).substr(0, static_cast<size_t>(room));
}

void ProgressBar::Update(uint64_t done, double seconds, std::string holdup) {
  if (done != frame_.done || seconds < lastProgressSeconds_) lastProgressSeconds_ = seconds;
  frame_.done = done;
  frame_.seconds = seconds;
  frame_.idleSeconds = seconds - lastProgressSeconds_;
  frame_.holdup = std::move(holdup);
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  Draw();
}

void ProgressBar::Draw() {
  const int columns = TerminalColumns();
  const std::string line = Render(frame_, columns);
  // Blanks wipe what a longer previous line left, never past the last column.
  const size_t width = std::min(std::max(line.size(), lastLength_), static_cast<size_t>(std::max(columns - 1, 1)));
  std::fprintf(stderr, "\r%-*s", static_cast<int>(width), line.c_str());
  std::fflush(stderr);
  lastLength_ = line.size();
  drawn_ = true;
}

void ProgressBar::Finish() {
  if (!enabled_ || finished_) return;
  finished_ = true;
  Draw();
  std::fprintf(stderr, "\n");
  std::fflush(stderr);
}

}  // namespace norvusb
