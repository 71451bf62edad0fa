// Time code through the tarsk command: encode --timecode in 625/50, 525/60
// and 525/60 drop-frame, the frames' time codes read back by info (text,
// JSON, per frame), analyze and ffprobe, from the DV file and from a
// container; ffmpeg's own files read by info; the time codes refused.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ffmpeg.h"
#include "tool.h"

namespace {

using namespace tarsk::test;
namespace fs = std::filesystem;

// What python3 prints of `expression` on `text` read as JSON (json=True)
// or as CSV rows of dictionaries (rows), one line per print.
std::string python_reads(const std::string &text, bool json, const std::string &expression) {
  const fs::path path = scratch_file(json ? ".json" : ".csv");
  std::ofstream(path) << text;
  const std::string program =
      json ? "import json,sys\nd=json.load(open(sys.argv[1]))\nprint(" + expression + ")\n"
           : "import csv,sys\nrows=list(csv.DictReader(open(sys.argv[1])))\nprint(" + expression +
                 ")\n";
  const auto run = run_command({"python3", "-c", program, path.string()});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  return run.out.substr(0, run.out.find_last_not_of('\n') + 1);
}

// Python's printing of a list of strings.
std::string listed(const std::vector<std::string> &labels) {
  std::string text;
  for (const auto &l : labels) text += (text.empty() ? "['" : ", '") + l + "'";
  return text + "]";
}

// The time codes info and analyze tell of a DV file, and that ffprobe
// tells of its first frame, against the expected sequence.
void expect_labels(const fs::path &dv, const std::vector<std::string> &labels, bool drop_frame) {
  const auto info = run_tarsk({"info", dv.string()});
  ASSERT_EQ(info.exit_status, 0) << info.err;
  const std::string range = labels.front() + " to " + labels.back();
  EXPECT_NE(info.out.find("time code:   " + range), std::string::npos) << info.out;
  const auto json = run_tarsk({"info", "--json", "--frames", dv.string()});
  ASSERT_EQ(json.exit_status, 0) << json.err;
  EXPECT_EQ(python_reads(json.out, true,
                         "[g['timecode'] for g in d[0]['frames']], d[0]['timecode']['first'], "
                         "d[0]['timecode']['last']"),
            listed(labels) + " " + labels.front() + " " + labels.back());
  const auto analyzed = run_tarsk({"analyze", dv.string(), "--csv"});
  ASSERT_EQ(analyzed.exit_status, 0) << analyzed.err;
  EXPECT_EQ(python_reads(analyzed.out, false,
                         "[r['timecode'] for r in rows], {r['drop_frame'] for r in rows}, "
                         "[r['breaks'] for r in rows if r['breaks']]"),
            listed(labels) + (drop_frame ? " {'true'}" : " {'false'}") + " []");
  EXPECT_EQ(run_ffprobe({"-v", "error", "-show_entries", "format_tags=timecode", "-of",
                         "default=nw=1:nk=1", dv.string()}),
            labels.front() + "\n");
}

struct Written {
  const char *name;
  const char *system;
  const char *given;  // --timecode
  std::vector<std::string> labels;
};

// clang-format off
const Written written[] = {
    {"drop-frame over a minute", "ntsc", "00:00:59;28",
     {"00:00:59;28", "00:00:59;29", "00:01:00;02", "00:01:00;03"}},
    {"drop-frame into a tenth minute", "ntsc", "01:09:59;29",
     {"01:09:59;29", "01:10:00;00", "01:10:00;01", "01:10:00;02"}},
    {"drop-frame with a dot", "ntsc", "00:00:59.28",
     {"00:00:59;28", "00:00:59;29", "00:01:00;02", "00:01:00;03"}},
    {"525/60 non-drop over a minute", "ntsc", "00:00:59:28",
     {"00:00:59:28", "00:00:59:29", "00:01:00:00", "00:01:00:01"}},
    {"625/50", "pal", "10:00:00:00", {"10:00:00:00", "10:00:00:01", "10:00:00:02", "10:00:00:03"}},
    {"625/50 over a second", "pal", "10:20:30:23",
     {"10:20:30:23", "10:20:30:24", "10:20:31:00", "10:20:31:01"}},
};
// clang-format on

// Our frames' time codes as info, analyze and ffprobe read them, and the
// label a container made by encode carries as ffmpeg tells it.
TEST(Timecode, EncodeWritesWhatInfoAnalyzeAndFfprobeRead) {
  for (const Written &w : written) {
    SCOPED_TRACE(w.name);
    const fs::path dir = fresh_dir();
    const std::vector<std::string> encode = {
        "encode", "--test-pattern", "--system",   w.system, "--duration", "1", "--frames",
        "0:4",    "--quiet",        "--timecode", w.given,  "-o"};
    auto to_dv = encode;
    to_dv.push_back((dir / "tc.dv").string());
    const auto made = run_tarsk(to_dv);
    ASSERT_EQ(made.exit_status, 0) << made.err;
    expect_labels(dir / "tc.dv", w.labels, w.labels.front()[8] == ';');
    auto to_mov = encode;
    to_mov.push_back((dir / "tc.mov").string());
    ASSERT_EQ(run_tarsk(to_mov).exit_status, 0);
    EXPECT_EQ(
        run_ffprobe({"-v", "error", "-select_streams", "v", "-show_entries", "stream_tags=timecode",
                     "-of", "default=nw=1:nk=1", (dir / "tc.mov").string()}),
        w.labels.front() + "\n");
  }
}

// ffmpeg's DV files, its time codes read by info and analyze.
TEST(Timecode, InfoReadsFfmpegsTimecodes) {
  const struct {
    const char *name;
    DvRecipe recipe;
    std::vector<std::string> labels;
  } cases[] = {
      {"timecode_ffmpeg_drop_ntsc",
       {.system = e_dv_system_525_60, .pix_fmt = "yuv411p", .frames = 4, .timecode = "00:00:59;28"},
       {"00:00:59;28", "00:00:59;29", "00:01:00;02", "00:01:00;03"}},
      {"timecode_ffmpeg_ntsc",
       {.system = e_dv_system_525_60, .pix_fmt = "yuv411p", .frames = 4, .timecode = "00:00:59:28"},
       {"00:00:59:28", "00:00:59:29", "00:01:00:00", "00:01:00:01"}},
      {"timecode_ffmpeg_pal",
       {.frames = 4, .timecode = "10:20:30:12"},
       {"10:20:30:12", "10:20:30:13", "10:20:30:14", "10:20:30:15"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    expect_labels(made_dv(c.name, c.recipe).path, c.labels, c.labels.front()[8] == ';');
  }
}

// Time codes a system cannot carry: a bad command line, no file.
TEST(Timecode, EncodeRefusesWhatTheSystemCannotCarry) {
  const struct {
    const char *system, *given, *message;
  } refusals[] = {
      {"pal", "00:00:59;28",
       "encode: --timecode 00:00:59;28: drop-frame time code is 525/60's; 625/50 (PAL) takes "
       "HH:MM:SS:FF"},
      {"ntsc", "00:01:00;00",
       "encode: --timecode 00:01:00;00: drop-frame time code leaves out frame numbers 00 and 01 "
       "at minutes not divisible by ten"},
      {"ntsc", "01:59:00.01",
       "encode: --timecode 01:59:00;01: drop-frame time code leaves out frame numbers 00 and 01 "
       "at minutes not divisible by ten"},
      {"ntsc", "00:00:00;30",
       "encode: --timecode 00:00:00;30: 525/60 (NTSC) frames are numbered "
       "00 to 29"},
      {"pal", "00:00:00:25",
       "encode: --timecode 00:00:00:25: 625/50 (PAL) frames are numbered "
       "00 to 24"},
      {"ntsc", "00:00:00,05",
       "encode: --timecode takes HH:MM:SS:FF, such as 10:00:00:00, or "
       "HH:MM:SS;FF for drop-frame time code, not '00:00:00,05'"},
      {"ntsc", "00:00:00;5", "encode: --timecode takes HH:MM:SS:FF"},
  };
  for (const auto &r : refusals) {
    SCOPED_TRACE(r.given);
    const fs::path dir = fresh_dir();
    const auto run = run_tarsk({"encode", "--test-pattern", "--system", r.system, "--duration",
                                "0.2", "--timecode", r.given, "-o", (dir / "no.dv").string()});
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_EQ(run.err.rfind("tarsk: " + std::string(r.message), 0), 0u) << run.err;
    EXPECT_TRUE(listing(dir).empty());
  }
}

}  // namespace
