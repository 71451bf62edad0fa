// Decodes the video of every frame of a raw DV file through the C API and
// throws the pictures away: a whole-file decoding time to set beside other
// decoders' (see compare.sh). Every frame is decoded into the same buffer,
// so that nothing is allocated while the clock runs.
//
//   tarsk_decode_file [--quality N] [--color yuv|rgb|bgr0|none] [--threads T [--split]] FILE.dv
//
// N is a sum of quality flags: 1 decodes the colour blocks, 2 the AC
// coefficients in a single pass, 4 the AC coefficients with the codes that
// spilled into other blocks' areas recovered; the default 5 is the best.
// With --color none every frame is parsed but no block is reconstructed or
// written. With T threads (default 1) T threads decode whole
// frames side by side (the C++ API's frame pipeline); with --split the
// threads share the segments of each frame instead. The frame count,
// elapsed seconds and frames per second go to standard error.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <tarsk/dv.h>
#include <unistd.h>

#include <tarsk/tarsk.hpp>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// dv_parse_header reads the header, subcode, VAUX and audio blocks that
// stand in front of the first video blocks.
constexpr size_t header_bytes = 5608;
constexpr int max_width = 720;
constexpr int max_height = 576;

// A value that is none of the three colour spaces: the decoder then parses
// the frame and writes nothing.
constexpr auto parse_only = static_cast<dv_color_space_t>(3);

[[noreturn]] void usage(const char *program) {
  std::fprintf(stderr, "usage: %s [--quality N] [--color yuv|rgb|bgr0|none] [--threads T [--split]] FILE.dv\n", program);
  std::exit(2);
}

struct Options {
  unsigned quality = DV_QUALITY_COLOR | DV_QUALITY_AC_2;
  std::string color = "yuv";
  dv_color_space_t space = e_dv_color_yuv;
  int bytes_per_pixel = 2;
  const char *path = nullptr;
  int threads = 1;
  bool split = false;
};

Options parse_options(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--quality" && i + 1 < argc) {
      char *end = nullptr;
      const long q = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || q < 0 || q > 7) usage(argv[0]);
      o.quality = static_cast<unsigned>(q);
    } else if (arg == "--threads" && i + 1 < argc) {
      char *end = nullptr;
      const long t = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || t < 1 || t > 64) usage(argv[0]);
      o.threads = static_cast<int>(t);
    } else if (arg == "--split") {
      o.split = true;
    } else if (arg == "--color" && i + 1 < argc) {
      o.color = argv[++i];
      if (o.color == "yuv") {
        o.space = e_dv_color_yuv;
        o.bytes_per_pixel = 2;
      } else if (o.color == "rgb") {
        o.space = e_dv_color_rgb;
        o.bytes_per_pixel = 3;
      } else if (o.color == "bgr0") {
        o.space = e_dv_color_bgr0;
        o.bytes_per_pixel = 4;
      } else if (o.color == "none") {
        o.space = parse_only;
        o.bytes_per_pixel = 0;
      } else {
        usage(argv[0]);
      }
    } else if (!arg.empty() && arg[0] != '-' && o.path == nullptr) {
      o.path = argv[i];
    } else {
      usage(argv[0]);
    }
  }
  if (o.path == nullptr) usage(argv[0]);
  return o;
}

// The file, mapped into memory for reading.
class MappedFile {
 public:
  explicit MappedFile(const char *path) {
    const int fd = open(path, O_RDONLY);
    if (fd < 0) fail(path);
    struct stat st {};
    if (fstat(fd, &st) != 0) fail(path);
    size_ = static_cast<size_t>(st.st_size);
    if (size_ > 0) {
      void *p = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (p == MAP_FAILED) fail(path);
      data_ = static_cast<const uint8_t *>(p);
    }
    close(fd);
  }
  ~MappedFile() {
    if (data_ != nullptr) munmap(const_cast<uint8_t *>(data_), size_);
  }
  MappedFile(const MappedFile &) = delete;
  MappedFile &operator=(const MappedFile &) = delete;

  const uint8_t *data() const { return data_; }
  size_t size() const { return size_; }

 private:
  [[noreturn]] static void fail(const char *path) {
    std::fprintf(stderr, "%s: %s\n", path, std::strerror(errno));
    std::exit(1);
  }

  const uint8_t *data_ = nullptr;
  size_t size_ = 0;
};

}  // namespace

int main(int argc, char **argv) {
  const Options o = parse_options(argc, argv);
  const MappedFile file(o.path);

  dv_decoder_t *dv = dv_decoder_new(0, 0, 0);
  if (dv == nullptr) {
    std::fprintf(stderr, "no memory for a decoder\n");
    return 1;
  }
  dv_set_error_log(dv, nullptr);

  // One picture buffer, big enough for a 625-line frame in the colour space.
  std::vector<uint8_t> picture(static_cast<size_t>(max_width) * max_height *
                               static_cast<size_t>(o.bytes_per_pixel > 0 ? o.bytes_per_pixel : 1));
  uint8_t *pixels[1] = {picture.data()};
  int pitches[1] = {max_width * o.bytes_per_pixel};

  // Several threads: whole frames side by side (--split: the segments of
  // each frame shared among the threads instead).
  std::unique_ptr<tarsk::FrameWorkers> workers;
  std::unique_ptr<tarsk::FramePipeline> pipeline;
  std::vector<std::vector<uint8_t>> pictures;
  if (o.threads > 1 && o.split) {
    workers = std::make_unique<tarsk::FrameWorkers>(o.threads);
  } else if (o.threads > 1) {
    pipeline = std::make_unique<tarsk::FramePipeline>(
        o.threads, tarsk::FramePipeline::Settings{o.quality, o.space});
    pictures.assign(static_cast<size_t>(pipeline->depth()), picture);
  }

  long frames = 0;
  int status = 0;
  size_t at = 0;
  const auto start = std::chrono::steady_clock::now();
  while (at < file.size()) {
    const uint8_t *frame = file.data() + at;
    if (file.size() - at < header_bytes || dv_parse_header(dv, frame) < 0) {
      std::fprintf(stderr, "%s: no DV frame at byte %zu\n", o.path, at);
      status = 1;
      break;
    }
    if (file.size() - at < dv->frame_size) {
      std::fprintf(stderr, "%s: the frame at byte %zu is cut short\n", o.path, at);
      status = 1;
      break;
    }
    dv->quality = o.quality;
    if (pipeline) {
      if (pipeline->in_flight() == pipeline->depth() && !pipeline->collect()) status = 1;
      auto &out = pictures[static_cast<size_t>(frames) % pictures.size()];
      (void)pipeline->submit({frame, dv->frame_size}, out, static_cast<size_t>(pitches[0]));
    } else if (workers)
      workers->decode(dv, frame, o.space, picture.data(), pitches[0]);
    else
      dv_decode_full_frame(dv, frame, o.space, pixels, pitches);
    at += dv->frame_size;
    ++frames;
  }
  while (pipeline && pipeline->in_flight() > 0)
    if (!pipeline->collect()) status = 1;
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

  const double seconds = elapsed.count();
  std::fprintf(stderr, "%ld frames in %.3f s: %.1f frames/s (quality %u, %s, %d thread%s)\n",
               frames, seconds, seconds > 0 ? static_cast<double>(frames) / seconds : 0.0,
               o.quality, o.color.c_str(), o.threads, o.threads == 1 ? "" : "s");
  dv_decoder_free(dv);
  return status;
}
