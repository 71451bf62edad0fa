// A plain twin of DV's 12-bit non-linear sound code, written from its
// definition for the tests of 12-bit sound, and a test signal that
// crosses every segment of the code.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/wav.h"

namespace tarsk::test {

// The values of the codes 0..2047 walked from zero, the step doubling at
// code 512 and every 256 codes after it; code -1 - c is -1 - value(c). What
// a sample comes back as: the nearest value, a tie going away from zero;
// -2048 (the invalid code) is never used.
class TwelveBitTwin {
 public:
  TwelveBitTwin() {
    std::vector<int> positive;
    for (int code = 0, value = 0, step = 1; code < 2048; ++code) {
      positive.push_back(value);
      value += step;
      if (code + 1 >= 512 && (code + 1) % 256 == 0) step *= 2;
    }
    for (int code = 2047; code >= 1; --code) values_.push_back(-1 - positive[code - 1]);
    values_.insert(values_.end(), positive.begin(), positive.end());
  }
  int16_t quantised(int sample) const {
    const auto above = std::lower_bound(values_.begin(), values_.end(), sample);
    if (above == values_.begin()) return static_cast<int16_t>(*above);
    if (above == values_.end()) return static_cast<int16_t>(values_.back());
    const int hi = *above, lo = *(above - 1);
    const int up = hi - sample, down = sample - lo;
    if (up != down) return static_cast<int16_t>(up < down ? hi : lo);
    return static_cast<int16_t>(sample >= 0 ? hi : lo);
  }

 private:
  std::vector<int> values_;  // ascending: codes -2047..2047
};

inline const TwelveBitTwin &twin() {
  static const TwelveBitTwin t;
  return t;
}

// Channel c's sample n: both extremes and the ties of the first doubled
// steps, then a ramp with a step of 13 that crosses every segment of both
// signs, each channel from its own start.
inline int16_t signal(int channel, int n) {
  static const int edges[] = {-32768, 32767, 513, -514, 1023, -1024, 16416, 32736, 0, -1};
  if (n < 10) return static_cast<int16_t>(edges[(n + 3 * channel) % 10]);
  return static_cast<int16_t>((n * 13 + channel * 16411) % 65536 - 32768);
}

// A WAV in `dir` of `frames` sample frames whose channel c carries
// signal(first + c).
inline std::filesystem::path signal_wav(const std::filesystem::path &dir, const std::string &name,
                                        int channels, int first, int frames, int rate = 32000) {
  std::vector<int16_t> s;
  for (int n = 0; n < frames; ++n)
    for (int c = 0; c < channels; ++c) s.push_back(signal(first + c, n));
  const std::filesystem::path path = dir / name;
  write_file(path, wav_bytes(WavHeader{.channels = channels, .rate = rate}, s16le(s)));
  return path;
}

}  // namespace tarsk::test
