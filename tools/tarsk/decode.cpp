// tarsk decode: a DV file into pictures (Y4M, raw YUY2 or RGB, PNG or PPM)
// and sound (WAV or raw PCM). Every frame of the chosen range gives one
// picture and one frame's worth of sound, so that the outputs stay in step
// with the source even where frames are damaged.
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <tarsk/tarsk.hpp>
#include <thread>
#include <vector>

#include "cli.h"
#include "container.h"
#include "damage.h"
#include "formats.h"
#include "output.h"
#include "progress.h"

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
  std::optional<NamePattern> pattern;  // png and ppm: a file per frame
  std::string audio;                   // empty: no sound written
  bool wav = true;
  uint64_t first = 0, end = UINT64_MAX;  // frames [first, end)
  std::string range_text;
  bool strict = false, quiet = false;
  bool conceal = true;  // damaged macroblocks show the previous picture's
  bool track_audio = false;  // sound from the container's own track, not the DV frames
  // One per core: the pictures are the same whatever the number.
  int threads = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
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

bool handle_option(int key, const std::string &value, Options &o, std::string &format) {
  switch (key) {
    case 'o':
      o.output = value;
      return true;
    case 'F':
      format = value;
      return format_named(value) ? true
                                 : usage_error("unknown format '" + value +
                                               "'; the formats are y4m, yuy2, rgb, png, ppm, "
                                               "nut, mkv, avi and null");
    case 'a':
      o.audio = value;
      return true;
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

// Checks the library's decoder options after popt has read them and before
// the library's own checks run: those end the process with status 255, where
// a bad value on the command line deserves the usual usage status. A bad
// value is reported and replaced by the default, so that the library's
// checks pass and parsing comes to its end.
struct LibraryOptions {
  dv_decoder_t *dv;
  bool bad = false;
};

void check_value(LibraryOptions &lib, int &value, int low, int high, const char *name) {
  if (value >= low && value <= high) return;
  error("decode: --" + std::string(name) + " takes " + std::to_string(low) + " to " +
        std::to_string(high) + ", not " + std::to_string(value));
  value = low == 1 ? high : low;
  lib.bad = true;
}

void check_library_options(poptContext, poptCallbackReason, const poptOption *, const char *,
                           const void *data) {
  auto &lib = *static_cast<LibraryOptions *>(const_cast<void *>(data));
  dv_decoder_t *dv = lib.dv;
  check_value(lib, dv->arg_video_system, 0, 3, "video-system");
  check_value(lib, dv->video->arg_block_quality, 1, 3, "quality");
  check_value(lib, dv->audio->arg_audio_frequency, 0, 3, "frequency");
  check_value(lib, dv->audio->arg_audio_quantization, 0, 2, "quantization");
  check_value(lib, dv->audio->arg_audio_emphasis, 0, 2, "emphasis");
  check_value(lib, dv->add_ntsc_setup, 0, 1, "ntsc-setup");
}

// Reads the command line into `o` and the decoder's own settings into
// `decoder`. Returns ok or bad_usage.
Status read_command_line(int argc, const char **argv, Options &o, Decoder &decoder) {
  dv_decoder_t *dv = decoder.get();
  LibraryOptions lib{dv};
  // popt calls a table's callbacks in table order: this one, alone in its
  // table, runs before the library's.
  const poptOption check_table[] = {{nullptr, '\0', POPT_ARG_CALLBACK | POPT_CBFLAG_POST,
                                     reinterpret_cast<void *>(check_library_options), 0,
                                     reinterpret_cast<const char *>(&lib), nullptr},
                                    POPT_TABLEEND};
  const poptOption table[] = {
      {"output", 'o', POPT_ARG_STRING, nullptr, 'o',
       "write the pictures to OUT; - is standard output", "OUT"},
      {"format", 'F', POPT_ARG_STRING, nullptr, 'F',
       "y4m, yuy2, rgb, png, ppm; nut, mkv or avi: the pictures (at the stream's sampling) and "
       "the sound in one file; or null to decode and write nothing; by default from OUT's "
       "extension, y4m on standard output",
       "FORMAT"},
      {"audio", 'a', POPT_ARG_STRING, nullptr, 'a', "write the sound to OUT", "OUT"},
      {"audio-format", '\0', POPT_ARG_STRING, nullptr, 'A',
       "wav [default], or pcm: raw 16-bit little-endian samples", "wav|pcm"},
      {"audio-from", '\0', POPT_ARG_STRING, nullptr, 'T',
       "dv: the sound in the DV frames [default]; track: the container's own sound track "
       "(AVI type 2, QuickTime, Matroska)",
       "dv|track"},
      {"frames", '\0', POPT_ARG_STRING, nullptr, 'n',
       "decode frame N only, or frames A up to B (B not included), counted from 0", "N|A:B"},
      {"strict", '\0', POPT_ARG_NONE, nullptr, 's',
       "fail at any damage (bytes skipped to find frames, missing blocks, damaged macroblocks, "
       "missing sound, a cut-short end) and leave no output, instead of warning",
       nullptr},
      {"no-conceal", '\0', POPT_ARG_NONE, nullptr, 'c',
       "decode damaged macroblocks as they are, instead of showing the previous picture's there",
       nullptr},
      {"quiet", '\0', POPT_ARG_NONE, nullptr, 'z', "show no progress line", nullptr},
      {"threads", 't', POPT_ARG_STRING, nullptr, 't',
       "decode N frames at once on N threads [the number of cores]; the pictures are the same",
       "N"},
      {nullptr, '\0', POPT_ARG_INCLUDE_TABLE, const_cast<poptOption *>(check_table), 0, nullptr,
       nullptr},
      {nullptr, '\0', POPT_ARG_INCLUDE_TABLE, dv->option_table, 0, "Decoder options:", nullptr},
      POPT_AUTOHELP POPT_TABLEEND};

  std::string format;
  ParsedArgs parsed;
  const Status status = parse_options(
      argc, argv, table, "FILE [OPTION...]", parsed,
      [&](int key, const std::string &value) { return handle_option(key, value, o, format); });
  if (status != ok) return status;  // popt's or the handler's message is out
  bool good = !lib.bad;
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
  // The library's callbacks turn the quality options into flags in the
  // video record; frame decoding reads them from the decoder itself.
  dv->quality = dv->video->quality;
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

class Job {
 public:
  Job(const Options &o, Decoder &decoder)
      : o_(o),
        decoder_(decoder),
        pipeline_(o.threads, FramePipeline::Settings{decoder.get()->quality, colour_space(),
                                                     decoder.get()->add_ntsc_setup != 0,
                                                     decoder.get()->clamp_luma != 0,
                                                     decoder.get()->clamp_chroma != 0,
                                                     decoder.get()->arg_video_system,
                                                     o.conceal}) {
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
    FrameInfo info{};
    std::optional<Expected<Audio>> audio;  // when sound is wanted
    std::vector<uint8_t> picture;
  };

  bool open_outputs();
  bool queue(std::optional<Frame> frame, uint64_t index, std::string damage);
  bool emit_oldest();
  bool on_frame(Pending &p, Expected<PictureDamage> decoded);
  bool on_damage(uint64_t index, const std::string &what);
  bool on_damaged(uint64_t index, const std::string &why);
  bool start(const FrameInfo &info, const Audio *audio);
  bool emit_picture();
  bool emit_sound(const Audio *audio, uint64_t index);
  bool finish();
  std::string where(uint64_t index) const { return name_ + ": frame " + std::to_string(index); }
  dv_color_space_t colour_space() const {
    return o_.format == Format::rgb || o_.format == Format::png || o_.format == Format::ppm
               ? e_dv_color_rgb
               : e_dv_color_yuv;
  }
  bool wants_sound() const {
    return (!o_.audio.empty() || o_.format == Format::null || media_form(o_.format)) &&
           !o_.track_audio;
  }
  bool write_track_audio();
  bool emit_media_sound(const Audio *audio);

  const Options &o_;
  Decoder &decoder_;
  DvSource *source_ = nullptr;
  std::string name_ = o_.input == "-" ? "standard input" : o_.input;
  Progress progress_{!o_.quiet};
  FrameWarnings warnings_;
  DamageTally tally_;

  std::unique_ptr<OutputFile> video_file_, audio_file_;
  std::unique_ptr<MediaSink> media_;  // pictures and sound in one file
  int media_rate_ = 0, media_channels_ = 0;
  std::optional<AudioWriter> sound_;

  std::optional<FrameInfo> stream_;  // the first good frame's
  std::vector<uint8_t> picture_;     // the last picture decoded
  std::vector<uint8_t> bytes_;       // a Y4M frame or a picture file
  uint64_t emitted_ = 0;             // frames written out
  uint64_t waiting_ = 0;             // damaged frames before the first good one
  uint64_t silent_ = 0;              // frames without sound before the sound starts

  // Positions read and not yet written out, in stream order, and picture
  // buffers to reuse. The pipeline decodes into the buffers of pending_, so
  // it comes last: it is destroyed first and its threads stop before the
  // buffers go.
  std::deque<Pending> pending_;
  std::vector<std::vector<uint8_t>> spare_;
  FramePipeline pipeline_;
};

bool Job::open_outputs() {
  if (const auto form = media_form(o_.format)) {
    media_ = open_media_sink(o_.output, *form);
    if (!media_) return false;
  } else if (!o_.output.empty() && !o_.pattern) {
    video_file_ = std::make_unique<OutputFile>();
    if (!video_file_->open(o_.output)) return false;
  }
  if (!o_.audio.empty()) {
    audio_file_ = std::make_unique<OutputFile>();
    if (!audio_file_->open(o_.audio)) return false;
    sound_.emplace(audio_file_->stream(), o_.wav);
  }
  return true;
}

// The first good frame fixes what the outputs hold: the picture's size and
// layout, the Y4M header, and the frame count the progress line aims at.
bool Job::start(const FrameInfo &info, const Audio *audio) {
  stream_ = info;
  picture_.assign(static_cast<size_t>(info.width) * static_cast<size_t>(info.height) *
                      Decoder::bytes_per_pixel(colour_space()),
                  0);
  struct stat st {};
  if (o_.input != "-" && stat(o_.input.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    const uint64_t frames = static_cast<uint64_t>(st.st_size) / frame_bytes(info.system);
    progress_.set_total(std::min(frames, o_.end) - std::min(frames, o_.first));
  }
  if (o_.format == Format::y4m) {
    const std::string header = y4m_header(
        Yuy2Picture{info.system, info.sampling, info.width, info.height, info.wide, picture_});
    return video_file_->write({reinterpret_cast<const uint8_t *>(header.data()), header.size()});
  }
  if (media_) {
    // The first frame's sound sets the track; without any, DV's usual 48 kHz stereo.
    media_rate_ = audio != nullptr ? audio->frequency : 48000;
    media_channels_ = audio != nullptr ? static_cast<int>(audio->channels.size()) : 2;
    return media_->start(info.system, info.sampling, info.wide, media_rate_, media_channels_);
  }
  return true;
}

bool Job::emit_picture() {
  const FrameInfo &v = *stream_;
  const uint64_t index = o_.first + emitted_;
  switch (o_.format) {
    case Format::null:
      return true;
    case Format::nut:
    case Format::mkv:
    case Format::avi:
      bytes_.clear();
      y4m_frame(Yuy2Picture{v.system, v.sampling, v.width, v.height, v.wide, picture_}, bytes_);
      return media_->write_picture(std::span<const uint8_t>(bytes_).subspan(6));  // after "FRAME\n"
    case Format::y4m:
      bytes_.clear();
      y4m_frame(Yuy2Picture{v.system, v.sampling, v.width, v.height, v.wide, picture_}, bytes_);
      return video_file_->write(bytes_);
    case Format::yuy2:
    case Format::rgb:
      return video_file_->write(picture_);
    case Format::png:
    case Format::ppm:
      bytes_ = o_.format == Format::png ? png_encode(v.width, v.height, picture_)
                                        : ppm_encode(v.width, v.height, picture_);
      return o_.pattern ? write_file(o_.pattern->format(index), bytes_)
                        : video_file_->write(bytes_);
  }
  return true;
}

// The container's own sound as it has come so far, written as it is.
bool Job::write_track_audio() {
  const SourceInfo &s = source_->info();
  if (!sound_->started() && !sound_->start(s.track_rate, s.track_channels))
    return audio_file_->failed();
  const std::vector<int16_t> samples = source_->take_track_audio();
  const auto channels = static_cast<size_t>(s.track_channels);
  std::vector<std::vector<int16_t>> planes(channels);
  for (size_t i = 0; i < samples.size(); ++i) planes[i % channels].push_back(samples[i]);
  return sound_->write(planes, samples.size() / channels) || audio_file_->failed();
}

// A frame's sound in the pictures' file: its samples, or silence as long as
// its share when it has none of the track's rate and channels.
bool Job::emit_media_sound(const Audio *audio) {
  return media_->write_sound(
      track_sound(audio, media_rate_, media_channels_, stream_->system, emitted_));
}

// A frame's samples, or silence as long as its share of the sound when it
// has none that can be decoded. Until a frame with sound comes, frames
// without are only counted: the sound's rate is not known yet.
bool Job::emit_sound(const Audio *audio, uint64_t index) {
  if (media_ && !emit_media_sound(audio)) return false;
  if (!sound_) return true;
  if (o_.track_audio) return write_track_audio();
  if (audio != nullptr && !sound_->started()) {
    if (!sound_->start(audio->frequency, static_cast<int>(audio->channels.size())) ||
        !sound_->silence(samples_before(silent_, audio->frequency, stream_->system)))
      return audio_file_->failed();
  }
  if (audio != nullptr && audio->frequency != sound_->frequency()) {
    warnings_.add(where(index) + ": its sound changes to " + std::to_string(audio->frequency) +
                  " Hz; silence in its place");
    audio = nullptr;
  }
  if (!sound_->started()) {
    ++silent_;
    return true;
  }
  const int f = sound_->frequency();
  const bool written =
      audio != nullptr
          ? sound_->write(audio->channels, audio->channels.empty() ? 0 : audio->channels[0].size())
          : sound_->silence(samples_before(emitted_ + 1, f, stream_->system) -
                            samples_before(emitted_, f, stream_->system));
  return written || audio_file_->failed();
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
// pipeline; then writes out the oldest positions while every thread has a
// frame (a damaged position at the front needs no thread).
bool Job::queue(std::optional<Frame> frame, uint64_t index, std::string damage) {
  if (frame && !on_damage(index, tally_.add_read(*frame))) return false;
  Pending &p = pending_.emplace_back();
  p.index = index;
  if (frame) {
    auto info = decoder_.parse(frame->span());
    if (info) {
      p.info = *info;
      if (wants_sound()) {
        p.audio = decoder_.decode_audio(frame->span());
        const int failed = *p.audio ? dv_frame_has_audio_errors(decoder_.get()) : 0;
        if (failed > 0) {
          tally_.failed_audio_blocks += static_cast<uint64_t>(failed);
          if (!on_damage(index, std::to_string(failed) + " damaged audio block" +
                                    (failed == 1 ? "" : "s") + " concealed"))
            return false;
        }
      }
      if (!spare_.empty()) {
        p.picture = std::move(spare_.back());
        spare_.pop_back();
      }
      p.picture.resize(static_cast<size_t>(info->width) * static_cast<size_t>(info->height) *
                       Decoder::bytes_per_pixel(colour_space()));
      p.frame = std::move(frame);
      if (auto submitted = pipeline_.submit(p.frame->span(), p.picture); !submitted) {
        error(where(index) + ": " + submitted.error().message);
        return false;
      }
    } else {
      damage = info.error().message;
    }
  }
  p.damage = std::move(damage);
  while (!pending_.empty() &&
         (!pending_.front().frame || pipeline_.in_flight() >= pipeline_.depth()))
    if (!emit_oldest()) return false;
  return true;
}

bool Job::emit_oldest() {
  Pending p = std::move(pending_.front());
  pending_.pop_front();
  if (!p.frame) ++tally_.unreadable_frames;
  const bool done = p.frame ? on_frame(p, pipeline_.collect()) : on_damaged(p.index, p.damage);
  spare_.push_back(std::move(p.picture));
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
  picture_.swap(p.picture);
  // Damaged frames before the first good one had no picture to show: they
  // show its picture, with silence.
  for (; first && waiting_ > 0; --waiting_, ++emitted_)
    if (!emit_picture() || !emit_sound(nullptr, o_.first + emitted_)) return false;
  const bool done = emit_picture() && emit_sound(audio ? &*audio : nullptr, p.index);
  ++emitted_;
  return done;
}

bool Job::finish() {
  if (sound_ && o_.track_audio && !write_track_audio()) return false;
  if (sound_ && !sound_->started()) {
    error(name_ + ": no frame has sound that can be decoded; no sound written");
    return false;
  }
  if (sound_ && !sound_->finish()) return audio_file_->failed();
  if (media_ && !media_->commit()) return false;
  if (video_file_ && !video_file_->commit()) return false;
  if (audio_file_ && !audio_file_->commit()) return false;
  return true;
}

int Job::run() {
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
  if (sound_ && container.track_audio && !o_.quiet)
    notice(o_.track_audio ? "sound from the " + container.container + " file's own sound track"
                          : "sound from the DV frames; the " + container.container +
                                " file's own sound track is left (--audio-from track takes it)");
  uint64_t index = 0;  // frames read
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
  if (tally_.any()) warning(name_ + ": damage: " + tally_.text());
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
  return finish() ? ok : bad_input;
}

}  // namespace

int run_decode(int argc, const char **argv) {
  Decoder decoder;
  if (!decoder) {
    error("out of memory");
    return bad_input;
  }
  dv_set_error_log(decoder.get(), nullptr);  // damage is reported here, frame by frame
  Options o;
  if (const Status usage = read_command_line(argc, argv, o, decoder); usage != ok) return usage;
  return Job(o, decoder).run();
}

}  // namespace tarsk::cli
