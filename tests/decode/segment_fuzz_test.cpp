// Video segment parsing on damaged and made-up input: random bytes, random
// streams of valid codes, and real segments from an ffmpeg-made frame with
// bits flipped, bytes replaced, runs of zeros or ones and blocks cut short.
// Every input is parsed at every quality value and for both systems, with
// the 400 bytes, the reader and the segment record in heap allocations of
// exactly their size, so that the sanitizer build reports any access
// outside them. After each parse the records must be consistent with each
// other and with the bytes.
//
// TARSK_FUZZ_ROUNDS=n in the environment multiplies the number of inputs,
// for longer runs by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "common/bitstream.h"
#include "common/dif.h"
#include "support/decoder.h"
#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;
namespace dif = tarsk::dif;

constexpr size_t segment_size = dif::segment_size;
constexpr int block_size = dif::block_size;
using Bytes = std::vector<uint8_t>;

// The first and the last bit of block b's AC codes in macroblock m.
int ac_first(int m, int b) { return dif::macroblock_bits * m + dif::ac_begin(b); }
int ac_end(int m, int b) { return dif::macroblock_bits * m + dif::area_end(b); }

int rounds() {
  const char *env = std::getenv("TARSK_FUZZ_ROUNDS");
  const int n = env != nullptr ? std::atoi(env) : 1;
  return n > 0 ? n : 1;
}

std::string hex(const Bytes &bytes) {
  std::ostringstream out;
  static const char digits[] = "0123456789abcdef";
  for (size_t i = 0; i < bytes.size(); ++i) {
    out << digits[bytes[i] >> 4] << digits[bytes[i] & 15];
    if (i % 40 == 39) out << '\n';
  }
  return out.str();
}

// One parse of `bytes` with everything on the heap at its exact size. The
// record is filled with `fill` first; a copy of that state is kept to show
// what the parse left alone.
struct Parse {
  std::unique_ptr<uint8_t[]> buffer;
  std::unique_ptr<dv_videosegment_t> seg;
  std::unique_ptr<dv_videosegment_t> before;
};

Parse parse(const Bytes &bytes, int s, int k, bool pal, unsigned quality, uint8_t fill) {
  Parse run{std::make_unique<uint8_t[]>(segment_size), std::make_unique<dv_videosegment_t>(),
            nullptr};
  std::memcpy(run.buffer.get(), bytes.data(), segment_size);
  dv_videosegment_t *seg = run.seg.get();
  std::memset(static_cast<void *>(seg), fill, sizeof *seg);
  // Another pattern in each block, so that a block copied over another
  // shows.
  for (int m = 0; m < 5; ++m)
    for (int b = 0; b < 6; ++b)
      std::memset(seg->mb[m].b[b].coeffs, fill + 6 * m + b, sizeof seg->mb[m].b[b].coeffs);
  bitstream_t *bs = _dv_bitstream_init();
  _dv_bitstream_new_buffer(bs, run.buffer.get(), segment_size);
  seg->bs = bs;
  seg->i = s;
  seg->k = k;
  seg->isPAL = pal ? 1 : 0;
  run.before = std::make_unique<dv_videosegment_t>(*seg);
  const int result = dv_parse_video_segment(seg, quality);
  seg->bs = nullptr;
  std::free(bs);
  EXPECT_EQ(result, 0);
  return run;
}

// DC, mode and class straight from the bytes.
struct BlockHead {
  int dc, dct_mode, class_no;
};

BlockHead head(const Bytes &bytes, int m, int b) {
  const uint8_t hi = bytes[static_cast<size_t>(block_size * m + dif::area_bytes[b])];
  const uint8_t lo = bytes[static_cast<size_t>(block_size * m + dif::area_bytes[b] + 1)];
  const int dc9 = (hi << 1) | (lo >> 7);
  return {dc9 >= 256 ? dc9 - 512 : dc9, (lo >> 6) & 1, (lo >> 4) & 3};
}

// Where a failure was seen, for messages; only built when one is.
std::string place(int m, int b = -1) {
  return "mb " + std::to_string(m) + (b >= 0 ? " block " + std::to_string(b) : "") + ": ";
}

// The invariants of one parse; an empty string when they all hold.
std::string check(const Bytes &bytes, const Parse &run, int s, int k, bool pal, unsigned quality) {
  std::string why;
  const bool colour = quality & DV_QUALITY_COLOR;
  const bool ac = quality & (DV_QUALITY_AC_1 | DV_QUALITY_AC_2);
  const int n_blocks = colour ? 6 : 4;
  if (std::memcmp(run.buffer.get(), bytes.data(), segment_size) != 0)
    why += "the segment bytes changed; ";
  const dv_videosegment_t &seg = *run.seg;
  const dv_videosegment_t &before = *run.before;
  for (int m = 0; m < 5; ++m) {
    const dv_macroblock_t &mb = seg.mb[m];
    const dv_macroblock_t &old = before.mb[m];
    const auto at = dif::macroblock_address(s, k, m, dif::sequences(pal));
    if (mb.i != at.i || mb.j != at.j || mb.k != at.k)
      why += place(m) + "i/j/k " + std::to_string(mb.i) + "/" + std::to_string(mb.j) + "/" +
             std::to_string(mb.k) + "; ";
    if (mb.qno != (bytes[static_cast<size_t>(block_size * m + dif::qno_byte)] & 15))
      why += place(m) + "qno " + std::to_string(mb.qno) + "; ";
    if (mb.vlc_error != 0 && (mb.vlc_error != 1 || !ac))
      why += place(m) + "vlc_error " + std::to_string(mb.vlc_error) + "; ";
    int ended = 0;
    for (int b = 0; b < n_blocks; ++b) {
      const dv_block_t &bl = mb.b[b];
      const BlockHead h = head(bytes, m, b);
      if (bl.coeffs[0] != h.dc || bl.dct_mode != h.dct_mode || bl.class_no != h.class_no)
        why += place(m, b) + "DC/mode/class " + std::to_string(bl.coeffs[0]) + "/" +
               std::to_string(bl.dct_mode) + "/" + std::to_string(bl.class_no) + " for " +
               std::to_string(h.dc) + "/" + std::to_string(h.dct_mode) + "/" +
               std::to_string(h.class_no) + "; ";
      for (int i = 1; i < 64; ++i) {
        const int v = bl.coeffs[i];
        if (ac ? (v < -255 || v > 255) : v != 0) {
          why += place(m, b) + "coeffs[" + std::to_string(i) + "] = " + std::to_string(v) + "; ";
          break;
        }
      }
      if (!ac) continue;
      const int first = ac_first(m, b);
      const int end = ac_end(m, b);
      if (bl.eob != 0 && bl.eob != 1) why += place(m, b) + "eob " + std::to_string(bl.eob) + "; ";
      ended += bl.eob == 1;
      if (bl.mark != 0) why += place(m, b) + "mark " + std::to_string(bl.mark) + "; ";
      if (bl.end != end || bl.offset < first || bl.offset > end || bl.offset > 3200)
        why += place(m, b) + "offset " + std::to_string(bl.offset) + " end " +
               std::to_string(bl.end) + " (area " + std::to_string(first) + ".." +
               std::to_string(end) + "); ";
    }
    if (mb.eob_count != ended || mb.eob_count < 0 || mb.eob_count > n_blocks)
      why += place(m) + "eob_count " + std::to_string(mb.eob_count) + " with " +
             std::to_string(ended) + " blocks ended; ";
    // Blocks that were not parsed keep every byte.
    for (int b = n_blocks; b < 6; ++b)
      if (std::memcmp(&mb.b[b], &old.b[b], sizeof(dv_block_t)) != 0)
        why += place(m, b) + "not parsed, but changed; ";
  }
  return why;
}

// Fields that describe a parsed block, to compare two parses.
bool same_block(const dv_block_t &a, const dv_block_t &b, bool ac) {
  if (std::memcmp(a.coeffs, b.coeffs, sizeof a.coeffs) != 0 || a.dct_mode != b.dct_mode ||
      a.class_no != b.class_no)
    return false;
  return !ac || (a.eob == b.eob && a.offset == b.offset && a.end == b.end);
}

// Parses one input every way and records what breaks. Besides the
// invariants of each parse: the result must not depend on what the record
// held before; and a recovery pass only adds to the first pass, so every
// block the single pass finished is the same after the multi-pass parse,
// and every coefficient the single pass read is there too.
class Fuzzer {
 public:
  explicit Fuzzer(std::mt19937 &rng) : rng_(rng) {}

  void run(const Bytes &bytes, const std::string &origin) {
    ++inputs_;
    for (int pal = 0; pal < 2; ++pal) {
      const int s = static_cast<int>(rng_() % (pal ? 12u : 10u));
      const int k = static_cast<int>(rng_() % 27u);
      std::unique_ptr<dv_videosegment_t> single[2];  // by colour flag
      std::unique_ptr<dv_videosegment_t> monochrome;  // multi-pass, colour off
      for (unsigned quality = 0; quality < 8; ++quality) {
        const uint8_t fill = static_cast<uint8_t>(rng_());
        Parse r = parse(bytes, s, k, pal, quality, fill);
        report(bytes, origin, pal, quality, check(bytes, r, s, k, pal, quality));

        const bool colour = quality & DV_QUALITY_COLOR;
        const bool ac = quality & (DV_QUALITY_AC_1 | DV_QUALITY_AC_2);
        const int n_blocks = colour ? 6 : 4;
        // Every eighth input: parse again over another pattern.
        if (inputs_ % 8 == 0) {
          Parse again = parse(bytes, s, k, pal, quality, static_cast<uint8_t>(~fill));
          for (int m = 0; m < 5; ++m) {
            bool same = r.seg->mb[m].eob_count == again.seg->mb[m].eob_count &&
                        r.seg->mb[m].vlc_error == again.seg->mb[m].vlc_error;
            for (int b = 0; b < n_blocks; ++b)
              same = same && same_block(r.seg->mb[m].b[b], again.seg->mb[m].b[b], ac);
            if (!same)
              report(bytes, origin, pal, quality,
                     "mb " + std::to_string(m) + " differs when the record held other bytes");
          }
        }

        for (const dv_macroblock_t &mb : r.seg->mb) errors_ += ac && mb.vlc_error;
        if (quality == (colour ? 3u : 2u)) single[colour] = std::move(r.seg);
        if (quality == (colour ? 5u : 4u))
          report(bytes, origin, pal, quality, compare_passes(*single[colour], *r.seg, n_blocks));
        // Without colour the multi-pass level still follows codes through
        // the colour areas: its luminance is the colour level's.
        if (quality == 4u) monochrome = std::move(r.seg);
        if (quality == 5u)
          for (int m = 0; m < 5; ++m)
            for (int b = 0; b < 4; ++b)
              if (!same_block(monochrome->mb[m].b[b], r.seg->mb[m].b[b], true))
                report(bytes, origin, pal, quality,
                       "mb " + std::to_string(m) + " block " + std::to_string(b) +
                           " differs from the monochrome multi-pass parse");
      }
    }
  }

  long inputs() const { return inputs_; }
  long failures() const { return failures_; }
  // Blocks that only the recovery passes finished; macroblocks with an
  // invalid code. Both must occur, or the inputs miss those paths.
  long recovered() const { return recovered_; }
  long errors() const { return errors_; }

  void expect_all_held() const {
    EXPECT_EQ(failures_, 0) << "of " << inputs_ << " inputs";
    testing::Test::RecordProperty("inputs", std::to_string(inputs_));
    testing::Test::RecordProperty("blocks_recovered", std::to_string(recovered_));
    testing::Test::RecordProperty("macroblocks_with_invalid_codes", std::to_string(errors_));
  }

 private:
  std::string compare_passes(const dv_videosegment_t &one, const dv_videosegment_t &full,
                             int n_blocks) {
    std::ostringstream why;
    for (int m = 0; m < 5; ++m) {
      // Without colour, the multi-pass level also reads the colour areas
      // and may meet an invalid code there that the single pass never saw.
      if (n_blocks == 6 && one.mb[m].vlc_error != full.mb[m].vlc_error)
        why << "mb " << m << " vlc_error differs between the passes; ";
      for (int b = 0; b < n_blocks; ++b) {
        const dv_block_t &x = one.mb[m].b[b];
        const dv_block_t &y = full.mb[m].b[b];
        recovered_ += y.eob && !x.eob;
        bool ok = y.eob >= x.eob;
        for (int i = 0; i < 64; ++i)
          ok = ok && (x.coeffs[i] == y.coeffs[i] || (i > 0 && !x.eob && x.coeffs[i] == 0));
        if (!ok)
          why << "mb " << m << " block " << b << " single pass (eob " << x.eob
              << ") disagrees with multi-pass (eob " << y.eob << "); ";
      }
    }
    return why.str();
  }

  void report(const Bytes &bytes, const std::string &origin, int pal, unsigned quality,
              const std::string &why) {
    if (why.empty()) return;
    ++failures_;
    if (failures_ <= 5)
      ADD_FAILURE() << origin << ", isPAL " << pal << ", quality " << quality << ": " << why
                    << "\nsegment bytes:\n"
                    << hex(bytes);
  }

  std::mt19937 &rng_;
  long inputs_ = 0;
  long failures_ = 0;
  long recovered_ = 0;
  long errors_ = 0;
};

// ---------------------------------------------------------------------------
// Inputs.

Bytes random_bytes(std::mt19937 &rng) {
  Bytes bytes(segment_size);
  for (auto &b : bytes) b = static_cast<uint8_t>(rng());
  return bytes;
}

// Random bits where a bit is one with probability p: mostly-zero input is
// full of short codes, mostly-one input of long and escape codes.
Bytes biased_bytes(std::mt19937 &rng, double p) {
  std::bernoulli_distribution one(p);
  Bytes bytes(segment_size);
  for (auto &b : bytes)
    for (int i = 0; i < 8; ++i) b = static_cast<uint8_t>((b << 1) | (one(rng) ? 1 : 0));
  return bytes;
}

// Writes bits over what a byte buffer holds, up to a limit: the bits are
// cleared, then written by the library's writer.
struct BitWriter {
  Bytes &bytes;
  int at;
  int limit;
  bool put(uint32_t value, int n) {
    if (at + n > limit) return false;
    for (int i = at; i < at + n; ++i) bytes[static_cast<size_t>(i / 8)] &= static_cast<uint8_t>(~(0x80 >> (i % 8)));
    tarsk::put_bits(bytes.data(), at, value, n);
    at += n;
    return true;
  }
};

// A random AC code: one from the table with its sign bit, a long run of
// zeros (7 bits 1111110, then the run in 6 bits) or a large amplitude
// (1111111, 8 bits of amplitude, sign).
void random_code(std::mt19937 &rng, uint32_t &value, int &len, double eob_chance) {
  std::uniform_real_distribution<double> u(0.0, 1.0);
  if (u(rng) < eob_chance) {
    value = 0x6;  // end of block: 0110
    len = 4;
    return;
  }
  const unsigned kind = rng() % 20;
  if (kind == 0) {
    value = (0x7eu << 6) | (6 + rng() % 56);
    len = 13;
  } else if (kind == 1) {
    value = (0x7fu << 9) | ((23 + rng() % 233) << 1) | (rng() & 1);
    len = 16;
  } else {
    const dv_vlc_encode_t *row = nullptr;
    do row = &dv_vlc_test_table[rng() % 89];
    while (row->run < 0);
    value = row->val;
    len = row->len;
    if (row->amp > 0) {
      value = (value << 1) | (rng() & 1);
      ++len;
    }
  }
}

// Every block area filled with random valid codes, ends of block placed at
// random: some blocks end early and leave codes behind their end, others run
// to the end of their area with an unfinished code, which the recovery
// passes then try to continue elsewhere.
Bytes code_soup(std::mt19937 &rng) {
  Bytes bytes = random_bytes(rng);
  const double eob_chance = 0.02 + 0.2 * (rng() % 8) / 8.0;
  for (int m = 0; m < 5; ++m)
    for (int b = 0; b < 6; ++b) {
      BitWriter w{bytes, ac_first(m, b), ac_end(m, b)};
      for (;;) {
        uint32_t value = 0;
        int len = 0;
        random_code(rng, value, len, eob_chance);
        if (!w.put(value, len)) {
          w.put(value >> (len - (w.limit - w.at)), w.limit - w.at);  // cut short
          break;
        }
      }
    }
  return bytes;
}

// One random change to a real segment.
Bytes mutate(const Bytes &original, std::mt19937 &rng, std::string &how) {
  Bytes bytes = original;
  const unsigned kind = rng() % 7;
  switch (kind) {
    case 0: {  // a few bits flipped
      const int n = 1 + static_cast<int>(rng() % 8);
      for (int i = 0; i < n; ++i)
        bytes[rng() % segment_size] ^= static_cast<uint8_t>(1u << (rng() % 8));
      how = std::to_string(n) + " bits flipped";
      break;
    }
    case 1: {  // bytes replaced
      const int n = 1 + static_cast<int>(rng() % 6);
      for (int i = 0; i < n; ++i) bytes[rng() % segment_size] = static_cast<uint8_t>(rng());
      how = std::to_string(n) + " bytes replaced";
      break;
    }
    case 2:
    case 3: {  // a run of zeros or ones
      const size_t at = rng() % segment_size;
      const size_t len = std::min<size_t>(1 + rng() % 64, segment_size - at);
      const uint8_t value = kind == 2 ? 0x00 : 0xff;
      std::memset(&bytes[at], value, len);
      how =
          std::to_string(len) + " bytes of " + std::to_string(value) + " at " + std::to_string(at);
      break;
    }
    case 4: {  // a block area cut at a random bit: the rest zeros or ones
      const int m = static_cast<int>(rng() % 5);
      const int b = static_cast<int>(rng() % 6);
      const int first = ac_first(m, b);
      const int end = ac_end(m, b);
      const int cut = first + static_cast<int>(rng() % static_cast<unsigned>(end - first));
      const uint32_t ones = rng() & 1;
      BitWriter w{bytes, cut, end};
      while (w.at < end) w.put(ones, 1);
      how = "mb " + std::to_string(m) + " block " + std::to_string(b) + " cut at bit " +
            std::to_string(cut) + (ones ? " with ones" : " with zeros");
      break;
    }
    case 5: {  // a tail of the segment lost
      const size_t at = rng() % segment_size;
      const uint8_t value = (rng() & 1) ? 0xff : 0x00;
      std::memset(&bytes[at], value, segment_size - at);
      how = "bytes from " + std::to_string(at) + " set to " + std::to_string(value);
      break;
    }
    default: {  // two DIF blocks exchanged
      const size_t a = rng() % 5;
      const size_t b = rng() % 5;
      std::swap_ranges(bytes.begin() + static_cast<long>(block_size * a),
                       bytes.begin() + static_cast<long>(block_size * (a + 1)),
                       bytes.begin() + static_cast<long>(block_size * b));
      how = "DIF blocks " + std::to_string(a) + " and " + std::to_string(b) + " exchanged";
      break;
    }
  }
  return bytes;
}

// The 400 bytes of video segment k of DIF sequence s (see the interop test).
Bytes segment_of(std::span<const uint8_t> frame, int s, int k) {
  const auto bytes = frame.subspan(dif::segment_offset(s, k), segment_size);
  return Bytes(bytes.begin(), bytes.end());
}

class SegmentFuzz : public testing::Test {
 protected:
  void SetUp() override { decoder_ = new_decoder(); }

 private:
  Decoder decoder_;
};

TEST_F(SegmentFuzz, FixedPatterns) {
  std::mt19937 rng(7);
  Fuzzer fuzz(rng);
  for (uint8_t value : {0x00, 0xff, 0x55, 0xaa, 0x66, 0x0f, 0xf0}) {
    fuzz.run(Bytes(segment_size, value), "every byte " + std::to_string(value));
  }
  // End-of-block codes packed back to back: every block ends at once and
  // lends the rest of its area.
  Bytes eobs(segment_size, 0x66);
  fuzz.run(eobs, "end-of-block codes only");
  // One DIF block of ones among zeros and the reverse.
  for (int m = 0; m < 5; ++m) {
    Bytes a(segment_size, 0x00);
    Bytes b(segment_size, 0xff);
    std::memset(&a[static_cast<size_t>(block_size * m)], 0xff, block_size);
    std::memset(&b[static_cast<size_t>(block_size * m)], 0x00, block_size);
    fuzz.run(a, "DIF block " + std::to_string(m) + " all ones");
    fuzz.run(b, "DIF block " + std::to_string(m) + " all zeros");
  }
  fuzz.expect_all_held();
}

TEST_F(SegmentFuzz, RandomSegments) {
  std::mt19937 rng(20240611);
  Fuzzer fuzz(rng);
  const int n = 240 * rounds();
  for (int i = 0; i < n; ++i) {
    fuzz.run(random_bytes(rng), "random segment " + std::to_string(i));
    fuzz.run(biased_bytes(rng, 0.1 + 0.8 * (i % 9) / 8.0), "biased segment " + std::to_string(i));
    fuzz.run(code_soup(rng), "code soup " + std::to_string(i));
  }
  fuzz.expect_all_held();
  EXPECT_GT(fuzz.recovered(), 0);
  EXPECT_GT(fuzz.errors(), 0);
}

TEST_F(SegmentFuzz, MutatedFfmpegSegments) {
  // One high-detail frame of each system; their segments spill codes
  // between blocks, so damage reaches the recovery passes.
  const DvRecipe recipes[] = {
      {.system = e_dv_system_625_50,
       .pix_fmt = "yuv420p",
       .frames = 1,
       .video_source = "mandelbrot"},
      {.system = e_dv_system_525_60,
       .pix_fmt = "yuv411p",
       .frames = 1,
       .video_source = "nullsrc",
       .video_filter = "geq=random(1)*255:128:128"},
  };
  std::vector<Bytes> originals;
  for (const DvRecipe &recipe : recipes) {
    const Bytes file = read_file(make_dv(recipe));
    const auto frames = split_frames(file);
    ASSERT_EQ(frames.size(), 1u);
    const int sequences = recipe.system == e_dv_system_625_50 ? 12 : 10;
    for (int s = 0; s < sequences; ++s)
      for (int k = 0; k < 27; ++k) originals.push_back(segment_of(frames[0], s, k));
  }

  std::mt19937 rng(1234);
  Fuzzer fuzz(rng);
  const int n = 900 * rounds();
  for (int i = 0; i < n; ++i) {
    const size_t which = rng() % originals.size();
    std::string how;
    const Bytes bytes = mutate(originals[which], rng, how);
    fuzz.run(bytes, "segment " + std::to_string(which) + " with " + how);
  }
  fuzz.expect_all_held();
  EXPECT_GT(fuzz.recovered(), 0);
  EXPECT_GT(fuzz.errors(), 0);

  // The bits of each area after its block's final offset belong to no code
  // once every block has found its end: random values there must leave the
  // parse unchanged.
  constexpr unsigned best = DV_QUALITY_COLOR | DV_QUALITY_AC_2;
  long complete = 0;
  long changed = 0;
  for (size_t which = 0; which < originals.size(); ++which) {
    const Bytes &original = originals[which];
    const Parse clean = parse(original, 0, 0, true, best, 0);
    Bytes noisy = original;
    bool all_ended = true;
    for (int m = 0; m < 5; ++m)
      for (int b = 0; b < 6; ++b) {
        const dv_block_t &bl = clean.seg->mb[m].b[b];
        all_ended = all_ended && bl.eob == 1;
        BitWriter w{noisy, bl.offset, bl.end};
        while (w.at < bl.end) w.put(rng() & 1, 1);
      }
    if (!all_ended) continue;
    ++complete;
    const Parse again = parse(noisy, 0, 0, true, best, 0);
    for (int m = 0; m < 5; ++m)
      for (int b = 0; b < 6; ++b) {
        const dv_block_t &x = clean.seg->mb[m].b[b];
        const dv_block_t &y = again.seg->mb[m].b[b];
        if (x.eob != y.eob || std::memcmp(x.coeffs, y.coeffs, sizeof x.coeffs) != 0) {
          if (++changed <= 3)
            ADD_FAILURE() << "segment " << which << " mb " << m << " block " << b
                          << " changed with random bits after the codes\noriginal:\n"
                          << hex(original) << "\nchanged:\n"
                          << hex(noisy);
        }
      }
  }
  EXPECT_EQ(complete, static_cast<long>(originals.size())) << "segments with every block ended";
  EXPECT_EQ(changed, 0);
}

}  // namespace
