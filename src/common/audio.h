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

// Samples per channel in frame n (from 0) of a stream at a rate DV names,
// 0 at any other. 625/50 frames are 1/25 s; 525/60 frames are 1001/30000
// s, so their counts follow a pattern that adds up exactly: 8008 samples
// every 5 frames at 48 kHz, 44100 x 1.001 every 300 frames at 44.1 kHz,
// 32032 every 30 frames at 32 kHz.
constexpr int samples_in_frame(bool pal, int freq, int n) {
  if (pal) {
    switch (freq) {
      case 48000: return n % 25 == 0 ? 1919 : 1920;
      case 44100: return 1764;
      case 32000: return 1280;
      default: return 0;
    }
  }
  switch (freq) {
    case 48000: return n % 5 == 0 ? 1600 : 1602;
    case 44100: return n % 300 == 0 ? 1471 : n % 30 == 0 ? 1470 : n % 2 == 0 ? 1472 : 1471;
    case 32000: return n % 30 == 0 ? 1068 : n % 29 == 0 ? 1067 : n % 4 == 2 ? 1067 : 1068;
    default: return 0;
  }
}

}  // namespace tarsk::audio
