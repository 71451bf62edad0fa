// The best encoder's kernels with AVX2: dsp/rd_trial.h compiled for eight
// float lanes, the transforms over a register of eight floats (dsp/x86/f8.h).
#include <immintrin.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/scan.h"
#include "common/transform.h"
#include "common/vlc.h"
#include "dsp/x86/x86.h"

#include "dsp/x86/avx2_begin.h"

#include "dsp/rd_trial.h"
#include "dsp/x86/f8.h"

namespace tarsk::dsp::x86 {

float rd_quantise_avx2(const float *coeffs, const float *step, const float *inverse,
                       const float *energy, float offset, int *bits, dv_coeff_t *out) {
  return rd_quantise(coeffs, step, inverse, energy, offset, bits, out);
}

void rd_transform_avx2(const dv_coeff_t *samples, const RdBasis &basis, int first_mode,
                       int last_mode, float (*coeffs)[64]) {
  rd_transform_lanes<F8>(samples, basis, first_mode, last_mode, coeffs);
}

void rd_shares_avx2(const float *coeffs, const float *energy, int shift, float offset,
                    RdShare *out) {
  rd_shares(coeffs, energy, shift, offset, out);
}

}  // namespace tarsk::dsp::x86

#include "dsp/x86/avx2_end.h"
