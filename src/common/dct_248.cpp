// The 2-4-8 DCT, used for blocks with motion between the two fields of an
// interlaced frame: each field's four lines get a 4-point vertical DCT,
// the block carries the sum of the two fields' coefficients in rows 0-3
// and their difference in rows 4-7, and an 8-point DCT runs horizontally.
// The inverse is here; the forward transform's kernels are in dsp/.
#include <cmath>
#include <initializer_list>

#include "common/transform.h"

namespace {

using tarsk::t16;
using tarsk::wrap32;

// Fixed-point constants with 30 fraction bits.
int32_t beta0, beta1, beta2, beta3, beta4;

int32_t fixed30(double value) { return static_cast<int32_t>(value * (1 << 30)); }

// a * beta >> 30 on the 64-bit product, cut to 32 bits.
inline int32_t mul(int32_t a, int32_t beta) {
  return wrap32((int64_t{a} * beta) >> 30);
}

// Wrapping 32-bit sums of the inverse transform.
inline int32_t add(int32_t a, int32_t b) { return wrap32(int64_t{a} + b); }
inline int32_t sub(int32_t a, int32_t b) { return wrap32(int64_t{a} - b); }

// Vertical 4-point inverse DCT of both halves of column c, into scratch.
void vertical(const dv_248_coeff_t *x248, int c, int32_t *t) {
  auto x = [&](int r) { return x248[r * 8 + c]; };
  t[0] = add(x(0) / 4, x(2) / 2);
  t[1] = sub(x(0) / 4, x(2) / 2);
  t[2] = add(mul(x(1), beta0), mul(x(3), beta1));
  t[3] = wrap32(-int64_t{add(x(1), x(3)) / 2});
  t[4] = add(x(4) / 4, x(6) / 2);
  t[5] = sub(x(4) / 4, x(6) / 2);
  t[6] = add(mul(x(5), beta0), mul(x(7), beta1));
  t[7] = wrap32(-int64_t{add(x(5), x(7)) / 2});
}

// Lines 2z and 2z + 1 of the block are the sum part's z-th value plus and
// minus the difference part's.
void recombine_fields(const int32_t *t, dv_248_coeff_t *x248, int c) {
  auto put = [&](int r, int32_t a, int32_t b, int32_t d, int32_t e) {
    x248[r * 8 + c] = add(add(a, b), add(d, e)) / 4;
  };
  const int32_t n3 = wrap32(-int64_t{t[3]}), n4 = wrap32(-int64_t{t[4]});
  const int32_t n5 = wrap32(-int64_t{t[5]}), n6 = wrap32(-int64_t{t[6]});
  const int32_t n7 = wrap32(-int64_t{t[7]}), n2 = wrap32(-int64_t{t[2]});
  put(0, t[0], n3, t[4], n7);
  put(1, t[0], n3, n4, t[7]);
  put(2, t[1], t[2], t[5], t[6]);
  put(3, t[1], t[2], n5, n6);
  put(4, t[1], n2, t[5], n6);
  put(5, t[1], n2, n5, t[6]);
  put(6, t[0], t[3], t[4], t[7]);
  put(7, t[0], t[3], n4, n7);
}

// Horizontal 8-point inverse DCT of one row, in place.
void horizontal(dv_248_coeff_t *y) {
  const int32_t u0 = y[0];
  const int32_t u1 = y[4];
  const int32_t u2 = mul(sub(y[2], y[6]), beta2);
  const int32_t u3 = add(y[2], y[6]);
  const int32_t u4 = add(mul(sub(y[3], y[5]), beta4), mul(sub(y[1], y[7]), beta3));
  const int32_t u5 = mul(add(sub(sub(y[1], y[3]), y[5]), y[7]), beta2);
  const int32_t u6 = add(mul(sub(y[5], y[3]), beta3), mul(sub(y[1], y[7]), beta4));
  const int32_t u7 = add(add(y[1], y[3]), add(y[5], y[7]));
  auto sum = [](std::initializer_list<int64_t> terms) {
    uint32_t s = 0;
    for (int64_t t : terms) s += static_cast<uint32_t>(t);
    return static_cast<int32_t>(s);
  };
  y[0] = sum({u0, u1, u2, u3, u6, u7});
  y[1] = sum({u0, -int64_t{u1}, u2, u5, u6});
  y[2] = sum({u0, -int64_t{u1}, -int64_t{u2}, -int64_t{u4}, u5});
  y[3] = sum({u0, u1, -int64_t{u2}, -int64_t{u3}, -int64_t{u4}});
  y[4] = sum({u0, u1, -int64_t{u2}, -int64_t{u3}, u4});
  y[5] = sum({u0, -int64_t{u1}, -int64_t{u2}, u4, -int64_t{u5}});
  y[6] = sum({u0, -int64_t{u1}, u2, -int64_t{u5}, -int64_t{u6}});
  y[7] = sum({u0, u1, u2, u3, -int64_t{u6}, -int64_t{u7}});
}

}  // namespace

extern "C" {

dv_248_coeff_t dv_idct_248_prescale[64];

}  // extern "C"

void tarsk::dct_248_init() {
  beta0 = fixed30(std::cos(M_PI / 4) - 0.5);
  beta1 = fixed30(-0.5 - std::cos(M_PI / 4));
  beta2 = fixed30(std::cos(M_PI / 4));
  beta3 = fixed30(-std::cos(3 * M_PI / 8));
  beta4 = fixed30(std::cos(M_PI / 8));

  // The inverse's cosine factors, gathered with the inverse weights into
  // one input scale per coefficient (14 fraction bits).
  double d4[4], d8[8];
  for (int k = 0; k < 4; ++k)
    d4[k] = (k == 0 ? 0.5 / std::sqrt(2.0) : 0.5) / (2 * std::cos(k * M_PI / 8));
  for (int h = 0; h < 8; ++h)
    d8[h] = (h == 0 ? 1 / std::sqrt(2.0) : 0.5) / (2 * std::cos(h * M_PI / 16));
  for (int r = 0; r < 8; ++r)
    for (int h = 0; h < 8; ++h) {
      const double ratio = std::trunc(16384 * d8[h] / d4[r % 4]);
      dv_idct_248_prescale[r * 8 + h] =
          static_cast<dv_248_coeff_t>(ratio * dv_weight_inverse_248_matrix[r * 8 + h]);
    }
}

extern "C" {

void dv_idct_248(dv_248_coeff_t *x248, dv_coeff_t *out) {
  int32_t t[8];
  for (int c = 0; c < 8; ++c) {
    vertical(x248, c, t);
    recombine_fields(t, x248, c);
  }
  for (int r = 0; r < 8; ++r) horizontal(x248 + 8 * r);
  for (int i = 0; i < 64; ++i) out[i] = t16(add(x248[i], 8192) >> 14);
}

}  // extern "C"
