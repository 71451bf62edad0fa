// The video segment parser against its plain twin (reference_parse.h): every
// field of the segment record after parsing, at every quality level, on the
// segments of DV files made by ffmpeg (codes that spill into other blocks'
// areas in plenty, and hardly at all) and on damaged copies of them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/dif.h"
#include "decode/reference_parse.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;
namespace dif = tarsk::dif;

// Grain puts detail into every block: most macroblocks overflow their areas.
const std::string grain = "noise=alls=20:allf=t+u";

struct Clip {
  const char *name;
  DvRecipe recipe;
};

const Clip clips[] = {
    {"TwinPalGrain", {.frames = 2, .video_filter = grain}},
    {"TwinNtscGrain",
     {.system = e_dv_system_525_60, .pix_fmt = "yuv411p", .frames = 2, .video_filter = grain}},
    {"TwinPalFlat", {.frames = 1, .video_source = "color=c=0x5080c0"}},
    {"TwinNtscPlain", {.system = e_dv_system_525_60, .pix_fmt = "yuv411p", .frames = 1}},
};

// Every combination of the quality flags: DC only, one pass, recovery, both
// AC flags (one pass), each with and without colour.
constexpr unsigned all_qualities = 8;

// The first field in which two parsed records differ, or "".
std::string difference(const dv_videosegment_t &a, const dv_videosegment_t &b) {
  std::ostringstream out;
  for (int m = 0; m < 5; ++m) {
    const dv_macroblock_t &x = a.mb[m], &y = b.mb[m];
    const auto at = [&](const char *field) -> std::ostream & {
      return out << "macroblock " << m << " " << field << ": ";
    };
    if (x.qno != y.qno) at("qno") << x.qno << " vs " << y.qno << "; ";
    if (x.vlc_error != y.vlc_error) at("vlc_error") << x.vlc_error << " vs " << y.vlc_error << "; ";
    if (x.eob_count != y.eob_count) at("eob_count") << x.eob_count << " vs " << y.eob_count << "; ";
    if (x.i != y.i || x.j != y.j || x.k != y.k) at("address") << "differs; ";
    if (x.sta != y.sta || x.x != y.x || x.y != y.y) at("sta, x or y") << "differs; ";
    for (int n = 0; n < 6; ++n) {
      const dv_block_t &p = x.b[n], &q = y.b[n];
      const auto field = [&](const char *name) -> std::ostream & {
        return out << "macroblock " << m << " block " << n << " " << name << ": ";
      };
      for (int c = 0; c < 64; ++c)
        if (p.coeffs[c] != q.coeffs[c])
          field("coefficient") << c << ": " << p.coeffs[c] << " vs " << q.coeffs[c] << "; ";
      if (p.dct_mode != q.dct_mode) field("dct_mode") << p.dct_mode << " vs " << q.dct_mode << "; ";
      if (p.class_no != q.class_no) field("class_no") << p.class_no << " vs " << q.class_no << "; ";
      if (p.eob != q.eob) field("eob") << p.eob << " vs " << q.eob << "; ";
      if (p.offset != q.offset) field("offset") << p.offset << " vs " << q.offset << "; ";
      if (p.end != q.end) field("end") << p.end << " vs " << q.end << "; ";
      if (p.mark != q.mark) field("mark") << p.mark << " vs " << q.mark << "; ";
      if (p.reorder != q.reorder) field("reorder") << p.reorder - q.reorder << " entries apart; ";
      if (p.reorder_sentinel != q.reorder_sentinel) field("reorder_sentinel") << "differs; ";
    }
    if (!out.str().empty()) return out.str();
  }
  return "";
}

// Two segment records, ours and the twin's, parsed from the same bytes one
// after another as a decoder does: what one parse leaves behind (colour
// blocks kept without colour, fields a DC-only parse does not set) is part
// of what the next one must match.
class Twins {
 public:
  Twins() {
    std::memset(ours_.get(), 0x5a, sizeof(dv_videosegment_t));
    std::memcpy(theirs_.get(), ours_.get(), sizeof(dv_videosegment_t));
  }

  // Parses `bytes` (any length: a short buffer is a truncated segment) as
  // segment k of sequence i at every quality; the first difference, or "".
  std::string parse(const std::vector<uint8_t> &bytes, int i, int k, bool pal) {
    // The reader gets a buffer of exactly the bytes given, so that the
    // sanitizers see any read beyond them.
    std::vector<uint8_t> own(bytes);
    bitstream_t bs{};
    _dv_bitstream_new_buffer(&bs, own.data(), static_cast<uint32_t>(own.size()));
    for (dv_videosegment_t *seg : {ours_.get(), theirs_.get()}) {
      seg->bs = &bs;
      seg->i = i;
      seg->k = k;
      seg->isPAL = pal;
    }
    for (unsigned quality = 0; quality < all_qualities; ++quality) {
      dv_parse_video_segment(ours_.get(), quality);
      reference::parse_video_segment(theirs_.get(), quality);
      const std::string d = difference(*ours_, *theirs_);
      if (!d.empty()) return "quality " + std::to_string(quality) + ", " + d;
    }
    // The recovery passes called alone after a single pass, as dv.h lets a
    // caller do.
    dv_parse_video_segment(ours_.get(), DV_QUALITY_COLOR | DV_QUALITY_AC_1);
    reference::parse_video_segment(theirs_.get(), DV_QUALITY_COLOR | DV_QUALITY_AC_1);
    dv_parse_ac_coeffs(ours_.get());
    reference::parse_ac_coeffs(theirs_.get());
    const std::string d = difference(*ours_, *theirs_);
    if (!d.empty()) return "dv_parse_ac_coeffs, " + d;
    ++parsed_;
    return "";
  }
  int parsed() const { return parsed_; }

 private:
  std::unique_ptr<dv_videosegment_t> ours_ = std::make_unique<dv_videosegment_t>();
  std::unique_ptr<dv_videosegment_t> theirs_ = std::make_unique<dv_videosegment_t>();
  int parsed_ = 0;
};

// Damage of the kinds a tape or a transfer does, anywhere in the segment;
// a truncated segment is a shorter buffer, its missing bits read as 0.
enum class Damage { bit_flips, random_bytes, zeroed, all_ones, truncated, count };

std::vector<uint8_t> damaged(std::vector<uint8_t> bytes, Damage kind, std::mt19937 &rng) {
  const auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  const int size = static_cast<int>(bytes.size());
  switch (kind) {
    case Damage::bit_flips:
      for (int n = pick(1, 12); n > 0; --n)
        bytes[static_cast<size_t>(pick(0, size - 1))] ^= static_cast<uint8_t>(1 << pick(0, 7));
      break;
    case Damage::random_bytes:
    case Damage::zeroed:
    case Damage::all_ones: {
      const int first = pick(0, size - 1), count = pick(1, 60);
      for (int n = first; n < std::min(size, first + count); ++n)
        bytes[static_cast<size_t>(n)] = kind == Damage::zeroed ? 0
                                        : kind == Damage::all_ones
                                            ? 0xff
                                            : static_cast<uint8_t>(pick(0, 255));
      break;
    }
    case Damage::truncated:
      bytes.resize(static_cast<size_t>(pick(1, size - 1)));
      break;
    case Damage::count:
      break;
  }
  return bytes;
}

TEST(ParseTwin, EveryFieldMatchesOnFfmpegFramesAndDamagedCopies) {
  dv_init(0, 0);
  Twins twins;
  std::mt19937 rng(20261208);
  int spilled = 0;  // segments whose own areas do not hold all their codes
  for (const Clip &clip : clips) {
    SCOPED_TRACE(clip.name);
    const MadeDv &file = made_dv(clip.name, clip.recipe);
    const bool pal = clip.recipe.system == e_dv_system_625_50;
    for (size_t f = 0; f < file.frames.size(); ++f) {
      const uint8_t *frame = file.frames[f].data();
      for (int i = 0; i < dif::sequences(pal); ++i)
        for (int k = 0; k < dif::segments_per_sequence; ++k) {
          const uint8_t *at = frame + dif::segment_offset(i, k);
          const std::vector<uint8_t> good(at, at + dif::segment_size);
          std::string d = twins.parse(good, i, k, pal);
          ASSERT_EQ(d, "") << "frame " << f << " segment " << i << "/" << k;
          // Four damaged copies of every segment, of kinds drawn at random.
          for (int n = 0; n < 4; ++n) {
            const auto kind = static_cast<Damage>(
                std::uniform_int_distribution<int>(0, static_cast<int>(Damage::count) - 1)(rng));
            d = twins.parse(damaged(good, kind, rng), i, k, pal);
            ASSERT_EQ(d, "") << "frame " << f << " segment " << i << "/" << k << " damage "
                             << static_cast<int>(kind);
          }
          // Spilling, as the multi-pass parse of the good bytes saw it.
          bitstream_t bs{};
          std::vector<uint8_t> own(good);
          _dv_bitstream_new_buffer(&bs, own.data(), static_cast<uint32_t>(own.size()));
          auto seg = std::make_unique<dv_videosegment_t>();
          seg->bs = &bs;
          seg->i = i;
          seg->k = k;
          seg->isPAL = pal;
          dv_parse_video_segment(seg.get(), DV_QUALITY_COLOR | DV_QUALITY_AC_1);
          int ended = 0;
          for (const dv_macroblock_t &m : seg->mb) ended += m.eob_count;
          spilled += ended < 30;
        }
    }
  }
  // The files do what they are here for: thousands of segments, most of
  // the grainy ones with spilled codes.
  EXPECT_GT(twins.parsed(), 8000);
  EXPECT_GT(spilled, 1000);
}

}  // namespace
