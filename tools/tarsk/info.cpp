// tarsk info: what a DV file holds, read from every frame: system,
// sampling, picture, rate, length, audio, time codes, recording dates and
// the damage found on the way.
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "cli.h"
#include "container.h"
#include "damage.h"
#include "transfer.h"

namespace tarsk::cli {

namespace {

struct FrameReport {
  uint64_t index = 0;
  std::string problem;             // why the frame could not be read; empty if it could
  std::string timecode, recorded;  // empty when the frame has none
  uint64_t offset = 0, skipped_bytes = 0;
  int missing_blocks = 0;
  int damaged_video_blocks = 0;  // flagged by the recorder
  int damaged_macroblocks = 0;   // flagged, missing or not parsing
  int failed_audio_blocks = 0;
  int audio_samples = -1;  // per channel; -1 when the audio cannot be decoded
};

struct AudioFormat {
  int frequency = 0, bits = 0, channels = 0;  // 0: none
  bool operator==(const AudioFormat &) const = default;
};

// A run of frames with the same settings and an unbroken time code and
// recording clock: one recording, or a part of one between changes.
struct Stretch {
  uint64_t first = 0, last = 0;  // frame numbers
  FrameInfo format{};
  AudioFormat audio;
  FirstLast timecode, recorded;
};

struct FileReport {
  std::string path;
  std::string error;  // the file could not be read as DV: nothing else is valid
  FrameInfo format{};
  uint64_t frames = 0;  // frames read, damaged ones included
  AudioFormat audio;
  FirstLast timecode, recorded;
  DamageTally damage;  // concealed off: info decodes no picture
  BreakFinder breaks;
  SourceInfo source;
  std::vector<Stretch> stretches;
  std::vector<FrameReport> frame_list;  // with --frames only
};


// A frame of other settings, or whose time code or recording clock does
// not run on, starts a new stretch.
constexpr unsigned stretch_breaks = break_settings | break_timecode | break_recording_time;

// Everything about one frame; the file's totals follow from it.
FrameReport examine(Decoder &decoder, const Frame &frame, FileReport &file) {
  FrameReport r;
  r.index = frame.index;
  r.offset = frame.offset;
  r.skipped_bytes = frame.skipped_bytes;
  r.missing_blocks = frame.missing_blocks;
  file.damage.add_read(frame);
  // The frame's header, the damage in its video and its sound, the header
  // blocks checked and parsed once.
  auto decoded = decoder.decode_frame(frame.bytes, nullptr, true, true);
  if (!decoded) {
    r.problem = frame_problem(decoded.error());
    ++file.damage.unreadable_frames;
    file.breaks.skip();
    return r;
  }
  const FrameInfo *parsed = &decoded->info;
  r.timecode = timecode_text(*parsed);
  r.recorded = recorded_label(*parsed);
  // Video blocks the recorder flagged; those the reader filled in are flagged too.
  r.damaged_video_blocks = parsed->flagged_video - frame.missing_video;
  r.damaged_macroblocks = decoded->damage.damaged_macroblocks;
  file.damage.add_picture(decoded->damage);
  AudioFormat audio_format;
  if (const auto &audio = decoded->audio) {
    r.failed_audio_blocks = audio->failed_blocks;
    r.audio_samples = audio->channels.empty() ? 0 : static_cast<int>(audio->channels[0].size());
    audio_format = {audio->frequency, audio->quantization,
                    static_cast<int>(audio->channels.size())};
  } else {
    ++file.damage.frames_without_audio;
  }
  file.damage.failed_audio_blocks += static_cast<uint64_t>(r.failed_audio_blocks);
  file.damage.flagged_video_blocks += static_cast<uint64_t>(r.damaged_video_blocks);
  file.timecode.add(r.timecode);
  file.recorded.add(r.recorded);

  if ((file.breaks.next(*parsed, false) & stretch_breaks) || file.stretches.empty()) {
    Stretch &s = file.stretches.emplace_back();
    s.first = frame.index;
    s.format = *parsed;
  }
  Stretch &s = file.stretches.back();
  s.last = frame.index;
  if (s.audio.frequency == 0) s.audio = audio_format;
  s.timecode.add(r.timecode);
  s.recorded.add(r.recorded);
  if (file.stretches.size() == 1) {
    file.format = s.format;
    file.audio = s.audio;
  }
  return r;
}

FileReport scan(const std::string &path, bool keep_frames) {
  FileReport file;
  file.path = path;
  file.damage.concealed = false;
  auto source = open_dv_source(path);
  if (!source) {
    // The message starts with the name, which the caller adds itself.
    const std::string &message = source.error().message;
    const std::string name = path == "-" ? "standard input" : path;
    file.error = message.rfind(name + ": ", 0) == 0 ? message.substr(name.size() + 2) : message;
    return file;
  }
  DvSource &reader = **source;
  Decoder decoder(quiet_settings());  // damage is counted, not logged
  if (!decoder) {
    file.error = decoder.open_error().message;
    return file;
  }
  while (auto item = reader.next()) {
    if (!*item) {
      file.error = item->error().message;
      if (item->error().code == Errc::not_dv) file.error += no_containers;
      return file;
    }
    ++file.frames;
    FrameReport r = examine(decoder, **item, file);
    if (keep_frames) file.frame_list.push_back(std::move(r));
  }
  file.source = reader.info();
  if (file.frames == 0)
    file.error = "not a DV stream (no frames)";
  else if (file.stretches.empty())
    file.error = "no frame could be read";
  return file;
}

// ---------------------------------------------------------------------------
// Text for a person.

std::string range_text(const FirstLast &range) { return range.text(" to ", "none"); }

std::string audio_text(const AudioFormat &a) {
  if (a.frequency == 0) return "none";
  return std::to_string(a.frequency) + " Hz, " + std::to_string(a.bits) + " bits, " +
         std::to_string(a.channels) + " channels";
}

void print_frame_line(const FrameReport &r) {
  if (!r.problem.empty()) {
    std::printf("  %7" PRIu64 "  %s\n", r.index, r.problem.c_str());
    return;
  }
  std::printf("  %7" PRIu64 "  %10" PRIu64 "  %-11s  %-19s  %7d  %9d  %9d  %9d  %7s\n", r.index,
              r.offset, r.timecode.empty() ? "-" : r.timecode.c_str(),
              r.recorded.empty() ? "-" : r.recorded.c_str(), r.missing_blocks,
              r.damaged_video_blocks, r.damaged_macroblocks, r.failed_audio_blocks,
              r.audio_samples < 0 ? "none" : std::to_string(r.audio_samples).c_str());
}

void print_stretch(const Stretch &s) {
  const FrameInfo &v = s.format;
  std::printf("    frames %" PRIu64 " to %" PRIu64 ": %s, %s, %s, audio %s\n", s.first, s.last,
              system_name(v.system).c_str(), sampling_name(v.sampling).c_str(),
              v.wide ? "16:9" : "4:3", audio_text(s.audio).c_str());
  std::printf("      time code %s, recorded %s\n", range_text(s.timecode).c_str(),
              range_text(s.recorded).c_str());
}

std::string container_text(const SourceInfo &s) {
  if (!s.track_audio) return s.container;
  return s.container + ", with a sound track of its own (" + std::to_string(s.track_rate) +
         " Hz, " + std::to_string(s.track_channels) +
         " channels) beside the sound in the DV frames";
}

void print_text(const FileReport &f) {
  const FrameInfo &v = f.format;
  const Rate rate = frame_rate(v.system);
  std::printf("%s\n", f.path == "-" ? "standard input" : f.path.c_str());
  std::printf("  container:   %s\n", container_text(f.source).c_str());
  std::printf("  system:      %s, %s\n", system_name(v.system).c_str(),
              standard_name(v.smpte_314m != 0).c_str());
  std::printf("  sampling:    %s\n", sampling_name(v.sampling).c_str());
  std::printf("  picture:     %dx%d, %s\n", v.width, v.height, v.wide ? "16:9" : "4:3");
  std::printf("  frame rate:  %s\n", rate.den == 1 ? "25 fps" : "29.97 fps (30000/1001)");
  std::printf("  frames:      %" PRIu64 " (%s)\n", f.frames,
              duration_text(f.frames, v.system).c_str());
  std::printf("  audio:       %s\n", audio_text(f.audio).c_str());
  if (f.stretches.size() == 1) {
    std::printf("  time code:   %s\n", range_text(f.timecode).c_str());
    std::printf("  recorded:    %s\n", range_text(f.recorded).c_str());
  } else {
    // Joined recordings, or settings that change: the lines above are the
    // first stretch's.
    std::printf("  stretches:   %zu\n", f.stretches.size());
    for (const Stretch &s : f.stretches) print_stretch(s);
  }
  std::printf("  damage:      %s\n", f.damage.text().c_str());
  if (f.frame_list.empty()) return;
  // Per frame: DIF blocks missing from the stream, video blocks flagged by
  // the recorder, damaged macroblocks, failed audio blocks, audio samples.
  std::printf(
      "\n    frame        byte  time code    recorded             missing    flagged  damaged mb"
      "  bad audio  samples\n");
  for (const FrameReport &r : f.frame_list) print_frame_line(r);
}

// ---------------------------------------------------------------------------
// JSON for programs.

std::string json_string(const std::string &s) {
  std::string out = "\"";
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", u);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string json_optional(const std::string &s) { return s.empty() ? "null" : json_string(s); }

std::string json_range(const FirstLast &r) {
  if (r.first.empty()) return "null";
  return "{\"first\": " + json_string(r.first) + ", \"last\": " + json_string(r.last) + "}";
}

std::string json_frame(const FrameReport &r) {
  std::string out = "{\"index\": " + std::to_string(r.index);
  if (!r.problem.empty()) return out + ", \"damaged\": " + json_string(r.problem) + "}";
  return out + ", \"offset\": " + std::to_string(r.offset) +
         ", \"skipped_bytes\": " + std::to_string(r.skipped_bytes) +
         ", \"missing_blocks\": " + std::to_string(r.missing_blocks) +
         ", \"timecode\": " + json_optional(r.timecode) +
         ", \"recorded\": " + json_optional(r.recorded) +
         ", \"damaged_video_blocks\": " + std::to_string(r.damaged_video_blocks) +
         ", \"damaged_macroblocks\": " + std::to_string(r.damaged_macroblocks) +
         ", \"failed_audio_blocks\": " + std::to_string(r.failed_audio_blocks) +
         ", \"audio_samples\": " +
         (r.audio_samples < 0 ? "null" : std::to_string(r.audio_samples)) + "}";
}

std::string json_audio(const AudioFormat &a) {
  if (a.frequency == 0) return "null";
  return "{\"frequency\": " + std::to_string(a.frequency) + ", \"bits\": " +
         std::to_string(a.bits) + ", \"channels\": " + std::to_string(a.channels) + "}";
}

std::string json_stretch(const Stretch &s) {
  const FrameInfo &v = s.format;
  return "{\"first_frame\": " + std::to_string(s.first) +
         ", \"last_frame\": " + std::to_string(s.last) +
         ", \"system\": " + json_string(v.system == TARSK_SYSTEM_625_50 ? "625/50" : "525/60") +
         ", \"sampling\": " + json_string(sampling_name(v.sampling)) +
         ", \"aspect\": " + json_string(v.wide ? "16:9" : "4:3") +
         ", \"audio\": " + json_audio(s.audio) + ", \"timecode\": " + json_range(s.timecode) +
         ", \"recorded\": " + json_range(s.recorded) + "}";
}

std::string json_file(const FileReport &f, bool with_frames) {
  std::string out = "  {\n    \"file\": " + json_string(f.path);
  if (!f.error.empty()) return out + ",\n    \"error\": " + json_string(f.error) + "\n  }";
  const FrameInfo &v = f.format;
  const Rate rate = frame_rate(v.system);
  auto field = [&out](const char *name, const std::string &value) {
    out += ",\n    \"" + std::string(name) + "\": " + value;
  };
  field("container", json_string(f.source.container));
  field("track_audio", f.source.track_audio
                           ? "{\"frequency\": " + std::to_string(f.source.track_rate) +
                                 ", \"channels\": " + std::to_string(f.source.track_channels) + "}"
                           : "null");
  field("system", json_string(v.system == TARSK_SYSTEM_625_50 ? "625/50" : "525/60"));
  field("standard", json_string(standard_name(v.smpte_314m != 0)));
  field("sampling", json_string(sampling_name(v.sampling)));
  field("width", std::to_string(v.width));
  field("height", std::to_string(v.height));
  field("aspect", json_string(v.wide ? "16:9" : "4:3"));
  field("frame_rate",
        "{\"num\": " + std::to_string(rate.num) + ", \"den\": " + std::to_string(rate.den) + "}");
  field("frame_count", std::to_string(f.frames));
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.3f",
                static_cast<double>(f.frames) * rate.den / rate.num);
  field("duration", seconds);
  field("audio", json_audio(f.audio));
  field("timecode", json_range(f.timecode));
  field("recorded", json_range(f.recorded));
  std::string stretches = "[";
  for (size_t i = 0; i < f.stretches.size(); ++i)
    stretches += std::string(i ? "," : "") + "\n      " + json_stretch(f.stretches[i]);
  field("stretches", stretches + "\n    ]");
  const DamageTally &d = f.damage;
  field("skipped_bytes", std::to_string(d.skipped_bytes));
  field("partial_frames", std::to_string(d.partial_frames));
  field("missing_blocks", std::to_string(d.missing_blocks));
  field("truncated", d.cut_short ? "true" : "false");
  field("damaged_frames", std::to_string(d.unreadable_frames));
  field("damaged_video_blocks", std::to_string(d.flagged_video_blocks));
  field("frames_with_damaged_macroblocks", std::to_string(d.damaged_frames));
  field("damaged_macroblocks", std::to_string(d.damaged_macroblocks));
  field("failed_audio_blocks", std::to_string(d.failed_audio_blocks));
  field("frames_without_audio", std::to_string(d.frames_without_audio));
  if (with_frames) {
    std::string list = "[";
    for (size_t i = 0; i < f.frame_list.size(); ++i)
      list += std::string(i ? "," : "") + "\n      " + json_frame(f.frame_list[i]);
    field("frames", list + (f.frame_list.empty() ? "]" : "\n    ]"));
  }
  return out + "\n  }";
}

}  // namespace

int run_info(int argc, const char **argv) {
  int json = 0, list_frames = 0;
  const poptOption table[] = {
      {"json", '\0', POPT_ARG_NONE, &json, 0, "JSON: an array with an object per file [text]",
       nullptr},
      {"frames", '\0', POPT_ARG_NONE, &list_frames, 0, "every frame, a line each [the file's summary only]", nullptr},
      POPT_AUTOHELP POPT_TABLEEND};
  ParsedArgs parsed;
  const Status usage = parse_options(argc, argv, table, "[OPTION...] FILE...", parsed,
                                     [](int, const std::string &) { return true; });
  if (usage != ok) return usage;
  if (parsed.args.empty()) return usage_error("info", "no file given");

  int status = ok;
  std::vector<std::string> objects;
  for (const std::string &path : parsed.args) {
    const FileReport report = scan(path, list_frames != 0);
    if (!report.error.empty()) {
      error((path == "-" ? "standard input" : path) + ": " + report.error);
      status = bad_input;
    }
    if (json) {
      objects.push_back(json_file(report, list_frames != 0));
    } else if (report.error.empty()) {
      if (&path != &parsed.args.front()) std::printf("\n");
      print_text(report);
    }
  }
  if (json) {
    std::printf("[\n");
    for (size_t i = 0; i < objects.size(); ++i)
      std::printf("%s%s\n", objects[i].c_str(), i + 1 < objects.size() ? "," : "");
    std::printf("]\n");
  }
  return status;
}

}  // namespace tarsk::cli
