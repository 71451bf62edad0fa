// Helpers for interoperability tests that use the ffmpeg command-line
// program as an independent peer: it makes DV files for the tests and
// decodes them so that our results can be compared with its own.
//
// ffmpeg and ffprobe are required test dependencies, found on PATH. Every
// helper that runs them throws std::runtime_error when they fail, with the
// command line and what the program wrote to standard error in the message;
// GoogleTest reports the exception as a failure of the running test.
#pragma once

#include <tarsk/dv.h>

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace tarsk::test {

// A directory of this process's own for files made by tests, under
// $TARSK_TEST_TMP (which the build sets) or /tmp, removed when the process
// ends unless TARSK_KEEP_TMP is set; a fresh path in it whose file name
// ends with `suffix`.
std::filesystem::path scratch_file(const std::string &suffix);

struct CommandResult {
  int exit_status = -1;  // -1 when the program did not end normally
  std::string out;       // standard output
  std::string err;       // standard error
};

// Runs a program (found on PATH; argv[0] is its name) without a shell and
// collects its output. Throws only when the program cannot be started.
CommandResult run_command(const std::vector<std::string> &argv);

// Runs ffmpeg or ffprobe with `args` and returns its standard output; throws
// with the command line and its standard error when it does not succeed.
std::string run_ffmpeg(const std::vector<std::string> &args);
std::string run_ffprobe(const std::vector<std::string> &args);

// ffmpeg's raw pictures of an input's first video stream in a pixel format;
// `input` is ffmpeg's input options, e.g. {"-i", file} or a lavfi source.
std::vector<uint8_t> ffmpeg_raw(std::vector<std::string> input, const std::string &pix_fmt);

// A command line as a shell takes it, each argument quoted where it needs.
std::string quoted(const std::vector<std::string> &argv);

// What a DV file made by ffmpeg holds. The video source and the audio
// source are lavfi source filters; size, frame rate and sample rate are added
// to their options. video_filter, when set, is a lavfi filter chain the
// source's pictures pass through (for instance "geq=random(1)*255:128:128",
// which replaces every luminance sample with a random value). Every member
// has a default, so designated initializers may leave any of them out.
struct DvRecipe {
  dv_system_t system = e_dv_system_625_50;
  std::string pix_fmt = "yuv420p";  // yuv420p (625/50 only) or yuv411p
  int audio_rate = 48000;           // 32000, 44100 or 48000; two channels
  int frames = 12;
  std::string timecode{};       // "hh:mm:ss:ff", or "hh:mm:ss;ff" (drop frame)
  std::string creation_time{};  // "yyyy-mm-ddThh:mm:ss"; recording date and time
  std::string aspect{};         // "4:3" or "16:9"; empty: ffmpeg's default
  std::string video_source = "testsrc2";
  std::string audio_source = "sine";
  std::string video_filter{};
};

// Frame rate of a system as a fraction: 25/1 or 30000/1001.
struct FrameRate {
  int num;
  int den;
};
FrameRate frame_rate(dv_system_t system);

// Bytes of a frame of the system: 120000 or 144000.
size_t frame_bytes(dv_system_t system);

// The ffmpeg arguments that make `recipe` into the DV file `out`.
std::vector<std::string> dv_command(const DvRecipe &recipe, const std::filesystem::path &out);

std::vector<uint8_t> read_file(const std::filesystem::path &path);

// A DV file read once per test process: its path, bytes and frames.
struct MadeDv {
  std::filesystem::path path;
  std::vector<uint8_t> bytes;
  std::vector<std::span<const uint8_t>> frames;
};
// The file called `name` in this process, made by `make` the first time it
// is asked for.
const MadeDv &made_dv(const std::string &name, const std::function<std::filesystem::path()> &make);
// The DV file of the recipe, made once for the whole test run in clips/
// under $TARSK_TEST_TMP and shared by every test process: read it, never
// change it. Throws unless the file holds exactly recipe.frames frames.
const MadeDv &made_dv(const std::string &name, const DvRecipe &recipe);

// Splits a DV stream into its frames. Each frame's size comes from the DSF
// bit of its first header block, so 525/60 and 625/50 frames may follow one
// another. Throws when a frame does not start with a header block or the
// bytes end inside a frame.
std::vector<std::span<const uint8_t>> split_frames(std::span<const uint8_t> bytes);

// Peak signal-to-noise ratio of b against a over every `stride`-th byte from
// `first`; HUGE_VAL when they are equal.
double psnr(std::span<const uint8_t> a, std::span<const uint8_t> b, size_t first = 0,
            size_t stride = 1);
// The lowest PSNR of each plane (Y, Cb, Cr) over the pictures of two planar
// streams of 720 x `height` pixels whose chroma planes are a quarter of the
// luma (4:2:0 or 4:1:1).
std::array<double, 3> lowest_psnr(std::span<const uint8_t> a, std::span<const uint8_t> b,
                                  int height);

// ffmpeg's own decoding of the first audio stream of a file, as interleaved
// signed 16-bit little-endian samples of `channels` channels.
std::vector<uint8_t> ffmpeg_audio_s16le(const std::filesystem::path &path, int channels = 2);

}  // namespace tarsk::test
