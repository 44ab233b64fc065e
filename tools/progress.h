// A one-line progress bar on standard error (bytes, rate, time left; for an
// input of unknown size bytes, rate and time so far), drawn
// only when standard error is a terminal, fitted to the terminal's width.
// While the printer takes nothing it says why instead of a frozen rate.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace norvusb {

// One state of the bar.
struct ProgressFrame {
  uint64_t done = 0;
  uint64_t total = 0;
  double seconds = 0;      // model time since the job started
  double idleSeconds = 0;  // model time since the printer last took a byte
  std::string holdup;      // what holds the printer ("printer off line"); empty: nothing
  // The times are the model's, which runs ahead of the wall clock: said so,
  // unless the machine is paced to the wall clock.
  bool modelTime = false;
  // False for a pipe or a device: no share nor time left, only the count,
  // the rate and the time so far, as pv shows them.
  bool totalKnown = true;
};

class ProgressBar {
 public:
  // Draws nothing when `enabled` is false. `modelTime`: the seconds given
  // are model time that runs ahead of the wall clock, and the bar says so.
  ProgressBar(std::optional<uint64_t> total, bool enabled, bool modelTime = false);
  ~ProgressBar();
  ProgressBar(const ProgressBar &) = delete;
  ProgressBar &operator=(const ProgressBar &) = delete;

  // `done` bytes after `seconds` of model time, and what holds the printer
  // if anything; redraws at most ten times a second of real time.
  void Update(uint64_t done, double seconds, std::string holdup = "");
  // Draws the last state and ends the line.
  void Finish();

  // The bar's text for a state in a terminal of `columns` columns, without
  // the carriage return: at most columns - 1 characters, so that the cursor
  // never wraps.
  static std::string Render(const ProgressFrame &frame, int columns);
  // No progress for this long without a known holdup reads "stalled".
  static constexpr double kStalledAfterSeconds = 1.0;

  // True when standard error is a terminal; its width in columns.
  static bool StderrIsTerminal();
  static int TerminalColumns();

 private:
  void Draw();

  ProgressFrame frame_;
  bool enabled_;
  bool drawn_ = false;
  bool finished_ = false;
  double lastProgressSeconds_ = 0;
  size_t lastLength_ = 0;
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace norvusb
