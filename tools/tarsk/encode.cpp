// tarsk encode: pictures (Y4M, numbered PNG, JPEG, PPM or PGM pictures, a
// single PNG or JPEG picture held still, raw YUY2 or RGB, or the built-in
// test pattern) and sound (a WAV, AIFF or FLAC
// file, the test tone, or silence) into a DV file. Every frame carries its
// picture, its share of the sound, a time code counting on from --timecode
// and the recording date and time; the file appears under its name only
// once every frame is in it.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <tarsk/dv.h>  // the encoder's statistics
#include <tarsk/tarsk.hpp>
#include <thread>
#include <vector>

#include "audio_in.h"
#include "cli.h"
#include "input.h"
#include "container.h"
#include "output.h"
#include "picture.h"
#include "progress.h"
#include "test_source.h"
#include "transfer.h"

namespace tarsk::cli {

namespace {

enum class Kind { y4m, png, jpeg, ppm, pgm, yuy2, rgb, pattern };

// The library's defaults, on a thread a core (64 at most): the frames are
// the same whatever the number.
EncoderSettings default_settings() {
  EncoderSettings s;
  s.threads = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 64);
  return s;
}

struct Options {
  std::string input, output;
  std::vector<std::string> audio;  // --audio, once a stereo pair
  int audio_bits = 16;
  DvForm form = DvForm::raw;
  Kind kind = Kind::y4m;
  std::optional<tarsk_system> system;  // from --system
  // --sampling: auto (4:1:1 in 625/50 for 4:1:1 pictures, else the
  // system's own), or a TARSK_ENCODE_SAMPLING_* value.
  int sampling = 0;
  Pattern pattern = Pattern::bars;
  bool still = false;              // one PNG or JPEG picture, not numbered ones
  std::optional<double> duration;  // seconds of test pattern or still [5]
  std::optional<bool> wide;        // --wide or --narrow; else the input's aspect
  uint64_t first = 0, end = UINT64_MAX;
  std::string range_text;
  EncoderSettings settings = default_settings();
  // --timecode as given, checked against the system once it is known.
  std::optional<tarsk_timecode> timecode;
  bool wrong_interlace = false;
  bool quiet = false;
  bool stats = false;
};

// ---------------------------------------------------------------------------
// The command line.

bool usage_error(const std::string &message) {
  error("encode: " + message);
  return false;
}

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::optional<Kind> kind_named(const std::string &name) {
  const std::string n = lower(name);
  if (n == "y4m") return Kind::y4m;
  if (n == "png") return Kind::png;
  if (n == "jpg" || n == "jpeg") return Kind::jpeg;
  if (n == "ppm") return Kind::ppm;
  if (n == "pgm") return Kind::pgm;
  if (n == "yuy2") return Kind::yuy2;
  if (n == "rgb") return Kind::rgb;
  return std::nullopt;
}

// "YYYY-MM-DD", "YYYY-MM-DD HH:MM:SS" or with a T between: local time, as
// the frames record it.
std::optional<std::time_t> parse_date(const std::string &text) {
  std::tm t{};
  char sep = ' ';
  int n = 0;
  const int fields = std::sscanf(text.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d%n", &t.tm_year, &t.tm_mon,
                                 &t.tm_mday, &sep, &t.tm_hour, &t.tm_min, &t.tm_sec, &n);
  const bool date_only = fields == 3 && text.size() == 10;
  if (!date_only &&
      (fields != 7 || (sep != ' ' && sep != 'T') || static_cast<size_t>(n) != text.size()))
    return std::nullopt;
  if (date_only) t.tm_hour = t.tm_min = t.tm_sec = 0;
  const std::tm asked = t;
  t.tm_year -= 1900;
  t.tm_mon -= 1;
  t.tm_isdst = -1;
  const std::time_t when = std::mktime(&t);
  // mktime moves out-of-range fields on (31 February to 2 March): refuse those.
  if (when == -1 || t.tm_year + 1900 != asked.tm_year || t.tm_mon + 1 != asked.tm_mon ||
      t.tm_mday != asked.tm_mday || t.tm_hour != asked.tm_hour || t.tm_min != asked.tm_min ||
      t.tm_sec != asked.tm_sec || asked.tm_year < 1970)
    return std::nullopt;
  return when;
}

// "HH:MM:SS:FF", or drop-frame time code with ';' or '.' before FF; nothing
// when the form is another or a field is out of its range (the frame
// number is checked against the system's rate later).
std::optional<tarsk_timecode> parse_timecode(const std::string &text) {
  int h, m, s, f, n = 0;
  char before_frames = 0;
  if (std::sscanf(text.c_str(), "%2d:%2d:%2d%c%2d%n", &h, &m, &s, &before_frames, &f, &n) != 5 ||
      static_cast<size_t>(n) != text.size() || text.size() != 11 ||
      std::strchr(":;.", before_frames) == nullptr)
    return std::nullopt;
  if (h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59 || f < 0) return std::nullopt;
  return tarsk_timecode{h, m, s, f, before_frames != ':'};
}

bool handle_option(int key, const std::string &value, Options &o, std::string &format) {
  auto one_of = [&](const char *name, std::initializer_list<const char *> values, int &out,
                    int base) {
    const auto i = word_value("encode", name, value, values);
    if (i) out = base + *i;
    return i.has_value();
  };
  switch (key) {
    case 'o':
      o.output = value;
      return true;
    case 'a':
      o.audio.push_back(value);
      return true;
    case 'b':
      if (!one_of("audio-bits", {"16", "12"}, o.audio_bits, 0)) return false;
      o.audio_bits = o.audio_bits == 0 ? 16 : 12;
      return true;
    case 'f':
      format = value;
      return kind_named(value) ? true
                               : usage_error("unknown input format '" + value +
                                             "'; the formats are y4m, png, jpeg, ppm, pgm, "
                                             "yuy2 and rgb");
    case 'S':
      if (lower(value) != "pal" && lower(value) != "ntsc")
        return usage_error("--system takes pal (625/50) or ntsc (525/60), not '" + value + "'");
      o.system = lower(value) == "pal" ? TARSK_SYSTEM_625_50 : TARSK_SYSTEM_525_60;
      return true;
    case 'T': {
      o.kind = Kind::pattern;
      if (value.empty()) return true;
      const auto p = pattern_named(value);
      if (!p)
        return usage_error("unknown test pattern '" + value +
                           "'; they are bars, ramp and zoneplate");
      o.pattern = *p;
      return true;
    }
    case 'D': {
      char *end = nullptr;
      const double d = std::strtod(value.c_str(), &end);
      if (value.empty() || *end != '\0' || !(d > 0) || d > 86400)
        return usage_error("--duration takes seconds (more than 0, at most 86400), not '" + value +
                           "'");
      o.duration = d;
      return true;
    }
    case 'n':
      o.range_text = value;
      return parse_frame_range(value, o.first, o.end)
                 ? true
                 : usage_error(
                       "--frames takes N, A:B (A up to B, B not included), A: or :B, "
                       "not '" +
                       value + "'");
    case 'p':
      return one_of("passes", {"1", "2", "3"}, o.settings.passes, 1);
    case 'q':
      return one_of("static-qno", {"0", "1", "2"}, o.settings.static_qno, 0);
    case 'd':
      return one_of("dct", {"auto", "88", "248"}, o.settings.force_dct, -1);
    case 'm':
      return one_of("sampling", {"auto", "411", "420"}, o.sampling, 0);
    case 'Q': {
      int best = 0;
      if (!one_of("quality", {"standard", "best"}, best, 0)) return false;
      o.settings.quality = best ? TARSK_QUALITY_BEST : TARSK_QUALITY_STANDARD;
      return true;
    }
    case 'w':
    case 'N':
      if (o.wide && *o.wide != (key == 'w'))
        return usage_error("--wide and --narrow cannot both be given");
      o.wide = key == 'w';
      return true;
    case 't':
      // The fields are checked now; the frames against the system later.
      o.timecode = parse_timecode(value);
      return o.timecode ? true
                        : usage_error("--timecode takes HH:MM:SS:FF, such as 10:00:00:00, or "
                                      "HH:MM:SS;FF for drop-frame time code, not '" +
                                      value + "'");
    case 'e': {
      const auto when = parse_date(value);
      if (!when)
        return usage_error(
            "--date takes YYYY-MM-DD or 'YYYY-MM-DD HH:MM:SS' (local time), "
            "not '" +
            value + "'");
      o.settings.has_date = 1;
      o.settings.date = *when;
      return true;
    }
    case 'i':
      o.wrong_interlace = true;
      return true;
    case 'z':
      o.quiet = true;
      return true;
    case 'x':
      o.stats = true;
      return true;
    case 'j': {
      const auto n = parse_threads(value);
      if (!n) return usage_error("--threads takes 1 to 64, not '" + value + "'");
      o.settings.threads = *n;
      return true;
    }
    default:
      return false;
  }
}

// What kind of pictures IN holds: --format, else its name.
bool choose_kind(const std::string &format, Options &o) {
  if (!format.empty()) {
    o.kind = *kind_named(format);
    return true;
  }
  if (o.input == "-") {
    o.kind = Kind::y4m;  // what a pipe from another program most likely carries
    return true;
  }
  const size_t dot = o.input.rfind('.');
  const auto by_name =
      dot == std::string::npos ? std::nullopt : kind_named(o.input.substr(dot + 1));
  if (!by_name)
    return usage_error("cannot tell the format from the name " + o.input +
                       "; give --format y4m, png, jpeg, ppm, pgm, yuy2 or rgb");
  o.kind = *by_name;
  return true;
}

// Frames of --duration (5 seconds when not given) at the system's rate, at
// least one.
uint64_t duration_frames(const Options &o, tarsk_system system) {
  const Rate rate = frame_rate(system);
  const auto frames = std::llround(o.duration.value_or(5) * rate.num / rate.den);
  return std::max<uint64_t>(static_cast<uint64_t>(frames), 1);
}

bool check_options(const std::vector<std::string> &args, const std::string &format, Options &o) {
  if (o.output.empty()) return usage_error("no output given: -o OUT.dv");
  const auto form = dv_form_of(o.output);
  if (!form)
    return usage_error("cannot tell the form from the name " + o.output +
                       "; give OUT.dv (raw DV), .avi, .mov or .mkv");
  o.form = *form;
  if (o.kind == Kind::pattern) {
    if (!args.empty()) return usage_error("--test-pattern makes the pictures: give no input");
    if (!format.empty()) return usage_error("--test-pattern makes the pictures: give no --format");
  } else {
    if (args.empty()) return usage_error("no input given (or --test-pattern)");
    if (args.size() > 1) return usage_error("one input at a time");
    o.input = args[0];
    if (!choose_kind(format, o)) return false;
    // A PNG or JPEG name without a frame number in it is one picture.
    o.still = (o.kind == Kind::png || o.kind == Kind::jpeg) && !NamePattern::parse(o.input);
  }
  if (o.duration && o.kind != Kind::pattern && !o.still)
    return usage_error("--duration is for --test-pattern and a still picture (one PNG or JPEG); " +
                       o.input + " has pictures of its own");
  if (o.wrong_interlace && o.kind != Kind::ppm && o.kind != Kind::pgm)
    return usage_error("--wrong-interlace is for PPM and PGM pictures");
  const auto stdin_sound = std::count(o.audio.begin(), o.audio.end(), std::string("-"));
  if (stdin_sound > 1 || (o.input == "-" && stdin_sound > 0))
    return usage_error("only one input can come from standard input");
  if (o.audio.size() > (o.audio_bits == 12 ? 2u : 1u))
    return usage_error(o.audio_bits == 12
                           ? "12-bit sound is two stereo pairs at most: --audio twice at most"
                           : "16-bit sound is one stereo pair: --audio once (two pairs are "
                             "12-bit sound: --audio-bits 12)");
  if (o.settings.quality == TARSK_QUALITY_BEST &&
      (o.settings.passes != 3 || o.settings.static_qno != 0))
    return usage_error(
        "--quality best searches the whole segment: it takes no --passes 1|2 or --static-qno 1|2");
  return true;
}

Status read_command_line(int argc, const char **argv, Options &o) {
  const poptOption table[] = {
      {"output", 'o', POPT_ARG_STRING, nullptr, 'o',
       "write the DV file OUT: raw DV (.dv, or - for standard output), or in AVI (.avi), "
       "QuickTime (.mov) or Matroska (.mkv) with a PCM sound track",
       "OUT"},
      {"audio", '\0', POPT_ARG_STRING, nullptr, 'a',
       "the sound: WAV, AIFF or FLAC at 48, 44.1 or 32 kHz, mono or stereo [silence]; with "
       "--audio-bits 12 (32 kHz) twice for two stereo pairs, or once with four channels",
       "FILE"},
      {"audio-bits", '\0', POPT_ARG_STRING, nullptr, 'b',
       "16-bit linear sound, or 12-bit non-linear at 32 kHz (one or two stereo pairs, as "
       "camcorders record it) [16]",
       "16|12"},
      {"format", 'f', POPT_ARG_STRING, nullptr, 'f',
       "what IN holds: y4m, png, jpeg, ppm or pgm (numbered pictures: frame%04d.png; a PNG or "
       "JPEG name without a number is a still), yuy2 or rgb (raw) [by IN's extension; y4m "
       "from standard input]",
       "FORMAT"},
      {"system", '\0', POPT_ARG_STRING, nullptr, 'S',
       "pal (625/50) or ntsc (525/60): raw pictures and the test pattern [pal]; other pictures "
       "must be of its size",
       "pal|ntsc"},
      {"sampling", '\0', POPT_ARG_STRING, nullptr, 'm',
       "the stream's chroma sampling: 411 (in 625/50 SMPTE 314M, as DVCPRO writes it) or 420 "
       "(625/50 only); auto takes 411 for 4:1:1 pictures of 625/50, else the system's own "
       "(420 for 625/50, 411 for 525/60) [auto]",
       "auto|411|420"},
      {"test-pattern", '\0', POPT_ARG_STRING | POPT_ARGFLAG_OPTIONAL, nullptr, 'T',
       "pictures of a moving test pattern with a 1 kHz tone instead of IN [bars]",
       "bars|ramp|zoneplate"},
      {"duration", '\0', POPT_ARG_STRING, nullptr, 'D',
       "seconds of test pattern, or of a still picture held [5]", "SECONDS"},
      {"frames", '\0', POPT_ARG_STRING, nullptr, 'n',
       "encode picture N only, or pictures A up to B (B not included), counted from 0 [all]",
       "N|A:B"},
      {"passes", '\0', POPT_ARG_STRING, nullptr, 'p',
       "how far a block's codes may spill: 1 its own area, 2 its macroblock, 3 its segment [3]",
       "1|2|3"},
      {"static-qno", '\0', POPT_ARG_STRING, nullptr, 'q',
       "0 searches each macroblock's quantiser; 1 or 2 takes it from a fixed table [0]", "0|1|2"},
      {"dct", '\0', POPT_ARG_STRING, nullptr, 'd',
       "the transform: auto chooses per block, 88 or 248 forces one [auto]", "auto|88|248"},
      {"quality", '\0', POPT_ARG_STRING, nullptr, 'Q',
       "standard: the format's quantiser search; best: a rate-distortion search per segment, "
       "higher quality, slower [standard]",
       "standard|best"},
      {"wide", '\0', POPT_ARG_NONE, nullptr, 'w',
       "mark the pictures 16:9 [as a Y4M's pixel aspect says, else 4:3]", nullptr},
      {"narrow", '\0', POPT_ARG_NONE, nullptr, 'N',
       "mark the pictures 4:3, whatever the input says", nullptr},
      {"timecode", '\0', POPT_ARG_STRING, nullptr, 't',
       "the first frame's time code, counting on from there [00:00:00:00]; ';' before FF: "
       "drop-frame (525/60)",
       "HH:MM:SS:FF"},
      {"date", '\0', POPT_ARG_STRING, nullptr, 'e',
       "the recording date and time of the first frame, local time [now]", "'YYYY-MM-DD HH:MM:SS'"},
      {"wrong-interlace", '\0', POPT_ARG_NONE, nullptr, 'i',
       "PPM and PGM: move every line up by one, swapping the fields' order [as they are]",
       nullptr},
      {"stats", '\0', POPT_ARG_NONE, nullptr, 'x',
       "at the end, the encoder's statistics (quantiser search, classes, DCT modes) [none]",
       nullptr},
      {"quiet", 'q', POPT_ARG_NONE, nullptr, 'z',
       "no progress line and no summary at the end (warnings and errors still show)", nullptr},
      {"threads", '\0', POPT_ARG_STRING, nullptr, 'j',
       "encode N pictures at once on N threads [the number of cores]; the frames are the same",
       "N"},
      OVERWRITE_OPTIONS,
      POPT_AUTOHELP POPT_TABLEEND};
  std::string format;
  ParsedArgs parsed;
  const Status status = parse_options(
      argc, argv, table, "IN -o OUT.dv [OPTION...]", parsed,
      [&](int key, const std::string &value) { return handle_option(key, value, o, format); });
  if (status != ok) return status;
  if (!check_options(parsed.args, format, o)) {
    std::fputs("Try 'tarsk encode --help' for more information.\n", stderr);
    return bad_usage;
  }
  return ok;
}

// ---------------------------------------------------------------------------
// Pictures.

// The sampling of the stream for --sampling: asked for, or by the
// pictures (4:1:1 pictures of 625/50 make SMPTE 314M), else the system's
// own.
tarsk_encode_sampling chosen_sampling(int asked, tarsk_system system, Sampling pictures) {
  if (asked != 0) return static_cast<tarsk_encode_sampling>(asked);
  return system == TARSK_SYSTEM_625_50 && pictures == Sampling::s411 ? TARSK_ENCODE_SAMPLING_411
                                                                     : TARSK_ENCODE_SAMPLING_SYSTEM;
}

bool is_420(tarsk_encode_sampling sampling, tarsk_system system) {
  return sampling == TARSK_ENCODE_SAMPLING_420 ||
         (sampling == TARSK_ENCODE_SAMPLING_SYSTEM && system == TARSK_SYSTEM_625_50);
}
StreamSampling stream_sampling(tarsk_encode_sampling sampling, tarsk_system system) {
  return is_420(sampling, system) ? StreamSampling::s420 : StreamSampling::s411;
}
Sampling picture_sampling(tarsk_encode_sampling sampling, tarsk_system system) {
  return is_420(sampling, system) ? Sampling::s420 : Sampling::s411;
}

// 4:2:0 chroma per field, for a picture moved down a line: the upper
// field's chroma lines 2m (about picture line 4m + 1) become the lower
// field's lines 2m + 1 (about 4m + 2); the lower field's lines 2m + 1 land
// halfway between the upper field's places, so its new lines 2m take the
// mean of two (the first, of the one below it).
void move_field_chroma_down(std::vector<uint8_t> &plane, size_t width) {
  const std::vector<uint8_t> old = plane;
  const size_t lines = plane.size() / width;
  for (size_t m = 0; 2 * m + 1 < lines; ++m)
    for (size_t i = 0; i < width; ++i) {
      const uint8_t below = old[(2 * m + 1) * width + i];
      const uint8_t above = m > 0 ? old[(2 * m - 1) * width + i] : below;
      plane[(2 * m + 1) * width + i] = old[2 * m * width + i];
      plane[2 * m * width + i] = static_cast<uint8_t>((above + below + 1) / 2);
    }
}

// DV keeps the bottom field first. A picture whose top field comes first
// moves down a line, its first line repeated: the earlier field lands on
// the bottom lines, one line lower than it was.
void make_bottom_field_first(Picture &p) {
  auto shift = [](std::vector<uint8_t> &plane, size_t line) {
    if (plane.size() < 2 * line) return;
    std::memmove(plane.data() + line, plane.data(), plane.size() - line);
  };
  if (p.sampling == Sampling::rgb) {
    shift(p.rgb, static_cast<size_t>(p.width) * 3);
  } else {
    shift(p.y, static_cast<size_t>(p.width));
    const size_t width = static_cast<size_t>(chroma_width(p.sampling, p.width));
    for (auto *plane : {&p.cb, &p.cr}) {
      if (p.sampling != Sampling::s420)
        shift(*plane, width);
      else if (p.field_chroma)
        move_field_chroma_down(*plane, width);
      // 4:2:0 chroma between neighbouring lines serves two picture lines:
      // the shift is half of one of them, which the nearer line stands for.
    }
  }
  p.top_field_first = false;
}

// The planes of a picture at a DV stream's own sampling, for the encoder.
tarsk_picture planes_of(Picture &p) {
  tarsk_picture planes{};
  planes.format = p.sampling == Sampling::s420 ? TARSK_PIXEL_I420 : TARSK_PIXEL_Y41B;
  planes.width = p.width;
  planes.height = p.height;
  planes.data[0] = p.y.data();
  planes.data[1] = p.cb.data();
  planes.data[2] = p.cr.data();
  planes.stride[0] = p.width;
  planes.stride[1] = planes.stride[2] = chroma_width(p.sampling, p.width);
  return planes;
}

// Where the pictures come from (a reader of the tool, or the test pattern),
// brought to bottom field first and to the stream's sampling for the
// encoder.
class Pictures {
 public:
  explicit Pictures(std::unique_ptr<PictureInput> input) : input_(std::move(input)) {}
  tarsk_system system() const { return input_->format().system; }
  const VideoFormat &format() const { return input_->format(); }
  // How the input carries its pictures.
  Sampling sampling() const { return input_->format().sampling; }
  // The stream's, once chosen.
  void set_stream(StreamSampling stream) { stream_ = stream; }
  // The next picture at the stream's sampling, bottom field first;
  // nothing at the end.
  Result<std::optional<Picture>> next() {
    auto got = input_->next();
    if (!got || !*got) return got;
    Picture &p = **got;
    if (p.interlaced && p.top_field_first) make_bottom_field_first(p);
    return std::optional<Picture>(to_stream_sampling(std::move(p), stream_));
  }
  // Passes over the next picture; false at the end.
  Result<bool> skip() { return input_->skip(); }

 private:
  std::unique_ptr<PictureInput> input_;
  StreamSampling stream_ = StreamSampling::s420;
};

class TestPattern : public PictureInput {
 public:
  // Pictures made at the stream's sampling.
  TestPattern(Pattern pattern, tarsk_system system, tarsk_encode_sampling sampling, uint64_t frames)
      : pattern_(pattern), frames_(frames) {
    format_.system = system;
    format_.width = 720;
    format_.height = system == TARSK_SYSTEM_625_50 ? 576 : 480;
    format_.rate = frame_rate(system);
    format_.sampling = picture_sampling(sampling, system);
  }
  Result<std::optional<Picture>> next() override {
    if (frame_ >= frames_) return std::optional<Picture>();
    return std::optional<Picture>(
        test_picture(pattern_, format_.system, format_.sampling, frame_++));
  }

 private:
  Pattern pattern_;
  uint64_t frames_;
};

Result<std::unique_ptr<PictureInput>> open_input(const Options &o) {
  const tarsk_system chosen = o.system.value_or(TARSK_SYSTEM_625_50);
  switch (o.kind) {
    case Kind::y4m:
      return open_y4m(o.input);
    case Kind::png:
    case Kind::jpeg:
      if (o.still)
        return open_still(o.input, o.kind == Kind::png ? StillKind::png : StillKind::jpeg,
                          o.duration.value_or(5));
      return o.kind == Kind::png ? open_png_sequence(o.input) : open_jpeg_sequence(o.input);
    case Kind::ppm:
    case Kind::pgm:
      return open_pnm_sequence(o.input, o.kind == Kind::ppm ? PnmKind::ppm : PnmKind::pgm,
                               o.wrong_interlace);
    case Kind::yuy2:
    case Kind::rgb:
      return open_raw(o.input, o.kind == Kind::yuy2 ? RawLayout::yuy2 : RawLayout::rgb, chosen);
    case Kind::pattern:
      return std::unique_ptr<PictureInput>(std::make_unique<TestPattern>(
          o.pattern, chosen, static_cast<tarsk_encode_sampling>(o.sampling),
          duration_frames(o, chosen)));
  }
  return Failure{"unknown input"};
}

// ---------------------------------------------------------------------------
// Sound: a file, the test tone or silence, a frame's share at a time.

class Sound {
 public:
  Status open(const Options &o) {
    bits_ = o.audio_bits;
    if (bits_ == 12) rate_ = 32000;
    if (!o.audio.empty()) {
      auto files = SoundFiles::open(o.audio, bits_);
      if (!files) {
        error(files.error().message);
        return bad_input;
      }
      files_.emplace(std::move(*files));
      rate_ = files_->rate();
      channels_ = files_->channels();
    } else if (o.kind == Kind::pattern) {
      tone_.emplace(rate_);
    }
    return ok;
  }
  int rate() const { return rate_; }
  int bits() const { return bits_; }
  int channels() const { return channels_; }
  // `frames` sample frames of channels(), silence where the sound has ended.
  Result<std::vector<int16_t>> next(size_t frames) {
    if (tone_) return tone_->next(frames);
    if (files_) return files_->next(frames);
    return std::vector<int16_t>(frames * static_cast<size_t>(channels_), 0);
  }
  // The files of the sound (none for the tone and silence).
  size_t files() const { return files_ ? files_->files() : 0; }
  bool ended(size_t i) const { return files_->ended(i); }
  const std::string &name(size_t i) const { return files_->name(i); }

 private:
  std::optional<SoundFiles> files_;
  std::optional<Tone> tone_;
  int rate_ = 48000;  // silence and the tone: the stream's usual rate (32000 for 12 bits)
  int bits_ = 16, channels_ = 2;
};

// ---------------------------------------------------------------------------
// The job.

class Job {
 public:
  explicit Job(Options &o) : o_(o) {}
  int run();

 private:
  // A picture and the frame it becomes: read and brought to the stream's
  // sampling here, encoded on the encoder's frame threads (with more than
  // one thread) while the next pictures are read and the frames before it
  // written.
  struct Pending {
    Picture picture;
    std::vector<uint8_t> frame;
  };

  bool check_system();
  void tell_what_the_input_says();
  bool skip_to_first();
  bool queue(Picture picture);
  bool emit_oldest();
  bool drain();
  bool frame_error(uint64_t index, const std::string &what) const;
  uint64_t known_total() const;
  void count_quantisers(const std::vector<uint8_t> &frame);
  std::string quantiser_summary() const;

  Options &o_;
  std::unique_ptr<Pictures> pictures_;
  Sound sound_;
  std::unique_ptr<DvSink> out_;
  Progress progress_{!o_.quiet};
  uint64_t done_ = 0;
  // The quantisation numbers (QNO, 0 to 15) of the frames' macroblocks, as
  // their video blocks carry them: the higher, the finer the steps.
  uint64_t macroblocks_ = 0, qno_sum_ = 0, finest_ = 0;
  // The frame at which each sound file ran out.
  std::vector<std::optional<uint64_t>> sound_ended_;
  // Pictures read and not yet written out, in order, and frames to reuse.
  // The encoder's threads read the pictures of pending_ and write their
  // frames, so the encoder comes last: it is destroyed first, and its
  // threads stop before the pictures and frames go.
  std::deque<Pending> pending_;
  std::vector<std::vector<uint8_t>> spare_;
  std::optional<Encoder> encoder_;
};

std::string input_name(const Options &o) {
  return o.kind == Kind::pattern ? "test pattern" : o.input == "-" ? "standard input" : o.input;
}

// Pictures of one system's size cannot be made the other's by a flag.
bool Job::check_system() {
  const tarsk_system s = pictures_->system();
  if (!o_.system || *o_.system == s) return true;
  const bool pal = s == TARSK_SYSTEM_625_50;
  error(input_name(o_) + ": pictures of 720x" + (pal ? "576 are 625/50" : "480 are 525/60") +
        ", not " + system_name(*o_.system) +
        " as --system asks: scale them, e.g. with ffmpeg's "
        "-vf scale=720:" +
        (pal ? "480 -r 30000/1001" : "576 -r 25"));
  return false;
}

// 4:3 or 16:9 as --wide or --narrow says, else as the input's pixel aspect
// says, told when that turns 16:9 on and warned of when it is neither; and
// full-range pictures told, since their levels change.
void Job::tell_what_the_input_says() {
  const VideoFormat &f = pictures_->format();
  const std::string name = input_name(o_);
  if (f.full_range)
    notice(name + ": full-range pictures (XCOLORRANGE=FULL): brought to DV's studio range");
  o_.settings.wide = o_.wide.value_or(false) ? 1 : 0;
  const auto aspect = display_aspect(f.width, f.height, f.pixel_aspect);
  if (o_.wide || !aspect) return;
  const std::string pixel = "pixel aspect " + std::to_string(f.pixel_aspect.num) + ":" +
                            std::to_string(f.pixel_aspect.den);
  if (!aspect->near) {
    char shape[32];
    std::snprintf(shape, sizeof shape, "%.2f:1", aspect->shape);
    warning(name + ": " + pixel + " makes its " + std::to_string(f.width) + "x" +
            std::to_string(f.height) + " pictures " + shape +
            ", neither 4:3 nor 16:9, the only shapes DV marks: encoded as 4:3 (--wide for 16:9, "
            "--narrow to say 4:3 without this warning)");
  } else if (aspect->wide) {
    o_.settings.wide = 1;
    notice(name + ": 16:9 by its " + pixel + " (--narrow for 4:3)");
  }
}

// Frames before --frames' first are read and passed over, their sound too.
bool Job::skip_to_first() {
  for (uint64_t n = 0; n < o_.first; ++n) {
    auto more = pictures_->skip();
    if (!more) {
      error(more.error().message);
      return false;
    }
    if (!*more) {
      error(input_name(o_) + ": no pictures in the range " + o_.range_text + "; it has " +
            std::to_string(n));
      return false;
    }
  }
  // The sound of the frames passed over is what they would have carried,
  // so that a range is a cut of the whole run to the sample.
  for (uint64_t n = 0; n < o_.first; ++n) {
    const int samples = encoder_->audio_samples(sound_.rate(), n);
    if (auto skipped = sound_.next(static_cast<size_t>(samples)); !skipped) {
      error(skipped.error().message);
      return false;
    }
  }
  return true;
}

// Hands a picture to the encoder's frame threads, then writes out the
// oldest frames while every slot is taken; with one thread encodes it here
// and writes it out at once.
bool Job::queue(Picture picture) {
  Pending &p = pending_.emplace_back();
  p.picture = std::move(picture);
  if (spare_.empty()) {
    p.frame.resize(encoder_->frame_bytes());
  } else {
    p.frame = std::move(spare_.back());
    spare_.pop_back();
  }
  const uint64_t index = o_.first + done_ + pending_.size() - 1;
  const tarsk_picture planes = planes_of(p.picture);
  if (o_.settings.threads == 1) {
    auto done = encoder_->encode(planes, p.frame);
    return done ? emit_oldest() : frame_error(index, done.error().message);
  }
  auto sent = encoder_->send(planes, p.frame.data(), p.frame.size());
  if (!sent || !*sent) {
    pending_.pop_back();
    return drain() && frame_error(index, sent ? "the encoder's threads take no more frames"
                                              : sent.error().message);
  }
  const size_t depth = static_cast<size_t>(TARSK_FRAMES_PER_THREAD * o_.settings.threads);
  while (pending_.size() >= depth)
    if (!emit_oldest()) return false;
  return true;
}

// Says what went wrong with frame `index` of the input; false.
bool Job::frame_error(uint64_t index, const std::string &what) const {
  error(input_name(o_) + ": frame " + std::to_string(index) + ": " + what);
  return false;
}

// Every frame still pending, in order.
bool Job::drain() {
  while (!pending_.empty())
    if (!emit_oldest()) return false;
  return true;
}

// The oldest frame, received from the encoder's threads when they have it,
// with its share of the sound, written out.
bool Job::emit_oldest() {
  Pending p = std::move(pending_.front());
  pending_.pop_front();
  const uint64_t n = done_++;
  const uint64_t index = o_.first + n;
  // The encoder hands the frames back in the order the pictures went in.
  if (o_.settings.threads > 1)
    if (auto received = encoder_->receive(); !received)
      return frame_error(index, received.error().message);
  const int samples = encoder_->audio_samples(sound_.rate(), index);
  auto pcm = sound_.next(static_cast<size_t>(samples));
  if (!pcm) {
    error(pcm.error().message);
    return false;
  }
  sound_ended_.resize(sound_.files());
  for (size_t i = 0; i < sound_.files(); ++i)
    if (sound_.ended(i) && !sound_ended_[i]) sound_ended_[i] = n;
  if (auto done = encoder_->encode_sound(pcm->data(), pcm->size(), sound_.channels(), sound_.rate(),
                                         sound_.bits(), p.frame.data(), p.frame.size());
      !done)
    return frame_error(index, done.error().message);
  if (!out_->write(p.frame, *pcm)) return false;
  count_quantisers(p.frame);
  spare_.push_back(std::move(p.frame));
  progress_.update(done_);
  return true;
}

// Pictures in a YUV4MPEG2 file, from its size, its header and the bytes
// of a picture in its chroma sampling (8-bit samples, "FRAME" lines
// without parameters); 0 for a pipe or where the header tells no size.
uint64_t y4m_pictures(const std::string &path, tarsk_system system) {
  struct stat st {};
  if (path == "-" || stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  FILE *file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return 0;
  char line[512];
  const bool read = std::fgets(line, sizeof line, file) != nullptr;
  std::fclose(file);
  const std::string header = read ? line : "";
  if (header.empty() || header.back() != '\n') return 0;
  std::string chroma = "420";
  for (size_t at = header.find(" C"); at != std::string::npos; at = header.find(" C", at + 1))
    chroma = header.substr(at + 2, header.find_first_of(" \n", at + 2) - at - 2);
  const uint64_t luma = 720u * (system == TARSK_SYSTEM_625_50 ? 576u : 480u);
  uint64_t picture;
  if (chroma.starts_with("420") || chroma == "411")
    picture = luma * 3 / 2;
  else if (chroma == "422")
    picture = luma * 2;
  else if (chroma == "444")
    picture = luma * 3;
  else if (chroma == "mono")
    picture = luma;
  else
    return 0;  // deeper samples, or a sampling not known here
  const auto size = static_cast<uint64_t>(st.st_size);
  return size > header.size() ? (size - header.size()) / (picture + 6) : 0;
}

// Files of a numbered sequence, as its reader takes them: from number 0,
// or 1 when there is no 0, to the last of an unbroken run.
uint64_t numbered_files(const std::string &name) {
  const auto pattern = NamePattern::parse(name);
  if (!pattern) return 0;
  struct stat st {};
  const auto exists = [&](uint64_t n) { return stat(pattern->format(n).c_str(), &st) == 0; };
  const uint64_t first = exists(0) ? 0 : 1;
  uint64_t n = first;
  while (exists(n)) ++n;
  return n - first;
}

// Each video block of a segment holds a macroblock; the low four bits of
// its fourth byte are the macroblock's quantisation number.
void Job::count_quantisers(const std::vector<uint8_t> &frame) {
  const int sequences = pictures_->system() == TARSK_SYSTEM_625_50 ? 12 : 10;
  for (int s = 0; s < sequences; ++s)
    for (int k = 0; k < TARSK_SEGMENTS_PER_SEQUENCE; ++k) {
      const auto segment = static_cast<size_t>(tarsk_segment_offset(s, k));
      for (size_t m = 0; m < 5; ++m) {
        const int qno = frame[segment + m * TARSK_DIF_BLOCK_BYTES + 3] & 0x0f;
        ++macroblocks_;
        qno_sum_ += static_cast<uint64_t>(qno);
        if (qno == 15) ++finest_;
      }
    }
}

// "quantisation number 14.2 on average (15 the finest), 80% of
// macroblocks at 15".
std::string Job::quantiser_summary() const {
  if (macroblocks_ == 0) return "no macroblocks";
  char text[128];
  std::snprintf(text, sizeof text,
                "quantisation number %.1f on average (15 the finest), %.0f%% of macroblocks at 15",
                static_cast<double>(qno_sum_) / static_cast<double>(macroblocks_),
                100.0 * static_cast<double>(finest_) / static_cast<double>(macroblocks_));
  return text;
}

uint64_t Job::known_total() const {
  uint64_t total = 0;
  if (o_.kind == Kind::pattern || o_.still) {
    total = duration_frames(o_, pictures_->system());
  } else if (o_.kind == Kind::y4m) {
    total = y4m_pictures(o_.input, pictures_->system());
  } else if (o_.kind == Kind::png || o_.kind == Kind::jpeg || o_.kind == Kind::ppm ||
             o_.kind == Kind::pgm) {
    total = numbered_files(o_.input);
  } else if ((o_.kind == Kind::yuy2 || o_.kind == Kind::rgb) && o_.input != "-") {
    struct stat st {};
    if (stat(o_.input.c_str(), &st) == 0 && S_ISREG(st.st_mode))
      total = static_cast<uint64_t>(st.st_size) /
              (720u * (o_.kind == Kind::yuy2 ? 2 : 3) *
               (pictures_->system() == TARSK_SYSTEM_625_50 ? 576u : 480u));
  }
  if (total == 0) return o_.end == UINT64_MAX ? 0 : o_.end - o_.first;
  return std::min(total, o_.end) - std::min(total, o_.first);
}

int Job::run() {
  auto input = open_input(o_);
  if (!input) {
    error(input.error().message);
    return bad_input;
  }
  pictures_ = std::make_unique<Pictures>(std::move(*input));
  if (!check_system()) return bad_input;
  tell_what_the_input_says();
  const tarsk_system system = pictures_->system();
  o_.settings.system = system;
  if (o_.sampling == TARSK_ENCODE_SAMPLING_420 && system != TARSK_SYSTEM_625_50) {
    return cli::usage_error("encode", "--sampling 420 is for 625/50; " + system_name(system) +
                                     " carries 4:1:1 only");
  }
  const tarsk_encode_sampling sampling =
      chosen_sampling(o_.sampling, system, pictures_->sampling());
  o_.settings.sampling = sampling;
  // Progressive pictures keep their 4:2:0 chroma between neighbouring
  // lines, and their frames say so.
  o_.settings.progressive = pictures_->format().progressive ? 1 : 0;
  pictures_->set_stream(stream_sampling(sampling, system));
  // The first frame's time code, as its frame will carry it.
  tarsk_frame_info first{};
  first.system = system;
  first.has_timecode = 1;
  if (o_.timecode) {
    const tarsk_timecode &t = first.timecode = *o_.timecode;
    const std::string given = "--timecode " + timecode_text(first) + ": ";
    const int fps = system == TARSK_SYSTEM_625_50 ? 25 : 30;
    if (t.drop_frame && system != TARSK_SYSTEM_525_60)
      return cli::usage_error("encode", given + "drop-frame time code is 525/60's; " +
                                            system_name(system) + " takes HH:MM:SS:FF");
    if (t.frames >= fps)
      return cli::usage_error("encode", given + system_name(system) +
                                            " frames are numbered 00 to " +
                                            std::to_string(fps - 1));
    if (t.drop_frame && t.seconds == 0 && t.frames < 2 && t.minutes % 10 != 0)
      return cli::usage_error("encode", given +
                                            "drop-frame time code leaves out frame numbers 00 "
                                            "and 01 at minutes not divisible by ten");
    o_.settings.timecode = *timecode_count(first);
    o_.settings.drop_frame = t.drop_frame;
  }
  if (const Status s = sound_.open(o_); s != ok) return s;
  encoder_.emplace(o_.settings);
  if (!*encoder_) {
    error(encoder_->open_error().message);
    return bad_input;
  }
  if (!skip_to_first()) return bad_input;
  out_ = open_dv_sink(o_.output, o_.form);
  if (!out_) return bad_input;
  if (!out_->start({system, is_420(sampling, system) ? TARSK_SAMPLING_420 : TARSK_SAMPLING_411,
                    o_.settings.wide != 0, sound_.rate(), sound_.channels(),
                    timecode_text(first)}))
    return bad_input;
  progress_.set_total(known_total());
  for (uint64_t read = 0; o_.first + read < o_.end; ++read) {
    auto picture = pictures_->next();
    if (!picture) {
      // The frames before it are good: they go out, as on one thread.
      if (drain()) error(picture.error().message);
      return bad_input;
    }
    if (!*picture) break;
    if (!queue(std::move(**picture))) return bad_input;
  }
  if (!drain()) return bad_input;
  progress_.finish();
  if (done_ == 0) {
    error(input_name(o_) +
          (o_.first > 0 ? ": no pictures in the range " + o_.range_text : ": no pictures"));
    return bad_input;
  }
  for (size_t i = 0; i < sound_ended_.size(); ++i)
    if (sound_ended_[i])
      warning(sound_.name(i) +
              (sound_.files() == 2 ? " (pair " + std::to_string(i + 1) + ")" : std::string()) +
              ": the sound runs out in frame " + std::to_string(*sound_ended_[i]) + " of " +
              std::to_string(done_) + "; silence after it");
  if (!out_->commit()) return bad_input;
  if (!o_.quiet) {
    const Rate rate = frame_rate(system);
    notice((o_.output == "-" ? std::string("standard output") : o_.output) + ": " +
           progress_.summary(done_, static_cast<double>(rate.den) / rate.num, system_name(system)) +
           "; " + quantiser_summary());
  }
  if (o_.stats) dv_show_statistics();
  return ok;
}

}  // namespace

int run_encode(int argc, const char **argv) {
  Options o;
  if (const Status usage = read_command_line(argc, argv, o); usage != ok) return usage;
  return Job(o).run();
}

}  // namespace tarsk::cli
