#include "frames.h"

#include <spawn.h>
#include <sys/wait.h>
#include <tarsk/dv.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "common/dif.h"

extern char **environ;

namespace bench {

namespace fs = std::filesystem;


namespace fs = std::filesystem;

std::vector<uint8_t> read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The first frame of a DV stream. DSF, the top bit of byte 3 of the header
// block, tells 625/50 from 525/60.
Frame first_frame(std::string name, const std::vector<uint8_t> &bytes) {
  if (bytes.size() < 4 || (bytes[0] >> 5) != 0)
    throw std::runtime_error(name + ": no DV header block at the start");
  Frame frame;
  frame.name = std::move(name);
  frame.pal = (bytes[3] & 0x80) != 0;
  frame.sequences = frame.pal ? 12 : 10;
  const size_t size = frame.pal ? frame_size_625_50 : frame_size_525_60;
  if (bytes.size() < size) throw std::runtime_error(frame.name + ": shorter than a frame");
  frame.bytes.assign(bytes.begin(), bytes.begin() + static_cast<long>(size));
  return frame;
}

// One 625/50 4:2:0 frame of a lavfi video source, encoded by ffmpeg.
Frame ffmpeg_frame(const std::string &name, const std::string &source) {
  const char *tmp = std::getenv("TMPDIR");
  std::string dir =
      (fs::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") / "tarsk-bench-XXXXXX").string();
  if (mkdtemp(dir.data()) == nullptr)
    throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
  const fs::path out = fs::path(dir) / "frame.dv";
  const std::vector<std::string> argv = {
      "ffmpeg",  "-hide_banner", "-loglevel", "error", "-nostdin",  "-f",      "lavfi",
      "-i",      source,         "-frames:v", "1",     "-c:v",      "dvvideo", "-pix_fmt",
      "yuv420p", "-f",           "dv",        "-y",    out.string()};
  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  int status = 0;
  const int spawn_error = posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, args.data(), environ);
  if (spawn_error == 0)
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  std::vector<uint8_t> bytes;
  if (spawn_error == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) bytes = read_file(out.string());
  std::error_code ignored;
  fs::remove_all(dir, ignored);
  if (bytes.empty()) throw std::runtime_error("ffmpeg could not make the " + name + " frame");
  return first_frame(name, bytes);
}

std::vector<Frame> frames_to_measure() {
  std::vector<Frame> frames;
  const char *file = std::getenv("TARSK_BENCH_DV");
  if (file != nullptr && *file != '\0') {
    frames.push_back(first_frame("file", read_file(file)));
  } else {
    frames.push_back(ffmpeg_frame("mandelbrot", "mandelbrot=size=720x576:rate=25"));
    frames.push_back(ffmpeg_frame(
        "noise", "nullsrc=size=720x576:rate=25,geq=random(1)*255:random(2)*255:random(3)*255"));
  }
  return frames;
}

const uint8_t *segment_at(const Frame &frame, int s, int k) {
  return frame.bytes.data() + tarsk::dif::segment_offset(s, k);
}

}  // namespace bench
