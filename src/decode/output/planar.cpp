// Planar output: a luma plane and two chroma planes, the chroma at the
// picture's own sampling or spread to 4:2:2. The clamps are YUY2's, so a
// planar 4:2:2 picture holds exactly the bytes of the YUY2 one.
#include "decode/output/output.h"

namespace tarsk::output {
namespace {

// Writes a macroblock of `width` x `height` pixels: every luma sample, and
// the chroma sample covering each pixel whose position the chroma planes
// sample (every 2^shift_x-th pixel of every 2^shift_y-th line).
template <int width, int height, int (*luma)(const dv_macroblock_t *, int, int),
          int (*cell)(int, int)>
void write(const dv_macroblock_t *mb, const Target &target, const dsp::Yuy2Tables &t,
           bool setup) {
  const auto &y = setup ? t.y_setup : t.y;
  uint8_t *luma_line = target.plane[0] + mb->y * target.pitch[0] + mb->x;
  for (int line = 0; line < height; ++line, luma_line += target.pitch[0])
    for (int px = 0; px < width; ++px) luma_line[px] = y[luma_index(luma(mb, line, px))];
  const int sx = target.chroma_shift_x, sy = target.chroma_shift_y;
  const ptrdiff_t cb_pitch = target.pitch[1], cr_pitch = target.pitch[2];
  uint8_t *cb_line = target.plane[1] + (mb->y >> sy) * cb_pitch + (mb->x >> sx);
  uint8_t *cr_line = target.plane[2] + (mb->y >> sy) * cr_pitch + (mb->x >> sx);
  for (int line = 0; line < height; line += 1 << sy, cb_line += cb_pitch, cr_line += cr_pitch)
    for (int px = 0, c = 0; px < width; px += 1 << sx, ++c) {
      const int at = cell(line, px);
      cb_line[c] = t.uv[chroma_index(mb->b[5].coeffs[at])];
      cr_line[c] = t.uv[chroma_index(mb->b[4].coeffs[at])];
    }
}

}  // namespace

void write_planar(const dv_macroblock_t *mb, Shape shape, const Target &target,
                  const dsp::Yuy2Tables &t, bool setup) {
  switch (shape) {
    case Shape::mb411:
      write<32, 8, luma_32x8, chroma_cell_411>(mb, target, t, setup);
      break;
    case Shape::mb411_right:
      write<16, 16, luma_16x16, chroma_cell_411_right>(mb, target, t, setup);
      break;
    case Shape::mb420:
      write<16, 16, luma_16x16, chroma_cell_420>(mb, target, t, setup);
      break;
  }
}

}  // namespace tarsk::output
