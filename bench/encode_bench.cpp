// Speed of the encoder's core on natural segments: classification of the
// 30 blocks, the three-pass quantiser search and the placement of the codes
// with spilling, per video segment. Items are segments: items_per_second is
// segments per second and per_segment the time of one.
//
// The segments are made from real pictures: every segment of the frames
// that bench/frames.h provides (ffmpeg's Mandelbrot picture and noise, or
// TARSK_BENCH_DV's first frame) is decoded by the library, and its blocks
// taken through the forward transform of their own DCT mode and into scan
// order, as the segment encoder will do. Copying a prepared segment into
// the record the search works on is part of each measured segment (about
// 5 KB, a small share).
#include <benchmark/benchmark.h>
#include <tarsk/dv.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "encode/encode.h"
#include "frames.h"

namespace {

using Segments = std::vector<std::unique_ptr<dv_videosegment_t>>;

// A decoded block (samples s for the 8-bit value s + 128, row by row) as
// the encoder's input: 2 (v - 128), transposed, then transformed.
void to_encoder_block(dv_block_t &bl) {
  dv_coeff_t samples[64];
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x)
      samples[8 * x + y] = static_cast<dv_coeff_t>(std::clamp(2 * bl.coeffs[8 * y + x], -256, 254));
  std::copy(samples, samples + 64, bl.coeffs);
  if (bl.dct_mode == 1)
    _dv_dct_248(bl.coeffs);
  else
    _dv_dct_88(bl.coeffs);
  tarsk::reorder_block(&bl);
}

Segments segments_of(const bench::Frame &frame, dv_decoder_t *decoder) {
  Segments segments;
  bitstream_t bs{};
  for (int s = 0; s < frame.sequences; ++s)
    for (int k = 0; k < 27; ++k) {
      auto seg = std::make_unique<dv_videosegment_t>();
      seg->bs = &bs;
      seg->i = s;
      seg->k = k;
      seg->isPAL = frame.pal;
      _dv_bitstream_new_buffer(&bs, const_cast<uint8_t *>(bench::segment_at(frame, s, k)), 400);
      dv_parse_video_segment(seg.get(), DV_QUALITY_BEST);
      dv_decode_video_segment(decoder, seg.get(), DV_QUALITY_BEST);
      for (dv_macroblock_t &mb : seg->mb)
        for (dv_block_t &bl : mb.b) to_encoder_block(bl);
      seg->bs = nullptr;
      segments.push_back(std::move(seg));
    }
  return segments;
}

// One segment through classification, the three-pass search and placement.
void encode_core(const dv_videosegment_t &prepared, dv_videosegment_t *work,
                 dv_vlc_block_t *vblocks, uint8_t *out, tarsk::EncodeStats &stats) {
  *work = prepared;
  for (dv_macroblock_t &mb : work->mb) tarsk::do_classify(&mb, 0, stats);
  tarsk::quant_3_passes(work, vblocks, 0, stats);
  std::fill(out, out + 400, uint8_t{0});
  tarsk::place_segment_codes(vblocks, out, 3);
}

void search_and_place(benchmark::State &state, const Segments *segments) {
  auto work = std::make_unique<dv_videosegment_t>();
  dv_vlc_block_t vblocks[30];
  uint8_t out[400];
  tarsk::EncodeStats stats{};
  for (auto _ : state) {
    for (const auto &seg : *segments) {
      encode_core(*seg, work.get(), vblocks, out, stats);
      benchmark::DoNotOptimize(out);
    }
    benchmark::ClobberMemory();
  }
  const auto n = static_cast<int64_t>(segments->size());
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["per_segment"] =
      benchmark::Counter(static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}

// What the search makes of a frame: the share of macroblocks below qno 15
// and the segments that had to be cut.
std::string describe(const Segments &segments) {
  auto work = std::make_unique<dv_videosegment_t>();
  dv_vlc_block_t vblocks[30];
  uint8_t out[400];
  tarsk::EncodeStats stats{};
  for (const auto &seg : segments) encode_core(*seg, work.get(), vblocks, out, stats);
  char text[160];
  std::snprintf(text, sizeof text, "%zu segments, %.0f%% of macroblocks below qno 15, %ld cut",
                segments.size(),
                100.0 - 100.0 * double(stats.qnos_used[15]) / double(5 * segments.size()),
                stats.vlc_overflows);
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<bench::Frame> frames;
  try {
    frames = bench::frames_to_measure();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "bench_encode: %s\n", e.what());
    return 1;
  }
  dv_decoder_t *decoder = dv_decoder_new(0, 0, 0);
  if (decoder == nullptr) return 1;
  std::vector<Segments> sets;
  sets.reserve(frames.size());
  for (const bench::Frame &frame : frames) {
    sets.push_back(segments_of(frame, decoder));
    std::printf("%s: %s\n", frame.name.c_str(), describe(sets.back()).c_str());
    benchmark::RegisterBenchmark(("search_and_place/" + frame.name).c_str(), search_and_place,
                                 &sets.back());
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  dv_decoder_free(decoder);
  return 0;
}
