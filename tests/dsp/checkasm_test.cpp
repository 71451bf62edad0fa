// Every fast kernel against its plain twin, bit for bit, on the same random
// and extreme input (a kernel the processor or the build lacks is the plain
// one itself and agrees trivially); the plain inverse DCT against the
// definition, written out here.
#include <gtest/gtest.h>
#include <tarsk/dv.h>

#include <array>
#include <cmath>
#include <cstring>
#include <random>
#include <utility>
#include <vector>

#include "common/transform.h"
#include "common/vlc.h"
#include "decode/output/output.h"
#include "dsp/dsp.h"

namespace {

using tarsk::dsp::dsp, tarsk::dsp::plain_dsp;
using Block = std::array<dv_coeff_t, 64>;

// n values of one of eight kinds: sparse dequantised-looking coefficients;
// mirrored blocks F(v, h) = -F(h, v), whose diagonal samples are whole in
// exact arithmetic and near-whole in double (where a shortcut must hand the
// block to the definition); a reach around the escapes' 255 at a density;
// 16-bit noise; the encoder's 2 x (byte - 128); constant extremes, lines
// alternating between them, one extreme alone.
std::vector<int16_t> values(int round, size_t n, std::mt19937 &rng) {
  std::vector<int16_t> v(n, 0);
  auto random = [&](int reach) {
    return static_cast<int>(rng() % static_cast<unsigned>(reach)) - reach / 2;
  };
  const int extreme = round / 8 % 2 ? 32767 : -32768;
  switch (round % 8) {
    case 0:
      for (size_t b = 0; b + 64 <= n; b += 64) {
        v[b] = static_cast<int16_t>(4 * random(512));
        for (int k = round / 8 % 64; k > 0; --k) {
          const size_t pos = 1 + rng() % 63;
          v[b + pos] = static_cast<int16_t>(random(64) * (1 << (rng() % 5)) *
                                            dv_weight_inverse_88_matrix[pos]);
        }
      }
      break;
    case 1:
      for (size_t b = 0; b + 64 <= n; b += 64) {
        v[b] = static_cast<int16_t>(8 * random(256));
        for (int pairs = 2 + static_cast<int>(rng() % 10); pairs > 0; --pairs) {
          const size_t a = rng() % 64, t = a % 8 * 8 + a / 8;
          const int amp = random(2001);
          if (a != t) v[b + a] = static_cast<int16_t>(amp), v[b + t] = static_cast<int16_t>(-amp);
        }
      }
      break;
    case 2:
      for (auto &x : v)
        if (rng() % 5 < static_cast<unsigned>(round / 8 % 5))
          x = static_cast<int16_t>(random(std::array{8, 40, 300, 1100, 65536}[round / 40 % 5]));
      break;
    // clang-format off
    case 3: for (auto &x : v) x = static_cast<int16_t>(rng()); break;
    case 4: for (auto &x : v) x = static_cast<int16_t>(random(512)); break;
    case 5:
      for (auto &x : v) x = static_cast<int16_t>(round / 16 % 2 ? extreme : round / 8 % 2 ? 1 : -1);
      break;
    case 6:
      for (size_t i = 0; i < n; ++i) {
        const size_t pattern = std::array{i / 8, i / 8 + i, i / 13 + i}[round / 8 % 3];
        v[i] = static_cast<int16_t>(pattern % 2 ? extreme : -1 - extreme);
      }
      break;
    default: v[rng() % n] = static_cast<int16_t>(extreme);
    // clang-format on
  }
  return v;
}

Block block(int round, std::mt19937 &rng) {
  const auto v = values(round, 64, rng);
  Block b;
  std::copy(v.begin(), v.end(), b.begin());
  return b;
}

// The inverse 8x8 transform as defined: every coefficient in raster order
// adds its term to each sample in double precision; then truncation.
Block definition_idct(const Block &in) {
  const double c0 = std::sqrt(0.125);  // 1 / (2 sqrt 2), correctly rounded
  auto c = [&](int n) { return n == 0 ? c0 : 0.5; };
  double sum[64] = {};
  for (int i = 0; i < 64 * 64; ++i) {
    const int v = i / 512, h = i / 64 % 8, y = i / 8 % 8, x = i % 8;
    sum[y * 8 + x] +=
        c(v) * c(h) * in[static_cast<size_t>(v * 8 + h)] *
        (std::cos((2 * y + 1) * v * M_PI / 16.0) * std::cos((2 * x + 1) * h * M_PI / 16.0));
  }
  Block out;
  for (int i = 0; i < 64; ++i)
    out[static_cast<size_t>(i)] = static_cast<dv_coeff_t>(static_cast<int>(sum[i]));
  return out;
}

// A block for the best encoder's quantisation: the values with fractions
// at a scale of the round's, each position's step from the area shifts,
// and random energies (0 at the DC, which has no step).
struct RdBlock {
  float coeffs[64], step[64], inverse[64], energy[64];
};

RdBlock rd_block(const Block &in, const uint8_t shift[4], int round, std::mt19937 &rng) {
  RdBlock rd;
  for (int p = 0; p < 64; ++p) {
    rd.coeffs[p] = std::ldexp(static_cast<float>(in[static_cast<size_t>(p)]), -(round % 5)) +
                   static_cast<float>(rng() % 1024) / 1024.0f;
    int area = 0;
    while (p >= tarsk::scan_area_start[area + 1]) ++area;
    rd.step[p] = p == 0 ? 0.0f : static_cast<float>(1 << shift[area]);
    rd.inverse[p] = p == 0 ? 0.0f : 1 / rd.step[p];
    rd.energy[p] = p == 0 ? 0.0f : static_cast<float>(rng() % 4096 + 1) / 256.0f;
  }
  return rd;
}

TEST(Checkasm, EveryFastKernelMatchesItsPlainTwin) {
  dv_init(0, 0);
  const auto &fast = dsp(), &plain = plain_dsp();
  std::mt19937 rng(11);
  for (int round = 0; round < 24000; ++round) {
    SCOPED_TRACE(round);
    const Block in = block(round, rng);
    Block a = in, b = in;
    fast.idct.idct_88(a.data());
    plain.idct.idct_88(b.data());
    ASSERT_EQ(a, b) << "idct_88 " << testing::PrintToString(in);
    // The plain kernel is the definition (sparse blocks and constant ones).
    ASSERT_TRUE((round % 40 != 0 && round % 40 != 5) || b == definition_idct(in)) << "definition";
    if (std::memcmp(&fast, &plain, sizeof fast) == 0) continue;  // a build without fast kernels
    uint16_t factors[64];
    for (auto &f : factors) f = static_cast<uint16_t>(round % 16 == 5 ? 65535 : rng());
    a = in, b = in;
    fast.quant.dequantise_weight_88(a.data(), factors);
    plain.quant.dequantise_weight_88(b.data(), factors);
    ASSERT_EQ(a, b) << "dequantise_weight_88";
    // The accurate reconstruction's transforms with a macroblock's factors
    // (any qno and class) and, every fifth round, factors of a whole
    // octave's spread, beyond the tables'.
    float spread[64];
    for (auto &f : spread) f = std::ldexp(static_cast<float>(rng() % 1000 + 1), -9 + round % 7);
    const int qno = round / 4 % 16, klass = round / 64 % 4;
    for (auto [f, p, factors, name] :
         {std::tuple{fast.idct.idct_88_rounded, plain.idct.idct_88_rounded,
                     round % 5 ? tarsk::accurate_88_factors(qno, klass) : spread, "88"},
          std::tuple{fast.idct.idct_248_rounded, plain.idct.idct_248_rounded,
                     round % 5 ? tarsk::accurate_248_factors(qno, klass) : spread, "248"}}) {
      a = in, b = in;
      f(a.data(), factors);
      p(b.data(), factors);
      ASSERT_EQ(a, b) << "idct_" << name << "_rounded " << testing::PrintToString(in);
    }
    uint8_t shift[4];
    tarsk::quant_area_shifts(round / 8 % 16, round / 128 % 4, shift);
    ASSERT_EQ(fast.encode.quantise_count(in.data(), a.data(), shift, vlc_num_bits_lookup),
              plain.encode.quantise_count(in.data(), b.data(), shift, vlc_num_bits_lookup));
    ASSERT_EQ(a, b) << "quantise_count";
    // The best encoder's quantisation of exact coefficients at a set's
    // steps and at one step in every area, in both of its roundings.
    const RdBlock rd = rd_block(in, shift, round, rng);
    const float offset = round % 2 ? 0.4f : 0.5f;
    int bits[2];
    const float distortion[2] = {
        fast.encode.rd_quantise(rd.coeffs, rd.step, rd.inverse, rd.energy, offset, &bits[0],
                                a.data()),
        plain.encode.rd_quantise(rd.coeffs, rd.step, rd.inverse, rd.energy, offset, &bits[1],
                                 b.data())};
    ASSERT_EQ(a, b) << "rd_quantise";
    ASSERT_EQ(bits[0], bits[1]) << "rd_quantise";
    ASSERT_EQ(std::memcmp(&distortion[0], &distortion[1], sizeof(float)), 0) << "rd_quantise";
    tarsk::dsp::RdShare shares[2][4];
    fast.encode.rd_shares(rd.coeffs, rd.energy, round % 6, offset, shares[0]);
    plain.encode.rd_shares(rd.coeffs, rd.energy, round % 6, offset, shares[1]);
    ASSERT_EQ(std::memcmp(shares[0], shares[1], sizeof shares[0]), 0) << "rd_shares";
    // The transforms with random factors, in one mode or both.
    tarsk::dsp::RdBasis basis;
    for (auto [f, n] : {std::pair{&basis.horizontal_by_sample[0][0], 64},
                        std::pair{&basis.vertical[0][0][0], 128},
                        std::pair{&basis.raster_scale[0][0], 128}})
      for (int i = 0; i < n; ++i)
        f[i] = std::ldexp(static_cast<float>(static_cast<int>(rng() % 2001) - 1000), -10);
    float transformed[2][2][64] = {};
    const int first_mode = round % 3 == 2, last_mode = round % 3 != 0;
    fast.encode.rd_transform(in.data(), basis, first_mode, last_mode, transformed[0]);
    plain.encode.rd_transform(in.data(), basis, first_mode, last_mode, transformed[1]);
    ASSERT_EQ(std::memcmp(transformed[0], transformed[1], sizeof transformed[0]), 0)
        << "rd_transform";
    for (auto [f, p, post] : {std::tuple{fast.encode.fdct_88, plain.encode.fdct_88, postSC88},
                              std::tuple{fast.encode.fdct_248, plain.encode.fdct_248, postSC248}}) {
      a = in, b = in;
      f(a.data(), post);
      p(b.data(), post);
      ASSERT_EQ(a, b) << (post == postSC88 ? "fdct_88" : "fdct_248");
    }
    const auto lines = values(round, 16 * 13, rng);
    fast.encode.load_transposed(lines.data(), 13, a.data());
    plain.encode.load_transposed(lines.data(), 13, b.data());
    ASSERT_EQ(a, b) << "load_transposed";
    ASSERT_EQ(fast.encode.largest_ac(a.data()), plain.encode.largest_ac(a.data()));
    ASSERT_EQ(fast.encode.nonzero_ac(a.data()), plain.encode.nonzero_ac(a.data()));
    int sums[2][2];
    fast.encode.neighbour_differences(a.data(), sums[0]);
    plain.encode.neighbour_differences(a.data(), sums[1]);
    ASSERT_EQ(std::vector(sums[0], sums[0] + 2), std::vector(sums[1], sums[1] + 2));
    fast.encode.load_transposed_line_pairs(lines.data(), 13, a.data());
    plain.encode.load_transposed_line_pairs(lines.data(), 13, b.data());
    ASSERT_EQ(a, b) << "load_transposed_line_pairs";
    // Every clamp setting, set-up on and off, the three macroblock shapes.
    if (round % 40 >= 8) continue;
    dv_macroblock_t mb{};
    const auto samples = values(round, 6 * 64, rng);
    for (int i = 0; i < 6 * 64; ++i) mb.b[i / 64].coeffs[i % 64] = samples[static_cast<size_t>(i)];
    const auto &tables = tarsk::output::tables(round / 8 % 2, round / 16 % 2).yuy2;
    for (auto [x, f, p] : {std::tuple{64, fast.yuy2.mb411, plain.yuy2.mb411},
                           std::tuple{704, fast.yuy2.mb411_right, plain.yuy2.mb411_right},
                           std::tuple{16, fast.yuy2.mb420, plain.yuy2.mb420}}) {
      std::vector<uint8_t> out_fast(1440 * 16, 0x5a), out_plain = out_fast;
      mb.x = x;
      f(&mb, out_fast.data(), 1440, tables, round % 3 == 0);
      p(&mb, out_plain.data(), 1440, tables, round % 3 == 0);
      ASSERT_EQ(out_fast, out_plain) << "yuy2 at " << x;
    }
    // Planar: each shape at its own sampling and at 4:2:2, planes with
    // strides wider than their lines.
    struct Planar {
      int x;
      tarsk::dsp::PlanarWriter f, p;
      int shift_x, shift_y;
    };
    for (const Planar &k : {Planar{64, fast.planar.mb411, plain.planar.mb411, 2, 0},
                            Planar{64, fast.planar.mb411, plain.planar.mb411, 1, 0},
                            Planar{704, fast.planar.mb411_right, plain.planar.mb411_right, 2, 0},
                            Planar{704, fast.planar.mb411_right, plain.planar.mb411_right, 1, 0},
                            Planar{16, fast.planar.mb420, plain.planar.mb420, 1, 1},
                            Planar{16, fast.planar.mb420, plain.planar.mb420, 1, 0}}) {
      std::vector<uint8_t> planes_fast(3 * 736 * 16, 0x5a), planes_plain = planes_fast;
      auto set_of = [&](std::vector<uint8_t> &bytes) {
        return tarsk::dsp::PlaneSet{{bytes.data(), bytes.data() + 736 * 16, bytes.data() + 2 * 736 * 16},
                                    {736, 376, 380},
                                    k.shift_x,
                                    k.shift_y};
      };
      mb.x = k.x;
      k.f(&mb, set_of(planes_fast), tables, round % 3 == 0);
      k.p(&mb, set_of(planes_plain), tables, round % 3 == 0);
      ASSERT_EQ(planes_fast, planes_plain)
          << "planar at " << k.x << " shifts " << k.shift_x << " " << k.shift_y;
    }
  }
  // Every byte value, at every length up to two vectors and a tail.
  std::vector<uint8_t> bytes(256 + 40);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
  for (int n = 0; n <= static_cast<int>(bytes.size()); ++n) {
    std::vector<int16_t> a(bytes.size() + 1, 99), b = a;
    fast.encode.to_encoder_scale(bytes.data(), a.data(), n);
    plain.encode.to_encoder_scale(bytes.data(), b.data(), n);
    ASSERT_EQ(a, b) << n;
  }
}

// The fast paths outside the kernel tables: the tables of short and long
// codes with the cut at the bits left, the pairs of codes, and the shortcut of codes up to seven bits against the class
// tables (every window, every number of bits left); the fused
// dequantise-and-weight against its two steps, for every qno and class.
TEST(Checkasm, FastPathsOfTheParserAndDequantisers) {
  dv_init(0, 0);
  for (uint32_t w = 0; w < 0x10000; ++w)
    for (int maxbits = 0; maxbits < 64; ++maxbits) {
      dv_vlc_t c;
      const dv_vlc_t f = tarsk::vlc_decode_fast(w, maxbits);
      tarsk::vlc_decode(w, maxbits, &c);
      ASSERT_EQ(std::tuple(f.run, f.len, f.amp), std::tuple(c.run, c.len, c.amp))
          << w << " " << maxbits;
      if (maxbits != 7 || w >= 128) continue;
      tarsk::vlc_decode(w << 9, 7, &c);
      const dv_vlc_t &s = dv_vlc_class1_shortcut[w];
      ASSERT_EQ(std::tuple(s.run, s.len, s.amp), std::tuple(c.run, c.len, c.amp)) << w;
    }
  // The pairs of codes by 11 bits against two decodings in turn: every
  // window, any bits after the 11.
  int pairs = 0;
  for (uint32_t w = 0; w < 0x10000; ++w) {
    const tarsk::VlcPair &p = tarsk::vlc_pairs[w >> 5];
    dv_vlc_t first, second;
    tarsk::vlc_decode(w, 16, &first);
    const bool short_first = first.len <= 11 && first.run >= 0;
    ASSERT_EQ(p.len > 0, short_first) << w;
    if (!short_first) continue;
    ASSERT_EQ(std::tuple(p.at1, p.amp1), std::tuple(first.run, first.amp)) << w;
    tarsk::vlc_decode((w << first.len) & 0xffff, 16, &second);
    if (second.run >= 0 && first.len + second.len <= 11) {
      ++pairs;
      ASSERT_EQ(std::tuple(p.len, p.at2, p.amp2),
                std::tuple(first.len + second.len, first.run + 1 + second.run, second.amp))
          << w;
    } else {
      ASSERT_EQ(std::tuple(p.len, p.at2, p.amp2), std::tuple(first.len, first.run, first.amp))
          << w;
    }
  }
  EXPECT_GT(pairs, 0x10000 / 2);
  std::mt19937 rng(7);
  for (int round = 0; round < 64 * 40; ++round) {
    const int qno = round % 16, klass = round / 16 % 4;
    // Values of every reach up to the 16-bit range (there the products wrap).
    const Block in = block(round % 2 ? 3 : 34 + 40 * (round / 2 % 5), rng);
    Block fused = in, two_steps = in;
    _dv_quant_88_inverse(two_steps.data(), qno, klass);
    _dv_weight_88_inverse(two_steps.data());
    tarsk::dequantise_weight_88(fused.data(), qno, klass);
    ASSERT_EQ(fused, two_steps) << qno << " " << klass;
  }
}

// The best encoder puts a block's trial at any set of steps together from
// its shares at each area's step. Against the whole block's quantisation:
// its values are the magnitudes rounded up from the offset (255 at most)
// with the coefficients' signs, its bits those the encoder's run counter
// finds in them, its distortion their squared errors times the energies;
// the shares put together give the same bits, and the same distortion to
// float precision.
TEST(RdTrial, SharesPutTogetherGiveTheWholeBlocksTrial) {
  dv_init(0, 0);
  std::mt19937 rng(5);
  for (const tarsk::dsp::Dsp *d : {&dsp(), &plain_dsp()})
    for (int round = 0; round < 4000; ++round) {
      SCOPED_TRACE(round);
      const Block in = block(round, rng);
      uint8_t shift[4];
      for (auto &s : shift) s = static_cast<uint8_t>(rng() % 6);
      const RdBlock rd = rd_block(in, shift, round, rng);
      const float offset = round % 2 ? 0.4f : 0.5f;
      Block values;
      int bits;
      const float distortion = d->encode.rd_quantise(rd.coeffs, rd.step, rd.inverse, rd.energy,
                                                     offset, &bits, values.data());
      ASSERT_EQ(values[0], 0);
      double expected = 0;
      for (size_t p = 1; p < 64; ++p) {
        const double x = std::fabs(rd.coeffs[p]) / rd.step[p], v = std::abs(values[p]);
        ASSERT_TRUE(values[p] == 0 || (values[p] < 0) == (rd.coeffs[p] < 0)) << p;
        ASSERT_TRUE(v == 255 ? x + offset >= 255 : v > x + offset - 1 && v <= x + offset) << p;
        const double e = (x - v) * rd.step[p];
        expected += e * e * rd.energy[p];
      }
      ASSERT_NEAR(distortion, expected, 1e-5 * expected + 1e-3);
      ASSERT_EQ(static_cast<unsigned long>(bits), _dv_vlc_num_bits_block(values.data()));
      float composed = 0;
      int composed_bits = 0, last = 0;
      for (int a = 0; a < 4; ++a) {
        tarsk::dsp::RdShare shares[4];
        d->encode.rd_shares(rd.coeffs, rd.energy, shift[a], offset, shares);
        composed += shares[a].distortion;
        if (shares[a].first == 0) continue;
        composed_bits += shares[a].bits + vlc_num_bits_lookup[tarsk::vlc_index(
                                              shares[a].first - last - 1, shares[a].first_value)];
        last = shares[a].last;
      }
      ASSERT_EQ(composed_bits, bits);
      ASSERT_NEAR(composed, distortion, 1e-5 * distortion + 1e-3);
    }
}

}  // namespace
