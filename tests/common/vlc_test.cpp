// The AC coefficient code table and its decoding.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <utility>

#include "common/vlc.h"
#include "support/segment_builder.h"

namespace {

using tarsk::test::Bits;

class Vlc : public testing::Test {
 protected:
  static void SetUpTestSuite() { dv_init(0, 0); }
};

dv_vlc_t decode(int window, int maxbits) {
  dv_vlc_t v;
  dv_decode_vlc(window, maxbits, &v);
  return v;
}

dv_vlc_t decode16(int window) {
  dv_vlc_t v;
  __dv_decode_vlc(window, &v);
  return v;
}

void expect_entry(const dv_vlc_t &v, int run, int len, int amp) {
  EXPECT_EQ(v.run, run);
  EXPECT_EQ(v.len, len);
  EXPECT_EQ(v.amp, amp);
}

TEST_F(Vlc, TellingWindows) {
  expect_entry(decode(0x0000, 16), 0, 3, 1);
  expect_entry(decode(0x2000, 16), 0, 3, -1);
  expect_entry(decode(0x6000, 16), -1, 4, 0);
  expect_entry(decode(0xFC00 + (7 << 3), 16), 7, 13, 0);
  expect_entry(decode(0xFC00 + (2 << 3), 16), -1, -2, -1);
  expect_entry(decode(0xFE00 + (200 << 1) + 1, 16), 0, 16, -200);
  expect_entry(decode(0xFE00 + (200 << 1) + 1, 15), -1, -1, -1);
  expect_entry(decode(0x8000, 4), -1, -1, -1);
  expect_entry(decode(0x8000, 5), 0, 5, 3);
  for (int maxbits = 0; maxbits < 3; ++maxbits)
    for (int window : {0x0000, 0x6000, 0xffff})
      expect_entry(decode(window, maxbits), -1, -1, -1);
  // Bits above the window's 16 are ignored.
  expect_entry(decode(0x72000, 16), 0, 3, -1);
}

TEST_F(Vlc, TableIsCanonicalWithTheStandardsTellingRows) {
  std::set<std::pair<int, int>> pairs;
  for (size_t i = 0; i < 89; ++i) {
    const dv_vlc_encode_t &row = dv_vlc_test_table[i];
    ASSERT_TRUE(pairs.insert({row.run, row.amp}).second) << "duplicate row " << i;
    ASSERT_LE(row.run, 14);
    ASSERT_LE(row.amp, 22);
    ASSERT_LT(row.val, 1u << row.len);
    if (i == 0) {
      EXPECT_EQ(row.val, 0);
      EXPECT_EQ(row.len, 2);
      continue;
    }
    const dv_vlc_encode_t &prev = dv_vlc_test_table[i - 1];
    ASSERT_GE(row.len, prev.len) << i;
    // The next code of the same length, or the next code extended by zeros.
    EXPECT_EQ(row.val, (prev.val + 1u) << (row.len - prev.len)) << "row " << i;
  }
  auto row_of = [](int run, int amp) -> const dv_vlc_encode_t & {
    for (const auto &row : dv_vlc_test_table)
      if (row.run == run && row.amp == amp) return row;
    throw std::out_of_range("no row");
  };
  EXPECT_EQ(row_of(0, 1).val, 0b00);
  EXPECT_EQ(row_of(-1, 0).val, 0b0110);
  EXPECT_EQ(row_of(0, 0).val, 0x7CE);
  EXPECT_EQ(row_of(1, 0).val, 0x7CF);
  for (int run = 2; run <= 5; ++run) {
    EXPECT_EQ(row_of(run, 0).val, 0xFAC + run - 2);
    EXPECT_EQ(row_of(run, 0).len, 12);
  }
  EXPECT_EQ(dv_vlc_test_table[88].run, 1);
  EXPECT_EQ(dv_vlc_test_table[88].amp, 17);
  EXPECT_EQ(dv_vlc_test_table[88].val, 0xFBF);
  for (int amp = 1; amp <= 22; ++amp) EXPECT_TRUE(pairs.count({0, amp})) << amp;
  for (int run = 0; run <= 5; ++run) EXPECT_TRUE(pairs.count({run, 0})) << run;
}

TEST_F(Vlc, CodesAndEscapesTileTheCodeSpace) {
  // Kraft sum in units of 2^-16: the codes (both signs of a code together
  // take the room of the code without its sign bit) and the two 7-bit
  // escape prefixes 1111110 and 1111111 cover the space exactly.
  long sum = 0;
  for (const auto &row : dv_vlc_test_table) sum += 1L << (16 - row.len);
  sum += 2L << 9;
  EXPECT_EQ(sum, 1L << 16);

  // Every 16-bit window decodes; the valid ones to the code they begin
  // with, and exactly the escape slots of runs 0..5, 62, 63 and
  // amplitudes 0..22 are invalid.
  int invalid = 0;
  for (int w = 0; w < 0x10000; ++w) {
    const dv_vlc_t v = decode16(w);
    if (v.len == -2) {
      ++invalid;
      ASSERT_GE(w, 0xFC00) << w;
      continue;
    }
    ASSERT_GE(v.len, 3) << w;
    ASSERT_LE(v.len, 16) << w;
    Bits expected;
    if (v.run < 0)
      expected.eob();
    else
      expected.code(v.run, v.amp);
    ASSERT_EQ(expected.size(), v.len) << w;
    ASSERT_EQ(static_cast<uint32_t>(w) >> (16 - v.len), expected.value(0, v.len)) << w;
  }
  EXPECT_EQ(invalid, 8 * 8 + 23 * 2);
}

// Every code writes and reads back: the table rows with both signs, the
// run escapes and the amplitude escapes, followed by arbitrary bits, with
// exactly its length available (decodes) and one bit fewer (incomplete).
TEST_F(Vlc, EveryCodeReadsBackWhatWasWritten) {
  std::vector<std::pair<int, int>> codes;
  for (const auto &row : dv_vlc_test_table) {
    if (row.run < 0) continue;
    codes.push_back({row.run, row.amp});
    if (row.amp > 0) codes.push_back({row.run, -row.amp});
  }
  for (int run = 6; run <= 61; ++run) codes.push_back({run, 0});
  for (int amp = 23; amp <= 255; ++amp) {
    codes.push_back({0, amp});
    codes.push_back({0, -amp});
  }
  unsigned noise = 1;
  for (auto [run, amp] : codes) {
    Bits bits;
    bits.code(run, amp);
    const int len = bits.size();
    noise = noise * 1103515245u + 12345u;
    bits.add(noise >> 8, 16);
    const int window = static_cast<int>(bits.value(0, 16));
    expect_entry(decode16(window), run, len, amp);
    expect_entry(decode(window, len), run, len, amp);
    expect_entry(decode(window, 63), run, len, amp);
    expect_entry(decode(window, len - 1), -1, -1, -1);
  }
  EXPECT_EQ(codes.size(), 2 * 82u + 6 + 56 + 2 * 233u);
}

TEST_F(Vlc, ShortcutHoldsTheCodesOfUpToSevenBits) {
  int taken = 0;
  for (int v = 0; v < 128; ++v) {
    const dv_vlc_t full = decode(v << 9, 7);
    const dv_vlc_t &shortcut = dv_vlc_class1_shortcut[v];
    if (full.len > 0 && full.len <= 7) {
      ++taken;
      expect_entry(shortcut, full.run, full.len, full.amp);
    } else {
      expect_entry(shortcut, -1, -1, -1);
    }
  }
  EXPECT_GT(taken, 96);
}

TEST_F(Vlc, ClassSelectionByBitsLeft) {
  EXPECT_EQ(dv_vlc_classes[2], dv_vlc_class_broken);
  EXPECT_EQ(dv_vlc_classes[3], dv_vlc_class_lookup1);
  EXPECT_EQ(dv_vlc_classes[10], dv_vlc_class_lookup2);
  EXPECT_EQ(dv_vlc_classes[12], dv_vlc_class_lookup3);
  EXPECT_EQ(dv_vlc_classes[15], dv_vlc_class_lookup4);
  EXPECT_EQ(dv_vlc_classes[63], dv_vlc_class_lookup5);
  // A long code is never taken for a short one when bits run out: every
  // window with fewer bits than its code reports the code incomplete. An
  // invalid escape shows as invalid once all its bits are there: 13 for
  // the run escape, 16 for the amplitude escape.
  for (int w = 0; w < 0x10000; w += 7) {
    const dv_vlc_t full = decode16(w);
    const int needed = full.len >= 0 ? full.len : (w >> 9) == 126 ? 13 : 16;
    for (int maxbits = 0; maxbits < 16; ++maxbits) {
      const dv_vlc_t cut = decode(w, maxbits);
      if (maxbits < needed) {
        ASSERT_EQ(cut.len, -1) << w << " " << maxbits;
      } else {
        ASSERT_EQ(cut.len, full.len) << w << " " << maxbits;
        ASSERT_EQ(cut.amp, full.amp);
      }
    }
  }
}

}  // namespace

namespace {

// The one-load table of short codes changes nothing: every window, with
// every number of bits left, decodes as through the class tables.
TEST_F(Vlc, ShortCodeTableDecodesAsTheClassTables) {
  int short_codes = 0;
  for (uint32_t v = 0; v < 4096; ++v) short_codes += tarsk::vlc_short[v].len > 0;
  // 4096 prefixes minus those of longer codes, escapes and invalid bits.
  EXPECT_GT(short_codes, 3900);
  for (uint32_t w = 0; w < 0x10000; ++w)
    for (int maxbits = 0; maxbits < 64; ++maxbits) {
      dv_vlc_t fast, classes;
      tarsk::vlc_decode_fast(w, maxbits, &fast);
      tarsk::vlc_decode(w, maxbits, &classes);
      ASSERT_EQ(fast.run, classes.run) << w << " " << maxbits;
      ASSERT_EQ(fast.len, classes.len) << w << " " << maxbits;
      ASSERT_EQ(fast.amp, classes.amp) << w << " " << maxbits;
    }
}

}  // namespace
