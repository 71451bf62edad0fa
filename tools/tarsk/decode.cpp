// tarsk decode: a DV file into pictures (Y4M, raw YUY2 or RGB, PNG or PPM)
// and sound (WAV or raw PCM). Every frame of the chosen range gives one
// picture and one frame's worth of sound, so that the outputs stay in step
// with the source even where frames are damaged. Y4M and the media files
// take the planes at the stream's own sampling as the decoder writes them;
// raw YUY2 and RGB, PNG and PPM the decoder's own conversions.
#include <sndfile.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <tarsk/tarsk.hpp>
#include <thread>
#include <utility>
#include <vector>

#include "cli.h"
#include "container.h"
#include "damage.h"
#include "formats.h"
#include "output.h"
#include "progress.h"
#include "tape_sound.h"

namespace tarsk::cli {

namespace {

enum class Format { y4m, yuy2, rgb, png, ppm, nut, mkv, avi, null };

// Formats that hold pictures and sound together, through libavformat.
std::optional<MediaForm> media_form(Format f) {
  if (f == Format::nut) return MediaForm::nut;
  if (f == Format::mkv) return MediaForm::mkv;
  if (f == Format::avi) return MediaForm::avi;
  return std::nullopt;
}

struct Options {
  std::string input;
  std::string output;  // empty: no pictures written
  Format format = Format::null;
  bool pictures = true;                // false: sound alone, the pictures not even decoded
  std::optional<NamePattern> pattern;  // png and ppm: a file per frame
  std::string audio;                   // empty: no sound written
  std::optional<NamePattern> audio_pattern;  // a file for each stereo pair
  std::vector<int> audio_channels;     // the channels written, from 0; empty: all
  // Sound whose rate or channels change between recordings: none, a file
  // for each stretch at its own rate; 0, one file at the first stretch's
  // rate; else one file at this rate.
  std::optional<int> resample;
  bool wav = true;
  uint64_t first = 0, end = UINT64_MAX;  // frames [first, end)
  std::string range_text;
  bool strict = false, quiet = false;
  bool conceal = true;  // damaged macroblocks show the previous picture's
  int reconstruction = TARSK_RECONSTRUCTION_ACCURATE;
  bool track_audio = false;  // sound from the container's own track, not the DV frames
  // One per core (64 at most): the pictures are the same whatever the number.
  int threads = std::clamp(static_cast<int>(std::thread::hardware_concurrency()), 1, 64);
  // The decoder's own options: what to take the stream for where its packs
  // are wrong (0 each frame's packs), how far to read the codes, colour.
  int system = 0;      // 0 the packs', 1 525/60, 2 625/50
  int sampling = 0;    // 0 the system's own or the packs', 1 4:1:1, 2 4:2:0
  int depth = TARSK_DEPTH_FULL;
  int monochrome = 0;
  int audio_rate = 0;  // 0 the packs', else in Hz
  int audio_bits = 0;  // 0 the packs', 12 or 16
  int emphasis = 0;    // 0 the packs', 1 on, 2 off
  int ntsc_setup = 0;  // 1: add the 7.5 IRE set-up to 525/60 luma
};

// ---------------------------------------------------------------------------
// The command line.

std::optional<Format> format_named(std::string name) {
  for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name == "y4m") return Format::y4m;
  if (name == "yuy2") return Format::yuy2;
  if (name == "rgb") return Format::rgb;
  if (name == "png") return Format::png;
  if (name == "ppm") return Format::ppm;
  if (name == "nut") return Format::nut;
  if (name == "mkv") return Format::mkv;
  if (name == "avi") return Format::avi;
  if (name == "null") return Format::null;
  return std::nullopt;
}

bool usage_error(const std::string &message) {
  error("decode: " + message);
  return false;
}

// "1,2" or "3,4" or "1,2,3,4": the channels counted from 1, each once;
// into `channels` counted from 0.
bool parse_channel_list(const std::string &text, std::vector<int> &channels) {
  std::vector<int> list;
  size_t at = 0;
  for (;;) {
    const size_t comma = std::min(text.find(',', at), text.size());
    const std::string number = text.substr(at, comma - at);
    if (number.size() != 1 || number[0] < '1' || number[0] > '4') return false;
    const int channel = number[0] - '1';
    if (std::find(list.begin(), list.end(), channel) != list.end()) return false;
    list.push_back(channel);
    if (comma == text.size()) break;
    at = comma + 1;
  }
  channels = std::move(list);
  return true;
}

bool handle_option(int key, const std::string &value, Options &o, std::string &format) {
  // A word among `words` sets `out` to the value of the same place.
  const auto pick = [&](const char *name, std::initializer_list<const char *> words,
                        std::initializer_list<int> values, int &out) {
    const auto i = word_value("decode", name, value, words);
    if (i) out = values.begin()[*i];
    return i.has_value();
  };
  switch (key) {
    case 'o':
      o.output = value;
      return true;
    case 'f':
      format = value;
      return format_named(value) ? true
                                 : usage_error("unknown format '" + value +
                                               "'; the formats are y4m, yuy2, rgb, png, ppm, "
                                               "nut, mkv, avi and null");
    case 'a':
      o.audio = value;
      return true;
    case 'L':
      return parse_channel_list(value, o.audio_channels)
                 ? true
                 : usage_error("--audio-channels takes channel numbers 1 to 4 separated by "
                               "commas, each once, such as 1,2 or 3,4, not '" + value + "'");
    case 'A':
      if (value != "wav" && value != "pcm")
        return usage_error("unknown audio format '" + value + "'; it is wav or pcm");
      o.wav = value == "wav";
      return true;
    case 'n':
      o.range_text = value;
      return parse_frame_range(value, o.first, o.end)
                 ? true
                 : usage_error(
                       "--frames takes N, A:B (A up to B, B not "
                       "included), A: or :B, not '" +
                       value + "'");
    case 's':
      o.strict = true;
      return true;
    case 'z':
      o.quiet = true;
      return true;
    case 'c':
      o.conceal = false;
      return true;
    case 'R':
      return pick("reconstruction", {"accurate", "specified"},
                  {TARSK_RECONSTRUCTION_ACCURATE, TARSK_RECONSTRUCTION_SPECIFIED}, o.reconstruction);
    case 'd':
      return pick("depth", {"full", "block", "dc"},
                  {TARSK_DEPTH_FULL, TARSK_DEPTH_BLOCK, TARSK_DEPTH_DC}, o.depth);
    case 'S':
      return pick("system", {"auto", "ntsc", "pal"}, {0, 1, 2}, o.system);
    case 'm':
      return pick("sampling", {"auto", "411", "420"}, {0, 1, 2}, o.sampling);
    case 'r':
      return pick("audio-rate", {"auto", "32000", "44100", "48000"}, {0, 32000, 44100, 48000},
                  o.audio_rate);
    case 'b':
      return pick("audio-bits", {"auto", "12", "16"}, {0, 12, 16}, o.audio_bits);
    case 'e':
      return pick("emphasis", {"auto", "on", "off"}, {0, 1, 2}, o.emphasis);
    case 'P': {
      int rate = 0;
      if (!pick("audio-resample", {"first", "32000", "44100", "48000"}, {0, 32000, 44100, 48000},
                rate))
        return false;
      o.resample = rate;
      return true;
    }
    case 'T':
      if (value != "dv" && value != "track")
        return usage_error("--audio-from takes dv or track, not '" + value + "'");
      o.track_audio = value == "track";
      return true;
    case 't': {
      const auto n = parse_threads(value);
      if (!n) return usage_error("--threads takes 1 to 64, not '" + value + "'");
      o.threads = *n;
      return true;
    }
    default:
      return false;
  }
}

// The format that OUT's name asks for.
bool choose_format(const std::string &given, Options &o) {
  if (!given.empty()) {
    o.format = *format_named(given);
  } else if (o.output.empty()) {
    o.format = Format::null;
    o.pictures = false;  // only --format null asks for the pictures to be decoded for nothing
    return o.audio.empty() ? usage_error("nothing to do: give -o OUT, --audio OUT or --format null")
                           : true;
  } else if (o.output == "-") {
    o.format = Format::y4m;  // what a pipe into another program most likely wants
  } else {
    const size_t dot = o.output.rfind('.');
    const auto by_name =
        dot == std::string::npos ? std::nullopt : format_named(o.output.substr(dot + 1));
    if (!by_name || *by_name == Format::null)
      return usage_error("cannot tell the format from the name " + o.output +
                         "; give --format y4m, yuy2, rgb, png, ppm, nut, mkv or avi");
    o.format = *by_name;
  }
  if (o.format == Format::null && !o.output.empty())
    return usage_error("--format null writes no pictures; leave out -o");
  if (o.format != Format::null && o.output.empty())
    return usage_error("--format " + given + " needs -o OUT");
  return true;
}

bool check_options(Options &o, const std::string &format) {
  if (!choose_format(format, o)) return false;
  if (o.output == "-" && o.audio == "-")
    return usage_error("the pictures and the sound cannot both go to standard output");
  if (o.track_audio && media_form(o.format))
    return usage_error(
        "--audio-from track is for --audio; pictures and sound in one file take the sound in the "
        "DV frames");
  if (!o.audio.empty() && o.audio != "-") o.audio_pattern = NamePattern::parse(o.audio);
  if (o.audio_pattern && !o.audio_channels.empty())
    return usage_error("--audio with a number in its name writes each stereo pair to a file of "
                       "its own; --audio-channels picks channels for one file: give one or the "
                       "other");
  if (!o.audio_channels.empty() && o.audio.empty())
    return usage_error("--audio-channels is for --audio");
  if (o.resample && (o.audio.empty() || o.track_audio) && !media_form(o.format))
    return usage_error(
        "--audio-resample is for the DV frames' sound: give --audio OUT, or -o "
        "OUT.nut, .mkv or .avi");
  if (o.audio_channels.size() > 2 &&
      !std::is_sorted(o.audio_channels.begin(), o.audio_channels.end()))
    return usage_error("a WAV holds more than two channels in the order of their speakers: give "
                       "them in increasing order");
  if (o.format == Format::png || o.format == Format::ppm) {
    if (o.output != "-") o.pattern = NamePattern::parse(o.output);
    const bool single = o.end == o.first + 1;
    if (!o.pattern && !single)
      return usage_error(
          "a picture file holds one frame: give --frames N, or a name with a "
          "frame number such as frame%04d.png");
  }
  return true;
}

// The decoder the options ask for.
DecoderSettings decoder_settings(const Options &o) {
  DecoderSettings s = quiet_settings();
  s.threads = o.threads;
  s.depth = o.depth;
  s.monochrome = o.monochrome;
  s.conceal = o.conceal;
  s.reconstruction = o.reconstruction;
  s.ntsc_setup = o.ntsc_setup;
  // 1 525/60 4:1:1, 2 625/50 4:2:0, 3 625/50 4:1:1 (checked with the
  // command line: 525/60 is 4:1:1 only).
  s.video_system = o.system == 1 ? 1 : o.system == 2 ? (o.sampling == 1 ? 3 : 2) : 0;
  s.audio_rate = o.audio_rate;
  s.audio_bits = o.audio_bits;
  s.audio_emphasis = o.emphasis;
  return s;
}

// Reads the command line into `o`. Returns ok or bad_usage.
Status read_command_line(int argc, const char **argv, Options &o) {
  const poptOption decoder_table[] = {
      {"depth", '\0', POPT_ARG_STRING, nullptr, 'd',
       "how far each block's codes are read: full, codes spilled into other blocks' areas too "
       "[full]; block, each block's own area; dc, the DC coefficient alone",
       "full|block|dc"},
      {"monochrome", '\0', POPT_ARG_NONE, &o.monochrome, 0,
       "decode luma alone: a grey picture [colour]", nullptr},
      {"system", '\0', POPT_ARG_STRING, nullptr, 'S',
       "what to take the frames for, where their packs are wrong: ntsc (525/60) or pal "
       "(625/50) [auto: as the packs say]",
       "auto|ntsc|pal"},
      {"sampling", '\0', POPT_ARG_STRING, nullptr, 'm',
       "with --system pal: 420 (IEC 61834) or 411 (SMPTE 314M) [auto: as the header says]",
       "auto|411|420"},
      {"audio-rate", '\0', POPT_ARG_STRING, nullptr, 'r',
       "the sound's sampling rate in Hz, where the packs say it wrong [auto]",
       "auto|32000|44100|48000"},
      {"audio-bits", '\0', POPT_ARG_STRING, nullptr, 'b',
       "the sound's sample size, where the packs say it wrong: 12 (non-linear) or 16 [auto]",
       "auto|12|16"},
      {"emphasis", '\0', POPT_ARG_STRING, nullptr, 'e',
       "the sound's 50/15 us pre-emphasis, removed when on [auto: as the packs say]",
       "auto|on|off"},
      {"ntsc-setup", '\0', POPT_ARG_NONE, &o.ntsc_setup, 0,
       "add the 7.5 IRE set-up to 525/60 luma [none added]", nullptr},
      POPT_TABLEEND};
  const poptOption table[] = {
      {"output", 'o', POPT_ARG_STRING, nullptr, 'o',
       "write the pictures to OUT; - is standard output [no pictures]", "OUT"},
      {"format", 'f', POPT_ARG_STRING, nullptr, 'f',
       "y4m, yuy2, rgb, png, ppm; nut, mkv or avi: the pictures (at the stream's sampling) and "
       "the sound in one file; or null to decode and write nothing [by OUT's extension; y4m "
       "on standard output]",
       "FORMAT"},
      {"audio", '\0', POPT_ARG_STRING, nullptr, 'a',
       "write the sound to OUT; 4-channel sound goes into one WAV with its speakers named "
       "(front left, front right, back left, back right); a name with %d, such as sound%d.wav, "
       "writes each stereo pair to a file of its own, numbered 1 and 2; where a later recording's "
       "sound has another rate or channel count, it goes on in a file of its own: OUT-2.wav, "
       "OUT-3.wav, ... (sound%d-2.wav for the pairs; see --audio-resample) [no sound]",
       "OUT"},
      {"audio-channels", '\0', POPT_ARG_STRING, nullptr, 'L',
       "write these channels of the sound only, counted from 1: 1,2 the first stereo pair, 3,4 "
       "the second [all]",
       "LIST"},
      {"audio-format", '\0', POPT_ARG_STRING, nullptr, 'A',
       "the sound file: WAV, or raw 16-bit little-endian PCM [wav]", "wav|pcm"},
      {"audio-resample", '\0', POPT_ARG_STRING, nullptr, 'P',
       "sound whose rate changes between recordings into one file at one rate: RATE, or the "
       "first sound's; the rest resampled (the layout of the first sound's channels kept) "
       "[each stretch of one rate and channel count to a file of its own, sound-2.wav, "
       "sound-3.wav, ...; a sound track of NUT, MKV or AVI at its first sound's rate]",
       "first|32000|44100|48000"},
      {"audio-from", '\0', POPT_ARG_STRING, nullptr, 'T',
       "the sound: the DV frames', or the container's own track (AVI type 2, QuickTime, "
       "Matroska) [dv]",
       "dv|track"},
      {"frames", '\0', POPT_ARG_STRING, nullptr, 'n',
       "decode frame N only, or frames A up to B (B not included), counted from 0 [all]",
       "N|A:B"},
      {"strict", '\0', POPT_ARG_NONE, nullptr, 's',
       "fail at any damage (bytes skipped to find frames, missing blocks, damaged macroblocks, "
       "missing sound, a cut-short end) and leave no output, instead of warning",
       nullptr},
      {"no-conceal", '\0', POPT_ARG_NONE, nullptr, 'c',
       "decode damaged macroblocks as they are, instead of showing the previous picture's there",
       nullptr},
      {"reconstruction", '\0', POPT_ARG_STRING, nullptr, 'R',
       "how blocks are reconstructed: accurate, by the format's exact inverse weights and "
       "transforms rounded to nearest [accurate]; specified, by its reference arithmetic "
       "(integer weights, transforms truncated toward zero), bit for bit the pictures of the "
       "dv.h library API",
       "accurate|specified"},
      {"quiet", 'q', POPT_ARG_NONE, nullptr, 'z',
       "no progress line and no summary at the end (warnings and errors still show)", nullptr},
      {"threads", '\0', POPT_ARG_STRING, nullptr, 't',
       "decode N frames at once on N threads [the number of cores]; the pictures are the same",
       "N"},
      {nullptr, '\0', POPT_ARG_INCLUDE_TABLE, const_cast<poptOption *>(decoder_table), 0,
       "Decoder options:", nullptr},
      OVERWRITE_OPTIONS,
      POPT_AUTOHELP POPT_TABLEEND};

  std::string format;
  ParsedArgs parsed;
  const Status status = parse_options(
      argc, argv, table, "FILE [OPTION...]", parsed,
      [&](int key, const std::string &value) { return handle_option(key, value, o, format); });
  if (status != ok) return status;  // popt's or the handler's message is out
  bool good = true;
  if (o.system == 1 && o.sampling == 2) {
    error("decode: --sampling 420 is for 625/50; 525/60 carries 4:1:1 only");
    good = false;
  }
  if (good && parsed.args.size() != 1) {
    error(parsed.args.empty() ? "decode: no file given" : "decode: one file at a time");
    good = false;
  }
  if (good && !check_options(o, format)) good = false;
  if (!good) {
    std::fputs("Try 'tarsk decode --help' for more information.\n", stderr);
    return bad_usage;
  }
  o.input = parsed.args[0];
  return ok;
}

// ---------------------------------------------------------------------------
// Decoding.

// Warnings about frames, the first few in full and the rest counted, so
// that a badly damaged file does not bury the terminal.
class FrameWarnings {
 public:
  void add(const std::string &message) {
    if (++count_ <= shown) warning(message);
  }
  void summary() const {
    if (count_ > shown)
      warning(std::to_string(count_ - shown) + " more warnings like these were not shown");
  }

 private:
  static constexpr uint64_t shown = 10;
  uint64_t count_ = 0;
};

// A picture being decoded or kept, its planes the library's. Held by
// pointer: the decoder's threads write through its record where it stands.
using PicturePtr = std::unique_ptr<tarsk::Picture>;

// Chroma of a picture decoded at 4:2:2 brought to a planar picture of the
// stream's sampling of the same size, as a frame of another sampling among
// the stream's is shown: 4:2:0 takes the even lines, 4:1:1 every other
// sample of each line. Luma goes over as it is.
void thin_chroma(const tarsk_picture &from, tarsk_picture &to) {
  const auto width = static_cast<size_t>(from.width);
  for (int line = 0; line < from.height; ++line)
    std::memcpy(to.data[0] + line * to.stride[0], from.data[0] + line * from.stride[0], width);
  const bool is420 = to.format == TARSK_PIXEL_I420;
  const int lines = is420 ? to.height / 2 : to.height;
  const size_t samples = is420 ? width / 2 : width / 4;
  for (int p = 1; p < 3; ++p)
    for (int line = 0; line < lines; ++line) {
      const uint8_t *src = from.data[p] + (is420 ? 2 * line : line) * from.stride[p];
      uint8_t *dst = to.data[p] + line * to.stride[p];
      for (size_t i = 0; i < samples; ++i) dst[i] = src[is420 ? i : 2 * i];
    }
}

// The bytes of a packed picture (RGB24, YUY2) whose lines follow each other.
std::span<const uint8_t> packed_bytes(const tarsk_picture &p) {
  return {p.data[0], static_cast<size_t>(p.stride[0]) * static_cast<size_t>(p.height)};
}

class Job {
 public:
  explicit Job(const Options &o) : o_(o), decoder_(decoder_settings(o)) {
    tally_.concealed = o.conceal;
  }
  int run();

 private:
  // A frame position of the range, read ahead while the pictures of the
  // frames before it are decoded: a frame whose picture is on its way, or
  // why the position has none.
  struct Pending {
    uint64_t index = 0;
    std::optional<Frame> frame;  // none: damaged
    std::string damage;
    // Damage found while reading (bytes skipped, missing blocks, concealed
    // sound), told when the frame comes out, so that every report stays in
    // stream order however far reading runs ahead of the threads.
    std::vector<std::string> read_damage;
    FrameInfo info{};
    std::optional<Expected<Audio>> audio;  // when sound is wanted
    PicturePtr picture;
    bool sent = false;  // its picture is with the decoder's threads
    bool thin = false;  // decoded at 4:2:2, to be brought to the stream's sampling
  };

  bool open_outputs();
  bool queue(std::optional<Frame> frame, uint64_t index, std::string damage);
  bool emit_oldest();
  bool emit_ready();
  bool on_frame(Pending &p, Expected<PictureDamage> decoded);
  bool on_damage(uint64_t index, const std::string &what);
  bool on_damaged(uint64_t index, const std::string &why);
  bool start(const FrameInfo &info, const Audio *audio);
  bool emit_picture();
  bool emit_sound(const Audio *audio, uint64_t index, const FrameInfo *info = nullptr);
  bool finish();
  std::string where(uint64_t index) const { return name_ + ": frame " + std::to_string(index); }
  tarsk_pixel_format output_format(const FrameInfo &stream) const {
    switch (o_.format) {
      case Format::rgb:
      case Format::png:
      case Format::ppm:
        return TARSK_PIXEL_RGB24;
      case Format::yuy2:
        return TARSK_PIXEL_YUY2;
      default:
        return tarsk_native_format(stream.sampling);
    }
  }
  PicturePtr take_picture(tarsk_pixel_format format, int width, int height);
  bool wants_sound() const {
    return (!o_.audio.empty() || o_.format == Format::null || media_form(o_.format)) &&
           !o_.track_audio;
  }
  bool write_track_audio();
  bool sound_started() const { return !sounds_.empty() && sounds_.front().writer->started(); }
  bool open_sound_files(int stretch);
  bool start_sound(int frequency, int channels);
  bool write_sound(const std::vector<std::vector<int16_t>> &channels, size_t samples);
  bool emit_media_sound(const Audio *audio, uint64_t index, const FrameInfo *info);
  bool next_stretch_files();
  std::span<const int16_t> interleave(const SoundPlanes &sound);
  LineSettings sound_line_settings() const;
  void tell_stretch(const SoundLine &line, const std::string &into, uint64_t index,
                    const FrameInfo *info) const;
  // Sound to one file or pipe that cannot be split into a file a stretch.
  bool one_sound_stream() const;

  const Options &o_;
  DvSource *source_ = nullptr;
  std::string name_ = o_.input == "-" ? "standard input" : o_.input;
  Progress progress_{!o_.quiet};
  FrameWarnings warnings_;
  DamageTally tally_;

  // A sound file and the channels of the sound it takes.
  struct SoundOut {
    std::unique_ptr<OutputFile> file;
    std::unique_ptr<AudioWriter> writer;
    std::vector<int> pick;  // from 0; empty: every channel
  };

  std::unique_ptr<OutputFile> video_file_;
  std::unique_ptr<MediaSink> media_;  // pictures and sound in one file
  int media_rate_ = 0, media_channels_ = 0;
  std::deque<SoundOut> sounds_;  // none without --audio
  std::deque<SoundOut> done_sounds_;  // earlier stretches' files, finished, committed at the end
  // The sound of the files and of the pictures' file's track, stretch by
  // stretch, and a frame's samples on their way.
  std::optional<SoundLine> line_, media_line_;
  SoundPlanes planes_;
  std::vector<int16_t> interleaved_;

  std::optional<FrameInfo> layout_;  // the first frame whose header reads: the pictures' layout
  std::optional<FrameInfo> stream_;  // the first good frame's, once it is written out
  PicturePtr picture_;               // the last picture decoded
  std::vector<uint8_t> bytes_;       // a Y4M frame, planes or a picture file
  uint64_t emitted_ = 0;             // frames written out
  uint64_t waiting_ = 0;             // damaged frames before the first good one

  // Positions read and not yet written out, in stream order, and pictures
  // to reuse. The decoder's threads decode into the pictures of pending_,
  // so it comes last: it is destroyed first and its threads stop before the
  // pictures go.
  std::deque<Pending> pending_;
  std::vector<PicturePtr> spare_;
  int in_flight_ = 0;  // frames sent to the decoder's threads and not yet received
  Decoder decoder_;
};

bool Job::open_outputs() {
  if (const auto form = media_form(o_.format)) {
    media_ = open_media_sink(o_.output, *form);
    if (!media_) return false;
  } else if (!o_.output.empty() && !o_.pattern) {
    video_file_ = std::make_unique<OutputFile>();
    if (!video_file_->open(o_.output)) return false;
  }
  return o_.audio.empty() || open_sound_files(1);
}

// The sound files of stretch n (from 1): the names given for the first,
// the later ones' with -n before the extension.
bool Job::open_sound_files(int stretch) {
  const auto add_sound = [&](const std::string &path, std::vector<int> pick) {
    SoundOut &out = sounds_.emplace_back();
    out.file = std::make_unique<OutputFile>();
    if (!out.file->open(path)) return false;
    out.writer = std::make_unique<AudioWriter>(out.file->stream(), o_.wav);
    out.pick = std::move(pick);
    return true;
  };
  const std::string path = o_.audio == "-" ? o_.audio : stretch_path(o_.audio, stretch);
  if (o_.audio_pattern) {
    const auto pattern = NamePattern::parse(path);
    return add_sound(pattern->format(1), {0, 1}) && add_sound(pattern->format(2), {2, 3});
  }
  return add_sound(path, o_.audio_channels);
}

bool Job::one_sound_stream() const {
  struct stat st {};
  return o_.audio == "-" || (stat(o_.audio.c_str(), &st) == 0 && !S_ISREG(st.st_mode));
}

LineSettings Job::sound_line_settings() const {
  if (o_.resample) return {true, *o_.resample, 0};
  if (one_sound_stream()) return {true, 0, 0};
  return {};
}

// A picture of the layout and size: a spare one, or new; null when memory
// cannot be had.
PicturePtr Job::take_picture(tarsk_pixel_format format, int width, int height) {
  for (auto it = spare_.begin(); it != spare_.end(); ++it) {
    const tarsk::Picture &p = **it;
    if (p.format() == format && p.width() == width && p.height() == height) {
      PicturePtr taken = std::move(*it);
      spare_.erase(it);
      return taken;
    }
  }
  auto made = std::make_unique<tarsk::Picture>(format, width, height);
  return *made ? std::move(made) : nullptr;
}

// The first good frame fixes what the outputs hold: the picture's size and
// layout, the Y4M header, and the frame count the progress line aims at.
bool Job::start(const FrameInfo &info, const Audio *audio) {
  stream_ = info;
  // The frames to come: as a container counts them or from its duration;
  // a raw DV file's size over a frame's.
  const SourceInfo &source = source_->info();
  uint64_t frames = source.frames;
  if (frames == 0 && source.seconds > 0)
    frames = static_cast<uint64_t>(
        std::llround(source.seconds * (info.system == TARSK_SYSTEM_625_50 ? 25 : 30000.0 / 1001)));
  struct stat st {};
  if (frames == 0 && source.container == "raw DV" && o_.input != "-" &&
      stat(o_.input.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    frames = static_cast<uint64_t>(st.st_size) / frame_bytes(info.system);
  if (frames > 0) progress_.set_total(std::min(frames, o_.end) - std::min(frames, o_.first));
  if (o_.format == Format::y4m) {
    const std::string header =
        y4m_header({info.system, info.sampling, info.width, info.height, info.wide != 0,
                    info.progressive != 0});
    return video_file_->write({reinterpret_cast<const uint8_t *>(header.data()), header.size()});
  }
  if (media_) {
    // The first frame's sound sets the track (its rate, unless
    // --audio-resample gives one); without any, DV's usual 48 kHz stereo.
    media_rate_ = o_.resample.value_or(0) != 0 ? *o_.resample
                  : audio != nullptr           ? audio->frequency
                                               : 48000;
    media_channels_ = audio != nullptr ? static_cast<int>(audio->channels.size()) : 2;
    media_line_.emplace(info.system, LineSettings{true, media_rate_, media_channels_});
    return media_->start(info.system, info.sampling, info.wide != 0, media_rate_,
                         media_channels_);
  }
  return true;
}

bool Job::emit_picture() {
  if (o_.format == Format::null) return true;  // and without pictures decoded, none is at hand
  const FrameInfo &v = *stream_;
  const uint64_t index = o_.first + emitted_;
  const tarsk_picture &picture = picture_->get();
  switch (o_.format) {
    case Format::null:
      return true;
    case Format::nut:
    case Format::mkv:
    case Format::avi:
      bytes_.clear();
      append_planes(picture, bytes_);
      return media_->write_picture(bytes_);
    case Format::y4m: {
      static constexpr uint8_t marker[] = {'F', 'R', 'A', 'M', 'E', '\n'};
      return video_file_->write(marker) &&
             write_planes(picture, [&](std::span<const uint8_t> b) { return video_file_->write(b); });
    }
    case Format::yuy2:
    case Format::rgb:
      return video_file_->write(packed_bytes(picture));
    case Format::png:
    case Format::ppm: {
      auto file = o_.format == Format::png ? png_encode(v.width, v.height, packed_bytes(picture))
                                           : ppm_encode(v.width, v.height, packed_bytes(picture));
      if (!file) {
        error(where(index) + ": " + file.error().message);
        return false;
      }
      bytes_ = std::move(*file);
      return o_.pattern ? write_file(o_.pattern->format(index), bytes_)
                        : video_file_->write(bytes_);
    }
  }
  return true;
}

// 4-channel sound is two stereo pairs; a WAV of three or four of its
// channels names their speakers: the first pair front left and right, the
// second back left and right.
constexpr int quad_speakers[4] = {SF_CHANNEL_MAP_LEFT, SF_CHANNEL_MAP_RIGHT,
                                  SF_CHANNEL_MAP_REAR_LEFT, SF_CHANNEL_MAP_REAR_RIGHT};

// Sets the sound files going once the sound's rate and channels are known.
// A file for the second stereo pair goes when there is none; a channel
// asked for that the sound lacks is an error.
bool Job::start_sound(int frequency, int channels) {
  if (o_.audio_pattern && channels < 4 && sounds_.size() == 2) {
    if (!o_.quiet)
      notice(name_ + ": the sound has " + std::to_string(channels) + " channels; no " +
             sounds_.back().file->path() + " written");
    sounds_.pop_back();
  }
  for (SoundOut &out : sounds_) {
    for (const int c : out.pick)
      if (c >= channels) {
        error(name_ + ": the sound has " + std::to_string(channels) + " channels; no channel " +
              std::to_string(c + 1) + " to write to " + out.file->path());
        return false;
      }
    std::vector<int> layout;
    const size_t written = out.pick.empty() ? static_cast<size_t>(channels) : out.pick.size();
    if (channels == 4 && written > 2)
      for (size_t i = 0; i < written; ++i)
        layout.push_back(quad_speakers[out.pick.empty() ? i : static_cast<size_t>(out.pick[i])]);
    if (!out.writer->start(frequency, static_cast<int>(written), layout))
      return out.file->failed();
  }
  return true;
}

// Samples of every channel, into each sound file as its channels.
bool Job::write_sound(const std::vector<std::vector<int16_t>> &channels, size_t samples) {
  static const std::vector<int16_t> none;
  for (SoundOut &out : sounds_) {
    bool written;
    if (out.pick.empty()) {
      written = out.writer->write(channels, samples);
    } else {
      // A channel that a frame lacks is silent.
      std::vector<std::vector<int16_t>> picked;
      for (const int c : out.pick)
        picked.push_back(static_cast<size_t>(c) < channels.size() ? channels[static_cast<size_t>(c)]
                                                                  : none);
      written = out.writer->write(picked, samples);
    }
    if (!written) return out.file->failed();
  }
  return true;
}

// The container's own sound as it has come so far, written as it is.
bool Job::write_track_audio() {
  const SourceInfo &s = source_->info();
  if (!sound_started() && !start_sound(s.track_rate, s.track_channels)) return false;
  const std::vector<int16_t> samples = source_->take_track_audio();
  const auto channels = static_cast<size_t>(s.track_channels);
  std::vector<std::vector<int16_t>> planes(channels);
  for (size_t i = 0; i < samples.size(); ++i) planes[i % channels].push_back(samples[i]);
  return write_sound(planes, samples.size() / channels);
}

// Says where a stretch of sound starts and where it goes: never silently,
// --quiet or not, since files appear or sound is resampled.
void Job::tell_stretch(const SoundLine &line, const std::string &into, uint64_t index,
                       const FrameInfo *info) const {
  const std::string tc = info != nullptr ? timecode_text(*info) : std::string();
  const int channels = line.stretch_channels();
  std::string message =
      where(index) + (tc.empty() ? "" : " (time code " + tc + ")") +
      (line.stretches() > 1 ? ": the sound changes to " : ": the sound is ") +
      std::to_string(line.stretch_rate()) + " Hz " +
      (channels == 2 ? std::string("stereo") : std::to_string(channels) + "-channel");
  if (line.resampling()) message += ", resampled to " + std::to_string(line.rate()) + " Hz";
  if (channels > line.channels())
    message += ", its first pair alone";
  else if (channels < line.channels())
    message += ", as the first pair of " + std::to_string(line.channels()) +
               " channels (the second silent)";
  notice(message + (line.stretches() > 1 && !line.one_rate() ? "; from here in " : "; in ") + into);
}

// A frame's sound in the pictures' file, at the track's rate and channels:
// its samples (resampled where its stretch has another rate), or silence
// as long as its share when it has none.
bool Job::emit_media_sound(const Audio *audio, uint64_t index, const FrameInfo *info) {
  SoundLine &line = *media_line_;
  const bool starts = line.starts_stretch(audio);
  planes_.clear();
  if (!line.add(audio, planes_)) {
    error(where(index) + ": " + line.problem());
    return false;
  }
  if (starts &&
      (line.resampling() || line.stretch_channels() != line.channels() || line.stretches() > 1))
    tell_stretch(line, "the sound track of " + o_.output, index, info);
  return media_->write_sound(interleave(planes_));
}

// Planes as the track's interleaved samples.
std::span<const int16_t> Job::interleave(const SoundPlanes &sound) {
  cli::interleave(sound, media_channels_, interleaved_);
  return interleaved_;
}

// The files of the stretch that starts: those of the one before are
// finished, to be committed at the end with the rest.
bool Job::next_stretch_files() {
  for (SoundOut &out : sounds_)
    if (!out.writer->finish()) return out.file->failed();
  for (SoundOut &out : sounds_) done_sounds_.push_back(std::move(out));
  sounds_.clear();
  return open_sound_files(line_->stretches() + 1);
}

// A frame's sound into the sound files: its samples, or silence as long as
// its share when it has none that can be decoded. Until a frame with sound
// comes, frames without are only counted: the sound's rate is not known
// yet. Sound of another rate or channel count starts a stretch: new files,
// or (into one file) resampled.
bool Job::emit_sound(const Audio *audio, uint64_t index, const FrameInfo *info) {
  if (media_ && !emit_media_sound(audio, index, info)) return false;
  if (sounds_.empty()) return true;
  if (o_.track_audio) return write_track_audio();
  if (!line_) line_.emplace(stream_->system, sound_line_settings());
  SoundLine &line = *line_;
  const bool starts = line.starts_stretch(audio);
  const bool split = starts && line.stretches() > 0 && !line.one_rate();
  if (split && !next_stretch_files()) return false;
  planes_.clear();
  if (!line.add(audio, planes_)) {
    error(where(index) + ": " + line.problem());
    return false;
  }
  if (!sound_started()) {
    if (line.rate() == 0 || line.channels() == 0) return true;
    if (!start_sound(line.rate(), line.channels())) return false;
  }
  if (starts && (line.stretches() > 1 || line.resampling())) {
    const auto name = [](const SoundOut &out) {
      return out.file->is_stdout() ? std::string("standard output") : out.file->path();
    };
    std::string into = name(sounds_.front());
    if (sounds_.size() > 1) into += " and " + name(sounds_.back());
    if (one_sound_stream() && !o_.resample)
      into += " (one stream: --audio-resample chooses its rate)";
    tell_stretch(line, into, index, info);
  }
  return write_sound(planes_.planes, planes_.samples);
}

// Damage that decoding goes through: a warning, or with --strict the end.
bool Job::on_damage(uint64_t index, const std::string &what) {
  if (what.empty()) return true;
  if (o_.strict) {
    error(where(index) + ": " + what);
    return false;
  }
  warnings_.add(where(index) + ": " + what);
  return true;
}

bool Job::on_damaged(uint64_t index, const std::string &why) {
  if (o_.strict) {
    error(where(index) + ": " + why);
    return false;
  }
  if (!stream_) {
    warnings_.add(where(index) + ": " + why + "; it takes the first good frame's picture");
    ++waiting_;
    return true;
  }
  warnings_.add(where(index) + ": " + why + "; the previous picture and silence stand in");
  const bool done = emit_picture() && emit_sound(nullptr, index);
  ++emitted_;
  return done;
}

// Reads a frame's header and sound here and hands its picture to the
// decoder's threads; then writes out the oldest positions while every
// thread has a frame (a damaged position at the front needs no thread).
bool Job::queue(std::optional<Frame> frame, uint64_t index, std::string damage) {
  Pending &p = pending_.emplace_back();
  p.index = index;
  if (frame) {
    p.read_damage.push_back(tally_.add_read(*frame));
    // The header and sound here, header blocks checked and parsed once;
    // the picture on the decoder's threads.
    auto decoded = decoder_.decode_frame(frame->bytes, nullptr, false, wants_sound());
    const FrameInfo *info = decoded ? &decoded->info : nullptr;
    if (info) {
      p.info = *info;
      if (wants_sound()) {
        p.audio = decoded->audio ? Expected<Audio>(std::move(*decoded->audio))
                                 : Expected<Audio>(error_of(TARSK_E_NO_AUDIO));
        const int failed = *p.audio ? (*p.audio)->failed_blocks : 0;
        if (failed > 0) {
          tally_.failed_audio_blocks += static_cast<uint64_t>(failed);
          p.read_damage.push_back(std::to_string(failed) + " damaged audio block" +
                                  (failed == 1 ? "" : "s") + " concealed");
        }
      }
      // The first frame read whole is the stream's first good one: the
      // pictures come in its layout. A frame of another sampling is
      // decoded at 4:2:2 to be brought to the stream's; one of another
      // system is decoded in its own, to be shown as the previous picture.
      if (!layout_) layout_ = *info;
      if (!o_.pictures) {
        p.frame = std::move(frame);  // its sound is all that is wanted
        p.damage = std::move(damage);
        return emit_ready();
      }
      tarsk_pixel_format format = output_format(*layout_);
      if (info->system != layout_->system) {
        format = tarsk_native_format(info->sampling);
      } else if (format == tarsk_native_format(layout_->sampling) &&
                 info->sampling != layout_->sampling) {
        format = TARSK_PIXEL_I422;
        p.thin = true;
      }
      p.picture = take_picture(format, info->width, info->height);
      if (!p.picture) {
        error(where(index) + ": out of memory");
        return false;
      }
      p.frame = std::move(frame);
      auto sent = decoder_.send(p.frame->bytes, p.picture->get());
      if (!sent || !*sent) {
        error(where(index) + ": " +
              (sent ? std::string("the decoder's threads take no more frames") : sent.error().message));
        return false;
      }
      ++in_flight_;
      p.sent = true;
    } else {
      damage = frame_problem(decoded.error());
    }
  }
  p.damage = std::move(damage);
  return emit_ready();
}

// Writes out the oldest positions while every thread has a frame, or
// whose picture is not on the threads.
bool Job::emit_ready() {
  const int depth = TARSK_FRAMES_PER_THREAD * o_.threads;
  while (!pending_.empty() && (!pending_.front().sent || in_flight_ >= depth))
    if (!emit_oldest()) return false;
  return true;
}

bool Job::emit_oldest() {
  Pending p = std::move(pending_.front());
  pending_.pop_front();
  // The damage found in reading first; a frame in flight is received all
  // the same, so that no thread writes into its picture once it is gone.
  const bool told = std::all_of(
      p.read_damage.begin(), p.read_damage.end(),
      [&](const std::string &damage) { return on_damage(p.index, damage); });
  bool done;
  if (p.frame && !p.sent) {
    done = told && on_frame(p, PictureDamage{});
  } else if (p.frame) {
    // The decoder hands the pictures back in the order they went in, each
    // into the picture it was sent with.
    tarsk_picture *picture = nullptr;
    PictureDamage damage{};
    const int got = tarsk_decode_receive(decoder_.get(), &picture, &damage);
    --in_flight_;
    done = told && on_frame(p, got == TARSK_OK ? Expected<PictureDamage>(damage)
                                               : Expected<PictureDamage>(error_of(got)));
  } else {
    ++tally_.unreadable_frames;
    done = told && on_damaged(p.index, p.damage);
  }
  if (p.picture) spare_.push_back(std::move(p.picture));
  progress_.update(emitted_);
  return done;
}

bool Job::on_frame(Pending &p, Expected<PictureDamage> decoded) {
  const FrameInfo &info = p.info;
  // The outputs hold pictures of one size; another sampling is brought to
  // the stream's like any picture.
  if (stream_ && info.system != stream_->system) {
    ++tally_.other_system_frames;
    return on_damaged(p.index, "a " + system_name(info.system) + " frame among " +
                                   system_name(stream_->system) + " frames");
  }
  std::optional<Audio> audio;
  if (p.audio) {
    if (*p.audio) {
      audio = std::move(**p.audio);
    } else if (o_.strict) {
      error(where(p.index) + ": " + p.audio->error().message);
      return false;
    } else {
      ++tally_.frames_without_audio;
      warnings_.add(where(p.index) + ": " + p.audio->error().message + "; silence in its place");
    }
  }
  const bool first = !stream_;
  if (first && !start(info, audio ? &*audio : nullptr)) return false;
  if (!decoded) {
    error(where(p.index) + ": " + decoded.error().message);
    return false;
  }
  if (!on_damage(p.index, tally_.add_picture(*decoded))) return false;
  if (p.thin) {
    PicturePtr native =
        take_picture(tarsk_native_format(stream_->sampling), info.width, info.height);
    if (!native) {
      error(where(p.index) + ": out of memory");
      return false;
    }
    thin_chroma(p.picture->get(), native->get());
    spare_.push_back(std::exchange(p.picture, std::move(native)));
  }
  picture_.swap(p.picture);
  // Damaged frames before the first good one had no picture to show: they
  // show its picture, with silence.
  for (; first && waiting_ > 0; --waiting_, ++emitted_)
    if (!emit_picture() || !emit_sound(nullptr, o_.first + emitted_)) return false;
  const bool done = emit_picture() && emit_sound(audio ? &*audio : nullptr, p.index, &info);
  ++emitted_;
  return done;
}

bool Job::finish() {
  if (!sounds_.empty() && o_.track_audio && !write_track_audio()) return false;
  // What the resamplers still hold ends the last stretch.
  if (media_line_) {
    planes_.clear();
    if (!media_line_->end_stretch(planes_)) {
      error(name_ + ": " + media_line_->problem());
      return false;
    }
    if (!media_->write_sound(interleave(planes_))) return false;
  }
  if (line_ && sound_started()) {
    planes_.clear();
    if (!line_->end_stretch(planes_)) {
      error(name_ + ": " + line_->problem());
      return false;
    }
    if (!write_sound(planes_.planes, planes_.samples)) return false;
  }
  if (!sounds_.empty() && !sound_started()) {
    error(name_ + ": no frame has sound that can be decoded; no sound written");
    return false;
  }
  for (SoundOut &out : sounds_)
    if (!out.writer->finish()) return out.file->failed();
  if (media_ && !media_->commit()) return false;
  if (video_file_ && !video_file_->commit()) return false;
  for (SoundOut &out : done_sounds_)
    if (!out.file->commit()) return false;
  for (SoundOut &out : sounds_)
    if (!out.file->commit()) return false;
  return true;
}

int Job::run() {
  if (!decoder_) {
    error(decoder_.open_error().message);
    return bad_input;
  }
  auto opened = open_dv_source(o_.input);
  if (!opened) {
    error(opened.error().message);
    return bad_input;
  }
  DvSource &reader = **opened;
  source_ = &reader;
  const SourceInfo &container = reader.info();
  if (o_.track_audio && !container.track_audio) {
    error(name_ + ": the " + container.container +
          " file has no sound track of its own; leave out --audio-from track");
    return bad_input;
  }
  if (!open_outputs()) return bad_input;
  if (!sounds_.empty() && container.track_audio && !o_.quiet)
    notice(o_.track_audio ? "sound from the " + container.container + " file's own sound track"
                          : "sound from the DV frames; the " + container.container +
                                " file's own sound track is left (--audio-from track takes it)");
  uint64_t index = reader.skip(o_.first);  // frames read or passed over
  for (;; ++index) {
    auto item = reader.next();
    if (!item) break;
    if (!*item) {
      error(name_ + ": " + item->error().message +
            (item->error().code == Errc::not_dv ? no_containers : ""));
      return bad_input;
    }
    if (index < o_.first) continue;
    if (index >= o_.end) break;
    if (!queue(std::move(**item), index, {})) return bad_input;
  }
  while (!pending_.empty())
    if (!emit_oldest()) return bad_input;
  progress_.finish();
  warnings_.summary();
  // Without --quiet the damage is told in the summary line at the end.
  if (tally_.any() && (o_.quiet || !stream_)) warning(name_ + ": damage: " + tally_.text());
  if (!stream_) {
    if (index == 0)
      error(name_ + ": not a DV stream (it is empty)");
    else if (index <= o_.first)
      error(name_ + ": no frames in the range " + o_.range_text + "; the file has " +
            std::to_string(index));
    else
      error(name_ + ": no frame could be decoded");
    return bad_input;
  }
  const bool finished = finish();
  if (o_.quiet) return finished ? ok : bad_input;
  if (!finished) {
    if (tally_.any()) warning(name_ + ": damage: " + tally_.text());
    return bad_input;
  }
  // What was decoded, how fast, and the damage met: a warning when there
  // was any, so that it shows as one.
  const double frame_seconds = stream_->system == TARSK_SYSTEM_625_50 ? 1.0 / 25 : 1001.0 / 30000;
  const std::string line =
      name_ + ": " + progress_.summary(emitted_, frame_seconds, system_name(stream_->system)) +
      "; damage: " + tally_.text();
  if (tally_.any())
    warning(line);
  else
    notice(line);
  return ok;
}

}  // namespace

int run_decode(int argc, const char **argv) {
  Options o;
  if (const Status usage = read_command_line(argc, argv, o); usage != ok) return usage;
  return Job(o).run();
}

}  // namespace tarsk::cli
