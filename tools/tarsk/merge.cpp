// tarsk merge: transfers of the same tape made into one with the least
// damage (the rule is merge.h's). The copies are read twice: first every
// frame's facts, which are small, then the frames the output takes, which
// are not kept, so that whole tapes need not fit in memory.
#include "merge.h"

#include <sys/stat.h>

#include <memory>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "cli.h"
#include "container.h"
#include "output.h"
#include "progress.h"
#include "transfer.h"

namespace tarsk::cli {

namespace {

using merge::CopyFrame;
using merge::OutFrame;

struct Options {
  std::vector<std::string> inputs;
  std::string output, log;
  DvForm form = DvForm::raw;
  bool quiet = false;
};

Status read_command_line(int argc, const char **argv, Options &o) {
  static const poptOption no_options[] = {POPT_TABLEEND};
  const poptOption table[] = {
      {"output", 'o', POPT_ARG_STRING, nullptr, 'o',
       "write OUT: raw DV (.dv, or - for standard output), AVI (.avi), QuickTime (.mov) or "
       "Matroska (.mkv)",
       "OUT"},
      {"log", '\0', POPT_ARG_STRING, nullptr, 'l',
       "write a CSV line per output frame (counted from 0): its copies, the copy it is based on, "
       "the video segments and audio blocks taken from each copy, and what is still damaged",
       "CSV"},
      {"quiet", 'q', POPT_ARG_NONE, nullptr, 'q', "no summary, warnings and errors only", nullptr},
      {nullptr, '\0', POPT_ARG_INCLUDE_TABLE, const_cast<poptOption *>(no_options), 0,
       "How the copies are merged:\n"
       "  Frames are aligned by absolute track number when every copy carries one on\n"
       "  most frames; else by recording time and time code; else by position. The\n"
       "  output holds every frame of any copy, in the first copy's order. A frame\n"
       "  comes whole from the first copy that has it clean; else from the least\n"
       "  damaged copy, with its damaged video segments and audio blocks taken from\n"
       "  copies that have them clean. The summary ends with the spots no copy has\n"
       "  clean, by time code and recording time, to be captured again.",
       nullptr},
      OVERWRITE_OPTIONS,
      POPT_AUTOHELP POPT_TABLEEND};
  ParsedArgs parsed;
  const Status status = parse_options(argc, argv, table, "A B [C...] -o OUT", parsed,
                                      [&](int key, const std::string &v) {
                                        if (key == 'o') o.output = v;
                                        if (key == 'l') o.log = v;
                                        if (key == 'q') o.quiet = true;
                                        return true;
                                      });
  if (status != ok) return status;
  if (parsed.args.size() < 2)
    return usage_error("merge", parsed.args.empty() ? "no files given: give two copies of a tape or more"
                                           : "one file given: give two copies of a tape or more");
  if (parsed.args.size() > 1000) return usage_error("merge", "at most 1000 copies");
  for (const std::string &in : parsed.args)
    if (in == "-") return usage_error("merge", "the copies are read twice: give files, not standard input");
  o.inputs = parsed.args;
  if (o.output.empty()) return usage_error("merge", "no output given: -o OUT");
  const auto form = dv_form_of(o.output);
  if (!form)
    return usage_error("merge", "cannot tell the form from the name " + o.output +
                       "; give OUT.dv (raw DV), .avi, .mov or .mkv");
  o.form = *form;
  if (o.log == "-" || (!o.log.empty() && o.log == o.output))
    return usage_error("merge", "the log needs a file of its own");
  return ok;
}

// A copy's frames read again, in order, when the output takes them; read
// from the start once more should they be asked for out of order.
class Rereader {
 public:
  explicit Rereader(std::string path) : path_(std::move(path)) {}
  // Frame `index` of the copy, which the first reading found at `offset`;
  // nothing after a message.
  const Frame *get(uint32_t index, uint64_t offset) {
    if (have_ && index == at_ - 1) return &frame_;
    if (!source_ || index < at_ - (have_ ? 1 : 0)) {
      auto source = open_dv_source(path_);
      if (!source) {
        error(source.error().message);
        return nullptr;
      }
      source_ = std::move(*source);
      at_ = 0;
      have_ = false;
    }
    while (at_ <= index) {
      auto item = source_->next();
      if (!item || !*item) {
        error(path_ + ": changed while it was merged (frame " + std::to_string(index) +
              (item ? ": " + item->error().message : " is no longer there") + ")");
        return nullptr;
      }
      frame_ = std::move(**item);
      have_ = true;
      ++at_;
    }
    if (frame_.offset != offset) {
      error(path_ + ": changed while it was merged (frame " + std::to_string(index) +
            " has moved)");
      return nullptr;
    }
    return &frame_;
  }

 private:
  std::string path_;
  std::unique_ptr<DvSource> source_;
  Frame frame_;
  bool have_ = false;
  uint32_t at_ = 0;  // frames read from the source
};

// A frame's time code and recording time as a person reads them.
FrameInfo labels_of(const CopyFrame &f) {
  FrameInfo info{};
  info.system = f.system;
  info.has_timecode = f.has_timecode;
  info.timecode = f.timecode_fields;
  info.has_recording_date = f.has_date;
  info.recording_date = f.date_fields;
  return info;
}

std::string plural(uint64_t n, const std::string &one, const std::string &many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

class Job {
 public:
  explicit Job(const Options &o) : o_(o) {}
  int run();

 private:
  bool read_facts();
  bool write_frames();
  bool write_frame(std::span<const uint8_t> bytes, const CopyFrame &base);
  std::string log_text() const;
  void summary() const;
  const CopyFrame &base_of(const OutFrame &f) const { return copies_[f.base][f.from[f.base]]; }

  const Options &o_;
  std::vector<std::vector<CopyFrame>> copies_;
  merge::Plan plan_;
  Decoder decoder_{quiet_settings()};
  std::unique_ptr<DvSink> out_;
  std::optional<tarsk_system> stream_;  // the system of the frames written
  int rate_ = 0, channels_ = 0;         // a container's PCM track
  uint64_t written_ = 0, left_out_ = 0, silent_ = 0, mixed_ = 0;
};

bool Job::read_facts() {
  copies_.resize(o_.inputs.size());
  Progress progress(!o_.quiet);  // frames read, of all copies
  uint64_t read = 0;
  for (size_t c = 0; c < o_.inputs.size(); ++c) {
    auto reader = TransferReader::open(o_.inputs[c]);
    if (!reader) {
      error(reader.error().message);
      return false;
    }
    std::vector<CopyFrame> &frames = copies_[c];
    while (auto item = (*reader)->next()) {
      if (!*item) {
        error((*reader)->name() + ": " + item->error().message);
        return false;
      }
      const ScannedFrame &scanned = **item;
      if (frames.size() >= merge::none) {
        error((*reader)->name() + ": too many frames to merge");
        return false;
      }
      frames.push_back(
          merge::describe(*scanned.frame, scanned.readable ? &scanned.facts : nullptr));
      progress.update(++read);
    }
    if (frames.empty()) {
      error((*reader)->name() + ": not a DV stream (it is empty)");
      return false;
    }
  }
  progress.finish();
  return true;
}

// Writes a frame; a container's PCM track gets its sound. A container holds
// frames of one system with readable headers: others are left out.
bool Job::write_frame(std::span<const uint8_t> bytes, const CopyFrame &base) {
  if (o_.form == DvForm::raw) {
    if (!stream_) {
      stream_ = base.system;
      if (!out_->start({base.system, TARSK_SAMPLING_420, false, 0, 0, {}})) return false;
    }
    ++written_;
    return out_->write(bytes, {});
  }
  auto decoded = decoder_.decode_frame(Bytes(bytes.data(), bytes.size()), nullptr, false, true);
  if (!decoded || (stream_ && decoded->info.system != *stream_)) {
    ++left_out_;
    return true;
  }
  const FrameInfo &info = decoded->info;
  const Audio *audio = decoded->audio ? &*decoded->audio : nullptr;
  if (!stream_) {
    stream_ = info.system;
    if (audio != nullptr) {
      rate_ = audio->frequency;
      channels_ = static_cast<int>(audio->channels.size());
    }
    if (!out_->start({info.system, info.sampling, info.wide != 0, rate_, channels_,
                      timecode_text(info)}))
      return false;
  }
  std::vector<int16_t> sound;
  if (channels_ > 0) {
    bool taken = false;
    sound = track_sound(audio, rate_, channels_, info.system, written_, &taken);
    silent_ += !taken;
  }
  ++written_;
  return out_->write(bytes, sound);
}

bool Job::write_frames() {
  std::vector<Rereader> readers;
  for (const std::string &in : o_.inputs) readers.emplace_back(in);
  std::vector<uint8_t> bytes;
  std::vector<std::span<const uint8_t>> sources(copies_.size());
  Progress progress(!o_.quiet);  // frames written
  progress.set_total(plan_.frames.size());
  uint64_t done = 0;
  for (const OutFrame &f : plan_.frames) {
    progress.update(done++);
    mixed_ += f.other_systems;
    const Frame *base = readers[f.base].get(f.from[f.base], base_of(f).offset);
    if (base == nullptr) return false;
    bytes = base->bytes;
    if (!f.patches.empty()) {
      std::fill(sources.begin(), sources.end(), std::span<const uint8_t>());
      for (const merge::Patch &p : f.patches) {
        if (!sources[p.copy].empty()) continue;
        const Frame *other =
            readers[p.copy].get(f.from[p.copy], copies_[p.copy][f.from[p.copy]].offset);
        if (other == nullptr) return false;
        sources[p.copy] = other->bytes;
      }
      if (!merge::mend(f, bytes, sources)) {
        error(o_.inputs[f.base] + ": changed while it was merged (a frame of another size)");
        return false;
      }
    }
    if (!write_frame(bytes, base_of(f))) return false;
  }
  progress.finish();
  return true;
}

std::string Job::log_text() const {
  std::string text = "frame,timecode,recorded,copies,base";
  for (size_t c = 1; c <= copies_.size(); ++c)
    text += ",segments_from_" + std::to_string(c) + ",audio_from_" + std::to_string(c);
  text += ",damaged_segments,damaged_audio\n";
  std::vector<int> segments(copies_.size()), audio(copies_.size());
  for (size_t i = 0; i < plan_.frames.size(); ++i) {
    const OutFrame &f = plan_.frames[i];
    const FrameInfo info = labels_of(base_of(f));
    std::string copies;
    for (size_t c = 0; c < copies_.size(); ++c)
      if (f.from[c] != merge::none) copies += (copies.empty() ? "" : " ") + std::to_string(c + 1);
    text += std::to_string(i) + "," + timecode_text(info) + "," + recorded_label(info) + "," +
            copies + "," + std::to_string(f.base + 1);
    std::fill(segments.begin(), segments.end(), 0);
    std::fill(audio.begin(), audio.end(), 0);
    for (const merge::Patch &p : f.patches) ++(p.audio ? audio : segments)[p.copy];
    for (size_t c = 0; c < copies_.size(); ++c)
      text += "," + std::to_string(segments[c]) + "," + std::to_string(audio[c]);
    text += "," + std::to_string(f.left_segment_count()) + "," +
            std::to_string(f.left_audio_count()) + "\n";
  }
  return text;
}

void Job::summary() const {
  notice("merge: " + plural(plan_.frames.size(), "frame", "frames") + " from " +
         std::to_string(copies_.size()) + " copies, aligned by " +
         merge::alignment_text(plan_.alignment) +
         (plan_.alignment == merge::Alignment::time && plan_.by_date ? " and recording time" : ""));
  std::vector<uint64_t> whole(copies_.size());
  uint64_t mended = 0, damaged = 0, segments = 0, audio = 0, taken = 0;
  for (const OutFrame &f : plan_.frames) {
    whole[f.base] += f.whole;
    mended += !f.patches.empty();
    taken += f.patches.size();
    damaged += f.damaged();
    segments += static_cast<uint64_t>(f.left_segment_count());
    audio += static_cast<uint64_t>(f.left_audio_count());
  }
  for (size_t c = 0; c < copies_.size(); ++c)
    notice("merge: copy " + std::to_string(c + 1) + " (" + o_.inputs[c] +
           "): " + plural(copies_[c].size(), "frame", "frames") + ", " + std::to_string(whole[c]) +
           " taken whole");
  notice("merge: " + plural(mended, "frame", "frames") + " mended from several copies (" +
         plural(taken, "part", "parts") + " taken over), " + plural(damaged, "frame", "frames") +
         " still damaged");
  if (damaged == 0) return;
  notice("merge: no copy has clean " + plural(segments, "video segment", "video segments") +
         " and " + plural(audio, "audio block", "audio blocks") + ", at:");
  for (size_t i = 0; i < plan_.frames.size();) {
    if (!plan_.frames[i].damaged()) {
      ++i;
      continue;
    }
    size_t end = i;
    int s = 0, a = 0;
    for (; end < plan_.frames.size() && plan_.frames[end].damaged(); ++end) {
      s += plan_.frames[end].left_segment_count();
      a += plan_.frames[end].left_audio_count();
    }
    const FrameInfo first = labels_of(base_of(plan_.frames[i]));
    const FrameInfo last = labels_of(base_of(plan_.frames[end - 1]));
    std::string where = end - i == 1
                            ? "frame " + std::to_string(i)
                            : "frames " + std::to_string(i) + "-" + std::to_string(end - 1);
    FirstLast timecode, recorded;
    for (const FrameInfo *info : {&first, &last}) {
      timecode.add(timecode_text(*info));
      recorded.add(recorded_label(*info));
    }
    if (!timecode.first.empty()) where += ", time code " + timecode.text(" to ", "");
    if (!recorded.first.empty()) where += ", recorded " + recorded.text(" to ", "");
    notice("merge:   " + where + ": " +
           plural(static_cast<uint64_t>(s), "video segment", "video segments") + ", " +
           plural(static_cast<uint64_t>(a), "audio block", "audio blocks"));
    i = end;
  }
}

int Job::run() {
  if (!decoder_) {
    error(decoder_.open_error().message);
    return bad_input;
  }
  for (const std::string &path : {o_.output, o_.log})
    if (!path.empty() && !may_write(path)) return bad_input;
  if (!read_facts()) return bad_input;
  plan_ = merge::plan(copies_);
  out_ = open_dv_sink(o_.output, o_.form);
  if (!out_) return bad_input;
  if (!write_frames()) return bad_input;
  if (written_ == 0) {
    error(o_.output + ": no frame the container can hold (their header blocks cannot be read)");
    return bad_input;
  }
  if (mixed_ > 0)
    warning(plural(mixed_, "frame", "frames") + " held in another system by some copy; " +
            "those copies left out of them");
  if (left_out_ > 0)
    warning(plural(left_out_, "frame", "frames") + " of another system than the first, or " +
            "whose header blocks cannot be read, left out: a container holds frames of one size "
            "and rate");
  if (silent_ > 0)
    warning(plural(silent_, "frame has", "frames have") +
            " no sound the container's track can take; silence in its place");
  OutputFile log;
  if (!o_.log.empty()) {
    const std::string text = log_text();
    if (!log.open(o_.log) ||
        !log.write(std::span(reinterpret_cast<const uint8_t *>(text.data()), text.size())))
      return bad_input;
  }
  if (!out_->commit()) return bad_input;
  if (!o_.log.empty() && !log.commit()) return bad_input;
  if (!o_.quiet) summary();
  return ok;
}

}  // namespace

int run_merge(int argc, const char **argv) {
  Options o;
  if (const Status usage = read_command_line(argc, argv, o); usage != ok) return usage;
  return Job(o).run();
}

}  // namespace tarsk::cli
