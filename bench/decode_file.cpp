// Decodes the video of every frame of a raw DV file and throws the pictures
// away: a whole-file decoding time to set beside other decoders' (see
// compare.sh). Every frame is decoded into the same buffers, so that nothing
// is allocated while the clock runs.
//
//   tarsk_decode_file [--api tarsk|dv] [--quality N] [--reference]
//                     [--color native|i422|yuv|rgb|bgr0|none] [--threads T [--split]] FILE.dv
//
// N is a sum of dv.h's quality flags: 1 decodes the colour blocks, 2 the AC
// coefficients in a single pass, 4 the AC coefficients with the codes that
// spilled into other blocks' areas recovered; the default 5 is the best.
// --api tarsk (the default) decodes through tarsk.h's decoder (concealment
// off; the accurate reconstruction, or the specified one with --reference),
// --api dv through dv.h's dv_decode_full_frame (one thread; yuv, rgb,
// bgr0 or none only). native writes planes at the stream's own sampling,
// yuv packed YUY2; with none every frame is parsed and checked but no block
// is reconstructed or written. With T threads (default 1) T threads decode
// whole frames side by side (tarsk.h's frame threads); with --split the
// threads share the segments of each frame instead. The frame count,
// elapsed seconds and frames per second go to standard error.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <tarsk/dv.h>
#include <unistd.h>

#include <tarsk/tarsk.h>

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

// A value that is none of the three colour spaces: dv.h's decoder then
// parses the frame and writes nothing.
constexpr auto parse_only = static_cast<dv_color_space_t>(3);

[[noreturn]] void usage(const char *program) {
  std::fprintf(stderr,
               "usage: %s [--api tarsk|dv] [--quality N] [--reference] "
               "[--color native|i422|yuv|rgb|bgr0|none] [--threads T [--split]] FILE.dv\n",
               program);
  std::exit(2);
}

struct Options {
  bool classic = false;  // dv.h rather than tarsk.h
  unsigned quality = DV_QUALITY_COLOR | DV_QUALITY_AC_2;
  std::string color = "yuv";
  dv_color_space_t space = e_dv_color_yuv;
  tarsk_pixel_format format = TARSK_PIXEL_YUY2;
  int bytes_per_pixel = 2;
  const char *path = nullptr;
  int threads = 1;
  bool split = false;
  bool reference = false;  // tarsk.h's specified reconstruction
};

Options parse_options(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--api" && i + 1 < argc) {
      const std::string api = argv[++i];
      if (api != "tarsk" && api != "dv") usage(argv[0]);
      o.classic = api == "dv";
    } else if (arg == "--quality" && i + 1 < argc) {
      char *end = nullptr;
      const long q = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || q < 0 || q > 7) usage(argv[0]);
      o.quality = static_cast<unsigned>(q);
    } else if (arg == "--threads" && i + 1 < argc) {
      char *end = nullptr;
      const long t = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || t < 1 || t > 64) usage(argv[0]);
      o.threads = static_cast<int>(t);
    } else if (arg == "--reference") {
      o.reference = true;
    } else if (arg == "--split") {
      o.split = true;
    } else if (arg == "--color" && i + 1 < argc) {
      o.color = argv[++i];
      if (o.color == "yuv") {
        o.space = e_dv_color_yuv;
        o.format = TARSK_PIXEL_YUY2;
      } else if (o.color == "rgb") {
        o.space = e_dv_color_rgb;
        o.format = TARSK_PIXEL_RGB24;
      } else if (o.color == "bgr0") {
        o.space = e_dv_color_bgr0;
        o.format = TARSK_PIXEL_BGR0;
      } else if (o.color == "native") {
        o.space = parse_only;
        o.format = TARSK_PIXEL_NATIVE;
      } else if (o.color == "i422") {
        o.space = parse_only;
        o.format = TARSK_PIXEL_I422;
      } else if (o.color == "none") {
        o.space = parse_only;
        o.format = TARSK_PIXEL_NATIVE;
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
  const bool classic_space = o.color == "yuv" || o.color == "rgb" || o.color == "bgr0" ||
                             o.color == "none";
  if (o.classic && (o.threads > 1 || !classic_space)) usage(argv[0]);
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

// The decoder settings of dv.h's quality flags.
tarsk_decoder_settings settings_of(const Options &o) {
  tarsk_decoder_settings s;
  tarsk_decoder_default_settings(&s);
  s.depth = (o.quality & DV_QUALITY_AC_2)   ? TARSK_DEPTH_FULL
            : (o.quality & DV_QUALITY_AC_1) ? TARSK_DEPTH_BLOCK
                                            : TARSK_DEPTH_DC;
  s.monochrome = (o.quality & DV_QUALITY_COLOR) == 0;
  s.conceal = 0;
  s.threads = o.threads;
  s.reconstruction = o.reference ? TARSK_RECONSTRUCTION_SPECIFIED : TARSK_RECONSTRUCTION_ACCURATE;
  return s;
}

// The next frame's length at `at`, or 0 (said) when there is none whole.
size_t frame_at(const MappedFile &file, size_t at, const char *path) {
  if (file.size() - at < header_bytes || (file.data()[at] & 0xe0) != 0) {
    std::fprintf(stderr, "%s: no DV frame at byte %zu\n", path, at);
    return 0;
  }
  const size_t size = (file.data()[at + 3] & 0x80) ? 144000 : 120000;
  if (file.size() - at < size) {
    std::fprintf(stderr, "%s: the frame at byte %zu is cut short\n", path, at);
    return 0;
  }
  return size;
}

// dv.h: one thread, one buffer.
int decode_classic(const Options &o, const MappedFile &file, long &frames) {
  dv_decoder_t *dv = dv_decoder_new(0, 0, 0);
  if (dv == nullptr) return 1;
  dv_set_error_log(dv, nullptr);
  std::vector<uint8_t> picture(static_cast<size_t>(max_width) * max_height * 4);
  uint8_t *pixels[1] = {picture.data()};
  int pitches[1] = {max_width * (o.space == e_dv_color_yuv ? 2 : o.space == e_dv_color_rgb ? 3 : 4)};
  int status = 0;
  for (size_t at = 0, size; at < file.size(); at += size, ++frames) {
    size = frame_at(file, at, o.path);
    if (size == 0 || dv_parse_header(dv, file.data() + at) < 0) {
      status = 1;
      break;
    }
    dv->quality = o.quality;
    dv_decode_full_frame(dv, file.data() + at, o.space, pixels, pitches);
  }
  dv_decoder_free(dv);
  return status;
}

// tarsk.h: pictures made once, a frame to a thread or each frame shared.
int decode_tarsk(const Options &o, const MappedFile &file, long &frames) {
  tarsk_decoder_settings s = settings_of(o);
  tarsk_decoder *d = nullptr;
  if (tarsk_decoder_open(&d, &s) != TARSK_OK) return 1;
  std::vector<tarsk_picture> pictures(static_cast<size_t>(o.threads), tarsk_picture{});
  const bool pipeline = o.threads > 1 && !o.split;
  int status = 0;
  auto receive = [&] {
    if (tarsk_decode_receive(d, nullptr, nullptr) != TARSK_OK) status = 1;
  };
  for (size_t at = 0, size; at < file.size(); at += size, ++frames) {
    size = frame_at(file, at, o.path);
    if (size == 0) {
      status = 1;
      break;
    }
    tarsk_picture &p = pictures[static_cast<size_t>(frames) % pictures.size()];
    const int height = size == 144000 ? 576 : 480;
    if (p.data[0] != nullptr && p.height != height) tarsk_picture_free(&p);
    if (p.data[0] == nullptr) {
      // The first frame of each picture's turn makes its planes (before the
      // clock matters: a few frames in a whole file).
      p.format = o.format;
      if (tarsk_decode_video(d, file.data() + at, size, &p, nullptr) != TARSK_OK) status = 1;
      continue;
    }
    if (o.bytes_per_pixel == 0) {
      if (tarsk_decode_check(d, file.data() + at, size, nullptr) != TARSK_OK) status = 1;
    } else if (pipeline) {
      while (tarsk_decode_send(d, file.data() + at, size, &p) == TARSK_E_AGAIN) receive();
    } else if (tarsk_decode_video(d, file.data() + at, size, &p, nullptr) != TARSK_OK) {
      status = 1;
    }
  }
  while (pipeline && tarsk_decode_receive(d, nullptr, nullptr) != TARSK_E_AGAIN) {
  }
  for (tarsk_picture &p : pictures) tarsk_picture_free(&p);
  tarsk_decoder_close(&d);
  return status;
}

int main(int argc, char **argv) {
  const Options o = parse_options(argc, argv);
  const MappedFile file(o.path);
  long frames = 0;
  const auto start = std::chrono::steady_clock::now();
  const int status = o.classic ? decode_classic(o, file, frames) : decode_tarsk(o, file, frames);
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  const double seconds = elapsed.count();
  std::fprintf(stderr, "%ld frames in %.3f s: %.1f frames/s (%s, quality %u, %s, %d thread%s)\n",
               frames, seconds, seconds > 0 ? static_cast<double>(frames) / seconds : 0.0,
               o.classic ? "dv.h" : "tarsk.h", o.quality, o.color.c_str(), o.threads,
               o.threads == 1 ? "" : "s");
  return status;
}
