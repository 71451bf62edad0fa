#include "input.h"

#include <png.h>

// jpeglib.h wants FILE and size_t declared before it.
// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "output.h"

namespace tarsk::cli {

namespace {

// A byte stream read front to back: a file, or standard input for "-".
class ByteStream {
 public:
  ByteStream() = default;
  ~ByteStream() {
    if (file_ != nullptr && file_ != stdin) std::fclose(file_);
  }
  ByteStream(const ByteStream &) = delete;
  ByteStream &operator=(const ByteStream &) = delete;

  // Opens the stream; on failure returns the message.
  std::optional<std::string> open(const std::string &path) {
    name_ = path == "-" ? "standard input" : path;
    file_ = path == "-" ? stdin : std::fopen(path.c_str(), "rb");
    if (file_ != nullptr) return std::nullopt;
    return "cannot open " + path + ": " + std::strerror(errno);
  }
  const std::string &name() const { return name_; }

  // Reads up to `size` bytes; fewer only at the end or on an error.
  size_t read(uint8_t *data, size_t size) { return std::fread(data, 1, size, file_); }
  int get() { return std::fgetc(file_); }
  bool failed() const { return std::ferror(file_) != 0; }
  std::string read_error() const { return name_ + ": cannot read: " + std::strerror(errno); }

 private:
  FILE *file_ = nullptr;
  std::string name_;
};

// Whether a numbered picture is there; not when its name cannot even be
// looked up (too long, a loop of links), which the caller tells as missing.
bool picture_exists(const std::string &name) {
  std::error_code error;
  return std::filesystem::exists(name, error);
}

// A header line of at most `limit` bytes, without its newline. `ended`
// is set when the stream ends before any byte.
enum class LineEnd { newline, stream_end, too_long };

LineEnd read_line(ByteStream &in, std::string &line, size_t limit) {
  line.clear();
  for (;;) {
    const int c = in.get();
    if (c == EOF) return LineEnd::stream_end;
    if (c == '\n') return LineEnd::newline;
    if (line.size() == limit) return LineEnd::too_long;
    line += static_cast<char>(c);
  }
}

std::vector<std::string> split_words(const std::string &line) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < line.size()) {
    const size_t end = std::min(line.find(' ', at), line.size());
    if (end > at) words.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

std::optional<int> positive_number(const std::string &text) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int n = std::stoi(text);
  return n > 0 ? std::optional<int>(n) : std::nullopt;
}

// "N:D" with N and D from 0 to 999999999.
std::optional<Ratio> ratio(const std::string &text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const std::string a = text.substr(0, colon), b = text.substr(colon + 1);
  auto number = [](const std::string &t) -> std::optional<int> {
    if (t == "0") return 0;
    return positive_number(t);
  };
  const auto num = number(a), den = number(b);
  if (!num || !den) return std::nullopt;
  return Ratio{*num, *den};
}

std::string frame_place(const std::string &name, uint64_t frame) {
  return name + ": frame " + std::to_string(frame);
}

std::string size_text(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

// Checks that a rate N:D is the system's own.
std::optional<std::string> rate_problem(const std::string &name, tarsk_system system,
                                        Ratio rate) {
  const Rate own = frame_rate(system);
  if (rate.den > 0 &&
      static_cast<int64_t>(rate.num) * own.den == static_cast<int64_t>(own.num) * rate.den)
    return std::nullopt;
  const bool pal = system == TARSK_SYSTEM_625_50;
  return name + ": pictures at " + std::to_string(rate.num) + ":" + std::to_string(rate.den) +
         " frames a second; " +
         (pal ? "625/50 DV (720x576) has 25" : "525/60 DV (720x480) has 30000:1001") +
         ": convert the rate, e.g. with ffmpeg's -r " + (pal ? "25" : "30000/1001");
}

// ---------------------------------------------------------------------------
// YUV4MPEG2

constexpr size_t y4m_line_limit = 4096;

// The colour space of a "C" parameter, or why it is not one DV can take.
Result<std::pair<Sampling, bool>> y4m_colour_space(const std::string &name, const std::string &c) {
  static const std::pair<const char *, Sampling> known[] = {
      {"420jpeg", Sampling::s420}, {"420paldv", Sampling::s420}, {"420mpeg2", Sampling::s420},
      {"420", Sampling::s420},     {"411", Sampling::s411},      {"422", Sampling::s422},
      {"444", Sampling::s444},     {"mono", Sampling::s420}};
  for (const auto &[text, sampling] : known)
    if (c == text) return std::pair{sampling, c == "mono"};
  // Deeper samples come as 420p10, 422p12, 444p16, mono16, ...; an alpha
  // plane as 444alpha.
  for (const char *base : {"420", "422", "444", "mono"}) {
    const std::string b = base;
    if (c.rfind(b, 0) != 0) continue;
    const std::string rest = c.substr(b.size());
    const std::string digits = rest.empty() || rest[0] != 'p' ? rest : rest.substr(1);
    const std::string eight_bit = b == "mono" ? "gray" : "yuv" + b + "p";
    if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos)
      return Failure{name + ": colour space C" + c + " has " + digits +
                     "-bit samples; DV pictures have 8: convert them, e.g. with ffmpeg's "
                     "-pix_fmt " +
                     eight_bit};
    if (rest == "alpha")
      return Failure{name + ": colour space C" + c +
                     " carries an alpha plane, which DV cannot: convert the pictures, e.g. with "
                     "ffmpeg's -pix_fmt yuv444p"};
  }
  return Failure{name + ": unknown colour space C" + c +
                 "; DV takes 8-bit 4:2:0, 4:1:1, 4:2:2, 4:4:4 or mono pictures"};
}

class Y4mInput : public PictureInput {
 public:
  std::optional<std::string> open(const std::string &path);
  Result<std::optional<Picture>> next() override;

 private:
  std::optional<std::string> parse_header(const std::string &line);
  std::optional<std::string> parse_frame_header(const std::string &line, Picture &picture);
  bool read_plane(std::vector<uint8_t> &plane, size_t size, size_t &got);

  ByteStream in_;
  bool mono_ = false;
  bool field_chroma_ = true;  // 4:2:0 chroma per field (C420paldv)
  char interlace_ = '?';  // p, t, b, m, or ? when the stream does not say
};

std::optional<std::string> Y4mInput::open(const std::string &path) {
  if (auto e = in_.open(path)) return e;
  std::string line;
  const LineEnd end = read_line(in_, line, y4m_line_limit);
  if (in_.failed()) return in_.read_error();
  if (line.rfind("YUV4MPEG2 ", 0) != 0 && line != "YUV4MPEG2")
    return in_.name() + ": not a YUV4MPEG2 stream (it does not start with \"YUV4MPEG2 \")";
  if (end == LineEnd::too_long)
    return in_.name() + ": the YUV4MPEG2 header is longer than " + std::to_string(y4m_line_limit) +
           " bytes";
  if (end == LineEnd::stream_end) return in_.name() + ": the YUV4MPEG2 header has no end";
  return parse_header(line);
}

std::optional<std::string> Y4mInput::parse_header(const std::string &line) {
  const std::string &name = in_.name();
  std::optional<Ratio> rate;
  std::string colour = "420jpeg";  // what a stream without C has
  const auto words = split_words(line);
  for (size_t i = 1; i < words.size(); ++i) {
    const char tag = words[i][0];
    const std::string value = words[i].substr(1);
    auto bad = [&](const char *what) {
      return name + ": the YUV4MPEG2 header's " + tag + value + " is not " + what;
    };
    switch (tag) {
      case 'W':
      case 'H': {
        const auto n = positive_number(value);
        if (!n) return bad("a size");
        (tag == 'W' ? format_.width : format_.height) = *n;
        break;
      }
      case 'F':
        rate = ratio(value);
        if (!rate || rate->num == 0 || rate->den == 0) return bad("a frame rate");
        break;
      case 'A': {
        const auto aspect = ratio(value);
        if (!aspect) return bad("a pixel aspect ratio");
        format_.pixel_aspect = *aspect;
        break;
      }
      case 'I':
        if (value.size() != 1 || std::string("ptbm?").find(value[0]) == std::string::npos)
          return bad("an interlacing mode");
        interlace_ = value[0];
        format_.progressive = interlace_ == 'p';
        break;
      case 'C':
        colour = value;
        break;
      case 'X':  // XCOLORRANGE=FULL: samples over the whole byte
        if (value == "COLORRANGE=FULL") format_.full_range = true;
        if (value == "COLORRANGE=LIMITED") format_.full_range = false;
        break;
      default:  // tags to come carry nothing a picture needs
        break;
    }
  }
  if (format_.width == 0 || format_.height == 0)
    return name + ": the YUV4MPEG2 header gives no picture size (W and H)";
  if (!rate) return name + ": the YUV4MPEG2 header gives no frame rate (F)";
  auto space = y4m_colour_space(name, colour);
  if (!space) return space.error().message;
  format_.sampling = space->first;
  mono_ = space->second;
  field_chroma_ = format_.sampling != Sampling::s420 || colour == "420paldv";
  auto system = system_of_size(name, format_.width, format_.height);
  if (!system) return system.error().message;
  format_.system = *system;
  if (auto problem = rate_problem(name, *system, *rate)) return problem;
  format_.rate = frame_rate(*system);
  return std::nullopt;
}

// A FRAME header may carry parameters; only a mixed stream's per-frame
// interlacing ("Ixyz", x being t or T, b or B, or 1, 2, 3 for progressive)
// matters here.
std::optional<std::string> Y4mInput::parse_frame_header(const std::string &line, Picture &picture) {
  if (line.rfind("FRAME", 0) != 0 || (line.size() > 5 && line[5] != ' '))
    return frame_place(in_.name(), frame_) + ": no FRAME header where the picture should start";
  char mode = interlace_;
  if (interlace_ == 'm') {
    mode = 'b';
    for (const auto &word : split_words(line.substr(5)))
      if (word.size() >= 2 && word[0] == 'I')
        mode = word[1] == 't' || word[1] == 'T'   ? 't'
               : word[1] == 'b' || word[1] == 'B' ? 'b'
                                                  : 'p';
  }
  // A stream that does not say is taken to be as DV is: bottom field first.
  picture.interlaced = mode != 'p';
  picture.top_field_first = mode == 't';
  return std::nullopt;
}

bool Y4mInput::read_plane(std::vector<uint8_t> &plane, size_t size, size_t &got) {
  plane.resize(size);
  const size_t n = in_.read(plane.data(), size);
  got += n;
  return n == size;
}

Result<std::optional<Picture>> Y4mInput::next() {
  std::string line;
  const LineEnd end = read_line(in_, line, y4m_line_limit);
  if (in_.failed()) return Failure{in_.read_error()};
  if (end == LineEnd::stream_end && line.empty()) return std::optional<Picture>();
  if (end == LineEnd::too_long)
    return Failure{frame_place(in_.name(), frame_) + ": its FRAME header is longer than " +
                   std::to_string(y4m_line_limit) + " bytes"};
  if (end == LineEnd::stream_end)
    return Failure{frame_place(in_.name(), frame_) + ": the input ends inside its FRAME header"};

  Picture picture;
  if (auto e = parse_frame_header(line, picture)) return Failure{*e};
  picture.width = format_.width;
  picture.height = format_.height;
  picture.sampling = format_.sampling;
  picture.field_chroma = field_chroma_;
  const size_t luma = static_cast<size_t>(format_.width) * static_cast<size_t>(format_.height);
  const size_t chroma =
      mono_ ? 0
            : static_cast<size_t>(chroma_width(format_.sampling, format_.width)) *
                  static_cast<size_t>(chroma_height(format_.sampling, format_.height));
  size_t got = 0;
  const bool whole = read_plane(picture.y, luma, got) && read_plane(picture.cb, chroma, got) &&
                     read_plane(picture.cr, chroma, got);
  if (in_.failed()) return Failure{in_.read_error()};
  if (!whole)
    return Failure{frame_place(in_.name(), frame_) + ": the input ends inside the picture (" +
                   std::to_string(got) + " of " + std::to_string(luma + 2 * chroma) + " bytes)"};
  if (format_.full_range) full_to_studio_range(picture, !mono_);
  if (mono_) {  // grey: neutral chroma
    const Picture grey = blank_picture(format_.width, format_.height, format_.sampling);
    picture.cb = grey.cb;
    picture.cr = grey.cr;
  }
  ++frame_;
  return std::optional<Picture>(std::move(picture));
}

// ---------------------------------------------------------------------------
// Raw frames

class RawInput : public PictureInput {
 public:
  std::optional<std::string> open(const std::string &path, RawLayout layout, tarsk_system system) {
    layout_ = layout;
    format_.system = system;
    format_.width = 720;
    format_.height = system == TARSK_SYSTEM_625_50 ? 576 : 480;
    format_.rate = frame_rate(system);
    format_.sampling = layout == RawLayout::yuy2 ? Sampling::s422 : Sampling::rgb;
    return in_.open(path);
  }
  Result<std::optional<Picture>> next() override;

 private:
  ByteStream in_;
  RawLayout layout_ = RawLayout::yuy2;
  std::vector<uint8_t> bytes_;
};

Result<std::optional<Picture>> RawInput::next() {
  const size_t pixels = static_cast<size_t>(format_.width) * static_cast<size_t>(format_.height);
  bytes_.resize(pixels * (layout_ == RawLayout::yuy2 ? 2 : 3));
  const size_t got = in_.read(bytes_.data(), bytes_.size());
  if (in_.failed()) return Failure{in_.read_error()};
  if (got == 0) return std::optional<Picture>();
  if (got != bytes_.size())
    return Failure{frame_place(in_.name(), frame_) + ": the input ends inside the picture (" +
                   std::to_string(got) + " of " + std::to_string(bytes_.size()) + " bytes)"};
  Picture picture = blank_picture(format_.width, format_.height, format_.sampling);
  if (layout_ == RawLayout::rgb) {
    picture.rgb = bytes_;
  } else {
    for (size_t p = 0; p < pixels; ++p) picture.y[p] = bytes_[2 * p];
    for (size_t pair = 0; pair < pixels / 2; ++pair) {
      picture.cb[pair] = bytes_[4 * pair + 1];
      picture.cr[pair] = bytes_[4 * pair + 3];
    }
  }
  ++frame_;
  return std::optional<Picture>(std::move(picture));
}

// ---------------------------------------------------------------------------
// PNG

// libpng reports errors through a function that must not return: it keeps
// the message here and jumps back to the reader's setjmp.
struct PngErrors {
  std::string message;
};

[[noreturn]] void on_png_error(png_structp png, png_const_charp message) {
  static_cast<PngErrors *>(png_get_error_ptr(png))->message = message;
  png_longjmp(png, 1);
}

void on_png_warning(png_structp, png_const_charp) {}  // a picture that reads is good enough

// Decodes the PNG after its signature into `out`. No object with a
// destructor lives in this frame past setjmp: longjmp skips none.
// The caller keeps `errors`: what libpng writes there before jumping back
// must not be a local of the frame it jumps to.
bool decode_png(FILE *file, const std::string &name, Picture &out, PngErrors &errors,
                std::string &error) {
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, &errors, on_png_error, on_png_warning);
  png_infop info = png == nullptr ? nullptr : png_create_info_struct(png);
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    error = name + ": out of memory";
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    error = name + ": damaged PNG: " + errors.message;
    return false;
  }
  png_init_io(png, file);
  png_set_sig_bytes(png, 8);
  png_read_info(png, info);
  const auto width = png_get_image_width(png, info), height = png_get_image_height(png, info);
  if (auto system = system_of_size(name, static_cast<int>(std::min(width, 100000u)),
                                   static_cast<int>(std::min(height, 100000u)));
      !system) {
    png_destroy_read_struct(&png, &info, nullptr);
    error = system.error().message;
    return false;
  }
  // Whatever the picture's colour type and depth, 8-bit R G B comes out.
  png_set_palette_to_rgb(png);
  png_set_expand_gray_1_2_4_to_8(png);
  png_set_gray_to_rgb(png);
  png_set_strip_alpha(png);
  png_set_scale_16(png);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  if (png_get_rowbytes(png, info) != static_cast<size_t>(width) * 3)
    png_error(png, "unexpected row size after conversion to RGB");

  out = Picture{};
  out.width = static_cast<int>(width);
  out.height = static_cast<int>(height);
  out.sampling = Sampling::rgb;
  out.rgb.assign(static_cast<size_t>(width) * height * 3, 0);
  for (int pass = 0; pass < passes; ++pass)
    for (png_uint_32 line = 0; line < height; ++line)
      png_read_row(png, out.rgb.data() + static_cast<size_t>(line) * width * 3, nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}

// ---------------------------------------------------------------------------
// JPEG

// libjpeg reports a fatal error through error_exit, which must not return:
// the message is kept here and the reader's setjmp taken back. Warnings
// (data cut short, a bad code) would let it make up the rest of the
// picture; the first is kept, and the picture refused.
struct JpegErrors {
  jpeg_error_mgr manager;  // first: libjpeg hands back a pointer to it
  jmp_buf back;
  char message[JMSG_LENGTH_MAX];
  char warning[JMSG_LENGTH_MAX];
  jpeg_decompress_struct info;
};

[[noreturn]] void on_jpeg_error(j_common_ptr info) {
  auto *errors = reinterpret_cast<JpegErrors *>(info->err);
  info->err->format_message(info, errors->message);
  std::longjmp(errors->back, 1);
}

void on_jpeg_message(j_common_ptr info, int level) {
  if (level >= 0) return;  // trace messages
  auto *errors = reinterpret_cast<JpegErrors *>(info->err);
  if (info->err->num_warnings++ == 0) info->err->format_message(info, errors->warning);
}

// Decodes a JPEG into `out`. As for PNG, nothing with a destructor lives in
// this frame past setjmp, and what libjpeg writes is the caller's.
bool decode_jpeg(FILE *file, const std::string &name, Picture &out, JpegErrors &e,
                 std::string &error) {
  jpeg_decompress_struct &info = e.info;
  info.err = jpeg_std_error(&e.manager);
  e.manager.error_exit = on_jpeg_error;
  e.manager.emit_message = on_jpeg_message;
  e.message[0] = e.warning[0] = '\0';
  if (setjmp(e.back)) {
    jpeg_destroy_decompress(&info);
    error = name + ": damaged JPEG: " + e.message;
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  if (auto system = system_of_size(name, static_cast<int>(std::min(info.image_width, 100000u)),
                                   static_cast<int>(std::min(info.image_height, 100000u)));
      !system) {
    jpeg_destroy_decompress(&info);
    error = system.error().message;
    return false;
  }
  // Y'CbCr stays Y'CbCr (libjpeg brings its chroma to every pixel); grey
  // and RGB come as they are.
  switch (info.jpeg_color_space) {
    case JCS_YCbCr:
    case JCS_GRAYSCALE:
    case JCS_RGB:
      info.out_color_space = info.jpeg_color_space;
      break;
    default:
      jpeg_destroy_decompress(&info);
      error = name +
              ": a CMYK JPEG; DV pictures are Y'CbCr: convert it, e.g. with ffmpeg's "
              "-pix_fmt yuvj444p";
      return false;
  }
  jpeg_start_decompress(&info);
  const size_t width = info.output_width, height = info.output_height;
  const size_t channels = static_cast<size_t>(info.output_components);
  out = blank_picture(static_cast<int>(width), static_cast<int>(height),
                      info.out_color_space == JCS_RGB ? Sampling::rgb : Sampling::s444);
  std::vector<uint8_t> &samples = channels == 3 ? out.rgb : out.y;  // interleaved
  samples.resize(width * height * channels);
  while (info.output_scanline < height) {
    JSAMPROW row = samples.data() + info.output_scanline * width * channels;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  if (e.manager.num_warnings > 0) {
    error = name + ": damaged JPEG: " + e.warning;
    return false;
  }
  if (out.sampling == Sampling::s444) {
    if (channels == 3) {  // Y Cb Cr interleaved, held in rgb for now
      for (size_t p = 0; p < width * height; ++p) {
        out.y[p] = out.rgb[3 * p];
        out.cb[p] = out.rgb[3 * p + 1];
        out.cr[p] = out.rgb[3 * p + 2];
      }
      out.rgb = {};
    }
    full_to_studio_range(out, channels == 3);
  }
  return true;
}

// Numbered pictures, each read whole by `read_` (PNG or JPEG).
class PictureSequenceInput : public PictureInput {
 public:
  using Reader = Result<Picture> (*)(const std::string &);
  std::optional<std::string> open(const std::string &pattern, Reader read, const char *example);
  Result<std::optional<Picture>> next() override;

 private:
  NamePattern pattern_ = *NamePattern::parse("%d");
  Reader read_ = nullptr;
  uint64_t first_number_ = 0;
  std::optional<Picture> first_;  // read at open, to learn the format
};

std::optional<std::string> PictureSequenceInput::open(const std::string &pattern, Reader read,
                                                      const char *example) {
  const auto parsed = NamePattern::parse(pattern);
  if (!parsed) return pattern + ": not a name with a frame number in it, such as " + example;
  pattern_ = *parsed;
  read_ = read;
  first_number_ = picture_exists(pattern_.format(0)) ? 0 : 1;
  const std::string first_name = pattern_.format(first_number_);
  if (!picture_exists(first_name))
    return pattern + ": no picture " + pattern_.format(0) + " or " + first_name;
  auto picture = read_(first_name);
  if (!picture) return picture.error().message;
  format_.width = picture->width;
  format_.height = picture->height;
  format_.system = *system_of_size(first_name, picture->width, picture->height);
  format_.rate = frame_rate(format_.system);
  format_.sampling = picture->sampling;
  first_ = std::move(*picture);
  return std::nullopt;
}

Result<std::optional<Picture>> PictureSequenceInput::next() {
  if (first_) {
    ++frame_;
    return std::optional<Picture>(std::exchange(first_, std::nullopt));
  }
  const std::string name = pattern_.format(first_number_ + frame_);
  if (!picture_exists(name)) return std::optional<Picture>();
  auto picture = read_(name);
  if (!picture) return picture.error();
  if (picture->sampling != format_.sampling)  // an RGB JPEG among Y'CbCr ones, or the reverse
    return Failure{name + ": " + sampling_label(picture->sampling) + " samples, not " +
                   sampling_label(format_.sampling) + " as the pictures before it"};
  if (picture->width != format_.width || picture->height != format_.height)
    return Failure{name + ": " + size_text(picture->width, picture->height) + ", not " +
                   size_text(format_.width, format_.height) + " as the pictures before it"};
  ++frame_;
  return std::optional<Picture>(std::move(*picture));
}

// One picture, read at open, for every frame: a title card held still.
class StillInput : public PictureInput {
 public:
  std::optional<std::string> open(const std::string &path, StillKind kind, double seconds) {
    auto picture = kind == StillKind::png ? read_png(path) : read_jpeg(path);
    if (!picture) return picture.error().message;
    format_.width = picture->width;
    format_.height = picture->height;
    format_.system = *system_of_size(path, picture->width, picture->height);
    format_.rate = frame_rate(format_.system);
    format_.sampling = picture->sampling;
    // A picture taken whole at one moment: both fields alike.
    picture->interlaced = false;
    format_.progressive = true;
    picture_ = std::move(*picture);
    frames_ = std::max<uint64_t>(
        1, static_cast<uint64_t>(std::llround(seconds * format_.rate.num / format_.rate.den)));
    return std::nullopt;
  }
  Result<std::optional<Picture>> next() override {
    if (frame_ >= frames_) return std::optional<Picture>();
    ++frame_;
    return std::optional<Picture>(picture_);
  }
  Result<bool> skip() override {
    if (frame_ >= frames_) return false;
    ++frame_;
    return true;
  }

 private:
  Picture picture_;
  uint64_t frames_ = 0;
};

// ---------------------------------------------------------------------------
// PPM and PGM

// One binary PNM picture read whole: its size and its samples.
struct Pnm {
  int width = 0, height = 0;
  std::vector<uint8_t> samples;
};

// A header number: whitespace and comments (from '#' to the line's end)
// before it; the character after it is left in the stream. Nothing when
// there is no number or it has more than six digits.
std::optional<int> pnm_number(FILE *file) {
  int c = std::fgetc(file);
  for (;;) {
    if (c == '#')
      while (c != '\n' && c != EOF) c = std::fgetc(file);
    else if (std::isspace(c))
      c = std::fgetc(file);
    else
      break;
  }
  int n = 0, digits = 0;
  for (; c >= '0' && c <= '9'; c = std::fgetc(file)) {
    if (++digits > 6) return std::nullopt;
    n = 10 * n + (c - '0');
  }
  if (digits == 0) return std::nullopt;
  std::ungetc(c, file);
  return n;
}

// A binary PNM picture of `magic` ("P6", "P5") with 8-bit samples
// (maximum 255) and `channels` samples a pixel; nothing for anything else,
// or for a picture cut short.
std::optional<Pnm> read_pnm(const std::string &path, const char *magic, int channels) {
  FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return std::nullopt;
  std::optional<Pnm> result;
  Pnm pnm;
  char head[2];
  if (std::fread(head, 1, 2, file) == 2 && head[0] == magic[0] && head[1] == magic[1]) {
    const auto width = pnm_number(file), height = pnm_number(file), most = pnm_number(file);
    // One whitespace character ends the header.
    if (width && height && most == 255 && *width > 0 && *height > 0 &&
        std::isspace(std::fgetc(file))) {
      pnm.width = *width;
      pnm.height = *height;
      pnm.samples.resize(static_cast<size_t>(*width) * static_cast<size_t>(*height) *
                         static_cast<size_t>(channels));
      if (std::fread(pnm.samples.data(), 1, pnm.samples.size(), file) == pnm.samples.size())
        result = std::move(pnm);
    }
  }
  std::fclose(file);
  return result;
}

// Moves a plane's lines of `line` bytes up by one, the last one repeated.
void move_up_a_line(std::vector<uint8_t> &plane, size_t line) {
  if (plane.size() >= 2 * line) std::memmove(plane.data(), plane.data() + line, plane.size() - line);
}

// The picture of a PPM (8-bit R G B) or of a PGM in this library's planar
// 4:2:0 layout; nothing when the file is not one of a DV picture's size.
std::optional<Picture> read_pnm_picture(const std::string &path, PnmKind kind,
                                        bool wrong_interlace) {
  constexpr int width = 720;
  Picture p;
  p.interlaced = true;  // as DV has it: bottom field first
  if (kind == PnmKind::ppm) {
    auto pnm = read_pnm(path, "P6", 3);
    if (!pnm || pnm->width != width || (pnm->height != 576 && pnm->height != 480))
      return std::nullopt;
    p.width = width;
    p.height = pnm->height;
    p.sampling = Sampling::rgb;
    p.rgb = std::move(pnm->samples);
    if (wrong_interlace) move_up_a_line(p.rgb, 3 * width);
    return p;
  }
  // The file's lines: the picture's luma lines, then one chroma line for
  // every two of them, its Cb half first.
  auto pnm = read_pnm(path, "P5", 1);
  if (!pnm || pnm->width != width || (pnm->height != 864 && pnm->height != 720))
    return std::nullopt;
  p.width = width;
  p.height = pnm->height / 3 * 2;
  p.sampling = Sampling::s420;
  const size_t luma = static_cast<size_t>(width) * static_cast<size_t>(p.height);
  const size_t half = width / 2, chroma_lines = static_cast<size_t>(p.height) / 2;
  p.y.assign(pnm->samples.begin(), pnm->samples.begin() + static_cast<ptrdiff_t>(luma));
  p.cb.resize(half * chroma_lines);
  p.cr.resize(half * chroma_lines);
  for (size_t line = 0; line < chroma_lines; ++line) {
    const uint8_t *from = pnm->samples.data() + luma + line * width;
    std::copy_n(from, half, p.cb.data() + line * half);
    std::copy_n(from + half, half, p.cr.data() + line * half);
  }
  if (wrong_interlace) {
    move_up_a_line(p.y, width);
    move_up_a_line(p.cb, half);
    move_up_a_line(p.cr, half);
  }
  return p;
}

class PnmSequenceInput : public PictureInput {
 public:
  std::optional<std::string> open(const std::string &pattern, PnmKind kind, bool wrong_interlace);
  Result<std::optional<Picture>> next() override;
  Result<bool> skip() override;

 private:
  Result<Picture> read(const std::string &name);

  NamePattern pattern_ = *NamePattern::parse("%d");
  PnmKind kind_ = PnmKind::ppm;
  bool wrong_interlace_ = false;
  uint64_t first_number_ = 0;
  std::optional<Picture> first_;  // read at open, to learn the system
};

std::optional<std::string> PnmSequenceInput::open(const std::string &pattern, PnmKind kind,
                                                  bool wrong_interlace) {
  const auto parsed = NamePattern::parse(pattern);
  const char *example = kind == PnmKind::ppm ? "frame%04d.ppm" : "frame%04d.pgm";
  if (!parsed)
    return pattern + ": not a name with a frame number in it, such as " + example;
  pattern_ = *parsed;
  kind_ = kind;
  wrong_interlace_ = wrong_interlace;
  first_number_ = picture_exists(pattern_.format(0)) ? 0 : 1;
  const std::string first_name = pattern_.format(first_number_);
  if (!picture_exists(first_name))
    return pattern + ": no picture " + pattern_.format(0) + " or " + first_name;
  auto picture = read(first_name);
  if (!picture) return picture.error().message;
  format_.width = picture->width;
  format_.height = picture->height;
  format_.system = picture->height == 576 ? TARSK_SYSTEM_625_50 : TARSK_SYSTEM_525_60;
  format_.rate = frame_rate(format_.system);
  format_.sampling = picture->sampling;
  first_ = std::move(*picture);
  return std::nullopt;
}

Result<Picture> PnmSequenceInput::read(const std::string &name) {
  auto picture = read_pnm_picture(name, kind_, wrong_interlace_);
  if (!picture)
    return Failure{frame_place(name, frame_) + ": not a " + (kind_ == PnmKind::ppm ? "PPM" : "PGM") +
                   " picture of 720x576 or 720x480 that can be read whole"};
  if (frame_ > 0 && picture->height != format_.height)
    return Failure{frame_place(name, frame_) + ": not the size of the pictures before it"};
  return std::move(*picture);
}

Result<std::optional<Picture>> PnmSequenceInput::next() {
  if (first_) {
    ++frame_;
    return std::optional<Picture>(std::exchange(first_, std::nullopt));
  }
  const std::string name = pattern_.format(first_number_ + frame_);
  if (!picture_exists(name)) return std::optional<Picture>();
  auto picture = read(name);
  if (!picture) return picture.error();
  ++frame_;
  return std::optional<Picture>(std::move(*picture));
}

// A picture passed over is not read: that it is there is enough.
Result<bool> PnmSequenceInput::skip() {
  if (first_) {
    first_.reset();
  } else if (!picture_exists(pattern_.format(first_number_ + frame_))) {
    return false;
  }
  ++frame_;
  return true;
}

template <typename Input, typename... Args>
Result<std::unique_ptr<PictureInput>> opened(Args &&...args) {
  auto input = std::make_unique<Input>();
  if (auto e = input->open(std::forward<Args>(args)...)) return Failure{*e};
  return std::unique_ptr<PictureInput>(std::move(input));
}

}  // namespace

Result<bool> PictureInput::skip() {
  auto got = next();
  if (!got) return got.error();
  return got->has_value();
}

Result<tarsk_system> system_of_size(const std::string &name, int width, int height) {
  if (width == 720 && height == 576) return TARSK_SYSTEM_625_50;
  if (width == 720 && height == 480) return TARSK_SYSTEM_525_60;
  return Failure{name + ": pictures of " + size_text(width, height) +
                 "; DV takes 720x576 (625/50) or 720x480 (525/60): scale them, e.g. with "
                 "ffmpeg's -vf scale=720:576 (or scale=720:480)"};
}

Result<std::unique_ptr<PictureInput>> open_y4m(const std::string &path) {
  return opened<Y4mInput>(path);
}

Result<std::unique_ptr<PictureInput>> open_png_sequence(const std::string &pattern) {
  return opened<PictureSequenceInput>(pattern, read_png, "frame%04d.png");
}

Result<std::unique_ptr<PictureInput>> open_jpeg_sequence(const std::string &pattern) {
  return opened<PictureSequenceInput>(pattern, read_jpeg, "frame%04d.jpg");
}

Result<std::unique_ptr<PictureInput>> open_still(const std::string &path, StillKind kind,
                                                 double seconds) {
  return opened<StillInput>(path, kind, seconds);
}

std::optional<DisplayAspect> display_aspect(int width, int height, Ratio pixel) {
  if (pixel.num <= 0 || pixel.den <= 0 || width <= 0 || height <= 0) return std::nullopt;
  DisplayAspect a;
  a.shape = static_cast<double>(width) * pixel.num / (static_cast<double>(height) * pixel.den);
  const double off_narrow = std::abs(std::log(a.shape * 3 / 4));
  const double off_wide = std::abs(std::log(a.shape * 9 / 16));
  a.wide = off_wide < off_narrow;
  a.near = std::min(off_narrow, off_wide) <= std::log(1.1);
  return a;
}

Result<std::unique_ptr<PictureInput>> open_pnm_sequence(const std::string &pattern, PnmKind kind,
                                                        bool wrong_interlace) {
  return opened<PnmSequenceInput>(pattern, kind, wrong_interlace);
}

Result<std::unique_ptr<PictureInput>> open_raw(const std::string &path, RawLayout layout,
                                               tarsk_system system) {
  return opened<RawInput>(path, layout, system);
}

Result<Picture> read_png(const std::string &path) {
  FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return Failure{"cannot open " + path + ": " + std::strerror(errno)};
  uint8_t signature[8];
  const bool is_png = std::fread(signature, 1, 8, file) == 8 && png_sig_cmp(signature, 0, 8) == 0;
  Picture picture;
  PngErrors errors;
  std::string error;
  const bool decoded = is_png && decode_png(file, path, picture, errors, error);
  std::fclose(file);
  if (!is_png) return Failure{path + ": not a PNG picture"};
  if (!decoded) return Failure{error};
  return picture;
}

Result<Picture> read_jpeg(const std::string &path) {
  FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return Failure{"cannot open " + path + ": " + std::strerror(errno)};
  // JPEG starts with a start-of-image marker, FF D8, and the next marker's FF.
  uint8_t start[3];
  const bool is_jpeg = std::fread(start, 1, 3, file) == 3 && start[0] == 0xFF && start[1] == 0xD8 &&
                       start[2] == 0xFF;
  Picture picture;
  auto errors = std::make_unique<JpegErrors>();
  std::string error;
  const bool decoded = is_jpeg && std::fseek(file, 0, SEEK_SET) == 0 &&
                       decode_jpeg(file, path, picture, *errors, error);
  std::fclose(file);
  if (!is_jpeg) return Failure{path + ": not a JPEG picture"};
  if (!decoded)
    return Failure{error.empty() ? path + ": cannot read: " + std::strerror(errno) : error};
  return picture;
}

}  // namespace tarsk::cli
