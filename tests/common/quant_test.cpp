// Quantisation steps, the encoder's quantiser and the decoder's
// dequantisers.
#include <gtest/gtest.h>

#include <tarsk/dv.h>

#include <random>

#include "common/transform.h"

namespace {

class Quant : public testing::Test {
 protected:
  static void SetUpTestSuite() { dv_init(0, 0); }
};

// Area of scan position p (either mode).
int area_of_scan_position(int p) { return p <= 5 ? 0 : p <= 20 ? 1 : p <= 42 ? 2 : 3; }

TEST_F(Quant, AreasFollowTheScanOfEachMode) {
  for (int mode = 0; mode < 2; ++mode) {
    const uint8_t *areas = mode ? dv_248_areas : dv_88_areas;
    EXPECT_EQ(areas[0], 255);
    for (int p = 1; p < 64; ++p) {
      const int coefficient = dv_reorder[mode][p] / 2;
      EXPECT_EQ(areas[coefficient], area_of_scan_position(p)) << mode << " " << p;
    }
  }
  for (int v = 0; v < 8; ++v)
    for (int h = 0; h < 8; ++h) {
      const int d = v + h;
      if (d == 0) continue;
      const int area = d <= 2 ? 0 : d <= 5 ? 1 : d <= 8 ? 2 : 3;
      EXPECT_EQ(dv_88_areas[v * 8 + h], area);
    }
}

// The step of each area for (qno, class), as the quantisation tables of
// DV give them.
int step(int qno, int klass, int area) {
  return (1 << dv_quant_shifts[qno + dv_quant_offset[klass]][area]) << (klass == 3);
}

TEST_F(Quant, StepsAtTheExtremes) {
  for (int klass = 0; klass < 3; ++klass)
    for (int area = 0; area < 4; ++area) EXPECT_EQ(step(15, klass, area), 1);
  for (int qno = 9; qno < 16; ++qno)
    for (int area = 0; area < 4; ++area) EXPECT_EQ(step(qno, 0, area), 1);
  EXPECT_EQ(step(0, 3, 0), 16);
  EXPECT_EQ(step(0, 3, 1), 16);
  EXPECT_EQ(step(0, 3, 2), 32);
  EXPECT_EQ(step(0, 3, 3), 32);
  EXPECT_EQ(step(15, 3, 3), 2);
  EXPECT_EQ(step(0, 2, 3), 16);
}

TEST_F(Quant, EncoderDividesTowardZeroByArea) {
  dv_coeff_t block[64];
  for (int i = 0; i < 64; ++i) block[i] = static_cast<dv_coeff_t>(i % 2 ? -7 : 7);
  block[0] = 1000;
  _dv_quant(block, 0, 3);  // steps 16, 16, 32, 32
  EXPECT_EQ(block[0], 1000);
  for (int i = 1; i < 64; ++i) EXPECT_EQ(block[i], 0) << i;

  for (int i = 0; i < 64; ++i) block[i] = static_cast<dv_coeff_t>(i % 2 ? -7 : 7);
  _dv_quant(block, 4, 2);  // row 4: steps 4, 4, 8, 8
  EXPECT_EQ(block[1], -1);
  EXPECT_EQ(block[2], 1);
  EXPECT_EQ(block[21], 0);  // -7 / 8
  for (int i = 0; i < 64; ++i) block[i] = 200;
  _dv_quant(block, 15, 1);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], 200);
  _dv_quant(block, 15, 3);
  for (int i = 1; i < 64; ++i) EXPECT_EQ(block[i], 100);
}

TEST_F(Quant, Decoder8x8ShiftsByArea) {
  for (int qno = 0; qno < 16; ++qno)
    for (int klass = 0; klass < 4; ++klass) {
      dv_coeff_t block[64];
      for (int i = 0; i < 64; ++i) block[i] = static_cast<dv_coeff_t>(i % 3 - 1);
      _dv_quant_88_inverse(block, qno, klass);
      EXPECT_EQ(block[0], -1);
      for (int i = 1; i < 64; ++i)
        ASSERT_EQ(block[i], (i % 3 - 1) * step(qno, klass, dv_88_areas[i])) << qno << klass << i;
    }
}

TEST_F(Quant, FusedDequantiseAndWeightMatchTheTwoSteps) {
  std::mt19937 rng(3);
  for (int qno = 0; qno < 16; ++qno)
    for (int klass = 0; klass < 4; ++klass)
      for (int round = 0; round < 40; ++round) {
        dv_coeff_t two_steps[64], fused[64];
        for (int i = 0; i < 64; ++i)
          two_steps[i] = fused[i] = static_cast<dv_coeff_t>(
              round % 2 ? static_cast<int>(rng() % 511) - 255 : static_cast<int16_t>(rng()));
        _dv_quant_88_inverse(two_steps, qno, klass);
        _dv_weight_88_inverse(two_steps);
        tarsk::dequantise_weight_88(fused, qno, klass);
        for (int i = 0; i < 64; ++i) ASSERT_EQ(fused[i], two_steps[i]) << qno << klass << i;
      }
}

TEST_F(Quant, TheTwo248DequantisersAgreeEverywhere) {
  // Exhaustive over quantisation number and class; amplitudes over the
  // whole 9-bit range and beyond, including the wrap at the extremes.
  std::mt19937 rng(7);
  for (int qno = 0; qno < 16; ++qno)
    for (int klass = 0; klass < 4; ++klass)
      for (int round = 0; round < 40; ++round) {
        dv_coeff_t block[64], copy[64];
        for (int i = 0; i < 64; ++i) {
          const int pick = static_cast<int>(rng() % 4);
          block[i] = static_cast<dv_coeff_t>(pick == 0   ? static_cast<int>(rng() % 511) - 255
                                             : pick == 1 ? 255
                                             : pick == 2 ? -255
                                                         : static_cast<int16_t>(rng()));
          copy[i] = block[i];
        }
        dv_248_coeff_t a[64], b[64];
        quant_248_inverse_std(block, qno, klass, a);
        quant_248_inverse_mmx(block, qno, klass, b);
        for (int i = 0; i < 64; ++i) {
          ASSERT_EQ(a[i], b[i]) << qno << " " << klass << " " << i;
          ASSERT_EQ(block[i], copy[i]);
        }
      }
  EXPECT_EQ(_dv_quant_248_inverse, &quant_248_inverse_std);
}

TEST_F(Quant, Dequantised248ValuesWrapAt32Bits) {
  // Amplitude 255, class 3, row 0: step 32 times the largest prescale.
  dv_coeff_t block[64] = {};
  int largest = 1;
  for (int i = 1; i < 64; ++i)
    if (dv_idct_248_prescale[i] > dv_idct_248_prescale[largest]) largest = i;
  block[largest] = 255;
  block[0] = -256;
  dv_248_coeff_t co[64];
  quant_248_inverse_std(block, 0, 3, co);
  const int64_t exact = int64_t{255} * dv_idct_248_prescale[largest]
                        << (dv_quant_shifts[1][dv_248_areas[largest]] + 1);
  EXPECT_GT(exact, int64_t{INT32_MAX});
  EXPECT_EQ(co[largest], static_cast<int32_t>(static_cast<uint32_t>(exact)));
  EXPECT_EQ(co[0], -256 * dv_idct_248_prescale[0]);  // DC: no shift
  EXPECT_EQ(dv_quant_248_mul_tab[1][1][0], static_cast<uint32_t>(dv_idct_248_prescale[0]));
}

}  // namespace
