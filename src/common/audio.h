// What both directions know of DV audio frames: the sampling rates the
// AAUX source pack can name, how many samples per channel a frame
// carries at each of them, and the 12-bit non-linear code.
#pragma once

#include <algorithm>

namespace tarsk::audio {

// Indexed by the source pack's sampling code (SMP); codes 3 to 7 name no
// rate.
inline constexpr int frequency[3] = {48000, 44100, 32000};

// Samples per channel of one frame, by [50-field system][sampling code]:
// a frame holds min + af_size samples (af_size is six bits), and its
// audio blocks have max slots.
inline constexpr int min_samples[2][3] = {{1580, 1452, 1053}, {1896, 1742, 1264}};
inline constexpr int max_samples[2][3] = {{1620, 1489, 1080}, {1944, 1786, 1296}};

// The playback speed code (the AAUX source control pack's PC3, low seven
// bits) that says normal speed: IEC 61834 writes 0x20; SMPTE 314M 0x78 in
// 525/60 and 0x64 in 625/50.
constexpr int normal_speed(bool fifty_fields, bool smpte_314m) {
  if (!smpte_314m) return 0x20;
  return fifty_fields ? 0x64 : 0x78;
}

// The sampling code of a rate, or -1 when DV has none for it.
constexpr int rate_code(int freq) {
  for (int code = 0; code < 3; ++code)
    if (frequency[code] == freq) return code;
  return -1;
}

// Samples per channel of the first n frames of a 525/60 stream: n frames
// last n x 1001/30000 s. 64-bit, so that any int frame number fits.
constexpr long long samples_before_525(int freq, int n) {
  return static_cast<long long>(n) * freq * 1001 / 30000;
}

// Samples per channel in frame n (from 0) of a stream at a rate DV names,
// 0 at any other. 625/50 frames are 1/25 s: a whole number of samples
// at each rate (1920 at 48 kHz, every frame). 525/60 frames are 1001/30000 s,
// so their counts follow a pattern that adds up exactly: at 48 kHz the
// customary 1600 then four times 1602 (8008 samples every 5 frames); at
// 44.1 and 32 kHz each frame takes what brings the total to the whole
// samples of the time its end stands for (147147 every 100 frames, 16016
// every 15), so that sound never drifts from the pictures.
constexpr int samples_in_frame(bool pal, int freq, int n) {
  if (pal) {
    switch (freq) {
      case 48000: return 1920;
      case 44100: return 1764;
      case 32000: return 1280;
      default: return 0;
    }
  }
  switch (freq) {
    case 48000: return n % 5 == 0 ? 1600 : 1602;
    case 44100:
    case 32000: {
      // Within a period, so that n + 1 cannot overflow.
      const int period = freq == 44100 ? 100 : 15;
      const int k = n % period;
      return static_cast<int>(samples_before_525(freq, k + 1) - samples_before_525(freq, k));
    }
    default: return 0;
  }
}

// Every pattern above repeats within this many frames, so that a frame
// counter may run modulo it and never overflow.
inline constexpr int pattern_frames = 300;

constexpr bool patterns_repeat() {
  for (int pal = 0; pal < 2; ++pal)
    for (int freq : frequency)
      for (int n = 0; n < pattern_frames; ++n)
        if (samples_in_frame(pal, freq, n) != samples_in_frame(pal, freq, n + pattern_frames))
          return false;
  return true;
}
static_assert(patterns_repeat());

// The 12-bit non-linear code of 32 kHz sound: a signed code (two's
// complement, -2047..2047; 0x800, -2048, marks an invalid sample) stands for
// a 16-bit sample. Codes 0..511 stand for themselves; above them come
// segments of 256 codes, each stepping twice as far as the one before:
// segment s (2..7) starts at code 256 s, which stands for 2^(s+7), with a
// step of 2^(s-1), so code 2047 is 32704. Negative codes mirror the
// positive ones: code -1 - c stands for -1 - (what c stands for).
namespace nonlinear {

inline constexpr int invalid_code = 0x800;
inline constexpr int largest_code = 2047;
inline constexpr int segment_codes = 256;
inline constexpr int last_segment = 7;

// Segments 0 and 1 are the linear codes.
constexpr int step_shift(int segment) { return segment < 2 ? 0 : segment - 1; }
constexpr int first_code(int segment) { return segment * segment_codes; }
constexpr int first_sample(int segment) {
  return segment < 2 ? first_code(segment) : segment_codes << step_shift(segment);
}

// The sample a code in -2047..2047 stands for.
constexpr int expand(int code) {
  if (code < 0) return -1 - expand(-1 - code);
  const int s = code / segment_codes;
  return first_sample(s) + ((code - first_code(s)) << step_shift(s));
}

// The code whose sample is nearest `sample` (a tie goes to the one further
// from zero); never the invalid code.
constexpr int compress(int sample) {
  if (sample < 0) return std::max(-1 - compress(-1 - sample), -largest_code);
  int s = last_segment;
  while (first_sample(s) > sample) --s;
  const int step = 1 << step_shift(s);
  return std::min(first_code(s) + (sample - first_sample(s) + step / 2) / step, largest_code);
}

constexpr bool codes_come_back() {
  for (int code = -largest_code; code <= largest_code; ++code)
    if (compress(expand(code)) != code) return false;
  return expand(largest_code) == 32704 && compress(-32768) == -largest_code;
}
static_assert(codes_come_back());

// The 12 bits a code is written as, and back.
constexpr int to_bits(int code) { return code & 0xfff; }
constexpr int from_bits(int bits) { return bits >= invalid_code ? bits - 4096 : bits; }

}  // namespace nonlinear

}  // namespace tarsk::audio
