// Decoding on several threads gives exactly the pictures of the C API's
// single-threaded decoding.
#include <gtest/gtest.h>

#include <tarsk/tarsk.hpp>

#include <algorithm>
#include <span>
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

// A stream through the frame pipeline: every picture equals the C API's
// and comes back in the order its frame went in, 525/60 and 625/50 frames
// mixed, a damaged frame's error in its place; a full pipeline refuses
// more until a frame is collected.
TEST(FramePipeline, InOrderAndBitIdentical) {
  std::vector<std::span<const uint8_t>> stream;
  for (const Clip &c : clips)
    for (auto frame : made_dv(c.name, c.recipe).frames) stream.push_back(frame);
  std::vector<uint8_t> damaged(stream[1].begin(), stream[1].end());
  damaged[12000 + 1] = 0xf0;  // DIF sequence 1's header numbered for another
  stream.insert(stream.begin() + 3, damaged);
  for (int threads : {1, 2, 3}) {
    tarsk::FramePipeline pipeline(threads, {DV_QUALITY_BEST, e_dv_color_rgb});
    std::vector<std::vector<uint8_t>> pictures(static_cast<size_t>(pipeline.depth()),
                                               std::vector<uint8_t>(720 * 576 * 3));
    tarsk::Decoder single;
    size_t collected = 0;
    auto collect_one = [&] {
      const auto frame = stream[collected];
      const auto result = pipeline.collect();
      if (collected == 3) {
        EXPECT_FALSE(result);
      } else {
        ASSERT_TRUE(result) << result.error().message;
        ASSERT_TRUE(single.parse(frame));
        std::vector<uint8_t> expected(single.picture_bytes(e_dv_color_rgb));
        ASSERT_TRUE(single.decode_video(frame, e_dv_color_rgb, expected));
        const auto &got = pictures[collected % pictures.size()];
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), got.begin()))
            << "frame " << collected << " threads " << threads;
      }
      ++collected;
    };
    for (size_t n = 0; n < stream.size(); ++n) {
      if (pipeline.in_flight() == pipeline.depth()) {
        EXPECT_FALSE(pipeline.submit(stream[n], pictures[n % pictures.size()]));
        collect_one();
      }
      ASSERT_TRUE(pipeline.submit(stream[n], pictures[n % pictures.size()]));
    }
    while (collected < stream.size()) collect_one();
    EXPECT_FALSE(pipeline.collect());
  }
}

}  // namespace
