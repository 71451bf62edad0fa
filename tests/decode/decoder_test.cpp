// Creating and freeing decoders, the error log, and the one-time set-up.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/decoder.h"

namespace tarsk {
int dv_init_runs();
}

namespace {

using tarsk::test::new_decoder;

TEST(Decoder, NewDecoderState) {
  auto dv = new_decoder();
  ASSERT_NE(dv, nullptr);
  EXPECT_EQ(dv->quality, 0u);
  EXPECT_EQ(dv->system, e_dv_system_none);
  EXPECT_EQ(dv->arg_video_system, 0);
  EXPECT_EQ(dv->video->error_log, stderr);
  EXPECT_EQ(dv->audio->error_log, stderr);
  EXPECT_EQ(dv->audio->correction_method, 2);
  EXPECT_EQ(dv->video->dv_decoder, dv.get());
  EXPECT_EQ(dv->audio->dv_decoder, dv.get());
  EXPECT_EQ(dv->video->arg_block_quality, 3);
  EXPECT_EQ(dv_use_mmx, 0);
}

TEST(Decoder, ArgumentsAreKept) {
  dv_decoder_t *dv = dv_decoder_new(1, 1, 0);
  ASSERT_NE(dv, nullptr);
  EXPECT_EQ(dv->add_ntsc_setup, 1);
  EXPECT_EQ(dv->clamp_luma, 1);
  EXPECT_EQ(dv->clamp_chroma, 0);
  dv_decoder_free(dv);
  dv_decoder_free(nullptr);
}

TEST(Decoder, ErrorLogIsSharedByVideoAndAudio) {
  auto dv = new_decoder();
  EXPECT_EQ(dv_set_error_log(dv.get(), nullptr), stderr);
  EXPECT_EQ(dv->video->error_log, nullptr);
  EXPECT_EQ(dv->audio->error_log, nullptr);
  EXPECT_EQ(dv_set_error_log(dv.get(), stdout), nullptr);
  EXPECT_EQ(dv->video->error_log, stdout);
}

TEST(Decoder, AudioCorrectionReturnsThePreviousMethod) {
  auto dv = new_decoder();
  EXPECT_EQ(dv_set_audio_correction(dv.get(), 0), 2);
  EXPECT_EQ(dv_set_audio_correction(dv.get(), 1), 0);
  EXPECT_EQ(dv->audio->correction_method, 1);
}

TEST(Decoder, VideoRecordOnItsOwn) {
  dv_video_t *video = dv_video_new();
  ASSERT_NE(video, nullptr);
  EXPECT_EQ(video->quality, 0u);
  EXPECT_EQ(video->arg_block_quality, 3);
  EXPECT_STREQ(video->option_table[0].longName, "quality");
  EXPECT_STREQ(video->option_table[1].longName, "monochrome");
  EXPECT_EQ(static_cast<const void *>(video->option_table[2].descrip), video);
  dv_video_popt_callback(nullptr, POPT_CALLBACK_REASON_POST, nullptr, nullptr, video);
  EXPECT_EQ(video->quality, 5u);
  std::free(video);
}

// Threads that create their first decoders at the same moment: the shared
// tables are built exactly once and every decoder comes out whole. Run in a
// fresh process so that this really is the first set-up.
TEST(DecoderInit, ConcurrentFirstDecodersBuildTablesOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (tarsk::dv_init_runs() != 0) std::exit(3);
        constexpr int n = 8;
        std::atomic<int> ready{0};
        std::vector<dv_decoder_t *> made(n, nullptr);
        std::vector<std::thread> threads;
        for (int t = 0; t < n; ++t)
          threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < n) {
            }
            made[t] = dv_decoder_new(0, 0, 0);
          });
        for (auto &th : threads) th.join();
        int whole = 0;
        for (auto *dv : made) {
          whole += dv != nullptr && dv->video != nullptr && dv->audio != nullptr;
          dv_decoder_free(dv);
        }
        std::exit(whole == n && tarsk::dv_init_runs() == 1 ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

TEST(DecoderInit, LaterCallsBuildNothing) {
  auto dv = new_decoder();
  const int runs = tarsk::dv_init_runs();
  EXPECT_GE(runs, 1);
  dv_init(1, 1);
  auto other = new_decoder();
  EXPECT_EQ(tarsk::dv_init_runs(), runs);
}

}  // namespace
