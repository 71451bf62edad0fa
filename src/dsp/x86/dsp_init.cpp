#include "dsp/x86/x86.h"

namespace tarsk::dsp::x86 {

void dsp_init(Dsp &d) {
  // SSE2 belongs to every x86-64 processor.
  d.quant.dequantise_weight_88 = dequantise_weight_88_sse2;
  d.encode.quantise_count = quantise_count_sse2;
  d.encode.fdct_88 = fdct_88_sse2;
  d.encode.fdct_248 = fdct_248_sse2;
  d.encode.largest_ac = largest_ac_sse2;
  d.encode.to_encoder_scale = to_encoder_scale_sse2;
  d.encode.nonzero_ac = nonzero_ac_sse2;
  d.encode.neighbour_differences = neighbour_differences_sse2;
  d.encode.load_transposed = load_transposed_sse2;
  d.encode.load_transposed_line_pairs = load_transposed_line_pairs_sse2;
  d.yuy2 = {yuy2_411_sse2, yuy2_411_right_sse2, yuy2_420_sse2};
  d.planar = {planar_411_sse2, planar_411_right_sse2, planar_420_sse2};
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) {
    d.idct.idct_88 = idct_88_avx2;
    d.idct.idct_88_rounded = idct_88_rounded_avx2;
    d.idct.idct_248_rounded = idct_248_rounded_avx2;
    d.encode.rd_quantise = rd_quantise_avx2;
    d.encode.rd_shares = rd_shares_avx2;
    d.encode.rd_transform = rd_transform_avx2;
  }
}

}  // namespace tarsk::dsp::x86
