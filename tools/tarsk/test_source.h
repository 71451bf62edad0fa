// The built-in test source of `tarsk encode --test-pattern`: moving
// pictures and a tone, the same on every run and every host.
#pragma once

#include <tarsk/tarsk.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "picture.h"

namespace tarsk::cli {

// bars: 75% colour bars (100/0/75/0: white, yellow, cyan, green, magenta,
//   red, blue, black, each an eighth of the width) over the top three
//   quarters; below them black with a 100% white block, 48 pixels wide,
//   that moves 8 pixels to the right every frame and wraps.
// ramp: luma from 16 (black) to 235 (white) across the width, chroma
//   neutral, moving 4 pixels to the left every frame and wrapping.
// zoneplate: luma 16 + 219 (1 + cos(pi r^2 / 920 + pi n / 8)) / 2 at
//   distance r from the centre in frame n, chroma neutral: rings that grow
//   finer outwards (reaching a cycle every two pixels at the corners) and
//   move every frame, repeating after 16.
enum class Pattern { bars, ramp, zoneplate };
std::optional<Pattern> pattern_named(const std::string &name);

// Frame `index` of the pattern at the system's size (720 x 576 or 480) and
// the stream's sampling (s420 or s411): chroma is drawn at the sites of
// its samples, not filtered.
Picture test_picture(Pattern pattern, tarsk_system system, Sampling sampling, uint64_t index);

// A 1 kHz sine at -18 dBFS (peak 10^(-18/20) of 32767, which is 4125) on
// both channels, as interleaved 16-bit stereo; sample n is the sine at
// n / rate seconds, so that the tone reads the same in any slices.
class Tone {
 public:
  explicit Tone(int rate) : rate_(rate) {}
  std::vector<int16_t> next(size_t frames);

 private:
  int rate_;
  uint64_t position_ = 0;
};

}  // namespace tarsk::cli
