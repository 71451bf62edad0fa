// Writes a long DV stream of one stretch to standard output, frame by
// frame, for the tests that decode an hour of sound through a pipe without
// keeping the stream anywhere:
//   tape_sound_gen pal|ntsc RATE locked|unlocked FRAMES
#include <fcntl.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/tape_stream.h"

int main(int argc, char **argv) {
  using namespace tarsk::test;
  if (argc != 5) {
    std::fprintf(stderr, "usage: tape_sound_gen pal|ntsc RATE locked|unlocked FRAMES\n");
    return 2;
  }
  Stretch s;
  s.system = std::string(argv[1]) == "ntsc" ? TARSK_SYSTEM_525_60 : TARSK_SYSTEM_625_50;
  s.rate = std::atoi(argv[2]);
  s.clock = std::string(argv[3]) == "unlocked" ? Clock::unlocked : Clock::locked;
  s.frames = std::strtoull(argv[4], nullptr, 10);
#ifdef F_SETPIPE_SZ
  fcntl(1, F_SETPIPE_SZ, 1 << 20);  // fewer, larger hand-overs to the reader
#endif
  StretchEncoder encoder(s);
  if (!encoder.ok()) return 1;
  std::vector<uint8_t> frame(encoder.frame_bytes());
  for (uint64_t n = 0; n < s.frames; ++n)
    if (!encoder.frame(n, frame.data()) ||
        std::fwrite(frame.data(), 1, frame.size(), stdout) != frame.size())
      return 1;
  return std::fflush(stdout) == 0 ? 0 : 1;
}
