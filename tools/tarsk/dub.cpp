// tarsk dub: a DV file with new sound. Every frame keeps its video, header,
// subcode and VAUX blocks byte for byte; only its audio blocks are written
// again, with the frame's share of the new sound (the locked count of its
// number at the sound's rate) and a source pack for it, while the AAUX
// source control, recording date and recording time packs the recorder
// wrote stay (their recording start and end flags mark where recordings
// begin). With 12-bit sound in the original, --pair 2 dubs the second
// stereo pair only and keeps the first, as camcorders' audio dub does.
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "audio_in.h"
#include "cli.h"
#include "container.h"
#include "progress.h"

namespace tarsk::cli {

namespace {

struct Options {
  std::string input, output;
  std::vector<std::string> audio;
  DvForm form = DvForm::raw;
  int bits = 16;
  int pair = 0;  // --pair: 0 the whole sound, 2 the second pair only
  bool quiet = false;
};

Status read_command_line(int argc, const char **argv, Options &o) {
  const poptOption table[] = {
      {"audio", '\0', POPT_ARG_STRING, nullptr, 'a',
       "the new sound: WAV, AIFF or FLAC at 48, 44.1 or 32 kHz, mono or stereo; with "
       "--audio-bits 12 (32 kHz) twice for two stereo pairs, or once with four channels",
       "FILE"},
      {"output", 'o', POPT_ARG_STRING, nullptr, 'o',
       "write OUT: raw DV (.dv, or - for standard output), AVI (.avi), QuickTime (.mov) or "
       "Matroska (.mkv)",
       "OUT"},
      {"audio-bits", '\0', POPT_ARG_STRING, nullptr, 'b',
       "the new sound in 16-bit linear samples, or 12-bit non-linear at 32 kHz [16]", "16|12"},
      {"pair", '\0', POPT_ARG_STRING, nullptr, 'p',
       "2: put the new stereo sound into the second pair of 12-bit sound and keep the "
       "original's first pair (12 bits and the original's sample counts) [the whole sound]",
       "2"},
      {"quiet", 'q', POPT_ARG_NONE, nullptr, 'z',
       "no progress line and no summary at the end (warnings and errors still show)", nullptr},
      OVERWRITE_OPTIONS,
      POPT_AUTOHELP POPT_TABLEEND};
  ParsedArgs parsed;
  const Status status =
      parse_options(argc, argv, table, "IN -o OUT --audio SOUND [OPTION...]", parsed,
                    [&](int key, const std::string &v) {
                      switch (key) {
                        case 'a':
                          o.audio.push_back(v);
                          return true;
                        case 'o':
                          o.output = v;
                          return true;
                        case 'b': {
                          const auto i = word_value("dub", "audio-bits", v, {"16", "12"});
                          if (i) o.bits = *i == 0 ? 16 : 12;
                          return i.has_value();
                        }
                        case 'p':
                          if (!word_value("dub", "pair", v, {"2"})) return false;
                          o.pair = 2;
                          return true;
                        case 'z':
                          o.quiet = true;
                          return true;
                        default:
                          return false;
                      }
                    });
  if (status != ok) return status;
  if (parsed.args.size() != 1)
    return usage_error("dub", parsed.args.empty() ? "no file given" : "one file at a time");
  o.input = parsed.args[0];
  if (o.output.empty()) return usage_error("dub", "no output given: -o OUT");
  if (o.audio.empty()) return usage_error("dub", "no sound given: --audio SOUND");
  const auto form = dv_form_of(o.output);
  if (!form)
    return usage_error("dub", "cannot tell the form from the name " + o.output +
                                  "; give OUT.dv (raw DV), .avi, .mov or .mkv");
  o.form = *form;
  if (o.pair == 2) o.bits = 12;  // the second pair is 12-bit sound's
  if (o.audio.size() > (o.bits == 12 && o.pair == 0 ? 2u : 1u))
    return usage_error(
        "dub", o.pair == 2    ? "--pair 2 takes one stereo --audio"
               : o.bits == 12 ? "12-bit sound is two stereo pairs at most: --audio twice at most"
                              : "16-bit sound is one stereo pair: --audio once (two pairs are "
                                "12-bit sound: --audio-bits 12)");
  const auto stdin_sound = std::count(o.audio.begin(), o.audio.end(), std::string("-"));
  if (stdin_sound > 1 || (o.input == "-" && stdin_sound > 0))
    return usage_error("dub", "only one input can come from standard input");
  return ok;
}

constexpr uint8_t aaux_source = 0x50;
constexpr int audio_blocks = TARSK_AUDIO_BLOCKS_PER_SEQUENCE;
constexpr size_t pack_at = 3, pack_bytes = 5;

int sequences(tarsk_system system) { return system == TARSK_SYSTEM_625_50 ? 12 : 10; }

// The packs of the original's audio blocks that stay: its source control
// (0x51), recording date (0x52) and time (0x53), wherever it has them,
// except over a slot that now holds the new source pack.
void keep_recorders_packs(const std::vector<uint8_t> &original, std::vector<uint8_t> &dubbed,
                          tarsk_system system) {
  for (int s = 0; s < sequences(system); ++s)
    for (int a = 0; a < audio_blocks; ++a) {
      const auto slot = static_cast<size_t>(tarsk_audio_block_offset(s, a)) + pack_at;
      const uint8_t id = original[slot];
      if (id >= 0x51 && id <= 0x53 && dubbed[slot] != aaux_source)
        std::memcpy(dubbed.data() + slot, original.data() + slot, pack_bytes);
    }
}

// The first half of the DIF sequences' audio blocks, which hold 12-bit
// sound's first pair, as the original has them.
void keep_first_pair(const std::vector<uint8_t> &original, std::vector<uint8_t> &dubbed,
                     tarsk_system system) {
  for (int s = 0; s < sequences(system) / 2; ++s)
    for (int a = 0; a < audio_blocks; ++a) {
      const auto at = static_cast<size_t>(tarsk_audio_block_offset(s, a));
      std::memcpy(dubbed.data() + at, original.data() + at, TARSK_DIF_BLOCK_BYTES);
    }
}

class Job {
 public:
  explicit Job(const Options &o) : o_(o) {}
  int run();

 private:
  bool open();
  bool start(const Frame &frame);
  bool dub(const Frame &frame, std::vector<uint8_t> &out);
  Encoder &encoder_for(tarsk_system system);
  bool frame_error(uint64_t index, const std::string &what) const;

  const Options &o_;
  std::string name_ = o_.input == "-" ? "standard input" : o_.input;
  std::unique_ptr<DvSource> source_;
  std::optional<SoundFiles> sound_;
  Decoder decoder_{quiet_settings()};
  // An encoder of each system, for the locked sample counts and the sound.
  std::array<std::optional<Encoder>, 2> encoders_;
  std::unique_ptr<DvSink> out_;
  std::optional<tarsk_system> system_;  // the first frame's
  int track_rate_ = 0, track_channels_ = 0;
  Progress progress_{!o_.quiet};
  uint64_t done_ = 0, as_read_ = 0;
  std::optional<uint64_t> sound_ended_;
};

bool Job::frame_error(uint64_t index, const std::string &what) const {
  error(name_ + ": frame " + std::to_string(index) + ": " + what);
  return false;
}

Encoder &Job::encoder_for(tarsk_system system) {
  std::optional<Encoder> &e = encoders_[system == TARSK_SYSTEM_625_50 ? 1 : 0];
  if (!e) {
    EncoderSettings s;
    s.system = system;
    s.threads = 1;
    e.emplace(s);
  }
  return *e;
}

bool Job::open() {
  if (!decoder_) {
    error(decoder_.open_error().message);
    return false;
  }
  auto files = SoundFiles::open(o_.audio, o_.bits);
  if (!files) {
    error(files.error().message);
    return false;
  }
  if (o_.pair == 2 && files->channels() != 2) {
    error(files->name(0) + ": four channels; --pair 2 takes one stereo pair");
    return false;
  }
  sound_.emplace(std::move(*files));
  auto source = open_dv_source(o_.input);
  if (!source) {
    error(source.error().message);
    return false;
  }
  source_ = std::move(*source);
  return true;
}

// The first frame fixes the container's PCM track and the total the
// progress line aims at.
bool Job::start(const Frame &frame) {
  system_ = frame.system;
  track_rate_ = sound_->rate();
  track_channels_ = o_.pair == 2 ? 4 : sound_->channels();
  uint64_t frames = source_->info().frames;
  struct stat st {};
  if (frames == 0 && source_->info().container == "raw DV" && o_.input != "-" &&
      stat(o_.input.c_str(), &st) == 0 && S_ISREG(st.st_mode))
    frames = static_cast<uint64_t>(st.st_size) / frame.bytes.size();
  progress_.set_total(frames);
  FrameInfo info{};
  if (auto got = decoder_.parse(frame.bytes)) info = *got;
  out_ = open_dv_sink(o_.output, o_.form);
  return out_ && out_->start({frame.system, info.sampling, info.wide != 0, track_rate_,
                              track_channels_, timecode_text(info)});
}

// The frame with its share of the new sound in `out`; a frame that cannot
// take it (repaired by the reader, or unreadable) goes out as read, with a
// warning, its share of the sound passed over. False after an error.
bool Job::dub(const Frame &frame, std::vector<uint8_t> &out) {
  const uint64_t index = done_;
  out = frame.bytes;
  Encoder &enc = encoder_for(frame.system);
  auto info = decoder_.parse(frame.bytes);
  int samples = enc.audio_samples(sound_->rate(), index);
  if (o_.pair == 2 && info) {
    if (info->audio_bits != 12 || info->audio_rate != 32000)
      return frame_error(
          index, "--pair 2 dubs the second pair of 12-bit sound; this frame has " +
                     (info->audio_rate == 0 ? std::string("no sound")
                                            : std::to_string(info->audio_bits) + "-bit sound"));
    samples = info->audio_samples;  // the first pair's, which both pairs share
  }
  auto pcm = sound_->next(static_cast<size_t>(samples));
  if (!pcm) {
    error(pcm.error().message);
    return false;
  }
  for (size_t i = 0; i < sound_->files(); ++i)
    if (sound_->ended(i) && !sound_ended_) sound_ended_ = index;
  const bool repaired = frame.missing_blocks > 0 || frame.cut_short;
  if (repaired || !info) {
    warning(name_ + ": frame " + std::to_string(index) + ": " +
            (repaired ? std::to_string(frame.missing_blocks) + " DIF blocks were missing"
                      : frame_problem(info.error())) +
            "; written as read, its sound not replaced");
    ++as_read_;
    return true;
  }
  std::vector<int16_t> sound = std::move(*pcm);
  int channels = sound_->channels();
  if (o_.pair == 2) {  // the new pair second, after a first that is put back below
    std::vector<int16_t> four(static_cast<size_t>(samples) * 4, 0);
    for (size_t i = 0; i < static_cast<size_t>(samples); ++i) {
      four[4 * i + 2] = sound[2 * i];
      four[4 * i + 3] = sound[2 * i + 1];
    }
    sound = std::move(four);
    channels = 4;
  }
  if (auto done = enc.encode_sound(sound.data(), sound.size(), channels, sound_->rate(), o_.bits,
                                   out.data(), out.size());
      !done)
    return frame_error(index, done.error().message);
  if (o_.pair == 2) keep_first_pair(frame.bytes, out, frame.system);
  keep_recorders_packs(frame.bytes, out, frame.system);
  return true;
}

int Job::run() {
  if (!open()) return bad_input;
  std::vector<uint8_t> out;
  uint64_t other = 0;
  while (auto item = source_->next()) {
    if (!*item) {
      error(name_ + ": " + item->error().message +
            (item->error().code == Errc::not_dv ? no_containers : ""));
      return bad_input;
    }
    const Frame &frame = **item;
    if (!system_ && !start(frame)) return bad_input;
    // A container holds frames of one size and rate.
    if (frame.system != *system_ && o_.form != DvForm::raw) {
      ++other;
      continue;
    }
    if (!dub(frame, out)) return bad_input;
    // The container's track: the sound as the dubbed frame carries it.
    std::vector<int16_t> track;
    if (o_.form != DvForm::raw) {
      auto audio = decoder_.decode_audio(out);
      track =
          track_sound(audio ? &*audio : nullptr, track_rate_, track_channels_, frame.system, done_);
    }
    if (!out_->write(out, track)) return bad_input;
    progress_.update(++done_);
  }
  progress_.finish();
  if (!system_) {
    error(name_ + ": not a DV stream (it is empty)");
    return bad_input;
  }
  if (other > 0)
    warning(name_ + ": " + std::to_string(other) + " frames of another system than the first " +
            "left out: a container holds frames of one size and rate");
  const std::string sound_name =
      sound_->files() == 1 ? sound_->name(0) : sound_->name(0) + " and " + sound_->name(1);
  if (sound_ended_)
    notice(sound_name + ": the sound runs out in frame " + std::to_string(*sound_ended_) + " of " +
           std::to_string(done_) + "; silence after it");
  if (!sound_ended_) {
    // A sample frame more of a file that has not ended says it is longer.
    if (auto more = sound_->next(1); !more) {
      error(more.error().message);
      return bad_input;
    }
    bool longer = false;
    for (size_t i = 0; i < sound_->files(); ++i) longer = longer || !sound_->ended(i);
    if (longer)
      notice(sound_name + ": longer than the " + std::to_string(done_) + " frames of " + name_ +
             "; the rest is left out");
  }
  if (as_read_ > 0)
    warning(name_ + ": " + std::to_string(as_read_) +
            " frames written as read, with their old sound");
  if (!out_->commit()) return bad_input;
  if (!o_.quiet) {
    const Rate rate = frame_rate(*system_);
    notice(
        (o_.output == "-" ? std::string("standard output") : o_.output) + ": " +
        progress_.summary(done_, static_cast<double>(rate.den) / rate.num, system_name(*system_)) +
        ", sound from " + sound_name);
  }
  return ok;
}

}  // namespace

int run_dub(int argc, const char **argv) {
  Options o;
  if (const Status usage = read_command_line(argc, argv, o); usage != ok) return usage;
  return Job(o).run();
}

}  // namespace tarsk::cli
