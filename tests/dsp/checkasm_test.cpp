// Every fast kernel against its plain twin, on random and extreme input:
// any difference fails. A kernel the processor (or the build) does not have
// is the plain one itself, and is skipped.
#include <gtest/gtest.h>

#include <tarsk/dv.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <vector>

#include "common/transform.h"
#include "decode/output/output.h"
#include "dsp/dsp.h"

namespace {

using tarsk::dsp::dsp;
using tarsk::dsp::plain_dsp;

class Checkasm : public testing::Test {
 protected:
  static void SetUpTestSuite() { dv_init(0, 0); }
};

// Blocks of every density: dequantised-looking coefficients, dense blocks
// over the whole 16-bit range, constant extremes, and mirrored blocks
// F(v, h) = -F(h, v), whose diagonal samples are whole numbers in exact
// arithmetic and land on, above or just below them in double precision
// (where a shortcut must hand the block back to the definition).
std::vector<std::vector<dv_coeff_t>> idct_blocks() {
  std::mt19937 rng(11);
  std::vector<std::vector<dv_coeff_t>> blocks;
  for (int nonzero : {0, 1, 2, 4, 5, 8, 15, 30, 63})
    for (int round = 0; round < 300; ++round) {
      std::vector<dv_coeff_t> b(64, 0);
      b[0] = static_cast<dv_coeff_t>(4 * (static_cast<int>(rng() % 512) - 256));
      for (int n = 0; n < nonzero; ++n) {
        const int pos = 1 + static_cast<int>(rng() % 63);
        b[static_cast<size_t>(pos)] = static_cast<dv_coeff_t>(
            (static_cast<int>(rng() % 64) - 32) * (1 << (rng() % 5)) * dv_weight_inverse_88_matrix[pos]);
      }
      blocks.push_back(b);
    }
  for (int round = 0; round < 300; ++round) {
    std::vector<dv_coeff_t> b(64);
    for (dv_coeff_t &c : b) c = static_cast<dv_coeff_t>(rng());
    blocks.push_back(b);
  }
  for (int value : {32767, -32768, 1, -1}) blocks.emplace_back(64, static_cast<dv_coeff_t>(value));
  for (int round = 0; round < 2000; ++round) {
    std::vector<dv_coeff_t> b(64, 0);
    b[0] = static_cast<dv_coeff_t>(8 * (static_cast<int>(rng() % 256) - 128));
    for (int pairs = 2 + static_cast<int>(rng() % 10); pairs > 0; --pairs) {
      const int v = static_cast<int>(rng() % 8), h = static_cast<int>(rng() % 8);
      if (v == h) continue;
      const auto amp = static_cast<dv_coeff_t>(static_cast<int>(rng() % 2001) - 1000);
      b[static_cast<size_t>(v * 8 + h)] = amp;
      b[static_cast<size_t>(h * 8 + v)] = static_cast<dv_coeff_t>(-amp);
    }
    blocks.push_back(b);
  }
  return blocks;
}

TEST_F(Checkasm, Idct88) {
  if (dsp().idct.idct_88 == plain_dsp().idct.idct_88) GTEST_SKIP() << "no fast kernel";
  for (const auto &input : idct_blocks()) {
    std::vector<dv_coeff_t> fast = input, plain = input;
    dsp().idct.idct_88(fast.data());
    plain_dsp().idct.idct_88(plain.data());
    ASSERT_EQ(fast, plain) << testing::PrintToString(input);
  }
}

TEST_F(Checkasm, DequantiseWeight88) {
  if (dsp().quant.dequantise_weight_88 == plain_dsp().quant.dequantise_weight_88)
    GTEST_SKIP() << "no fast kernel";
  std::mt19937 rng(5);
  for (int round = 0; round < 2000; ++round) {
    dv_coeff_t fast[64], plain[64];
    uint16_t factors[64];
    for (int i = 0; i < 64; ++i) {
      fast[i] = plain[i] = static_cast<dv_coeff_t>(round < 4 ? (round % 2 ? 32767 : -32768) : rng());
      factors[i] = static_cast<uint16_t>(round < 2 ? 65535 : rng());
    }
    dsp().quant.dequantise_weight_88(fast, factors);
    plain_dsp().quant.dequantise_weight_88(plain, factors);
    ASSERT_EQ(0, std::memcmp(fast, plain, sizeof fast)) << round;
  }
}

// Every qno and class, on blocks from sparse to dense, small values, values
// around the escapes' reach of 255 and the whole 16-bit range, and the
// constant extremes; the quantised block and its bits must agree.
TEST_F(Checkasm, QuantiseCount) {
  const auto fast = dsp().encode.quantise_count, plain = plain_dsp().encode.quantise_count;
  if (fast == plain) GTEST_SKIP() << "no fast kernel";
  std::mt19937 rng(3);
  for (int round = 0; round < 3000; ++round) {
    dv_coeff_t in[64], a[64], b[64];
    const int density = round % 5, reach = std::array{8, 40, 300, 1100, 65536}[round / 5 % 5];
    for (dv_coeff_t &c : in)
      c = static_cast<dv_coeff_t>(round < 2 ? (round ? 32767 : -32768)
                                  : rng() % 5 < static_cast<unsigned>(density)
                                      ? static_cast<int>(rng() % reach) - reach / 2
                                      : 0);
    const int qno = round % 16, klass = round / 16 % 4;
    uint8_t shift[4];
    tarsk::quant_area_shifts(qno, klass, shift);
    const auto bits = fast(in, a, shift, vlc_num_bits_lookup);
    ASSERT_EQ(bits, plain(in, b, shift, vlc_num_bits_lookup)) << round;
    ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << round;
  }
}

// Both forward transforms on samples in the encoder's range (2 x (8-bit
// value - 128)), over the whole 16-bit range (where the transforms' 16-bit
// sums wrap), constant extremes and lines alternating between them.
TEST_F(Checkasm, ForwardDct) {
  const auto &fast = dsp().encode, &plain = plain_dsp().encode;
  if (fast.fdct_88 == plain.fdct_88) GTEST_SKIP() << "no fast kernel";
  std::mt19937 rng(8);
  for (int round = 0; round < 20000; ++round) {
    dv_coeff_t in[64];
    for (int i = 0; i < 64; ++i) {
      const int extreme = (i / 8 + round) % 2 ? 32767 : -32768;
      in[i] = static_cast<dv_coeff_t>(round < 4   ? extreme * (round / 2 ? 1 : (i % 2 ? 1 : 0))
                                      : round % 2 ? static_cast<int16_t>(rng())
                                                  : static_cast<int>(rng() % 512) - 256);
    }
    dv_coeff_t a[64], b[64];
    std::memcpy(a, in, sizeof a);
    std::memcpy(b, in, sizeof b);
    fast.fdct_88(a, postSC88);
    plain.fdct_88(b, postSC88);
    ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << "8x8 " << round;
    std::memcpy(a, in, sizeof a);
    std::memcpy(b, in, sizeof b);
    fast.fdct_248(a, postSC248);
    plain.fdct_248(b, postSC248);
    ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << "2-4-8 " << round;
  }
}

// The block kernels of the encoder's input and classification on blocks
// of small values, of the whole 16-bit range, of constant and alternating
// extremes, and with the extreme in one place only.
TEST_F(Checkasm, EncoderBlockKernels) {
  const auto &fast = dsp().encode, &plain = plain_dsp().encode;
  if (fast.largest_ac == plain.largest_ac) GTEST_SKIP() << "no fast kernel";
  std::mt19937 rng(12);
  for (int round = 0; round < 20000; ++round) {
    int16_t lines[16 * 13];
    const int lone = static_cast<int>(rng() % 208);
    for (int i = 0; i < 16 * 13; ++i) {
      const int kind = round % 5;
      lines[i] = static_cast<int16_t>(kind == 0   ? static_cast<int>(rng() % 64) - 32
                                      : kind == 1 ? static_cast<int16_t>(rng())
                                      : kind == 2 ? (round % 2 ? 32767 : -32768)
                                      : kind == 3 ? ((i / 13 + i) % 2 ? 32767 : -32768)
                                                  : (i == lone ? (round % 2 ? -32768 : 32767) : 0));
    }
    dv_coeff_t a[64], b[64];
    fast.load_transposed(lines, 13, a);
    plain.load_transposed(lines, 13, b);
    ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << round;
    dv_coeff_t pairs_fast[64], pairs_plain[64];
    fast.load_transposed_line_pairs(lines, 13, pairs_fast);
    plain.load_transposed_line_pairs(lines, 13, pairs_plain);
    ASSERT_EQ(0, std::memcmp(pairs_fast, pairs_plain, sizeof a)) << round;
    ASSERT_EQ(fast.largest_ac(a), plain.largest_ac(a)) << round;
    ASSERT_EQ(fast.nonzero_ac(a), plain.nonzero_ac(a)) << round;
    int sums_fast[2], sums_plain[2];
    fast.neighbour_differences(a, sums_fast);
    plain.neighbour_differences(a, sums_plain);
    ASSERT_EQ(sums_fast[0], sums_plain[0]) << round;
    ASSERT_EQ(sums_fast[1], sums_plain[1]) << round;
  }
}

// Every byte value, at every length up to two vectors and a tail.
TEST_F(Checkasm, ToEncoderScale) {
  const auto &fast = dsp().encode, &plain = plain_dsp().encode;
  if (fast.to_encoder_scale == plain.to_encoder_scale) GTEST_SKIP() << "no fast kernel";
  std::vector<uint8_t> in(256 + 40);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 7);
  for (int n = 0; n <= static_cast<int>(in.size()); ++n) {
    std::vector<int16_t> a(2 * in.size() + 1, 99), b = a, c = a, d = a;
    fast.to_encoder_scale(in.data(), a.data(), n);
    plain.to_encoder_scale(in.data(), b.data(), n);
    fast.to_encoder_scale_doubled(in.data(), c.data(), n);
    plain.to_encoder_scale_doubled(in.data(), d.data(), n);
    ASSERT_EQ(a, b) << n;
    ASSERT_EQ(c, d) << n;
  }
}

// Random samples over the whole 16-bit range and near the clamps, every
// clamp setting, set-up on and off, all three macroblock shapes.
TEST_F(Checkasm, Yuy2Writers) {
  const auto &fast = dsp().yuy2, &plain = plain_dsp().yuy2;
  if (fast.mb411 == plain.mb411) GTEST_SKIP() << "no fast kernel";
  std::mt19937 rng(9);
  const int pitch = 720 * 2;
  for (int clamps = 0; clamps < 4; ++clamps) {
    const auto &tables = tarsk::output::tables(clamps & 1, clamps >> 1).yuy2;
    for (int round = 0; round < 60; ++round) {
      dv_macroblock_t mb{};
      for (dv_block_t &b : mb.b)
        for (dv_coeff_t &c : b.coeffs)
          c = static_cast<dv_coeff_t>(round % 2 ? static_cast<int16_t>(rng())
                                                : static_cast<int>(rng() % 900) - 400);
      const bool setup = round % 3 == 0;
      struct Case {
        int x;
        tarsk::dsp::Yuy2Writer fast, plain;
      };
      for (const Case &c : {Case{64, fast.mb411, plain.mb411},
                            Case{704, fast.mb411_right, plain.mb411_right},
                            Case{16, fast.mb420, plain.mb420}}) {
        std::vector<uint8_t> a(pitch * 16, 0x5a), b(pitch * 16, 0x5a);
        mb.x = c.x;
        c.fast(&mb, a.data(), pitch, tables, setup);
        c.plain(&mb, b.data(), pitch, tables, setup);
        ASSERT_EQ(a, b) << clamps << " " << round << " " << c.x;
      }
    }
  }
}

}  // namespace
