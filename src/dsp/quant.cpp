#include "dsp/dsp.h"

namespace tarsk::dsp {
namespace {

void dequantise_weight_88(dv_coeff_t *block, const uint16_t *factors) {
  for (int i = 0; i < 64; ++i)
    block[i] = static_cast<dv_coeff_t>(uint32_t{static_cast<uint16_t>(block[i])} * factors[i]);
}

}  // namespace

void quant_dsp_init(QuantDsp &d) { d.dequantise_weight_88 = dequantise_weight_88; }

}  // namespace tarsk::dsp
