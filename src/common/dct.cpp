// The 8x8 DCT: the line transform of the encoder's fast integer forward
// transform, and the tables of the exact floating-point inverse of the
// decoder (the kernels of both directions, and the dv.h entry points that
// run them, are in dsp/).
#include <cmath>
#include <cstring>

#include "common/transform.h"

namespace {

using tarsk::t16;

// cos((2n + 1) k pi / 16), the factor of sample n in the basis function k.
double cosine(int n, int k) { return std::cos((2 * n + 1) * k * M_PI / 16.0); }

// a * b >> s on 32-bit products, the shift arithmetic.
inline int32_t mul_shift(int32_t a, int32_t b, int s) { return (a * b) >> s; }

}  // namespace

namespace tarsk {

Idct88Tables idct88_tables;

void dct_init() {
  Idct88Tables &t = idct88_tables;
  // 1/(2 sqrt 2), correctly rounded: sqrt(0.125) is, 0.5 / sqrt(2.0) is one
  // unit in the last place low, which would make C88[0]^2 fall short of
  // 1/8 and a flat block's samples truncate one level low.
  t.c88[0] = std::sqrt(0.125);
  for (int n = 1; n < 8; ++n) t.c88[n] = 0.5;
  // Coefficient (v, h) adds C88[v] C88[h] F(v, h) times this product to
  // sample (y, x); laid out per coefficient so that one coefficient's
  // contribution to the whole block is one loop over 64 samples.
  for (int x = 0; x < 8; ++x)
    for (int y = 0; y < 8; ++y)
      for (int h = 0; h < 8; ++h)
        for (int v = 0; v < 8; ++v) t.by_coefficient[v * 8 + h][y * 8 + x] = cosine(y, v) * cosine(x, h);
  for (int k = 0; k < 8; ++k)
    for (int n = 0; n < 4; ++n) t.basis[k][n] = t.c88[k] * cosine(n, k);
  for (int k = 0; k < 8; ++k)
    for (int n = 0; n < 8; ++n) t.cosine8[k][n] = cosine(n, k);
  for (int k = 0; k < 4; ++k)
    for (int n = 0; n < 4; ++n) t.cosine4[k][n] = std::cos((2 * n + 1) * k * M_PI / 8.0);
}

void dct88_aan_line(const int16_t in[8], int16_t out[8]) {
  const int32_t a0 = t16(in[0] + in[7]), a1 = t16(in[1] + in[6]);
  const int32_t a2 = t16(in[2] + in[5]), a3 = t16(in[3] + in[4]);
  const int32_t b0 = t16(in[0] - in[7]), b1 = t16(in[1] - in[6]);
  const int32_t b2 = t16(in[2] - in[5]), b3 = t16(in[3] - in[4]);

  const int32_t e0 = t16(a0 + a3), e1 = t16(a1 + a2);
  const int32_t e2 = t16(a1 - a2), e3 = t16(a0 - a3);
  const int32_t z1 = mul_shift(t16(e2 + e3), 23171, 15);

  const int32_t p = t16(-(b3 + b2)), q = t16(b1 + b0), s = t16(b2 + b1);
  const int32_t z5 = mul_shift(p + q, 25079, 16);
  const int32_t z2 = t16(-(z5 + mul_shift(p, 17734, 15)));
  const int32_t z4 = t16(mul_shift(q, 21407, 14) - z5);
  const int32_t z3 = mul_shift(s, 23171, 15);
  const int32_t z11 = t16(b0 + z3), z13 = t16(b0 - z3);

  out[0] = t16(e0 + e1);
  out[4] = t16(e0 - e1);
  out[2] = t16(e3 + z1);
  out[6] = t16(e3 - z1);
  out[1] = t16(z11 + z4);
  out[7] = t16(z11 - z4);
  out[5] = t16(z13 + z2);
  out[3] = t16(z13 - z2);
}

}  // namespace tarsk
