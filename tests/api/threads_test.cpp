// Decoding on several threads gives exactly the pictures of the C API's
// single-threaded decoding.
#include <gtest/gtest.h>

#include <tarsk/tarsk.hpp>

#include <vector>

#include "support/ffmpeg.h"

namespace {

using namespace tarsk::test;

struct Clip {
  const char *name;
  DvRecipe recipe;
};

DvRecipe clip(dv_system_t system, const char *pix_fmt, const char *filter, bool interlaced_dct) {
  DvRecipe r;
  r.system = system;
  r.pix_fmt = pix_fmt;
  r.frames = 4;
  r.video_source = "mandelbrot";
  r.video_filter = filter;
  (void)interlaced_dct;
  return r;
}

const Clip clips[] = {
    {"Pal420", clip(e_dv_system_625_50, "yuv420p", "", false)},
    {"Ntsc411", clip(e_dv_system_525_60, "yuv411p", "noise=alls=30:allf=t", false)},
    {"Pal411", clip(e_dv_system_625_50, "yuv411p", "", false)},
};

TEST(ThreadedDecoding, BitIdenticalToTheCApi) {
  int compared = 0;
  for (const Clip &c : clips) {
    const MadeDv &file = made_dv(c.name, c.recipe);
    for (unsigned quality : {5u, 3u, 1u, 4u}) {
      for (dv_color_space_t space : {e_dv_color_yuv, e_dv_color_rgb, e_dv_color_bgr0}) {
        tarsk::Decoder single(quality);
        std::vector<tarsk::Decoder> threaded;
        for (int threads : {2, 3, 5}) {
          threaded.emplace_back(quality);
          ASSERT_TRUE(threaded.back().set_threads(threads));
          ASSERT_EQ(threaded.back().threads(), threads);
        }
        for (auto frame : file.frames) {
          ASSERT_TRUE(single.parse(frame));
          std::vector<uint8_t> expected(single.picture_bytes(space), 0x11);
          uint8_t *pixels[1] = {expected.data()};
          int pitches[1] = {static_cast<int>(single.picture_bytes(space) / static_cast<size_t>(single.get()->height))};
          dv_decode_full_frame(single.get(), frame.data(), space, pixels, pitches);
          for (tarsk::Decoder &d : threaded) {
            ASSERT_TRUE(d.parse(frame));
            std::vector<uint8_t> picture(d.picture_bytes(space), 0x22);
            ASSERT_TRUE(d.decode_video(frame, space, picture));
            ASSERT_TRUE(picture == expected) << c.name << " quality " << quality << " space "
                                             << space << " threads " << d.threads();
            ++compared;
          }
        }
      }
    }
  }
  EXPECT_EQ(compared, 3 * 4 * 3 * 4 * 3);
}

}  // namespace
