// Quantisation: DV divides each AC coefficient by a power of two chosen by
// the macroblock's quantisation number, the block's class and the
// coefficient's area (its band of spatial frequencies).
#include <cmath>

#include "common/transform.h"

extern "C" {

// Area of each coefficient (raster order). Along each mode's scan order,
// positions 1-5 are area 0, 6-20 area 1, 21-42 area 2 and 43-63 area 3.
const uint8_t dv_88_areas[64] = {
    255, 0, 0, 1, 1, 1, 2, 2,  //
    0,   0, 1, 1, 1, 2, 2, 2,  //
    0,   1, 1, 1, 2, 2, 2, 3,  //
    1,   1, 1, 2, 2, 2, 3, 3,  //
    1,   1, 2, 2, 2, 3, 3, 3,  //
    1,   2, 2, 2, 3, 3, 3, 3,  //
    2,   2, 2, 3, 3, 3, 3, 3,  //
    2,   2, 3, 3, 3, 3, 3, 3};
const uint8_t dv_248_areas[64] = {
    255, 0, 1, 1, 1, 2, 2, 3,  //
    0,   1, 1, 2, 2, 2, 3, 3,  //
    1,   1, 2, 2, 2, 3, 3, 3,  //
    1,   2, 2, 2, 3, 3, 3, 3,  //
    0,   0, 1, 1, 2, 2, 2, 3,  //
    0,   1, 1, 2, 2, 2, 3, 3,  //
    1,   1, 2, 2, 2, 3, 3, 3,  //
    1,   2, 2, 3, 3, 3, 3, 3};

const uint8_t dv_quant_offset[4] = {6, 3, 0, 1};

// log2 of the quantisation step by row (qno + class offset) and area.
const uint8_t dv_quant_shifts[22][4] = {
    {3, 3, 4, 4}, {3, 3, 4, 4}, {2, 3, 3, 4}, {2, 3, 3, 4}, {2, 2, 3, 3}, {2, 2, 3, 3},
    {1, 2, 2, 3}, {1, 2, 2, 3}, {1, 1, 2, 2}, {1, 1, 2, 2}, {0, 1, 1, 2}, {0, 1, 1, 2},
    {0, 0, 1, 1}, {0, 0, 1, 1}, {0, 0, 0, 1}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0},
    {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}};

uint32_t dv_quant_248_mul_tab[2][22][64];

void (*_dv_quant_248_inverse)(dv_coeff_t *block, int qno, int klass,
                              dv_248_coeff_t *co) = quant_248_inverse_std;

}  // extern "C"

namespace {

// Shifts of the four areas for a block: class 3 doubles every step.
struct Shifts {
  int row;
  int extra;
  int of_area(int area) const { return dv_quant_shifts[row][area] + extra; }
};

Shifts shifts(int qno, int klass) { return {qno + dv_quant_offset[klass], klass == 3 ? 1 : 0}; }

// A left shift written on unsigned values: defined for negative values
// too, and cut to the width the caller stores.
inline uint32_t shl(int32_t value, int count) { return static_cast<uint32_t>(value) << count; }

}  // namespace

void tarsk::quant_area_shifts(int qno, int klass, uint8_t shift[4]) {
  const Shifts s = shifts(qno, klass);
  for (int area = 0; area < 4; ++area) shift[area] = static_cast<uint8_t>(s.of_area(area));
}

extern "C" {

void _dv_quant(dv_coeff_t *block, int qno, int klass) {
  if (qno == 15 && klass != 3) return;  // every step is 1
  const Shifts s = shifts(qno, klass);
  for (int area = 0; area < 4; ++area) {
    const int shift = s.of_area(area);
    // A division by 2^shift truncating toward zero, as a shift of the
    // magnitude with the sign put back, without a branch (a division by a
    // variable divisor is many times slower).
    for (int i = tarsk::scan_area_start[area]; i < tarsk::scan_area_start[area + 1]; ++i) {
      const int v = block[i];
      const int sign = v < 0 ? -1 : 0;
      block[i] = static_cast<dv_coeff_t>(((((v ^ sign) - sign) >> shift) ^ sign) - sign);
    }
  }
}

void _dv_quant_88_inverse(dv_coeff_t *block, int qno, int klass) {
  const Shifts s = shifts(qno, klass);
  for (int i = 1; i < 64; ++i)
    block[i] = static_cast<dv_coeff_t>(shl(block[i], s.of_area(dv_88_areas[i])));
}

void quant_248_inverse_std(dv_coeff_t *block, int qno, int klass, dv_248_coeff_t *co) {
  const Shifts s = shifts(qno, klass);
  co[0] = static_cast<dv_248_coeff_t>(static_cast<uint32_t>(block[0]) *
                                      static_cast<uint32_t>(dv_idct_248_prescale[0]));
  for (int i = 1; i < 64; ++i)
    co[i] = static_cast<dv_248_coeff_t>(shl(block[i], s.of_area(dv_248_areas[i])) *
                                        static_cast<uint32_t>(dv_idct_248_prescale[i]));
}

void quant_248_inverse_mmx(dv_coeff_t *block, int qno, int klass, dv_248_coeff_t *co) {
  const uint32_t *mul = dv_quant_248_mul_tab[klass == 3][qno + dv_quant_offset[klass]];
  for (int i = 0; i < 64; ++i)
    co[i] = static_cast<dv_248_coeff_t>(static_cast<uint32_t>(block[i]) * mul[i]);
}

}  // extern "C"

namespace {

// Dequantisation and inverse weighting of an 8x8 block in one 16-bit
// multiplication per coefficient: (c << shift) * weight and
// c * (weight << shift) agree modulo 2^16, the width both steps keep.
uint16_t dequantise_weight_88_tab[2][22][64];

}  // namespace

const uint16_t *tarsk::dequantise_weight_88_factors(int qno, int klass) {
  return dequantise_weight_88_tab[klass == 3][qno + dv_quant_offset[klass]];
}

namespace {

// The accurate reconstruction's factors by [class 3][row][position].
float accurate_88_tab[2][22][64];
float accurate_248_tab[2][22][64];

}  // namespace

const float *tarsk::accurate_88_factors(int qno, int klass) {
  return accurate_88_tab[klass == 3][qno + dv_quant_offset[klass]];
}

const float *tarsk::accurate_248_factors(int qno, int klass) {
  return accurate_248_tab[klass == 3][qno + dv_quant_offset[klass]];
}

void tarsk::quant_init() {
  // The accurate factors: the transform's normalisation, the exact inverse
  // weight and the quantisation step, each worked out in double precision
  // and rounded once to the single precision of the rounded transforms.
  const Idct88Tables &t = idct88_tables;
  for (int ex = 0; ex < 2; ++ex)
    for (int row = 0; row < 22; ++row)
      for (int i = 0; i < 64; ++i) {
        const int v = i / 8, h = i % 8;
        const int shift = i == 0 ? 0 : dv_quant_shifts[row][dv_88_areas[i]] + ex;
        accurate_88_tab[ex][row][i] = static_cast<float>(
            t.c88[v] * t.c88[h] * (i == 0 ? 4.0 : 1.0 / weight_88(v, h)) * (1 << shift));
        const int shift_248 = i == 0 ? 0 : dv_quant_shifts[row][dv_248_areas[i]] + ex;
        const double c = (v % 4 == 0 ? std::sqrt(0.5) : 1.0) * (h == 0 ? std::sqrt(0.5) : 1.0);
        accurate_248_tab[ex][row][i] =
            static_cast<float>(0.25 * c * dv_weight_inverse_248_matrix[i] * (1 << shift_248));
      }
  for (int ex = 0; ex < 2; ++ex)
    for (int row = 0; row < 22; ++row) {
      uint16_t *mul = dequantise_weight_88_tab[ex][row];
      mul[0] = static_cast<uint16_t>(dv_weight_inverse_88_matrix[0]);
      for (int i = 1; i < 64; ++i)
        mul[i] = static_cast<uint16_t>(
            shl(dv_weight_inverse_88_matrix[i], dv_quant_shifts[row][dv_88_areas[i]] + ex));
    }
  for (int ex = 0; ex < 2; ++ex)
    for (int row = 0; row < 22; ++row) {
      uint32_t *mul = dv_quant_248_mul_tab[ex][row];
      for (int i = 1; i < 64; ++i)
        mul[i] = shl(dv_idct_248_prescale[i], dv_quant_shifts[row][dv_248_areas[i]] + ex);
      mul[0] = static_cast<uint32_t>(dv_idct_248_prescale[0]);
    }
}
