// The rounded inverse 8x8 DCT against the accuracy tests of IEEE 1180-1990:
// random 8x8 blocks of samples in [-L, H] (and their negations), their
// exact forward transform rounded to integers and held to [-2048, 2047],
// inverted by the kernel and by the exact double-precision definition
// rounded; over 10000 blocks per range the errors must stay within the
// standard's bounds. The specified truncating transform, which pulls every
// sample toward zero, is the control that shows the harness can fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>

#include "common/transform.h"
#include "dsp/dsp.h"
#include "init.h"

namespace {

using Block = std::array<double, 64>;

double normal(int k) { return k == 0 ? std::sqrt(0.125) : 0.5; }

// cos((2n + 1) k pi / 16) at [n][k].
const auto cosines = [] {
  std::array<std::array<double, 8>, 8> c{};
  for (int n = 0; n < 8; ++n)
    for (int k = 0; k < 8; ++k) c[n][k] = std::cos((2 * n + 1) * k * M_PI / 16.0);
  return c;
}();
double cosine(int n, int k) { return cosines[n][k]; }

Block forward(const Block &f) {
  Block F{};
  for (int v = 0; v < 8; ++v)
    for (int h = 0; h < 8; ++h) {
      double sum = 0;
      for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) sum += f[y * 8 + x] * cosine(y, v) * cosine(x, h);
      F[v * 8 + h] = normal(v) * normal(h) * sum;
    }
  return F;
}

Block inverse(const Block &F) {
  Block f{};
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      double sum = 0;
      for (int v = 0; v < 8; ++v)
        for (int h = 0; h < 8; ++h)
          sum += normal(v) * normal(h) * F[v * 8 + h] * cosine(y, v) * cosine(x, h);
      f[y * 8 + x] = sum;
    }
  return f;
}

struct Accuracy {
  int peak = 0;
  double worst_position_mse = 0, overall_mse = 0, worst_position_mean = 0, overall_mean = 0;
  bool meets() const {
    return peak <= 1 && worst_position_mse <= 0.06 && overall_mse <= 0.02 &&
           worst_position_mean <= 0.015 && overall_mean <= 0.0015;
  }
};

// The statistics of IEEE 1180 for one range and sign, `blocks` blocks.
Accuracy measure(const std::function<void(dv_coeff_t *)> &idct, int low, int high, int sign,
                 int blocks) {
  std::mt19937 random(static_cast<unsigned>(low * 1000 + high + sign));
  std::uniform_int_distribution<int> sample(-low, high);
  std::array<double, 64> error_sum{}, square_sum{};
  Accuracy a;
  for (int b = 0; b < blocks; ++b) {
    Block f;
    for (double &s : f) s = sign * sample(random);
    Block F = forward(f);
    dv_coeff_t coeffs[64];
    for (int i = 0; i < 64; ++i) {
      F[i] = std::clamp(std::round(F[i]), -2048.0, 2047.0);
      coeffs[i] = static_cast<dv_coeff_t>(F[i]);
    }
    const Block reference = inverse(F);
    idct(coeffs);
    for (int i = 0; i < 64; ++i) {
      const int want = static_cast<int>(std::clamp(std::round(reference[i]), -256.0, 255.0));
      const int got = std::clamp<int>(coeffs[i], -256, 255);
      const int e = got - want;
      a.peak = std::max(a.peak, std::abs(e));
      error_sum[i] += e;
      square_sum[i] += e * e;
    }
  }
  for (int i = 0; i < 64; ++i) {
    a.worst_position_mse = std::max(a.worst_position_mse, square_sum[i] / blocks);
    a.worst_position_mean = std::max(a.worst_position_mean, std::abs(error_sum[i]) / blocks);
    a.overall_mse += square_sum[i] / (64.0 * blocks);
    a.overall_mean += error_sum[i] / (64.0 * blocks);
  }
  a.overall_mean = std::abs(a.overall_mean);
  return a;
}

TEST(IdctAccuracy, RoundedTransformMeetsIeee1180AndTheSpecifiedOneDoesNot) {
  tarsk::build_tables();
  float normalisation[64];
  for (int i = 0; i < 64; ++i) normalisation[i] = static_cast<float>(normal(i / 8) * normal(i % 8));
  const struct {
    const char *name;
    tarsk::dsp::Dsp kernels;
  } builds[] = {{"fast", tarsk::dsp::dsp()}, {"plain", tarsk::dsp::plain_dsp()}};
  for (const auto &build : builds) {
    const auto rounded = [&](dv_coeff_t *b) { build.kernels.idct.idct_88_rounded(b, normalisation); };
    for (auto [low, high] : {std::pair{256, 255}, {5, 5}, {300, 300}})
      for (int sign : {1, -1}) {
        const Accuracy a = measure(rounded, low, high, sign, 10000);
        EXPECT_TRUE(a.meets()) << build.name << " [" << -low << ", " << high << "] sign " << sign
                               << ": peak " << a.peak << ", position mse " << a.worst_position_mse
                               << ", mse " << a.overall_mse << ", position mean "
                               << a.worst_position_mean << ", mean " << a.overall_mean;
      }
  }
  // The control: the specified transform truncates toward zero.
  const auto truncating = [](dv_coeff_t *b) { tarsk::dsp::plain_dsp().idct.idct_88(b); };
  EXPECT_FALSE(measure(truncating, 256, 255, 1, 2000).meets());
}

}  // namespace

namespace {

// The rounded 2-4-8 transform against its definition summed directly: for
// sample (x, 2z + field), the sum over v < 4 and h of the factored sums
// (field 0) or differences (field 1) of the two fields' coefficients times
// cos((2z + 1) v pi/8) cos((2x + 1) h pi/16). Both in double precision:
// random blocks agree to the last sample but for a rare tie; and the
// decoders' edge cases of a lone sums' DC and a lone differences' DC.
TEST(IdctAccuracy, Rounded248TransformIsItsDefinition) {
  tarsk::build_tables();
  const float *factors = tarsk::accurate_248_factors(15, 0);  // steps of 1
  for (const auto &build : {tarsk::dsp::dsp(), tarsk::dsp::plain_dsp()}) {
    std::mt19937 random(248);
    std::uniform_int_distribution<int> coefficient(-600, 600);
    int differing = 0;
    for (int b = 0; b < 2000; ++b) {
      dv_coeff_t block[64];
      for (dv_coeff_t &c : block) c = static_cast<dv_coeff_t>(random() % 4 == 0 ? coefficient(random) : 0);
      double want[64];
      for (int z = 0; z < 4; ++z)
        for (int field = 0; field < 2; ++field)
          for (int x = 0; x < 8; ++x) {
            double sum = 0;
            for (int v = 0; v < 4; ++v)
              for (int h = 0; h < 8; ++h) {
                const double a = block[v * 8 + h] * factors[v * 8 + h];
                const double d = block[(v + 4) * 8 + h] * factors[(v + 4) * 8 + h];
                sum += (field == 0 ? a + d : a - d) * std::cos((2 * z + 1) * v * M_PI / 8) *
                       cosine(x, h);
              }
            want[(2 * z + field) * 8 + x] = sum;
          }
      build.idct.idct_248_rounded(block, factors);
      for (int i = 0; i < 64; ++i) {
        ASSERT_LE(std::abs(block[i] - want[i]), 0.5 + 1e-3) << "block " << b << " sample " << i;
        differing += block[i] != static_cast<int>(std::lround(want[i]));
      }
    }
    EXPECT_LE(differing, 2);
    // A lone DC of the sums, and of the differences (inverse weight 2).
    dv_coeff_t dc[64] = {64}, field_dc[64] = {};
    field_dc[32] = 64;
    build.idct.idct_248_rounded(dc, factors);
    build.idct.idct_248_rounded(field_dc, factors);
    for (int i = 0; i < 64; ++i) {
      EXPECT_EQ(dc[i], 32) << i;
      EXPECT_EQ(field_dc[i], (i / 8) % 2 == 0 ? 16 : -16) << i;
    }
  }
}

}  // namespace
