// 4:2:0 pictures spread to 4:2:2, YUY2, RGB and BGR0, each picture line's
// chroma interpolated from the two chroma lines nearest it.
//
// Interlaced: a 625/50 picture's two fields are 1/50 s apart, and its
// 4:2:0 chroma is carried per field: chroma line 2m + f belongs to field f
// (f = 0 the picture lines 0, 2, 4, ...) and sits between that field's
// lines 2m and 2m + 1, picture lines 4m + f and 4m + f + 2. Each picture
// line takes the chroma of its own field only: field line j lies a quarter
// of a chroma line from the field's chroma line j / 2, towards the one
// before when j is even and the one after when j is odd, so it takes 3/4
// of that line and 1/4 of the neighbour.
//
// Progressive: chroma line k sits between picture lines 2k and 2k + 1;
// line 2k takes 3/4 of it and 1/4 of line k - 1, line 2k + 1 3/4 of it and
// 1/4 of line k + 1.
//
// The first and last chroma lines (of a field) stand in for the lines
// beyond them.
#include <algorithm>

#include "decode/output/output.h"

namespace tarsk::output {

ChromaLines chroma_lines_of(int line, int chroma_lines, bool fields) {
  if (!fields) {
    const int near = line >> 1;
    return {near, std::clamp(line % 2 == 0 ? near - 1 : near + 1, 0, chroma_lines - 1)};
  }
  const int field = line & 1, j = line >> 1;
  const int near = 2 * (j >> 1) + field;
  const int last = chroma_lines - 2 + field;  // the field's last chroma line
  return {near, std::clamp(j % 2 == 0 ? near - 2 : near + 2, field, last)};
}

namespace {

// One picture line's chroma at 4:2:2 (a sample for every second pixel)
// from the two 4:2:0 chroma lines it is made of.
void spread_line(const uint8_t *near, const uint8_t *far, uint8_t *out, int n) {
  for (int i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((3 * near[i] + far[i] + 2) >> 2);
}

template <bool bgr0>
void rgb_line(const uint8_t *y, const uint8_t *cb, const uint8_t *cr, uint8_t *out, int width,
              const RgbTables &t) {
  constexpr int bytes = bgr0 ? 4 : 3;
  // The tables take samples about zero, as the reconstruction gives them.
  for (int i = 0; i < width / 2; ++i, out += 2 * bytes) {
    const ChromaOffsets c = chroma_offsets(cr[i] - 128, cb[i] - 128, t);
    put_rgb_pixel<bgr0>(out, t.y[y[2 * i] - 128], c, t);
    put_rgb_pixel<bgr0>(out + bytes, t.y[y[2 * i + 1] - 128], c, t);
  }
}

}  // namespace

void write_spread_420(const Target &from, int width, int height, bool fields, const Target &to,
                      const Tables &t, int first, int last) {
  const int chroma_width = width / 2, chroma_lines = height / 2;
  uint8_t cb[360], cr[360];  // one line's 4:2:2 chroma, when it has no plane to go to
  for (int line = first; line < last; ++line) {
    const ChromaLines c = chroma_lines_of(line, chroma_lines, fields);
    const uint8_t *y = from.plane[0] + line * from.pitch[0];
    uint8_t *out = to.plane[0] + line * to.pitch[0];
    uint8_t *line_cb = cb, *line_cr = cr;
    if (to.layout == Layout::planar) {
      std::copy_n(y, width, out);
      line_cb = to.plane[1] + line * to.pitch[1];
      line_cr = to.plane[2] + line * to.pitch[2];
    }
    spread_line(from.plane[1] + c.near * from.pitch[1], from.plane[1] + c.far * from.pitch[1],
                line_cb, chroma_width);
    spread_line(from.plane[2] + c.near * from.pitch[2], from.plane[2] + c.far * from.pitch[2],
                line_cr, chroma_width);
    switch (to.layout) {
      case Layout::yuy2:
        for (int i = 0; i < chroma_width; ++i, out += 4) {
          out[0] = y[2 * i];
          out[1] = cb[i];
          out[2] = y[2 * i + 1];
          out[3] = cr[i];
        }
        break;
      case Layout::rgb:
        rgb_line<false>(y, cb, cr, out, width, t.rgb);
        break;
      case Layout::bgr0:
        rgb_line<true>(y, cb, cr, out, width, t.rgb);
        break;
      case Layout::planar:
      case Layout::none:
        break;
    }
  }
}

}  // namespace tarsk::output
