// A progress line on standard error for a person watching a long decode.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tarsk::cli {

// Shows frames done, frames a second and, with a known total, the percent
// done and the time left, redrawn in place a few times a second. It shows
// nothing unless enabled and standard error is a terminal: a log file or a
// pipe gets no progress lines.
class Progress {
 public:
  explicit Progress(bool enabled);
  ~Progress();
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  void set_total(uint64_t frames) { total_ = frames; }  // 0: not known
  void update(uint64_t done);
  // Clears the line, so that what follows starts on a clean one.
  void finish();
  // The line that stays at the end of a run, on a terminal or not:
  // "75 frames, 3.00 s of 625/50 (PAL), in 0.41 s (7.3x real time)", from
  // the frames' count and period and the time since the Progress began.
  std::string summary(uint64_t frames, double frame_seconds, const std::string &system) const;

 private:
  using Clock = std::chrono::steady_clock;
  bool shown_ = false;
  bool enabled_;
  uint64_t total_ = 0;
  Clock::time_point start_, last_;
};

// Clears the line a Progress is showing, if any: error() and warning()
// call it so that their messages start on a line of their own. The line
// comes back with the next update.
void clear_progress();

}  // namespace tarsk::cli
