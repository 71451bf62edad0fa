// tarsk split: a transfer of a tape cut into files where its recordings
// begin, its clocks jump or its settings change, without decoding a
// picture. Raw DV into raw DV is cut as bytes: each piece is the stretch of
// the input from its first frame to the next piece's, whatever lies between
// the frames included, so that the pieces joined are the input again. Into
// or out of a container the frames go over as they were read.
//
// The input is read twice: once to find the pieces (all that --dry-run
// does), once to write them. Every name is checked before anything is
// written, and a failure removes the pieces already written.
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <tarsk/tarsk.hpp>
#include <utility>
#include <vector>

#include "cli.h"
#include "container.h"
#include "output.h"
#include "transfer.h"

namespace tarsk::cli {

namespace {

constexpr unsigned default_breaks = break_recording_start | break_settings;

struct Options {
  std::string input, pattern_text;
  std::optional<NamePattern> pattern;
  DvForm form = DvForm::raw;
  unsigned breaks = default_breaks;
  bool dry_run = false, quiet = false;
};

Status read_command_line(int argc, const char **argv, Options &o) {
  const poptOption table[] = {
      {"output", 'o', POPT_ARG_STRING, nullptr, 'o',
       "write the pieces to names made from PATTERN, whose one %d (or %03d, ...) is the piece's "
       "number from 1 (%% for a %); its extension gives the form: raw DV (.dv), AVI (.avi), "
       "QuickTime (.mov) or Matroska (.mkv)",
       "PATTERN"},
      {"at", '\0', POPT_ARG_STRING, nullptr, 'a',
       "start a piece at: rec-start (the recorder's recording start mark), rec-time (a jump of "
       "the recording date and time), timecode (a jump of the time code), settings (a change "
       "of system, sampling, aspect or sound), or all [rec-start,settings]. Pieces in a "
       "container begin where the system changes in any case, as a container holds one",
       "LIST"},
      {"dry-run", '\0', POPT_ARG_NONE, nullptr, 'D', "list the pieces, write nothing", nullptr},
      {"quiet", 'q', POPT_ARG_NONE, nullptr, 'q', "do not list the pieces written", nullptr},
      OVERWRITE_OPTIONS,
      POPT_AUTOHELP POPT_TABLEEND};
  ParsedArgs parsed;
  const Status status = parse_options(
      argc, argv, table, "FILE -o PATTERN", parsed, [&](int key, const std::string &v) {
        switch (key) {
          case 'o':
            o.pattern_text = v;
            break;
          case 'D':
            o.dry_run = true;
            break;
          case 'q':
            o.quiet = true;
            break;
          case 'a':
            if (const auto breaks = parse_breaks(v); breaks && *breaks != 0) {
              o.breaks = *breaks;
            } else {
              error("split: --at " + v +
                    ": give names among rec-start, rec-time, timecode, settings and all, "
                    "separated by commas");
              return false;
            }
            break;
        }
        return true;
      });
  if (status != ok) return status;
  if (parsed.args.size() != 1)
    return usage_error("split", parsed.args.empty() ? "no file given" : "one file at a time");
  o.input = parsed.args[0];
  if (o.input == "-")
    return usage_error("split", "standard input cannot be split: the file is read twice; give its name");
  if (o.pattern_text.empty()) return usage_error("split", "no output given: -o PATTERN");
  o.pattern = NamePattern::parse(o.pattern_text);
  if (!o.pattern)
    return usage_error("split", "-o " + o.pattern_text +
                       ": the name needs exactly one %d (or %03d, ...) for the piece's number, "
                       "and no other % but %%");
  const auto form = dv_form_of(o.pattern->format(1));
  if (!form)
    return usage_error("split", "cannot tell the form from the name " + o.pattern_text +
                       "; end it in .dv (raw DV), .avi, .mov or .mkv");
  o.form = *form;
  return ok;
}

struct Piece {
  std::string name;
  uint64_t first = 0, frames = 0;  // the first frame's number, from 0, and the count
  uint64_t offset = 0;             // where the piece begins in a raw DV input
  std::string reason;              // why it begins
  std::optional<FrameInfo> info;   // of its first readable frame
  FirstLast timecode, recorded;
};

// What the first pass finds.
struct Plan {
  std::vector<Piece> pieces;
  bool raw_input = false;
  uint64_t unreadable = 0;
};

std::string piece_name(const Options &o, size_t number) { return o.pattern->format(number); }

// "1 frame", "2 frames".
std::string frames_text(uint64_t count) {
  return std::to_string(count) + (count == 1 ? " frame" : " frames");
}

// The pieces of the input; an error after its message.
std::optional<Plan> find_pieces(const Options &o) {
  auto opened = TransferReader::open(o.input);
  if (!opened) {
    error(opened.error().message);
    return std::nullopt;
  }
  TransferReader &reader = **opened;
  Plan plan;
  plan.raw_input = reader.info().container == "raw DV";
  BreakFinder finder;
  std::optional<tarsk_system> system;
  while (auto item = reader.next()) {
    if (!*item) {
      error(reader.name() + ": " + item->error().message);
      return std::nullopt;
    }
    const ScannedFrame &scanned = **item;
    const Frame &frame = *scanned.frame;
    const FrameInfo *info = scanned.readable ? &scanned.facts.info : nullptr;
    unsigned breaks = 0;
    if (info != nullptr)
      breaks = finder.next(scanned.facts) & o.breaks;
    else
      finder.skip();
    std::string reason = break_text(breaks);
    // A container holds frames of one size and rate.
    if (info != nullptr && system && info->system != *system && o.form != DvForm::raw &&
        breaks == 0)
      reason = "system change";
    if (info != nullptr) system = info->system;
    if (plan.pieces.empty() || !reason.empty()) {
      Piece piece;
      piece.name = piece_name(o, plan.pieces.size() + 1);
      piece.first = frame.index;
      piece.offset = plan.pieces.empty() ? 0 : frame.offset;
      piece.reason = plan.pieces.empty() ? "start of the file" : reason;
      plan.pieces.push_back(std::move(piece));
    }
    Piece &piece = plan.pieces.back();
    ++piece.frames;
    if (info == nullptr) {
      ++plan.unreadable;
      continue;
    }
    if (!piece.info) piece.info = *info;
    piece.timecode.add(timecode_text(*info));
    piece.recorded.add(recorded_label(*info));
  }
  if (plan.pieces.empty()) {
    error(reader.name() + ": not a DV stream (it is empty)");
    return std::nullopt;
  }
  return plan;
}

void print_table(const Plan &plan) {
  std::vector<std::vector<std::string>> rows = {
      {"piece", "file", "frames", "count", "duration", "time code", "recorded", "starts at"}};
  for (size_t i = 0; i < plan.pieces.size(); ++i) {
    const Piece &p = plan.pieces[i];
    const tarsk_system system = p.info ? p.info->system : TARSK_SYSTEM_625_50;
    rows.push_back({std::to_string(i + 1), p.name,
                    std::to_string(p.first) + "-" + std::to_string(p.first + p.frames - 1),
                    std::to_string(p.frames), p.info ? duration_text(p.frames, system) : "-",
                    p.timecode.text(" - ", "-"), p.recorded.text(" - ", "-"), p.reason});
  }
  std::vector<size_t> width(rows[0].size(), 0);
  for (const auto &row : rows)
    for (size_t c = 0; c < row.size(); ++c) width[c] = std::max(width[c], row[c].size());
  for (const auto &row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      // Numbers to the right, words to the left; the last column unpadded.
      const bool number = c == 0 || c == 3;
      const std::string pad(width[c] - row[c].size(), ' ');
      line += c == 0 ? "" : "  ";
      line += number ? pad + row[c] : c + 1 == row.size() ? row[c] : row[c] + pad;
    }
    std::printf("%s\n", line.c_str());
  }
}

// Names of pieces written, removed unless the whole run succeeds.
class Written {
 public:
  ~Written() {
    if (!kept_)
      for (const std::string &name : names_) std::remove(name.c_str());
  }
  void add(const std::string &name) { names_.push_back(name); }
  void keep() { kept_ = true; }

 private:
  std::vector<std::string> names_;
  bool kept_ = false;
};

// Raw DV into raw DV: the input's bytes cut at the pieces' offsets.
bool cut_bytes(const Options &o, const Plan &plan, Written &written) {
  FILE *in = std::fopen(o.input.c_str(), "rb");
  if (in == nullptr) {
    error(o.input + ": " + std::strerror(errno));
    return false;
  }
  std::vector<uint8_t> buffer(1 << 20);
  bool good = true;
  for (size_t i = 0; good && i < plan.pieces.size(); ++i) {
    const bool last = i + 1 == plan.pieces.size();
    uint64_t left = last ? UINT64_MAX : plan.pieces[i + 1].offset - plan.pieces[i].offset;
    OutputFile out;
    good = out.open(plan.pieces[i].name);
    while (good && left > 0) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left, buffer.size()));
      const size_t got = std::fread(buffer.data(), 1, want, in);
      if (got < want && (std::ferror(in) || !last)) {
        error(o.input + ": " +
              (std::ferror(in) ? std::strerror(errno) : "the file got shorter while it was read"));
        good = false;
        break;
      }
      good = out.write(std::span(buffer.data(), got));
      left = last ? (got < want ? 0 : left) : left - got;
    }
    if (good) {
      good = out.commit();
      if (good) written.add(plan.pieces[i].name);
    }
  }
  std::fclose(in);
  return good;
}

// Frames into their pieces one by one, each with its sound for a
// container's track.
bool copy_frames(const Options &o, const Plan &plan, Written &written) {
  auto source = open_dv_source(o.input);
  if (!source) {
    error(source.error().message);
    return false;
  }
  Decoder decoder{quiet_settings()};
  if (!decoder) {
    error(decoder.open_error().message);
    return false;
  }
  std::unique_ptr<DvSink> sink;
  size_t current = 0;     // the piece being written, from 0
  uint64_t in_piece = 0;  // its frames written so far
  uint64_t silent = 0, left_out = 0;
  const auto finish = [&]() {
    if (!sink) return true;
    if (!std::exchange(sink, nullptr)->commit()) return false;
    written.add(plan.pieces[current].name);
    return true;
  };
  while (auto item = (*source)->next()) {
    if (!*item) {
      error(o.input + ": " + item->error().message);
      return false;
    }
    const Frame &frame = **item;
    if (current + 1 < plan.pieces.size() && frame.index == plan.pieces[current + 1].first) {
      if (!finish()) return false;
      ++current;
    }
    const Piece &piece = plan.pieces[current];
    const tarsk_system system = piece.info ? piece.info->system : frame.system;
    if (!sink) {
      sink = open_dv_sink(piece.name, o.form);
      if (!sink) return false;
      in_piece = 0;
      StreamFacts facts;
      facts.system = system;
      facts.sampling = system == TARSK_SYSTEM_625_50 ? TARSK_SAMPLING_420 : TARSK_SAMPLING_411;
      if (piece.info) {
        const FrameInfo &info = *piece.info;
        facts.sampling = info.sampling;
        facts.wide = info.wide != 0;
        facts.audio_rate = info.audio_rate;
        facts.audio_channels = info.audio_rate > 0 ? info.audio_channels : 0;
        facts.timecode = timecode_text(info);
      }
      if (!sink->start(facts)) return false;
    }
    // A frame of another system than its piece's can only be one whose
    // header could not be read.
    if (frame.system != system && o.form != DvForm::raw) {
      ++left_out;
      continue;
    }
    std::vector<int16_t> sound;
    if (o.form != DvForm::raw && piece.info && piece.info->audio_rate > 0) {
      const auto decoded = decoder.decode_frame(frame.bytes, nullptr, false, true);
      const Audio *audio = decoded && decoded->audio ? &*decoded->audio : nullptr;
      bool taken = false;
      sound = track_sound(audio, piece.info->audio_rate, piece.info->audio_channels, system,
                          in_piece, &taken);
      silent += !taken;
    }
    if (!sink->write(frame.bytes, sound)) return false;
    ++in_piece;
  }
  if (!finish()) return false;
  if (current + 1 != plan.pieces.size()) {
    error(o.input + ": the file got shorter while it was read");
    return false;
  }
  if (left_out > 0)
    warning(o.input + ": " + frames_text(left_out) +
            " that could not be read, of another system than their piece's, left out: a "
            "container holds frames of one size and rate");
  if (silent > 0)
    warning(o.input + ": " + frames_text(silent) +
            " without sound their piece's track can take; silence in its place");
  return true;
}

int run(const Options &o) {
  const auto plan = find_pieces(o);
  if (!plan) return bad_input;
  if (plan->unreadable > 0)
    warning(o.input + ": " + frames_text(plan->unreadable) +
            " whose header blocks could not be read, each kept in the piece it falls in");
  if (o.dry_run) {
    print_table(*plan);
    return ok;
  }
  // Every name checked before anything is written.
  for (const Piece &piece : plan->pieces)
    if (!may_write(piece.name)) return bad_input;
  Written written;
  const bool done = plan->raw_input && o.form == DvForm::raw ? cut_bytes(o, *plan, written)
                                                             : copy_frames(o, *plan, written);
  if (!done) return bad_input;
  written.keep();
  if (!o.quiet) print_table(*plan);
  return ok;
}

}  // namespace

int run_split(int argc, const char **argv) {
  Options o;
  if (const Status usage = read_command_line(argc, argv, o); usage != ok) return usage;
  return run(o);
}

}  // namespace tarsk::cli
