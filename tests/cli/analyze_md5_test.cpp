// tarsk analyze --md5 and --packs: frame checksums line for line as
// ffmpeg's framemd5 gives them for the video of raw DV and of DV in AVI and
// QuickTime (ffmpeg the oracle), of a damaged transfer as the reader hands
// its frames out; the MD5 itself against RFC 1321's test suite; and the
// packs our encoder writes listed with their decoded values, a pack stamped
// by hand in hex, the JSON Lines read back by Python.
#include <gtest/gtest.h>
#include <tarsk/tarsk.h>

#include <ctime>
#include <string>
#include <vector>

#include "cli/tool.h"
#include "md5.h"
#include "support/transfer.h"

namespace {

using namespace tarsk::test;
namespace fs = std::filesystem;
using tarsk::cli::Md5;
using tarsk::cli::md5_hex;

std::span<const uint8_t> text_bytes(const std::string &s) {
  return {reinterpret_cast<const uint8_t *>(s.data()), s.size()};
}

TEST(Md5, Rfc1321TestSuiteWholeAndInPieces) {
  const std::pair<std::string, std::string> suite[] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"}};
  for (const auto &[message, digest] : suite) {
    SCOPED_TRACE(message);
    EXPECT_EQ(md5_hex(text_bytes(message)), digest);
    // The same bytes in pieces of 1, 3, 63 and 64: the buffering between adds.
    for (const size_t piece : {1u, 3u, 63u, 64u}) {
      Md5 m;
      for (size_t at = 0; at < message.size(); at += piece)
        m.add(text_bytes(message.substr(at, piece)));
      EXPECT_EQ(m.hex(), digest) << "pieces of " << piece;
    }
  }
}

// Every length around the padding's turns (a block ends with the length
// field, or one more block is needed) against Python's hashlib.
TEST(Md5, LengthsAroundThePaddingAgainstHashlib) {
  const size_t lengths[] = {55, 56, 57, 63, 64, 65, 119, 120, 121, 1000};
  std::string script = "import hashlib\n";
  std::string ours;
  for (const size_t n : lengths) {
    script += "print(hashlib.md5(bytes(i * 7 % 251 for i in range(" + std::to_string(n) +
              "))).hexdigest())\n";
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 % 251);
    ours += md5_hex(bytes) + "\n";
  }
  const auto python = run_command({"python3", "-c", script});
  ASSERT_EQ(python.exit_status, 0) << python.err;
  EXPECT_EQ(ours, python.out);
}

std::string ffmpeg_framemd5(const fs::path &file) {
  return run_ffmpeg({"-v", "error", "-i", file.string(), "-map", "0:v", "-c", "copy", "-fflags",
                     "+bitexact", "-f", "framemd5", "-"});
}

fs::path rewrap(const fs::path &dv, const std::string &suffix) {
  const fs::path out = scratch_file(suffix);
  run_ffmpeg({"-v", "error", "-i", dv.string(), "-c", "copy", "-y", out.string()});
  return out;
}

fs::path ours(const std::vector<Recording> &recordings) {
  const fs::path path = scratch_file(".dv");
  write_bytes(path, make_transfer(recordings));
  return path;
}

// Raw DV of ffmpeg and of our encoder, in both systems and shapes, and DV
// in AVI and QuickTime (whose time base is not a frame): our lines are
// ffmpeg's own.
TEST(AnalyzeMd5, FramesAsFfmpegSumsTheVideo) {
  const fs::path theirs = made_dv("md5-625", DvRecipe{.frames = 4}).path;
  const fs::path theirs_525 =
      made_dv("md5-525-wide", DvRecipe{.system = e_dv_system_525_60, .pix_fmt = "yuv411p",
                                       .frames = 4, .aspect = "16:9"})
          .path;
  const fs::path ours_625 = ours({{.frames = 3}});
  const fs::path ours_525 = ours({{.frames = 3, .system = TARSK_SYSTEM_525_60, .wide = true}});
  const fs::path files[] = {theirs,          theirs_525,
                            ours_625,        ours_525,
                            rewrap(theirs, ".avi"), rewrap(ours_625, ".mov"),
                            rewrap(ours_525, ".mov"), rewrap(theirs_525, ".avi")};
  for (const fs::path &file : files) {
    SCOPED_TRACE(file);
    const auto run = run_tarsk({"analyze", file.string(), "--md5"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.out, ffmpeg_framemd5(file));
  }
}

// A damaged transfer: a frame's codes garbled and DIF blocks cut out of
// another. The sums are of the frames the reader hands out (blocks filled
// in), in its order.
TEST(AnalyzeMd5, DamagedTransferHashedAsTheReaderHandsItOut) {
  std::vector<uint8_t> bytes = make_transfer({{.frames = 4}});
  const size_t frame = 144000;
  garble_segment(&bytes[frame], 3, 7);
  bytes.erase(bytes.begin() + 2 * frame + 80 * 200, bytes.begin() + 2 * frame + 80 * 230);
  const fs::path path = scratch_file(".dv");
  write_bytes(path, bytes);

  std::vector<std::string> expected;
  tarsk_reader *reader = nullptr;
  ASSERT_EQ(tarsk_reader_open(&reader), TARSK_OK);
  ASSERT_EQ(tarsk_reader_push(reader, bytes.data(), bytes.size()), TARSK_OK);
  ASSERT_EQ(tarsk_reader_finish(reader), TARSK_OK);
  tarsk_frame f;
  int repaired = 0;
  while (tarsk_reader_next(reader, &f) == TARSK_OK) {
    expected.push_back(md5_hex({f.data, f.size}));
    repaired += f.missing_blocks > 0;
  }
  tarsk_reader_close(&reader);
  ASSERT_EQ(expected.size(), 4u);
  EXPECT_EQ(repaired, 1);

  const auto run = run_tarsk({"analyze", path.string(), "--md5"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  std::vector<std::string> sums;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);)
    if (line[0] != '#') sums.push_back(line.substr(line.rfind(' ') + 1));
  EXPECT_EQ(sums, expected);
}

// The packs our encoder writes, with their values as the recording was
// made (time code, date and time by the C library's clock), and a pack of
// an ID we do not know stamped by hand, shown in hex at its place.
TEST(AnalyzePacks, ListsDecodesAndFoldsThePacks) {
  const int64_t start = ((1 * 60 + 2) * 60 + 3) * 25 + 4;  // 01:02:03:04
  std::vector<uint8_t> bytes = make_transfer({{.frames = 2, .timecode = start, .wide = true}});
  const size_t hand = 144000 + 12000 * 2 + 80 * 4 + 3 + 5 * 7;  // frame 1, sequence 2, VAUX 1, slot 7
  ASSERT_EQ(bytes[hand], 0xff);
  const uint8_t stamped[5] = {0x44, 0x12, 0xab, 0x00, 0x7e};
  std::copy(stamped, stamped + 5, &bytes[hand]);
  const fs::path path = scratch_file(".dv");
  write_bytes(path, bytes);

  const std::time_t date = 1700000000;
  char day[16], clock[16];
  std::strftime(day, sizeof day, "%Y-%m-%d", std::gmtime(&date));
  std::strftime(clock, sizeof clock, "%H:%M:%S", std::gmtime(&date));

  const auto run = run_tarsk({"analyze", path.string(), "--packs"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const std::string frame0 = run.out.substr(0, run.out.find("frame 1 "));
  const std::string frame1 = run.out.substr(frame0.size());
  const std::string expected[] = {
      "time code: timecode 01:02:03:04",
      std::string("recording date: date ") + day,
      std::string("recording time: time ") + clock,
      std::string("AAUX recording date: date ") + day,
      "VAUX source control: display_mode 7, aspect 16:9",
      "VAUX source: colour true, system 625/50",
      "rate 48000, bits 16",
      "recording_start true",
  };
  for (const std::string &text : expected) EXPECT_NE(frame0.find(text), std::string::npos) << text << "\n" << frame0;
  EXPECT_NE(frame1.find("time code: timecode 01:02:03:05"), std::string::npos) << frame1;
  EXPECT_NE(frame1.find("recording_start false"), std::string::npos) << frame1;
  EXPECT_NE(frame1.find("  VAUX    2/1/7          44 12 ab 00 7e  unknown\n"), std::string::npos)
      << frame1;
  EXPECT_EQ(frame0.find("44 12 ab"), std::string::npos);
  // The time code pack in 8 of the 12 subcode slots of every sequence, folded.
  EXPECT_NE(frame0.find("  subcode 0/0/0    x96   13 04 03 02 01  time code"), std::string::npos)
      << frame0;

  // JSON Lines as Python reads them: a line per frame, every place listed.
  const auto json = run_tarsk({"analyze", path.string(), "--packs", "--json"});
  ASSERT_EQ(json.exit_status, 0) << json.err;
  const fs::path listing = scratch_file(".jsonl");
  std::ofstream(listing) << json.out;
  const auto read = run_command(
      {"python3", "-c",
       "import json,sys\n"
       "for l in open(sys.argv[1]):\n"
       " d=json.loads(l)\n"
       " tc=[p for p in d['packs'] if p['id']==0x13]\n"
       " odd=[p for p in d['packs'] if p['name'] is None]\n"
       " date=sorted((p['section'], len(p['places'])) for p in d['packs'] if p['id']==0x62)\n"
       " print(d['frame'], tc[0]['timecode'], len(tc[0]['places']), date,\n"
       "       [(p['bytes'], p['places']) for p in odd])\n",
       listing.string()});
  ASSERT_EQ(read.exit_status, 0) << read.err;
  EXPECT_EQ(read.out,
            "0 01:02:03:04 96 [('VAUX', 18), ('subcode', 24)] []\n"
            "1 01:02:03:05 96 [('VAUX', 18), ('subcode', 24)] [('44 12 ab 00 7e', [[2, 1, 7]])]\n");
}

TEST(AnalyzeMd5, OptionsThatDoNotGoTogether) {
  const fs::path path = ours({{.frames = 1}});
  for (const auto &args : std::vector<std::vector<std::string>>{
           {"--md5", "--csv"}, {"--md5", "--json"}, {"--packs", "--csv"}, {"--md5", "--packs"}}) {
    std::vector<std::string> line{"analyze", path.string()};
    line.insert(line.end(), args.begin(), args.end());
    const auto run = run_tarsk(line);
    EXPECT_EQ(run.exit_status, 2) << args[0] << " " << args[1];
    EXPECT_TRUE(run.out.empty());
  }
}

}  // namespace
