// Pixel output of reconstructed macroblocks. Each clamp setting (luma and
// chroma clamping on or off) has tables of its own, built once and only
// read after: every writer takes the tables it writes with, the
// decoder's own setting's for whole frames.
#pragma once

#include <tarsk/dv.h>

#include <cstddef>

#include "dsp/dsp.h"

namespace tarsk::output {

struct RgbTables {
  OffsetTable<int32_t, -128, 127> cb_blue, cr_green, cb_green, cr_red;
  OffsetTable<int32_t, -256, 511> y, y_setup;
  OffsetTable<uint8_t, -256, 511> saturate;
};

struct Yv12Tables {
  OffsetTable<uint8_t, -128, 127> uv;
  OffsetTable<uint8_t, -256, 511> y;
};

struct Tables {
  dsp::Yuy2Tables yuy2;
  RgbTables rgb;
  Yv12Tables yv12;
};

// Builds the tables of every setting; run once by the library's set-up.
void init();
// The tables of a setting: a flag of 1 clamps, any other value does not.
const Tables &tables(int clamp_luma, int clamp_chroma);

void build_yuy2(dsp::Yuy2Tables &t, bool clamp_luma, bool clamp_chroma);
void build_rgb(RgbTables &t, bool clamp_luma, bool clamp_chroma);
void build_yv12(Yv12Tables &t, bool clamp_luma, bool clamp_chroma);

// What a chroma pair (`cr` and `cb`, -128..127) adds to red and blue and
// takes from green, through the BT.601 tables.
struct ChromaOffsets {
  int32_t red, green, blue;
};
inline ChromaOffsets chroma_offsets(int cr, int cb, const RgbTables &t) {
  return {t.cr_red[cr], t.cr_green[cr] + t.cb_green[cb], t.cb_blue[cb]};
}

// One pixel from its luma table entry `l` and its chroma's offsets, as
// R, G, B or, `bgr0`, B, G, R, 0.
template <bool bgr0>
inline void put_rgb_pixel(uint8_t *out, int32_t l, ChromaOffsets c, const RgbTables &t) {
  auto saturate = [&](int32_t fixed) { return t.saturate[luma_index(fixed >> 10)]; };
  const uint8_t r = saturate(l + c.red), g = saturate(l - c.green), b = saturate(l + c.blue);
  if constexpr (bgr0) {
    out[0] = b;
    out[1] = g;
    out[2] = r;
    out[3] = 0;
  } else {
    out[0] = r;
    out[1] = g;
    out[2] = b;
  }
}

// The RGB and BGR0 writers of one placed macroblock, by its shape.
enum class Shape { mb411, mb411_right, mb420 };
void write_rgb(const dv_macroblock_t *mb, Shape shape, uint8_t *pixels, int pitch,
               const RgbTables &t, bool setup);
void write_bgr0(const dv_macroblock_t *mb, Shape shape, uint8_t *pixels, int pitch,
                const RgbTables &t, bool setup);
// The YV12 writer of a 4:2:0 macroblock: the luma plane, then the Cr (V)
// and Cb (U) planes at half width and half height.
void write_yv12(const dv_macroblock_t *mb, uint8_t *const *pixels, const uint16_t *pitches,
                const Yv12Tables &t);

// Where decoded macroblocks go: a packed picture (YUY2, RGB or BGR0) in
// plane 0, or planes of Y, Cb and Cr whose chroma is thinned by
// 2^chroma_shift_x across and 2^chroma_shift_y down (4:2:0 1 and 1, 4:1:1
// 2 and 0, 4:2:2 1 and 0), or nowhere (the frame is only parsed).
enum class Layout { none, yuy2, rgb, bgr0, planar };
struct Target {
  Layout layout = Layout::none;
  uint8_t *plane[3] = {};
  ptrdiff_t pitch[3] = {};
  int chroma_shift_x = 0, chroma_shift_y = 0;
};
// The target of a colour space of the C API (none for any other value).
Target packed_target(dv_color_space_t space, uint8_t *pixels, int pitch);
// Bytes a pixel takes in plane 0 of a layout.
int bytes_per_pixel(Layout layout);

// Writes a placed macroblock of a picture of the given sampling to a target
// with the tables of a setting. A planar target takes chroma at the
// picture's own sampling or 4:2:2 (each chroma sample of the picture's
// written to the cells it covers).
void write_macroblock(const dv_macroblock_t *mb, dv_sample_t sampling, const Target &target,
                      const Tables &t, bool setup);
void write_planar(const dv_macroblock_t *mb, Shape shape, const Target &target,
                  const dsp::Yuy2Tables &t, bool setup);

// The 4:2:0 chroma lines that picture line `line` is spread from, `near`
// (3/4) and `far` (1/4), in a plane of `chroma_lines` lines: of its own
// field for interlaced pictures (`fields`), else the nearest of all
// (fields.cpp says where they sit).
struct ChromaLines {
  int near, far;
};
ChromaLines chroma_lines_of(int line, int chroma_lines, bool fields);

// Writes lines first .. last - 1 of a picture `width` x `height` (at most
// 720 wide) from native 4:2:0 planes, as the planar writer leaves them, to
// a planar 4:2:2, YUY2, RGB or BGR0 target, its chroma spread by
// chroma_lines_of. The target's clamps are those the planes were written
// with.
void write_spread_420(const Target &from, int width, int height, bool fields, const Target &to,
                      const Tables &t, int first, int last);

}  // namespace tarsk::output
