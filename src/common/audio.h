// What both directions know of DV audio frames: the sampling rates the
// AAUX source pack can name and how many samples per channel a frame
// carries at each of them.
#pragma once

namespace tarsk::audio {

// Indexed by the source pack's sampling code (SMP); codes 3 to 7 name no
// rate.
inline constexpr int frequency[3] = {48000, 44100, 32000};

// Samples per channel of one frame, by [50-field system][sampling code]:
// a frame holds min + af_size samples (af_size is six bits), and its
// audio blocks have max slots.
inline constexpr int min_samples[2][3] = {{1580, 1452, 1053}, {1896, 1742, 1264}};
inline constexpr int max_samples[2][3] = {{1620, 1489, 1080}, {1944, 1786, 1296}};

// The sampling code of a rate, or -1 when DV has none for it.
constexpr int rate_code(int freq) {
  for (int code = 0; code < 3; ++code)
    if (frequency[code] == freq) return code;
  return -1;
}

}  // namespace tarsk::audio
