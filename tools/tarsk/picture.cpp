#include "picture.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>

namespace tarsk::cli {

namespace {

// Where a sampling keeps chroma: every `step`th pixel of a line, and
// vertically on every line, halfway between the lines of each pair, or
// halfway between the lines of each pair of a field (picture lines 4m + f
// and 4m + f + 2 for chroma line 2m + f, as interlaced DV has it).
enum class Vertical { lines, frame_pairs, field_pairs };
struct Siting {
  int step;
  Vertical vertical;
};

Siting siting_of(Sampling sampling, bool field_chroma = true) {
  switch (sampling) {
    case Sampling::s420:
      return {2, field_chroma ? Vertical::field_pairs : Vertical::frame_pairs};
    case Sampling::s411:
      return {4, Vertical::lines};
    case Sampling::s422:
      return {2, Vertical::lines};
    default:
      return {1, Vertical::lines};
  }
}

// The source samples one output sample is made of: weights[k] applies to
// sample first + k x step, the sum divided by `divisor`. Samples beyond
// the plane are its first or last one; with a step of 2 (the lines of one
// field) its first or last one of the same parity.
struct Taps {
  int first = 0, count = 0;
  std::array<int, 7> weights{};
  int divisor = 1;
  int step = 1;
};

Taps single(int at) { return {at, 1, {1}, 1}; }

int tap_index(const Taps &t, int k, int size) {
  const int at = t.first + k * t.step;
  if (t.step == 1) return std::clamp(at, 0, size - 1);
  const int parity = ((t.first % 2) + 2) % 2;
  return std::clamp(at, parity, size - 1 - (size - 1 - parity) % 2);
}

// Horizontal taps for output sample i (see picture.h).
Taps horizontal_taps(int from_step, int to_step, int i) {
  if (from_step == to_step) return single(i);
  if (from_step < to_step) {  // thinning by r: a triangle of 2r - 1 taps
    const int r = to_step / from_step;
    Taps t{i * r - (r - 1), 2 * r - 1, {}, r * r};
    for (int k = 0; k < t.count; ++k) t.weights[static_cast<size_t>(k)] = r - std::abs(k - (r - 1));
    return t;
  }
  // Every fourth pixel to every other: the sample itself, or the mean of two.
  if (i % 2 == 0) return single(i / 2);
  return {(i - 1) / 2, 2, {1, 1}, 2};
}

// Vertical taps for output line j (see picture.h).
Taps vertical_taps(Vertical from, Vertical to, int j) {
  if (from == to) return single(j);
  if (to != Vertical::lines) {
    if (from != Vertical::lines) return single(j);  // 4:2:0 to 4:2:0 as it is
    // [-1 9 9 -1]/16 about the place of chroma line j: between picture
    // lines 2j and 2j + 1, or between its field's lines 2j - f and
    // 2j - f + 2.
    if (to == Vertical::frame_pairs) return {2 * j - 1, 4, {-1, 9, 9, -1}, 16};
    return {2 * j - j % 2 - 2, 4, {-1, 9, 9, -1}, 16, 2};
  }
  if (from == Vertical::frame_pairs) {
    const int k = j / 2;
    return j % 2 == 0 ? Taps{k - 1, 2, {1, 3}, 4} : Taps{k, 2, {3, 1}, 4};
  }
  // Field pairs to every line: 3/4 of the field's nearest chroma line, 1/4
  // of its next nearest (the field's first and last lines repeated).
  const int f = j % 2, near = 2 * (j / 4) + f;
  const int far = (j / 2) % 2 == 0 ? near - 2 : near + 2;
  return far < near ? Taps{far, 2, {1, 3}, 4, 2} : Taps{near, 2, {3, 1}, 4, 2};
}

// One chroma plane from another, each output sample rounded once to the
// nearest (halves up). Sample is uint8_t (integer sums) or double.
template <typename Sample>
std::vector<uint8_t> resample_plane(const std::vector<Sample> &src, int src_w, int src_h,
                                    Siting from, Siting to, int dst_w, int dst_h) {
  std::vector<Taps> columns(static_cast<size_t>(dst_w));
  for (int i = 0; i < dst_w; ++i)
    columns[static_cast<size_t>(i)] = horizontal_taps(from.step, to.step, i);
  std::vector<uint8_t> out(static_cast<size_t>(dst_w) * static_cast<size_t>(dst_h));
  uint8_t *dst = out.data();
  for (int j = 0; j < dst_h; ++j) {
    const Taps v = vertical_taps(from.vertical, to.vertical, j);
    for (const Taps &h : columns) {
      using Sum = std::conditional_t<std::is_same_v<Sample, double>, double, int>;
      Sum sum = 0;
      for (int a = 0; a < v.count; ++a) {
        const int line = tap_index(v, a, src_h);
        const Sample *row = src.data() + static_cast<size_t>(line) * static_cast<size_t>(src_w);
        Sum line_sum = 0;
        for (int b = 0; b < h.count; ++b)
          line_sum +=
              h.weights[static_cast<size_t>(b)] * row[tap_index(h, b, src_w)];
        sum += v.weights[static_cast<size_t>(a)] * line_sum;
      }
      const int divisor = v.divisor * h.divisor;
      if constexpr (std::is_same_v<Sample, double>)
        *dst++ = static_cast<uint8_t>(std::clamp(std::floor(sum / divisor + 0.5), 0.0, 255.0));
      else
        *dst++ = static_cast<uint8_t>(
            std::clamp(static_cast<int>(std::floor((sum + divisor / 2.0) / divisor)), 0, 255));
    }
  }
  return out;
}

// ITU-R BT.601 R'G'B' (0 to 255) to studio-range Y'CbCr, unrounded.
struct YCbCr {
  double y, cb, cr;
};

YCbCr ycbcr_of(uint8_t r, uint8_t g, uint8_t b) {
  const double er = r / 255.0, eg = g / 255.0, eb = b / 255.0;
  const double ey = 0.299 * er + 0.587 * eg + 0.114 * eb;
  return {16 + 219 * ey, 128 + 224 * (eb - ey) / 1.772, 128 + 224 * (er - ey) / 1.402};
}

uint8_t rounded(double v) {
  return static_cast<uint8_t>(std::clamp(std::floor(v + 0.5), 0.0, 255.0));
}

Picture from_rgb(const Picture &in, Sampling target) {
  Picture out = blank_picture(in.width, in.height, target);
  out.interlaced = in.interlaced;
  out.top_field_first = in.top_field_first;
  const size_t pixels = static_cast<size_t>(in.width) * static_cast<size_t>(in.height);
  std::vector<double> cb(pixels), cr(pixels);
  for (size_t p = 0; p < pixels; ++p) {
    const YCbCr c = ycbcr_of(in.rgb[3 * p], in.rgb[3 * p + 1], in.rgb[3 * p + 2]);
    out.y[p] = rounded(c.y);
    cb[p] = c.cb;
    cr[p] = c.cr;
  }
  const Siting to = siting_of(target, in.interlaced);
  const int cw = chroma_width(target, in.width), ch = chroma_height(target, in.height);
  const Siting from{1, Vertical::lines};
  out.field_chroma = in.interlaced;
  out.cb = resample_plane(cb, in.width, in.height, from, to, cw, ch);
  out.cr = resample_plane(cr, in.width, in.height, from, to, cw, ch);
  return out;
}

}  // namespace

std::string sampling_label(Sampling sampling) {
  switch (sampling) {
    case Sampling::s420:
      return "4:2:0";
    case Sampling::s411:
      return "4:1:1";
    case Sampling::s422:
      return "4:2:2";
    case Sampling::s444:
      return "4:4:4";
    case Sampling::rgb:
      return "RGB";
  }
  return "?";
}

int chroma_width(Sampling sampling, int width) {
  const int step = siting_of(sampling).step;
  return (width + step - 1) / step;
}

int chroma_height(Sampling sampling, int height) {
  return siting_of(sampling).vertical != Vertical::lines ? (height + 1) / 2 : height;
}

Picture blank_picture(int width, int height, Sampling sampling) {
  Picture p;
  p.width = width;
  p.height = height;
  p.sampling = sampling;
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  if (sampling == Sampling::rgb) {
    p.rgb.assign(pixels * 3, 0);
    return p;
  }
  p.y.assign(pixels, 16);
  const size_t chroma = static_cast<size_t>(chroma_width(sampling, width)) *
                        static_cast<size_t>(chroma_height(sampling, height));
  p.cb.assign(chroma, 128);
  p.cr.assign(chroma, 128);
  return p;
}

void full_to_studio_range(Picture &picture, bool chroma) {
  std::array<uint8_t, 256> luma{}, colour{};
  for (int v = 0; v < 256; ++v) {
    luma[static_cast<size_t>(v)] = rounded(16 + 219.0 * v / 255);
    colour[static_cast<size_t>(v)] = rounded(128 + 224.0 * (v - 128) / 255);
  }
  for (uint8_t &s : picture.y) s = luma[s];
  if (!chroma) return;
  for (auto *plane : {&picture.cb, &picture.cr})
    for (uint8_t &s : *plane) s = colour[s];
}

Picture to_stream_sampling(Picture picture, StreamSampling stream) {
  const Sampling target = stream == StreamSampling::s411 ? Sampling::s411 : Sampling::s420;
  if (picture.sampling == target) return picture;
  if (picture.sampling == Sampling::rgb) return from_rgb(picture, target);

  const Siting from = siting_of(picture.sampling, picture.field_chroma),
               to = siting_of(target, picture.interlaced);
  const int sw = chroma_width(picture.sampling, picture.width);
  const int sh = chroma_height(picture.sampling, picture.height);
  const int dw = chroma_width(target, picture.width), dh = chroma_height(target, picture.height);
  picture.cb = resample_plane(picture.cb, sw, sh, from, to, dw, dh);
  picture.cr = resample_plane(picture.cr, sw, sh, from, to, dw, dh);
  picture.sampling = target;
  picture.field_chroma = picture.interlaced;
  return picture;
}

}  // namespace tarsk::cli
