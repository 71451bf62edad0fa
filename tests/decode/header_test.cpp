// Header parsing: system, standard, sampling and geometry of a frame.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/decoder.h"
#include "support/frame_builder.h"

namespace {

using namespace tarsk::test;

FrameBuilder pal_iec() { return FrameBuilder(e_dv_system_625_50); }
FrameBuilder ntsc() { return FrameBuilder(e_dv_system_525_60); }

TEST(HeaderGeometry, Pal420UnderIec61834) {
  auto dv = new_decoder();
  auto frame = pal_iec();
  EXPECT_EQ(dv_parse_header(dv.get(), frame.bytes().data()), 1);
  EXPECT_EQ(dv->system, e_dv_system_625_50);
  EXPECT_EQ(dv->std, e_dv_std_iec_61834);
  EXPECT_EQ(dv->sampling, e_dv_sample_420);
  EXPECT_EQ(dv->num_dif_seqs, 12);
  EXPECT_EQ(dv->width, 720);
  EXPECT_EQ(dv->height, 576);
  EXPECT_EQ(dv->frame_size, 144000u);
  EXPECT_EQ(dv->header.dsf, 1);
  EXPECT_EQ(dv_parse_header(dv.get(), frame.bytes().data()), 0);
}

TEST(HeaderGeometry, Ntsc411) {
  auto dv = new_decoder();
  auto frame = ntsc();
  frame.apt(1);
  EXPECT_EQ(dv_parse_header(dv.get(), frame.bytes().data()), 2);
  EXPECT_EQ(dv->system, e_dv_system_525_60);
  EXPECT_EQ(dv->std, e_dv_std_smpte_314m);
  EXPECT_EQ(dv->sampling, e_dv_sample_411);
  EXPECT_EQ(dv->num_dif_seqs, 10);
  EXPECT_EQ(dv->height, 480);
  EXPECT_EQ(dv->frame_size, 120000u);
  EXPECT_EQ(dv->header.dsf, 0);
}

TEST(HeaderGeometry, PalWithApplicationIdIsSmpte411) {
  auto dv = new_decoder();
  auto frame = pal_iec();
  frame.apt(1);
  dv_parse_header(dv.get(), frame.bytes().data());
  EXPECT_EQ(dv->std, e_dv_std_smpte_314m);
  EXPECT_EQ(dv->sampling, e_dv_sample_411);
  EXPECT_EQ(dv->height, 576);
}

TEST(HeaderGeometry, HeaderFieldsAreRead) {
  auto dv = new_decoder();
  auto frame = pal_iec();
  frame.apt(5).area(1, 1, 2).area(2, 0, 7).area(3, 1, 0);
  dv_parse_header(dv.get(), frame.bytes().data());
  EXPECT_EQ(dv->header.apt, 5);
  EXPECT_EQ(dv->header.tf1, 1);
  EXPECT_EQ(dv->header.ap1, 2);
  EXPECT_EQ(dv->header.tf2, 0);
  EXPECT_EQ(dv->header.ap2, 7);
  EXPECT_EQ(dv->header.tf3, 1);
  EXPECT_EQ(dv->header.ap3, 0);
}

TEST(HeaderSystem, VauxSourcePackDeclaringFiftyFieldsOverridesDsf) {
  auto dv = new_decoder();
  auto frame = ntsc();
  frame.vaux(0, vaux_source(true, true));
  EXPECT_EQ(dv_parse_header(dv.get(), frame.bytes().data()), 1);
  EXPECT_EQ(dv->system, e_dv_system_625_50);
  EXPECT_EQ(dv->height, 576);

  frame.vaux(0, vaux_source(true, false));
  EXPECT_EQ(dv_parse_header(dv.get(), frame.bytes().data()), 2);
  EXPECT_EQ(dv->system, e_dv_system_525_60);
}

TEST(HeaderSystem, AlternatingSystemsReportEachChange) {
  auto dv = new_decoder();
  auto pal = pal_iec();
  auto nt = ntsc();
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(dv_parse_header(dv.get(), nt.bytes().data()), 2);
    EXPECT_EQ(dv_parse_header(dv.get(), pal.bytes().data()), 1);
  }
}

TEST(HeaderSystem, ForcedSystemsIgnoreTheFrameAndReportNoChange) {
  struct Case {
    int option;
    dv_system_t system;
    dv_std_t std;
    dv_sample_t sampling;
  };
  for (const Case c : {Case{1, e_dv_system_525_60, e_dv_std_smpte_314m, e_dv_sample_411},
                       Case{2, e_dv_system_625_50, e_dv_std_iec_61834, e_dv_sample_420},
                       Case{3, e_dv_system_625_50, e_dv_std_smpte_314m, e_dv_sample_411}}) {
    auto dv = new_decoder();
    dv->arg_video_system = c.option;
    auto frame = c.system == e_dv_system_625_50 ? ntsc() : pal_iec();  // the other system
    EXPECT_EQ(dv_parse_header(dv.get(), frame.bytes().data()), 0) << c.option;
    EXPECT_EQ(dv->system, c.system) << c.option;
    EXPECT_EQ(dv->std, c.std) << c.option;
    EXPECT_EQ(dv->sampling, c.sampling) << c.option;
  }
}

TEST(HeaderRejects, BlockThatIsNotAHeaderChangesNothing) {
  auto dv = new_decoder();
  auto good = pal_iec();
  dv_parse_header(dv.get(), good.bytes().data());
  auto bad = ntsc();
  bad.bytes()[0] = 0x9f;  // section type 4: a video block
  bad.bytes()[3] = 0x3f;
  dv_decoder_t before;
  std::memcpy(&before, dv.get(), sizeof before);
  EXPECT_EQ(dv_parse_header(dv.get(), bad.bytes().data()), -1);
  EXPECT_EQ(std::memcmp(&before, dv.get(), sizeof before), 0);
}

TEST(HeaderRejects, SetBitAfterDsfRejectsAndOnlyDsfChanges) {
  auto dv = new_decoder();
  auto good = pal_iec();
  dv_parse_header(dv.get(), good.bytes().data());
  auto bad = ntsc();
  bad.bytes()[3] = 0x40;  // DSF 0, then the bit that must be 0
  EXPECT_EQ(dv_parse_header(dv.get(), bad.bytes().data()), -1);
  EXPECT_EQ(dv->header.dsf, 0);
  EXPECT_EQ(dv->system, e_dv_system_625_50);
  EXPECT_EQ(dv->height, 576);
}

TEST(HeaderBounds, ReadsNothingBeyondTheFirst5608Bytes) {
  // An exact-size heap copy: AddressSanitizer turns any read past it into
  // a failure. The audio packs at 4323 and 5603 are the last bytes read.
  auto frame = pal_iec();
  with_audio_packs(frame, aaux_source(24, true, 1, 0, 0), aaux_source_control(0x20));
  std::vector<uint8_t> head(frame.bytes().begin(), frame.bytes().begin() + 5608);
  auto dv = new_decoder();
  EXPECT_EQ(dv_parse_header(dv.get(), head.data()), 1);
  EXPECT_EQ(dv->audio->samples_this_frame, 1920);
}

TEST(HeaderBounds, ArbitraryBytesNeverCrash) {
  // Every first-block pattern either parses or is refused with -1.
  std::vector<uint8_t> head(5608);
  auto dv = new_decoder();
  dv_set_error_log(dv.get(), nullptr);
  unsigned state = 12345;
  int accepted = 0;
  for (int round = 0; round < 2000; ++round) {
    for (auto &b : head) {
      state = state * 1103515245u + 12345u;
      b = static_cast<uint8_t>(state >> 16);
    }
    if (round % 2) head[0] &= 0x1f;  // section type 0
    const int r = dv_parse_header(dv.get(), head.data());
    ASSERT_GE(r, -1);
    ASSERT_LE(r, 2);
    if (r >= 0) {
      ++accepted;
      ASSERT_TRUE(dv->num_dif_seqs == 10 || dv->num_dif_seqs == 12);
    }
  }
  EXPECT_GT(accepted, 0);
}

TEST(DifId, FieldsOfTheIdentifier) {
  std::vector<uint8_t> block(80, 0);
  block[0] = 0x9f;  // section type 4
  block[1] = 0xb7;  // sequence 11, FSC 0
  block[2] = 134;   // last video block of a sequence
  bitstream_t bs{};
  _dv_bitstream_new_buffer(&bs, block.data(), 80);
  dv_id_t id;
  EXPECT_EQ(dv_parse_id(&bs, &id), 0);
  EXPECT_EQ(id.sct, 4);
  EXPECT_EQ(id.dsn, 11);
  EXPECT_EQ(id.fsc, 0);
  EXPECT_EQ(static_cast<uint8_t>(id.dbn), 134);
  block[1] = 0x08;
  _dv_bitstream_new_buffer(&bs, block.data(), 80);
  dv_parse_id(&bs, &id);
  EXPECT_EQ(id.fsc, 1);
  EXPECT_EQ(id.dsn, 0);
}

}  // namespace
