// Video input filters: the registry and the built-in "ppm" (raw RGB
// pictures) and "pgm" (planar 4:2:0 YUV in a raw PGM container) filters.
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "classic/registry.h"
#include "common/colour.h"
#include "common/dif.h"
#include "common/log.h"
#include "encode/fill.h"

namespace {

using tarsk::chroma_stride;
using tarsk::luma_stride;

constexpr int max_lines = 576;
constexpr int rgb_line = 3 * 720;

// What the two built-in filters share: one picture at a time.
struct Picture {
  // The raw bytes: one line more than the largest picture, so that the
  // wrong-interlace shift can repeat the last line.
  std::vector<uint8_t> readbuf;
  const uint8_t *real_readbuf = nullptr;
  int force_dct = -1;
  int wrong_interlace = 0;
  int height = 0;
  // The ppm filter's picture, converted.
  std::vector<int16_t> img_y, img_cr, img_cb;
} picture;

// A PPM or PGM header, line by line with the limit of the classic readers.
class HeaderReader {
 public:
  explicit HeaderReader(FILE *f) : f_(f) {}
  bool next_line() { return std::fgets(line_, sizeof line_, f_) != nullptr; }
  const char *line() const { return line_; }

 private:
  FILE *f_;
  char line_[200];
};

enum class Kind { ppm, pgm };

// Reads a header and the picture data into readbuf. The picture's height in
// lines goes to *height_ (for pgm the luma lines: 2/3 of the file's).
int read_stream(FILE *f, Kind kind, int *isPAL, int *height_) {
  const bool pgm = kind == Kind::pgm;
  HeaderReader header(f);
  if (!header.next_line()) return -1;
  bool more;
  do more = header.next_line();
  while (more && (header.line()[0] == '#' || header.line()[0] == '\n'));
  int width = 0, height = 0;
  if (!more || std::sscanf(header.line(), "%d %d\n", &width, &height) != 2) {
    tarsk::log(tarsk::LogLevel::error, pgm ? "Bad PGM file!\n" : "Bad PPM file!\n");
    return -1;
  }
  if (pgm) height = (height / 3) * 2;
  if (width != 720 || (height != 576 && height != 480)) {
    if (pgm)
      tarsk::log(tarsk::LogLevel::error,
                 "Invalid picture size! (%d, %d)\nAllowed sizes are 720x864 for PAL and 720x720 "
                 "for NTSC\nProbably you should try ppms and ppmqscale...\n(Or write pgmqscale "
                 "and include it in tarsk ;-)\n",
                 width, height);
    else
      tarsk::log(tarsk::LogLevel::error,
                 "Invalid picture size! (%d, %d)\nAllowed sizes are 720x576 for PAL and 720x480 "
                 "for NTSC\nProbably you should try ppmqscale...\n",
                 width, height);
    return -1;
  }
  header.next_line();  // the maximum value, not examined
  // A picture cut short would leave the previous picture's bytes in place
  // and be encoded as if they were this one's: refuse it.
  const size_t want = pgm ? size_t{1080} * height : size_t{rgb_line} * height;
  const size_t got = std::fread(picture.readbuf.data(), 1, want, f);
  if (got != want) {
    tarsk::log(tarsk::LogLevel::error, "%s picture data cut short: %zu of %zu bytes\n",
               pgm ? "PGM" : "PPM", got, want);
    return -1;
  }
  *isPAL = height == 576;
  *height_ = height;
  if (picture.wrong_interlace) {
    // Reading one line further on moves every line up by one and repeats
    // the last: copy the last line (luma and chroma apart for pgm) after it.
    uint8_t *buf = picture.readbuf.data();
    if (pgm) {
      std::memcpy(buf + 720 * height, buf + 720 * (height - 1), 720);
      const size_t chroma = size_t{720} * height, chroma_lines = height / 2;
      std::memcpy(buf + chroma + 720 * chroma_lines, buf + chroma + 720 * (chroma_lines - 1), 720);
    } else {
      std::memcpy(buf + size_t{rgb_line} * height, buf + size_t{rgb_line} * (height - 1), rgb_line);
    }
  }
  return 0;
}

// Reads one picture from a file, or standard input for "-".
int read_file(const char *filename, Kind kind, int *isPAL) {
  const bool stdin_ = std::strcmp(filename, "-") == 0;
  FILE *f = stdin_ ? stdin : std::fopen(filename, "r");
  if (f == nullptr) {
    // Said, so that an encode loop that stops here says why.
    tarsk::log(tarsk::LogLevel::error, "Can't open picture file: %s\n", filename);
    return -1;
  }
  const int result = read_stream(f, kind, isPAL, &picture.height);
  if (!stdin_) std::fclose(f);
  return result;
}

int init(int wrong_interlace, int force_dct, Kind kind) {
  if (force_dct < -1 || force_dct > 1) return -1;
  picture.wrong_interlace = wrong_interlace;
  picture.force_dct = force_dct;
  picture.readbuf.assign(size_t{(max_lines + 1) * 720} * 3, 0);
  const size_t shift = wrong_interlace ? (kind == Kind::ppm ? rgb_line : 720) : 0;
  picture.real_readbuf = picture.readbuf.data() + shift;
  if (kind == Kind::ppm) {
    picture.img_y.assign(size_t{luma_stride} * max_lines, 0);
    picture.img_cr.assign(size_t{chroma_stride} * max_lines, 0);
    picture.img_cb.assign(size_t{chroma_stride} * max_lines, 0);
  }
  return 0;
}

void finish() { picture = Picture{}; }

int ppm_init(int wrong_interlace, int force_dct) {
  return init(wrong_interlace, force_dct, Kind::ppm);
}
int pgm_init(int wrong_interlace, int force_dct) {
  return init(wrong_interlace, force_dct, Kind::pgm);
}
void ppm_finish() { finish(); }
void pgm_finish() { finish(); }

int ppm_load(const char *filename, int *isPAL) {
  const int result = read_file(filename, Kind::ppm, isPAL);
  if (result == 0)
    dv_enc_rgb_to_ycb(const_cast<uint8_t *>(picture.real_readbuf), picture.height,
                      picture.img_y.data(), picture.img_cr.data(), picture.img_cb.data());
  return result;
}

int pgm_load(const char *filename, int *isPAL) { return read_file(filename, Kind::pgm, isPAL); }

// Skipping a picture of a file costs nothing; from a stream it must be read.
int skip(const char *filename, int *isPAL, Kind kind) {
  if (std::strcmp(filename, "-") != 0) return 0;
  return read_stream(stdin, kind, isPAL, &picture.height);
}
int ppm_skip(const char *filename, int *isPAL) { return skip(filename, isPAL, Kind::ppm); }
int pgm_skip(const char *filename, int *isPAL) { return skip(filename, isPAL, Kind::pgm); }

void ppm_fill_macroblock(dv_macroblock_t *mb, int isPAL) {
  const tarsk::Planes planes{picture.img_y.data(), picture.img_cr.data(), picture.img_cb.data(),
                             tarsk::dif::sampling_of(isPAL != 0, false)};
  tarsk::fill_macroblock(planes, mb, false, false);
  tarsk::choose_dct_modes(mb, picture.force_dct);
}

// The pgm picture: luma line n at byte 720 n, chroma line n (4:2:0: one for
// two luma lines) at 720 H + 720 n, its 360 Cb samples then its 360 Cr.
int pgm_luma(int line, int column) { return picture.real_readbuf[720 * line + column]; }
int pgm_chroma(int line, int column, bool cr) {
  return picture.real_readbuf[720 * (picture.height + line) + (cr ? 360 : 0) + column];
}

void pgm_fill_macroblock(dv_macroblock_t *mb, int isPAL) {
  const int x = mb->x, y = mb->y;
  const bool square = isPAL || x >= 704;
  for (int b = 0; b < 4; ++b) {
    const int bx = square ? x + 8 * (b % 2) : x + 8 * b;
    const int by = square ? y + 8 * (b / 2) : y;
    for (int c = 0; c < 8; ++c)
      for (int l = 0; l < 8; ++l) mb->b[b].coeffs[8 * c + l] = tarsk::encoder_sample(pgm_luma(by + l, bx + c));
  }
  for (int n = 0; n < 2; ++n) {
    const bool cr = n == 0;
    dv_coeff_t *bl = mb->b[4 + n].coeffs;
    if (isPAL) {  // 4:2:0 as it stands
      for (int c = 0; c < 8; ++c)
        for (int l = 0; l < 8; ++l) bl[8 * c + l] = tarsk::encoder_sample(pgm_chroma(y / 2 + l, x / 2 + c, cr));
      continue;
    }
    // 4:1:1: two columns summed, each chroma line serving two block lines;
    // the right-most 16x16 macroblocks take columns 0..3 from their upper
    // eight lines and 4..7 from their lower eight.
    const int halves = x >= 704 ? 2 : 1;
    const int columns = 8 / halves;
    for (int half = 0; half < halves; ++half)
      for (int c = 0; c < columns; ++c)
        for (int t = 0; t < 4; ++t) {
          const int line = y / 2 + 4 * half + t, column = x / 2 + 2 * c;
          const auto v = static_cast<dv_coeff_t>(pgm_chroma(line, column, cr) +
                                                 pgm_chroma(line, column + 1, cr) - 256);
          bl[8 * (columns * half + c) + 2 * t] = bl[8 * (columns * half + c) + 2 * t + 1] = v;
        }
  }
  tarsk::choose_dct_modes(mb, picture.force_dct);
}

tarsk::Registry<dv_enc_input_filter_t> filters{
    dv_enc_input_filter_t{ppm_init, ppm_finish, ppm_load, ppm_skip, ppm_fill_macroblock, "ppm"},
    dv_enc_input_filter_t{pgm_init, pgm_finish, pgm_load, pgm_skip, pgm_fill_macroblock, "pgm"}};

}  // namespace

extern "C" {

int dv_enc_register_input_filter(dv_enc_input_filter_t filter) {
  const bool complete =
      filter.init && filter.finish && filter.load && filter.skip && filter.fill_macroblock;
  return filters.add(filter, complete, "Video input");
}

int dv_enc_get_input_filters(dv_enc_input_filter_t **filters_, int *count) {
  return filters.get(filters_, count);
}

}  // extern "C"
