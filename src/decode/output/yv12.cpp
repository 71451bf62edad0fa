// Planar 4:2:0 output of 4:2:0 macroblocks: a luma plane, then the Cr (V)
// and Cb (U) planes at half width and half height.
#include <algorithm>

#include "decode/output/output.h"

namespace tarsk::output {

void build_yv12(Yv12Tables &t, bool clamp_luma, bool clamp_chroma) {
  for (int c = -128; c <= 127; ++c)
    t.uv[c] = static_cast<uint8_t>(clamp_chroma ? std::clamp(c + 128, 16, 240) : c + 128);
  for (int s = -256; s <= 511; ++s)
    t.y[s] = static_cast<uint8_t>(clamp_luma ? std::clamp(s + 128, 16, 235)
                                             : std::clamp(s + 128, 0, 255));
}

void write_yv12(const dv_macroblock_t *mb, uint8_t *const *pixels, const uint16_t *pitches,
                const Yv12Tables &t) {
  uint8_t *luma = pixels[0] + mb->y * pitches[0] + mb->x;
  for (int line = 0; line < 16; ++line, luma += pitches[0])
    for (int px = 0; px < 16; ++px) luma[px] = t.y[luma_index(luma_16x16(mb, line, px))];
  for (int plane = 1; plane <= 2; ++plane) {
    const dv_block_t &b = mb->b[plane == 1 ? 4 : 5];  // Cr, then Cb
    uint8_t *chroma = pixels[plane] + (mb->y / 2) * pitches[plane] + mb->x / 2;
    for (int row = 0; row < 8; ++row, chroma += pitches[plane])
      for (int col = 0; col < 8; ++col) chroma[col] = t.uv[chroma_index(b.coeffs[row * 8 + col])];
  }
}

}  // namespace tarsk::output
