// Video segments of DV files that ffmpeg makes at test time, parsed at each
// quality level. ffmpeg's encoder fills every segment as far as it can, so
// on detailed pictures many blocks run out of their own area and continue in
// the free ends of others: the multi-pass parse must find every block's end,
// the single pass must agree with it wherever it got that far, and the DC
// values must not depend on the level at all.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "common/dif.h"
#include "support/decoder.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;
namespace dif = tarsk::dif;

constexpr unsigned best = DV_QUALITY_COLOR | DV_QUALITY_AC_2;
constexpr unsigned single_pass = DV_QUALITY_COLOR | DV_QUALITY_AC_1;
constexpr unsigned dc_only = DV_QUALITY_COLOR | DV_QUALITY_DC;

// Every sample random, in all three planes or in luminance only.
constexpr const char *noise = "geq=random(1)*255:random(2)*255:random(3)*255";
constexpr const char *luma_noise = "geq=random(1)*255:128:128";

struct Case {
  const char *name;
  DvRecipe recipe;
};

void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

const Case cases[] = {
    {"Mandelbrot420Pal",
     {.system = e_dv_system_625_50,
      .pix_fmt = "yuv420p",
      .frames = 3,
      .video_source = "mandelbrot"}},
    {"Noise420Pal",
     {.system = e_dv_system_625_50,
      .pix_fmt = "yuv420p",
      .frames = 3,
      .video_source = "nullsrc",
      .video_filter = noise}},
    {"Noise411Pal",
     {.system = e_dv_system_625_50,
      .pix_fmt = "yuv411p",
      .frames = 3,
      .video_source = "nullsrc",
      .video_filter = noise}},
    {"LumaNoise411Ntsc",
     {.system = e_dv_system_525_60,
      .pix_fmt = "yuv411p",
      .frames = 3,
      .video_source = "nullsrc",
      .video_filter = luma_noise}},
    {"Testsrc2_411Ntsc", {.system = e_dv_system_525_60, .pix_fmt = "yuv411p", .frames = 3}},
};

const MadeDv &made(const Case &c) { return made_dv(c.name, c.recipe); }

std::span<const uint8_t> segment_bytes(std::span<const uint8_t> frame, int s, int k) {
  return frame.subspan(dif::segment_offset(s, k), dif::segment_size);
}

// A parsed segment. Bytes and record are heap allocations of exactly their
// size, so that the sanitizer build sees any access outside them. The record
// starts out full of garbage: the parser must set every field it reports.
struct Parsed {
  std::vector<uint8_t> bytes;
  std::unique_ptr<dv_videosegment_t> seg;
};

Parsed parse(std::span<const uint8_t> bytes, int s, int k, bool pal, unsigned quality) {
  Parsed p{std::vector<uint8_t>(bytes.begin(), bytes.end()), std::make_unique<dv_videosegment_t>()};
  std::memset(static_cast<void *>(p.seg.get()), 0x5a, sizeof(dv_videosegment_t));
  bitstream_t bs{};
  _dv_bitstream_new_buffer(&bs, p.bytes.data(), static_cast<uint32_t>(p.bytes.size()));
  p.seg->bs = &bs;
  p.seg->i = s;
  p.seg->k = k;
  p.seg->isPAL = pal ? 1 : 0;
  EXPECT_EQ(dv_parse_video_segment(p.seg.get(), quality), 0);
  p.seg->bs = nullptr;
  return p;
}

std::string where(int s, int k, int m = -1, int b = -1) {
  std::string text = "sequence " + std::to_string(s) + " segment " + std::to_string(k);
  if (m >= 0) text += " macroblock " + std::to_string(m);
  if (b >= 0) text += " block " + std::to_string(b);
  return text;
}

class FfmpegSegments : public testing::TestWithParam<Case> {
 protected:
  void SetUp() override { decoder_ = new_decoder(); }  // builds the shared tables

  bool pal() const { return GetParam().recipe.system == e_dv_system_625_50; }
  int sequences() const { return pal() ? 12 : 10; }
  const std::vector<std::span<const uint8_t>> &frames() const { return made(GetParam()).frames; }

  // Calls check(frame index, s, k, segment bytes) for every video segment,
  // until it returns false. Each of the five DIF blocks must say that it is
  // video block 5k + m of sequence s: section type 4 in the top three bits
  // of its first byte, the sequence number in the top nibble of the second,
  // the block number in the third.
  template <typename Check>
  void each_segment(Check check) const {
    ASSERT_EQ(frames().size(), static_cast<size_t>(GetParam().recipe.frames));
    for (size_t f = 0; f < frames().size(); ++f)
      for (int s = 0; s < sequences(); ++s)
        for (int k = 0; k < 27; ++k) {
          const std::span<const uint8_t> bytes = segment_bytes(frames()[f], s, k);
          for (int m = 0; m < 5; ++m)
            ASSERT_TRUE(dif::section_of(&bytes[static_cast<size_t>(dif::block_size * m)]) ==
                            dif::Section::video &&
                        dif::sequence_of(&bytes[static_cast<size_t>(dif::block_size * m)]) == s &&
                        bytes[static_cast<size_t>(dif::block_size * m + 2)] == 5 * k + m)
                << "frame " << f << " " << where(s, k, m) << " is not that video block";
          if (!check(f, s, k, bytes)) {
            ADD_FAILURE() << "too many failures; stopped at frame " << f << " " << where(s, k);
            return;
          }
        }
  }

 private:
  Decoder decoder_;
};

// Inverts bits [from, to) of a buffer, most significant bit first.
void invert_bits(std::vector<uint8_t> &bytes, int from, int to) {
  for (int bit = from; bit < to; ++bit) bytes[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
}

bool same_coefficients(const dv_videosegment_t &a, const dv_videosegment_t &b) {
  for (int m = 0; m < 5; ++m)
    for (int i = 0; i < 6; ++i)
      if (a.mb[m].b[i].eob != b.mb[m].b[i].eob ||
          std::memcmp(a.mb[m].b[i].coeffs, b.mb[m].b[i].coeffs, sizeof a.mb[m].b[i].coeffs) != 0)
        return false;
  return true;
}

// With spilled codes recovered, every block of ffmpeg's output ends with its
// end-of-block code, no code is invalid and every read stays inside the area
// it belongs to. Macroblocks carry their place in the picture.
//
// What is left of each area after the parse, from the block's final offset
// to its end, belongs to no code: inverting those bits must not change a
// single coefficient. A parser that lost track of which bits it had lent
// would read some of them.
TEST_P(FfmpegSegments, MultiPassFindsTheEndOfEveryBlock) {
  long failures = 0;
  long left_over = 0;
  each_segment([&](size_t f, int s, int k, std::span<const uint8_t> bytes) {
    const Parsed p = parse(bytes, s, k, pal(), best);
    std::vector<uint8_t> padding_inverted(bytes.begin(), bytes.end());
    for (int m = 0; m < 5; ++m) {
      const dv_macroblock_t &mb = p.seg->mb[m];
      const bool mb_ok = mb.vlc_error == 0 && mb.eob_count == 6;
      EXPECT_TRUE(mb_ok) << "frame " << f << " " << where(s, k, m) << ": vlc_error " << mb.vlc_error
                         << " eob_count " << mb.eob_count << " i/j/k " << mb.i << "/" << mb.j << "/"
                         << mb.k;
      failures += !mb_ok;
      for (int b = 0; b < 6; ++b) {
        const dv_block_t &bl = mb.b[b];
        const int first_ac = dif::macroblock_bits * m + dif::ac_begin(b);
        const int end = dif::macroblock_bits * m + dif::area_end(b);
        const bool ok = bl.eob == 1 && bl.mark == 0 && bl.end == end && bl.offset >= first_ac &&
                        bl.offset <= bl.end;
        EXPECT_TRUE(ok) << "frame " << f << " " << where(s, k, m, b) << ": eob " << bl.eob
                        << " mark " << bl.mark << " offset " << bl.offset << " end " << bl.end
                        << " (area " << first_ac << ".." << end << ")";
        failures += !ok;
        if (ok) invert_bits(padding_inverted, bl.offset, bl.end);
        if (ok) left_over += bl.end - bl.offset;
      }
    }
    const Parsed again = parse(padding_inverted, s, k, pal(), best);
    const bool same = same_coefficients(*p.seg, *again.seg);
    EXPECT_TRUE(same) << "frame " << f << " " << where(s, k)
                      << ": the result changed when the bits after the codes were inverted";
    failures += !same;
    return failures < 20;
  });
  EXPECT_GT(left_over, 0) << "no bits were left over to invert";
  RecordProperty("bits_left_over", std::to_string(left_over));
}

// The lower quality levels read less of the same data. The single pass
// reads each block from its own area only: it must meet no invalid code, and
// what it reads must be what the multi-pass parse read: the same DC, mode and
// class everywhere, the same coefficients for every block whose end it
// reached, and for the others the coefficients it got before running out of
// bits. On these pictures ffmpeg spills codes, so some blocks must stop
// short, or the recovery was not exercised. Without AC coefficients the
// blocks hold the same DC, mode and class and nothing else.
TEST_P(FfmpegSegments, LowerLevelsAgreeWithMultiPass) {
  long unfinished = 0;
  long failures = 0;
  each_segment([&](size_t f, int s, int k, std::span<const uint8_t> bytes) {
    const Parsed full = parse(bytes, s, k, pal(), best);
    const Parsed one = parse(bytes, s, k, pal(), single_pass);
    const Parsed dc = parse(bytes, s, k, pal(), dc_only);
    for (int m = 0; m < 5; ++m) {
      const dv_macroblock_t &c = full.seg->mb[m];
      const dv_macroblock_t &a = one.seg->mb[m];
      const dv_macroblock_t &d = dc.seg->mb[m];
      const bool mb_ok = a.vlc_error == 0 && a.qno == c.qno && d.qno == c.qno && a.i == c.i &&
                         a.j == c.j && a.k == c.k && d.i == c.i && d.j == c.j && d.k == c.k;
      EXPECT_TRUE(mb_ok) << "frame " << f << " " << where(s, k, m) << ": single-pass vlc_error "
                         << a.vlc_error << ", qno " << a.qno << "/" << d.qno << " for " << c.qno;
      failures += !mb_ok;
      int ended = 0;
      for (int b = 0; b < 6; ++b) {
        const dv_block_t &x = a.b[b];
        const dv_block_t &y = c.b[b];
        const dv_block_t &z = d.b[b];
        bool ok = x.coeffs[0] == y.coeffs[0] && x.dct_mode == y.dct_mode &&
                  x.class_no == y.class_no && x.mark == 0;
        if (x.eob) {
          ++ended;
          ok = ok && std::memcmp(x.coeffs, y.coeffs, sizeof x.coeffs) == 0;
        } else {
          ++unfinished;
          for (int i = 1; i < 64; ++i) ok = ok && (x.coeffs[i] == 0 || x.coeffs[i] == y.coeffs[i]);
        }
        EXPECT_TRUE(ok) << "frame " << f << " " << where(s, k, m, b) << ": single pass (eob "
                        << x.eob << ") disagrees";
        int stray = 0;  // first AC coefficient that is not zero
        for (int i = 63; i >= 1; --i)
          if (z.coeffs[i] != 0) stray = i;
        const bool dc_ok = z.coeffs[0] == y.coeffs[0] && z.dct_mode == y.dct_mode &&
                           z.class_no == y.class_no && stray == 0;
        EXPECT_TRUE(dc_ok) << "frame " << f << " " << where(s, k, m, b) << ": DC only gives DC "
                           << z.coeffs[0] << " mode " << z.dct_mode << " class " << z.class_no
                           << " for " << y.coeffs[0] << " " << y.dct_mode << " " << y.class_no
                           << (stray ? ", and AC coefficient " + std::to_string(stray) : "");
        failures += !ok + !dc_ok;
      }
      EXPECT_EQ(a.eob_count, ended) << "frame " << f << " " << where(s, k, m);
    }
    return failures < 20;
  });
  EXPECT_GT(unfinished, 0) << "no block needed the recovery passes";
  RecordProperty("blocks_unfinished_after_single_pass", std::to_string(unfinished));
}

INSTANTIATE_TEST_SUITE_P(Files, FfmpegSegments, testing::ValuesIn(cases),
                         [](const testing::TestParamInfo<Case> &info) { return info.param.name; });

}  // namespace
