// `tarsk split` on transfers our encoder makes with known recordings: the pieces are the input's
// bytes cut where the recordings begin, stray bytes and all; the table says why each begins.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "support/ffmpeg.h"
#include "tool.h"
#include "support/transfer.h"

namespace {

using namespace tarsk::test;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Three recordings of 625/50: 10 frames at 4:3; 8 marked frames at 16:9 an hour later with
// another time code; 12 frames without the mark, their time code running on, a day later.
constexpr int64_t day = 24 * 3600;
const std::vector<Recording> recordings = {
    {.frames = 10, .timecode = 0, .date = 1700000000},
    {.frames = 8, .timecode = 36000 * 25, .date = 1700000000 + 3600, .wide = true},
    {.frames = 12,
     .timecode = 36000 * 25 + 8,
     .date = 1700000000 + 3600 + day,
     .marked = false,
     .wide = true},
};
constexpr size_t frame_size = 144000;

// The transfer with bytes no frame owns (before the first frame, inside the first recording and
// just before the second) and frame 12 unreadable, its header blocks wiped. `starts` are where
// frames 0, 10 and 18 begin in it; `clean_path` holds the frames as encoded, nothing else.
struct Transfer {
  Bytes clean, bytes;
  std::vector<size_t> starts;
  fs::path path, clean_path;
};

const Transfer &transfer() {
  static const Transfer t = [] {
    Transfer t;
    t.clean = make_transfer(recordings);
    Bytes damaged = t.clean;
    for (int s = 0; s < 12; ++s)
      std::fill_n(damaged.begin() + static_cast<long>(12 * frame_size + s * 12000 + 3), 77, 0);
    const auto frame = [&](size_t n) {
      return std::span(damaged).subspan(n * frame_size, frame_size);
    };
    const std::vector<std::pair<size_t, size_t>> stray = {{0, 77}, {4, 333}, {10, 200}};
    for (size_t n = 0; n < 30; ++n) {
      for (const auto &[before, count] : stray)
        if (before == n) t.bytes.insert(t.bytes.end(), count, 0xff);
      if (n == 0 || n == 10 || n == 18) t.starts.push_back(n == 0 ? 0 : t.bytes.size());
      t.bytes.insert(t.bytes.end(), frame(n).begin(), frame(n).end());
    }
    t.path = scratch_file("transfer.dv");
    write_bytes(t.path, t.bytes);
    t.clean_path = scratch_file("clean.dv");
    write_bytes(t.clean_path, t.clean);
    return t;
  }();
  return t;
}

// The input's bytes from the start of recording a to that of recording b (the end for 3).
Bytes slice(size_t a, size_t b) {
  const Transfer &t = transfer();
  const size_t end = b < 3 ? t.starts[b] : t.bytes.size();
  return Bytes(t.bytes.begin() + static_cast<long>(t.starts[a]),
               t.bytes.begin() + static_cast<long>(end));
}

// The table's rows below its heading, each cut into its columns.
std::vector<std::vector<std::string>> table_rows(const std::string &out) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);
  EXPECT_TRUE(line.find("piece") != std::string::npos &&
              line.find("starts at") != std::string::npos)
      << out;
  while (std::getline(lines, line)) {
    // Columns stand two spaces or more apart; a cell holds single spaces at most.
    std::vector<std::string> cells;
    for (size_t at = line.find_first_not_of(' '); at != std::string::npos;) {
      const size_t gap = line.find("  ", at);
      cells.push_back(line.substr(at, gap - at));
      at = gap == std::string::npos ? gap : line.find_first_not_of(' ', gap);
    }
    rows.push_back(cells);
  }
  return rows;
}

// Where a choice of breaks cuts: per piece the recordings it spans [from, to) and why it begins.
struct Cut {
  size_t from, to;
  std::string frames, reason;
};
struct SplitCase {
  std::vector<std::string> at;
  std::vector<Cut> pieces;
};
const std::string first = "start of the file";
const SplitCase split_cases[] = {
    {{}, {{0, 1, "0-9", first}, {1, 3, "10-29", "recording start, settings change"}}},
    {{"--at", "rec-start"}, {{0, 1, "0-9", first}, {1, 3, "10-29", "recording start"}}},
    {{"--at", "timecode"}, {{0, 1, "0-9", first}, {1, 3, "10-29", "time code jump"}}},
    {{"--at", "rec-time"},
     {{0, 1, "0-9", first},
      {1, 2, "10-17", "recording time jump"},
      {2, 3, "18-29", "recording time jump"}}},
    {{"--at", "all"},
     {{0, 1, "0-9", first},
      {1, 2, "10-17", "recording start, recording time jump, time code jump, settings change"},
      {2, 3, "18-29", "recording time jump"}}},
    {{"--at", "settings,rec-time"},
     {{0, 1, "0-9", first},
      {1, 2, "10-17", "recording time jump, settings change"},
      {2, 3, "18-29", "recording time jump"}}},
};

// Each choice of breaks: the table lists the pieces (--dry-run writing nothing), and the pieces
// written are the input's bytes cut at the recordings, stray bytes kept, joined the whole input.
TEST(Split, RawPiecesAreTheInputCutAtTheChosenBreaks) {
  const Transfer &t = transfer();
  for (const SplitCase &c : split_cases) {
    SCOPED_TRACE(c.at.empty() ? "default" : c.at[1]);
    const fs::path dir = fresh_dir();
    std::vector<std::string> args = {"split", t.path, "-o", dir / "tape-%03d.dv"};
    args.insert(args.end(), c.at.begin(), c.at.end());
    auto dry = args;
    dry.push_back("--dry-run");
    const auto listed = run_tarsk(dry);
    ASSERT_EQ(listed.exit_status, 0) << listed.err;
    EXPECT_NE(listed.err.find("1 frame whose header blocks could not be read"), std::string::npos)
        << listed.err;
    EXPECT_TRUE(listing(dir).empty());
    const auto run = run_tarsk(args);
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out, listed.out);
    const auto rows = table_rows(run.out);
    ASSERT_EQ(rows.size(), c.pieces.size()) << run.out;
    Bytes joined;
    for (size_t i = 0; i < c.pieces.size(); ++i) {
      const Cut &cut = c.pieces[i];
      char name[32];
      std::snprintf(name, sizeof name, "tape-%03zu.dv", i + 1);
      ASSERT_EQ(rows[i].size(), 8u) << run.out;
      EXPECT_EQ(rows[i][0], std::to_string(i + 1));
      EXPECT_EQ(rows[i][1], (dir / name).string());
      EXPECT_EQ(rows[i][2], cut.frames);
      EXPECT_EQ(rows[i][7], cut.reason);
      const Bytes piece = read_file(dir / name);
      EXPECT_TRUE(piece == slice(cut.from, cut.to)) << name;
      joined.insert(joined.end(), piece.begin(), piece.end());
    }
    EXPECT_EQ(listing(dir).size(), c.pieces.size());
    EXPECT_TRUE(joined == t.bytes);
  }
}

// The columns of the first pieces, worked out from the recordings: 10 and 20 frames at 25 a
// second, time codes from 00:00:00:00 and 10:00:00:00, clocks from 2023-11-14 22:13:20 UTC.
TEST(Split, TableGivesCountsDurationsTimeCodesAndDates) {
  const auto run = run_tarsk({"split", transfer().path, "-o", "p%d.dv", "--dry-run"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const auto rows = table_rows(run.out);
  ASSERT_EQ(rows.size(), 2u) << run.out;
  const std::vector<std::string> one = {"1",
                                        "p1.dv",
                                        "0-9",
                                        "10",
                                        "00:00:00.400",
                                        "00:00:00:00 - 00:00:00:09",
                                        "2023-11-14 22:13:20",
                                        "start of the file"};
  EXPECT_EQ(rows[0], one);
  EXPECT_EQ(rows[1][3], "20");
  EXPECT_EQ(rows[1][4], "00:00:00.800");
  EXPECT_EQ(rows[1][5], "10:00:00:00 - 10:00:00:19");
  EXPECT_EQ(rows[1][6], "2023-11-14 23:13:20 - 2023-11-15 23:13:20");
}

// Into Matroska: ffmpeg counts each piece's frames, and our remux back to raw DV gives the
// recordings' frames as encoded.
TEST(Split, ContainerPiecesHoldTheFramesAsRead) {
  const Transfer &t = transfer();
  const fs::path dir = fresh_dir();
  const auto run = run_tarsk({"split", t.clean_path, "-o", dir / "p%d.mkv", "-q"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  const size_t frames[] = {10, 20};
  size_t at = 0;
  for (size_t i = 0; i < 2; ++i) {
    const fs::path piece = dir / ("p" + std::to_string(i + 1) + ".mkv");
    EXPECT_EQ(run_ffprobe({"-v", "error", "-count_packets", "-select_streams", "v:0",
                           "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", piece}),
              std::to_string(frames[i]) + "\n");
    const fs::path back = dir / ("back" + std::to_string(i) + ".dv");
    ASSERT_EQ(run_tarsk({"remux", piece, "-o", back}).exit_status, 0);
    EXPECT_TRUE(read_file(back) ==
                Bytes(t.clean.begin() + static_cast<long>(at * frame_size),
                      t.clean.begin() + static_cast<long>((at + frames[i]) * frame_size)))
        << piece;
    at += frames[i];
  }
}

// 625/50 then 525/60, the time code and clock running on and no mark: with the settings not
// chosen, raw DV stays one piece but a container, which holds one system, starts another.
TEST(Split, ContainersBeginAPieceWhereTheSystemChanges) {
  const fs::path input = scratch_file("systems.dv");
  write_bytes(input,
              make_transfer(
                  {{.frames = 10, .timecode = 0},
                   {.frames = 6, .timecode = 10, .marked = false, .system = TARSK_SYSTEM_525_60}}));
  const struct {
    std::string pattern;
    std::vector<std::string> reasons;
  } cases[] = {{"p%d.dv", {first}}, {"p%d.mkv", {first, "system change"}}};
  for (const auto &c : cases) {
    const auto run = run_tarsk({"split", input, "-o", c.pattern, "--at", "timecode", "--dry-run"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    const auto rows = table_rows(run.out);
    ASSERT_EQ(rows.size(), c.reasons.size()) << run.out;
    for (size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].back(), c.reasons[i]) << run.out;
  }
}

// clang-format off
struct Refusal { std::vector<std::string> args; int status; std::string message; };
const Refusal refusals[] = {
    {{"split", "$T", "-o", "$O/p.dv"}, 2, "needs exactly one %d"},
    {{"split", "$T", "-o", "$O/p%d-%d.dv"}, 2, "needs exactly one %d"},
    {{"split", "$T", "-o", "$O/p%s%d.dv"}, 2, "needs exactly one %d"},
    {{"split", "$T", "-o", "$O/p%d.mp4"}, 2, "cannot tell the form"},
    {{"split", "$T"}, 2, "no output given"},
    {{"split", "-o", "$O/p%d.dv"}, 2, "no file given"},
    {{"split", "$T", "$T", "-o", "$O/p%d.dv"}, 2, "one file at a time"},
    {{"split", "-", "-o", "$O/p%d.dv"}, 2, "standard input cannot be split"},
    {{"split", "$T", "-o", "$O/p%d.dv", "--at", "rec-start,scene"}, 2, "--at rec-start,scene"},
    {{"split", "$D/notes.txt", "-o", "$O/p%d.dv"}, 1, "$D/notes.txt: not a DV stream"},
    {{"split", "$D/empty.dv", "-o", "$O/p%d.dv"}, 1, "not a DV stream"},
    {{"split", "$D/absent.dv", "-o", "$O/p%d.dv"}, 1, "No such file"},
    // The second piece's name is taken: nothing is written, the old file untouched.
    {{"split", "$T", "-o", "$O/old%d.dv"}, 1, "$O/old2.dv exists; give -y to replace it"},
    // The second piece cannot be written: the first, written already, goes again.
    {{"split", "$T", "-o", "$O/dir%d/p.dv"}, 1, "cannot write $O/dir2/p.dv"},
    {{"split", "$T", "-o", "$O/dir%d/p.mkv"}, 1, "cannot write $O/dir2/p.mkv"},
};
// clang-format on

std::string expand(std::string s, const fs::path &d, const fs::path &o) {
  for (const auto &[key, value] : {std::pair{"$T", transfer().path.string()},
                                   std::pair{"$D", d.string()}, std::pair{"$O", o.string()}})
    for (size_t at; (at = s.find(key)) != std::string::npos;) s.replace(at, 2, value);
  return s;
}

TEST(Split, RefusalsSayWhyAndLeaveNothingBehind) {
  const fs::path d = fresh_dir();
  std::ofstream(d / "notes.txt") << "These are not the frames you are looking for.\n";
  std::ofstream(d / "empty.dv").flush();
  for (const Refusal &r : refusals) {
    const fs::path o = fresh_dir();
    std::ofstream(o / "old2.dv") << "kept";
    fs::create_directory(o / "dir1");
    const auto before = listing(o);
    std::vector<std::string> args;
    for (const auto &a : r.args) args.push_back(expand(a, d, o));
    const auto run = run_tarsk(args);
    const std::string line = quoted(args);
    EXPECT_EQ(run.exit_status, r.status) << line << "\n" << run.err;
    EXPECT_NE(run.err.find(expand(r.message, d, o)), std::string::npos) << line << "\n" << run.err;
    EXPECT_EQ(listing(o), before) << line;
    EXPECT_TRUE(listing(o / "dir1").empty()) << line;
    EXPECT_TRUE(read_file(o / "old2.dv") == Bytes({'k', 'e', 'p', 't'})) << line;
  }
}

}  // namespace
