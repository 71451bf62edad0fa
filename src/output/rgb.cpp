// RGB (R, G, B) and BGR0 (B, G, R, 0) output through the ITU-R BT.601
// matrix in fixed point with 10 fraction bits. Chroma is not interpolated:
// each pixel takes the chroma sample of the cell it lies in.
#include <cmath>

#include "output/output.h"

namespace {

using tarsk::OffsetTable;

OffsetTable<int32_t, -128, 127> table_2_018;  // Cb to blue
OffsetTable<int32_t, -128, 127> table_0_813;  // Cr to green
OffsetTable<int32_t, -128, 127> table_0_391;  // Cb to green
OffsetTable<int32_t, -128, 127> table_1_596;  // Cr to red
OffsetTable<int32_t, -256, 511> ylut;
OffsetTable<int32_t, -256, 511> ylut_setup;
OffsetTable<uint8_t, -256, 511> rgblut;  // saturation to 0..255

inline uint8_t saturate(int32_t fixed) { return rgblut[tarsk::luma_index(fixed >> 10)]; }

enum class Order { rgb, bgr0 };

template <int width, int height, int (*luma)(const dv_macroblock_t *, int, int),
          int (*cell)(int, int), Order order>
void write(const dv_macroblock_t *mb, uint8_t **pixels, const int *pitches,
           const OffsetTable<int32_t, -256, 511> &y) {
  constexpr int bytes = order == Order::rgb ? 3 : 4;
  uint8_t *line_start = pixels[0] + mb->y * pitches[0] + mb->x * bytes;
  for (int line = 0; line < height; ++line, line_start += pitches[0]) {
    uint8_t *out = line_start;
    for (int px = 0; px < width; ++px, out += bytes) {
      const int c = cell(line, px);
      const int cr = tarsk::chroma_index(mb->b[4].coeffs[c]);
      const int cb = tarsk::chroma_index(mb->b[5].coeffs[c]);
      const int32_t l = y[tarsk::luma_index(luma(mb, line, px))];
      const uint8_t r = saturate(l + table_1_596[cr]);
      const uint8_t g = saturate(l - (table_0_813[cr] + table_0_391[cb]));
      const uint8_t b = saturate(l + table_2_018[cb]);
      if constexpr (order == Order::rgb) {
        out[0] = r;
        out[1] = g;
        out[2] = b;
      } else {
        out[0] = b;
        out[1] = g;
        out[2] = r;
        out[3] = 0;
      }
    }
  }
}

const OffsetTable<int32_t, -256, 511> &luma_table(int add_ntsc_setup) {
  return add_ntsc_setup == 1 ? ylut_setup : ylut;
}

int32_t fixed10(double value) { return static_cast<int32_t>(std::nearbyint(value)); }

}  // namespace

extern "C" {

void dv_rgb_init(int clamp_luma, int clamp_chroma) {
  for (int c = -128; c <= 127; ++c) {
    const int cc = clamp_chroma == 1 ? std::clamp(c, -112, 112) : c;
    table_2_018[c] = fixed10(cc * 2066.432);
    table_0_813[c] = fixed10(cc * 832.512);
    table_0_391[c] = fixed10(cc * 400.384);
    table_1_596[c] = fixed10(cc * 1634.304);
  }
  for (int s = -256; s <= 511; ++s) {
    const int l = clamp_luma == 1 ? std::clamp(s + 128, 16, 235) : s + 128;
    ylut[s] = fixed10((l - 16) * 1191.936);
    ylut_setup[s] = fixed10(l * 1191.936);
  }
  for (int i = -256; i <= 511; ++i) rgblut[i] = static_cast<uint8_t>(std::clamp(i, 0, 255));
}

void dv_mb411_rgb(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup) {
  write<32, 8, tarsk::luma_32x8, tarsk::chroma_cell_411, Order::rgb>(mb, pixels, pitches,
                                                                     luma_table(add_ntsc_setup));
}

void dv_mb411_right_rgb(dv_macroblock_t *mb, uint8_t **pixels, int *pitches,
                        int add_ntsc_setup) {
  write<16, 16, tarsk::luma_16x16, tarsk::chroma_cell_411_right, Order::rgb>(
      mb, pixels, pitches, luma_table(add_ntsc_setup));
}

void dv_mb420_rgb(dv_macroblock_t *mb, uint8_t **pixels, int *pitches) {
  write<16, 16, tarsk::luma_16x16, tarsk::chroma_cell_420, Order::rgb>(mb, pixels, pitches,
                                                                       ylut);
}

void dv_mb411_bgr0(dv_macroblock_t *mb, uint8_t **pixels, int *pitches, int add_ntsc_setup) {
  write<32, 8, tarsk::luma_32x8, tarsk::chroma_cell_411, Order::bgr0>(mb, pixels, pitches,
                                                                      luma_table(add_ntsc_setup));
}

void dv_mb411_right_bgr0(dv_macroblock_t *mb, uint8_t **pixels, int *pitches,
                         int add_ntsc_setup) {
  write<16, 16, tarsk::luma_16x16, tarsk::chroma_cell_411_right, Order::bgr0>(
      mb, pixels, pitches, luma_table(add_ntsc_setup));
}

void dv_mb420_bgr0(dv_macroblock_t *mb, uint8_t **pixels, int *pitches) {
  write<16, 16, tarsk::luma_16x16, tarsk::chroma_cell_420, Order::bgr0>(mb, pixels, pitches,
                                                                        ylut);
}

}  // extern "C"
