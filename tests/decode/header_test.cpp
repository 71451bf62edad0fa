// The frame header and the metadata of the VAUX and subcode packs, on
// hand-built frames: what files made by ffmpeg never show.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <tuple>
#include <vector>

#include "support/decoder.h"
#include "support/frame_builder.h"

namespace {

using namespace tarsk::test;
constexpr dv_system_t pal = e_dv_system_625_50, ntsc = e_dv_system_525_60;

// A decoder that has seen `frame`: its header (VAUX) and its subcode.
Decoder decoder_for(const FrameBuilder &frame) {
  auto dv = new_decoder();
  dv_parse_header(dv.get(), frame.bytes().data());
  dv_parse_packs(dv.get(), frame.bytes().data());
  return dv;
}

// The DSF picks the system unless a VAUX source pack says otherwise, the APT
// IEC 61834 (4:2:0 in 625/50) or SMPTE 314M (4:1:1); the video-system option
// forces all three. The result tells a change: 1 to 625/50, 2 to 525/60.
TEST(Header, SystemStandardAndSampling) {
  // clang-format off
  struct Case { dv_system_t built; int apt, fifty_fields_pack, option, result; dv_system_t system;
                dv_std_t std; dv_sample_t sampling; };
  const dv_std_t iec = e_dv_std_iec_61834, smpte = e_dv_std_smpte_314m;
  const dv_sample_t s411 = e_dv_sample_411, s420 = e_dv_sample_420;
  const Case cases[] = {
      {pal, 0, -1, 0, 1, pal, iec, s420}, {ntsc, 1, -1, 0, 2, ntsc, smpte, s411},
      {pal, 1, -1, 0, 1, pal, smpte, s411}, {ntsc, 0, 1, 0, 1, pal, iec, s420},
      {ntsc, 0, 0, 0, 2, ntsc, iec, s411}, {pal, 0, -1, 1, 0, ntsc, smpte, s411},
      {ntsc, 0, -1, 2, 0, pal, iec, s420}, {ntsc, 0, -1, 3, 0, pal, smpte, s411}};
  // clang-format on
  for (const Case &c : cases) {
    FrameBuilder frame(c.built);
    frame.apt(c.apt);
    if (c.fifty_fields_pack >= 0) frame.vaux(0, vaux_source(true, c.fifty_fields_pack));
    auto dv = new_decoder();
    dv->arg_video_system = c.option;
    SCOPED_TRACE(testing::Message() << c.built << c.apt << c.fifty_fields_pack << c.option);
    EXPECT_EQ(dv_parse_header(dv.get(), frame.bytes().data()), c.result);
    EXPECT_EQ(std::tuple(dv->system, dv->std, dv->sampling),
              std::tuple(c.system, c.std, c.sampling));
    const bool is_pal = c.system == pal;
    EXPECT_EQ(std::tuple(dv->num_dif_seqs, dv->width, dv->height, dv->frame_size),
              std::tuple(is_pal ? 12 : 10, 720, is_pal ? 576 : 480, is_pal ? 144000u : 120000u));
    EXPECT_EQ(dv_parse_header(dv.get(), frame.bytes().data()), 0);
  }
}

// VAUX flags: absent packs answer -1; every non-zero display mode is wide.
TEST(Metadata, VauxFlags) {
  // clang-format off
  for (auto [source, control, expected] : {
           std::tuple{Pack{}, Pack{}, std::vector<int>{-1, -1, -1, -1, -1}},
           {vaux_source(false, false), vaux_source_control(0, false), {0, 0, 1, 0, 0}},
           {vaux_source(true, true), vaux_source_control(2, true), {1, 1, 0, 1, 1}},
           {Pack{}, vaux_source_control(7, true), {-1, -1, 0, 1, 1}}}) {
    // clang-format on
    FrameBuilder frame(pal);
    if (source[0] != 0) frame.vaux(17, source);
    if (control[0] != 0) frame.vaux(44, control);
    auto dv = decoder_for(frame);
    EXPECT_EQ((std::vector<int>{dv_frame_is_color(dv.get()), dv_system_50_fields(dv.get()),
                                dv_format_normal(dv.get()), dv_format_wide(dv.get()),
                                dv_frame_changed(dv.get())}),
              expected);
  }
}

// Time code, recording date and time: flag bits around the digits ignored,
// malformed digits kept within the text, the century turning between 68 and
// 69; without both packs (or with VAUX copies only) the text says zero.
TEST(Metadata, TimeCodeAndRecordingDate) {
  // Subcode and VAUX packs by slot; what the date and the time code read give.
  // clang-format off
  struct Case { std::vector<std::pair<int, Pack>> subcode, vaux; int result; std::string text;
                int timecode_result; const char *timecode; };
  const Pack tc_flags{0x13, 0xc9, 0xd9, 0xd9, 0xe3}, tc_bad{0x13, 0xff, 0xff, 0xff, 0xff};
  const Pack date_bad{0x62, 0xff, 0xff, 0xff, 0xff}, time_bad{0x63, 0xff, 0xff, 0xff, 0xff};
  const Pack date = recording_date(2020, 2, 29), time = recording_time(1, 2, 3);
  const Pack late = recording_time(23, 59, 59);
  const char *zero = "00:00:00.00", *no_date = "0000-00-00 00:00:00";
  const std::vector<Case> cases = {
      {{{0, tc_flags}, {1, date}, {2, time}}, {}, 1, "2020-02-29 01:02:03", 1, "23:59:59.09"},
      {{{0, tc_bad}, {1, date_bad}, {2, time_bad}}, {}, 1, "2065-25-45 45:85:85", 1, "45:85:85.45"},
      {{{0, date}}, {}, 0, no_date, 0, zero},
      {{{0, time}}, {{2, date}, {3, time}}, 0, no_date, 0, zero},
      {{{0, recording_date(1969, 1, 31)}, {1, late}}, {}, 1, "1969-01-31 23:59:59", 0, zero},
      {{{0, recording_date(1999, 1, 31)}, {1, late}}, {}, 1, "1999-01-31 23:59:59", 0, zero},
      {{{0, recording_date(2000, 1, 31)}, {1, late}}, {}, 1, "2000-01-31 23:59:59", 0, zero},
      {{{0, recording_date(2068, 1, 31)}, {1, late}}, {}, 1, "2068-01-31 23:59:59", 0, zero}};
  // clang-format on
  for (const Case &c : cases) {
    FrameBuilder frame(ntsc);
    for (const auto &[slot, pack] : c.subcode) frame.subcode(6, slot, pack);
    for (const auto &[slot, pack] : c.vaux) frame.vaux(slot, pack);
    auto dv = decoder_for(frame);
    char text[24], timecode_text[16];
    std::memset(text, 'x', sizeof text);
    std::memset(timecode_text, 'x', sizeof timecode_text);
    EXPECT_EQ(dv_get_recording_datetime(dv.get(), text), c.result) << c.text;
    EXPECT_STREQ(text, c.text.c_str());
    EXPECT_EQ(text[20], 'x');
    EXPECT_EQ(dv_get_timestamp(dv.get(), timecode_text), c.timecode_result) << c.timecode;
    EXPECT_STREQ(timecode_text, c.timecode);
    EXPECT_EQ(timecode_text[12], 'x');
    struct tm tm_value {};
    int t[4] = {7, 7, 7, 7};  // left alone when nothing is read
    EXPECT_EQ(dv_get_recording_datetime_tm(dv.get(), &tm_value), c.result);
    EXPECT_EQ(dv_get_timestamp_int(dv.get(), t), c.timecode_result);
    EXPECT_EQ(std::tuple(tm_value.tm_year, t[0]),
              std::tuple(c.result ? tm_value.tm_year : 0, c.timecode_result ? t[0] : 7));
  }
}

}  // namespace
