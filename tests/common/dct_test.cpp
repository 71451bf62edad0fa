// The 8x8 and 2-4-8 transforms in both directions.
#include <gtest/gtest.h>

#include <tarsk/dv.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "dsp/dsp.h"

namespace {

class Dct : public testing::Test {
 protected:
  static void SetUpTestSuite() { dv_init(0, 0); }
};

// The inverse 8x8 transform exactly as defined, written out here: every
// coefficient visited in raster order, zero or not, its contribution added
// to each sample in double precision, then truncation toward zero.
void reference_idct_88(dv_coeff_t *block) {
  const double c0 = std::sqrt(0.125);  // 1 / (2 sqrt 2), correctly rounded
  auto c = [&](int n) { return n == 0 ? c0 : 0.5; };
  double sum[64] = {};
  for (int v = 0; v < 8; ++v)
    for (int h = 0; h < 8; ++h) {
      const double a = c(v) * c(h) * block[v * 8 + h];
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x)
          sum[y * 8 + x] += a * (std::cos((2 * y + 1) * v * M_PI / 16.0) *
                                 std::cos((2 * x + 1) * h * M_PI / 16.0));
    }
  for (int i = 0; i < 64; ++i) block[i] = static_cast<dv_coeff_t>(static_cast<int>(sum[i]));
}

// Blocks like those the decoder reconstructs: dequantised and weighted
// coefficients, mostly few of them, sometimes dense.
void random_block(std::mt19937 &rng, dv_coeff_t *block, int nonzero) {
  std::fill(block, block + 64, 0);
  block[0] = static_cast<dv_coeff_t>(4 * (static_cast<int>(rng() % 512) - 256));
  for (int n = 0; n < nonzero; ++n) {
    const int pos = 1 + static_cast<int>(rng() % 63);
    const int amp = static_cast<int>(rng() % 64) - 32;
    const int shift = static_cast<int>(rng() % 5);
    block[pos] = static_cast<dv_coeff_t>(amp * (1 << shift) * dv_weight_inverse_88_matrix[pos]);
  }
}

// The plain kernel is the definition, and whatever kernel this processor
// runs is too (the fast ones are held to the plain one in dsp/).
TEST_F(Dct, InverseIsTheDefinition) {
  std::mt19937 rng(11);
  for (int nonzero : {0, 1, 2, 4, 8, 15, 30, 63})
    for (int round = 0; round < 100; ++round) {
      dv_coeff_t plain[64], fast[64], reference[64];
      random_block(rng, plain, nonzero);
      std::copy(plain, plain + 64, reference);
      std::copy(plain, plain + 64, fast);
      tarsk::dsp::plain_dsp().idct.idct_88(plain);
      _dv_idct_88(fast);
      reference_idct_88(reference);
      for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(plain[i], reference[i]) << nonzero << " " << i;
        ASSERT_EQ(fast[i], reference[i]) << nonzero << " " << i;
      }
    }
  for (int value : {32767, -32768}) {
    dv_coeff_t plain[64], reference[64];
    std::fill(plain, plain + 64, static_cast<dv_coeff_t>(value));
    std::copy(plain, plain + 64, reference);
    tarsk::dsp::plain_dsp().idct.idct_88(plain);
    reference_idct_88(reference);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(plain[i], reference[i]);
  }
}

TEST_F(Dct, InverseOfDcAlone) {
  dv_coeff_t block[64] = {64};
  _dv_idct_88(block);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(block[i], 8);
  dv_coeff_t negative[64] = {-20};
  _dv_idct_88(negative);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(negative[i], -2);  // -2.5 truncated
}

TEST_F(Dct, ForwardOfFlatAndFieldDifferenceBlocks) {
  for (int p : {0, 1, -1, 100, -256, 255}) {
    dv_coeff_t block88[64], block248[64];
    std::fill(block88, block88 + 64, static_cast<dv_coeff_t>(p));
    std::fill(block248, block248 + 64, static_cast<dv_coeff_t>(p));
    _dv_dct_88(block88);
    _dv_dct_248(block248);
    EXPECT_EQ(block88[0], p);
    EXPECT_EQ(block248[0], p);
    for (int i = 1; i < 64; ++i) {
      ASSERT_EQ(block88[i], 0) << p << " " << i;
      ASSERT_EQ(block248[i], 0) << p << " " << i;
    }
  }
  // Input is transposed: index 8x + y; even lines are the first field.
  dv_coeff_t fields[64];
  for (int i = 0; i < 64; ++i) fields[i] = static_cast<dv_coeff_t>(i % 2 == 0 ? 100 : -100);
  _dv_dct_248(fields);
  EXPECT_EQ(fields[32], 100);
  for (int i = 0; i < 64; ++i)
    if (i != 32) {
      ASSERT_EQ(fields[i], 0) << i;
    }
}

TEST_F(Dct, Inverse248OfSingleCoefficients) {
  auto inverse = [](int index, int value) {
    dv_coeff_t block[64] = {};
    block[index] = static_cast<dv_coeff_t>(value);
    dv_248_coeff_t co[64];
    _dv_quant_248_inverse(block, 15, 0, co);  // all steps 1
    dv_coeff_t out[64];
    dv_idct_248(co, out);
    return std::vector<int>(out, out + 64);
  };
  for (int s : inverse(0, 64)) EXPECT_EQ(s, 32);
  const auto diff = inverse(32, 64);
  const auto diff_negative = inverse(32, -20);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      EXPECT_EQ(diff[y * 8 + x], y % 2 ? -16 : 16);
      EXPECT_EQ(diff_negative[y * 8 + x], y % 2 ? 5 : -5);
    }
  // Field-difference DC of 100 from the forward transform comes back at
  // half its amplitude: its forward weight is 1/4, its inverse weight 2.
  for (int s : inverse(0, 128)) EXPECT_EQ(s, 64);
  const auto hundred = inverse(32, 100);
  EXPECT_EQ(hundred[0], 25);
  EXPECT_EQ(hundred[8], -25);
}

TEST_F(Dct, PrescaleAndConstants) {
  const int32_t row0[8] = {131072, 48173, 54290, 61926, 74898, 98079, 158216, 329469};
  for (int h = 0; h < 8; ++h) {
    EXPECT_EQ(dv_idct_248_prescale[h], row0[h]) << h;
    if (h > 0) {
      EXPECT_EQ(dv_idct_248_prescale[32 + h], row0[h]) << h;
    }
  }
  EXPECT_EQ(dv_idct_248_prescale[32], 65536);
  EXPECT_EQ(dv_idct_248_prescale[8], 46339);
  EXPECT_EQ(dv_idct_248_prescale[9], 34063);
  for (int i = 8; i < 32; ++i) EXPECT_EQ(dv_idct_248_prescale[32 + i], dv_idct_248_prescale[i]);
  for (int row = 0; row < 22; ++row)
    for (int i = 1; i < 64; ++i)
      ASSERT_EQ(dv_quant_248_mul_tab[0][row][i],
                static_cast<uint32_t>(dv_idct_248_prescale[i]) << dv_quant_shifts[row][dv_248_areas[i]]);
}

// What forward-then-inverse should give, in double precision: the
// orthonormal transform of the levels, times the forward weight, truncated
// toward zero as the forward transform stores it, times the inverse weight
// the decoder uses, transformed back. The 8x8 inverse weights are integers
// (up to 15 % off 1 / weight); the 2-4-8 ones are exact but for the
// field-difference DC (forward 1/4, inverse 2: it comes back at half). The
// forward weight is the one the post-scale tables carry: the unnormalised
// transforms' scale at (7, 7) (and (3, 7) in 2-4-8) is left at 1, which
// weights those coefficients down to about 61 %.
double cos16(int a, int b) { return std::cos((2 * a + 1) * b * M_PI / 16.0); }
double cos8(int a, int b) { return std::cos((2 * a + 1) * b * M_PI / 8.0); }
double c(int n) { return n == 0 ? 1 / std::sqrt(2.0) : 1.0; }
double k8(int n) { return n == 0 ? 1 / (8 * std::sqrt(2.0)) : 1.0 / 16; }
double k4(int n) { return n == 0 ? 1 / (4 * std::sqrt(2.0)) : 1.0 / 8; }
double forward_weight_88(int v, int h) {
  const double normalisation = 16 * k8(v) * k8(h) / (std::cos(v * M_PI / 16) * std::cos(h * M_PI / 16));
  return postSC88[v * 8 + h] / (65536 * normalisation);
}
double forward_weight_248(int r, int h) {
  const int v = r % 4;
  const double normalisation = 8 * k4(v) * k8(h) / (std::cos(v * M_PI / 8) * std::cos(h * M_PI / 16));
  return postSC248[r * 8 + h] / (65536 * normalisation);
}
void model_88(const int *level, double *out) {
  double x[64];
  for (int v = 0; v < 8; ++v)
    for (int h = 0; h < 8; ++h) {
      double f = 0;
      for (int y = 0; y < 8; ++y)
        for (int xx = 0; xx < 8; ++xx) f += level[y * 8 + xx] * cos16(y, v) * cos16(xx, h);
      x[v * 8 + h] = std::trunc(0.25 * c(v) * c(h) * f * forward_weight_88(v, h)) *
                     dv_weight_inverse_88_matrix[v * 8 + h];
    }
  for (int y = 0; y < 8; ++y)
    for (int xx = 0; xx < 8; ++xx) {
      double s = 0;
      for (int v = 0; v < 8; ++v)
        for (int h = 0; h < 8; ++h) s += c(v) * c(h) * x[v * 8 + h] * cos16(y, v) * cos16(xx, h);
      out[y * 8 + xx] = 0.25 * s;
    }
}

void model_248(const int *level, double *out) {
  // Each field's 4x8 transform; the block holds their sum and difference.
  double field[2][32];
  for (int f = 0; f < 2; ++f)
    for (int v = 0; v < 4; ++v)
      for (int h = 0; h < 8; ++h) {
        double s = 0;
        for (int z = 0; z < 4; ++z)
          for (int xx = 0; xx < 8; ++xx) s += level[(2 * z + f) * 8 + xx] * cos8(z, v) * cos16(xx, h);
        field[f][v * 8 + h] = 0.25 * c(v) * c(h) * s;
      }
  double x[64];
  for (int r = 0; r < 8; ++r)
    for (int h = 0; h < 8; ++h) {
      const int v = r % 4;
      const double sd = r < 4 ? field[0][v * 8 + h] + field[1][v * 8 + h]
                              : field[0][v * 8 + h] - field[1][v * 8 + h];
      x[r * 8 + h] = std::trunc(sd * forward_weight_248(r, h)) * dv_weight_inverse_248_matrix[r * 8 + h];
    }
  for (int z = 0; z < 4; ++z)
    for (int xx = 0; xx < 8; ++xx) {
      double even = 0, odd = 0;
      for (int v = 0; v < 4; ++v)
        for (int h = 0; h < 8; ++h) {
          const double k = c(v) * c(h) * cos8(z, v) * cos16(xx, h);
          even += (x[v * 8 + h] + x[(v + 4) * 8 + h]) * k;
          odd += (x[v * 8 + h] - x[(v + 4) * 8 + h]) * k;
        }
      out[2 * z * 8 + xx] = 0.25 * even;
      out[(2 * z + 1) * 8 + xx] = 0.25 * odd;
    }
}

TEST_F(Dct, RoundTripStaysWithinWhatTheWeightingExplains) {
  std::mt19937 rng(5);
  double worst88 = 0, worst248 = 0;
  for (int round = 0; round < 1000; ++round) {
    // Levels relative to 128: a random base with random detail.
    int level[64];
    const int base = static_cast<int>(rng() % 200) - 100;
    const int detail = 1 + static_cast<int>(rng() % 40);
    for (int i = 0; i < 64; ++i)
      level[i] = std::clamp(base + static_cast<int>(rng() % (2 * detail + 1)) - detail, -128, 127);
    // The encoder's input: twice the level, transposed (column x, line y
    // at 8x + y).
    dv_coeff_t block88[64], block248[64];
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x)
        block88[x * 8 + y] = block248[x * 8 + y] = static_cast<dv_coeff_t>(2 * level[y * 8 + x]);
    _dv_dct_88(block88);
    _dv_weight_88_inverse(block88);
    _dv_idct_88(block88);
    _dv_dct_248(block248);
    dv_248_coeff_t co[64];
    _dv_quant_248_inverse(block248, 15, 0, co);
    dv_coeff_t out248[64];
    dv_idct_248(co, out248);

    double expected88[64], expected248[64];
    model_88(level, expected88);
    model_248(level, expected248);
    for (int i = 0; i < 64; ++i) {
      worst88 = std::max(worst88, std::abs(block88[i] - expected88[i]));
      worst248 = std::max(worst248, std::abs(out248[i] - expected248[i]));
    }
  }
  std::printf("round trip, worst distance from the weighting model: 8x8 %.2f, 2-4-8 %.2f\n",
              worst88, worst248);
  // What remains is the fixed-point forward transforms' rounding (a unit
  // of a coefficient here and there, times an inverse weight of up to 4):
  // measured 3.87 (8x8) and 2.57 (2-4-8) over these blocks. A wrong sign,
  // scale or position would be off by tens.
  EXPECT_LT(worst88, 4.5);
  EXPECT_LT(worst248, 3.5);
}

}  // namespace
