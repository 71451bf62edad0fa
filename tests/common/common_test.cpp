// The bit windows of the segment parser, the AC code table and the time
// code arithmetic.
#include <gtest/gtest.h>
#include <tarsk/dv.h>

#include <cstring>
#include <memory>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "common/bitstream.h"
#include "common/timecode.h"
#include "common/vlc.h"
#include "support/segment_builder.h"

namespace {

using namespace tarsk::test;

// Bits from..from+n-1 of a byte buffer, most significant first.
uint32_t reference_bits(const std::vector<uint8_t> &b, size_t from, unsigned n) {
  uint32_t v = 0;
  for (size_t bit = from; bit < from + n; ++bit)
    v = (v << 1) | ((b[bit / 8] >> (7 - bit % 8)) & 1u);
  return v;
}

// The windows the segment parser reads, at every bit and past the end (zeros
// there), of an exact heap buffer: the sanitizer fails reads outside it.
TEST(Bitstream, WindowsGiveTheBitsOfTheBuffer) {
  std::mt19937 rng(1);
  std::vector<uint8_t> bytes(400), padded(416, 0);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = padded[i] = static_cast<uint8_t>(rng());
  const std::unique_ptr<uint8_t[]> heap(new uint8_t[bytes.size()]);
  std::memcpy(heap.get(), bytes.data(), bytes.size());
  const tarsk::BitWindow w(heap.get(), static_cast<uint32_t>(bytes.size()));
  for (size_t p = 0; p < bytes.size() * 8 + 40; ++p) {
    ASSERT_EQ(w.window(static_cast<int>(p)), reference_bits(padded, p, 16)) << p;
    ASSERT_EQ(w.word(static_cast<int>(p)) >> 7,
              (uint64_t{reference_bits(padded, p, 32)} << 25) | reference_bits(padded, p + 32, 25))
        << p;
  }
}

// The code table is canonical (each code the next of its length, or the
// next extended by zeros), and its codes with the two 7-bit escape prefixes
// fill the code space exactly (Kraft sum in units of 2^-16; both signs of a
// code share the room of the code without its sign bit).
TEST(Vlc, TableIsCanonicalAndTilesTheCodeSpace) {
  dv_init(0, 0);
  std::set<std::pair<int, int>> rows;
  long kraft = 2L << 9;
  for (size_t i = 0; i < 89; ++i) {
    const dv_vlc_encode_t &row = dv_vlc_test_table[i];
    ASSERT_TRUE(rows.insert({row.run, row.amp}).second) << "duplicate row " << i;
    const uint32_t expected = i == 0 ? 0
                                     : (dv_vlc_test_table[i - 1].val + 1u)
                                           << (row.len - dv_vlc_test_table[i - 1].len);
    ASSERT_EQ(row.val, expected) << "row " << i;
    kraft += 1L << (16 - row.len);
  }
  EXPECT_EQ(kraft, 1L << 16);

  // Every 16-bit window decodes to the code it begins with; exactly the
  // escape slots of runs 0..5, 62, 63 and amplitudes 0..22 are invalid.
  int invalid = 0;
  for (int w = 0; w < 0x10000; ++w) {
    dv_vlc_t v;
    __dv_decode_vlc(w, &v);
    if (v.len == -2) {
      ++invalid;
      ASSERT_GE(w, 0xFC00) << w;
      continue;
    }
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

// Every code (table rows with both signs, run and amplitude escapes) and
// arbitrary bits after it reads back with exactly its length available, and
// is incomplete with a bit fewer; no window with fewer bits than its code is
// taken for a shorter code (an invalid escape shows with all its bits: 13
// for the run escape, 16 for amplitudes).
TEST(Vlc, EveryCodeReadsBackWhatWasWritten) {
  dv_init(0, 0);
  auto decode = [](int w, int bits) { dv_vlc_t v; dv_decode_vlc(w, bits, &v); return v; };
  std::vector<std::pair<int, int>> codes;
  for (const auto &row : dv_vlc_test_table) {
    if (row.run < 0) continue;
    codes.push_back({row.run, row.amp});
    if (row.amp > 0) codes.push_back({row.run, -row.amp});
  }
  for (int run = 6; run <= 61; ++run) codes.push_back({run, 0});
  for (int amp = 23; amp <= 255; ++amp) codes.insert(codes.end(), {{0, amp}, {0, -amp}});
  ASSERT_EQ(codes.size(), 2 * 82u + 6 + 56 + 2 * 233u);
  unsigned noise = 1;
  for (auto [run, amp] : codes) {
    Bits bits;
    bits.code(run, amp);
    const int len = bits.size();
    noise = noise * 1103515245u + 12345u;
    const int window = static_cast<int>(bits.add(noise >> 8, 16).value(0, 16));
    for (int maxbits : {16, len, 63}) {
      const dv_vlc_t v = decode(window | 0x70000, maxbits);  // bits above 16 are ignored
      ASSERT_EQ(std::tuple(v.run, v.len, v.amp), std::tuple(run, len, amp)) << run << " " << amp;
    }
    ASSERT_EQ(decode(window, len - 1).len, -1) << run << " " << amp;
  }
  for (int w = 0; w < 0x10000; w += 7) {
    const dv_vlc_t full = decode(w, 16);
    const int needed = full.len >= 0 ? full.len : (w >> 9) == 126 ? 13 : 16;
    for (int maxbits = 0; maxbits < 16; ++maxbits)
      ASSERT_EQ(decode(w, maxbits).len, maxbits < needed ? -1 : full.len) << w << " " << maxbits;
  }
}

// Time code labels against a plain twin that steps a label frame by frame,
// as a recorder's counter does, over a day and a minute of frames: each
// label of count n, and the count of each label, in 625/50, 525/60 and
// 525/60 drop-frame.
TEST(Timecode, LabelsAndCountsStepAsARecordersCounter) {
  struct System {
    bool pal, drop;
    int64_t day;  // frames from 00:00:00:00 to 24:00:00:00
  };
  for (const System s : {System{true, false, 24 * 3600 * 25}, System{false, false, 24 * 3600 * 30},
                         System{false, true, 24 * 6 * 17982}}) {
    const int rate = s.pal ? 25 : 30;
    tarsk::TimecodeLabel walked{0, 0, 0, 0};
    int64_t mismatches = 0;
    for (int64_t n = 0; n < s.day + rate * 60; ++n) {
      const tarsk::TimecodeLabel got = tarsk::timecode_label_of(n, s.pal, s.drop);
      if (std::tie(got.hours, got.minutes, got.seconds, got.frames) !=
              std::tie(walked.hours, walked.minutes, walked.seconds, walked.frames) ||
          tarsk::timecode_count_of(walked, s.pal, s.drop) != n) {
        if (++mismatches <= 3)
          ADD_FAILURE() << "pal " << s.pal << " drop " << s.drop << " frame " << n << ": "
                        << got.hours << ":" << got.minutes << ":" << got.seconds << ":"
                        << got.frames;
      }
      if (++walked.frames == rate) {
        walked.frames = 0;
        if (++walked.seconds == 60) {
          walked.seconds = 0;
          if (++walked.minutes == 60) walked.minutes = 0, ++walked.hours;
          if (s.drop && walked.minutes % 10 != 0) walked.frames = 2;
        }
      }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(tarsk::timecode_label_of(s.day, s.pal, s.drop).hours, 24);
  }
}

}  // namespace
