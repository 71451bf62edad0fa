#include <emmintrin.h>

#include "dsp/x86/x86.h"

namespace tarsk::dsp::x86 {

// The low 16 bits of each product, eight at a time.
void dequantise_weight_88_sse2(dv_coeff_t *block, const uint16_t *factors) {
  for (int i = 0; i < 64; i += 8) {
    auto *b = reinterpret_cast<__m128i *>(block + i);
    const __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i *>(factors + i));
    _mm_storeu_si128(b, _mm_mullo_epi16(_mm_loadu_si128(b), m));
  }
}

}  // namespace tarsk::dsp::x86
