// Weighting tables: the inverse weights and the forward post-scales.
#include <gtest/gtest.h>

#include <tarsk/dv.h>

#include <cmath>

namespace {

class Weighting : public testing::Test {
 protected:
  static void SetUpTestSuite() { dv_init(0, 0); }
};

TEST_F(Weighting, InverseWeightsOf8x8Blocks) {
  const int16_t expected[64] = {
      4, 2, 2, 2, 2, 2, 3, 3,  //
      2, 2, 2, 2, 2, 2, 3, 3,  //
      2, 2, 2, 2, 2, 3, 3, 3,  //
      2, 2, 2, 2, 3, 3, 3, 3,  //
      2, 2, 2, 3, 3, 3, 3, 3,  //
      2, 2, 3, 3, 3, 3, 3, 3,  //
      3, 3, 3, 3, 3, 3, 3, 4,  //
      3, 3, 3, 3, 3, 3, 4, 4};
  for (int i = 0; i < 64; ++i) EXPECT_EQ(dv_weight_inverse_88_matrix[i], expected[i]) << i;

  dv_coeff_t block[64];
  for (int i = 0; i < 64; ++i) block[i] = static_cast<dv_coeff_t>(i - 20);
  _dv_weight_88_inverse(block);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], (i - 20) * expected[i]) << i;
}

TEST_F(Weighting, InverseWeightsOf248Blocks) {
  const double row0[8] = {4.0, 2.039182, 2.164784, 2.222281, 2.285714, 2.351751, 2.613126,
                          2.774080};
  for (int h = 0; h < 8; ++h) EXPECT_NEAR(dv_weight_inverse_248_matrix[h], row0[h], 1e-6) << h;
  // The difference half's DC keeps the formula's value, not the DC's 4.
  EXPECT_DOUBLE_EQ(dv_weight_inverse_248_matrix[32], 2.0);
  for (int h = 1; h < 8; ++h)
    EXPECT_DOUBLE_EQ(dv_weight_inverse_248_matrix[32 + h], dv_weight_inverse_248_matrix[h]);
}

TEST_F(Weighting, ForwardPostScales) {
  const int16_t row0[8] = {2048, 2896, 2896, 3135, 3584, 4433, 5793, 10703};
  for (int h = 0; h < 8; ++h) {
    EXPECT_EQ(postSC88[h], row0[h]) << h;
    EXPECT_EQ(postSC248[h], row0[h]) << h;
    EXPECT_EQ(postSC248[32 + h], row0[h]) << h;
  }
  EXPECT_EQ(postSC88[63], 17032);
  EXPECT_EQ(postSC248[31], 18081);
  EXPECT_EQ(postSC248[63], 18081);
  for (int v = 0; v < 8; ++v)
    for (int h = 0; h < 8; ++h) {
      EXPECT_EQ(postSC88[v * 8 + h], postSC88[h * 8 + v]);
      if (v < 4) {
        EXPECT_EQ(postSC248[v * 8 + h], postSC248[(v + 4) * 8 + h]);
      }
    }
}

// Every 2-4-8 post-scale entry: the 4-point normalisation over cos(v pi/8)
// and the 8-point one over cos(h pi/16), times the forward weight, with 17
// fraction bits (the scale of (3, 7) and (7, 7) is left at 1).
TEST_F(Weighting, TwoFourEightPostScaleEverywhere) {
  const double pi = std::acos(-1.0);
  const double w[8] = {1.0,      0.980785, 0.923880, 0.899976,
                       0.875,    0.850430, 0.765367, 0.720960};
  for (int r = 0; r < 8; ++r)
    for (int h = 0; h < 8; ++h) {
      const int v = r % 4;
      const double k4 = v == 0 ? 1 / (4 * std::sqrt(2.0)) : 1.0 / 8;
      const double k8 = h == 0 ? 1 / (8 * std::sqrt(2.0)) : 1.0 / 16;
      const double scale =
          v == 3 && h == 7 ? 1.0 : 8 * k4 * k8 / (std::cos(v * pi / 8) * std::cos(h * pi / 16));
      const double weight = v == 0 && h == 0 ? 0.25 : w[h] * w[2 * v] / 2;
      EXPECT_NEAR(postSC248[r * 8 + h], 65536 * scale * weight, 1.0) << r << " " << h;
    }
}

TEST_F(Weighting, ForwardAndTwoFourEightInverseStepsLeaveTheBlock) {
  dv_coeff_t block[64], copy[64];
  for (int i = 0; i < 64; ++i) block[i] = copy[i] = static_cast<dv_coeff_t>(i * 37 - 900);
  _dv_weight_88(block);
  _dv_weight_248(block);
  _dv_weight_248_inverse(block);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], copy[i]);
}

}  // namespace
