#include "test_source.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace tarsk::cli {

namespace {

struct Colour {
  uint8_t y, cb, cr;
};

// ITU-R BT.601 studio-range Y'CbCr of R'G'B' from 0 to 1, rounded.
Colour colour_of(double r, double g, double b) {
  const double e = 0.299 * r + 0.587 * g + 0.114 * b;
  auto round = [](double v) { return static_cast<uint8_t>(std::floor(v + 0.5)); };
  return {round(16 + 219 * e), round(128 + 224 * (b - e) / 1.772),
          round(128 + 224 * (r - e) / 1.402)};
}

// The eight bars in order at 75% amplitude: R'G'B' corners of the cube
// from white down to black.
Colour bar_colour(int bar) {
  static const bool rgb[8][3] = {{1, 1, 1}, {1, 1, 0}, {0, 1, 1}, {0, 1, 0},
                                 {1, 0, 1}, {1, 0, 0}, {0, 0, 1}, {0, 0, 0}};
  const auto *c = rgb[bar];
  return colour_of(0.75 * c[0], 0.75 * c[1], 0.75 * c[2]);
}

struct Geometry {
  int width, height, cw, ch, step;
  bool pairs;  // 4:2:0 chroma lies between the lines of each pair
};

Geometry geometry(tarsk_system system, Sampling sampling) {
  const int h = system == TARSK_SYSTEM_625_50 ? 576 : 480;
  const bool is420 = sampling == Sampling::s420;
  return {720, h, chroma_width(sampling, 720), chroma_height(sampling, h), is420 ? 2 : 4, is420};
}

// The colour at pixel (x, y) of bars in frame `index`.
Colour bars_at(const Geometry &g, int x, int y, uint64_t index) {
  if (y < g.height * 3 / 4) return bar_colour(std::clamp(x * 8 / g.width, 0, 7));
  const int block = static_cast<int>((index * 8) % static_cast<uint64_t>(g.width));
  const bool inside = (x - block + g.width) % g.width < 48;
  return inside ? Colour{235, 128, 128} : Colour{16, 128, 128};
}

void draw_bars(Picture &p, const Geometry &g, uint64_t index) {
  for (int y = 0; y < g.height; ++y)
    for (int x = 0; x < g.width; ++x)
      p.y[static_cast<size_t>(y * g.width + x)] = bars_at(g, x, y, index).y;
  for (int j = 0; j < g.ch; ++j)
    for (int i = 0; i < g.cw; ++i) {
      // A chroma sample takes the colour of its site: its first pixel, on
      // the first line of its pair (the bars have no vertical edge there
      // that the pair would straddle but the bars' own bottom).
      const Colour c = bars_at(g, i * g.step, g.pairs ? 2 * j : j, index);
      p.cb[static_cast<size_t>(j * g.cw + i)] = c.cb;
      p.cr[static_cast<size_t>(j * g.cw + i)] = c.cr;
    }
}

void draw_ramp(Picture &p, const Geometry &g, uint64_t index) {
  const auto shift = static_cast<int>((index * 4) % static_cast<uint64_t>(g.width));
  for (int x = 0; x < g.width; ++x) {
    const int at = (x + shift) % g.width;
    const auto v = static_cast<uint8_t>(16 + (219 * at * 2 + (g.width - 1)) / (2 * (g.width - 1)));
    for (int y = 0; y < g.height; ++y) p.y[static_cast<size_t>(y * g.width + x)] = v;
  }
}

void draw_zone_plate(Picture &p, const Geometry &g, uint64_t index) {
  const double phase = std::numbers::pi * static_cast<double>(index % 16) / 8;
  for (int y = 0; y < g.height; ++y)
    for (int x = 0; x < g.width; ++x) {
      const double dx = x - g.width / 2, dy = y - g.height / 2;
      const double c = std::cos(std::numbers::pi * (dx * dx + dy * dy) / 920 + phase);
      p.y[static_cast<size_t>(y * g.width + x)] =
          static_cast<uint8_t>(std::floor(16 + 219 * (1 + c) / 2 + 0.5));
    }
}

}  // namespace

std::optional<Pattern> pattern_named(const std::string &name) {
  if (name == "bars") return Pattern::bars;
  if (name == "ramp") return Pattern::ramp;
  if (name == "zoneplate") return Pattern::zoneplate;
  return std::nullopt;
}

Picture test_picture(Pattern pattern, tarsk_system system, Sampling sampling, uint64_t index) {
  const Geometry g = geometry(system, sampling);
  Picture p = blank_picture(g.width, g.height, sampling);
  switch (pattern) {
    case Pattern::bars:
      draw_bars(p, g, index);
      break;
    case Pattern::ramp:
      draw_ramp(p, g, index);
      break;
    case Pattern::zoneplate:
      draw_zone_plate(p, g, index);
      break;
  }
  return p;
}

std::vector<int16_t> Tone::next(size_t frames) {
  const double peak = 32767 * std::pow(10.0, -18.0 / 20);
  std::vector<int16_t> samples(frames * 2);
  for (size_t i = 0; i < frames; ++i, ++position_) {
    // The phase in whole parts of a second keeps its precision however
    // long the tone runs.
    const uint64_t cycle = (position_ * 1000) % static_cast<uint64_t>(rate_);
    const double v = peak * std::sin(2 * std::numbers::pi * static_cast<double>(cycle) / rate_);
    samples[2 * i] = samples[2 * i + 1] = static_cast<int16_t>(std::lround(v));
  }
  return samples;
}

}  // namespace tarsk::cli
