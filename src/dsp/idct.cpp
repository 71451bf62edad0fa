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

void idct_88_rounded(dv_coeff_t *block, const double *factors) {
  const Idct88Tables &t = idct88_tables;
  // cos((2n + 1) k pi / 16) for n = 0..7, from the half the basis table
  // keeps (without its normalisation, which the factors carry).
  double cosine[8][8];
  for (int k = 0; k < 8; ++k)
    for (int n = 0; n < 4; ++n) {
      const double c = t.basis[k][n] / t.c88[k];
      cosine[k][n] = c;
      cosine[k][7 - n] = k % 2 == 0 ? c : -c;
    }
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
      const double rounded = sum < 0 ? -std::floor(0.5 - sum) : std::floor(sum + 0.5);
      block[y * 8 + x] = static_cast<dv_coeff_t>(std::clamp(rounded, -32768.0, 32767.0));
    }
}

}  // namespace

void idct_dsp_init(IdctDsp &d) {
  d.idct_88 = idct_88;
  d.idct_88_rounded = idct_88_rounded;
}

}  // namespace tarsk::dsp
