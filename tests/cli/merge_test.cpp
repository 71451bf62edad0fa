// tarsk merge on transfers our encoder makes and damages in known places:
// what each copy lacks is filled in from the others, byte for byte, and
// what no copy has is reported exactly.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
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

constexpr size_t frame_size = TARSK_FRAME_BYTES_625_50;
using Bytes = std::vector<uint8_t>;

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Two recordings of eight frames whose time codes both start at 00:00:10:00
// (the camera's clock, an hour apart, tells them apart), with absolute track
// numbers or without.
const Bytes &clean(bool tracks) {
  static const auto make = [](bool t) {
    // The encoder writes the clock as local time: UTC, for the labels below.
    setenv("TZ", "UTC", 1);
    tzset();
    return make_transfer({{.frames = 8, .timecode = 250, .date = 1700000000},
                          {.frames = 8, .timecode = 250, .date = 1700003600}},
                         t ? std::optional<int32_t>(1000) : std::nullopt);
  };
  static const Bytes with = make(true), without = make(false);
  return tracks ? with : without;
}

// Every time code and recording date and time pack out of a frame.
void strip_clocks(uint8_t *frame) {
  const auto strip = [](uint8_t *pack) {
    if (pack[0] == dif::pack_id::timecode || pack[0] == dif::pack_id::recording_date ||
        pack[0] == dif::pack_id::recording_time || pack[0] == dif::pack_id::aaux_recording_date ||
        pack[0] == dif::pack_id::aaux_recording_time)
      std::fill(pack, pack + dif::pack_size, dif::no_pack);
  };
  for (int s = 0; s < 12; ++s) {
    for (int b = 0; b < 2; ++b)
      for (int n = 0; n < dif::subcode_packs_per_block; ++n)
        strip(frame + dif::block_offset(s, dif::subcode_block(b)) + dif::subcode_pack_offset(n));
    for (int b = 0; b < 3; ++b)
      for (int n = 0; n < dif::vaux_packs_per_block; ++n)
        strip(frame + dif::block_offset(s, dif::vaux_block(b)) + dif::vaux_pack_offset(n));
    for (int a = 0; a < dif::audio_blocks_per_sequence; ++a)
      strip(frame + dif::audio_offset(s, a) + dif::aaux_pack_offset);
  }
}

// How frames are keyed in a test: the stream as made, or without clocks.
enum class Keys { tracks, time, position };

Bytes base_stream(Keys keys) {
  Bytes b = clean(keys == Keys::tracks);
  if (keys == Keys::position)
    for (size_t at = 0; at < b.size(); at += frame_size) strip_clocks(&b[at]);
  return b;
}

// Damage at a frame of a copy (0-based both).
enum Kind { flag, garble, audio, clocks };
struct Hit {
  int copy, frame;
  Kind kind;
  int s, k;
};

void apply(Bytes &stream, const Hit &h) {
  uint8_t *f = &stream[static_cast<size_t>(h.frame) * frame_size];
  if (h.kind == flag) flag_segment(f, h.s, h.k);
  if (h.kind == garble) garble_segment(f, h.s, h.k);
  if (h.kind == audio) error_audio_block(f, h.s, h.k);
  if (h.kind == clocks) strip_clocks(f);
}

struct Merged {
  CommandResult result;
  Bytes out;
  std::vector<std::string> log;
};

// Writes the copies (the stream, or `others` for all but the first, with
// their hits, then without the frames [cut_from, cut_to) for copy `cut`),
// merges them and reads the results.
Merged merge(const Bytes &stream, int copies, const std::vector<Hit> &hits, int cut = -1,
             int cut_from = 0, int cut_to = 0, const std::string &out_name = "out.dv",
             const Bytes *others = nullptr) {
  const fs::path dir = fresh_dir();
  std::vector<std::string> args{"merge"};
  for (int c = 0; c < copies; ++c) {
    Bytes copy = c > 0 && others != nullptr ? *others : stream;
    for (const Hit &h : hits)
      if (h.copy == c) apply(copy, h);
    if (c == cut)
      copy.erase(copy.begin() + cut_from * static_cast<long>(frame_size),
                 copy.begin() + cut_to * static_cast<long>(frame_size));
    const fs::path path = dir / ("copy" + std::to_string(c + 1) + ".dv");
    write_bytes(path, copy);
    args.push_back(path);
  }
  args.insert(args.end(), {"-o", dir / out_name, "--log", dir / "merge.csv"});
  Merged run{run_tarsk(args), {}, {}};
  if (run.result.exit_status == 0) {
    run.out = read_file(dir / out_name);
    run.log = lines(
        std::string(std::istreambuf_iterator<char>(std::ifstream(dir / "merge.csv").rdbuf()), {}));
  }
  if (out_name != "out.dv" &&
      run.result.exit_status == 0) {  // back to raw DV, the frames as they are
    const auto back = run_tarsk({"remux", dir / out_name, "-o", dir / "back.dv"});
    EXPECT_EQ(back.exit_status, 0) << back.err;
    run.out = read_file(dir / "back.dv");
  }
  return run;
}

// A log line's fields.
std::vector<std::string> fields(const std::string &line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  for (std::string f; std::getline(in, f, ',');) out.push_back(f);
  return out;
}

struct Disjoint {
  const char *name;
  Keys keys;
  int copies;
  std::vector<Hit> hits;
  std::string out_name = "out.dv";
};

const std::vector<Hit> apart{{0, 2, flag, 0, 3},   {0, 9, audio, 4, 2},  {1, 5, garble, 11, 26},
                             {1, 12, audio, 0, 8}, {0, 15, flag, 6, 13}, {1, 0, garble, 3, 4}};
// Frame 3 damaged in both copies, in other blocks: three parts in each.
const std::vector<Hit> same_frame{{0, 3, flag, 1, 0}, {0, 3, audio, 2, 0}, {0, 3, garble, 5, 10},
                                  {1, 3, flag, 1, 1}, {1, 3, audio, 2, 1}, {1, 3, audio, 5, 3}};

TEST(Merge, DisjointDamageGivesTheCleanStream) {
  std::vector<Hit> both = apart;
  both.insert(both.end(), same_frame.begin(), same_frame.end());
  const std::vector<Disjoint> cases{
      {"tracks", Keys::tracks, 2, both},
      {"time codes", Keys::time, 2, both},
      {"position", Keys::position, 2, both},
      // Each part damaged in two of three copies.
      {"three copies",
       Keys::tracks,
       3,
       {{0, 7, flag, 2, 2},
        {1, 7, flag, 2, 2},
        {1, 7, audio, 8, 8},
        {2, 7, audio, 8, 8},
        {0, 7, garble, 9, 1},
        {2, 7, garble, 9, 1}}},
      {"into Matroska", Keys::time, 2, both, "out.mkv"},
  };
  for (const Disjoint &c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes &want = base_stream(c.keys);
    const Merged run = merge(want, c.copies, c.hits, -1, 0, 0, c.out_name);
    ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
    EXPECT_TRUE(run.out == want) << "not the clean stream";
    EXPECT_NE(run.result.err.find("0 frames still damaged"), std::string::npos) << run.result.err;
    ASSERT_EQ(run.log.size(), 17u);
    for (size_t i = 1; i < run.log.size(); ++i) {
      const auto f = fields(run.log[i]);
      ASSERT_EQ(f.size(), 7 + 2 * static_cast<size_t>(c.copies)) << run.log[i];
      EXPECT_EQ(f[0], std::to_string(i - 1));
      EXPECT_EQ(f[f.size() - 2] + f.back(), "00") << run.log[i];
    }
    if (c.copies == 2) {
      EXPECT_EQ(run.log[0],
                "frame,timecode,recorded,copies,base,segments_from_1,audio_from_1,"
                "segments_from_2,audio_from_2,damaged_segments,damaged_audio");
      // Frame 3: a tie, the first copy the base, two segments and an audio
      // block from the second.
      const std::string labels =
          c.keys == Keys::position ? ",,," : ",00:00:10:03,2023-11-14 22:13:20,";
      EXPECT_EQ(run.log[4], "3" + labels + "1 2,1,0,0,2,1,0,0");
      // Frame 2 comes whole from the second copy, frame 5 from the first.
      EXPECT_EQ(fields(run.log[3])[4], "2");
      EXPECT_EQ(fields(run.log[6])[4], "1");
    }
  }
}

TEST(Merge, OverlapStaysAndIsReportedExactly) {
  const Bytes &stream = base_stream(Keys::tracks);
  const std::vector<Hit> hits{{0, 4, flag, 2, 7},    {0, 4, audio, 3, 1},  {0, 10, garble, 0, 0},
                              {0, 11, audio, 1, 1},  {1, 4, flag, 2, 7},   {1, 4, audio, 3, 2},
                              {1, 10, garble, 0, 0}, {1, 11, audio, 1, 1}, {1, 12, garble, 0, 0}};
  const Merged run = merge(stream, 2, hits);
  ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
  Bytes want = stream;
  for (const Hit &h : {hits[4], hits[6], hits[7]}) apply(want, h);
  EXPECT_TRUE(run.out == want) << "clean but at the overlap";
  const std::string &err = run.result.err;
  for (const char *told :
       {"3 frames still damaged", "no copy has clean 2 video segments and 1 audio block, at:",
        "  frame 4, time code 00:00:10:04, recorded 2023-11-14 22:13:20: 1 video segment, 0 "
        "audio blocks\n",
        "  frames 10-11, time code 00:00:10:02 to 00:00:10:03, recorded 2023-11-14 23:13:20: 1 "
        "video segment, 1 audio block\n"})
    EXPECT_NE(err.find(told), std::string::npos) << told << "\nin\n" << err;
  EXPECT_EQ(err.find("frame 12"), std::string::npos) << err;
  ASSERT_EQ(run.log.size(), 17u);
  for (size_t i = 1; i < run.log.size(); ++i) {
    const auto f = fields(run.log[i]);
    const std::string left = f[f.size() - 2] + "," + f.back();
    EXPECT_EQ(left, i == 5 || i == 11 ? "1,0" : i == 12 ? "0,1" : "0,0") << run.log[i];
  }
  EXPECT_EQ(run.log[5], "4,00:00:10:04,2023-11-14 22:13:20,1 2,1,0,0,0,1,1,0");
}

// Frames cut out of one copy: the copies are still aligned, and the output
// holds every frame either has, in order.
TEST(Merge, AlignsCopiesThatLackFrames) {
  struct Case {
    Keys keys;
    int cut, from, to;  // frames [from, to) cut out of copy `cut`
    const char *aligned;
    std::vector<int> unclocked{};  // frames of the second copy without time code and date
    bool untracked = false;        // the second copy without track numbers, damaged alone
  };
  const Case cases[] = {
      {Keys::tracks, 1, 0, 3, "aligned by absolute track number"},
      {Keys::tracks, 1, 6, 9, "aligned by absolute track number"},
      {Keys::tracks, 0, 6, 9, "aligned by absolute track number"},
      {Keys::time, 1, 0, 3, "aligned by time code and recording time"},
      {Keys::time, 1, 7, 10, "aligned by time code and recording time"},
      {Keys::time, 1, 4, 6, "aligned by time code and recording time", {0, 1, 9, 12}},
      {Keys::time, 0, 0, 2, "aligned by time code and recording time"},
      {Keys::tracks, 1, 0, 3, "aligned by time code and recording time", {}, true},
      {Keys::position, 1, 13, 16, "aligned by position"},
      {Keys::position, 0, 14, 16, "aligned by position"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.aligned << ": frames " << c.from << "-" << c.to
                                    << " cut from copy " << c.cut + 1);
    const Bytes &stream = base_stream(c.keys);
    // Damage in frames both copies hold, in each copy where the other is
    // clean (frame numbers of the whole stream).
    std::vector<Hit> hits;
    for (int f : {3, 11, 12})
      if (f < c.from || f >= c.to) {
        if (!c.untracked) hits.push_back({0, f, flag, f % 12, f});
        hits.push_back({1, f, audio, 0, f % 9});
      }
    for (int f : c.unclocked) hits.push_back({1, f, clocks, 0, 0});
    const Merged run = merge(stream, 2, hits, c.cut, c.from, c.to, "out.dv",
                             c.untracked ? &clean(false) : nullptr);
    ASSERT_EQ(run.result.exit_status, 0) << run.result.err;
    EXPECT_TRUE(run.out == stream) << run.out.size() / frame_size << " frames";
    EXPECT_NE(run.result.err.find(c.aligned), std::string::npos) << run.result.err;
    EXPECT_NE(run.result.err.find("0 frames still damaged"), std::string::npos) << run.result.err;
    ASSERT_EQ(run.log.size(), 17u);
    const std::string only = std::to_string(2 - c.cut);
    for (int f = 0; f < 16; ++f)
      EXPECT_EQ(fields(run.log[static_cast<size_t>(f) + 1])[3],
                f >= c.from && f < c.to ? only : "1 2")
          << run.log[static_cast<size_t>(f) + 1];
  }
}

// The second copy holds the recordings the other way round: the output
// keeps the first copy's order, and the second copy is read again from
// its start for the parts it gives.
TEST(Merge, CopiesInAnotherOrder) {
  const Bytes &stream = clean(true);
  const auto half = static_cast<long>(8 * frame_size);
  Bytes first = stream, second(stream.begin() + half, stream.end());
  second.insert(second.end(), stream.begin(), stream.begin() + half);
  flag_segment(&first[2 * frame_size], 0, 0);
  flag_segment(&first[12 * frame_size], 11, 26);
  error_audio_block(&second[10 * frame_size], 0, 0);  // frame 2 of the stream
  error_audio_block(&second[4 * frame_size], 0, 0);   // frame 12
  const fs::path dir = fresh_dir();
  write_bytes(dir / "first.dv", first);
  write_bytes(dir / "second.dv", second);
  const auto run = run_tarsk({"merge", dir / "first.dv", dir / "second.dv", "-o", dir / "out.dv",
                          "--log", dir / "merge.csv"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_TRUE(read_file(dir / "out.dv") == stream);
  const auto log = lines(
      std::string(std::istreambuf_iterator<char>(std::ifstream(dir / "merge.csv").rdbuf()), {}));
  ASSERT_EQ(log.size(), 17u);
  for (int f : {2, 12})
    EXPECT_EQ(fields(log[static_cast<size_t>(f) + 1])[7], "1") << log[static_cast<size_t>(f) + 1];
}

// A 525/60 copy whose first frame's track number is the 625/50 copy's: the
// frames are aligned, but the blocks of one system are no use in the other.
TEST(Merge, TakesNoPartsFromAnotherSystem) {
  Bytes pal = clean(true);
  pal.resize(4 * frame_size);
  flag_segment(pal.data(), 0, 0);
  const Bytes ntsc = make_transfer({{.frames = 4, .system = TARSK_SYSTEM_525_60}}, 1000);
  const fs::path dir = fresh_dir();
  write_bytes(dir / "pal.dv", pal);
  write_bytes(dir / "ntsc.dv", ntsc);
  const auto run = run_tarsk(
      {"merge", dir / "pal.dv", dir / "ntsc.dv", "-o", dir / "out.dv", "--log", dir / "merge.csv"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("warning: 1 frame held in another system by some copy"), std::string::npos)
      << run.err;
  const auto log = lines(
      std::string(std::istreambuf_iterator<char>(std::ifstream(dir / "merge.csv").rdbuf()), {}));
  ASSERT_EQ(log.size(), 8u);  // tracks 1000 to 1036 by 12, 1010 to 1030 by 10
  EXPECT_EQ(fields(log[1])[3] + ";" + fields(log[1])[4], "1 2;1");
  EXPECT_EQ(fields(log[1]).back(), "0");
  EXPECT_EQ(fields(log[1])[fields(log[1]).size() - 2], "1") << log[1];
  EXPECT_EQ(read_file(dir / "out.dv").size(), 4 * frame_size + 3 * TARSK_FRAME_BYTES_525_60);
  // Quiet: the warning, no summary.
  const auto quiet = run_tarsk({"merge", "-q", dir / "pal.dv", dir / "ntsc.dv", "-o", dir / "q.dv"});
  EXPECT_EQ(quiet.exit_status, 0) << quiet.err;
  EXPECT_EQ(lines(quiet.err).size(), 1u) << quiet.err;
  EXPECT_NE(quiet.err.find("another system"), std::string::npos) << quiet.err;
}

TEST(Merge, RefusesAndLeavesNothing) {
  const fs::path dir = fresh_dir();
  write_bytes(dir / "a.dv", clean(true));
  std::ofstream(dir / "text.dv") << "not DV at all, just some words in a file\n";
  std::ofstream(dir / "old.dv") << "an older file";
  struct Refusal {
    std::vector<std::string> args;
    int status;
    std::string message;
  };
  const std::string a = dir / "a.dv", out = dir / "out.dv";
  const Refusal refusals[] = {
      {{"merge", a, "-o", out}, 2, "one file given"},
      {{"merge", "-o", out}, 2, "no files given"},
      {{"merge", a, a}, 2, "no output given"},
      {{"merge", a, "-", "-o", out}, 2, "give files, not standard input"},
      {{"merge", a, a, "-o", dir / "out.txt"}, 2, "cannot tell the form"},
      {{"merge", a, a, "-o", dir / "old.dv"}, 1, "old.dv exists; give -y to replace it"},
      {{"merge", a, a, "-o", out, "--log", dir / "old.dv"}, 1, "old.dv exists; give -y"},
      {{"merge", a, dir / "text.dv", "-o", out}, 1, "text.dv: not a DV stream"},
      {{"merge", a, dir / "none.dv", "-o", out}, 1, "none.dv"},
  };
  for (const Refusal &r : refusals) {
    SCOPED_TRACE(testing::PrintToString(r.args));
    const auto run = run_tarsk(r.args);
    EXPECT_EQ(run.exit_status, r.status) << run.err;
    EXPECT_NE(run.err.find(r.message), std::string::npos) << run.err;
    std::set<std::string> names;
    for (const auto &entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"a.dv", "old.dv", "text.dv"}));
    EXPECT_EQ(fs::file_size(dir / "old.dv"), 13u);
  }
}

}  // namespace
