// The frame decode walk, shared by dv.h's whole-frame decoding and
// tarsk.h's contexts with their worker threads, and the two steps of a
// macroblock's decoding that dv.h's segment entry points take one by one.
#pragma once

#include <tarsk/dv.h>

#include "decode/output/output.h"

namespace tarsk {

// Decodes video segments [first, last) of the frame at `buffer`, counted
// through the frame (segment k of DIF sequence s is 27 s + k), through the
// caller's own segment record and bit reader. It touches no state but its
// arguments (and the caller's pixels: each segment writes its own five
// macroblocks), so calls with separate records may run at the same time.
//
// The macroblocks are written to `target` (nowhere with Layout::none).
// With `damage`, each macroblock is also checked (whatever the target): one whose DIF block the recorder
// flagged (status nibble), or whose codes do not parse, is marked in
// damage->macroblocks (indexed 5 n + m for macroblock m of segment n)
// and, when damage->conceal is set, written grey instead (for the
// concealment to cover with the previous picture's).
struct FrameDamage {
  static constexpr int most = 12 * 27 * 5;
  uint8_t macroblocks[most] = {};
  bool conceal = true;
};
// How blocks are reconstructed: by the format's specified arithmetic
// (integer inverse weights, a transform that truncates toward zero), or
// accurately (the exact weights, transforms rounded to nearest).
enum class Reconstruction { specified, accurate };

void decode_segments(dv_decoder_t *dv, const uint8_t *buffer, const output::Target &target,
                     dv_videosegment_t *seg, bitstream_t *bs, int first, int last,
                     FrameDamage *damage = nullptr,
                     Reconstruction reconstruction = Reconstruction::specified);

// Dequantisation, inverse weighting and inverse transform of a parsed
// macroblock's blocks: the four luminance blocks, and the two colour blocks
// too with DV_QUALITY_COLOR.
void reconstruct_macroblock(dv_macroblock_t *mb, unsigned quality,
                            Reconstruction reconstruction = Reconstruction::specified);

// Writes a placed macroblock to a target with the decoder's own clamp and
// set-up settings.
void render_macroblock(const dv_decoder_t *dv, const dv_macroblock_t *mb,
                       const output::Target &target);

}  // namespace tarsk
