#include "tools/progress.h"

#include <unistd.h>

#include <cstdio>

#include <fmt/format.h>

#include "tools/text.h"

namespace norvusb {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr int kBarWidth = 30;

std::string Clock(double seconds) {
  const auto whole = static_cast<long>(seconds + 0.5);
  return fmt::format("{}:{:02}", whole / 60, whole % 60);
}

}  // namespace

ProgressBar::ProgressBar(uint64_t total, bool enabled) : total_(total), enabled_(enabled) {}

ProgressBar::~ProgressBar() { Finish(); }

bool ProgressBar::StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

std::string ProgressBar::Render(uint64_t done, uint64_t total, double seconds, int width) {
  const double share = total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
  const int filled = static_cast<int>(share * width);
  std::string bar = std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(width - filled), '-');
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  std::string left = "--:--";
  if (rate > 0) left = Clock(static_cast<double>(total - std::min(done, total)) / rate);
  return fmt::format("[{}] {:3.0f}%  {} / {}  {}/s  {} left", bar, share * 100, HumanBytes(static_cast<double>(done)),
                     HumanBytes(static_cast<double>(total)), HumanBytes(rate), left);
}

void ProgressBar::Update(uint64_t done, double seconds) {
  done_ = done;
  seconds_ = seconds;
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (drawn_ && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  Draw();
}

void ProgressBar::Draw() {
  // Padding wipes what a longer previous line left behind.
  std::fprintf(stderr, "\r%-100s", Render(done_, total_, seconds_, kBarWidth).c_str());
  std::fflush(stderr);
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
