// Real DV frames for the benchmarks: made by ffmpeg at start-up, or read
// from the file named by TARSK_BENCH_DV.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

struct Frame {
  std::string name;
  std::vector<uint8_t> bytes;
  bool pal = false;
  int sequences = 0;
};

// The first frame of a DV stream.
Frame first_frame(std::string name, const std::vector<uint8_t> &bytes);
std::vector<uint8_t> read_file(const std::string &path);
// One 625/50 4:2:0 frame of a lavfi video source, encoded by ffmpeg.
Frame ffmpeg_frame(const std::string &name, const std::string &source);
// The frames to measure: TARSK_BENCH_DV's first frame, or ffmpeg's
// Mandelbrot picture and random noise.
std::vector<Frame> frames_to_measure();
// The 400 bytes of video segment k of DIF sequence s.
const uint8_t *segment_at(const Frame &frame, int s, int k);

}  // namespace bench
