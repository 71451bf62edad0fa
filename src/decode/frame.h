// The frame decode walk, shared by the C API's single-threaded decoding and
// the C++ API's worker threads.
#pragma once

#include <tarsk/dv.h>

namespace tarsk {

// Decodes video segments [first, last) of the frame at `buffer`, counted
// through the frame (segment k of DIF sequence s is 27 s + k), through the
// caller's own segment record and bit reader. It touches no state but its
// arguments (and the caller's pixels: each segment writes its own five
// macroblocks), so calls with separate records may run at the same time.
//
// With `damage`, each macroblock is also checked (in any colour space,
// the one that writes nothing too): one whose DIF block the recorder
// flagged (status nibble), or whose codes do not parse, is marked in
// damage->macroblocks (indexed 5 n + m for macroblock m of segment n)
// and, when damage->conceal is set, written grey instead (for the
// concealment to cover with the previous picture's).
struct FrameDamage {
  static constexpr int most = 12 * 27 * 5;
  uint8_t macroblocks[most] = {};
  bool conceal = true;
};
void decode_segments(dv_decoder_t *dv, const uint8_t *buffer, dv_color_space_t color_space,
                     uint8_t **pixels, int *pitches, dv_videosegment_t *seg, bitstream_t *bs,
                     int first, int last, FrameDamage *damage = nullptr);

// Smallest and largest coefficient seen in each block position by
// dv_check_coeff_ranges, a diagnostic.
extern int32_t ranges[6][2];

}  // namespace tarsk
