// Concealment of damaged macroblocks with the previous picture's.
#include "decode/conceal.h"

#include <cstring>

#include "common/dif.h"
#include "common/place.h"

namespace tarsk {

namespace {

struct Rect {
  int x, y, width, height;
};

// Where macroblock m of video segment n lies in the picture: 16x16 in
// 4:2:0, 32x8 in 4:1:1 but for the 16x16 ones of the right edge.
Rect macroblock_rect(int n, int m, int sequences, dv_sample_t sampling) {
  const auto at = dif::macroblock_address(n / dif::segments_per_sequence,
                                          n % dif::segments_per_sequence, m, sequences);
  dv_macroblock_t mb{};
  mb.i = at.i;
  mb.j = at.j;
  mb.k = at.k;
  place_macroblock(&mb, sampling);
  if (sampling == e_dv_sample_411 && mb.x < 704) return {mb.x, mb.y, 32, 8};
  return {mb.x, mb.y, 16, 16};
}

size_t bytes_per_pixel(dv_color_space_t space) {
  return space == e_dv_color_rgb ? 3 : space == e_dv_color_bgr0 ? 4 : 2;
}

}  // namespace

int PreviousPicture::conceal(const dv_decoder_t *dv, dv_color_space_t space,
                             const FrameDamage &damage, uint8_t *out, size_t pitch) {
  const int sequences = dv->num_dif_seqs;
  const size_t pixel = bytes_per_pixel(space);
  const size_t line = static_cast<size_t>(dv->width) * pixel;
  const bool same = have_ && sequences_ == sequences && sampling_ == dv->sampling &&
                    space_ == space && line_ == line && height_ == dv->height;
  int count = 0;
  for (int i = 0; i < sequences * dif::segments_per_sequence * dif::macroblocks_per_segment; ++i) {
    if (!damage.macroblocks[i]) continue;
    ++count;
    if (!same) continue;
    const Rect r = macroblock_rect(i / 5, i % 5, sequences, dv->sampling);
    for (int y = r.y; y < r.y + r.height; ++y)
      std::memcpy(out + static_cast<size_t>(y) * pitch + static_cast<size_t>(r.x) * pixel,
                  pixels_.data() + static_cast<size_t>(y) * line + static_cast<size_t>(r.x) * pixel,
                  static_cast<size_t>(r.width) * pixel);
  }
  pixels_.resize(line * static_cast<size_t>(dv->height));
  for (int y = 0; y < dv->height; ++y)
    std::memcpy(pixels_.data() + static_cast<size_t>(y) * line,
                out + static_cast<size_t>(y) * pitch, line);
  line_ = line;
  height_ = dv->height;
  sequences_ = sequences;
  sampling_ = dv->sampling;
  space_ = space;
  have_ = true;
  return count;
}

}  // namespace tarsk
