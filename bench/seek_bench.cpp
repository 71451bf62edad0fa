// Speed of random access: a reader over an hour of 625/50 DV (90,000
// frames, one frame of ffmpeg's Mandelbrot picture repeated, read from
// memory by position) goes to a frame and makes it. "Fresh" opens a new
// reader each time, whose index knows nothing yet: it crosses the hour by
// each frame's first and last blocks. "Learned" seeks one reader to random
// frames after its index has learned the stream. bytes_per_seek counts what
// the source was asked for.
#include <benchmark/benchmark.h>
#include <tarsk/tarsk.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "frames.h"

namespace {

constexpr uint64_t hour = 90000;

struct Hour {
  bench::Frame frame = bench::ffmpeg_frame("mandelbrot", "mandelbrot=size=720x576:rate=25");
  uint64_t asked = 0;

  tarsk_source source() {
    return {[](void *user, uint64_t offset, uint8_t *bytes, size_t size) -> int64_t {
              auto *h = static_cast<Hour *>(user);
              const uint64_t frame_size = h->frame.bytes.size(), total = hour * frame_size;
              size_t done = 0;
              while (done < size && offset + done < total) {
                const uint64_t at = (offset + done) % frame_size;
                const size_t n = std::min<size_t>(size - done, frame_size - at);
                std::memcpy(bytes + done, h->frame.bytes.data() + at, n);
                done += n;
              }
              h->asked += done;
              return static_cast<int64_t>(done);
            },
            this};
  }
};

Hour &the_hour() {
  static Hour h;
  return h;
}

void seek_fresh(benchmark::State &state) {
  Hour &h = the_hour();
  const tarsk_source source = h.source();
  h.asked = 0;
  for (auto _ : state) {
    tarsk_reader *reader = nullptr;
    tarsk_frame frame;
    if (tarsk_reader_open_source(&reader, &source) != TARSK_OK ||
        tarsk_reader_seek(reader, hour - 1) != TARSK_OK ||
        tarsk_reader_next(reader, &frame) != TARSK_OK || frame.index != hour - 1)
      state.SkipWithError("the last frame was not found");
    tarsk_reader_close(&reader);
  }
  state.counters["bytes_per_seek"] = static_cast<double>(h.asked) / static_cast<double>(state.iterations());
}

void seek_learned(benchmark::State &state) {
  Hour &h = the_hour();
  const tarsk_source source = h.source();
  tarsk_reader *reader = nullptr;
  uint64_t frames = 0;
  if (tarsk_reader_open_source(&reader, &source) != TARSK_OK ||
      tarsk_reader_frames(reader, &frames) != TARSK_OK || frames != hour)
    state.SkipWithError("the hour was not learned");
  std::mt19937 random(1);
  h.asked = 0;
  for (auto _ : state) {
    const uint64_t n = random() % hour;
    tarsk_frame frame;
    if (tarsk_reader_seek(reader, n) != TARSK_OK || tarsk_reader_next(reader, &frame) != TARSK_OK ||
        frame.index != n)
      state.SkipWithError("a frame was not found");
  }
  state.counters["bytes_per_seek"] = static_cast<double>(h.asked) / static_cast<double>(state.iterations());
  tarsk_reader_close(&reader);
}

BENCHMARK(seek_fresh)->Unit(benchmark::kMillisecond);
BENCHMARK(seek_learned)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
