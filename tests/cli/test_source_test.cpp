// The built-in test source: the same pictures and tone on every run, moving
// from frame to frame, at the levels it claims. The bars are held against
// the published 75% bar levels of BT.601, not against the code's formula.
#include "test_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <vector>

namespace {

using namespace tarsk::cli;

struct Stream {
  dv_system_t system;
  Sampling sampling;
  int height;
};

const Stream streams[] = {{e_dv_system_625_50, Sampling::s420, 576},
                          {e_dv_system_525_60, Sampling::s411, 480},
                          {e_dv_system_625_50, Sampling::s411, 576}};

bool same(const Picture &a, const Picture &b) { return a.y == b.y && a.cb == b.cb && a.cr == b.cr; }

TEST(TestPictures, AreDeterministicAndMoveEveryFrame) {
  for (const Stream &s : streams)
    for (Pattern p : {Pattern::bars, Pattern::ramp, Pattern::zoneplate}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(p)) + " " + std::to_string(s.height) + " " +
                   sampling_label(s.sampling));
      const Picture first = test_picture(p, s.system, s.sampling, 7);
      ASSERT_EQ(first.width, 720);
      ASSERT_EQ(first.height, s.height);
      ASSERT_EQ(first.sampling, s.sampling);
      ASSERT_EQ(first.y.size(), 720u * s.height);
      const size_t chroma = s.sampling == Sampling::s420 ? 360u * s.height / 2 : 180u * s.height;
      ASSERT_EQ(first.cb.size(), chroma);
      ASSERT_EQ(first.cr.size(), chroma);
      EXPECT_TRUE(same(first, test_picture(p, s.system, s.sampling, 7)));
      for (uint64_t n : {0, 1, 2, 3, 4, 5, 6, 8})
        EXPECT_FALSE(same(first, test_picture(p, s.system, s.sampling, n))) << n;
    }
}

// Each bar, sampled well inside it, against the 75% bar levels: white,
// yellow, cyan, green, magenta, red, blue, black.
TEST(TestPictures, BarsHaveThe75PercentLevels) {
  const int y[8] = {180, 162, 131, 112, 84, 65, 35, 16};
  const int cb[8] = {128, 44, 156, 72, 184, 100, 212, 128};
  const int cr[8] = {128, 142, 44, 58, 198, 212, 114, 128};
  for (const Stream &s : streams) {
    const Picture p = test_picture(Pattern::bars, s.system, s.sampling, 3);
    const int cw = s.sampling == Sampling::s420 ? 360 : 180;
    const int step = 720 / cw;
    for (int bar = 0; bar < 8; ++bar) {
      SCOPED_TRACE(bar);
      const int x = bar * 90 + 45, line = s.height / 3;
      EXPECT_EQ(p.y[static_cast<size_t>(line * 720 + x)], y[bar]);
      const int chroma_line = s.sampling == Sampling::s420 ? line / 2 : line;
      const size_t at = static_cast<size_t>(chroma_line * cw + x / step);
      EXPECT_EQ(p.cb[at], cb[bar]);
      EXPECT_EQ(p.cr[at], cr[bar]);
    }
    // Below the bars: black and the 100% white block only.
    const auto below = p.y.begin() + static_cast<std::ptrdiff_t>(720 * (s.height * 3 / 4));
    EXPECT_EQ(std::count(below, p.y.end(), 235) + std::count(below, p.y.end(), 16),
              p.y.end() - below);
    EXPECT_EQ(std::count(below, p.y.end(), 235), 48 * (s.height - s.height * 3 / 4));
  }
}

// The ramp runs from black to white across every line and moves 4 pixels
// to the left each frame; the zone plate swings over the same range.
TEST(TestPictures, RampAndZonePlateSpanBlackToWhite) {
  for (const Stream &s : streams) {
    const Picture a = test_picture(Pattern::ramp, s.system, s.sampling, 10);
    const Picture b = test_picture(Pattern::ramp, s.system, s.sampling, 11);
    EXPECT_EQ(*std::min_element(a.y.begin(), a.y.end()), 16);
    EXPECT_EQ(*std::max_element(a.y.begin(), a.y.end()), 235);
    for (int x = 0; x < 716; ++x)
      ASSERT_EQ(b.y[static_cast<size_t>(x)], a.y[static_cast<size_t>(x + 4)]);
    EXPECT_TRUE(std::all_of(a.cb.begin(), a.cb.end(), [](uint8_t v) { return v == 128; }));

    const Picture z = test_picture(Pattern::zoneplate, s.system, s.sampling, 5);
    EXPECT_EQ(*std::min_element(z.y.begin(), z.y.end()), 16);
    EXPECT_EQ(*std::max_element(z.y.begin(), z.y.end()), 235);
    EXPECT_TRUE(std::all_of(z.cr.begin(), z.cr.end(), [](uint8_t v) { return v == 128; }));
  }
}

// One second of tone at each rate: both channels alike, peak 4125
// (-18 dBFS of 32767), RMS that of a sine, 1000 rising zero crossings, and
// the same samples whether read at once or in DV frames' worth.
TEST(Tone, IsOneKilohertzAtMinus18DbfsInAnySlices) {
  for (int rate : {48000, 44100, 32000}) {
    SCOPED_TRACE(rate);
    Tone whole_tone(rate), sliced_tone(rate);
    const std::vector<int16_t> whole = whole_tone.next(static_cast<size_t>(rate));
    std::vector<int16_t> sliced;
    for (int frame = 0; frame < 25; ++frame) {
      const auto part = sliced_tone.next(static_cast<size_t>(rate / 25));
      sliced.insert(sliced.end(), part.begin(), part.end());
    }
    EXPECT_TRUE(sliced == whole);
    int peak = 0, rising = 0;
    double energy = 0;
    for (size_t i = 0; i < whole.size(); i += 2) {
      ASSERT_EQ(whole[i], whole[i + 1]);
      peak = std::max(peak, std::abs(whole[i]));
      energy += double(whole[i]) * whole[i];
      if (i >= 2 && whole[i - 2] < 0 && whole[i] >= 0) ++rising;
    }
    EXPECT_EQ(peak, 4125);
    const double rms = std::sqrt(energy / rate);
    EXPECT_NEAR(20 * std::log10(rms * std::sqrt(2.0) / 32767), -18, 0.01);
    EXPECT_NEAR(rising, 1000, 1);  // the first crossing is at sample 0
  }
}

}  // namespace
