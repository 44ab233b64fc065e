// A one-line progress bar on standard error (bytes, rate, time left), drawn
// only when standard error is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace norvusb {

class ProgressBar {
 public:
  // Draws nothing when `enabled` is false.
  ProgressBar(uint64_t total, bool enabled);
  ~ProgressBar();
  ProgressBar(const ProgressBar &) = delete;
  ProgressBar &operator=(const ProgressBar &) = delete;

  // `done` bytes after `seconds` of model time; redraws at most ten times a
  // second of real time.
  void Update(uint64_t done, double seconds);
  // Draws the last state and ends the line.
  void Finish();

  // The bar's text for a state, without the carriage return (for tests of
  // the layout and for the final line).
  static std::string Render(uint64_t done, uint64_t total, double seconds, int width);

  // True when standard error is a terminal.
  static bool StderrIsTerminal();

 private:
  void Draw();

  uint64_t total_;
  bool enabled_;
  bool drawn_ = false;
  bool finished_ = false;
  uint64_t done_ = 0;
  double seconds_ = 0;
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace norvusb
