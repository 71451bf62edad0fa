// Frame assembly: header, subcode and VAUX blocks and block identifiers,
// read back by the decoder.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <limits>
#include <random>
#include <vector>

#include "common/dif.h"
#include "support/decoder.h"

namespace {

using namespace tarsk::test;
namespace dif = tarsk::dif;
using Frame = std::vector<uint8_t>;

Frame random_frame(bool pal, unsigned seed) {
  Frame f(dif::frame_size(pal));
  std::mt19937 rng(seed);
  for (auto &b : f) b = static_cast<uint8_t>(rng());
  return f;
}

const uint8_t *block(const Frame &f, int ds, int b) { return &f[dif::block_offset(ds, b)]; }

std::tm local(time_t t) {
  std::tm tm{};
  EXPECT_NE(localtime_r(&t, &tm), nullptr);
  return tm;
}

// 14 November 2023, within the two-digit years the decoder maps to 20xx.
constexpr time_t some_time = 1700000000;

struct MetaCase {
  bool pal;
  bool wide;
  int frame;
};

class Meta : public testing::TestWithParam<MetaCase> {};

// Time code, recording date and time, system and aspect as the decoder
// reads them; the clock runs on a second at the first frame of a second.
TEST_P(Meta, DecoderReadsWhatWasWritten) {
  const MetaCase c = GetParam();
  const int fps = c.pal ? 25 : 30;
  Frame f = random_frame(c.pal, 1);
  time_t now = some_time;
  _dv_write_meta_data(f.data(), c.frame, c.pal, c.wide, &now);
  const time_t expected = some_time + (c.frame % fps == 0 ? 1 : 0);
  EXPECT_EQ(now, expected);

  auto dv = new_decoder();
  ASSERT_GE(dv_parse_header(dv.get(), f.data()), 0);
  dv_parse_packs(dv.get(), f.data());
  EXPECT_EQ(dv->system, c.pal ? e_dv_system_625_50 : e_dv_system_525_60);
  EXPECT_EQ(dv->std, e_dv_std_iec_61834);
  EXPECT_EQ(dv_system_50_fields(dv.get()), c.pal ? 1 : 0);
  EXPECT_EQ(dv_format_wide(dv.get()), c.wide ? 1 : 0);
  EXPECT_EQ(dv_frame_is_color(dv.get()), 1);

  const std::tm t = local(expected);
  int tc[4];
  ASSERT_EQ(dv_get_timestamp_int(dv.get(), tc), 1);
  EXPECT_EQ(tc[0], t.tm_hour);
  EXPECT_EQ(tc[1], t.tm_min);
  EXPECT_EQ(tc[2], t.tm_sec);
  EXPECT_EQ(tc[3], c.frame % fps);
  char text[20], want[20];
  ASSERT_EQ(dv_get_recording_datetime(dv.get(), text), 1);
  std::strftime(want, sizeof want, "%Y-%m-%d %H:%M:%S", &t);
  EXPECT_STREQ(text, want);

  // The same date and time in the VAUX packs as in the subcode.
  uint8_t vaux[4];
  ASSERT_EQ(dv_get_vaux_pack(dv.get(), 0x62, vaux), 0);
  EXPECT_EQ(0, std::memcmp(vaux, dv->ssyb_data[dv->ssyb_pack[0x62]], 4));
  ASSERT_EQ(dv_get_vaux_pack(dv.get(), 0x63, vaux), 0);
  EXPECT_EQ(0, std::memcmp(vaux, dv->ssyb_data[dv->ssyb_pack[0x63]], 4));
  // Sequences 0 and 6 have six subcode packs in each block (time codes
  // alone in sequence 0); VAUX of sequence 0: three camera packs and the
  // four source packs.
  EXPECT_EQ(dv->ssyb_next, 24);
  EXPECT_EQ(dv->ssyb_pack[0x13], 21);
  EXPECT_EQ(dv->vaux_next, 7);
}

INSTANTIATE_TEST_SUITE_P(Frames, Meta,
                         testing::Values(MetaCase{false, false, 0}, MetaCase{false, true, 31},
                                         MetaCase{true, false, 50}, MetaCase{true, true, 13}));

// What kind of block stands at position b of a sequence, and its number
// within its kind, worked out from the layout's description: header, two
// subcode, three VAUX, then nine times an audio block and 15 video blocks.
struct Kind {
  uint8_t section;
  int number;
};
Kind kind_at(int b) {
  if (b == 0) return {0, 0};
  if (b < 3) return {1, b - 1};
  if (b < 6) return {2, b - 3};
  const int group = (b - 6) / 16, within = (b - 6) % 16;
  if (within == 0) return {3, group};
  return {4, group * 15 + within - 1};
}

TEST(Headers, BlockIdentifiersAndContents) {
  for (bool pal : {false, true})
    for (int frame : {0, 13}) {
      const Frame before = random_frame(pal, 2);
      Frame f = before;
      time_t now = some_time;
      _dv_write_meta_data(f.data(), frame, pal, 0, &now);
      const int count = (frame + 11) % 12;
      for (int ds = 0; ds < dif::sequences(pal); ++ds)
        for (int b = 0; b < dif::blocks_per_sequence; ++b) {
          SCOPED_TRACE(testing::Message()
                       << "pal " << pal << " frame " << frame << " ds " << ds << " block " << b);
          const uint8_t *out = block(f, ds, b);
          const Kind k = kind_at(b);
          bitstream_t bs{};
          _dv_bitstream_new_buffer(&bs, const_cast<uint8_t *>(out), 8);
          dv_id_t id;
          dv_parse_id(&bs, &id);
          EXPECT_EQ(id.sct, k.section);
          EXPECT_EQ(id.dsn, ds);
          EXPECT_EQ(id.fsc, 0);
          EXPECT_EQ(static_cast<uint8_t>(id.dbn), k.number);  // int8_t in the record
          EXPECT_EQ(out[0] & 0x0f, k.section >= 3 ? count : 0x0f);
          EXPECT_EQ(out[1] & 0x07, 7);
          if (k.section == 4) {  // video payload untouched
            EXPECT_EQ(0, std::memcmp(out + 3, block(before, ds, b) + 3, 77));
          }
          if (k.section == 3) {  // audio cleared for insertion
            EXPECT_EQ(std::vector<uint8_t>(out + 3, out + 80), std::vector<uint8_t>(77, 0xff));
          }
        }
      // The header block of every sequence tells the system and APT 0.
      EXPECT_EQ(block(f, 0, 0)[3], pal ? 0xbf : 0x3f);
      EXPECT_EQ(block(f, 0, 0)[4] & 0x07, 0);
    }
}

// The sync block counter runs on by 32 per DIF sequence, across frames,
// from 0 at frame 0 whatever was written before (the other system's frames
// here); the second half of the frame carries the flag and the packs.
TEST(Headers, SubcodeCounterAndHalves) {
  for (bool pal : {false, true}) {
    std::vector<int> counts;
    for (int frame = 0; frame < 2; ++frame) {
      Frame f(dif::frame_size(pal));
      time_t now = some_time;
      _dv_write_meta_data(f.data(), frame, pal, 0, &now);
      for (int ds = 0; ds < dif::sequences(pal); ++ds) {
        SCOPED_TRACE(testing::Message() << "pal " << pal << " ds " << ds);
        const uint8_t *s0 = block(f, ds, 1), *s1 = block(f, ds, 2);
        counts.push_back((s0[3] & 0x0f) << 8 | s0[4]);
        EXPECT_EQ(s0[3] & 0x80, ds >= 6 ? 0x80 : 0);
        EXPECT_EQ(s1[3], s0[3]);
        EXPECT_EQ(s1[4], s0[4] + 6);
        // The first half carries the time code alone, the second time
        // code, date and time.
        const uint8_t packs[3] = {0x13, 0x62, 0x63};
        for (const uint8_t *s : {s0, s1})
          for (int k = 0; k < 6; ++k) EXPECT_EQ(s[6 + 8 * k], ds < 6 ? 0x13 : packs[k % 3]);
      }
    }
    for (size_t i = 0; i < counts.size(); ++i)
      EXPECT_EQ(counts[i], static_cast<int>(32 * i % 4096)) << "pal " << pal << " sequence " << i;
  }
}

// A time that has no local time: the frame is still written, without the
// packs that would tell the time, and dv_encode_metadata writes nothing.
TEST(Headers, TimeWithoutLocalTime) {
  time_t never = std::numeric_limits<time_t>::max();
  std::tm probe;
  ASSERT_EQ(localtime_r(&never, &probe), nullptr);
  for (bool pal : {false, true}) {
    Frame f = random_frame(pal, 3);
    time_t now = never;
    _dv_write_meta_data(f.data(), 0, pal, 1, &now);
    EXPECT_EQ(now, never);
    auto dv = new_decoder();
    ASSERT_GE(dv_parse_header(dv.get(), f.data()), 0);
    dv_parse_packs(dv.get(), f.data());
    EXPECT_EQ(dv->system, pal ? e_dv_system_625_50 : e_dv_system_525_60);
    EXPECT_EQ(dv_format_wide(dv.get()), 1);
    char text[20];
    EXPECT_EQ(dv_get_timestamp(dv.get(), text), 0);
    EXPECT_EQ(dv_get_recording_datetime(dv.get(), text), 0);
    uint8_t pack[4];
    EXPECT_EQ(dv_get_vaux_pack(dv.get(), 0x62, pack), -1);
    EXPECT_EQ(dv->ssyb_next, 0);

    Frame g = random_frame(pal, 4);
    const Frame untouched = g;
    dv_encode_metadata(g.data(), pal, 0, &now, 1);
    EXPECT_EQ(g, untouched);
    // No time at all: as unknown.
    _dv_write_meta_data(g.data(), 0, pal, 0, nullptr);
    ASSERT_GE(dv_parse_header(dv.get(), g.data()), 0);
    EXPECT_EQ(dv_get_vaux_pack(dv.get(), 0x63, pack), -1);
    EXPECT_EQ(dv_get_vaux_pack(dv.get(), 0x60, pack), 0);
  }
}

// dv_encode_metadata rewrites subcode and VAUX blocks only, and keeps the
// caller's clock running.
TEST(Headers, MetadataRewritesSubcodeAndVauxOnly) {
  for (bool pal : {false, true}) {
    const int fps = pal ? 25 : 30;
    // Random bytes, but with the header blocks of a frame so that the
    // decoder takes it.
    Frame before = random_frame(pal, 5);
    Frame headers(before.size());
    time_t unused = some_time;
    _dv_write_meta_data(headers.data(), 0, pal, 0, &unused);
    for (int ds = 0; ds < dif::sequences(pal); ++ds)
      std::memcpy(&before[dif::block_offset(ds, 0)], block(headers, ds, 0), 80);
    Frame f = before;
    time_t clock = some_time;
    for (int frame = 0; frame <= fps; ++frame) dv_encode_metadata(f.data(), pal, 0, &clock, frame);
    EXPECT_EQ(clock, some_time + 2);
    for (int ds = 0; ds < dif::sequences(pal); ++ds)
      for (int b = 0; b < dif::blocks_per_sequence; ++b) {
        const bool rewritten = b >= 1 && b <= 5;
        EXPECT_EQ(std::memcmp(block(f, ds, b), block(before, ds, b), 80) == 0, !rewritten)
            << "ds " << ds << " block " << b;
      }
    auto dv = new_decoder();
    ASSERT_GE(dv_parse_header(dv.get(), f.data()), 0);
    dv_parse_packs(dv.get(), f.data());
    int tc[4];
    ASSERT_EQ(dv_get_timestamp_int(dv.get(), tc), 1);
    const std::tm t = local(clock);
    EXPECT_EQ(tc[2], t.tm_sec);
    EXPECT_EQ(tc[3], 0);  // the last frame written was frame fps
  }
}

struct TimecodeCase {
  bool pal;
  int frame;
  int hours, minutes, seconds, frames;
};

TEST(Timecode, CountsFromFrameZero) {
  const TimecodeCase cases[] = {{true, 0, 0, 0, 0, 0},
                                {true, 90000, 1, 0, 0, 0},
                                {true, 2160000, 24, 0, 0, 0},
                                {true, 90000 + 1524, 1, 1, 0, 24},
                                {false, 30 * 61 + 7, 0, 1, 1, 7},
                                {false, 108000 * 3 + 29, 3, 0, 0, 29}};
  for (const TimecodeCase &c : cases) {
    SCOPED_TRACE(testing::Message() << "pal " << c.pal << " frame " << c.frame);
    Frame f(dif::frame_size(c.pal));
    time_t now = some_time;
    _dv_write_meta_data(f.data(), 7, c.pal, 0, &now);
    const Frame before = f;
    dv_encode_timecode(f.data(), c.pal, c.frame);
    auto dv = new_decoder();
    ASSERT_GE(dv_parse_header(dv.get(), f.data()), 0);
    dv_parse_packs(dv.get(), f.data());
    int tc[4];
    ASSERT_EQ(dv_get_timestamp_int(dv.get(), tc), 1);
    EXPECT_EQ(tc[0], c.hours);
    EXPECT_EQ(tc[1], c.minutes);
    EXPECT_EQ(tc[2], c.seconds);
    EXPECT_EQ(tc[3], c.frames);
    // Only the time code packs changed: twelve in each first-half
    // sequence, four in each second-half one.
    size_t changed = 0;
    for (size_t i = 0; i < f.size(); ++i) changed += f[i] != before[i];
    EXPECT_LE(changed, static_cast<size_t>((6 * 12 + (dif::sequences(c.pal) - 6) * 4) * 4));
    const uint8_t *pack = block(f, 6, 2) + 30;
    EXPECT_EQ(pack[0], 0x13);
    if (c.frame == 90000) {
      EXPECT_EQ(std::vector<uint8_t>(pack, pack + 5),
                (std::vector<uint8_t>{0x13, 0x00, 0x00, 0x00, 0x01}));
    }
  }
  // A negative frame number has no time code: nothing is written.
  Frame f(dif::frame_size(true), 0x55);
  dv_encode_timecode(f.data(), 1, -1);
  EXPECT_EQ(f, Frame(dif::frame_size(true), 0x55));
}

}  // namespace
