// Packed 4:2:2 output by table lookup, one byte at a time: the plain
// kernels the fast writers must reproduce.
#include "dsp/dsp.h"

namespace tarsk::dsp {
namespace {

// Writes a macroblock of `width` x `height` pixels: for each pair of
// pixels, their luma and the chroma of the cell the pair lies in (Y, Cb,
// Y, Cr).
template <int width, int height, int (*luma)(const dv_macroblock_t *, int, int),
          int (*cell)(int, int)>
void write(const dv_macroblock_t *mb, uint8_t *pixels, int pitch, const Yuy2Tables &t,
           bool setup) {
  const auto &y = setup ? t.y_setup : t.y;
  uint8_t *line_start = pixels + mb->y * pitch + mb->x * 2;
  for (int line = 0; line < height; ++line, line_start += pitch) {
    uint8_t *out = line_start;
    for (int px = 0; px < width; px += 2, out += 4) {
      const int c = cell(line, px);
      out[0] = y[luma_index(luma(mb, line, px))];
      out[1] = t.uv[chroma_index(mb->b[5].coeffs[c])];
      out[2] = y[luma_index(luma(mb, line, px + 1))];
      out[3] = t.uv[chroma_index(mb->b[4].coeffs[c])];
    }
  }
}

}  // namespace

void yuy2_dsp_init(Yuy2Dsp &d) {
  d.mb411 = write<32, 8, luma_32x8, chroma_cell_411>;
  d.mb411_right = write<16, 16, luma_16x16, chroma_cell_411_right>;
  d.mb420 = write<16, 16, luma_16x16, chroma_cell_420>;
}

}  // namespace tarsk::dsp
