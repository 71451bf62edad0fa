// What the fuzz targets share: frames to fill short inputs with, option
// bytes, a log that discards what it is given, and checks that stop the
// run with a message.
#pragma once

#include <tarsk/dv.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/frame_builder.h"

namespace fuzz {

// A failed check is a finding: libFuzzer saves the input that caused it.
#define FUZZ_CHECK(cond)                                                               \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);    \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

constexpr size_t max_frame = frame_size_625_50;

inline size_t frame_bytes(dv_system_t system) {
  return system == e_dv_system_625_50 ? frame_size_625_50 : frame_size_525_60;
}

// A whole, undamaged frame of the system as a camera records it: grey
// picture (every block a zero DC and an end of block), silent 16-bit 48 kHz
// audio, time code, recording date and time, VAUX source and source
// control packs. Bytes an input does not reach come from here, so that
// short inputs still reach the decoding stages.
inline const std::vector<uint8_t> &template_frame(dv_system_t system) {
  auto make = [](dv_system_t sys) {
    using namespace tarsk::test;
    const bool pal = sys == e_dv_system_625_50;
    FrameBuilder f(sys);
    f.apt(0);
    f.vaux(0, vaux_source(true, pal)).vaux(1, vaux_source_control(0, false));
    f.vaux(2, recording_date(2024, 5, 17)).vaux(3, recording_time(12, 34, 56));
    for (int seq : {0, 6}) {
      f.subcode(seq, 0, timecode(10, 0, 0, 0)).subcode(seq, 1, recording_date(2024, 5, 17));
      f.subcode(seq, 2, recording_time(12, 34, 56));
    }
    with_audio_packs(f, aaux_source(pal ? 24 : 20, pal, 1, 0, 0), aaux_source_control(0x20));
    // Every block area an end of block at once: the low nibble of its
    // second byte follows the DC, mode and class bits.
    for (int s = 0; s < f.dif_sequences(); ++s)
      for (int k = 0; k < dif::segments_per_sequence; ++k) {
        uint8_t *seg = f.segment(s, k);
        for (int m = 0; m < dif::macroblocks_per_segment; ++m)
          for (int b = 0; b < 6; ++b) seg[dif::block_size * m + dif::area_bytes[b] + 1] = 0x06;
      }
    return f.bytes();
  };
  static const std::vector<uint8_t> pal = make(e_dv_system_625_50);
  static const std::vector<uint8_t> ntsc = make(e_dv_system_525_60);
  return system == e_dv_system_625_50 ? pal : ntsc;
}

// A frame buffer of `size` bytes on the heap: the input first, the rest
// from the template of `system` (its length allowing).
inline std::vector<uint8_t> padded(const uint8_t *data, size_t n, dv_system_t system,
                                   size_t size) {
  std::vector<uint8_t> out(size, 0);
  const std::vector<uint8_t> &t = template_frame(system);
  std::memcpy(out.data(), t.data(), std::min(size, t.size()));
  std::memcpy(out.data(), data, std::min(size, n));
  return out;
}

// Reads option bytes from the front of the input; 0 once it is used up.
struct Options {
  const uint8_t *data;
  size_t size;
  uint8_t take() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
};

// A log that takes reports and keeps nothing, so that reporting code runs
// without flooding the fuzzer's output.
inline FILE *null_log() {
  static FILE *f = std::fopen("/dev/null", "w");
  return f;
}

struct DecoderDeleter {
  void operator()(dv_decoder_t *dv) const { dv_decoder_free(dv); }
};

}  // namespace fuzz
