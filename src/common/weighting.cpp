// Weighting: DV scales every DCT coefficient by a weight before
// quantisation (high frequencies coarser) and the decoder divides it out.
// The weights are folded into the transforms' scale tables wherever they
// can be; only the 8x8 inverse weighting runs as a step of its own.
#include <cmath>

#include "common/transform.h"

namespace {

// The eight weighting constants of DV, W(0)..W(7).
double W[8];

double cs(int m) { return std::cos(m * M_PI / 16.0); }

// Forward weight of an 8x8 position, and of a 2-4-8 position. Only the DC
// is weighted 1/4. The first coefficient of the field-difference half,
// (4, 0), is an AC coefficient that the decoder (ours, and ffmpeg's) weights
// by 2 like its row: weighting it 1/4 as well would halve the difference
// between the fields of every moving interlaced block.
double w88(int v, int h) { return v == 0 && h == 0 ? 0.25 : W[h] * W[v] / 2; }
double w248(int r, int h) { return r == 0 && h == 0 ? 0.25 : W[h] * W[2 * (r % 4)] / 2; }

// Normalisation of the unnormalised forward transforms' output.
double k8(int n) { return n == 0 ? 1.0 / (8.0 * std::sqrt(2.0)) : 1.0 / 16.0; }
double k4(int n) { return n == 0 ? 1.0 / (4.0 * std::sqrt(2.0)) : 1.0 / 8.0; }

int16_t fixed17(double ps, double w) {
  return static_cast<int16_t>(std::floor(65536.0 * ps * w + 0.5));
}

}  // namespace

extern "C" {

int16_t dv_weight_inverse_88_matrix[64];
double dv_weight_inverse_248_matrix[64];
int16_t postSC88[64];
int16_t postSC248[64];

}  // extern "C"

void tarsk::weight_init() {
  W[0] = 1.0;
  W[1] = cs(4) / (4.0 * cs(7) * cs(2));
  W[2] = cs(4) / (2.0 * cs(6));
  W[3] = 1.0 / (2.0 * cs(5));
  W[4] = 7.0 / 8.0;
  W[5] = cs(4) / cs(3);
  W[6] = cs(4) / cs(2);
  W[7] = cs(4) / cs(1);

  for (int v = 0; v < 8; ++v)
    for (int h = 0; h < 8; ++h) {
      const double inverse = v == 0 && h == 0 ? 4.0 : 1.0 / (W[h] * W[v] / 2);
      dv_weight_inverse_88_matrix[v * 8 + h] = static_cast<int16_t>(std::nearbyint(inverse));
    }

  for (int v = 0; v < 8; ++v)
    for (int h = 0; h < 8; ++h) {
      const double ps = v == 7 && h == 7 ? 1.0 : 16.0 * k8(v) * k8(h) / (cs(v) * cs(h));
      postSC88[v * 8 + h] = fixed17(ps, w88(v, h));
    }

  for (int r = 0; r < 8; ++r)
    for (int h = 0; h < 8; ++h) {
      const int v = r % 4;
      const double ps = v == 3 && h == 7 ? 1.0 : 8.0 * k4(v) * k8(h) / (cs(2 * v) * cs(h));
      postSC248[r * 8 + h] = fixed17(ps, w248(r, h));
    }

  for (int r = 0; r < 8; ++r)
    for (int h = 0; h < 8; ++h)
      dv_weight_inverse_248_matrix[r * 8 + h] = 2.0 / (W[h] * W[2 * (r % 4)]);
  dv_weight_inverse_248_matrix[0] = 4.0;
}

double tarsk::weight_88(int v, int h) { return w88(v, h); }

extern "C" {

void _dv_weight_88_inverse(dv_coeff_t *block) {
  for (int i = 0; i < 64; ++i)
    block[i] = static_cast<dv_coeff_t>(block[i] * dv_weight_inverse_88_matrix[i]);
}

// The forward weights live in postSC88 and postSC248, the 2-4-8 inverse
// weights in the 2-4-8 prescale: these steps have nothing left to do.
void _dv_weight_88(dv_coeff_t *) {}
void _dv_weight_248(dv_coeff_t *) {}
void _dv_weight_248_inverse(dv_coeff_t *) {}

}  // extern "C"
