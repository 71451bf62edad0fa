// Planar output by table lookup, one sample at a time: the plain kernels
// the fast writers must reproduce.
#include "dsp/dsp.h"

namespace tarsk::dsp {
namespace {

// Writes a macroblock of `width` x `height` pixels: every luma sample, and
// the chroma sample covering each pixel whose position the chroma planes
// sample (every 2^shift_x-th pixel of every 2^shift_y-th line).
template <int width, int height, int (*luma)(const dv_macroblock_t *, int, int),
          int (*cell)(int, int)>
void write(const dv_macroblock_t *mb, const PlaneSet &p, const Yuy2Tables &t, bool setup) {
  const auto &y = setup ? t.y_setup : t.y;
  uint8_t *luma_line = p.plane[0] + mb->y * p.pitch[0] + mb->x;
  for (int line = 0; line < height; ++line, luma_line += p.pitch[0])
    for (int px = 0; px < width; ++px) luma_line[px] = y[luma_index(luma(mb, line, px))];
  const int sx = p.shift_x, sy = p.shift_y;
  uint8_t *cb_line = p.plane[1] + (mb->y >> sy) * p.pitch[1] + (mb->x >> sx);
  uint8_t *cr_line = p.plane[2] + (mb->y >> sy) * p.pitch[2] + (mb->x >> sx);
  for (int line = 0; line < height; line += 1 << sy, cb_line += p.pitch[1], cr_line += p.pitch[2])
    for (int px = 0, c = 0; px < width; px += 1 << sx, ++c) {
      const int at = cell(line, px);
      cb_line[c] = t.uv[chroma_index(mb->b[5].coeffs[at])];
      cr_line[c] = t.uv[chroma_index(mb->b[4].coeffs[at])];
    }
}

}  // namespace

void planar_dsp_init(PlanarDsp &d) {
  d.mb411 = write<32, 8, luma_32x8, chroma_cell_411>;
  d.mb411_right = write<16, 16, luma_16x16, chroma_cell_411_right>;
  d.mb420 = write<16, 16, luma_16x16, chroma_cell_420>;
}

}  // namespace tarsk::dsp
