// The tables of packed 4:2:2 output, two bytes per pixel: Y, Cb, Y, Cr (the
// writers are dsp/'s kernels). Every table is a clamp: sample + 128 (+ 16
// with the NTSC set-up), held between two limits.
#include "decode/output/output.h"

#include <algorithm>

namespace tarsk::output {

void build_yuy2(dsp::Yuy2Tables &t, bool clamp_luma, bool clamp_chroma) {
  for (int s = -128; s <= 127; ++s)
    t.uv[s] = static_cast<uint8_t>(clamp_chroma ? std::clamp(s + 128, 16, 240) : s + 128);
  for (int s = -256; s <= 511; ++s) {
    t.y[s] = static_cast<uint8_t>(clamp_luma ? std::clamp(s + 128, 16, 235)
                                             : std::clamp(s + 128, 0, 255));
    t.y_setup[s] = static_cast<uint8_t>(std::min(t.y[s] + 16, 255));
  }
  t.luma_low = t.y[-256];
  t.luma_high = t.y[511];
  t.chroma_low = t.uv[-128];
  t.chroma_high = t.uv[127];
}

}  // namespace tarsk::output
