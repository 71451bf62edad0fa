// The tarsk command, run as a person or a script runs it, on DV files that
// ffmpeg makes: what it writes is read back by ffmpeg and set against
// ffmpeg's own decoding of the same file, and every way a run can go wrong
// is checked for its message, its exit status and the files it leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "common/dif.h"
#include "support/ffmpeg.h"

#ifndef TARSK_BINARY
#error "TARSK_BINARY names the tarsk program under test"
#endif

namespace {

using namespace tarsk::test;
namespace fs = std::filesystem;
namespace dif = tarsk::dif;

// ---------------------------------------------------------------------------
// Running things.

CommandResult tarsk(std::vector<std::string> args) {
  args.insert(args.begin(), TARSK_BINARY);
  return run_command(args);
}

std::string quoted(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

CommandResult shell(const std::string &line) { return run_command({"sh", "-c", line}); }

// A fresh, empty directory for a run's outputs, so that whatever a run
// leaves behind can be seen.
fs::path fresh_dir() {
  const fs::path dir = scratch_file("dir");
  fs::create_directory(dir);
  return dir;
}

std::set<std::string> listing(const fs::path &dir) {
  std::set<std::string> names;
  for (const auto &entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

fs::path write_copy(std::span<const uint8_t> bytes, const std::string &suffix) {
  const fs::path path = scratch_file(suffix);
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return path;
}

// ---------------------------------------------------------------------------
// The files: 625/50 4:2:0 (16:9, with time code and recording date) and
// 525/60 4:1:1, both with 48 kHz stereo sound.

struct Kind {
  const char *name;
  DvRecipe recipe;
  const char *pix_fmt;  // ffmpeg's name of the stream's own planar layout
  int width, height;
};

// Samples of each channel in a 625/50 frame at 48 kHz (525/60 frames
// alternate between 1600 and 1602).
constexpr size_t pal_samples = 1920;

const Kind pal{"pal",
               {.system = e_dv_system_625_50,
                .pix_fmt = "yuv420p",
                .frames = 6,
                .timecode = "10:00:00:00",
                .creation_time = "2024-03-04T05:06:07",
                .aspect = "16:9"},
               "yuv420p",
               720,
               576};
const Kind ntsc{
    "ntsc", {.system = e_dv_system_525_60, .pix_fmt = "yuv411p", .frames = 6}, "yuv411p", 720, 480};

// Names the parameter in test listings, instead of a dump of its bytes.
void PrintTo(const Kind &kind, std::ostream *out) { *out << kind.name; }

const MadeDv &made(const Kind &kind) { return made_dv(kind.name, kind.recipe); }

size_t picture_bytes(const Kind &k) { return static_cast<size_t>(k.width * k.height) * 3 / 2; }

// ---------------------------------------------------------------------------
// Reading outputs back.

// Frames of a planar picture file that ffmpeg writes from any input.
std::vector<uint8_t> ffmpeg_raw(const fs::path &in, const char *pix_fmt) {
  const fs::path out = scratch_file("raw");
  run_ffmpeg({"-i", in.string(), "-f", "rawvideo", "-pix_fmt", pix_fmt, "-y", out.string()});
  std::vector<uint8_t> bytes = read_file(out);
  fs::remove(out);
  return bytes;
}

// The frames of a YUV4MPEG2 stream, each checked to start with "FRAME\n".
std::vector<std::vector<uint8_t>> y4m_frames(const std::vector<uint8_t> &y4m, size_t bytes) {
  std::vector<std::vector<uint8_t>> frames;
  auto at = std::find(y4m.begin(), y4m.end(), '\n');
  if (at == y4m.end()) {
    ADD_FAILURE() << "no Y4M header";
    return frames;
  }
  ++at;
  const std::string marker = "FRAME\n";
  while (y4m.end() - at >= static_cast<std::ptrdiff_t>(marker.size() + bytes)) {
    EXPECT_TRUE(std::equal(marker.begin(), marker.end(), at));
    at += static_cast<std::ptrdiff_t>(marker.size());
    frames.emplace_back(at, at + static_cast<std::ptrdiff_t>(bytes));
    at += static_cast<std::ptrdiff_t>(bytes);
  }
  EXPECT_EQ(at, y4m.end()) << "bytes after the last whole frame";
  return frames;
}

double psnr(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  EXPECT_EQ(a.size(), b.size());
  double sum = 0;
  for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
    const double d = double(a[i]) - double(b[i]);
    sum += d * d;
  }
  if (sum == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / sum);
}

// The lowest PSNR over the planes of every frame of two planar streams.
double lowest_psnr(const std::vector<uint8_t> &a, const std::vector<uint8_t> &b, const Kind &k) {
  EXPECT_EQ(a.size(), b.size());
  const size_t luma = static_cast<size_t>(k.width * k.height), chroma = luma / 4;
  const size_t frame = luma + 2 * chroma;
  double lowest = 99;
  for (size_t f = 0; (f + 1) * frame <= std::min(a.size(), b.size()); ++f) {
    size_t at = f * frame;
    for (size_t plane : {luma, chroma, chroma}) {
      lowest =
          std::min(lowest, psnr(std::span(a).subspan(at, plane), std::span(b).subspan(at, plane)));
      at += plane;
    }
  }
  return lowest;
}

std::string ffprobe_video(const fs::path &path) {
  return run_ffprobe({"-select_streams", "v:0", "-show_entries",
                      "stream=width,height,sample_aspect_ratio,pix_fmt,r_frame_rate", "-of",
                      "csv=p=0", path.string()});
}

// 16-bit samples, interleaved, as ffmpeg reads them from a sound file.
std::vector<int16_t> samples_of(const fs::path &path) {
  const std::vector<uint8_t> bytes = ffmpeg_audio_s16le(path);
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  return samples;
}

bool silent(std::span<const int16_t> samples) {
  return std::all_of(samples.begin(), samples.end(), [](int16_t s) { return s == 0; });
}

// ---------------------------------------------------------------------------
// Damage, done to copies of the files.

std::vector<uint8_t> copy_of(const MadeDv &dv) { return dv.bytes; }

uint8_t *frame_at(std::vector<uint8_t> &bytes, const Kind &k, size_t index) {
  return bytes.data() + index * frame_bytes(k.recipe.system);
}

// The header block of DIF sequence 1 numbered for another sequence: the
// frame can no longer be trusted, though its length is still known.
void break_header(uint8_t *frame) { frame[dif::block_offset(1, dif::header_block) + 1] = 0xf0; }

// The AAUX source pack of the frame's first audio block gone: the frame's
// sound cannot be decoded, its pictures can.
void drop_audio_pack(uint8_t *frame) { frame[dif::aaux_as_offset] = 0xff; }

// Sets the status nibble of the first `count` video blocks.
void mark_video_blocks(uint8_t *frame, size_t size, int count) {
  for (size_t at = 0; at < size && count > 0; at += dif::block_size)
    if (dif::section_of(frame + at) == dif::Section::video) {
      frame[at + dif::qno_byte] |= 0x70;
      --count;
    }
}

// Makes every sample of the first `count` audio blocks of DIF sequence 0
// the invalid code: each block fails.
void fail_audio_blocks(uint8_t *frame, int count) {
  for (int b = 0; b < count; ++b) {
    uint8_t *block = frame + dif::audio_offset(0, b);
    for (int i = dif::audio_data_offset; i < dif::block_size; i += 2) {
      block[i] = 0x80;
      block[i + 1] = 0x00;
    }
  }
}

// ---------------------------------------------------------------------------
// Decoding: Y4M and WAV against ffmpeg's own decoding of the DV file.

class Decode : public ::testing::TestWithParam<Kind> {};

TEST_P(Decode, Y4mAndWavMatchFfmpeg) {
  const Kind &k = GetParam();
  const MadeDv &dv = made(k);
  const fs::path dir = fresh_dir();
  const CommandResult run =
      tarsk({"decode", dv.path, "-o", dir / "out.y4m", "--audio", dir / "out.wav"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(listing(dir), (std::set<std::string>{"out.wav", "out.y4m"}));

  // Size, pixel aspect, sampling and rate as ffmpeg sees them in the DV
  // file; pictures interlaced, bottom field first, as DV's are.
  EXPECT_EQ(ffprobe_video(dir / "out.y4m"), ffprobe_video(dv.path));
  EXPECT_NE(run_ffprobe({"-show_entries", "stream=field_order", "-of", "csv=p=0",
                         (dir / "out.y4m").string()})
                .find("bb"),
            std::string::npos);

  const std::vector<uint8_t> ours = ffmpeg_raw(dir / "out.y4m", k.pix_fmt);
  const std::vector<uint8_t> theirs = ffmpeg_raw(dv.path, k.pix_fmt);
  ASSERT_EQ(ours.size(), picture_bytes(k) * static_cast<size_t>(k.recipe.frames));
  const double db = lowest_psnr(ours, theirs, k);
  RecordProperty("lowest_psnr_db", std::to_string(db));
  EXPECT_GE(db, 40) << "lowest PSNR of a plane";

  EXPECT_EQ(ffmpeg_audio_s16le(dir / "out.wav"), ffmpeg_audio_s16le(dv.path));
}

// What goes down a pipe is what goes to a file.
TEST_P(Decode, PipeToFfmpegGivesTheFilesPictures) {
  const Kind &k = GetParam();
  const MadeDv &dv = made(k);
  const fs::path dir = fresh_dir();
  ASSERT_EQ(tarsk({"decode", dv.path, "-o", dir / "file.y4m"}).exit_status, 0);
  const fs::path piped = dir / "piped.raw";
  const CommandResult run =
      shell(quoted(TARSK_BINARY) + " decode " + quoted(dv.path) + " -o - --format y4m | ffmpeg " +
            "-hide_banner -loglevel error -nostdin -i - -f rawvideo -pix_fmt " + k.pix_fmt + " " +
            quoted(piped));
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(read_file(piped), ffmpeg_raw(dir / "file.y4m", k.pix_fmt));
  // Y4M is what standard output gets without --format too.
  const CommandResult plain = tarsk({"decode", dv.path, "-o", "-"});
  EXPECT_EQ(std::vector<uint8_t>(plain.out.begin(), plain.out.end()), read_file(dir / "file.y4m"));
}

INSTANTIATE_TEST_SUITE_P(Systems, Decode, ::testing::Values(pal, ntsc),
                         [](const auto &info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Other outputs, ranges and the decoder's own options.

// Raw RGB, PNG and PPM are one picture three ways; raw YUY2 holds the Y4M's
// luma. PNG is also compared, loosely, with ffmpeg's RGB conversion. Frames
// 1 and 2 only: the sanitizer build reads large files slowly.
TEST(DecodeFormats, RawPngAndPpmAgree) {
  const MadeDv &dv = made(pal);
  const fs::path dir = fresh_dir();
  const size_t pixels = static_cast<size_t>(pal.width * pal.height);
  for (const char *name : {"two.rgb", "two.yuy2", "two.y4m"})
    ASSERT_EQ(tarsk({"decode", dv.path, "--frames", "1:3", "-o", dir / name}).exit_status, 0);
  ASSERT_EQ(tarsk({"decode", dv.path, "--frames", "2", "-o", dir / "one.png"}).exit_status, 0);
  ASSERT_EQ(tarsk({"decode", dv.path, "--frames", "2", "-o", dir / "one.ppm"}).exit_status, 0);

  const std::vector<uint8_t> rgb = read_file(dir / "two.rgb");
  ASSERT_EQ(rgb.size(), pixels * 3 * 2);
  const std::vector<uint8_t> frame2(rgb.begin() + pixels * 3, rgb.end());
  EXPECT_EQ(ffmpeg_raw(dir / "one.png", "rgb24"), frame2);
  EXPECT_EQ(ffmpeg_raw(dir / "one.ppm", "rgb24"), frame2);

  const fs::path first3 = scratch_file("first3.rgb");
  run_ffmpeg({"-i", dv.path.string(), "-frames:v", "3", "-f", "rawvideo", "-pix_fmt", "rgb24", "-y",
              first3.string()});
  const std::vector<uint8_t> theirs = read_file(first3);
  ASSERT_EQ(theirs.size(), pixels * 3 * 3);
  const double db = psnr(frame2, std::span(theirs).subspan(pixels * 3 * 2));
  RecordProperty("rgb_psnr_db", std::to_string(db));
  EXPECT_GE(db, 36);

  const std::vector<uint8_t> yuy2 = read_file(dir / "two.yuy2");
  ASSERT_EQ(yuy2.size(), pixels * 2 * 2);
  const auto y4m = y4m_frames(read_file(dir / "two.y4m"), picture_bytes(pal));
  ASSERT_EQ(y4m.size(), 2u);
  for (size_t f = 0; f < 2; ++f)
    for (size_t i = 0; i < pixels; i += 997)  // a sample of the luma
      ASSERT_EQ(yuy2[f * pixels * 2 + 2 * i], y4m[f][i]) << "frame " << f + 1 << " pixel " << i;
}

TEST(DecodeFormats, NumberedPicturesForARange) {
  const MadeDv &dv = made(pal);
  const fs::path dir = fresh_dir();
  ASSERT_EQ(tarsk({"decode", dv.path, "--frames", "2", "-o", dir / "single.png"}).exit_status, 0);
  const CommandResult run = tarsk({"decode", dv.path, "--frames", "1:4", "-o", dir / "f%02d.png"});
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(listing(dir), (std::set<std::string>{"f01.png", "f02.png", "f03.png", "single.png"}));
  EXPECT_EQ(read_file(dir / "f02.png"), read_file(dir / "single.png"));
}

// A range gives exactly those frames' pictures and sound.
TEST(DecodeFormats, RangeCutsPicturesAndSoundAlike) {
  const MadeDv &dv = made(pal);
  const fs::path dir = fresh_dir();
  ASSERT_EQ(
      tarsk({"decode", dv.path, "-o", dir / "all.y4m", "--audio", dir / "all.wav"}).exit_status, 0);
  ASSERT_EQ(tarsk({"decode", dv.path, "--frames", "2:5", "-o", dir / "part.y4m", "--audio",
                   dir / "part.wav"})
                .exit_status,
            0);
  const auto all = y4m_frames(read_file(dir / "all.y4m"), picture_bytes(pal));
  const auto part = y4m_frames(read_file(dir / "part.y4m"), picture_bytes(pal));
  ASSERT_EQ(part.size(), 3u);
  for (size_t f = 0; f < 3; ++f) EXPECT_EQ(part[f], all[f + 2]) << "frame " << f + 2;

  const std::vector<int16_t> whole = samples_of(dir / "all.wav");
  const std::vector<int16_t> cut = samples_of(dir / "part.wav");
  const size_t per_frame = pal_samples * 2;
  ASSERT_EQ(cut.size(), 3 * per_frame);
  EXPECT_TRUE(std::equal(cut.begin(), cut.end(), whole.begin() + 2 * per_frame));

  // Raw PCM is the WAV's samples without the header.
  ASSERT_EQ(tarsk({"decode", dv.path, "--frames", "2:5", "--audio", dir / "part.pcm",
                   "--audio-format", "pcm"})
                .exit_status,
            0);
  const std::vector<uint8_t> pcm = read_file(dir / "part.pcm");
  ASSERT_EQ(pcm.size(), cut.size() * 2);
  EXPECT_EQ(static_cast<int16_t>(pcm[2] | (pcm[3] << 8)), cut[1]);
}

TEST(DecodeFormats, NullDecodesAndWritesNothing) {
  const MadeDv &dv = made(ntsc);
  const fs::path dir = fresh_dir();
  const CommandResult run = run_command({"sh", "-c",
                                         "cd " + quoted(dir) + " && " + quoted(TARSK_BINARY) +
                                             " decode " + quoted(dv.path) + " --format null"});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(listing(dir).empty());
}

// The library's option tables are on the command line and reach the
// decoder that decodes: without colour the chroma planes are flat grey.
// Threads change nothing in the pictures.
TEST(DecodeFormats, DecoderOptionsReachTheDecoder) {
  const MadeDv &dv = made(pal);
  const fs::path dir = fresh_dir();
  ASSERT_EQ(tarsk({"decode", dv.path, "--frames", "0", "-o", dir / "colour.y4m"}).exit_status, 0);
  ASSERT_EQ(tarsk({"decode", dv.path, "--frames", "0", "-m", "-o", dir / "grey.y4m"}).exit_status,
            0);
  ASSERT_EQ(tarsk({"decode", dv.path, "--frames", "0", "--quality", "1", "-o", dir / "dc.y4m"})
                .exit_status,
            0);
  const size_t luma = static_cast<size_t>(pal.width * pal.height);
  const auto colour = y4m_frames(read_file(dir / "colour.y4m"), picture_bytes(pal)).at(0);
  const auto grey = y4m_frames(read_file(dir / "grey.y4m"), picture_bytes(pal)).at(0);
  const auto dc = y4m_frames(read_file(dir / "dc.y4m"), picture_bytes(pal)).at(0);
  auto flat = [&](const std::vector<uint8_t> &f) {
    return std::all_of(f.begin() + static_cast<std::ptrdiff_t>(luma), f.end(),
                       [](uint8_t v) { return v == 128; });
  };
  EXPECT_TRUE(flat(grey));
  EXPECT_FALSE(flat(colour));
  EXPECT_TRUE(
      std::equal(grey.begin(), grey.begin() + static_cast<std::ptrdiff_t>(luma), colour.begin()))
      << "the luma does not depend on the colour";
  EXPECT_NE(dc, colour) << "DC-only decoding gives another picture";
}

// ---------------------------------------------------------------------------
// Damage: warnings, stand-ins that keep the timing, and --strict.

// Writes the bytes to a file and decodes it to out.y4m and out.wav in a
// fresh directory.
struct Decoded {
  fs::path in, dir;
  CommandResult run;
};
Decoded decode_copy(const std::vector<uint8_t> &bytes, const std::string &name) {
  const fs::path in = write_copy(bytes, name);
  const fs::path dir = fresh_dir();
  return {in, dir, tarsk({"decode", in, "-o", dir / "out.y4m", "--audio", dir / "out.wav"})};
}

TEST(DecodeDamage, DamagedFrameRepeatsThePictureWithSilence) {
  std::vector<uint8_t> bytes = copy_of(made(pal));
  break_header(frame_at(bytes, pal, 3));
  const auto [in, dir, run] = decode_copy(bytes, "damaged.dv");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("warning"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("frame 3"), std::string::npos) << run.err;

  const auto frames = y4m_frames(read_file(dir / "out.y4m"), picture_bytes(pal));
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[3], frames[2]);
  EXPECT_NE(frames[4], frames[3]);

  const std::vector<int16_t> samples = samples_of(dir / "out.wav");
  const std::vector<int16_t> clean = samples_of(made(pal).path);
  const size_t per_frame = pal_samples * 2;
  ASSERT_EQ(samples.size(), 6 * per_frame);
  EXPECT_TRUE(silent(std::span(samples).subspan(3 * per_frame, per_frame)));
  EXPECT_TRUE(std::equal(samples.begin(), samples.begin() + 3 * per_frame, clean.begin()));
  EXPECT_TRUE(
      std::equal(samples.begin() + 4 * per_frame, samples.end(), clean.begin() + 4 * per_frame));

  // The same output whatever the number of frames decoded at once.
  for (const char *threads : {"1", "3"}) {
    const fs::path d = fresh_dir();
    ASSERT_EQ(tarsk({"decode", in, "-t", threads, "-o", d / "out.y4m", "--audio", d / "out.wav"})
                  .exit_status,
              0);
    EXPECT_EQ(read_file(d / "out.y4m"), read_file(dir / "out.y4m")) << threads << " threads";
    EXPECT_EQ(read_file(d / "out.wav"), read_file(dir / "out.wav")) << threads << " threads";
  }

  const fs::path strict_dir = fresh_dir();
  const CommandResult strict = tarsk(
      {"decode", in, "--strict", "-o", strict_dir / "out.y4m", "--audio", strict_dir / "out.wav"});
  EXPECT_EQ(strict.exit_status, 1);
  EXPECT_NE(strict.err.find("frame 3"), std::string::npos) << strict.err;
  EXPECT_EQ(strict.err.find("warning"), std::string::npos) << strict.err;
  EXPECT_TRUE(listing(strict_dir).empty()) << "a failed run leaves no file";
}

// A first frame with no picture takes the next good one's.
TEST(DecodeDamage, DamagedFirstFrameTakesTheNextPicture) {
  std::vector<uint8_t> bytes = copy_of(made(pal));
  break_header(frame_at(bytes, pal, 0));
  const auto [in, dir, run] = decode_copy(bytes, "damaged.dv");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  const auto frames = y4m_frames(read_file(dir / "out.y4m"), picture_bytes(pal));
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_EQ(frames[0], frames[1]);
  const std::vector<int16_t> samples = samples_of(dir / "out.wav");
  ASSERT_EQ(samples.size(), 6 * pal_samples * 2);
  EXPECT_TRUE(silent(std::span(samples).first(pal_samples * 2)));
  EXPECT_FALSE(silent(std::span(samples).subspan(pal_samples * 2)));
}

TEST(DecodeDamage, FrameWithoutSoundGetsSilenceOfItsLength) {
  std::vector<uint8_t> bytes = copy_of(made(pal));
  drop_audio_pack(frame_at(bytes, pal, 2));
  const auto [in, dir, run] = decode_copy(bytes, "mute.dv");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("frame 2"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("silence"), std::string::npos) << run.err;

  const std::vector<int16_t> samples = samples_of(dir / "out.wav");
  const size_t per_frame = pal_samples * 2;
  ASSERT_EQ(samples.size(), 6 * per_frame);
  EXPECT_TRUE(silent(std::span(samples).subspan(2 * per_frame, per_frame)));
  EXPECT_FALSE(silent(std::span(samples).subspan(3 * per_frame, per_frame)));
  // The picture of that frame is its own.
  const auto frames = y4m_frames(read_file(dir / "out.y4m"), picture_bytes(pal));
  ASSERT_EQ(frames.size(), 6u);
  EXPECT_NE(frames[2], frames[1]);

  EXPECT_EQ(tarsk({"decode", in, "--strict", "--audio", dir / "strict.wav"}).exit_status, 1);
  EXPECT_FALSE(fs::exists(dir / "strict.wav"));
}

TEST(DecodeDamage, TruncatedLastFrameIsLeftOut) {
  const MadeDv &dv = made(ntsc);
  const std::vector<uint8_t> bytes(dv.bytes.begin(), dv.bytes.end() - 5000);
  const auto [in, dir, run] = decode_copy(bytes, "cut.dv");
  ASSERT_EQ(run.exit_status, 0) << run.err;
  EXPECT_NE(run.err.find("cut short"), std::string::npos) << run.err;
  EXPECT_EQ(y4m_frames(read_file(dir / "out.y4m"), picture_bytes(ntsc)).size(), 5u);
  const std::vector<int16_t> clean = samples_of(dv.path);
  const std::vector<int16_t> samples = samples_of(dir / "out.wav");
  ASSERT_LT(samples.size(), clean.size());
  EXPECT_GT(samples.size(), clean.size() * 4 / 6);
  EXPECT_TRUE(std::equal(samples.begin(), samples.end(), clean.begin()));

  EXPECT_EQ(tarsk({"decode", in, "--strict", "-o", dir / "strict.y4m"}).exit_status, 1);
  EXPECT_FALSE(fs::exists(dir / "strict.y4m"));
}

// ---------------------------------------------------------------------------
// Failures: bad input, bad output, bad command lines.

TEST(DecodeErrors, NotDvWritesNothingAndKeepsAnOldFile) {
  const fs::path text = scratch_file("notes.txt");
  std::ofstream(text) << "These are not the frames you are looking for.\n";
  const fs::path dir = fresh_dir();
  std::ofstream(dir / "out.y4m") << "old";
  const CommandResult run =
      tarsk({"decode", text, "-o", dir / "out.y4m", "--audio", dir / "out.wav"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("not a DV stream"), std::string::npos) << run.err;
  EXPECT_EQ(listing(dir), std::set<std::string>{"out.y4m"});
  EXPECT_EQ(read_file(dir / "out.y4m"), (std::vector<uint8_t>{'o', 'l', 'd'}));

  const CommandResult piped = tarsk({"decode", text, "-o", "-"});
  EXPECT_EQ(piped.exit_status, 1);
  EXPECT_EQ(piped.out, "") << "nothing on standard output either";

  const fs::path empty = scratch_file("empty.dv");
  { std::ofstream touch(empty); }
  const CommandResult none = tarsk({"decode", empty, "--format", "null"});
  EXPECT_EQ(none.exit_status, 1);
  EXPECT_NE(none.err.find("not a DV stream"), std::string::npos) << none.err;

  const CommandResult info = tarsk({"info", text});
  EXPECT_EQ(info.exit_status, 1);
  EXPECT_NE(info.err.find("not a DV stream"), std::string::npos) << info.err;
}

TEST(DecodeErrors, MissingInput) {
  const CommandResult run = tarsk({"decode", scratch_file("absent.dv"), "--format", "null"});
  EXPECT_EQ(run.exit_status, 1);
  EXPECT_NE(run.err.find("No such file"), std::string::npos) << run.err;
  const CommandResult info = tarsk({"info", scratch_file("absent.dv")});
  EXPECT_EQ(info.exit_status, 1);
  EXPECT_NE(info.err.find("No such file"), std::string::npos) << info.err;
}

TEST(DecodeErrors, UnwritableOutput) {
  const MadeDv &dv = made(pal);
  // A directory that cannot exist: its parent is a file (root may write
  // anywhere else).
  const fs::path dir = fresh_dir();
  std::ofstream(dir / "file") << "x";
  for (const std::vector<std::string> &outputs :
       {std::vector<std::string>{"-o", dir / "file" / "out.y4m"},
        std::vector<std::string>{"-o", dir / "ok.y4m", "--audio", dir / "file" / "out.wav"},
        std::vector<std::string>{"--format", "y4m", "-o", dir}}) {
    std::vector<std::string> args{"decode", dv.path};
    args.insert(args.end(), outputs.begin(), outputs.end());
    const CommandResult run = tarsk(args);
    EXPECT_EQ(run.exit_status, 1) << outputs.back();
    EXPECT_NE(run.err.find("cannot write"), std::string::npos) << run.err;
    EXPECT_EQ(listing(dir), std::set<std::string>{"file"}) << "nothing left behind";
  }
  // A full device, through standard output.
  const CommandResult full =
      shell(quoted(TARSK_BINARY) + " decode " + quoted(dv.path) + " -o - > /dev/full");
  EXPECT_EQ(full.exit_status, 1);
  EXPECT_NE(full.err.find("No space left"), std::string::npos) << full.err;
}

TEST(Usage, BadCommandLinesExitWithTwo) {
  const std::string dv = made(pal).path;
  struct Case {
    std::vector<std::string> args;
    const char *message;
  };
  const Case cases[] = {
      {{}, "Usage"},
      {{"transcode", dv}, "unknown command"},
      {{"decode", dv, "--bogus"}, "unknown option"},
      {{"decode"}, "no file"},
      {{"decode", dv, dv, "--format", "null"}, "one file"},
      {{"decode", dv}, "nothing to do"},
      {{"decode", dv, "--format", "mpeg", "-o", "x"}, "unknown format"},
      {{"decode", dv, "-o", "x.mp4"}, "cannot tell the format"},
      {{"decode", dv, "-o", "x.png"}, "--frames N"},
      {{"decode", dv, "-o", "x.y4m", "--frames", "5:2"}, "--frames takes"},
      {{"decode", dv, "-o", "x.y4m", "--frames", "two"}, "--frames takes"},
      {{"decode", dv, "-o", "-", "--audio", "-"}, "standard output"},
      {{"decode", dv, "--audio", "x.wav", "--audio-format", "mp3"}, "audio format"},
      {{"decode", dv, "--format", "null", "--quality", "7"}, "--quality takes 1 to 3"},
      {{"decode", dv, "--format", "null", "-V", "9"}, "--video-system takes 0 to 3"},
      {{"decode", dv, "--format", "null", "-f", "4"}, "--frequency takes 0 to 3"},
      {{"decode", dv, "--format", "null", "--threads", "0"}, "--threads takes"},
      {{"info"}, "no file"},
      {{"info", "--frames=3", dv}, "does not take an argument"},
      {{"info", "-x", dv}, "unknown option"},
  };
  for (const Case &c : cases) {
    const CommandResult run = tarsk(c.args);
    std::string line;
    for (const std::string &a : c.args) line += " " + a;
    EXPECT_EQ(run.exit_status, 2) << "tarsk" << line << "\n" << run.err;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << "tarsk" << line << "\n" << run.err;
  }
}

TEST(Usage, HelpAndVersion) {
  const CommandResult help = tarsk({"decode", "--help"});
  EXPECT_EQ(help.exit_status, 0);
  for (const char *option :
       {"--output", "--format", "--audio", "--frames", "--strict", "--quiet", "--video-system",
        "--quality", "--monochrome", "--frequency", "--quantization", "--emphasis", "--ntsc-setup"})
    EXPECT_NE(help.out.find(option), std::string::npos) << option;
  EXPECT_EQ(tarsk({"--help"}).exit_status, 0);
  const CommandResult version = tarsk({"--version"});
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.out.rfind("tarsk ", 0), 0u) << version.out;
}

// ---------------------------------------------------------------------------
// tarsk info.

// A field of the JSON, as python3's json module reads it.
std::string json_field(const fs::path &json, const std::string &expression) {
  const CommandResult run =
      run_command({"python3", "-c",
                   "import json,sys\nd=json.load(open(sys.argv[1]))\nprint(" + expression + ")",
                   json.string()});
  EXPECT_EQ(run.exit_status, 0) << run.err;
  return run.out.substr(0, run.out.find_last_not_of('\n') + 1);
}

fs::path info_json(const std::vector<std::string> &files, bool frames = false) {
  std::vector<std::string> args{"info", "--json"};
  if (frames) args.push_back("--frames");
  args.insert(args.end(), files.begin(), files.end());
  const CommandResult run = tarsk(args);
  const fs::path out = scratch_file("info.json");
  std::ofstream(out) << run.out;
  return out;
}

TEST(Info, DescribesBothSystems) {
  const CommandResult text = tarsk({"info", made(pal).path, made(ntsc).path});
  ASSERT_EQ(text.exit_status, 0) << text.err;
  for (const char *expected :
       {"625/50", "4:2:0", "720x576, 16:9", "25 fps", "frames:      6 (00:00:00.240)",
        "48000 Hz, 16 bits, 2 channels", "10:00:00.00 to 10:00:00.05", "2024-03-04 05:06:07",
        "525/60", "4:1:1", "720x480, 4:3", "29.97 fps", "damage:      none"})
    EXPECT_NE(text.out.find(expected), std::string::npos) << expected << "\n" << text.out;

  const fs::path json = info_json({made(pal).path, made(ntsc).path});
  EXPECT_EQ(json_field(json, "len(d)"), "2");
  EXPECT_EQ(json_field(json,
                       "d[0]['system'], d[0]['sampling'], d[0]['aspect'], d[0]['width'], "
                       "d[0]['height']"),
            "625/50 4:2:0 16:9 720 576");
  EXPECT_EQ(json_field(json, "d[0]['frame_count'], d[0]['duration'], d[0]['frame_rate']['num']"),
            "6 0.24 25");
  EXPECT_EQ(json_field(json,
                       "d[0]['audio']['frequency'], d[0]['audio']['bits'], "
                       "d[0]['audio']['channels']"),
            "48000 16 2");
  EXPECT_EQ(json_field(json, "d[0]['timecode']['first'], d[0]['timecode']['last']"),
            "10:00:00.00 10:00:00.05");
  EXPECT_EQ(json_field(json, "d[0]['recorded']['first']"), "2024-03-04 05:06:07");
  EXPECT_EQ(json_field(json,
                       "d[1]['system'], d[1]['sampling'], d[1]['aspect'], "
                       "d[1]['frame_rate']['den']"),
            "525/60 4:1:1 4:3 1001");
}

TEST(Info, ListsFramesAndCountsDamage) {
  std::vector<uint8_t> bytes = copy_of(made(pal));
  const size_t size = frame_bytes(pal.recipe.system);
  mark_video_blocks(frame_at(bytes, pal, 1), size, 7);
  mark_video_blocks(frame_at(bytes, pal, 4), size, 2);
  fail_audio_blocks(frame_at(bytes, pal, 2), 3);
  break_header(frame_at(bytes, pal, 3));
  drop_audio_pack(frame_at(bytes, pal, 5));
  bytes.resize(bytes.size() + 1000, 0);  // and a cut-short seventh frame
  bytes[6 * size] = 0x1f;
  bytes[6 * size + 3] = 0x80;
  const fs::path in = write_copy(bytes, "damaged.dv");

  const CommandResult text = tarsk({"info", "--frames", in});
  ASSERT_EQ(text.exit_status, 0) << text.err;
  EXPECT_NE(text.out.find("9 damaged video blocks, 3 failed audio blocks"), std::string::npos)
      << text.out;

  const fs::path json = info_json({in}, true);
  EXPECT_EQ(json_field(json, "d[0]['frame_count'], d[0]['damaged_frames'], d[0]['truncated']"),
            "6 1 True");
  EXPECT_EQ(json_field(json,
                       "d[0]['damaged_video_blocks'], d[0]['failed_audio_blocks'], "
                       "d[0]['frames_without_audio']"),
            "9 3 1");
  EXPECT_EQ(json_field(json, "[f['index'] for f in d[0]['frames']]"), "[0, 1, 2, 3, 4, 5]");
  EXPECT_EQ(json_field(json, "[f.get('damaged_video_blocks') for f in d[0]['frames']]"),
            "[0, 7, 0, None, 2, 0]");
  EXPECT_EQ(json_field(json, "[f.get('failed_audio_blocks') for f in d[0]['frames']]"),
            "[0, 0, 3, None, 0, 0]");
  EXPECT_EQ(json_field(json, "[f.get('audio_samples') for f in d[0]['frames']]"),
            "[1920, 1920, 1920, None, 1920, None]");
  EXPECT_EQ(json_field(json, "'damaged' in d[0]['frames'][3]"), "True");
}

// One bad file among good ones: the status says so, the JSON still parses.
TEST(Info, JsonWithAFileThatIsNotDv) {
  const fs::path text = scratch_file("notes.txt");
  std::ofstream(text) << "\"quoted\"\tand\\escaped\n";
  const fs::path json = info_json({made(ntsc).path, text});
  EXPECT_EQ(json_field(json, "d[0]['frame_count'], d[1]['error']"), "6 not a DV stream");
  EXPECT_EQ(tarsk({"info", "--json", made(ntsc).path, text}).exit_status, 1);
}

// ---------------------------------------------------------------------------
// The progress line: on a terminal only, and not with --quiet.

TEST(Progress, OnlyOnATerminal) {
  if (run_command({"sh", "-c", "command -v script"}).exit_status != 0)
    GTEST_SKIP() << "script(1) is not installed";
  const std::string decode =
      quoted(TARSK_BINARY) + " decode " + quoted(made(pal).path) + " --format null";
  const CommandResult terminal = run_command({"script", "-qec", decode, "/dev/null"});
  EXPECT_EQ(terminal.exit_status, 0);
  EXPECT_NE(terminal.out.find("fps"), std::string::npos) << terminal.out;
  EXPECT_NE(terminal.out.find("of 6"), std::string::npos) << terminal.out;

  const CommandResult quiet = run_command({"script", "-qec", decode + " --quiet", "/dev/null"});
  EXPECT_EQ(quiet.exit_status, 0);
  EXPECT_EQ(quiet.out.find("fps"), std::string::npos) << quiet.out;

  const CommandResult logged = tarsk({"decode", made(pal).path, "--format", "null"});
  EXPECT_EQ(logged.err, "");
}

}  // namespace
