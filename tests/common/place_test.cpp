// Macroblock placement for the three layouts.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "support/decoder.h"

namespace {

using namespace tarsk::test;

struct Layout {
  dv_system_t system;
  dv_sample_t sampling;
  int sequences, width, height;
};

// A decoder set to a layout, as header parsing would leave it.
Decoder decoder_for(const Layout &layout) {
  auto dv = new_decoder();
  dv->system = layout.system;
  dv->sampling = layout.sampling;
  dv->num_dif_seqs = layout.sequences;
  return dv;
}

// Width and height of a macroblock at x in a layout.
std::pair<int, int> macroblock_size(const Layout &layout, int x) {
  if (layout.sampling != e_dv_sample_411) return {16, 16};
  return x >= 704 ? std::pair{16, 16} : std::pair{32, 8};
}

class Placement : public testing::TestWithParam<Layout> {};

TEST_P(Placement, MacroblocksCoverThePictureExactlyOnce) {
  const Layout layout = GetParam();
  auto dv = decoder_for(layout);
  auto frame = std::make_unique<dv_frame_t>();
  dv_place_frame(dv.get(), frame.get());
  std::vector<int> covered(static_cast<size_t>(layout.width * layout.height), 0);
  int macroblocks = 0;
  for (int s = 0; s < layout.sequences; ++s)
    for (int k = 0; k < 27; ++k) {
      const dv_videosegment_t &seg = frame->ds[s].seg[k];
      ASSERT_EQ(seg.i, s);
      ASSERT_EQ(seg.k, k);
      ASSERT_EQ(seg.isPAL, layout.system == e_dv_system_625_50);
      for (const dv_macroblock_t &mb : seg.mb) {
        const auto [w, h] = macroblock_size(layout, mb.x);
        ASSERT_GE(mb.x, 0);
        ASSERT_GE(mb.y, 0);
        ASSERT_LE(mb.x + w, layout.width);
        ASSERT_LE(mb.y + h, layout.height);
        for (int y = mb.y; y < mb.y + h; ++y)
          for (int x = mb.x; x < mb.x + w; ++x) ++covered[static_cast<size_t>(y * layout.width + x)];
        ++macroblocks;
      }
    }
  EXPECT_EQ(macroblocks, layout.sequences * 27 * 5);
  for (int c : covered) ASSERT_EQ(c, 1);
}

INSTANTIATE_TEST_SUITE_P(Layouts, Placement,
                         testing::Values(Layout{e_dv_system_525_60, e_dv_sample_411, 10, 720, 480},
                                         Layout{e_dv_system_625_50, e_dv_sample_420, 12, 720, 576},
                                         Layout{e_dv_system_625_50, e_dv_sample_411, 12, 720, 576}));

struct Spot {
  int seq, segment, m, x, y;
};

void expect_spots(const Layout &layout, std::initializer_list<Spot> spots) {
  auto dv = decoder_for(layout);
  for (const Spot &s : spots) {
    dv_videosegment_t seg{};
    seg.i = s.seq;
    seg.k = s.segment;
    dv_place_video_segment(dv.get(), &seg);
    EXPECT_EQ(seg.mb[s.m].x, s.x) << s.seq << " " << s.segment << " " << s.m;
    EXPECT_EQ(seg.mb[s.m].y, s.y) << s.seq << " " << s.segment << " " << s.m;
  }
}

TEST(PlacementSpots, Ntsc411) {
  expect_spots({e_dv_system_525_60, e_dv_sample_411, 10, 720, 480},
               {{0, 0, 0, 288, 96}, {0, 0, 1, 128, 312}, {0, 0, 2, 416, 408}, {0, 0, 3, 0, 0},
                {0, 0, 4, 576, 192}, {0, 26, 4, 704, 224}, {9, 26, 4, 704, 176}});
  auto dv = decoder_for({e_dv_system_525_60, e_dv_sample_411, 10, 720, 480});
  dv_videosegment_t seg{};
  seg.i = 9;
  dv_place_video_segment(dv.get(), &seg);
  EXPECT_EQ(seg.mb[2].i, 7);
  EXPECT_EQ(seg.mb[4].i, 3);
  EXPECT_EQ(seg.mb[4].j, 4);
}

TEST(PlacementSpots, Pal420) {
  expect_spots({e_dv_system_625_50, e_dv_sample_420, 12, 720, 576},
               {{0, 0, 0, 288, 96}, {0, 0, 1, 144, 288}, {0, 0, 2, 432, 384}, {0, 0, 3, 0, 0},
                {0, 0, 4, 576, 192}});
}

}  // namespace
