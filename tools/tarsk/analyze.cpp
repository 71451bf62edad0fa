// tarsk analyze: a transfer of a tape, frame by frame: where each frame
// stood, its time code and recording date and time, the recorder's
// recording start and end flags, the absolute track number, where the
// clocks jump or the settings change, and the damage of its video (per DIF
// sequence) and sound (per channel). For people a summary (the recordings
// and the worst spots); for programs CSV or JSON Lines; and a map of the
// whole transfer as a PNG picture. For archivists checking fixity, each
// frame's MD5 laid out as ffmpeg's framemd5; and every pack each frame
// carries, decoded where we know it.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

#include "cli.h"
#include "damage.h"
#include "formats.h"
#include "md5.h"
#include "output.h"
#include "transfer.h"

namespace tarsk::cli {

namespace {

constexpr int map_most_columns = 1800;

struct Options {
  std::string input, map;
  int map_columns = map_most_columns;
  enum class Listing { summary, csv, json, md5, packs, packs_json } listing = Listing::summary;
};

// What the summary and the map keep of a frame.
enum class Kind : uint8_t { clean, flagged, broken, missing, none };

struct FrameMark {
  unsigned breaks = 0;
  bool readable = false;
  bool missing = false;               // DIF blocks the stream lacked, bytes skipped before it
  int sequences = 0;
  Kind video[TARSK_MAX_SEQUENCES] = {};
  int audio_channels = 0;
  int audio_errors[4] = {};
  int damaged_macroblocks = 0;
};

struct Recording {
  uint64_t first = 0, last = 0;
  unsigned breaks = 0;  // why it starts
  FrameInfo info{};     // its first readable frame's settings
  FirstLast timecode, recorded;
  uint64_t damaged_frames = 0;
};

std::string csv_header() {
  std::string h =
      "frame,offset,skipped_bytes,missing_blocks,readable,timecode,drop_frame,recorded,"
      "recording_start,recording_end,absolute_track,breaks,system,sampling,aspect,audio_rate,"
      "audio_bits,audio_channels,audio_locked,audio_samples,flagged_video,broken_video,"
      "damaged_macroblocks,audio_errors_1,audio_errors_2,audio_errors_3,audio_errors_4";
  for (int s = 0; s < TARSK_MAX_SEQUENCES; ++s) {
    const std::string n = std::to_string(s);
    h += ",flagged_" + n + ",broken_" + n + ",audio_errors_seq_" + n;
  }
  return h;
}

// A CSV field: quoted when it holds a comma or a quote, its quotes doubled.
std::string csv_text(const std::string &s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

std::string json_text(const std::string &s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

const char *aspect_name(const FrameInfo &i) { return i.wide ? "16:9" : "4:3"; }
const char *system_short(const FrameInfo &i) {
  return i.system == TARSK_SYSTEM_625_50 ? "625/50" : "525/60";
}

// One frame as a CSV line or a JSON object: every field of it.
std::string frame_line(const ScannedFrame &s, unsigned breaks, bool json) {
  const Frame &fr = *s.frame;
  const FrameFacts &f = s.facts;
  const FrameInfo &i = f.info;
  std::vector<std::pair<std::string, std::string>> fields;  // name, value as JSON writes it
  auto add = [&](const char *name, const std::string &value) { fields.emplace_back(name, value); };
  auto text = [&](const char *name, const std::string &value) {
    add(name, value.empty() ? (json ? "null" : "") : json ? json_text(value) : csv_text(value));
  };
  auto flag = [&](const char *name, int value) {
    add(name, value < 0 ? (json ? "null" : "") : value ? "true" : "false");
  };
  add("frame", std::to_string(fr.index));
  add("offset", std::to_string(fr.offset));
  add("skipped_bytes", std::to_string(fr.skipped_bytes));
  add("missing_blocks", std::to_string(fr.missing_blocks));
  flag("readable", s.readable);
  if (!s.readable) {
    if (json) text("problem", s.problem);
  } else {
    text("timecode", timecode_text(i));
    flag("drop_frame", i.has_timecode ? i.timecode.drop_frame : -1);
    text("recorded", recorded_label(i));
    flag("recording_start", f.recording_start);
    flag("recording_end", f.recording_end);
    add("absolute_track", f.has_absolute_track ? std::to_string(f.absolute_track)
                                               : json ? "null" : "");
    text("breaks", break_text(breaks));
    text("system", system_short(i));
    text("sampling", sampling_name(i.sampling));
    text("aspect", aspect_name(i));
    const bool sound = i.audio_rate > 0;
    add("audio_rate", sound ? std::to_string(i.audio_rate) : json ? "null" : "");
    add("audio_bits", sound ? std::to_string(i.audio_bits) : json ? "null" : "");
    add("audio_channels", sound ? std::to_string(i.audio_channels) : json ? "null" : "");
    flag("audio_locked", sound ? i.audio_locked : -1);
    add("audio_samples", sound ? std::to_string(i.audio_samples) : json ? "null" : "");
    int flagged = 0, broken = 0;
    for (int q = 0; q < f.sequences; ++q) {
      flagged += f.sequence[q].flagged_video;
      broken += f.sequence[q].broken_video;
    }
    add("flagged_video", std::to_string(flagged));
    add("broken_video", std::to_string(broken));
    add("damaged_macroblocks", std::to_string(f.damaged_macroblocks));
    if (json) {
      std::string errors = "[";
      for (int c = 0; c < (sound ? i.audio_channels : 0); ++c)
        errors += (c ? ", " : "") + std::to_string(f.audio_errors[c]);
      add("audio_errors", errors + "]");
      std::string seq = "[";
      for (int q = 0; q < f.sequences; ++q) {
        const tarsk_sequence_facts &d = f.sequence[q];
        seq += std::string(q ? ", " : "") + "{\"flagged_video\": " +
               std::to_string(d.flagged_video) + ", \"broken_video\": " +
               std::to_string(d.broken_video) + ", \"damaged_segments\": " +
               std::to_string(d.damaged_segments) + ", \"audio_errors\": " +
               std::to_string(d.audio_errors) + ", \"damaged_audio_blocks\": " +
               std::to_string(d.damaged_audio) + "}";
      }
      add("sequences", seq + "]");
    } else {
      for (int c = 0; c < 4; ++c)
        add("", c < (sound ? i.audio_channels : 0) ? std::to_string(f.audio_errors[c]) : "");
      for (int q = 0; q < TARSK_MAX_SEQUENCES; ++q) {
        const bool has = q < f.sequences;
        add("", has ? std::to_string(f.sequence[q].flagged_video) : "");
        add("", has ? std::to_string(f.sequence[q].broken_video) : "");
        add("", has ? std::to_string(f.sequence[q].audio_errors) : "");
      }
    }
  }
  // A CSV line has every column, empty where the frame has no value.
  if (!json) {
    const std::string header = csv_header();
    fields.resize(static_cast<size_t>(std::count(header.begin(), header.end(), ',')) + 1);
  }
  std::string line = json ? "{" : "";
  for (size_t n = 0; n < fields.size(); ++n) {
    if (n) line += json ? ", " : ",";
    line += json ? "\"" + fields[n].first + "\": " + fields[n].second : fields[n].second;
  }
  return line + (json ? "}" : "");
}

// ---------------------------------------------------------------------------
// Frame checksums, laid out line for line as ffmpeg's framemd5 muxer writes
// the video stream of the same file with
//   ffmpeg -i FILE -map 0:v -c copy -fflags +bitexact -f framemd5 -
// (bitexact leaves out its "#software" line, which names its own version).
// Time stamps count frames in the container's time base (raw DV: a frame).

struct Rational {
  int64_t num, den;
};

// The sample aspect ratio ffmpeg gives DV pictures of each system and shape.
Rational dv_sample_aspect(const FrameInfo &i) {
  const bool fifty = i.system == TARSK_SYSTEM_625_50;
  if (i.wide) return fifty ? Rational{64, 45} : Rational{32, 27};
  return fifty ? Rational{16, 15} : Rational{8, 9};
}

class FrameSums {
 public:
  explicit FrameSums(const SourceInfo &source) : source_(source) {}

  // A frame's line; the header goes out before the first line, once a
  // readable frame has said the system (lines before it wait; with no
  // readable frame at all the command fails).
  void add(const ScannedFrame &s) {
    if (!info_ && s.readable) info_ = s.facts.info;
    const Frame &f = *s.frame;
    held_.push_back({f.index, f.bytes.size(), md5_hex(f.bytes)});
    if (info_) flush();
  }

 private:
  struct Line {
    uint64_t index;
    size_t size;
    std::string md5;
  };

  void flush() {
    const bool fifty = info_->system == TARSK_SYSTEM_625_50;
    // A frame's length: 1/25 s or 1001/30000 s.
    const Rational rate = fifty ? Rational{25, 1} : Rational{30000, 1001};
    Rational tb{rate.den, rate.num};
    if (source_.time_base_num > 0 && source_.time_base_den > 0)
      tb = {source_.time_base_num, source_.time_base_den};
    const int64_t duration = std::max<int64_t>(1, tb.den * rate.den / (tb.num * rate.num));
    if (!header_done_) {
      const Rational sar = dv_sample_aspect(*info_);
      std::printf("#format: frame checksums\n#version: 2\n#hash: MD5\n#tb 0: %" PRId64 "/%" PRId64
                  "\n#media_type 0: video\n#codec_id 0: dvvideo\n#dimensions 0: %dx%d\n"
                  "#sar 0: %" PRId64 "/%" PRId64 "\n#stream#, dts,        pts, duration,     size, hash\n",
                  tb.num, tb.den, info_->width, info_->height, sar.num, sar.den);
      header_done_ = true;
    }
    for (const Line &l : held_) {
      const auto pts = static_cast<int64_t>(l.index) * duration;
      std::printf("0, %10" PRId64 ", %10" PRId64 ", %8" PRId64 ", %8zu, %s\n", pts, pts, duration,
                  l.size, l.md5.c_str());
    }
    held_.clear();
  }

  const SourceInfo &source_;
  std::optional<FrameInfo> info_;
  std::vector<Line> held_;
  bool header_done_ = false;
};

// ---------------------------------------------------------------------------
// Packs: every subcode, VAUX and AAUX pack of a frame, identical repeats
// folded, decoded where we know the pack and in hex always.

const char *section_name(int section) {
  return section == 1 ? "subcode" : section == 2 ? "VAUX" : "AAUX";
}

// A decoded field: its name and its value as JSON writes it.
using PackField = std::pair<std::string, std::string>;

int bcd(uint8_t byte, uint8_t tens_mask) { return ((byte & tens_mask) >> 4) * 10 + (byte & 0x0f); }
std::string two(int n) {
  char text[16];
  std::snprintf(text, sizeof text, "%02d", n);
  return text;
}
std::string quoted_value(const std::string &v) { return "\"" + v + "\""; }
std::string yes_no(bool b) { return b ? "true" : "false"; }

// PC1..PC4 of each pack we know, into fields.
std::vector<PackField> timecode_fields(const uint8_t *pc) {
  return {{"timecode", quoted_value(two(bcd(pc[3], 0x30)) + ":" + two(bcd(pc[2], 0x70)) + ":" +
                                    two(bcd(pc[1], 0x70)) + ":" + two(bcd(pc[0], 0x30)))},
          {"drop_frame_flag", yes_no(pc[0] & 0x40)}};
}
std::vector<PackField> date_fields(const uint8_t *pc) {
  const int yy = bcd(pc[3], 0xf0);
  return {{"date", quoted_value(std::to_string(yy <= 24 ? 2000 + yy : 1900 + yy) + "-" +
                                two(bcd(pc[2], 0x10)) + "-" + two(bcd(pc[1], 0x30)))}};
}
std::vector<PackField> time_fields(const uint8_t *pc) {
  return {{"time", quoted_value(two(bcd(pc[3], 0x30)) + ":" + two(bcd(pc[2], 0x70)) + ":" +
                                two(bcd(pc[1], 0x70)))}};
}
std::vector<PackField> aaux_source_fields(const uint8_t *pc) {
  constexpr int rates[] = {48000, 44100, 32000};
  constexpr int bits[] = {16, 12, 20};
  const int smp = (pc[3] >> 3) & 7, qu = pc[3] & 7;
  return {{"locked", yes_no(!(pc[0] & 0x80))},
          {"af_size", std::to_string(pc[0] & 0x3f)},
          {"chn", std::to_string((pc[1] >> 5) & 3)},
          {"audio_mode", std::to_string(pc[1] & 0x0f)},
          {"system", quoted_value(pc[2] & 0x20 ? "625/50" : "525/60")},
          {"emphasis", yes_no(!(pc[3] & 0x80))},
          {"rate", smp < 3 ? std::to_string(rates[smp]) : "null"},
          {"bits", qu < 3 ? std::to_string(bits[qu]) : "null"}};
}
std::vector<PackField> aaux_control_fields(const uint8_t *pc) {
  return {{"cgms", std::to_string(pc[0] >> 6)},
          {"recording_start", yes_no(!(pc[1] & 0x80))},  // set by clearing
          {"recording_end", yes_no(!(pc[1] & 0x40))},
          {"rec_mode", std::to_string((pc[1] >> 3) & 7)},
          {"speed", std::to_string(pc[2] & 0x7f)},
          {"genre", std::to_string(pc[3] & 0x7f)}};
}
std::vector<PackField> vaux_source_fields(const uint8_t *pc) {
  return {{"colour", yes_no(pc[1] & 0x80)},
          {"system", quoted_value(pc[2] & 0x20 ? "625/50" : "525/60")}};
}
std::vector<PackField> vaux_control_fields(const uint8_t *pc) {
  return {{"display_mode", std::to_string(pc[1] & 7)},
          {"aspect", quoted_value(pc[1] & 7 ? "16:9" : "4:3")},
          {"frame_changed", yes_no(pc[2] & 0x20)},
          {"interlaced", yes_no(pc[2] & 0x10)}};
}
std::vector<PackField> no_fields(const uint8_t *) { return {}; }

struct PackKind {
  uint8_t id;
  const char *name;
  std::vector<PackField> (*fields)(const uint8_t *pc);
};
constexpr PackKind pack_kinds[] = {
    {0x13, "time code", timecode_fields},
    {0x50, "AAUX source", aaux_source_fields},
    {0x51, "AAUX source control", aaux_control_fields},
    {0x52, "AAUX recording date", date_fields},
    {0x53, "AAUX recording time", time_fields},
    {0x60, "VAUX source", vaux_source_fields},
    {0x61, "VAUX source control", vaux_control_fields},
    {0x62, "recording date", date_fields},
    {0x63, "recording time", time_fields},
    {0x70, "consumer camera 1", no_fields},
    {0x71, "consumer camera 2", no_fields},
    {0x7f, "shutter", no_fields},
};

// A pack and every place it stands in the frame.
struct FoldedPack {
  Pack pack;
  std::vector<const Pack *> places;
};

std::vector<FoldedPack> fold(const std::vector<Pack> &packs) {
  std::vector<FoldedPack> folded;
  for (const Pack &p : packs) {
    auto same = std::find_if(folded.begin(), folded.end(), [&](const FoldedPack &f) {
      return f.pack.section == p.section && std::equal(p.bytes, p.bytes + 5, f.pack.bytes);
    });
    if (same == folded.end()) same = folded.insert(folded.end(), {p, {}});
    same->places.push_back(&p);
  }
  return folded;
}

std::string hex_bytes(const uint8_t *b) {
  char text[16];
  std::snprintf(text, sizeof text, "%02x %02x %02x %02x %02x", b[0], b[1], b[2], b[3], b[4]);
  return text;
}
std::string place_text(const Pack &p) {
  return std::to_string(p.sequence) + "/" + std::to_string(p.block) + "/" + std::to_string(p.slot);
}

// A frame's packs as a block of text or a JSON object.
std::string packs_listing(const ScannedFrame &s, bool json) {
  const Frame &fr = *s.frame;
  auto packs = frame_packs(fr.bytes);
  std::string out = json ? "{\"frame\": " + std::to_string(fr.index) + ", \"offset\": " +
                               std::to_string(fr.offset)
                         : "frame " + std::to_string(fr.index) + " at byte " + std::to_string(fr.offset);
  if (!packs) {
    const std::string why = frame_problem(packs.error());
    return out + (json ? ", \"problem\": " + json_text(why) + "}" : ": " + why + "\n");
  }
  const std::vector<FoldedPack> folded = fold(*packs);
  out += json ? ", \"packs\": [" : ": " + std::to_string(packs->size()) + " packs\n";
  bool first = true;
  for (const FoldedPack &f : folded) {
    const uint8_t *b = f.pack.bytes;
    const PackKind *kind = nullptr;
    for (const PackKind &k : pack_kinds)
      if (k.id == b[0]) kind = &k;
    const std::vector<PackField> fields = kind ? kind->fields(b + 1) : std::vector<PackField>{};
    if (json) {
      out += std::string(first ? "" : ", ") + "{\"section\": \"" + section_name(f.pack.section) +
             "\", \"id\": " + std::to_string(b[0]) + ", \"bytes\": \"" + hex_bytes(b) +
             "\", \"name\": " + (kind ? json_text(kind->name) : "null");
      for (const PackField &field : fields) out += ", \"" + field.first + "\": " + field.second;
      out += ", \"places\": [";
      for (size_t n = 0; n < f.places.size(); ++n)
        out += (n ? ", [" : "[") + std::to_string(f.places[n]->sequence) + ", " +
               std::to_string(f.places[n]->block) + ", " + std::to_string(f.places[n]->slot) + "]";
      out += "]}";
    } else {
      std::string what = kind ? kind->name : "unknown";
      for (size_t n = 0; n < fields.size(); ++n) {
        std::string v = fields[n].second;
        if (!v.empty() && v.front() == '"') v = v.substr(1, v.size() - 2);
        what += (n ? ", " : ": ") + fields[n].first + " " + v;
      }
      char line[160];
      std::snprintf(line, sizeof line, "  %-7s %-8s %-5s %s  ", section_name(f.pack.section),
                    place_text(*f.places.front()).c_str(),
                    f.places.size() > 1 ? ("x" + std::to_string(f.places.size())).c_str() : "",
                    hex_bytes(b).c_str());
      out += line + what + "\n";
    }
    first = false;
  }
  return out + (json ? "]}" : "");
}

FrameMark mark_of(const ScannedFrame &s, unsigned breaks) {
  FrameMark m;
  m.breaks = breaks;
  m.readable = s.readable;
  m.missing = s.frame->missing_blocks > 0 || s.frame->skipped_bytes > 0;
  if (!s.readable) return m;
  const FrameFacts &f = s.facts;
  m.sequences = f.sequences;
  for (int q = 0; q < f.sequences; ++q)
    m.video[q] = f.sequence[q].broken_video   ? Kind::broken
                 : f.sequence[q].flagged_video ? Kind::flagged
                                               : Kind::clean;
  m.audio_channels = f.info.audio_rate > 0 ? f.info.audio_channels : 0;
  std::copy(std::begin(f.audio_errors), std::end(f.audio_errors), m.audio_errors);
  m.damaged_macroblocks = f.damaged_macroblocks;
  return m;
}

bool damaged(const FrameMark &m) {
  if (!m.readable || m.missing || m.damaged_macroblocks > 0) return true;
  for (const int e : m.audio_errors)
    if (e > 0) return true;
  return false;
}

// ---------------------------------------------------------------------------
// The map: a column per frame (or per group of frames on long transfers);
// a band for the stream (blocks missing, bytes skipped, frames unreadable),
// a row per DIF sequence's video and per audio channel; recording starts as
// white marks above and a line through.

constexpr int row_height = 6, gap = 1, mark_band = 5;

struct Rgb {
  uint8_t r, g, b;
};
constexpr Rgb colour_clean{40, 110, 60}, colour_flagged{240, 160, 20}, colour_broken{220, 30, 30},
    colour_missing{200, 40, 200}, colour_audio{40, 140, 250}, colour_none{30, 30, 30},
    colour_background{0, 0, 0}, colour_boundary{255, 255, 255};

Result<std::vector<uint8_t>> draw_map(const std::vector<FrameMark> &marks, int columns) {
  const uint64_t frames = marks.size();
  const auto most = static_cast<uint64_t>(columns);
  const uint64_t group = std::max<uint64_t>(1, (frames + most - 1) / most);
  const int width = static_cast<int>((frames + group - 1) / group);
  int sequences = 0, channels = 0;
  for (const FrameMark &m : marks) {
    sequences = std::max(sequences, m.sequences);
    channels = std::max(channels, m.audio_channels);
  }
  const int rows = 1 + sequences + channels;
  const int height = mark_band + gap + rows * (row_height + gap);
  std::vector<uint8_t> rgb(static_cast<size_t>(width) * static_cast<size_t>(height) * 3, 0);
  auto fill = [&](int x, int y0, int h, Rgb c) {
    for (int y = y0; y < y0 + h; ++y) {
      uint8_t *p = &rgb[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3];
      p[0] = c.r;
      p[1] = c.g;
      p[2] = c.b;
    }
  };
  auto row_y = [&](int row) { return mark_band + gap + row * (row_height + gap); };
  for (int x = 0; x < width; ++x) {
    const uint64_t first = static_cast<uint64_t>(x) * group;
    const uint64_t end = std::min(frames, first + group);
    bool boundary = false, missing = false;
    Kind video[TARSK_MAX_SEQUENCES];
    std::fill(std::begin(video), std::end(video), Kind::none);
    bool audio_seen[4] = {}, audio_bad[4] = {};
    for (uint64_t n = first; n < end; ++n) {
      const FrameMark &m = marks[n];
      boundary = boundary || (n > 0 && m.breaks != 0);
      missing = missing || m.missing || !m.readable;
      for (int q = 0; q < m.sequences; ++q)
        if (video[q] == Kind::none || m.video[q] > video[q]) video[q] = m.video[q];
      for (int c = 0; c < m.audio_channels; ++c) {
        audio_seen[c] = true;
        audio_bad[c] = audio_bad[c] || m.audio_errors[c] > 0;
      }
    }
    fill(x, 0, mark_band, boundary ? colour_boundary : colour_background);
    fill(x, row_y(0), row_height, missing ? colour_missing : colour_clean);
    for (int q = 0; q < sequences; ++q)
      fill(x, row_y(1 + q), row_height,
           video[q] == Kind::broken    ? colour_broken
           : video[q] == Kind::flagged ? colour_flagged
           : video[q] == Kind::clean   ? colour_clean
                                       : colour_none);
    for (int c = 0; c < channels; ++c)
      fill(x, row_y(1 + sequences + c), row_height,
           !audio_seen[c] ? colour_none : audio_bad[c] ? colour_audio : colour_clean);
    if (boundary)  // the gaps between rows too, so the line runs through
      for (int row = 0; row < rows; ++row) fill(x, row_y(row) - gap, gap, colour_boundary);
  }
  return png_encode(width, height, rgb);
}

// ---------------------------------------------------------------------------
// The summary.

// Error-coded samples (concealed on decoding), and the frames that have them.
struct SoundDamage {
  uint64_t samples = 0, frames = 0;
};

// A run of damaged frames: where it is and how bad.
struct Spot {
  uint64_t first = 0, last = 0;
  uint64_t macroblocks = 0, audio_errors = 0, unreadable = 0, missing = 0;
  std::string timecode, recorded;  // of its first frame
  uint64_t weight() const { return macroblocks + audio_errors / 36 + 135 * (unreadable + missing); }
};

void print_summary(const std::string &name, const SourceInfo &source, const FrameInfo &first,
                   const std::vector<FrameMark> &marks, const std::vector<Recording> &recordings,
                   std::vector<Spot> spots, const DamageTally &tally, const SoundDamage &sound) {
  std::printf("%s: %s, %s, %s, %" PRIu64 " frames (%s)\n", name.c_str(), source.container.c_str(),
              system_name(first.system).c_str(), sampling_name(first.sampling).c_str(),
              static_cast<uint64_t>(marks.size()), duration_text(marks.size(), first.system).c_str());
  std::printf("recordings: %zu\n", recordings.size());
  for (size_t r = 0; r < recordings.size(); ++r) {
    const Recording &rec = recordings[r];
    const FrameInfo &i = rec.info;
    std::printf("  %zu. frames %" PRIu64 " to %" PRIu64 " (%s), %s, %s, %s", r + 1, rec.first,
                rec.last, duration_text(rec.last - rec.first + 1, i.system).c_str(),
                system_short(i), sampling_name(i.sampling).c_str(), aspect_name(i));
    if (i.audio_rate > 0)
      std::printf(", sound %d Hz %d-bit %s", i.audio_rate, i.audio_bits,
                  i.audio_locked ? "locked" : "unlocked");
    std::printf("\n     time code %s, recorded %s", rec.timecode.text(" to ", "-").c_str(),
                rec.recorded.text(" to ", "-").c_str());
    if (r > 0) std::printf("; starts at a %s", break_text(rec.breaks).c_str());
    if (rec.damaged_frames) std::printf("; %" PRIu64 " damaged frames", rec.damaged_frames);
    std::printf("\n");
  }
  std::printf("damage: %s\n", tally.text().c_str());
  if (sound.samples > 0)
    std::printf("sound: %" PRIu64 " error-coded samples in %" PRIu64 " frame%s\n", sound.samples,
                sound.frames, sound.frames == 1 ? "" : "s");
  if (spots.empty()) return;
  std::stable_sort(spots.begin(), spots.end(),
                   [](const Spot &a, const Spot &b) { return a.weight() > b.weight(); });
  constexpr size_t shown = 5;
  std::printf("worst spots:\n");
  for (size_t n = 0; n < std::min(shown, spots.size()); ++n) {
    const Spot &s = spots[n];
    std::printf("  frames %" PRIu64 " to %" PRIu64 " (time code %s, recorded %s): ", s.first,
                s.last, s.timecode.empty() ? "-" : s.timecode.c_str(),
                s.recorded.empty() ? "-" : s.recorded.c_str());
    std::string parts;
    auto part = [&](uint64_t n, const char *one, const char *many) {
      if (n) parts += (parts.empty() ? "" : ", ") + std::to_string(n) + " " + (n == 1 ? one : many);
    };
    part(s.macroblocks, "damaged macroblock", "damaged macroblocks");
    part(s.audio_errors, "error-coded sample", "error-coded samples");
    part(s.missing, "frame with bytes skipped or blocks missing",
         "frames with bytes skipped or blocks missing");
    part(s.unreadable, "unreadable frame", "unreadable frames");
    std::printf("%s\n", parts.c_str());
  }
  if (spots.size() > shown) std::printf("  and %zu more\n", spots.size() - shown);
}

Status read_command_line(int argc, const char **argv, Options &o) {
  int csv = 0, json = 0, md5 = 0, packs = 0;
  const poptOption table[] = {
      {"csv", 0, POPT_ARG_NONE, &csv, 0, "a CSV line per frame with every field [the summary]",
       nullptr},
      {"json", 0, POPT_ARG_NONE, &json, 0,
       "a JSON object per line for each frame with every field [the summary]", nullptr},
      {"md5", 0, POPT_ARG_NONE, &md5, 0,
       "each frame's MD5 as ffmpeg's framemd5 gives the file's video (ffmpeg -i FILE -map 0:v "
       "-c copy -fflags +bitexact -f framemd5 -): frames the reader had to repair are hashed as "
       "it hands them out",
       nullptr},
      {"packs", 0, POPT_ARG_NONE, &packs, 0,
       "every subcode, VAUX and AAUX pack of each frame by DIF sequence/block/slot, in hex and "
       "decoded where known, identical repeats folded; with --json a JSON object per frame",
       nullptr},
      {"map", 0, POPT_ARG_STRING, nullptr, 'm',
       "a PNG picture of the transfer: a column per frame (or group of frames), rows for the "
       "stream, each DIF sequence's video and each sound channel, coloured by damage",
       "OUT.png"},
      {"map-columns", 0, POPT_ARG_STRING, nullptr, 'c',
       "the map's most columns: longer transfers take a column for each group of frames [1800]",
       "N"},
      OVERWRITE_OPTIONS,
      POPT_AUTOHELP POPT_TABLEEND};
  ParsedArgs parsed;
  const Status status =
      parse_options(argc, argv, table, "[OPTION...] FILE", parsed, [&](int key, const std::string &v) {
        if (key == 'm') o.map = v;
        if (key == 'c') {
          const auto n = parse_count(v);
          if (!n || *n < 1 || *n > 100000) {
            usage_error("analyze", "--map-columns takes a number of columns from 1 to 100000");
            return false;
          }
          o.map_columns = static_cast<int>(*n);
        }
        return true;
      });
  if (status != ok) return status;
  if (parsed.args.size() != 1)
    return usage_error("analyze", parsed.args.empty() ? "no file given" : "one file at a time");
  if (csv + json + md5 > 1 || (packs && (csv || md5)))
    return usage_error("analyze", "one of --csv, --json, --md5 and --packs (with or without --json)");
  o.input = parsed.args[0];
  using L = Options::Listing;
  o.listing = packs ? (json ? L::packs_json : L::packs)
              : csv ? L::csv
              : json ? L::json
              : md5  ? L::md5
                     : L::summary;
  return ok;
}

}  // namespace

int run_analyze(int argc, const char **argv) {
  Options o;
  if (const Status usage = read_command_line(argc, argv, o); usage != ok) return usage;
  auto opened = TransferReader::open(o.input);
  if (!opened) {
    error(opened.error().message);
    return bad_input;
  }
  TransferReader &reader = **opened;
  BreakFinder breaks;
  std::vector<FrameMark> marks;
  std::vector<Recording> recordings;
  std::vector<Spot> spots;
  DamageTally tally;
  tally.concealed = false;
  SoundDamage sound;
  std::optional<FrameInfo> first;
  bool header_done = false;
  FrameSums sums(reader.info());
  while (auto item = reader.next()) {
    if (!*item) {
      error(reader.name() + ": " + item->error().message);
      return bad_input;
    }
    const ScannedFrame &s = **item;
    const Frame &frame = *s.frame;
    tally.add_read(frame);
    unsigned found = 0;
    if (s.readable) {
      found = breaks.next(s.facts);
      if (!first) first = s.facts.info;
      tally.flagged_video_blocks +=
          static_cast<uint64_t>(std::max(0, s.facts.info.flagged_video - frame.missing_video));
      if (s.facts.damaged_macroblocks > 0) {
        ++tally.damaged_frames;
        tally.damaged_macroblocks += static_cast<uint64_t>(s.facts.damaged_macroblocks);
      }
    } else {
      breaks.skip();
      ++tally.unreadable_frames;
    }
    if (o.listing == Options::Listing::md5) {
      sums.add(s);
    } else if (o.listing == Options::Listing::packs || o.listing == Options::Listing::packs_json) {
      const bool json = o.listing == Options::Listing::packs_json;
      std::printf("%s%s", packs_listing(s, json).c_str(), json ? "\n" : "");
    } else if (o.listing != Options::Listing::summary) {
      const bool json = o.listing == Options::Listing::json;
      if (!header_done && !json) std::printf("%s\n", csv_header().c_str());
      header_done = true;
      std::printf("%s\n", frame_line(s, found, json).c_str());
    }
    FrameMark mark = mark_of(s, found);
    // Recordings: a new one at every break.
    if (recordings.empty() || found != 0) {
      Recording &r = recordings.emplace_back();
      r.first = frame.index;
      r.breaks = found;
      if (s.readable) r.info = s.facts.info;
    }
    Recording &r = recordings.back();
    r.last = frame.index;
    if (r.info.width == 0 && s.readable) r.info = s.facts.info;
    if (s.readable) {
      r.timecode.add(timecode_text(s.facts.info));
      r.recorded.add(recorded_label(s.facts.info));
    }
    if (damaged(mark)) {
      ++r.damaged_frames;
      uint64_t errors = 0;
      for (const int e : mark.audio_errors) errors += static_cast<uint64_t>(e);
      sound.samples += errors;
      sound.frames += errors > 0;
      if (spots.empty() || spots.back().last + 1 != frame.index) {
        Spot &spot = spots.emplace_back();
        spot.first = frame.index;
        if (s.readable) {
          spot.timecode = timecode_text(s.facts.info);
          spot.recorded = recorded_label(s.facts.info);
        }
      }
      Spot &spot = spots.back();
      spot.last = frame.index;
      spot.macroblocks += static_cast<uint64_t>(mark.damaged_macroblocks);
      spot.audio_errors += errors;
      spot.unreadable += !mark.readable;
      spot.missing += mark.missing;
    }
    marks.push_back(mark);
  }
  if (marks.empty() || !first) {
    error(reader.name() + ": " + (marks.empty() ? "not a DV stream (no frames)" : "no frame could be read"));
    return bad_input;
  }
  if (o.listing == Options::Listing::summary)
    print_summary(reader.name(), reader.info(), *first, marks, recordings, spots, tally, sound);
  if (!o.map.empty()) {
    auto png = draw_map(marks, o.map_columns);
    if (!png) {
      error(o.map + ": " + png.error().message);
      return bad_input;
    }
    if (!write_file(o.map, *png)) return bad_input;
  }
  return ok;
}

}  // namespace tarsk::cli
