// Eight float lanes, one operation at a time: the plain lane type of the
// kernels written once over a lane type (dsp/idct_rounded.h,
// dsp/rd_trial.h), whose SIMD twins hold the lanes in a register.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

namespace tarsk::dsp {

struct Lanes {
  float v[8];
  friend Lanes operator+(const Lanes &a, const Lanes &b) {
    Lanes r;
    for (int i = 0; i < 8; ++i) r.v[i] = a.v[i] + b.v[i];
    return r;
  }
  friend Lanes operator-(const Lanes &a, const Lanes &b) {
    Lanes r;
    for (int i = 0; i < 8; ++i) r.v[i] = a.v[i] - b.v[i];
    return r;
  }
  friend Lanes operator*(const Lanes &a, const Lanes &b) {
    Lanes r;
    for (int i = 0; i < 8; ++i) r.v[i] = a.v[i] * b.v[i];
    return r;
  }
  static Lanes load(const float *p) {
    Lanes r;
    std::memcpy(r.v, p, sizeof r.v);
    return r;
  }
  static void store(float *p, const Lanes &x) { std::memcpy(p, x.v, sizeof x.v); }
  static Lanes splat(float x) {
    Lanes r;
    std::fill(std::begin(r.v), std::end(r.v), x);
    return r;
  }
  // Eight 16-bit samples as floats.
  static Lanes load_samples(const int16_t *p) {
    Lanes r;
    for (int i = 0; i < 8; ++i) r.v[i] = p[i];
    return r;
  }
};

// Eight rows of lanes swapped with their lanes.
inline void transpose(Lanes *rows) {
  for (int i = 0; i < 8; ++i)
    for (int j = i + 1; j < 8; ++j) std::swap(rows[i].v[j], rows[j].v[i]);
}

}  // namespace tarsk::dsp
