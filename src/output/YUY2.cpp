// Packed 4:2:2 output, two bytes per pixel: Y, Cb, Y, Cr.
#include "output/output.h"

namespace {

using tarsk::OffsetTable;

OffsetTable<uint8_t, -128, 127> uvlut;
OffsetTable<uint8_t, -256, 511> ylut;
// The NTSC 7.5 IRE set-up: 16 steps of the 219-step luma scale.
OffsetTable<uint8_t, -256, 511> ylut_setup;

inline uint8_t chroma(const dv_block_t &b, int cell) {
  return uvlut[tarsk::chroma_index(b.coeffs[cell])];
}

// Writes a macroblock of `width` x `height` pixels: for each pair of
// pixels, their luma and the chroma of the cell the pair lies in.
template <int width, int height, int (*luma)(const dv_macroblock_t *, int, int),
          int (*cell)(int, int)>
void write(const dv_macroblock_t *mb, uint8_t **pixels, const int *pitches,
           const OffsetTable<uint8_t, -256, 511> &y) {
  uint8_t *line_start = pixels[0] + mb->y * pitches[0] + mb->x * 2;
  for (int line = 0; line < height; ++line, line_start += pitches[0]) {
    uint8_t *out = line_start;
    for (int px = 0; px < width; px += 2, out += 4) {
      const int c = cell(line, px);
      out[0] = y[tarsk::luma_index(luma(mb, line, px))];
      out[1] = chroma(mb->b[5], c);
      out[2] = y[tarsk::luma_index(luma(mb, line, px + 1))];
      out[3] = chroma(mb->b[4], c);
    }
  }
}

const OffsetTable<uint8_t, -256, 511> &luma_table(int add_ntsc_setup) {
  return add_ntsc_setup == 1 ? ylut_setup : ylut;
}

}  // namespace

extern "C" {

void dv_YUY2_init(int clamp_luma, int clamp_chroma) {
  for (int s = -128; s <= 127; ++s)
    uvlut[s] = static_cast<uint8_t>(clamp_chroma == 1 ? std::clamp(s + 128, 16, 240) : s + 128);
  for (int s = -256; s <= 511; ++s) {
    ylut[s] = static_cast<uint8_t>(clamp_luma == 1 ? std::clamp(s + 128, 16, 235)
                                                   : std::clamp(s + 128, 0, 255));
    ylut_setup[s] = static_cast<uint8_t>(std::min(ylut[s] + 16, 255));
  }
}

void dv_mb411_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup) {
  write<32, 8, tarsk::luma_32x8, tarsk::chroma_cell_411>(mb, pixels, pitches,
                                                         luma_table(add_ntsc_setup));
}

void dv_mb411_right_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches,
                         int add_ntsc_setup) {
  write<16, 16, tarsk::luma_16x16, tarsk::chroma_cell_411_right>(mb, pixels, pitches,
                                                                 luma_table(add_ntsc_setup));
}

void dv_mb420_YUY2(dv_macroblock_t *mb, uint8_t **pixels, int *pitches) {
  write<16, 16, tarsk::luma_16x16, tarsk::chroma_cell_420>(mb, pixels, pitches, ylut);
}

}  // extern "C"
