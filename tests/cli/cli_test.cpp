// The tarsk command as a person runs it, on files ffmpeg makes; ffmpeg reads back what it writes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "common/dif.h"
#include "support/ffmpeg.h"
#include "tool.h"

namespace {

using namespace tarsk::test;
namespace fs = std::filesystem;
namespace dif = tarsk::dif;

CommandResult shell(const std::string &line) { return run_command({"sh", "-c", line}); }

// Six frames with 48 kHz stereo: 625/50 4:2:0 16:9 with time code and date, and 525/60 4:1:1.
const DvRecipe pal{.frames = 6,
                   .timecode = "10:00:00:00",
                   .creation_time = "2024-03-04T05:06:07",
                   .aspect = "16:9"};
const DvRecipe ntsc{.system = e_dv_system_525_60, .pix_fmt = "yuv411p", .frames = 6};
const MadeDv &made(const DvRecipe &r) { return made_dv(r.pix_fmt, r); }
constexpr size_t pal_picture = 720 * 576 * 3 / 2, pal_sound = 1920 * 4;  // bytes a frame

// The pictures of a YUV4MPEG2 stream, each after its "FRAME\n".
std::vector<std::vector<uint8_t>> y4m_frames(const std::vector<uint8_t> &y4m, size_t bytes) {
  std::vector<std::vector<uint8_t>> frames;
  auto at = std::find(y4m.begin(), y4m.end(), '\n') + 1;
  for (; y4m.end() - at >= static_cast<long>(6 + bytes); at += static_cast<long>(6 + bytes)) {
    EXPECT_EQ(std::string(at, at + 6), "FRAME\n");
    frames.emplace_back(at + 6, at + 6 + static_cast<long>(bytes));
  }
  EXPECT_EQ(at, y4m.end()) << "bytes after the last whole frame";
  return frames;
}

// Y4M and WAV as ffmpeg sees the DV file (bottom field first), planes within 40 dB, sound exact,
// stdout the same; 625/50: ranges (PCM, RGB, YUY2), PNGs, -m grey chroma, --quality 1 differs.
class Decode : public testing::TestWithParam<bool> {};  // 625/50 or 525/60

TEST_P(Decode, OutputsMatchFfmpeg) {
  const DvRecipe &r = GetParam() ? pal : ntsc;
  const MadeDv &dv = made(r);
  const fs::path dir = fresh_dir(), out = dir / "out.y4m";
  const auto ok = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"decode", dv.path.string()});
    const auto run = run_tarsk(args);
    EXPECT_EQ(run.exit_status, 0) << run.err;
    return run;
  };
  // One line stays at the end: the frames, how long they run, and the damage.
  const std::string said = ok({"-o", out, "--audio", dir / "out.wav"}).err;
  const std::string summary = "tarsk: " + dv.path.string() + ": 6 frames, " +
                              (GetParam() ? "0.24 s of 625/50" : "0.20 s of 525/60");
  EXPECT_EQ(said.rfind(summary, 0), 0u) << said;
  EXPECT_TRUE(said.ends_with("x real time); damage: none\n")) << said;
  EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
  EXPECT_EQ(ok({"--format", "null", "--quiet"}).err, "");
  EXPECT_EQ(listing(dir), (std::set<std::string>{"out.wav", "out.y4m"}));
  const auto probe = [](const fs::path &p) {
    return run_ffprobe({"-select_streams", "v:0", "-show_entries",
                        "stream=width,height,sample_aspect_ratio,pix_fmt,r_frame_rate", "-of",
                        "csv=p=0", p.string()});
  };
  EXPECT_EQ(probe(out), probe(dv.path));
  EXPECT_EQ(run_ffprobe({"-show_entries", "stream=field_order", "-of", "csv=p=0", out.string()}),
            "bb\n");
  const int height = GetParam() ? 576 : 480;
  for (double db : lowest_psnr(ffmpeg_raw({"-i", out}, r.pix_fmt),
                               ffmpeg_raw({"-i", dv.path}, r.pix_fmt), height))
    EXPECT_GE(db, 40);
  EXPECT_EQ(ffmpeg_audio_s16le(dir / "out.wav"), ffmpeg_audio_s16le(dv.path));
  const std::string piped = ok({"-o", "-"}).out;
  EXPECT_TRUE(std::vector<uint8_t>(piped.begin(), piped.end()) == read_file(out));
  if (!GetParam()) return;

  ok({"--frames", "2:5", "-o", dir / "part.y4m", "--audio", dir / "part.wav"});
  ok({"--frames", "2:5", "--audio", dir / "part.pcm", "--audio-format", "pcm"});
  ok({"--frames", "2:5", "-o", dir / "part.rgb"});
  ok({"--frames", "2:5", "-o", dir / "part.yuy2"});
  ok({"--frames", "1:4", "-o", dir / "f%02d.png"});
  ok({"--frames", "0", "--monochrome", "-o", dir / "grey.y4m"});
  ok({"--frames", "0", "--depth", "dc", "-o", dir / "dc.y4m"});
  ok({"--frames", "0", "--reconstruction", "specified", "-o", dir / "specified.y4m"});
  const auto all = y4m_frames(read_file(out), pal_picture);
  const auto part = y4m_frames(read_file(dir / "part.y4m"), pal_picture);
  ASSERT_EQ(all.size(), 6u);
  ASSERT_EQ(part.size(), 3u);
  for (size_t f = 0; f < 3; ++f) EXPECT_EQ(part[f], all[f + 2]) << "frame " << f + 2;
  // A range of a damaged file (bytes lost and stray bytes before it) goes to its first frame
  // directly, numbered as reading through numbers it.
  auto damaged = read_file(dv.path);
  damaged.erase(damaged.begin() + 144000 + 5000, damaged.begin() + 144000 + 5480);
  damaged.insert(damaged.begin() + 2 * 144000 - 480, 777, 0x5a);
  const fs::path broken = dir / "broken.dv";
  std::ofstream(broken, std::ios::binary)
      .write(reinterpret_cast<const char *>(damaged.data()), static_cast<std::streamsize>(damaged.size()));
  run_tarsk({"decode", broken.string(), "-q", "-y", "-o", (dir / "broken.y4m").string()});
  run_tarsk({"decode", broken.string(), "-q", "-y", "--frames", "2:5", "-o",
             (dir / "broken-part.y4m").string()});
  const auto broken_all = y4m_frames(read_file(dir / "broken.y4m"), pal_picture);
  const auto broken_part = y4m_frames(read_file(dir / "broken-part.y4m"), pal_picture);
  ASSERT_EQ(broken_all.size(), 6u);
  ASSERT_EQ(broken_part.size(), 3u);
  for (size_t f = 0; f < 3; ++f) EXPECT_EQ(broken_part[f], broken_all[f + 2]) << "frame " << f + 2;
  const auto whole = ffmpeg_audio_s16le(dir / "out.wav"),
             cut = ffmpeg_audio_s16le(dir / "part.wav");
  ASSERT_EQ(cut.size(), 3 * pal_sound);
  EXPECT_TRUE(std::equal(cut.begin(), cut.end(), whole.begin() + 2 * pal_sound));
  EXPECT_EQ(read_file(dir / "part.pcm"), cut);  // 16-bit samples of the host's byte order
  EXPECT_TRUE(listing(dir).contains("f01.png") && listing(dir).contains("f03.png") &&
              !listing(dir).contains("f04.png"));
  // RGB is the YUY2 picture through ITU-R BT.601, as ffmpeg converts it
  // (how 4:2:0 chroma is spread over the lines is the decoder's, not
  // ffmpeg's: it reads the file's chroma lines as progressive).
  const auto rgb = read_file(dir / "part.rgb");
  const auto theirs = ffmpeg_raw({"-f", "rawvideo", "-pix_fmt", "yuyv422", "-s", "720x576", "-i",
                                  (dir / "part.yuy2").string()},
                                 "rgb24");
  ASSERT_EQ(rgb.size(), 3 * 720 * 576 * 3u);
  EXPECT_GE(psnr(rgb, theirs), 45) << "against rgb24";
  const auto yuy2 = read_file(dir / "part.yuy2");
  ASSERT_EQ(yuy2.size(), 3 * 720 * 576 * 2u);
  for (size_t i = 0; i < 720 * 576; ++i) ASSERT_EQ(yuy2[2 * i], part[0][i]) << "luma " << i;
  const auto grey = y4m_frames(read_file(dir / "grey.y4m"), pal_picture).at(0);
  EXPECT_EQ(std::count(grey.begin() + 720 * 576, grey.end(), 128), 720 * 576 / 2);
  EXPECT_TRUE(std::equal(grey.begin(), grey.begin() + 720 * 576, all[0].begin()));
  EXPECT_NE(y4m_frames(read_file(dir / "dc.y4m"), pal_picture).at(0), all[0]);
  // The specified arithmetic: another picture than the accurate one, close to it.
  const auto specified = y4m_frames(read_file(dir / "specified.y4m"), pal_picture).at(0);
  EXPECT_NE(specified, all[0]);
  EXPECT_GE(psnr(specified, all[0]), 40);
  const fs::path empty = fresh_dir();
  const auto null = shell("cd " + quoted({empty}) + " && " +
                          quoted({TARSK_BINARY, "decode", dv.path, "--format", "null", "--quiet"}));
  EXPECT_EQ(null.exit_status + null.out.size() + null.err.size() + listing(empty).size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Systems, Decode, testing::Bool(),
                         [](const auto &info) { return info.param ? "pal" : "ntsc"; });

// 625/50 frames of the other sampling (SMPTE 314M's 4:1:1 among IEC 61834's 4:2:0, and the other
// way round) come out in the stream's planes: their luma as tarsk decodes them alone, their
// chroma close to ffmpeg's decoding of them brought to the stream's sampling.
TEST(MixedSampling, FramesComeInTheStreamsPlanes) {
  const MadeDv &pal411 = made_dv("Pal411", DvRecipe{.pix_fmt = "yuv411p", .frames = 4});
  const fs::path dir = fresh_dir();
  for (const bool stream420 : {true, false}) {
    const MadeDv &own = stream420 ? made(pal) : pal411, &other = stream420 ? pal411 : made(pal);
    const std::string fmt = stream420 ? "yuv420p" : "yuv411p";
    SCOPED_TRACE(fmt + " stream");
    // Frames 0 and 1 of the stream's own sampling, 2 and 3 of the other.
    const fs::path mixed = dir / (fmt + ".dv"), out = dir / (fmt + ".y4m"),
                   alone = dir / (fmt + "_other.y4m");
    const size_t two = 2 * frame_bytes(e_dv_system_625_50);
    std::ofstream(mixed, std::ios::binary)
        .write(reinterpret_cast<const char *>(own.bytes.data()), static_cast<long>(two))
        .write(reinterpret_cast<const char *>(other.bytes.data() + two), static_cast<long>(two));
    const auto run = run_tarsk({"decode", mixed, "-o", out, "--quiet"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    ASSERT_EQ(run_tarsk({"decode", other.path, "--frames", "2:4", "-o", alone, "--quiet"}).exit_status,
              0);
    const auto got = y4m_frames(read_file(out), pal_picture);
    const auto by_itself = y4m_frames(read_file(alone), pal_picture);
    ASSERT_EQ(got.size(), 4u);
    ASSERT_EQ(by_itself.size(), 2u);
    std::vector<uint8_t> planes;
    for (size_t f = 0; f < 2; ++f) {
      EXPECT_TRUE(std::equal(by_itself[f].begin(), by_itself[f].begin() + 720 * 576,
                             got[2 + f].begin()))
          << "luma of frame " << 2 + f;
      planes.insert(planes.end(), got[2 + f].begin(), got[2 + f].end());
    }
    const auto theirs = ffmpeg_raw({"-i", other.path}, fmt);
    ASSERT_GE(theirs.size(), 4 * pal_picture);
    const auto db =
        lowest_psnr(planes, std::span(theirs).subspan(2 * pal_picture, 2 * pal_picture), 576);
    EXPECT_GE(db[1], 33) << "Cb";  // measured 35.2 and 35.5
    EXPECT_GE(db[2], 29) << "Cr";  // measured 32.0 and 31.0
  }
}

// The 625/50 file damaged: video blocks flagged in frames 1 (7) and 5 (2), frame 2's AAUX pack
// gone, invalid audio in 3, 80 stray bytes before 4, a seventh frame cut short.
fs::path damaged_file() {
  std::vector<uint8_t> bytes = made(pal).bytes;
  const size_t size = frame_bytes(e_dv_system_625_50);
  bytes[2 * size + dif::aaux_as_offset] = 0xff;
  for (auto [f, count] : {std::pair{size_t{1}, 7}, {size_t{5}, 2}})
    for (size_t at = f * size; count > 0 && at < (f + 1) * size; at += dif::block_size)
      if (dif::section_of(&bytes[at]) == dif::Section::video && count-- > 0)
        bytes[at + dif::qno_byte] |= 0x70;
  for (int b = 0; b < 3; ++b)
    for (size_t i = 3 * size + dif::audio_offset(0, b) + dif::audio_data_offset;
         i < 3 * size + dif::audio_offset(0, b) + dif::block_size; i += 2)
      bytes[i] = 0x80, bytes[i + 1] = 0;
  bytes.insert(bytes.end(), bytes.begin(), bytes.begin() + 70000);
  bytes.insert(bytes.begin() + 4 * size, 80, 0x5a);
  const fs::path path = scratch_file("damaged.dv");
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), std::ssize(bytes));
  return path;
}

// Every frame comes out, damage concealed and told (each kind, then a summary), whatever the
// threads; a soundless frame gets silence; --strict fails at the first damage and leaves nothing.
TEST(Damage, EveryFrameComesOutAndTheDamageIsTold) {
  const fs::path in = damaged_file();
  std::vector<fs::path> dirs;
  for (const char *threads : {"2", "1", "3"}) {
    dirs.push_back(fresh_dir());
    const auto run = run_tarsk({"decode", in, "--threads", threads, "-o", dirs.back() / "out.y4m", "--audio",
                            dirs.back() / "out.wav"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    if (dirs.size() > 1) {
      EXPECT_EQ(read_file(dirs.back() / "out.y4m"), read_file(dirs[0] / "out.y4m")) << threads;
      EXPECT_EQ(read_file(dirs.back() / "out.wav"), read_file(dirs[0] / "out.wav")) << threads;
      continue;
    }
    // The same from a pipe, which the reader cannot seek in.
    const auto piped = shell("cat " + quoted({in.string()}) + " | " +
                             quoted({TARSK_BINARY, "decode", "-", "-o", "-"}) + " > " +
                             quoted({(dirs[0] / "piped.y4m").string()}));
    EXPECT_EQ(piped.exit_status, 0) << piped.err;
    EXPECT_EQ(read_file(dirs[0] / "piped.y4m"), read_file(dirs[0] / "out.y4m"));
    for (const char *said :
         {"frame 1: 7 damaged macroblocks concealed", "frame 2: ", "silence",
          "frame 3: 3 damaged audio blocks concealed", "frame 4: 80 bytes skipped",
          "frame 6: 925 DIF blocks missing (the stream ends inside it)", "damage: 80 bytes",
          "1 frame with 925 missing DIF blocks", "last frame cut short",
          ": 7 frames, 0.28 s of 625/50 (PAL), in "})
      EXPECT_NE(run.err.find(said), std::string::npos) << said << " in\n" << run.err;
  }
  const auto frames = y4m_frames(read_file(dirs[0] / "out.y4m"), pal_picture);
  ASSERT_EQ(frames.size(), 7u);
  const fs::path clean_y4m = fresh_dir() / "clean.y4m";
  ASSERT_EQ(run_tarsk({"decode", made(pal).path, "-o", clean_y4m}).exit_status, 0);
  const auto clean = y4m_frames(read_file(clean_y4m), pal_picture);
  ASSERT_EQ(clean.size(), 6u);
  for (size_t f : {0, 2, 3, 4}) EXPECT_TRUE(frames[f] == clean[f]) << "frame " << f;
  // The blocks flagged in frames 1 and 5 are whole: left as they are, they decode as they were.
  const fs::path as_is = fresh_dir() / "as_is.y4m";
  const auto run_as_is = run_tarsk({"decode", in, "--no-conceal", "-o", as_is});
  EXPECT_NE(run_as_is.err.find("frame 1: 7 damaged macroblocks decoded as they are"),
            std::string::npos) << run_as_is.err;
  const auto kept = y4m_frames(read_file(as_is), pal_picture);
  ASSERT_EQ(kept.size(), 7u);
  for (size_t f : {1, 5}) EXPECT_TRUE(kept[f] == clean[f]) << "frame " << f;
  const auto sound = ffmpeg_audio_s16le(dirs[0] / "out.wav");
  const auto clean_sound = ffmpeg_audio_s16le(made(pal).path);
  ASSERT_EQ(sound.size(), 7 * pal_sound);
  for (size_t f : {0, 1, 2, 4, 5}) {
    const auto at = sound.begin() + static_cast<long>(f * pal_sound);
    if (f == 2)
      EXPECT_TRUE(std::all_of(at, at + pal_sound, [](uint8_t v) { return !v; }));
    else
      EXPECT_TRUE(std::equal(at, at + pal_sound, clean_sound.begin() + (at - sound.begin()))) << f;
  }
  const fs::path strict = fresh_dir();
  const auto run =
      run_tarsk({"decode", in, "--strict", "-o", strict / "out.y4m", "--audio", strict / "out.wav"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("frame 1: 7 damaged macroblocks"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
  EXPECT_TRUE(listing(strict).empty());
}

// DV in AVI, QuickTime and Matroska (ffmpeg's DV and ours copied in by ffmpeg, and ffmpeg's own
// encodes into each): the pictures and sound of the raw DV, from a file and a pipe; the sound of
// the container's own track with --audio-from track; info names the container.
class Containers : public testing::TestWithParam<const char *> {};

TEST_P(Containers, DecodeAsTheRawDv) {
  const std::string ext = GetParam();
  const fs::path dir = fresh_dir();
  const fs::path ours = dir / "ours.dv";
  ASSERT_EQ(run_tarsk({"encode", "--test-pattern", "bars", "--duration", "0.2", "--quiet", "-o", ours})
                .exit_status, 0);
  const fs::path own = dir / ("own." + ext), own_raw = dir / "own.dv";
  run_ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=720x480:r=30000/1001", "-f", "lavfi", "-i",
              "sine=r=48000", "-t", "0.2", "-pix_fmt", "yuv411p", "-c:v", "dvvideo", "-c:a",
              "pcm_s16le", "-y", own.string()});
  run_ffmpeg({"-i", own.string(), "-map", "0:v", "-c", "copy", "-f", "dv", "-y", own_raw.string()});
  const std::vector<std::pair<fs::path, fs::path>> files = {
      {made(pal).path, dir / ("pal." + ext)}, {ours, dir / ("ours." + ext)}, {own_raw, own}};
  for (const auto &[raw, wrapped] : files) {
    if (wrapped != own)
      run_ffmpeg({"-i", raw.string(), "-c", "copy", "-y", wrapped.string()});
    // ffmpeg's own encode keeps its sound in the container's track only.
    const bool dv_sound = wrapped != own;
    const auto decoded = [&](const fs::path &in, const std::string &name, bool track) {
      std::vector<std::string> args = {"decode", in, "-o", dir / (name + ".y4m"), "--audio",
                                       dir / (name + ".wav"), "--quiet", "-y"};
      if (track) args.insert(args.end(), {"--audio-from", "track"});
      if (!track && !dv_sound) args = {"decode", in, "-o", dir / (name + ".y4m"), "-y"};
      const auto run = run_tarsk(args);
      EXPECT_EQ(run.exit_status, 0) << in << run.err;
      return std::pair{read_file(dir / (name + ".y4m")), read_file(dir / (name + ".wav"))};
    };
    const auto want = decoded(raw, "raw", false);
    const auto got = decoded(wrapped, "wrapped", false);
    EXPECT_TRUE(got.first == want.first) << wrapped;
    const auto track = decoded(wrapped, "track", true);
    EXPECT_TRUE(!dv_sound || got.second == want.second) << wrapped;
    EXPECT_EQ(ffmpeg_audio_s16le(dir / "track.wav"), ffmpeg_audio_s16le(dv_sound ? raw : own))
        << wrapped;
    const auto piped = shell("cat " + quoted({wrapped.string()}) + " | " +
                             quoted({TARSK_BINARY, "decode", "-", "-o", "-", "--quiet"}));
    // A QuickTime index stands at the end of the file: not readable from a pipe.
    EXPECT_EQ(piped.exit_status == 0, ext != "mov") << piped.err;
    EXPECT_TRUE(ext == "mov" || std::vector<uint8_t>(piped.out.begin(), piped.out.end()) ==
                                    want.first) << wrapped;
  }
  const auto info = run_tarsk({"info", dir / ("pal." + ext)});
  const std::string name = ext == "avi" ? "AVI" : ext == "mov" ? "QuickTime" : "Matroska";
  EXPECT_NE(info.out.find("container:   " + name + ", with a sound track of its own (48000 Hz, "
                          "2 channels)"), std::string::npos) << info.out;
  if (ext != "avi") return;
  // AVI type 1: one stream of DV frames with their sound ('iavs'), made from ffmpeg's type 2.
  const fs::path type1 = dir / "type1.avi";
  run_ffmpeg({"-i", made(pal).path.string(), "-an", "-c", "copy", "-y", type1.string()});
  auto bytes = read_file(type1);
  const std::string stream_header = "strh";
  const auto strh = std::search(bytes.begin(), bytes.end(), stream_header.begin(), stream_header.end());
  ASSERT_TRUE(strh != bytes.end() && std::string(strh + 8, strh + 12) == "vids");
  std::copy_n("iavs", 4, strh + 8);
  std::ofstream(type1, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()), std::ssize(bytes));
  ASSERT_EQ(run_tarsk({"decode", made(pal).path, "-o", dir / "want.y4m", "--audio", dir / "want.wav",
                   "--quiet"}).exit_status, 0);
  ASSERT_EQ(run_tarsk({"decode", type1, "-o", dir / "got.y4m", "--audio", dir / "got.wav", "--quiet"})
                .exit_status, 0);
  EXPECT_TRUE(read_file(dir / "got.y4m") == read_file(dir / "want.y4m"));
  EXPECT_TRUE(read_file(dir / "got.wav") == read_file(dir / "want.wav"));
  const auto described = run_tarsk({"info", type1}).out;
  EXPECT_NE(described.find("container:   AVI type 1\n"), std::string::npos) << described;
}

// Written: tarsk encode into the container (525/60 16:9 with a time code) as ffprobe reads it,
// frames byte for byte those of the raw encode; remux round the forms and back byte for byte;
// decode into the container as raw pictures and PCM: the Y4M's planes and the WAV's samples.
TEST_P(Containers, WrittenAsFfmpegReadsThem) {
  const std::string ext = GetParam();
  const fs::path dir = fresh_dir();
  const fs::path raw = dir / "enc.dv", wrapped = dir / ("enc." + ext);
  for (const fs::path &out : {raw, wrapped})
    ASSERT_EQ(run_tarsk({"encode", "--test-pattern", "zoneplate", "--system", "ntsc", "--duration",
                     "0.3", "--wide", "--timecode", "01:02:03:04", "--date", "2024-01-02 03:04:05",
                     "--quiet", "-o", out})
                  .exit_status, 0);
  const std::string probe = run_ffprobe(
      {"-v", "error", "-show_entries",
       "stream=codec_name,codec_type,width,height,field_order,r_frame_rate,display_aspect_ratio,"
       "sample_rate,channels:format=duration", "-of", "compact", wrapped.string()});
  const std::string field_order = ext == "avi" ? "unknown" : "bb";  // AVI has no place for it
  for (const std::string &want : std::vector<std::string>{
           "codec_name=dvvideo|codec_type=video|width=720|height=480|"
                                 "display_aspect_ratio=16:9|field_order=" + field_order +
                                 "|r_frame_rate=30000/1001",
                           "codec_name=pcm_s16le|codec_type=audio|sample_rate=48000|channels=2",
                           "duration=0.3"})
    EXPECT_NE(probe.find(want), std::string::npos) << want << " in\n" << probe;
  const std::string timecode = run_ffprobe({"-v", "error", "-show_entries",
      "stream_tags=timecode:format_tags=timecode", "-of", "compact", wrapped.string()});
  EXPECT_NE(timecode.find("01:02:03:04"), std::string::npos) << timecode;
  const fs::path copied = dir / "copied.dv";
  run_ffmpeg({"-i", wrapped.string(), "-map", "0:v", "-c", "copy", "-f", "rawvideo", "-y",
              copied.string()});  // the packets as they are
  EXPECT_TRUE(read_file(copied) == read_file(raw));
  // Round the forms and back, with two channels that differ.
  const MadeDv &stereo = made_dv("StereoPal", {.frames = 6, .audio_source =
                                     "aevalsrc=0.5*sin(440*2*PI*t)|0.25*sin(660*2*PI*t)"});
  fs::path from = stereo.path;
  for (const std::string &to : std::vector<std::string>{"a.avi", "b.mov", "c.mkv", "d.dv", "e." + ext,
                                                         "f.dv"}) {
    ASSERT_EQ(run_tarsk({"remux", from, "-o", dir / to}).exit_status, 0) << to;
    from = dir / to;
  }
  EXPECT_TRUE(read_file(from) == stereo.bytes);
  EXPECT_EQ(ffmpeg_audio_s16le(dir / "a.avi"), ffmpeg_audio_s16le(stereo.path));
  // Pictures and sound in one file (NUT in the place of QuickTime).
  ASSERT_EQ(run_tarsk({"decode", made(pal).path, "-o", dir / "ref.y4m", "--audio", dir / "ref.wav",
                   "--quiet"}).exit_status, 0);
  const fs::path media = dir / ("media." + (ext == "mov" ? std::string("nut") : ext));
  ASSERT_EQ(run_tarsk({"decode", made(pal).path, "-o", media, "--quiet"}).exit_status, 0);
  std::vector<uint8_t> planes;
  for (const auto &f : y4m_frames(read_file(dir / "ref.y4m"), pal_picture))
    planes.insert(planes.end(), f.begin(), f.end());
  EXPECT_TRUE(ffmpeg_raw({"-i", media.string()}, "yuv420p") == planes);
  EXPECT_EQ(ffmpeg_audio_s16le(media), ffmpeg_audio_s16le(dir / "ref.wav"));
  // And through a pipe into ffmpeg, as NUT or Matroska.
  if (ext != "avi") {
    const auto piped = shell(quoted({TARSK_BINARY, "decode", made(pal).path.string(), "-o", "-",
                                     "-f", media.extension().string().substr(1), "--quiet"}) +
                             " | ffmpeg -v error -i - -f framemd5 -");
    EXPECT_EQ(piped.exit_status, 0) << piped.err;
    // Lines of stream 0 (six pictures) and stream 1 (the sound, in ffmpeg's own pieces).
    std::istringstream lines(piped.out);
    int pictures = 0, sound = 0;
    for (std::string line; std::getline(lines, line);) {
      pictures += line.rfind("0,", 0) == 0;
      sound += line.rfind("1,", 0) == 0;
    }
    EXPECT_EQ(pictures, 6) << piped.out;
    EXPECT_GT(sound, 0) << piped.out;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, Containers, testing::Values("avi", "mov", "mkv"));

// What python3 prints of `expression` on tarsk info's JSON d, whose first file is f.
// clang-format off
std::string json_field(const std::string &json, const std::string &expression) {
  const fs::path path = scratch_file(".json");
  std::ofstream(path) << json;
  const auto run = run_command({"python3", "-c", "import json,sys\nd=json.load(open(sys.argv[1]))\n"
                               "f=d[0]\nprint(" + expression + ")", path.string()});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  return run.out.substr(0, run.out.find_last_not_of('\n') + 1);
}

TEST(Info, DescribesFilesAndCountsDamage) {
  const fs::path text = scratch_file("notes.txt");
  std::ofstream(text) << "\"quoted\"\tand\\escaped\n";
  const auto described = run_tarsk({"info", made(pal).path, made(ntsc).path});
  ASSERT_EQ(described.exit_status, 0) << described.err;
  for (const char *expected : {"625/50", "4:2:0", "720x576, 16:9", "25 fps", "2024-03-04 05:06:07",
                               "frames:      6 (00:00:00.240)", "48000 Hz, 16 bits, 2 channels",
                               "10:00:00:00 to 10:00:00:05", "525/60", "4:1:1", "720x480, 4:3",
                               "29.97 fps", "damage:      none"})
    EXPECT_NE(described.out.find(expected), std::string::npos) << expected << "\n" << described.out;
  // One file that is not DV among good ones: the status says so, the JSON parses.
  const auto json = run_tarsk({"info", "--json", made(pal).path, made(ntsc).path, text});
  EXPECT_EQ(json.exit_status, 1);
  EXPECT_EQ(json_field(json.out, "len(d), d[2]['error']"), "3 not a DV stream");
  EXPECT_EQ(json_field(json.out, "*(f[k] for k in ('system', 'sampling', 'aspect', 'width', "
                       "'height', 'frame_count', 'duration')), f['frame_rate']['num'], "
                       "*f['audio'].values(), f['timecode']['first'], f['timecode']['last'], "
                       "f['recorded']['first']"), "625/50 4:2:0 16:9 720 576 6 0.24 25 48000 16 2 "
                       "10:00:00:00 10:00:00:05 2024-03-04 05:06:07");
  EXPECT_EQ(json_field(json.out, "d[1]['system'], d[1]['sampling'], d[1]['aspect'], "
                       "d[1]['frame_rate']['den']"), "525/60 4:1:1 4:3 1001");
  const fs::path damaged = damaged_file();
  const auto frames = run_tarsk({"info", "--frames", damaged});
  ASSERT_EQ(frames.exit_status, 0) << frames.err;
  EXPECT_NE(frames.out.find("damage:      80 bytes skipped to find frames (before byte 576080), "
                            "1 frame with 925 missing DIF blocks, 9 video blocks flagged by the "
                            "recorder"), std::string::npos) << frames.out;
  const std::string d = run_tarsk({"info", "--json", "--frames", damaged}).out;
  EXPECT_EQ(json_field(d, "f['frame_count'], f['damaged_frames'], f['truncated'], f['skipped_bytes'], "
                       "f['missing_blocks'], f['damaged_video_blocks'], f['failed_audio_blocks'], "
                       "f['frames_without_audio'], len(f['stretches'])"), "7 0 True 80 925 9 58 1 2");
  EXPECT_EQ(json_field(d, "[(g['index'], g['skipped_bytes'], g['missing_blocks'], "
                       "g['damaged_video_blocks'], g['damaged_macroblocks'] >= g['damaged_video_blocks'], "
                       "g['failed_audio_blocks'], g['audio_samples']) for g in f['frames']]"),
            "[(0, 0, 0, 0, True, 0, 1920), (1, 0, 0, 7, True, 0, 1920), (2, 0, 0, 0, True, 0, None), "
            "(3, 0, 0, 0, True, 3, 1920), (4, 80, 0, 0, True, 0, 1920), (5, 0, 0, 2, True, 0, 1920), "
            "(6, 0, 925, 0, True, 55, 1920)]");
  // 625/50 then 525/60: two stretches; decoding keeps the first system's size and says so.
  const fs::path mixed = scratch_file("mixed.dv");
  std::ofstream(mixed, std::ios::binary)
      .write(reinterpret_cast<const char *>(made(pal).bytes.data()), 2 * 144000)
      .write(reinterpret_cast<const char *>(made(ntsc).bytes.data()), 2 * 120000);
  EXPECT_EQ(json_field(run_tarsk({"info", "--json", mixed}).out,
                       "[(s['first_frame'], s['system'], s['sampling']) for s in f['stretches']]"),
            "[(0, '625/50', '4:2:0'), (2, '525/60', '4:1:1')]");
  const auto mixed_decode = run_tarsk({"decode", mixed, "--format", "null"});
  EXPECT_EQ(mixed_decode.exit_status, 0);
  EXPECT_NE(mixed_decode.err.find("frame 2: a 525/60 (NTSC) frame among 625/50 (PAL) frames"),
            std::string::npos) << mixed_decode.err;
  EXPECT_NE(mixed_decode.err.find("2 frames of another system"), std::string::npos)
      << mixed_decode.err;
  // Two recordings one after the other: each its own stretch.
  const fs::path twice = scratch_file("twice.dv");
  std::ofstream(twice, std::ios::binary) << std::ifstream(made(pal).path, std::ios::binary).rdbuf()
                                         << std::ifstream(made(pal).path, std::ios::binary).rdbuf();
  const auto joined = run_tarsk({"info", twice});
  EXPECT_NE(joined.out.find("stretches:   2\n    frames 0 to 5: 625/50 (PAL), 4:2:0, 16:9"),
            std::string::npos) << joined.out;
  EXPECT_EQ(json_field(run_tarsk({"info", "--json", twice}).out,
                       "[(s['first_frame'], s['last_frame'], s['timecode']['first'], "
                       "s['timecode']['last']) for s in f['stretches']]"),
            "[(0, 5, '10:00:00:00', '10:00:00:05'), (6, 11, '10:00:00:00', '10:00:00:05')]");
}
// clang-format on

// Refusals: a message, status 1 (cannot be done) or 2 (bad command line), no output, no file
// left, old files kept. $D holds inputs, $O old.y4m and old.dv. Encode's messages are whole.

std::string with_dirs(std::string s, const fs::path &in, const fs::path &out) {
  for (size_t at; (at = s.find("$D")) != std::string::npos;) s.replace(at, 2, in.string());
  for (size_t at; (at = s.find("$O")) != std::string::npos;) s.replace(at, 2, out.string());
  return s;
}

// clang-format off
struct Refusal { std::vector<std::string> args; int status; std::string message; };
const Refusal refusals[] = {
    {{"decode", "$D/notes.txt", "-o", "$O/old.y4m", "--audio", "$O/new.wav"}, 1, "not a DV stream"},
    {{"decode", "$D/notes.txt", "-o", "-"}, 1, "not a DV stream"},
    {{"decode", "$D/empty.dv", "--format", "null"}, 1, "not a DV stream"},
    {{"info", "$D/notes.txt"}, 1, "not a DV stream"},
    {{"decode", "$D/absent.dv", "--format", "null"}, 1, "No such file"},
    {{"info", "$D/absent.dv"}, 1, "No such file"},
    // A directory that cannot exist: its parent is a file (root may write anywhere else).
    {{"decode", "$D/pal.dv", "-o", "$O/old.y4m/out.y4m"}, 1, "cannot write"},
    {{"decode", "$D/pal.dv", "-o", "$O/new.y4m", "--audio", "$O/old.y4m/o.wav"}, 1, "cannot write"},
    {{"decode", "$D/pal.dv", "--format", "y4m", "-o", "$O"}, 1, "cannot write"},
    {{}, 2, "Usage"},
    {{"transcode", "$D/pal.dv"}, 2, "unknown command"},
    {{"decode", "$D/pal.dv", "--bogus"}, 2, "unknown option"},
    {{"decode"}, 2, "no file"},
    {{"decode", "$D/pal.dv", "$D/pal.dv", "--format", "null"}, 2, "one file"},
    {{"decode", "$D/pal.dv"}, 2, "nothing to do"},
    {{"decode", "$D/pal.dv", "--format", "mpeg", "-o", "$O/new"}, 2, "unknown format"},
    {{"decode", "$D/pal.dv", "-o", "$O/new.mp4"}, 2, "cannot tell the format"},
    {{"decode", "$D/pal.dv", "-o", "$O/new.png"}, 2, "--frames N"},
    {{"decode", "$D/pal.dv", "-o", "$O/new.y4m", "--frames", "5:2"}, 2, "--frames takes"},
    {{"decode", "$D/pal.dv", "-o", "$O/new.y4m", "--frames", "10:12"}, 1,
     "no frames in the range 10:12; the file has 6"},
    {{"decode", "$D/pal.dv", "-o", "$O/new.y4m", "--frames", "two"}, 2, "--frames takes"},
    {{"decode", "$D/pal.dv", "-o", "-", "--audio", "-"}, 2, "standard output"},
    {{"decode", "$D/pal.dv", "--audio", "$O/new.wav", "--audio-format", "mp3"}, 2, "audio format"},
    {{"decode", "$D/pal.dv", "--format", "null", "--depth", "7"}, 2,
     "--depth takes full, block or dc, not '7'"},
    {{"decode", "$D/pal.dv", "--format", "null", "--system", "9"}, 2,
     "--system takes auto, ntsc or pal, not '9'"},
    {{"decode", "$D/pal.dv", "--format", "null", "--audio-rate", "4"}, 2,
     "--audio-rate takes auto, 32000, 44100 or 48000"},
    {{"decode", "$D/pal.dv", "--format", "null", "--system", "ntsc", "--sampling", "420"}, 2,
     "--sampling 420 is for 625/50"},
    {{"decode", "$D/pal.dv", "--format", "null", "--threads", "0"}, 2, "--threads takes"},
    {{"info"}, 2, "no file"},
    {{"info", "--frames=3", "$D/pal.dv"}, 2, "does not take an argument"},
    {{"info", "-x", "$D/pal.dv"}, 2, "unknown option"},
    {{"info", "$D/ffv1.mkv"}, 1, "the Matroska file holds no DV video"},
    {{"decode", "$D/dv50.mov", "--format", "null"}, 1, "a DV variant tarsk does not decode"},
    {{"decode", "$D/pal.dv", "--audio", "$O/new.wav", "--audio-from", "track"}, 1,
     "the raw DV file has no sound track of its own"},
    {{"decode", "$D/pal.dv", "--audio", "$O/new.wav", "--audio-from", "disk"}, 2, "--audio-from takes"},
    {{"decode", "$D/pal.dv", "-o", "-", "-f", "avi"}, 1, "cannot go to standard output"},
    {{"decode", "$D/pal.dv", "-o", "$O/new.nut", "--audio-from", "track"}, 2, "is for --audio"},
    {{"remux", "$D/pal.dv", "-o", "$O/new.mp4"}, 2, "remux: cannot tell the form from the name"},
    {{"remux", "$D/pal.dv"}, 2, "remux: no output given"},
    {{"remux", "$D/ffv1.mkv", "-o", "$O/new.dv"}, 1, "holds no DV video"},
    {{"encode", "$D/good.y4m", "-o", "$O/new.mp4"}, 2, "encode: cannot tell the form from the name"},
    // The whole size and rate messages are checked by the reader tests of io_test.
    {{"encode", "$D/small.y4m"}, 1, "$D/small.y4m: pictures of 640x480; DV takes 720x576"},
    {{"encode", "$D/rate30.y4m"}, 1, "$D/rate30.y4m: pictures at 30:1 frames a second; 625/50 DV"},
    {{"encode", "$D/good.y4m", "--system", "ntsc"}, 1,
     "$D/good.y4m: pictures of 720x576 are 625/50, not 525/60 (NTSC) as --system asks"},
    {{"encode", "$D/good.y4m", "--audio", "$D/a22k.wav"}, 1, "$D/a22k.wav: sound at 22050 Hz; DV "
     "carries 48000, 44100 or 32000 Hz: resample it, e.g. with ffmpeg's -ar 48000"},
    {{"encode", "$D/good.y4m", "--audio", "$D/none.wav"}, 1, "$D/none.wav: cannot read its sound"},
    {{"encode", "$D/none.y4m"}, 1, "cannot open $D/none.y4m: No such file"},
    {{"encode", "$D/cut.y4m"}, 1, "$D/cut.y4m: frame 1: the input ends inside the picture"},
    {{"encode", "$D/f%04d.ppm"}, 1,
     "$D/f0002.ppm: frame 1: not a PPM picture of 720x576 or 720x480 that can be read whole"},
    {{"encode", "$D/loop/f%d.png"}, 1, "$D/loop/f%d.png: no picture $D/loop/f0.png or"},
    {{"encode", "$D/loop/f%d.pgm"}, 1, "$D/loop/f%d.pgm: no picture $D/loop/f0.pgm or"},
    {{"encode", "$D/good.y4m", "--passes", "4"}, 2, "encode: --passes takes 1, 2 or 3, not '4'"},
    {{"encode", "$D/good.y4m", "--quality", "high"}, 2,
     "encode: --quality takes standard or best, not 'high'"},
    {{"encode", "$D/good.y4m", "--quality", "best", "--passes", "2"}, 2,
     "encode: --quality best searches the whole segment: it takes no --passes 1|2 or --static-qno "
     "1|2"},
    {{"encode", "$D/good.y4m", "--threads", "0"}, 2, "encode: --threads takes 1 to 64, not '0'"},
    {{"encode", "$D/good.y4m", "--dct", "44"}, 2, "encode: --dct takes auto, 88 or 248, not '44'"},
    {{"encode", "$D/good.y4m", "--sampling", "422"}, 2,
     "encode: --sampling takes auto, 411 or 420, not '422'"},
    {{"encode", "--test-pattern", "--system", "ntsc", "--sampling", "420", "-o", "$O/new.dv"}, 2,
     "encode: --sampling 420 is for 625/50; 525/60 (NTSC) carries 4:1:1 only"},
    {{"encode", "$D/good.y4m", "--bogus"}, 2, "encode: --bogus: unknown option"},
    {{"encode", "$D/good.y4m", "--timecode", "1:2:3"}, 2, "encode: --timecode takes HH:MM:SS:FF"},
    {{"encode", "$D/good.y4m", "--timecode", "00:00:00:25"}, 2,
     "encode: --timecode 00:00:00:25: 625/50 (PAL) frames are numbered 00 to 24"},
    {{"encode", "$D/good.y4m", "--date", "2024-02-30"}, 2, "encode: --date takes"},
    {{"encode"}, 2, "encode: no input given"},
    {{"encode", "$D/good.mov"}, 2, "encode: cannot tell the format from the name"},
    {{"encode", "$D/good.y4m", "--wrong-interlace"}, 2,
     "encode: --wrong-interlace is for PPM and PGM pictures"},
    // Existing outputs stay unless -y is given; -n after -y says no again.
    {{"encode", "$D/good.y4m", "-o", "$O/old.dv", "KEEP"}, 1, "$O/old.dv exists; give -y to replace it"},
    {{"decode", "$D/pal.dv", "-o", "$O/old.y4m", "KEEP"}, 1, "$O/old.y4m exists; give -y"},
    {{"decode", "$D/pal.dv", "-o", "$O/new.y4m", "--audio", "$O/old.y4m", "KEEP"}, 1,
     "$O/old.y4m exists"},
    {{"remux", "$D/pal.dv", "-o", "$O/old.dv", "-y", "-n", "KEEP"}, 1, "$O/old.dv exists"},
};
// clang-format on

// Grey 625/50 Y4M (also another size, rate, and cut), PPMs whose second is cut, 22.05 kHz sound,
// a directory link that loops.
fs::path refusal_inputs() {
  const fs::path d = fresh_dir();
  const auto y4m = [&](const std::string &name, const std::string &header, size_t bytes) {
    std::string s = "YUV4MPEG2 " + header + " Ip C420jpeg\n";
    for (int f = 0; f < 2; ++f) s += "FRAME\n" + std::string(bytes, '\x80');
    std::ofstream(d / name, std::ios::binary)
        << s.substr(0, s.size() - (name == "cut.y4m" ? 1000 : 0));
  };
  y4m("good.y4m", "W720 H576 F25:1", 720 * 576 * 3 / 2);
  y4m("cut.y4m", "W720 H576 F25:1", 720 * 576 * 3 / 2);
  y4m("small.y4m", "W640 H480 F25:1", 640 * 480 * 3 / 2);
  y4m("rate30.y4m", "W720 H576 F30:1", 720 * 576 * 3 / 2);
  for (const char *name : {"f0001.ppm", "f0002.ppm", "f0003.ppm"})
    std::ofstream(d / name, std::ios::binary)
        << "P6\n720 576\n255\n"
        << std::string(name[4] == '2' ? 4000 : 720 * 576 * 3, '\x40');
  std::ofstream(d / "notes.txt") << "These are not the frames you are looking for.\n";
  fs::create_directory_symlink("loop", d / "loop");  // a link to itself: no name under it resolves
  std::ofstream(d / "empty.dv").flush();
  fs::copy_file(made(pal).path, d / "pal.dv");
  // A container without DV, and DVCPRO50 (4:2:2) in QuickTime.
  run_ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=320x240:d=0.2", "-c:v", "ffv1", "-y",
              (d / "ffv1.mkv").string()});
  run_ffmpeg({"-f", "lavfi", "-i", "testsrc2=s=720x576:r=25:d=0.12", "-pix_fmt", "yuv422p", "-c:v",
              "dvvideo", "-y", (d / "dv50.mov").string()});
  run_ffmpeg({"-f", "lavfi", "-i", "sine=sample_rate=22050:duration=0.2", "-y",
              (d / "a22k.wav").string()});
  return d;
}

TEST(Refusals, SayWhyExitAndLeaveNothing) {
  const fs::path in = refusal_inputs();
  for (const Refusal &r : refusals) {
    const fs::path out = fresh_dir();
    for (const char *old : {"old.y4m", "old.dv"}) std::ofstream(out / old) << "an older file";
    std::vector<std::string> args;
    for (const auto &a : r.args) args.push_back(with_dirs(a, in, out));
    if (!args.empty() && args[0] == "encode" && std::ranges::find(args, "-o") == args.end())
      args.insert(args.end(), {"-o", (out / "old.dv").string()});
    // The old files are there to show that a failure leaves them alone:
    // with -y, but for the cases of overwriting itself.
    if (const auto keep = std::ranges::find(args, "KEEP"); keep != args.end())
      args.erase(keep);
    else if (args.size() > 1 && args[0] != "info")
      args.push_back("-y");
    SCOPED_TRACE(testing::PrintToString(args));
    const auto run = run_tarsk(args);
    EXPECT_EQ(run.exit_status, r.status) << run.err;
    EXPECT_EQ(run.out, "");
    const std::string message =
        (args.empty() || args[0] != "encode" ? "" : "tarsk: ") + with_dirs(r.message, in, out);
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_EQ(listing(out), (std::set<std::string>{"old.dv", "old.y4m"}));
    EXPECT_EQ(fs::file_size(out / "old.dv") + fs::file_size(out / "old.y4m"), 26u);
  }
  const auto full =
      shell(quoted({TARSK_BINARY, "decode", made(pal).path, "-o", "-"}) + " > /dev/full");
  EXPECT_EQ(full.exit_status, 1);
  EXPECT_NE(full.err.find("No space left"), std::string::npos) << full.err;
}

// libavformat is loaded when a container is first met: where the one found will not load,
// containers are refused in words, and raw DV goes on without it.
TEST(Refusals, ContainersWithoutALibavformatThatLoads) {
  // The name ffmpeg's own libavformat goes by, as the tool asks for it.
  const auto ldd = shell("ldd \"$(command -v ffmpeg)\" | grep -o 'libavformat\\.so\\.[0-9]*'");
  ASSERT_EQ(ldd.exit_status, 0) << ldd.err;
  const fs::path lib = fresh_dir(), out = fresh_dir(), avi = lib / "pal.avi";
  std::ofstream(lib / ldd.out.substr(0, ldd.out.find('\n'))) << "not a library";
  run_ffmpeg({"-i", made(pal).path.string(), "-c", "copy", "-y", avi.string()});
  const auto without = [&](std::vector<std::string> args) {
    args.insert(args.begin(), TARSK_BINARY);
    return shell("LD_LIBRARY_PATH=" + quoted({lib}) + " " + quoted(args));
  };
  for (const auto &[args, message] :
       {std::pair<std::vector<std::string>, std::string>{{"decode", avi, "-o", out / "new.y4m"},
                                                         "cannot look for a container in it"},
        {{"encode", "--test-pattern", "--duration", "0.1", "-o", out / "new.avi"},
         "cannot write a container"},
        {{"decode", made(pal).path, "-o", out / "new.mkv"}, "cannot write a container"}}) {
    const auto run = without(args);
    EXPECT_EQ(run.exit_status, 1) << run.err;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
  }
  EXPECT_TRUE(listing(out).empty());
  const auto raw =
      without({"encode", "--test-pattern", "--duration", "0.1", "--quiet", "-o", out / "new.dv"});
  EXPECT_EQ(raw.exit_status, 0) << raw.err;
  EXPECT_EQ(fs::file_size(out / "new.dv"), 3 * frame_bytes(e_dv_system_625_50));
}

TEST(Usage, HelpVersionAndProgress) {
  const auto help = run_tarsk({"decode", "--help"});
  EXPECT_EQ(help.exit_status, 0);
  for (const char *option :
       {"--output", "--format", "--audio", "--frames", "--strict", "--quiet", "--system",
        "--sampling", "--depth", "--monochrome", "--audio-rate", "--audio-bits", "--emphasis",
        "--ntsc-setup", "--overwrite", "--no-overwrite"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  EXPECT_EQ(run_tarsk({"--help"}).exit_status, 0);
  EXPECT_EQ(run_tarsk({"--version"}).out.rfind("tarsk ", 0), 0u);
  // Progress on a terminal only (script(1) gives one), not with --quiet.
  const std::string decode = quoted({TARSK_BINARY, "decode", made(pal).path, "--format", "null"});
  const auto terminal = run_command({"script", "-qec", decode, "/dev/null"});
  EXPECT_EQ(terminal.exit_status, 0);
  for (const char *said : {"of 6", "fps"})
    EXPECT_NE(terminal.out.find(said), std::string::npos) << terminal.out;
  // The line is erased before the summary, which stays.
  const size_t erased = terminal.out.rfind("\r\033[K"), last = terminal.out.rfind("fps");
  ASSERT_NE(erased, std::string::npos) << terminal.out;
  EXPECT_LT(last, erased);
  EXPECT_EQ(terminal.out.substr(erased + 4).rfind("tarsk: " + made(pal).path.string() + ": 6 frames, 0.24 s", 0),
            0u)
      << terminal.out;
  EXPECT_EQ(run_command({"script", "-qec", decode + " --quiet", "/dev/null"}).out, "");
}

// Round trips of blurred-chroma testsrc2 decoded by ffmpeg and tarsk, against ffmpeg's rendering
// sited as DV (4:1:1 every 4th pixel, 4:2:0 even pixels between lines; tff moved down a line;
// --wrong-interlace moved up a line, the last repeated). PGM is the library's 4:2:0 layout,
// ffmpeg's pgmyuv.
// clang-format off
struct Trip {
  const char *name;
  bool pal;
  std::string kind, pix_fmt, field_order, audio_ext, audio_codec;  // order tt, bb, progressive
  int audio_rate, audio_channels;
  std::array<double, 3> floor;  // dB, per plane, a few under what was measured
  std::string reference_filter;
  std::vector<std::string> options;  // for tarsk encode
  std::string stream_fmt;            // the DV stream's sampling, as ffmpeg names it
};
void PrintTo(const Trip &t, std::ostream *os) { *os << t.name; }
const Trip trips[] = {
    {"y4m_420_pal", true, "y4m", "yuv420p", "bb", "wav", "pcm_s16le", 48000, 2, {45, 45, 42},
     "null", {}, "yuv420p"},
    {"y4m_422_tff_pal", true, "y4m", "yuv422p", "tt", "flac", "flac", 32000, 2, {43, 45, 42},
     "setfield=tff,fieldorder=bff", {}, "yuv420p"},
    {"y4m_444_ntsc", false, "y4m", "yuv444p", "progressive", "aiff", "pcm_s16be", 44100, 1,
     {43, 39, 37}, "scale=out_h_chr_pos=0", {"--narrow"}, "yuv411p"},  // square pixels: 3:2
    {"rgb_ntsc", false, "rgb", "rgb24", "progressive", "wav", "pcm_f32le", 48000, 2, {39, 38, 37},
     "scale=out_h_chr_pos=0", {}, "yuv411p"},
    {"ppm_pal", true, "ppm", "rgb24", "progressive", "wav", "pcm_s16le", 48000, 2, {40, 40, 40},
     "scale=out_h_chr_pos=0:out_v_chr_pos=128", {}, "yuv420p"},
    {"ppm_wrong_interlace_pal", true, "ppm", "rgb24", "progressive", "wav", "pcm_s16le", 48000, 2,
     {40, 40, 40}, "crop=720:575:0:1,pad=720:576,fillborders=bottom=1:mode=smear,"
     "scale=out_h_chr_pos=0:out_v_chr_pos=128", {"--wrong-interlace"}, "yuv420p"},
    {"pgm_ntsc", false, "pgm", "yuv420p", "progressive", "wav", "pcm_s16le", 32000, 2, {44, 38, 35},
     "scale=out_h_chr_pos=0", {}, "yuv411p"},
    // 625/50 at 4:1:1 (SMPTE 314M): by a C411 Y4M, and asked for raw RGB.
    {"y4m_411_pal", true, "y4m", "yuv411p", "bb", "wav", "pcm_s16le", 48000, 2, {47, 47, 46.5},
     "null", {}, "yuv411p"},
    {"rgb_sampling_411_pal", true, "rgb", "rgb24", "progressive", "wav", "pcm_s16le", 44100, 2,
     {40.5, 39.5, 40}, "scale=out_h_chr_pos=0", {"--sampling", "411"}, "yuv411p"},
};
// clang-format on

class Encode : public testing::TestWithParam<Trip> {};

// The first trip reads a pipe and sets time code, aspect and date, as ffprobe and info see.
TEST_P(Encode, FfmpegAndTarskDecodeWhatWentIn) {
  const Trip &t = GetParam();
  const bool numbered = t.kind == "ppm" || t.kind == "pgm";  // a file a picture
  const fs::path dir = fresh_dir(),
                 pictures = dir / (numbered ? "in%04d." + t.kind : "in." + t.kind),
                 sound = dir / ("in." + t.audio_ext), dv = dir / "out.dv";
  const int height = t.pal ? 576 : 480, frames = 3;
  const std::string &stream_fmt = t.stream_fmt;
  const std::string testsrc = "testsrc2=size=720x" + std::to_string(height) +
                              ":rate=" + (t.pal ? "25" : "30000/1001") +
                              ",format=yuv444p,gblur=sigma=3:planes=6";
  const auto source = [&](std::vector<std::string> out) {  // the pictures, as `out` says
    out.insert(out.begin(), {"-f", "lavfi", "-i", testsrc, "-frames:v", "3"});
    const std::string raw = run_ffmpeg(out);
    return std::vector<uint8_t>(raw.begin(), raw.end());
  };
  std::vector<std::string> written{"-pix_fmt", t.pix_fmt, "-field_order", t.field_order, "-f",
                                   t.kind == "y4m" ? "yuv4mpegpipe"
                                   : numbered      ? "image2"
                                                   : "rawvideo"};
  if (t.kind == "pgm") written.insert(written.end(), {"-c:v", "pgmyuv"});
  written.insert(written.end(), {"-y", pictures});
  source(written);
  const std::string tones =
      t.audio_channels == 1 ? "0.6*sin(1000*2*PI*t)" : "0.6*sin(1000*2*PI*t)|0.3*sin(440*2*PI*t)";
  run_ffmpeg({"-f", "lavfi", "-i",
              "aevalsrc=" + tones + ":s=" + std::to_string(t.audio_rate) + ":d=0.2", "-c:a",
              t.audio_codec, "-y", sound});
  const bool first = &t == &trips[0];
  std::string line =
      quoted({TARSK_BINARY, "encode", first ? "-" : pictures.string(), "-o", dv, "--audio", sound});
  if (t.kind == "rgb") line += t.pal ? " --system pal" : " --system ntsc";
  if (!t.options.empty()) line += " " + quoted(t.options);
  if (first)
    line = "cat " + quoted({pictures}) + " | " + line +
           " --timecode 01:02:03:04 --wide --date '2024-03-04 05:06:07'";
  const auto run = shell(line);
  ASSERT_EQ(run.exit_status, 0) << run.err;
  // Nothing but the summary: the frames and the quantisation numbers.
  EXPECT_EQ(run.err.rfind("tarsk: " + dv.string() + ": " + std::to_string(frames) + " frames, ", 0),
            0u)
      << run.err;
  EXPECT_NE(run.err.find("x real time); quantisation number "), std::string::npos) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  ASSERT_EQ(fs::file_size(dv),
            frames * frame_bytes(t.pal ? e_dv_system_625_50 : e_dv_system_525_60));
  EXPECT_EQ(run_ffprobe({"-select_streams", "v", "-show_entries", "stream=pix_fmt", "-of",
                         "csv=p=0", dv.string()}),
            stream_fmt + "\n");
  EXPECT_NE(run_tarsk({"info", dv})
                .out.find(stream_fmt == "yuv411p" ? "sampling:    4:1:1" : "sampling:    4:2:0"),
            std::string::npos);
  const auto reference =
      source({"-vf", t.reference_filter, "-pix_fmt", stream_fmt, "-f", "rawvideo", "-"});
  const auto decode =
      run_tarsk({"decode", dv, "-o", dir / "ours.y4m", "--audio", dir / "ours.wav", "--quiet"});
  ASSERT_EQ(decode.exit_status, 0) << decode.err;
  for (const fs::path &decoded : {dv, dir / "ours.y4m"}) {
    const auto db = lowest_psnr(ffmpeg_raw({"-i", decoded}, stream_fmt), reference, height);
    for (int p = 0; p < 3; ++p) EXPECT_GE(db[p], t.floor[p]) << decoded << " plane " << p;
  }
  auto given = ffmpeg_audio_s16le(sound, t.audio_channels);
  for (size_t i = 0; t.audio_channels == 1 && i < given.size(); i += 4)
    given.insert(given.begin() + static_cast<long>(i) + 2, given.begin() + static_cast<long>(i),
                 given.begin() + static_cast<long>(i) + 2);
  const double seconds = frames * (t.pal ? 1 / 25.0 : 1001 / 30000.0);
  for (const auto &got : {ffmpeg_audio_s16le(dv), ffmpeg_audio_s16le(dir / "ours.wav")}) {
    ASSERT_GE(got.size(), static_cast<size_t>(seconds * t.audio_rate - frames) * 4);
    ASSERT_LE(got.size(), given.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), given.begin()));
  }
  if (!first) return;
  const std::string probe =
      run_ffprobe({"-show_entries", "format_tags=timecode:stream=display_aspect_ratio", "-of",
                   "default=noprint_wrappers=1", dv.string()});
  EXPECT_NE(probe.find("TAG:timecode=01:02:03:04"), std::string::npos) << probe;
  EXPECT_NE(probe.find("display_aspect_ratio=16:9"), std::string::npos) << probe;
  const auto info = run_tarsk({"info", dv});
  EXPECT_NE(info.out.find("01:02:03:04 to 01:02:03:06"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("recorded:    2024-03-04 05:06:07"), std::string::npos) << info.out;
}

INSTANTIATE_TEST_SUITE_P(Inputs, Encode, testing::ValuesIn(trips),
                         [](const auto &info) { return std::string(info.param.name); });

// --frames 2:5 makes the whole run's frames 2 to 4 (bytes 3-79 of video and audio blocks);
// --stats' DCT column counts every block (9720 a 625/50 frame).
TEST(EncodeRuns, RangeIsACutOfTheWholeRunAndStatsCountEveryBlock) {
  const fs::path dir = fresh_dir();
  for (const auto &[out, extra] : {std::pair{"whole.dv", "--stats"}, {"cut.dv", "--frames=2:5"}}) {
    const auto run = run_tarsk({"encode", "--test-pattern", "zoneplate", "--duration", "0.24", "--date",
                            "2024-01-01", "--quiet", extra, "-o", dir / out});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    if (std::string(extra) != "--stats") continue;
    long blocks = 0;
    for (const char *mode : {"(DCT88)", "(DCT248)"}) {
      const size_t at = run.err.find(mode, run.err.find("Final statistics:"));
      ASSERT_NE(at, std::string::npos) << run.err;
      blocks += std::stol(run.err.substr(run.err.rfind('|', run.err.find('\n', at)) + 1));
    }
    EXPECT_EQ(blocks, 6 * 9720);
  }
  const auto payload = [](std::span<const uint8_t> frame) {
    std::vector<uint8_t> out;
    for (size_t at = 0; at < frame.size(); at += 80)
      if (frame[at] >> 5 == 3 || frame[at] >> 5 == 4)
        out.insert(out.end(), &frame[at + 3], &frame[at + 80]);
    return out;
  };
  const auto a = read_file(dir / "whole.dv"), b = read_file(dir / "cut.dv");
  const auto whole = split_frames(a), cut = split_frames(b);
  ASSERT_TRUE(whole.size() == 6 && cut.size() == 3);
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_TRUE(payload(cut[k]) == payload(whole[k + 2])) << "cut frame " << k;
    EXPECT_FALSE(payload(cut[k]) == payload(whole[k + 1])) << "the pattern moves";
  }
}

// Sound shorter than the pictures: then silence, and a warning where it ran out.
TEST(EncodeRuns, ShortSoundIsMadeUpWithSilence) {
  const fs::path in = refusal_inputs(), wav = in / "short.wav", dv = in / "out.dv";
  run_ffmpeg({"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000:duration=0.05", "-ac",
              "2", "-y", wav.string()});
  // --quiet keeps the warning and leaves out the summary.
  const auto run = run_tarsk({"encode", in / "good.y4m", "-o", dv, "--audio", wav, "--quiet"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "tarsk: warning: " + wav.string() +
                         ": the sound runs out in frame 1 of 2; silence after it\n");
  auto want = ffmpeg_audio_s16le(wav);
  ASSERT_EQ(want.size(), 2400u * 4);
  want.resize(2 * 1920 * 4);  // what two frames carry: the sound, then silence
  EXPECT_EQ(ffmpeg_audio_s16le(dv), want);
}

// Any number of threads writes the one-thread file byte for byte, time code (over an hour),
// date and sound included, to a file or a pipe. A picture cut short mid-stream stops the run: a
// pipe has every frame before it and nothing after, a file is not left at all; so does a full disk.
TEST(EncodeRuns, ThreadsChangeNoByteAndAFailureWritesNothingAfterIt) {
  const fs::path dir = fresh_dir(), y4m = dir / "in.y4m", wav = dir / "in.wav";
  run_ffmpeg({"-f", "lavfi", "-i", "testsrc2=size=720x480:rate=30000/1001,noise=alls=20:allf=t+u",
              "-frames:v", "9", "-pix_fmt", "yuv411p", "-f", "yuv4mpegpipe", "-y", y4m.string()});
  run_ffmpeg({"-f", "lavfi", "-i", "sine=frequency=1000:sample_rate=48000:duration=0.4", "-ac", "2",
              "-y", wav.string()});
  const auto encode = [&](const std::string &in, const std::string &threads,
                          const std::string &out) {
    return shell(
        quoted({TARSK_BINARY, "encode", in, "--audio", wav, "--timecode", "00:59:59:25", "--date",
                "2024-03-04 05:06:07", "--quiet", "--threads", threads, "-y", "-o", out}));
  };
  ASSERT_EQ(encode(y4m, "1", dir / "one.dv").exit_status, 0);
  const auto one = read_file(dir / "one.dv");
  ASSERT_EQ(split_frames(one).size(), 9u);
  for (const char *threads : {"2", "5"}) {  // 5: more slots than pictures
    SCOPED_TRACE(threads);
    const auto run = encode(y4m, threads, dir / "many.dv");
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_TRUE(read_file(dir / "many.dv") == one);
  }
  const auto piped = encode(y4m, "3", "-");
  EXPECT_TRUE(std::vector<uint8_t>(piped.out.begin(), piped.out.end()) == one);

  // The first seven pictures whole, the eighth cut short.
  const auto whole = read_file(y4m);
  const size_t picture = 6 + 720 * 480 * 3 / 2, header = whole.size() - 9 * picture;
  std::ofstream(dir / "cut.y4m", std::ios::binary)
      .write(reinterpret_cast<const char *>(whole.data()),
             static_cast<std::streamsize>(header + 7 * picture + 1000));
  for (const char *threads : {"1", "3"}) {
    SCOPED_TRACE(threads);
    const auto cut = encode(dir / "cut.y4m", threads, "-");
    EXPECT_EQ(cut.exit_status, 1);
    EXPECT_NE(cut.err.find("frame 7: the input ends inside the picture"), std::string::npos)
        << cut.err;
    EXPECT_TRUE(std::vector<uint8_t>(cut.out.begin(), cut.out.end()) ==
                std::vector<uint8_t>(one.begin(), one.begin() + 7 * 120000));
    EXPECT_EQ(encode(dir / "cut.y4m", threads, dir / "cut.dv").exit_status, 1);
    EXPECT_FALSE(fs::exists(dir / "cut.dv"));
  }
  const auto full =
      shell(quoted({TARSK_BINARY, "encode", y4m, "--quiet", "--threads", "3", "-o", "-"}) +
            " > /dev/full");
  EXPECT_EQ(full.exit_status, 1);
  EXPECT_NE(full.err.find("No space left"), std::string::npos) << full.err;
}

// make demo on a PATH of make, mkdir and echo only: no ffmpeg.
TEST(EncodeRuns, DemoRunsWithoutFfmpeg) {
  const fs::path bin = fresh_dir(), out = fresh_dir();
  for (const char *tool : {"make", "mkdir", "echo"}) {
    const auto found = run_command({"which", tool});
    ASSERT_EQ(found.exit_status, 0) << tool << " is not on the PATH";
    fs::create_symlink(found.out.substr(0, found.out.find('\n')), bin / tool);
  }
  const auto run =
      run_command({"/usr/bin/env", "PATH=" + bin.string(), "make", "-s", "-C", TARSK_SOURCE_DIR,
                   "demo-run", "DEMO=" + out.string(), std::string("TARSK=") + TARSK_BINARY});
  ASSERT_EQ(run.exit_status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("625/50 (PAL)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("10:00:00:00 to 10:00:01:24"), std::string::npos) << run.out;
  EXPECT_EQ(listing(out), (std::set<std::string>{"demo.dv", "demo.wav", "first.png"}));
  EXPECT_EQ(fs::file_size(out / "demo.dv"), 50 * frame_bytes(e_dv_system_625_50));
  EXPECT_EQ(read_file(out / "first.png").at(1), 'P');
  // Two seconds of 16-bit stereo at 48 kHz after a 44-byte WAV header.
  EXPECT_EQ(fs::file_size(out / "demo.wav"), 44 + 2 * 48000 * 4);
}

}  // namespace
