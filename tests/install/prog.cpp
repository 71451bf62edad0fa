// The C++ API from an installed copy: its library parts (frame checks,
// threaded decoding, the encoder) must be exported by the shared library.
#include <cstdio>
#include <tarsk/tarsk.hpp>
#include <vector>

int main() {
  std::vector<uint8_t> frame(frame_size_625_50, 0);
  frame[0] = 0x1f;  // a header block of a 625/50 frame, in sequence 0 only
  frame[3] = 0x80;
  const auto checked = tarsk::check_frame(frame);
  std::printf("check: %s\n", checked ? "sound" : checked.error().message.c_str());
  tarsk::FrameWorkers workers(2);
  std::printf("threads: %d\n", workers.threads());
  tarsk::Encoder encoder({.system = e_dv_system_525_60});
  const std::vector<uint8_t> y(720 * 480, 16), c(180 * 480, 128);
  std::vector<uint8_t> encoded(encoder.frame_bytes());
  const auto made = encoder.encode({e_dv_sample_411, y, c, c}, encoded);
  std::printf("encode: %s\n", made ? "done" : made.error().message.c_str());
  return 0;
}
