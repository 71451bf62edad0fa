// Time code arithmetic: the label (hours, minutes, seconds, frame number)
// of a frame counted from 00:00:00:00, and back.
//
// 625/50 numbers 25 frames a second and 525/60 30, though 525/60 runs at
// 30000/1001 frames a second. Its drop-frame time code keeps the labels
// near the clock by leaving out frame numbers 00 and 01 at the start of
// every minute but every tenth: ten minutes are 17982 frames, not 18000,
// and the label of a frame tells the time within a few frames a day.
#pragma once

#include <cstdint>

namespace tarsk {

struct TimecodeLabel {
  int hours, minutes, seconds, frames;
};

inline constexpr int64_t drop_frame_per_minute = 30 * 60 - 2;
inline constexpr int64_t drop_frame_per_ten_minutes = 10 * drop_frame_per_minute + 2;

constexpr int timecode_rate(bool pal) { return pal ? 25 : 30; }

// The label of frame `count` (0 or more) after 00:00:00:00; hours run on
// past 24. Drop-frame counting is 525/60's alone: the caller asks for it
// only there.
constexpr TimecodeLabel timecode_label_of(int64_t count, bool pal, bool drop_frame) {
  const int64_t rate = timecode_rate(pal);
  if (drop_frame) {
    // Each ten minutes numbers 18 labels more than it has frames: two at
    // each of its minutes but the first.
    const int64_t tens = count / drop_frame_per_ten_minutes;
    const int64_t rest = count % drop_frame_per_ten_minutes;
    count += 18 * tens + (rest < 2 ? 0 : 2 * ((rest - 2) / drop_frame_per_minute));
  }
  const int64_t seconds = count / rate;
  return {static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
          static_cast<int>(seconds % 60), static_cast<int>(count % rate)};
}

// The frames from 00:00:00:00 to label `t`: in drop-frame time code, the
// frames that really pass, the labels it leaves out not counted.
constexpr int64_t timecode_count_of(const TimecodeLabel &t, bool pal, bool drop_frame) {
  const int64_t minutes = t.hours * int64_t{60} + t.minutes;
  int64_t count = (minutes * 60 + t.seconds) * timecode_rate(pal) + t.frames;
  if (drop_frame) count -= 2 * (minutes - minutes / 10);
  return count;
}

}  // namespace tarsk
