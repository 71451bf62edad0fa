// RGB (R, G, B) and BGR0 (B, G, R, 0) output through the ITU-R BT.601
// matrix in fixed point with 10 fraction bits. Chroma is not interpolated:
// each pixel takes the chroma sample of the cell it lies in.
#include <algorithm>
#include <cmath>

#include "decode/output/output.h"

namespace tarsk::output {
namespace {

enum class Order { rgb, bgr0 };

template <int width, int height, int (*luma)(const dv_macroblock_t *, int, int),
          int (*cell)(int, int), Order order>
void write(const dv_macroblock_t *mb, uint8_t *pixels, int pitch, const RgbTables &t,
           bool setup) {
  constexpr int bytes = order == Order::rgb ? 3 : 4;
  const auto &y = setup ? t.y_setup : t.y;
  uint8_t *line_start = pixels + mb->y * pitch + mb->x * bytes;
  for (int line = 0; line < height; ++line, line_start += pitch) {
    uint8_t *out = line_start;
    for (int px = 0; px < width; ++px, out += bytes) {
      const int c = cell(line, px);
      const ChromaOffsets offsets = chroma_offsets(chroma_index(mb->b[4].coeffs[c]),
                                                   chroma_index(mb->b[5].coeffs[c]), t);
      put_rgb_pixel<order == Order::bgr0>(out, y[luma_index(luma(mb, line, px))], offsets, t);
    }
  }
}

template <Order order>
void write_shape(const dv_macroblock_t *mb, Shape shape, uint8_t *pixels, int pitch,
                 const RgbTables &t, bool setup) {
  switch (shape) {
    case Shape::mb411:
      write<32, 8, luma_32x8, chroma_cell_411, order>(mb, pixels, pitch, t, setup);
      break;
    case Shape::mb411_right:
      write<16, 16, luma_16x16, chroma_cell_411_right, order>(mb, pixels, pitch, t, setup);
      break;
    case Shape::mb420:  // 4:2:0 pictures are 625/50: no set-up
      write<16, 16, luma_16x16, chroma_cell_420, order>(mb, pixels, pitch, t, false);
      break;
  }
}

int32_t fixed10(double value) { return static_cast<int32_t>(std::nearbyint(value)); }

}  // namespace

void build_rgb(RgbTables &t, bool clamp_luma, bool clamp_chroma) {
  for (int c = -128; c <= 127; ++c) {
    const int cc = clamp_chroma ? std::clamp(c, -112, 112) : c;
    t.cb_blue[c] = fixed10(cc * 2066.432);
    t.cr_green[c] = fixed10(cc * 832.512);
    t.cb_green[c] = fixed10(cc * 400.384);
    t.cr_red[c] = fixed10(cc * 1634.304);
  }
  for (int s = -256; s <= 511; ++s) {
    const int l = clamp_luma ? std::clamp(s + 128, 16, 235) : s + 128;
    t.y[s] = fixed10((l - 16) * 1191.936);
    t.y_setup[s] = fixed10(l * 1191.936);
  }
  for (int i = -256; i <= 511; ++i) t.saturate[i] = static_cast<uint8_t>(std::clamp(i, 0, 255));
}

void write_rgb(const dv_macroblock_t *mb, Shape shape, uint8_t *pixels, int pitch,
               const RgbTables &t, bool setup) {
  write_shape<Order::rgb>(mb, shape, pixels, pitch, t, setup);
}

void write_bgr0(const dv_macroblock_t *mb, Shape shape, uint8_t *pixels, int pitch,
                const RgbTables &t, bool setup) {
  write_shape<Order::bgr0>(mb, shape, pixels, pitch, t, setup);
}

}  // namespace tarsk::output
