// Pack stores: what the VAUX and subcode scans keep of a frame.
#include <gtest/gtest.h>

#include <vector>

#include "support/decoder.h"
#include "support/frame_builder.h"

namespace {

using namespace tarsk::test;

TEST(VauxStore, EmptyBlocksStoreNothing) {
  auto dv = new_decoder();
  FrameBuilder frame(e_dv_system_625_50);
  dv_parse_header(dv.get(), frame.bytes().data());
  EXPECT_EQ(dv->vaux_next, 0);
  for (int id = 0; id < 256; ++id) ASSERT_EQ(dv->vaux_pack[id], 0xff) << id;
  uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(dv_get_vaux_pack(dv.get(), 0x60, data), -1);
  EXPECT_EQ(data[0], 1);
}

TEST(VauxStore, FortyFiveSlotsFillTheStoreExactly) {
  auto dv = new_decoder();
  FrameBuilder frame(e_dv_system_625_50);
  for (int slot = 0; slot < 45; ++slot)
    frame.vaux(slot, {static_cast<uint8_t>(0x80 + slot), static_cast<uint8_t>(slot), 2, 3,
                      static_cast<uint8_t>(255 - slot)});
  dv_parse_header(dv.get(), frame.bytes().data());
  EXPECT_EQ(dv->vaux_next, 45);
  for (int slot = 0; slot < 45; ++slot) {
    uint8_t data[4];
    ASSERT_EQ(dv_get_vaux_pack(dv.get(), static_cast<uint8_t>(0x80 + slot), data), 0);
    EXPECT_EQ(data[0], slot);
    EXPECT_EQ(data[3], 255 - slot);
  }
  EXPECT_EQ(dv->vaux_pack[0xff], 0xff);
}

TEST(VauxStore, RepeatedIdKeepsTheLastAndUsesASlotEach) {
  auto dv = new_decoder();
  FrameBuilder frame(e_dv_system_625_50);
  frame.vaux(0, {0x61, 0x00, 0xc8, 0xfc, 0xff}).vaux(40, {0x61, 0x00, 0xca, 0xdc, 0xff});
  dv_parse_header(dv.get(), frame.bytes().data());
  EXPECT_EQ(dv->vaux_next, 2);
  EXPECT_EQ(dv->vaux_pack[0x61], 1);
  EXPECT_EQ(dv_format_wide(dv.get()), 1);
  EXPECT_EQ(dv_frame_changed(dv.get()), 0);
}

TEST(VauxStore, ANewFrameReplacesTheWholeStore) {
  auto dv = new_decoder();
  FrameBuilder first(e_dv_system_625_50);
  first.vaux(3, vaux_source(true, true)).vaux(4, vaux_source_control(0, true));
  dv_parse_header(dv.get(), first.bytes().data());
  ASSERT_EQ(dv_frame_is_color(dv.get()), 1);
  FrameBuilder second(e_dv_system_625_50);
  second.vaux(0, vaux_source_control(7, false));
  dv_parse_header(dv.get(), second.bytes().data());
  EXPECT_EQ(dv->vaux_next, 1);
  EXPECT_EQ(dv_frame_is_color(dv.get()), -1);
  EXPECT_EQ(dv_format_wide(dv.get()), 1);
}

TEST(SubcodeStore, NewDecoderReadsAsZeroPacks) {
  // Until the first scan every ID maps to slot 0, whose bytes are zero.
  auto dv = new_decoder();
  char text[12];
  EXPECT_EQ(dv_get_timestamp(dv.get(), text), 1);
  EXPECT_STREQ(text, "00:00:00.00");
}

TEST(SubcodeStore, ScansSequencesZeroAndSixOnly) {
  auto dv = new_decoder();
  FrameBuilder frame(e_dv_system_525_60);
  frame.subcode(0, 0, timecode(1, 0, 0, 0));
  frame.subcode(3, 0, timecode(3, 0, 0, 0));  // not a scanned sequence
  for (int slot = 0; slot < 12; slot += 3) frame.subcode(6, slot, timecode(6, 0, 0, slot));
  dv_parse_packs(dv.get(), frame.bytes().data());
  EXPECT_EQ(dv->ssyb_next, 5);
  int t[4];
  ASSERT_EQ(dv_get_timestamp_int(dv.get(), t), 1);
  EXPECT_EQ(t[0], 6);
  EXPECT_EQ(t[3], 9);  // the last of the four in sequence 6
}

TEST(SubcodeStore, ReadsNothingBeyondByte72239) {
  FrameBuilder frame(e_dv_system_625_50);
  frame.subcode(6, 11, timecode(23, 59, 58, 24));
  std::vector<uint8_t> head(frame.bytes().begin(), frame.bytes().begin() + 72240);
  auto dv = new_decoder();
  dv_parse_packs(dv.get(), head.data());
  char text[12];
  EXPECT_EQ(dv_get_timestamp(dv.get(), text), 1);
  EXPECT_STREQ(text, "23:59:58.24");
}

TEST(SubcodeStore, HeaderParsingLeavesItAlone) {
  auto dv = new_decoder();
  FrameBuilder frame(e_dv_system_625_50);
  frame.subcode(6, 0, timecode(10, 20, 30, 5));
  dv_parse_packs(dv.get(), frame.bytes().data());
  FrameBuilder other(e_dv_system_625_50);
  other.subcode(6, 0, timecode(11, 0, 0, 0));
  dv_parse_header(dv.get(), other.bytes().data());
  char text[12];
  dv_get_timestamp(dv.get(), text);
  EXPECT_STREQ(text, "10:20:30.05");
}

}  // namespace
