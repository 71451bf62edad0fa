// The best encoder's trial quantisation with AVX2: dsp/rd_trial.h compiled
// for eight float lanes.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "common/transform.h"
#include "common/vlc.h"
#include "dsp/x86/x86.h"

// Everything below, the shared kernel included, is compiled for AVX2 and
// runs only where dsp_init found it. The headers above stay outside, so
// that no inline function of theirs is emitted with AVX2 instructions.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "dsp/rd_trial.h"

namespace tarsk::dsp::x86 {

float rd_quantise_avx2(const float *coeffs, const float *step, const float *inverse,
                       const float *energy, float offset, int *bits, dv_coeff_t *out) {
  return rd_quantise(coeffs, step, inverse, energy, offset, bits, out);
}

void rd_shares_avx2(const float *coeffs, const float *energy, int shift, float offset,
                    RdShare *out) {
  rd_shares(coeffs, energy, shift, offset, out);
}

}  // namespace tarsk::dsp::x86

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
