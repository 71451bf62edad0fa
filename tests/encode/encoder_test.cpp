// The encoder object, its share of the one-time set-up, the reorder tables
// and the statistics gathered from threads.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "common/scan.h"
#include "encode/encode_support.h"

namespace {

using namespace tarsk::test;

TEST(Encoder, NewEncoderHoldsItsSettingsAndZeroPlanes) {
  dv_encoder_t *enc = dv_encoder_new(1, 0, 1);
  ASSERT_NE(enc, nullptr);
  EXPECT_EQ(enc->rem_ntsc_setup, 1);
  EXPECT_EQ(enc->clamp_luma, 0);
  EXPECT_EQ(enc->clamp_chroma, 1);
  const int others[] = {enc->isPAL,     enc->is16x9,      enc->vlc_encode_passes, enc->static_qno,
                        enc->force_dct, enc->frame_count, enc->samples_this_frame};
  for (int v : others) EXPECT_EQ(v, 0);
  // Every sample of the planes can be written and reads zero first.
  const struct {
    int16_t *plane;
    size_t samples;
  } planes[] = {{enc->img_y, 720 * 576}, {enc->img_cr, 360 * 576}, {enc->img_cb, 360 * 576}};
  for (const auto &p : planes) {
    ASSERT_NE(p.plane, nullptr);
    for (size_t i = 0; i < p.samples; ++i) ASSERT_EQ(p.plane[i], 0);
    p.plane[p.samples - 1] = 7;
  }
  dv_encoder_free(enc);
  dv_encoder_free(nullptr);
}

// The reorder tables by coefficient, row by row, as 1-based scan positions.
constexpr int reorder_88_rows[64] = {
    1,  2,  6,  7,  15, 16, 28, 29, 3,  5,  8,  14, 17, 27, 30, 43, 4,  9,  13, 18, 26, 31,
    42, 44, 10, 12, 19, 25, 32, 41, 45, 54, 11, 20, 24, 33, 40, 46, 53, 55, 21, 23, 34, 39,
    47, 52, 56, 61, 22, 35, 38, 48, 51, 57, 60, 62, 36, 37, 49, 50, 58, 59, 63, 64};
constexpr int reorder_248_rows[64] = {
    1,  3,  7,  19, 21, 35, 37, 51, 5,  9,  17, 23, 33, 39, 49, 53, 11, 15, 25, 31, 41, 47,
    55, 61, 13, 27, 29, 43, 45, 57, 59, 63, 2,  4,  8,  20, 22, 36, 38, 52, 6,  10, 18, 24,
    34, 40, 50, 54, 12, 16, 26, 32, 42, 48, 56, 62, 14, 28, 30, 44, 46, 58, 60, 64};

TEST(Encoder, ReorderTablesAreByteOffsetsOfScanPositions) {
  dv_init(0, 0);
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(reorder_88[i], 2 * (reorder_88_rows[i] - 1)) << i;
    EXPECT_EQ(reorder_248[i], 2 * (reorder_248_rows[i] - 1)) << i;
  }
  // A block of coefficient indices comes out in each mode's scan.
  for (int mode = 0; mode < 2; ++mode) {
    dv_block_t bl{};
    bl.dct_mode = mode;
    for (int i = 0; i < 64; ++i) bl.coeffs[i] = static_cast<dv_coeff_t>(i);
    tarsk::reorder_block(&bl);
    for (int pos = 0; pos < 64; ++pos) EXPECT_EQ(bl.coeffs[pos], tarsk::scan_of(mode)[pos]);
  }
}

// Creating more encoders and decoders, and calling every table builder
// again, changes no shared table.
TEST(Encoder, LaterSetUpsChangeNoTable) {
  dv_encoder_free(dv_encoder_new(0, 0, 0));
  const std::vector<dv_vlc_entry_t> pairs(std::begin(vlc_encode_lookup),
                                          std::end(vlc_encode_lookup));
  const std::vector<uint8_t> bits(std::begin(vlc_num_bits_lookup), std::end(vlc_num_bits_lookup));
  const std::vector<const dv_vlc_encode_t *> rows(std::begin(vlc_test_lookup),
                                                  std::end(vlc_test_lookup));
  const std::vector<uint16_t> r88(std::begin(reorder_88), std::end(reorder_88));
  const std::vector<uint16_t> r248(std::begin(reorder_248), std::end(reorder_248));
  const auto hit = tarsk::qno_next_hit;
  const auto combi = tarsk::qnos_class_combi;

  dv_encoder_free(dv_encoder_new(1, 1, 1));
  dv_decoder_free(dv_decoder_new(1, 1, 1));
  _dv_init_vlc_test_lookup();
  _dv_init_vlc_encode_lookup();
  _dv_init_qno_start();
  _dv_prepare_reorder_tables();

  EXPECT_TRUE(std::equal(pairs.begin(), pairs.end(), vlc_encode_lookup));
  EXPECT_TRUE(std::equal(bits.begin(), bits.end(), vlc_num_bits_lookup));
  EXPECT_TRUE(std::equal(rows.begin(), rows.end(), vlc_test_lookup));
  EXPECT_TRUE(std::equal(r88.begin(), r88.end(), reorder_88));
  EXPECT_TRUE(std::equal(r248.begin(), r248.end(), reorder_248));
  EXPECT_EQ(hit, tarsk::qno_next_hit);
  EXPECT_EQ(combi, tarsk::qnos_class_combi);
  // The test lookup points at the code table's rows.
  EXPECT_EQ(vlc_test_lookup[0]->run, -1);
  EXPECT_EQ(vlc_test_lookup[(1 + 1) * 32 + 17], &dv_vlc_test_table[88]);
}

// Segments searched on two threads, each with its own tally added to the
// process-wide counters, give the totals of the same segments searched on
// one thread.
TEST(Encoder, ThreadedSearchesCountAsOne) {
  dv_init(0, 0);
  constexpr int segments = 24;
  std::vector<std::unique_ptr<dv_videosegment_t>> input;
  std::mt19937 rng(3);
  std::normal_distribution<double> noise(0, 1);
  for (int s = 0; s < segments; ++s) {
    input.push_back(new_segment());
    for (int i = 0; i < 30; ++i)
      for (int pos = 1; pos < 64; ++pos)
        block_of(*input.back(), i).coeffs[pos] =
            static_cast<dv_coeff_t>(noise(rng) * (s % 4) * 40 * std::exp(-pos / 10.0));
  }
  // One segment's search, its counts added at the end as a segment encoder does.
  auto search = [&](int s) {
    auto seg = std::make_unique<dv_videosegment_t>(*input[static_cast<size_t>(s)]);
    tarsk::EncodeStats tally{};
    for (dv_macroblock_t &mb : seg->mb) tarsk::do_classify(&mb, 0, tally);
    dv_vlc_block_t vblocks[30];
    const int passes = 1 + s % 3;
    (passes == 1   ? tarsk::quant_1_pass
     : passes == 2 ? tarsk::quant_2_passes
                   : tarsk::quant_3_passes)(seg.get(), vblocks, 0, tally);
    tarsk::add_encode_statistics(tally);
  };
  auto difference = [](tarsk::EncodeStats after, const tarsk::EncodeStats &before) {
    tarsk::EncodeStats negative = before;
    for (long &v : negative.cycles_used) v = -v;
    for (long &v : negative.runs_used) v = -v;
    for (long &v : negative.classes_used) v = -v;
    for (long &v : negative.qnos_used) v = -v;
    for (long &v : negative.dct_used) v = -v;
    negative.vlc_overflows = -negative.vlc_overflows;
    return after += negative;
  };

  const tarsk::EncodeStats start = tarsk::encode_statistics();
  for (int s = 0; s < segments; ++s) search(s);
  const tarsk::EncodeStats middle = tarsk::encode_statistics();
  std::thread other([&] {
    for (int s = 1; s < segments; s += 2) search(s);
  });
  for (int s = 0; s < segments; s += 2) search(s);
  other.join();
  const tarsk::EncodeStats single = difference(middle, start);
  const tarsk::EncodeStats threaded = difference(tarsk::encode_statistics(), middle);
  EXPECT_EQ(threaded, single);
  EXPECT_EQ(single.classes_used[0] + single.classes_used[1] + single.classes_used[2] +
                single.classes_used[3],
            segments * 30);
  EXPECT_LT(single.qnos_used[15], segments * 5) << "the searches must go below 15";
}

}  // namespace
