// The encoder's plain kernels.
#include <algorithm>
#include <cstdlib>

#include "common/colour.h"
#include "common/transform.h"
#include "common/vlc.h"
#include "dsp/dsp.h"
#include "dsp/lanes.h"
#include "dsp/rd_trial.h"

namespace tarsk::dsp {
namespace {

unsigned long quantise_count(const dv_coeff_t *in, dv_coeff_t *out, const uint8_t shift[4],
                             const uint8_t *bits_lookup) {
  out[0] = in[0];
  for (int area = 0; area < 4; ++area) {
    const int divisor = 1 << shift[area];
    for (int i = scan_area_start[area]; i < scan_area_start[area + 1]; ++i)
      out[i] = static_cast<dv_coeff_t>(in[i] / divisor);  // truncates toward zero
  }
  unsigned long bits = 0;
  int run = 0;
  for (int i = 1; i < 64; ++i) {
    if (out[i] == 0) {
      ++run;
      continue;
    }
    bits += bits_lookup[vlc_index(run, out[i])];
    run = 0;
  }
  return bits;
}

void fdct_88(dv_coeff_t *block, const int16_t *post_scale) {
  dv_coeff_t scratch[64];
  for (int r = 0; r < 8; ++r) dct88_aan_line(block + 8 * r, block + 8 * r);
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) scratch[c * 8 + r] = block[r * 8 + c];
  for (int r = 0; r < 8; ++r) dct88_aan_line(scratch + 8 * r, scratch + 8 * r);
  for (int i = 0; i < 64; ++i) block[i] = t16(scratch[i] * post_scale[i] / 131072);
}

// The 4-point forward line transform over elements 0, 2, 4 and 6.
void dct44_aan_line(const int16_t *in, int16_t *out) {
  const int32_t d0 = t16(in[0] - in[6]), s0 = t16(in[0] + in[6]);
  const int32_t d1 = t16(in[2] - in[4]), s1 = t16(in[2] + in[4]);
  const int32_t z = (t16(d1 + d0) * 23171) >> 15;
  out[0] = t16(s0 + s1);
  out[4] = t16(s0 - s1);
  out[2] = t16(d0 + z);
  out[6] = t16(d0 - z);
}

// The forward transform without its post-scale.
void dct248_aan(dv_coeff_t *block) {
  dv_coeff_t scratch[64];
  for (int r = 0; r < 8; ++r) {
    dct44_aan_line(block + 8 * r, block + 8 * r);          // first field
    dct44_aan_line(block + 8 * r + 1, block + 8 * r + 1);  // second field
  }
  for (int r = 0; r < 8; ++r)
    for (int c = 0; c < 8; ++c) scratch[c * 8 + r] = block[r * 8 + c];
  for (int r = 0; r < 8; ++r) dct88_aan_line(scratch + 8 * r, scratch + 8 * r);
  for (int k = 0; k < 4; ++k)
    for (int h = 0; h < 8; ++h) {
      const int32_t a = scratch[2 * k * 8 + h], b = scratch[(2 * k + 1) * 8 + h];
      block[k * 8 + h] = t16(a + b);
      block[(k + 4) * 8 + h] = t16(a - b);
    }
}

void fdct_248(dv_coeff_t *block, const int16_t *post_scale) {
  dct248_aan(block);
  for (int i = 0; i < 64; ++i) block[i] = t16(block[i] * post_scale[i] / 131072);
}

int largest_ac(const dv_coeff_t *block) {
  int largest = 0;
  for (int i = 1; i < 64; ++i) largest = std::max(largest, std::abs(int{block[i]}));
  return largest;
}

void neighbour_differences(const dv_coeff_t *bl, int sums[2]) {
  int v = 0, h = 0;
  for (int c = 0; c < 8; ++c)
    for (int l = 0; l < 7; ++l) v += std::abs(bl[8 * c + l] - bl[8 * c + l + 1]);
  for (int c = 0; c < 7; ++c)
    for (int l = 0; l < 8; ++l) h += std::abs(bl[8 * c + l] - bl[8 * (c + 1) + l]);
  sums[0] = v;
  sums[1] = h;
}

void load_transposed(const int16_t *lines, int stride, dv_coeff_t *block) {
  for (int c = 0; c < 8; ++c)
    for (int l = 0; l < 8; ++l) block[8 * c + l] = lines[l * stride + c];
}

uint64_t nonzero_ac(const dv_coeff_t *block) {
  uint64_t mask = 0;
  for (int i = 1; i < 64; ++i)
    if (block[i] != 0) mask |= uint64_t{1} << i;
  return mask;
}

void to_encoder_scale(const uint8_t *in, int16_t *out, int n) {
  for (int i = 0; i < n; ++i) out[i] = encoder_sample(in[i]);
}

void load_transposed_line_pairs(const int16_t *lines, int stride, dv_coeff_t *block) {
  for (int c = 0; c < 8; ++c)
    for (int l = 0; l < 8; ++l) {
      const int16_t *at = lines + 2 * l * stride + c;
      block[8 * c + l] = static_cast<dv_coeff_t>((at[0] + at[stride]) >> 1);
    }
}

void rd_transform(const dv_coeff_t *samples, const RdBasis &basis, int first_mode, int last_mode,
                  float (*coeffs)[64]) {
  rd_transform_lanes<Lanes>(samples, basis, first_mode, last_mode, coeffs);
}

}  // namespace

void encode_dsp_init(EncodeDsp &d) {
  d.load_transposed_line_pairs = load_transposed_line_pairs;
  d.to_encoder_scale = to_encoder_scale;
  d.nonzero_ac = nonzero_ac;
  d.quantise_count = quantise_count;
  d.fdct_88 = fdct_88;
  d.fdct_248 = fdct_248;
  d.largest_ac = largest_ac;
  d.neighbour_differences = neighbour_differences;
  d.load_transposed = load_transposed;
  d.rd_quantise = rd_quantise;
  d.rd_shares = rd_shares;
  d.rd_transform = rd_transform;
}

}  // namespace tarsk::dsp
