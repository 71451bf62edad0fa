// The inverse 8x8 DCT as defined: each sample the double-precision sum
// over the coefficients in raster order, truncated toward zero. Zero
// coefficients add exactly nothing to any sample, so they are skipped;
// every sample still sums the same terms in the same order.
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

}  // namespace

void idct_dsp_init(IdctDsp &d) { d.idct_88 = idct_88; }

}  // namespace tarsk::dsp
