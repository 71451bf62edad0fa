// The inverse 8x8 DCT as defined: each sample the double-precision sum
// over the coefficients in raster order, truncated toward zero. Zero
// coefficients add exactly nothing to any sample, so they are skipped;
// every sample still sums the same terms in the same order.
#include <algorithm>
#include <cmath>

#include "common/transform.h"
#include "dsp/dsp.h"

namespace tarsk::dsp {
namespace {

void idct_88(dv_coeff_t *block) {
  const Idct88Tables &t = idct88_tables;
  int index[64];
  double factor[64];
  int count = 0;
  for (int c = 0; c < 64; ++c) {
    if (block[c] == 0) continue;
    index[count] = c;
    factor[count] = t.c88[c / 8] * t.c88[c % 8] * block[c];
    ++count;
  }
  alignas(64) double sum[64];
  for (double &s : sum) s = 0.0;
  for (int n = 0; n < count; ++n) {
    const double a = factor[n];
    const double *k = t.by_coefficient[index[n]];
    for (int i = 0; i < 64; ++i) sum[i] += a * k[i];
  }
  for (int i = 0; i < 64; ++i) block[i] = t16(static_cast<int32_t>(sum[i]));
}

// A sample rounded to the nearest integer (halves away from zero), held to
// 16 bits.
dv_coeff_t rounded(double v) {
  const double r = v < 0 ? -std::floor(0.5 - v) : std::floor(v + 0.5);
  return static_cast<dv_coeff_t>(std::clamp(r, -32768.0, 32767.0));
}

void idct_88_rounded(dv_coeff_t *block, const double *factors) {
  const auto &cosine = idct88_tables.cosine8;
  double rows[64];
  for (int v = 0; v < 8; ++v)
    for (int x = 0; x < 8; ++x) {
      double sum = 0.0;
      for (int h = 0; h < 8; ++h) sum += block[v * 8 + h] * factors[v * 8 + h] * cosine[h][x];
      rows[v * 8 + x] = sum;
    }
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      double sum = 0.0;
      for (int v = 0; v < 8; ++v) sum += rows[v * 8 + x] * cosine[v][y];
      block[y * 8 + x] = rounded(sum);
    }
}

void idct_248_rounded(dv_coeff_t *block, const double *factors) {
  const auto &cos8 = idct88_tables.cosine8;
  const auto &cos4 = idct88_tables.cosine4;
  // Across: for each vertical frequency v, the sums and the differences of
  // the two fields' coefficients transformed along the line.
  double across[2][4][8];
  for (int v = 0; v < 4; ++v)
    for (int x = 0; x < 8; ++x) {
      double sum = 0.0, difference = 0.0;
      for (int h = 0; h < 8; ++h) {
        const double a = block[v * 8 + h] * factors[v * 8 + h];
        const double b = block[(v + 4) * 8 + h] * factors[(v + 4) * 8 + h];
        sum += (a + b) * cos8[h][x];
        difference += (a - b) * cos8[h][x];
      }
      across[0][v][x] = sum;
      across[1][v][x] = difference;
    }
  // Down each field: line 2z of the sums, line 2z + 1 of the differences.
  for (int z = 0; z < 4; ++z)
    for (int field = 0; field < 2; ++field)
      for (int x = 0; x < 8; ++x) {
        double sum = 0.0;
        for (int v = 0; v < 4; ++v) sum += across[field][v][x] * cos4[v][z];
        block[(2 * z + field) * 8 + x] = rounded(sum);
      }
}

}  // namespace

void idct_dsp_init(IdctDsp &d) {
  d.idct_88 = idct_88;
  d.idct_88_rounded = idct_88_rounded;
  d.idct_248_rounded = idct_248_rounded;
}

}  // namespace tarsk::dsp
