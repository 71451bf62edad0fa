// The output tables of every clamp setting, and the writer of a target.
#include "decode/output/output.h"

namespace tarsk::output {
namespace {

Tables all[2][2];  // [clamp_luma][clamp_chroma]

}  // namespace

void init() {
  for (int l = 0; l < 2; ++l)
    for (int c = 0; c < 2; ++c) {
      build_yuy2(all[l][c].yuy2, l, c);
      build_rgb(all[l][c].rgb, l, c);
      build_yv12(all[l][c].yv12, l, c);
    }
}

const Tables &tables(int clamp_luma, int clamp_chroma) {
  return all[clamp_luma == 1][clamp_chroma == 1];
}

Target packed_target(dv_color_space_t space, uint8_t *pixels, int pitch) {
  Target target;
  switch (space) {
    case e_dv_color_yuv:
      target.layout = Layout::yuy2;
      break;
    case e_dv_color_rgb:
      target.layout = Layout::rgb;
      break;
    case e_dv_color_bgr0:
      target.layout = Layout::bgr0;
      break;
    default:
      return target;
  }
  target.plane[0] = pixels;
  target.pitch[0] = pitch;
  return target;
}

int bytes_per_pixel(Layout layout) {
  switch (layout) {
    case Layout::yuy2:
      return 2;
    case Layout::rgb:
      return 3;
    case Layout::bgr0:
      return 4;
    default:
      return 1;
  }
}

void write_macroblock(const dv_macroblock_t *mb, dv_sample_t sampling, const Target &target,
                      const Tables &t, bool setup) {
  // 4:1:1 pictures end in a column of 16x16 macroblocks from x = 704 on.
  const Shape shape = sampling != e_dv_sample_411 ? Shape::mb420
                      : mb->x > 703              ? Shape::mb411_right
                                                 : Shape::mb411;
  uint8_t *pixels = target.plane[0];
  const int pitch = static_cast<int>(target.pitch[0]);
  switch (target.layout) {
    case Layout::yuy2: {
      const dsp::Yuy2Dsp &k = dsp::dsp().yuy2;
      const dsp::Yuy2Writer w = shape == Shape::mb420   ? k.mb420
                                : shape == Shape::mb411 ? k.mb411
                                                        : k.mb411_right;
      w(mb, pixels, pitch, t.yuy2, setup && shape != Shape::mb420);
      break;
    }
    case Layout::rgb:
      write_rgb(mb, shape, pixels, pitch, t.rgb, setup);
      break;
    case Layout::bgr0:
      write_bgr0(mb, shape, pixels, pitch, t.rgb, setup);
      break;
    case Layout::planar:
      write_planar(mb, shape, target, t.yuy2, setup && shape != Shape::mb420);
      break;
    case Layout::none:
      break;
  }
}

}  // namespace tarsk::output
