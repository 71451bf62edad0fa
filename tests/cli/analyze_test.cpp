// tarsk analyze on transfers made by our encoder with known time codes,
// dates, recording start flags and track numbers, damaged in known places:
// every frame's account (CSV and JSON Lines read back by Python's own
// readers), the recordings of the summary and the map picture.
#include <gtest/gtest.h>

#include <array>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/dif.h"
#include "support/ffmpeg.h"
#include "tool.h"
#include "support/transfer.h"

namespace {

using namespace tarsk::test;
namespace fs = std::filesystem;
namespace dif = tarsk::dif;

constexpr int64_t hour = 3600, day0 = 1700000000;
constexpr int pal = 144000;

// Three recordings of 10, 8 and 6 frames on a tape whose time code runs on:
// the second opens with the recorder's start flag an hour later, the third
// has no flag but its clock jumps another hour. Damage: frame 3 sequence 2
// segment 5 flagged, frame 12 sequence 4 segment 20 garbled, frame 15 audio
// block 8 of sequence 7 error-coded, 100 stray bytes before frame 20.
struct Planted {
  std::vector<uint8_t> bytes;
  int audio_errors_15 = 0;  // error-coded samples of frame 15's channel 2
};

const Planted &planted() {
  static const Planted p = [] {
    Planted p;
    p.bytes = make_transfer({{.frames = 10, .timecode = 90000, .date = day0},
                             {.frames = 8, .timecode = 90010, .date = day0 + hour},
                             {.frames = 6, .timecode = 90018, .date = day0 + 2 * hour, .marked = false}},
                            5000);
    flag_segment(&p.bytes[3 * pal], 2, 5);
    garble_segment(&p.bytes[12 * pal], 4, 20);
    error_audio_block(&p.bytes[15 * pal], 7, 8);
    for (int i = 0; i < 36; ++i) p.audio_errors_15 += dif::audio_position(true, 1, 8, i) < 1920;
    p.bytes.insert(p.bytes.begin() + 20 * pal, 100, 0x5a);
    return p;
  }();
  return p;
}

fs::path planted_file() {
  static const fs::path path = [] {
    const fs::path f = scratch_file(".dv");
    std::ofstream(f, std::ios::binary)
        .write(reinterpret_cast<const char *>(planted().bytes.data()),
               static_cast<std::streamsize>(planted().bytes.size()));
    return f;
  }();
  return path;
}

// Python's reading of analyze's CSV or JSON Lines: per frame the fields
// asked for, separated by '|'; the readers check the syntax themselves.
std::vector<std::string> read_back(const std::string &listing, bool json,
                                   const std::string &fields) {
  const fs::path path = scratch_file(json ? ".jsonl" : ".csv");
  std::ofstream(path) << listing;
  const std::string program =
      json ? "import json,sys\nfor l in open(sys.argv[1]):\n d=json.loads(l)\n"
             " print('|'.join(str(x) for x in [" + fields + "]))\n"
           : "import csv,sys\nr=list(csv.reader(open(sys.argv[1])))\nh=r[0]\n"
             "assert all(len(x)==len(h) for x in r)\nfor x in r[1:]:\n d=dict(zip(h,x))\n"
             " print('|'.join(str(x) for x in [" + fields + "]))\n";
  const auto run = run_command({"python3", "-c", program, path.string()});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  std::vector<std::string> lines;
  std::istringstream in(run.out);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Every frame's account, in both listings: damage exactly where it was
// put, the breaks where the recordings join, markers, track numbers, clocks.
TEST(Analyze, ListsExactlyTheDamageAndBreaksPutIn) {
  const Planted &p = planted();
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "json" : "csv");
    const auto run = run_tarsk({"analyze", planted_file(), json ? "--json" : "--csv"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const std::string csv_fields =
        "d['frame'],d['skipped_bytes'],d['timecode'],d['recorded'],d['recording_start'],"
        "d['absolute_track'],d['breaks'],d['flagged_2'],d['broken_4'],d['audio_errors_2'],"
        "d['damaged_macroblocks'],sum(int(d['flagged_%d'%s])+int(d['broken_%d'%s]) for s in range(12))";
    const std::string json_fields =
        "d['frame'],d['skipped_bytes'],d['timecode'],d['recorded'],str(d['recording_start']).lower(),"
        "d['absolute_track'],d['breaks'] or '',d['sequences'][2]['flagged_video'],"
        "d['sequences'][4]['broken_video'],d['audio_errors'][1],d['damaged_macroblocks'],"
        "sum(s['flagged_video']+s['broken_video'] for s in d['sequences'])";
    const auto lines = read_back(run.out, json, json ? json_fields : csv_fields);
    ASSERT_EQ(lines.size(), 24u);
    for (int n = 0; n < 24; ++n) {
      SCOPED_TRACE(n);
      char tc[16], rec[32];
      std::snprintf(tc, sizeof tc, "01:00:00:%02d", n);
      const int64_t when = day0 + (n >= 10) * hour + (n >= 18) * hour;
      std::time_t t = static_cast<std::time_t>(when);
      std::tm tm{};
      gmtime_r(&t, &tm);
      std::strftime(rec, sizeof rec, "%Y-%m-%d %H:%M:%S", &tm);
      const std::string breaks = n == 10   ? "recording start, recording time jump"
                                 : n == 18 ? "recording time jump"
                                           : "";
      const int broken = n == 12 ? -1 : 0;  // garbled: some, counted below
      std::vector<std::string> want = {std::to_string(n),
                                       n == 20 ? "100" : "0",
                                       tc,
                                       "",
                                       n == 0 || n == 10 ? "true" : "false",
                                       std::to_string(5000 + 12 * n),
                                       breaks,
                                       n == 3 ? "5" : "0",
                                       "",
                                       n == 15 ? std::to_string(p.audio_errors_15) : "0",
                                       "",
                                       ""};
      std::vector<std::string> got;
      std::istringstream fields(lines[static_cast<size_t>(n)]);
      for (std::string f; std::getline(fields, f, '|');) got.push_back(f);
      ASSERT_EQ(got.size(), want.size()) << lines[static_cast<size_t>(n)];
      // The recording clock: the first frame's second, the seconds after it
      // as our encoder's clock runs on (one second in every 25 frames).
      EXPECT_EQ(got[3].substr(0, 13), std::string(rec).substr(0, 13)) << got[3];
      const int garbled = std::stoi(got[8]);
      EXPECT_EQ(garbled > 0, broken < 0) << "broken blocks in sequence 4";
      // Damaged macroblocks: exactly the flagged and broken blocks, nothing elsewhere.
      EXPECT_EQ(got[10], std::to_string(n == 3 ? 5 : garbled));
      EXPECT_EQ(got[11], got[10]);
      for (size_t f : {0u, 1u, 2u, 4u, 5u, 6u, 7u, 9u}) EXPECT_EQ(got[f], want[f]) << f;
    }
  }
}

// The same transfer in Matroska (remuxed: the stray bytes gone) gives the
// same account of every frame but where it stood.
TEST(Analyze, ReadsContainersAsRawDv) {
  const fs::path mkv = scratch_file(".mkv");
  ASSERT_EQ(run_tarsk({"remux", planted_file(), "-o", mkv}).exit_status, 0);
  const std::string fields =
      "d['frame'],d['timecode'],d['recorded'],d['breaks'],d['absolute_track'],d['sequences'],"
      "d['audio_errors']";
  std::vector<std::string> accounts[2];
  for (int n = 0; n < 2; ++n) {
    const auto run = run_tarsk({"analyze", n ? mkv : planted_file(), "--json"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    accounts[n] = read_back(run.out, true, fields);
  }
  EXPECT_EQ(accounts[0].size(), 24u);
  EXPECT_EQ(accounts[0], accounts[1]);
}

// The summary: three recordings with their ranges and why each starts,
// the damage and the worst spots; a whole file of another system, ffmpeg's,
// read for its time code and aspect.
TEST(Analyze, SummaryTellsTheRecordingsAndTheWorstSpots) {
  const auto run = run_tarsk({"analyze", planted_file()});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  for (const char *said :
       {"24 frames (00:00:00.960)", "recordings: 3",
        "1. frames 0 to 9 (00:00:00.400)", "time code 01:00:00:00 to 01:00:00:09",
        "2. frames 10 to 17", "starts at a recording start, recording time jump",
        "3. frames 18 to 23", "starts at a recording time jump",
        "100 bytes skipped", "worst spots:", "frames 3 to 3 (time code 01:00:00:03",
        "frames 12 to 12 (time code 01:00:00:12", "error-coded samples"})
    EXPECT_NE(run.out.find(said), std::string::npos) << said << "\n" << run.out;

  // ffmpeg's 525/60 with drop-frame time code over a minute's turn, and 16:9.
  const MadeDv &ntsc = made_dv("analyze_ntsc_drop_wide", {.system = e_dv_system_525_60, .pix_fmt = "yuv411p",
                                           .frames = 6, .timecode = "00:00:59;28",
                                           .aspect = "16:9"});
  const auto listed = run_tarsk({"analyze", ntsc.path, "--csv"});
  ASSERT_EQ(listed.exit_status, 0) << listed.err;
  const auto lines = read_back(listed.out, false, "d['timecode'],d['aspect'],d['breaks']");
  ASSERT_EQ(lines.size(), 6u);
  const char *want[] = {"00:00:59;28|16:9|", "00:00:59;29|16:9|", "00:01:00;02|16:9|",
                        "00:01:00;03|16:9|", "00:01:00;04|16:9|", "00:01:00;05|16:9|"};
  for (size_t n = 0; n < 6; ++n) EXPECT_EQ(lines[n], want[n]) << n;
}

// The map: a column per frame (or per pair of frames, where the worst of
// the two shows), rows for the stream, the twelve DIF sequences and the
// two channels, each damage in its colour where it was put, and the
// recordings' starts marked.
TEST(Analyze, MapShowsTheDamageWhereItIs) {
  for (const int group : {1, 2}) {
    SCOPED_TRACE(group);
    const fs::path png = scratch_file(".png");
    const auto run = run_tarsk({"analyze", planted_file(), "--map", png, "--json", "--map-columns",
                            std::to_string(24 / group)});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    // ffmpeg reads the PNG: its size, then its pixels as R G B bytes.
    const int width = 24 / group;
    EXPECT_EQ(run_ffprobe({"-show_entries", "stream=width,height", "-of", "csv=p=0", png.string()}),
              std::to_string(width) + ",111\n");
    const fs::path raw = scratch_file(".rgb");
    run_ffmpeg({"-i", png.string(), "-f", "rawvideo", "-pix_fmt", "rgb24", raw.string()});
    const std::vector<uint8_t> rgb = read_file(raw);
    ASSERT_EQ(rgb.size(), static_cast<size_t>(width) * 111 * 3);
    auto at = [&](int x, int y) {
      const uint8_t *px = &rgb[static_cast<size_t>(3 * (y * width + x))];
      return std::array<int, 3>{px[0], px[1], px[2]};
    };
    const std::array<int, 3> clean{40, 110, 60}, flagged{240, 160, 20}, broken{220, 30, 30},
        missing{200, 40, 200}, audio{40, 140, 250}, white{255, 255, 255}, black{0, 0, 0};
    auto column = [&](int frame) { return frame / group; };
    for (int x = 0; x < width; ++x) {
      SCOPED_TRACE(x);
      EXPECT_EQ(at(x, 2), x == column(10) || x == column(18) ? white : black);
      EXPECT_EQ(at(x, 6 + 3), x == column(20) ? missing : clean);
      for (int s = 0; s < 12; ++s)
        EXPECT_EQ(at(x, 6 + 7 * (1 + s) + 3),
                  x == column(3) && s == 2 ? flagged : x == column(12) && s == 4 ? broken : clean)
            << s;
      for (int c = 0; c < 2; ++c)
        EXPECT_EQ(at(x, 6 + 7 * (13 + c) + 3), x == column(15) && c == 1 ? audio : clean) << c;
    }
  }
}

// Not DV, nothing readable, a bad command line: said, with the exit status.
TEST(Analyze, RefusesWhatItCannotRead) {
  const fs::path text = scratch_file(".txt");
  std::ofstream(text) << "not a DV file\n";
  const auto not_dv = run_tarsk({"analyze", text});
  EXPECT_EQ(not_dv.exit_status, 1);
  EXPECT_NE(not_dv.err.find("not a DV stream"), std::string::npos) << not_dv.err;
  EXPECT_EQ(run_tarsk({"analyze"}).exit_status, 2);
  EXPECT_EQ(run_tarsk({"analyze", planted_file(), "--csv", "--json"}).exit_status, 2);
  EXPECT_EQ(run_tarsk({"analyze", planted_file(), "--map-columns", "0"}).exit_status, 2);
  const fs::path png = scratch_file(".png");
  EXPECT_EQ(run_tarsk({"analyze", text, "--map", png}).exit_status, 1);
  EXPECT_FALSE(fs::exists(png)) << "no map of nothing";
}

}  // namespace
