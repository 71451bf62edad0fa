// The inverse 8x8 DCT as defined: each sample the double-precision sum
// over the coefficients in raster order, truncated toward zero. Zero
// coefficients add exactly nothing to any sample, so they are skipped;
// every sample still sums the same terms in the same order.
#include <algorithm>
#include <cmath>

#include "common/transform.h"
#include "dsp/dsp.h"
#include "dsp/idct_rounded.h"
#include "dsp/lanes.h"

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

// Each coefficient times its factor, by rows.
void load(const dv_coeff_t *block, const float *factors, Lanes *rows) {
  for (int i = 0; i < 64; ++i) rows[i / 8].v[i % 8] = static_cast<float>(block[i]) * factors[i];
}

// Each sample rounded to the nearest integer (halves to even, the default
// rounding of the processor's conversions) and held to 16 bits.
void store(const Lanes *rows, dv_coeff_t *block) {
  for (int i = 0; i < 64; ++i)
    block[i] = static_cast<dv_coeff_t>(
        std::clamp(std::nearbyint(rows[i / 8].v[i % 8]), -32768.0f, 32767.0f));
}

void idct_88_rounded(dv_coeff_t *block, const float *factors) {
  Lanes rows[8];
  load(block, factors, rows);
  idct_88_lanes(rows, lane_cosines<Lanes>());
  store(rows, block);
}

void idct_248_rounded(dv_coeff_t *block, const float *factors) {
  Lanes rows[8];
  load(block, factors, rows);
  idct_248_lanes(rows, lane_cosines<Lanes>());
  store(rows, block);
}

}  // namespace

void idct_dsp_init(IdctDsp &d) {
  d.idct_88 = idct_88;
  d.idct_88_rounded = idct_88_rounded;
  d.idct_248_rounded = idct_248_rounded;
}

}  // namespace tarsk::dsp
