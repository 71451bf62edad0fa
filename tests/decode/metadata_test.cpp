// Metadata queries over the VAUX and subcode packs of a frame.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "support/decoder.h"
#include "support/frame_builder.h"

namespace {

using namespace tarsk::test;

// A decoder that has seen `frame`: its header (VAUX) and its subcode.
Decoder decoder_for(const FrameBuilder &frame) {
  auto dv = new_decoder();
  dv_parse_header(dv.get(), frame.bytes().data());
  dv_parse_packs(dv.get(), frame.bytes().data());
  return dv;
}

TEST(VauxFlags, SourceAndSourceControlPacks) {
  FrameBuilder frame(e_dv_system_625_50);
  frame.vaux(0, vaux_source(true, true)).vaux(1, vaux_source_control(0, true));
  auto dv = decoder_for(frame);
  EXPECT_EQ(dv_frame_is_color(dv.get()), 1);
  EXPECT_EQ(dv_system_50_fields(dv.get()), 1);
  EXPECT_EQ(dv_format_normal(dv.get()), 1);
  EXPECT_EQ(dv_format_wide(dv.get()), 0);
  EXPECT_EQ(dv_frame_changed(dv.get()), 1);
  uint8_t data[4];
  ASSERT_EQ(dv_get_vaux_pack(dv.get(), 0x61, data), 0);
  EXPECT_EQ(data[1], 0xc8);
}

TEST(VauxFlags, MonochromeSixtyFieldsUnchangedPicture) {
  FrameBuilder frame(e_dv_system_525_60);
  frame.vaux(17, vaux_source(false, false)).vaux(44, vaux_source_control(2, false));
  auto dv = decoder_for(frame);
  EXPECT_EQ(dv_frame_is_color(dv.get()), 0);
  EXPECT_EQ(dv_system_50_fields(dv.get()), 0);
  EXPECT_EQ(dv_frame_changed(dv.get()), 0);
}

TEST(VauxFlags, EveryNonZeroDisplayModeIsWide) {
  for (int mode = 1; mode < 8; ++mode) {
    FrameBuilder frame(e_dv_system_625_50);
    frame.vaux(0, vaux_source_control(mode, true));
    auto dv = decoder_for(frame);
    EXPECT_EQ(dv_format_wide(dv.get()), 1) << mode;
    EXPECT_EQ(dv_format_normal(dv.get()), 0) << mode;
  }
}

TEST(VauxFlags, AbsentPacksAnswerMinusOne) {
  FrameBuilder frame(e_dv_system_625_50);
  auto dv = decoder_for(frame);
  EXPECT_EQ(dv_frame_is_color(dv.get()), -1);
  EXPECT_EQ(dv_system_50_fields(dv.get()), -1);
  EXPECT_EQ(dv_format_normal(dv.get()), -1);
  EXPECT_EQ(dv_format_wide(dv.get()), -1);
  EXPECT_EQ(dv_frame_changed(dv.get()), -1);
}

TEST(TimeCode, TextAndNumbers) {
  FrameBuilder frame(e_dv_system_625_50);
  frame.subcode(6, 0, timecode(12, 34, 56, 24));
  auto dv = decoder_for(frame);
  char text[12];
  EXPECT_EQ(dv_get_timestamp(dv.get(), text), 1);
  EXPECT_STREQ(text, "12:34:56.24");
  int t[4];
  EXPECT_EQ(dv_get_timestamp_int(dv.get(), t), 1);
  EXPECT_EQ(t[0], 12);
  EXPECT_EQ(t[1], 34);
  EXPECT_EQ(t[2], 56);
  EXPECT_EQ(t[3], 24);
}

TEST(TimeCode, FlagBitsAroundTheDigitsAreIgnored) {
  FrameBuilder frame(e_dv_system_525_60);
  // Drop-frame, colour-frame and binary-group flags set around the digits.
  frame.subcode(6, 0, {0x13, 0xc9, 0xd9, 0xd9, 0xe3});
  auto dv = decoder_for(frame);
  char text[12];
  dv_get_timestamp(dv.get(), text);
  EXPECT_STREQ(text, "23:59:59.09");
}

TEST(TimeCode, MalformedDigitsStayWithinTheText) {
  FrameBuilder frame(e_dv_system_525_60);
  frame.subcode(6, 0, {0x13, 0xff, 0xff, 0xff, 0xff});
  auto dv = decoder_for(frame);
  char text[16];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(dv_get_timestamp(dv.get(), text), 1);
  EXPECT_STREQ(text, "45:85:85.45");
  EXPECT_EQ(text[12], 'x');
}

TEST(TimeCode, AbsentPack) {
  FrameBuilder frame(e_dv_system_625_50);
  auto dv = decoder_for(frame);
  char text[12];
  EXPECT_EQ(dv_get_timestamp(dv.get(), text), 0);
  EXPECT_STREQ(text, "00:00:00.00");
  int t[4] = {7, 7, 7, 7};
  EXPECT_EQ(dv_get_timestamp_int(dv.get(), t), 0);
  EXPECT_EQ(t[0], 7);
}

TEST(RecordingDateTime, TextOfBothPacks) {
  FrameBuilder frame(e_dv_system_625_50);
  frame.subcode(6, 1, recording_date(2019, 11, 6)).subcode(6, 2, recording_time(7, 8, 9));
  auto dv = decoder_for(frame);
  char text[20];
  EXPECT_EQ(dv_get_recording_datetime(dv.get(), text), 1);
  EXPECT_STREQ(text, "2019-11-06 07:08:09");
}

TEST(RecordingDateTime, CenturyTurnsBetween68And69) {
  for (auto [year, expected] : {std::pair{2024, "2024-01-31 23:59:59"},
                                std::pair{2026, "2026-01-31 23:59:59"},
                                std::pair{2068, "2068-01-31 23:59:59"},
                                std::pair{1969, "1969-01-31 23:59:59"},
                                std::pair{1970, "1970-01-31 23:59:59"},
                                std::pair{2000, "2000-01-31 23:59:59"},
                                std::pair{1999, "1999-01-31 23:59:59"}}) {
    FrameBuilder frame(e_dv_system_525_60);
    frame.subcode(6, 0, recording_date(year, 1, 31)).subcode(6, 1, recording_time(23, 59, 59));
    auto dv = decoder_for(frame);
    char text[20];
    dv_get_recording_datetime(dv.get(), text);
    EXPECT_STREQ(text, expected);
  }
}

TEST(RecordingDateTime, MalformedDigitsStayWithinTheText) {
  FrameBuilder frame(e_dv_system_625_50);
  frame.subcode(6, 0, {0x62, 0xff, 0xff, 0xff, 0xff}).subcode(6, 1, {0x63, 0xff, 0xff, 0xff, 0xff});
  auto dv = decoder_for(frame);
  char text[24];
  std::memset(text, 'x', sizeof text);
  EXPECT_EQ(dv_get_recording_datetime(dv.get(), text), 1);
  EXPECT_STREQ(text, "2065-25-45 45:85:85");
  EXPECT_EQ(text[20], 'x');
}

TEST(RecordingDateTime, OnePackAloneIsNotEnough) {
  FrameBuilder date_only(e_dv_system_625_50);
  date_only.subcode(6, 0, recording_date(2020, 2, 29));
  FrameBuilder time_only(e_dv_system_625_50);
  time_only.subcode(6, 0, recording_time(1, 2, 3));
  for (const FrameBuilder *frame : {&date_only, &time_only}) {
    auto dv = decoder_for(*frame);
    char text[20];
    EXPECT_EQ(dv_get_recording_datetime(dv.get(), text), 0);
    EXPECT_STREQ(text, "0000-00-00 00:00:00");
    struct tm tm_value {};
    tm_value.tm_year = 99;
    EXPECT_EQ(dv_get_recording_datetime_tm(dv.get(), &tm_value), 0);
    EXPECT_EQ(tm_value.tm_year, 99);
  }
}

TEST(RecordingDateTime, VauxCopiesAreNotConsulted) {
  FrameBuilder frame(e_dv_system_625_50);
  frame.vaux(2, recording_date(2010, 5, 5)).vaux(3, recording_time(5, 5, 5));
  auto dv = decoder_for(frame);
  char text[20];
  EXPECT_EQ(dv_get_recording_datetime(dv.get(), text), 0);
  uint8_t data[4];
  EXPECT_EQ(dv_get_vaux_pack(dv.get(), 0x62, data), 0);
}

TEST(RecordingDateTime, BrokenDownTimeIsNormalisedByMktime) {
  setenv("TZ", "UTC", 1);
  tzset();
  FrameBuilder frame(e_dv_system_625_50);
  frame.subcode(6, 0, recording_date(2016, 2, 29)).subcode(6, 1, recording_time(13, 14, 15));
  auto dv = decoder_for(frame);
  struct tm t {};
  ASSERT_EQ(dv_get_recording_datetime_tm(dv.get(), &t), 1);
  EXPECT_EQ(t.tm_year, 116);
  EXPECT_EQ(t.tm_mon, 1);
  EXPECT_EQ(t.tm_mday, 29);
  EXPECT_EQ(t.tm_hour, 13);
  EXPECT_EQ(t.tm_wday, 1);  // a Monday
  EXPECT_EQ(t.tm_yday, 59);

  // Month 0 is December of the year before.
  frame.subcode(6, 0, {0x62, 0xff, 0xc1, 0xe0, 0x16});
  dv_parse_packs(dv.get(), frame.bytes().data());
  ASSERT_EQ(dv_get_recording_datetime_tm(dv.get(), &t), 1);
  EXPECT_EQ(t.tm_year, 115);
  EXPECT_EQ(t.tm_mon, 11);
}

}  // namespace
