// tarsk remux: DV frames from one form into another (raw DV, AVI, QuickTime,
// Matroska) without decoding them, as archives rewrap captures: the frames
// go over byte for byte. A container's PCM track is made from the sound in
// the frames, at the first sound's rate and channels: later recordings'
// sound of another rate is resampled to it.
#include <optional>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "cli.h"
#include "container.h"
#include "tape_sound.h"

namespace tarsk::cli {

namespace {

struct Options {
  std::string input, output;
  DvForm form = DvForm::raw;
  bool quiet = false;
};

Status read_command_line(int argc, const char **argv, Options &o) {
  const poptOption table[] = {
      {"output", 'o', POPT_ARG_STRING, nullptr, 'o',
       "write OUT: raw DV (.dv, or - for standard output), AVI (.avi), QuickTime (.mov) or "
       "Matroska (.mkv)",
       "OUT"},
      OVERWRITE_OPTIONS,
      POPT_AUTOHELP POPT_TABLEEND};
  ParsedArgs parsed;
  const Status status =
      parse_options(argc, argv, table, "IN -o OUT", parsed, [&](int key, const std::string &v) {
        if (key == 'o') o.output = v;
        return true;
      });
  if (status != ok) return status;
  if (parsed.args.size() != 1)
    return usage_error("remux", parsed.args.empty() ? "no file given" : "one file at a time");
  o.input = parsed.args[0];
  if (o.output.empty()) return usage_error("remux", "no output given: -o OUT");
  const auto form = dv_form_of(o.output);
  if (!form)
    return usage_error("remux", "cannot tell the form from the name " + o.output +
                       "; give OUT.dv (raw DV), .avi, .mov or .mkv");
  o.form = *form;
  return ok;
}


class Job {
 public:
  explicit Job(const Options &o) : o_(o) {}
  int run();

 private:
  bool start(const FrameInfo &info, const Audio *audio);
  bool sound_of(const Audio *audio, uint64_t index, const FrameInfo &info);

  const Options &o_;
  std::string name_ = o_.input == "-" ? "standard input" : o_.input;
  Decoder decoder_{quiet_settings()};  // the frames' headers and sound
  std::unique_ptr<DvSink> out_;
  std::optional<FrameInfo> stream_;
  int rate_ = 0, channels_ = 0;  // the PCM track's, from the first frame with sound
  uint64_t silent_ = 0;          // frames whose sound is silence in the track
  // The track's sound, stretch by stretch, and a frame's on its way.
  std::optional<SoundLine> line_;
  SoundPlanes planes_;
  std::vector<int16_t> sound_;
};

bool Job::start(const FrameInfo &info, const Audio *audio) {
  stream_ = info;
  if (audio != nullptr) {
    rate_ = audio->frequency;
    channels_ = static_cast<int>(audio->channels.size());
    if (o_.form != DvForm::raw) line_.emplace(info.system, LineSettings{true, rate_, channels_});
  }
  return out_->start(
      {info.system, info.sampling, info.wide != 0, rate_, channels_, timecode_text(info)});
}

// A frame's sound for the track, interleaved into sound_: its samples
// (resampled where its recording has another rate than the track), or
// silence as long as its share when it has none.
bool Job::sound_of(const Audio *audio, uint64_t index, const FrameInfo &info) {
  sound_.clear();
  if (!line_) return true;
  SoundLine &line = *line_;
  const bool starts = line.starts_stretch(audio);
  planes_.clear();
  if (!line.add(audio, planes_)) {
    error(name_ + ": frame " + std::to_string(index) + ": " + line.problem());
    return false;
  }
  if (starts && (line.resampling() || line.stretch_channels() != line.channels())) {
    const std::string tc = timecode_text(info);
    notice(name_ + ": frame " + std::to_string(index) +
           (tc.empty() ? "" : " (time code " + tc + ")") + ": the sound changes to " +
           std::to_string(line.stretch_rate()) + " Hz, " + std::to_string(line.stretch_channels()) +
           " channels; in the track of " + o_.output + " at " + std::to_string(line.rate()) +
           " Hz, " + std::to_string(line.channels()) + " channels" +
           (line.resampling() ? ", resampled" : ""));
  }
  silent_ += audio == nullptr;
  interleave(planes_, channels_, sound_);
  return true;
}

int Job::run() {
  if (!decoder_) {
    error(decoder_.open_error().message);
    return bad_input;
  }
  auto source = open_dv_source(o_.input);
  if (!source) {
    error(source.error().message);
    return bad_input;
  }
  out_ = open_dv_sink(o_.output, o_.form);
  if (!out_) return bad_input;
  uint64_t index = 0, other = 0;
  while (auto item = (*source)->next()) {
    if (!*item) {
      error(name_ + ": " + item->error().message +
            (item->error().code == Errc::not_dv ? no_containers : ""));
      return bad_input;
    }
    const Frame &frame = **item;
    // The header and sound, the header blocks checked and parsed once.
    auto decoded = decoder_.decode_frame(frame.bytes, nullptr, false, true);
    if (!decoded) {
      error(name_ + ": frame " + std::to_string(frame.index) + ": " +
            frame_problem(decoded.error()));
      return bad_input;
    }
    const FrameInfo *info = &decoded->info;
    const Audio *audio = decoded->audio ? &*decoded->audio : nullptr;
    if (!stream_ && !start(*info, audio)) return bad_input;
    // A container holds frames of one size and rate.
    if (info->system != stream_->system && o_.form != DvForm::raw) {
      ++other;
      continue;
    }
    if (!sound_of(audio, index, *info) || !out_->write(frame.bytes, sound_)) return bad_input;
    ++index;
  }
  if (!stream_) {
    error(name_ + ": not a DV stream (it is empty)");
    return bad_input;
  }
  if (other > 0)
    warning(name_ + ": " + std::to_string(other) + " frames of another system than the first " +
            "left out: a container holds frames of one size and rate");
  if (silent_ > 0)
    warning(name_ + ": " + std::to_string(silent_) +
            " frames have no sound that can be decoded; silence in their place");
  // What the resampler still holds ends the track.
  if (line_) {
    planes_.clear();
    if (!line_->end_stretch(planes_)) {
      error(name_ + ": " + line_->problem());
      return bad_input;
    }
    interleave(planes_, channels_, sound_);
    if (!out_->write_sound(sound_)) return bad_input;
  }
  return out_->commit() ? ok : bad_input;
}

}  // namespace

int run_remux(int argc, const char **argv) {
  Options o;
  if (const Status usage = read_command_line(argc, argv, o); usage != ok) return usage;
  return Job(o).run();
}

}  // namespace tarsk::cli
