// The C++ API from an installed copy: its library parts (frame checks,
// threaded decoding) must be exported by the shared library.
#include <tarsk/tarsk.hpp>

#include <cstdio>
#include <vector>

int main() {
  std::vector<uint8_t> frame(frame_size_625_50, 0);
  frame[0] = 0x1f;  // a header block of a 625/50 frame, in sequence 0 only
  frame[3] = 0x80;
  const auto checked = tarsk::check_frame(frame);
  std::printf("check: %s\n", checked ? "sound" : checked.error().message.c_str());
  tarsk::FrameWorkers workers(2);
  std::printf("threads: %d\n", workers.threads());
  return 0;
}
