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

// A plane of a target: its bytes per sample and how it thins the picture.
struct Plane {
  int bytes, shift_x, shift_y;
};

int planes_of(const output::Target &target) {
  return target.layout == output::Layout::planar ? 3 : 1;
}

Plane plane_of(const output::Target &target, int p) {
  if (p == 0) return {output::bytes_per_pixel(target.layout), 0, 0};
  return {1, target.chroma_shift_x, target.chroma_shift_y};
}

// The bytes of a rectangle of the picture in one plane.
struct Span {
  size_t x, width;
  int y, height;
};

Span span_of(Rect r, Plane p) {
  return {static_cast<size_t>(r.x >> p.shift_x) * static_cast<size_t>(p.bytes),
          static_cast<size_t>(r.width >> p.shift_x) * static_cast<size_t>(p.bytes),
          r.y >> p.shift_y, r.height >> p.shift_y};
}

}  // namespace

int PreviousPicture::conceal(const dv_decoder_t *dv, const output::Target &target,
                             const FrameDamage &damage) {
  const int sequences = dv->num_dif_seqs;
  const Rect whole{0, 0, dv->width, dv->height};
  const bool same = have_ && sequences_ == sequences && sampling_ == dv->sampling &&
                    layout_ == target.layout && shift_x_ == target.chroma_shift_x &&
                    shift_y_ == target.chroma_shift_y && height_ == dv->height;
  int count = 0;
  for (int i = 0; i < sequences * dif::segments_per_sequence * dif::macroblocks_per_segment; ++i) {
    if (!damage.macroblocks[i]) continue;
    ++count;
    if (!same) continue;
    const Rect r = macroblock_rect(i / 5, i % 5, sequences, dv->sampling);
    for (int p = 0; p < planes_of(target); ++p) {
      const Plane plane = plane_of(target, p);
      const Span s = span_of(r, plane), line = span_of(whole, plane);
      for (int y = s.y; y < s.y + s.height; ++y)
        std::memcpy(target.plane[p] + y * target.pitch[p] + s.x,
                    planes_[p].data() + static_cast<size_t>(y) * line.width + s.x, s.width);
    }
  }
  for (int p = 0; p < planes_of(target); ++p) {
    const Span line = span_of(whole, plane_of(target, p));
    planes_[p].resize(line.width * static_cast<size_t>(line.height));
    for (int y = 0; y < line.height; ++y)
      std::memcpy(planes_[p].data() + static_cast<size_t>(y) * line.width,
                  target.plane[p] + y * target.pitch[p], line.width);
  }
  height_ = dv->height;
  sequences_ = sequences;
  sampling_ = dv->sampling;
  layout_ = target.layout;
  shift_x_ = target.chroma_shift_x;
  shift_y_ = target.chroma_shift_y;
  have_ = true;
  return count;
}

}  // namespace tarsk
