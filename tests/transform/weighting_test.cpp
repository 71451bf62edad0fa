// Weighting tables: the inverse weights and the forward post-scales.
#include <gtest/gtest.h>

#include <tarsk/dv.h>

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

TEST_F(Weighting, ForwardAndTwoFourEightInverseStepsLeaveTheBlock) {
  dv_coeff_t block[64], copy[64];
  for (int i = 0; i < 64; ++i) block[i] = copy[i] = static_cast<dv_coeff_t>(i * 37 - 900);
  _dv_weight_88(block);
  _dv_weight_248(block);
  _dv_weight_248_inverse(block);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(block[i], copy[i]);
}

}  // namespace
