// The entry points that run a kernel family's fastest member: the dv.h
// transforms, and the decoder's and encoder's fused dequantisation. The
// tables they pass (post-scales, dequantisation factors) are common/'s.
#include "common/transform.h"
#include "dsp/dsp.h"

void tarsk::dequantise_weight_88(dv_coeff_t *block, int qno, int klass) {
  dsp::dsp().quant.dequantise_weight_88(block, dequantise_weight_88_factors(qno, klass));
}

extern "C" {

void _dv_dct_88(dv_coeff_t *block) { tarsk::dsp::dsp().encode.fdct_88(block, postSC88); }

void _dv_dct_248(dv_coeff_t *block) { tarsk::dsp::dsp().encode.fdct_248(block, postSC248); }

void _dv_idct_88(dv_coeff_t *block) { tarsk::dsp::dsp().idct.idct_88(block); }

}  // extern "C"
