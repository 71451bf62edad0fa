// tarsk info: what a DV file holds, read from every frame: system,
// sampling, picture, rate, length, audio, time codes, recording dates and
// the damage found on the way.
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "cli.h"

namespace tarsk::cli {

namespace {

struct FrameReport {
  uint64_t index = 0;
  std::string problem;             // why the frame could not be read; empty if it could
  std::string timecode, recorded;  // empty when the frame has none
  int damaged_video_blocks = 0;
  int failed_audio_blocks = 0;
  int audio_samples = -1;  // per channel; -1 when the audio cannot be decoded
};

struct Range {
  std::string first, last;  // empty when no frame has the value
  void add(const std::string &value) {
    if (value.empty()) return;
    if (first.empty()) first = value;
    last = value;
  }
};

struct FileReport {
  std::string path;
  std::string error;  // the file could not be read as DV: nothing else is valid
  FrameInfo format{};
  uint64_t frames = 0;  // whole frames, damaged ones included
  uint64_t damaged_frames = 0;
  std::string cut_short;  // what the reader said of a truncated last frame
  int audio_frequency = 0, audio_bits = 0, audio_channels = 0;
  Range timecode, recorded;
  uint64_t damaged_video_blocks = 0, failed_audio_blocks = 0, frames_without_audio = 0;
  std::vector<FrameReport> frame_list;  // with --frames only
};

std::string timecode_of(dv_decoder_t *dv) {
  char text[16];
  return dv_get_timestamp(dv, text) == 1 ? std::string(text) : std::string();
}

std::string recorded_of(dv_decoder_t *dv) {
  char text[40];
  return dv_get_recording_datetime(dv, text) == 1 ? std::string(text) : std::string();
}

// Everything about one frame the reader found whole; the file's totals follow from it.
FrameReport examine(Decoder &decoder, const Frame &frame, FileReport &file) {
  FrameReport r;
  r.index = frame.index;
  auto parsed = decoder.parse(frame.span());
  if (!parsed) {
    r.problem = parsed.error().message;
    return r;
  }
  if (file.frames == file.damaged_frames) file.format = *parsed;  // the first good frame
  dv_decoder_t *dv = decoder.get();
  r.timecode = timecode_of(dv);
  r.recorded = recorded_of(dv);
  r.damaged_video_blocks = tarsk::damaged_video_blocks(frame.span());
  if (auto audio = decoder.decode_audio(frame.span())) {
    r.failed_audio_blocks = dv_frame_has_audio_errors(dv);
    r.audio_samples = audio->channels.empty() ? 0 : static_cast<int>(audio->channels[0].size());
    if (file.audio_frequency == 0) {
      file.audio_frequency = audio->frequency;
      file.audio_bits = audio->quantization;
      file.audio_channels = static_cast<int>(audio->channels.size());
    }
  }
  return r;
}

void add_frame(FileReport &file, FrameReport frame, bool keep) {
  ++file.frames;
  if (!frame.problem.empty()) {
    ++file.damaged_frames;
  } else {
    file.timecode.add(frame.timecode);
    file.recorded.add(frame.recorded);
    file.damaged_video_blocks += static_cast<uint64_t>(frame.damaged_video_blocks);
    file.failed_audio_blocks += static_cast<uint64_t>(frame.failed_audio_blocks);
    if (frame.audio_samples < 0) ++file.frames_without_audio;
  }
  if (keep) file.frame_list.push_back(std::move(frame));
}

FileReport scan(const std::string &path, bool keep_frames) {
  FileReport file;
  file.path = path;
  auto reader = Reader::open(path);
  if (!reader) {
    // The message starts with the name, which the caller adds itself.
    const std::string &message = reader.error().message;
    file.error = message.rfind(path + ": ", 0) == 0 ? message.substr(path.size() + 2) : message;
    return file;
  }
  Decoder decoder;
  if (!decoder) {
    file.error = "out of memory";
    return file;
  }
  dv_set_error_log(decoder.get(), nullptr);  // damage is counted, not logged
  // The reader gives one item for every frame position, so counting them
  // numbers the damaged frames too.
  for (uint64_t index = 0; auto item = reader->next(); ++index) {
    if (*item) {
      add_frame(file, examine(decoder, **item, file), keep_frames);
      continue;
    }
    const Error &e = item->error();
    if (e.code == Errc::io || e.code == Errc::not_dv) {
      file.error = e.message;
      return file;
    }
    if (e.code == Errc::truncated) {
      file.cut_short = e.message;
      break;
    }
    FrameReport damaged;
    damaged.index = index;
    damaged.problem = without_frame_number(e.message, damaged.index);
    add_frame(file, std::move(damaged), keep_frames);
  }
  if (file.frames == 0)
    file.error = file.cut_short.empty() ? "not a DV stream (no frames)" : file.cut_short;
  else if (file.frames == file.damaged_frames)
    file.error = "no frame could be read";
  return file;
}

// ---------------------------------------------------------------------------
// Text for a person.

std::string duration_text(uint64_t frames, dv_system_t system) {
  const Rate rate = frame_rate(system);
  const uint64_t ms =
      frames * 1000 * static_cast<uint64_t>(rate.den) / static_cast<uint64_t>(rate.num);
  char text[32];
  std::snprintf(text, sizeof text, "%02" PRIu64 ":%02" PRIu64 ":%02" PRIu64 ".%03" PRIu64,
                ms / 3600000, ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
  return text;
}

std::string range_text(const Range &range) {
  if (range.first.empty()) return "none";
  return range.first == range.last ? range.first : range.first + " to " + range.last;
}

std::string plural(uint64_t n, const char *what) {
  return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string damage_text(const FileReport &f) {
  std::vector<std::string> parts;
  if (f.damaged_frames) parts.push_back(plural(f.damaged_frames, "unreadable frame"));
  if (f.damaged_video_blocks)
    parts.push_back(plural(f.damaged_video_blocks, "damaged video block"));
  if (f.failed_audio_blocks) parts.push_back(plural(f.failed_audio_blocks, "failed audio block"));
  if (f.frames_without_audio)
    parts.push_back(plural(f.frames_without_audio, "frame") + " without audio");
  if (!f.cut_short.empty()) parts.push_back("last frame cut short");
  if (parts.empty()) return "none";
  std::string text;
  for (const std::string &p : parts) text += (text.empty() ? "" : ", ") + p;
  return text;
}

void print_frame_line(const FrameReport &r) {
  if (!r.problem.empty()) {
    std::printf("  %7" PRIu64 "  %s\n", r.index, r.problem.c_str());
    return;
  }
  std::printf("  %7" PRIu64 "  %-11s  %-19s  %9d  %9d  %7s\n", r.index,
              r.timecode.empty() ? "-" : r.timecode.c_str(),
              r.recorded.empty() ? "-" : r.recorded.c_str(), r.damaged_video_blocks,
              r.failed_audio_blocks,
              r.audio_samples < 0 ? "none" : std::to_string(r.audio_samples).c_str());
}

void print_text(const FileReport &f) {
  const FrameInfo &v = f.format;
  const Rate rate = frame_rate(v.system);
  std::printf("%s\n", f.path == "-" ? "standard input" : f.path.c_str());
  std::printf("  system:      %s, %s\n", system_name(v.system).c_str(),
              standard_name(v.std).c_str());
  std::printf("  sampling:    %s\n", sampling_name(v.sampling).c_str());
  std::printf("  picture:     %dx%d, %s\n", v.width, v.height, v.wide ? "16:9" : "4:3");
  std::printf("  frame rate:  %s\n", rate.den == 1 ? "25 fps" : "29.97 fps (30000/1001)");
  std::printf("  frames:      %" PRIu64 " (%s)\n", f.frames,
              duration_text(f.frames, v.system).c_str());
  if (f.audio_frequency > 0)
    std::printf("  audio:       %d Hz, %d bits, %d channels\n", f.audio_frequency, f.audio_bits,
                f.audio_channels);
  else
    std::printf("  audio:       none\n");
  std::printf("  time code:   %s\n", range_text(f.timecode).c_str());
  std::printf("  recorded:    %s\n", range_text(f.recorded).c_str());
  std::printf("  damage:      %s\n", damage_text(f).c_str());
  if (f.frame_list.empty()) return;
  // Per frame: damaged video blocks, failed audio blocks, audio samples.
  std::printf("\n    frame  time code    recorded             bad video  bad audio  samples\n");
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

std::string json_range(const Range &r) {
  if (r.first.empty()) return "null";
  return "{\"first\": " + json_string(r.first) + ", \"last\": " + json_string(r.last) + "}";
}

std::string json_frame(const FrameReport &r) {
  std::string out = "{\"index\": " + std::to_string(r.index);
  if (!r.problem.empty()) return out + ", \"damaged\": " + json_string(r.problem) + "}";
  return out + ", \"timecode\": " + json_optional(r.timecode) +
         ", \"recorded\": " + json_optional(r.recorded) +
         ", \"damaged_video_blocks\": " + std::to_string(r.damaged_video_blocks) +
         ", \"failed_audio_blocks\": " + std::to_string(r.failed_audio_blocks) +
         ", \"audio_samples\": " +
         (r.audio_samples < 0 ? "null" : std::to_string(r.audio_samples)) + "}";
}

std::string json_file(const FileReport &f, bool with_frames) {
  std::string out = "  {\n    \"file\": " + json_string(f.path);
  if (!f.error.empty()) return out + ",\n    \"error\": " + json_string(f.error) + "\n  }";
  const FrameInfo &v = f.format;
  const Rate rate = frame_rate(v.system);
  auto field = [&out](const char *name, const std::string &value) {
    out += ",\n    \"" + std::string(name) + "\": " + value;
  };
  field("system", json_string(v.system == e_dv_system_625_50 ? "625/50" : "525/60"));
  field("standard", json_string(standard_name(v.std)));
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
  field("audio", f.audio_frequency == 0
                     ? "null"
                     : "{\"frequency\": " + std::to_string(f.audio_frequency) +
                           ", \"bits\": " + std::to_string(f.audio_bits) +
                           ", \"channels\": " + std::to_string(f.audio_channels) + "}");
  field("timecode", json_range(f.timecode));
  field("recorded", json_range(f.recorded));
  field("damaged_frames", std::to_string(f.damaged_frames));
  field("truncated", f.cut_short.empty() ? "false" : "true");
  field("damaged_video_blocks", std::to_string(f.damaged_video_blocks));
  field("failed_audio_blocks", std::to_string(f.failed_audio_blocks));
  field("frames_without_audio", std::to_string(f.frames_without_audio));
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
      {"json", 'j', POPT_ARG_NONE, &json, 0, "print JSON: an array with an object per file",
       nullptr},
      {"frames", 'l', POPT_ARG_NONE, &list_frames, 0, "list every frame", nullptr},
      POPT_AUTOHELP POPT_TABLEEND};
  ParsedArgs parsed;
  const Status usage = parse_options(argc, argv, table, "[OPTION...] FILE...", parsed,
                                     [](int, const std::string &) { return true; });
  if (usage != ok) return usage;
  if (parsed.args.empty()) {
    error("info: no file given");
    std::fputs("Try 'tarsk info --help' for more information.\n", stderr);
    return bad_usage;
  }

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
