// Speed of video segment parsing: every segment of one frame, parsed at the
// quality levels a decoder offers (DC only, AC in a single pass, AC with the
// spilled codes recovered; colour on). Items are segments, so Google
// Benchmark's items_per_second is segments per second and per_segment the
// time one segment takes.
//
// The frames come from ffmpeg, run at start-up: a Mandelbrot picture and
// random noise, both 625/50 4:2:0. TARSK_BENCH_DV=file measures the first
// frame of a DV file instead.
#include <benchmark/benchmark.h>
#include <tarsk/dv.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "frames.h"

namespace {

using bench::Frame;
using bench::segment_at;

void parse_frame(benchmark::State &state, const Frame *frame, unsigned quality) {
  auto *seg = static_cast<dv_videosegment_t *>(std::calloc(1, sizeof(dv_videosegment_t)));
  bitstream_t bs{};
  seg->bs = &bs;
  seg->isPAL = frame->pal ? 1 : 0;
  for (auto _ : state) {
    for (int s = 0; s < frame->sequences; ++s)
      for (int k = 0; k < 27; ++k) {
        // The reader takes a mutable buffer but does not write it.
        _dv_bitstream_new_buffer(&bs, const_cast<uint8_t *>(segment_at(*frame, s, k)), 400);
        seg->i = s;
        seg->k = k;
        dv_parse_video_segment(seg, quality);
        benchmark::DoNotOptimize(seg->mb[4].b[5].coeffs);
      }
    benchmark::ClobberMemory();
  }
  const int64_t segments = int64_t{frame->sequences} * 27;
  state.SetItemsProcessed(state.iterations() * segments);
  state.counters["per_segment"] = benchmark::Counter(
      static_cast<double>(segments),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  std::free(seg);
}

// What the frame asks of the parser: blocks whose codes run into other
// blocks' areas, which only the multi-pass level finishes.
std::string describe(const Frame &frame) {
  auto *seg = static_cast<dv_videosegment_t *>(std::calloc(1, sizeof(dv_videosegment_t)));
  bitstream_t bs{};
  seg->bs = &bs;
  seg->isPAL = frame.pal ? 1 : 0;
  long open[2] = {0, 0};
  long errors = 0;
  const unsigned qualities[2] = {DV_QUALITY_COLOR | DV_QUALITY_AC_1,
                                 DV_QUALITY_COLOR | DV_QUALITY_AC_2};
  for (int pass = 0; pass < 2; ++pass)
    for (int s = 0; s < frame.sequences; ++s)
      for (int k = 0; k < 27; ++k) {
        _dv_bitstream_new_buffer(&bs, const_cast<uint8_t *>(segment_at(frame, s, k)), 400);
        seg->i = s;
        seg->k = k;
        dv_parse_video_segment(seg, qualities[pass]);
        for (const dv_macroblock_t &mb : seg->mb) {
          errors += mb.vlc_error;
          open[pass] += 6 - mb.eob_count;
        }
      }
  std::free(seg);
  char text[160];
  std::snprintf(text, sizeof text,
                "%s, %d segments; blocks without their end: %ld single pass, %ld multi-pass; "
                "invalid codes: %ld",
                frame.pal ? "625/50" : "525/60", 27 * frame.sequences, open[0], open[1], errors);
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<Frame> frames;
  try {
    frames = bench::frames_to_measure();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "bench_parse: %s\n", e.what());
    return 1;
  }

  dv_decoder_t *decoder = dv_decoder_new(0, 0, 0);  // builds the shared tables
  if (decoder == nullptr) return 1;

  const struct {
    const char *name;
    unsigned quality;
  } levels[] = {{"dc_only", DV_QUALITY_COLOR | DV_QUALITY_DC},
                {"single_pass", DV_QUALITY_COLOR | DV_QUALITY_AC_1},
                {"multi_pass", DV_QUALITY_COLOR | DV_QUALITY_AC_2}};
  for (const Frame &frame : frames) {
    benchmark::AddCustomContext("frame " + frame.name, describe(frame));
    for (const auto &level : levels)
      benchmark::RegisterBenchmark(("parse_segments/" + frame.name + "/" + level.name).c_str(),
                                   parse_frame, &frame, level.quality);
  }

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  dv_decoder_free(decoder);
  return 0;
}
