#include "support/ffmpeg.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <system_error>

extern char **environ;

namespace tarsk::test {
namespace fs = std::filesystem;

namespace {

// The process's scratch directory, removed at exit.
struct ScratchDir {
  fs::path path;
  ScratchDir() {
    const char *env = std::getenv("TARSK_TEST_TMP");
    const fs::path base = env != nullptr && *env != '\0' ? fs::path(env) : fs::path("/tmp");
    fs::create_directories(base);
    std::string tmpl = (base / "tarsk-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
      throw std::system_error(errno, std::generic_category(), "mkdtemp " + tmpl);
    path = tmpl;
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (std::getenv("TARSK_KEEP_TMP") == nullptr) fs::remove_all(path, ignored);
  }
};

std::string slurp(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string run_checked(const std::string &program, const std::vector<std::string> &args) {
  std::vector<std::string> argv{program, "-hide_banner", "-loglevel", "error"};
  if (program == "ffmpeg") argv.push_back("-nostdin");
  argv.insert(argv.end(), args.begin(), args.end());
  CommandResult result = run_command(argv);
  if (result.exit_status != 0) {
    std::ostringstream message;
    message << program << " failed (exit status " << result.exit_status << ")\n"
            << "command: " << quoted(argv) << "\n"
            << "stderr:\n"
            << result.err;
    throw std::runtime_error(message.str());
  }
  return std::move(result.out);
}

// A lavfi source with more options: "testsrc2" + "rate=25" gives
// "testsrc2=rate=25", "color=c=red" + "rate=25" gives "color=c=red:rate=25".
std::string with_options(const std::string &source, const std::string &options) {
  return source + (source.find('=') == std::string::npos ? "=" : ":") + options;
}

}  // namespace

namespace {

const fs::path &scratch_dir() {
  static const ScratchDir dir;
  return dir.path;
}

}  // namespace

std::string quoted(const std::vector<std::string> &argv) {
  std::string line;
  for (const std::string &arg : argv) {
    if (!line.empty()) line += ' ';
    if (!arg.empty() && arg.find_first_of(" \t\n'\"\\$;&|<>()*?[]#~`!{}") == std::string::npos) {
      line += arg;
      continue;
    }
    line += '\'';
    for (char c : arg) line += c == '\'' ? std::string("'\\''") : std::string(1, c);
    line += '\'';
  }
  return line;
}

fs::path scratch_file(const std::string &suffix) {
  static std::atomic<unsigned> counter{0};
  return scratch_dir() / ("f" + std::to_string(counter++) + "-" + suffix);
}

CommandResult run_command(const std::vector<std::string> &argv) {
  if (argv.empty()) throw std::invalid_argument("run_command: empty command");
  const fs::path out_path = scratch_file("stdout");
  const fs::path err_path = scratch_file("stderr");

  std::vector<char *> args;
  for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  pid_t pid = 0;
  const int spawn_error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawn_error != 0) {
    std::error_code ignored;
    fs::remove(out_path, ignored);
    fs::remove(err_path, ignored);
    throw std::runtime_error("cannot run " + quoted(argv) + ": " + std::strerror(spawn_error));
  }

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
  }
  CommandResult result;
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = slurp(out_path);
  result.err = slurp(err_path);
  fs::remove(out_path);
  fs::remove(err_path);
  return result;
}

std::string run_ffmpeg(const std::vector<std::string> &args) { return run_checked("ffmpeg", args); }

std::string run_ffprobe(const std::vector<std::string> &args) {
  return run_checked("ffprobe", args);
}

std::vector<uint8_t> ffmpeg_raw(std::vector<std::string> input, const std::string &pix_fmt) {
  input.insert(input.end(), {"-map", "0:v:0", "-f", "rawvideo", "-pix_fmt", pix_fmt, "-"});
  const std::string raw = run_ffmpeg(input);
  return {raw.begin(), raw.end()};
}

FrameRate frame_rate(dv_system_t system) {
  return system == e_dv_system_625_50 ? FrameRate{25, 1} : FrameRate{30000, 1001};
}

size_t frame_bytes(dv_system_t system) {
  return system == e_dv_system_625_50 ? frame_size_625_50 : frame_size_525_60;
}

std::vector<std::string> dv_command(const DvRecipe &recipe, const fs::path &out) {
  const bool pal = recipe.system == e_dv_system_625_50;
  const FrameRate rate = frame_rate(recipe.system);
  const std::string size = pal ? "720x576" : "720x480";
  const std::string fps = std::to_string(rate.num) + "/" + std::to_string(rate.den);

  // The muxer wants audio for every frame, so both streams are cut at the
  // same time: the end of the last frame, to the microsecond.
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.6f",
                static_cast<double>(recipe.frames) * rate.den / rate.num);

  std::string video = with_options(recipe.video_source, "size=" + size + ":rate=" + fps);
  if (!recipe.video_filter.empty()) video += "," + recipe.video_filter;

  std::vector<std::string> args{
      "-f",
      "lavfi",
      "-i",
      video,
      "-f",
      "lavfi",
      "-i",
      with_options(recipe.audio_source, "sample_rate=" + std::to_string(recipe.audio_rate)),
      "-map",
      "0:v",
      "-map",
      "1:a",
      "-t",
      duration,
      "-c:v",
      "dvvideo",
      "-pix_fmt",
      recipe.pix_fmt,
      "-c:a",
      "pcm_s16le",
      "-ac",
      "2"};
  if (!recipe.aspect.empty()) args.insert(args.end(), {"-aspect", recipe.aspect});
  if (!recipe.timecode.empty()) args.insert(args.end(), {"-timecode", recipe.timecode});
  if (!recipe.creation_time.empty())
    args.insert(args.end(), {"-metadata", "creation_time=" + recipe.creation_time});
  args.insert(args.end(), {"-f", "dv", "-y", out.string()});
  return args;
}

namespace {

// The directory that keeps the clips of a whole test run: clips/ under
// $TARSK_TEST_TMP (which the build sets), else in the process's scratch
// directory.
fs::path clip_dir() {
  const char *env = std::getenv("TARSK_TEST_TMP");
  fs::path dir = (env != nullptr && *env != '\0' ? fs::path(env) : scratch_dir()) / "clips";
  fs::create_directories(dir);
  return dir;
}

fs::path make_dv(const DvRecipe &recipe) {
  // A clip is named by its command line (FNV-1a of it), so that the test
  // processes of a run make each clip once and share it. The first process
  // to want it makes it under a lock; the others wait for the file.
  const std::string line = quoted(dv_command(recipe, "-"));
  uint64_t hash = 0xcbf29ce484222325u;
  for (char c : line) hash = (hash ^ static_cast<uint8_t>(c)) * 0x100000001b3u;
  char name[32];
  std::snprintf(name, sizeof name, "%016llx", static_cast<unsigned long long>(hash));
  const fs::path dir = clip_dir();
  const fs::path out = dir / (std::string(name) + ".dv");

  const int lock = open((dir / (std::string(name) + ".lock")).c_str(), O_RDWR | O_CREAT, 0644);
  if (lock < 0 || flock(lock, LOCK_EX) != 0)
    throw std::system_error(errno, std::generic_category(), "lock for " + out.string());
  struct Unlock {
    int fd;
    ~Unlock() { close(fd); }
  } unlock{lock};
  if (fs::exists(out)) return out;

  const fs::path part = dir / (std::string(name) + ".part");
  const std::vector<std::string> args = dv_command(recipe, part);
  run_ffmpeg(args);
  const auto size = fs::file_size(part);
  const auto expected = frame_bytes(recipe.system) * static_cast<size_t>(recipe.frames);
  if (size != expected) {
    std::ostringstream message;
    message << "ffmpeg made " << size << " bytes, not " << recipe.frames << " frames of "
            << frame_bytes(recipe.system) << "\ncommand: " << quoted(args);
    throw std::runtime_error(message.str());
  }
  fs::rename(part, out);
  return out;
}

}  // namespace

std::vector<uint8_t> read_file(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string());
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::span<const uint8_t>> split_frames(std::span<const uint8_t> bytes) {
  std::vector<std::span<const uint8_t>> frames;
  size_t at = 0;
  while (at < bytes.size()) {
    // A frame opens with the header block of DIF sequence 0: section type 0
    // in the top three bits of the first identifier byte, sequence number 0
    // in the top nibble of the second; DSF, the top bit of byte 3, tells
    // 625/50 (1) from 525/60 (0).
    if (bytes.size() - at < 4 || (bytes[at] >> 5) != 0 || (bytes[at + 1] >> 4) != 0)
      throw std::runtime_error("no DV header block at byte " + std::to_string(at));
    const size_t size = (bytes[at + 3] & 0x80) ? frame_size_625_50 : frame_size_525_60;
    if (bytes.size() - at < size)
      throw std::runtime_error("DV frame at byte " + std::to_string(at) + " is cut short");
    frames.push_back(bytes.subspan(at, size));
    at += size;
  }
  return frames;
}

std::vector<uint8_t> ffmpeg_audio_s16le(const fs::path &path, int channels) {
  const fs::path out = scratch_file("audio.s16le");
  run_ffmpeg({"-i", path.string(), "-map", "0:a:0", "-c:a", "pcm_s16le", "-ac",
              std::to_string(channels), "-f", "s16le", "-y", out.string()});
  std::vector<uint8_t> samples = read_file(out);
  fs::remove(out);
  return samples;
}

const MadeDv &made_dv(const std::string &name, const std::function<std::filesystem::path()> &make) {
  static std::map<std::string, std::unique_ptr<MadeDv>> cache;
  auto &slot = cache[name];
  if (!slot) {
    auto file = std::make_unique<MadeDv>();
    file->path = make();
    file->bytes = read_file(file->path);
    file->frames = split_frames(file->bytes);
    slot = std::move(file);
  }
  return *slot;
}

const MadeDv &made_dv(const std::string &name, const DvRecipe &recipe) {
  return made_dv(name, [&] { return make_dv(recipe); });
}

double psnr(std::span<const uint8_t> a, std::span<const uint8_t> b, size_t first, size_t stride) {
  EXPECT_EQ(a.size(), b.size());
  double sum = 0, n = 0;
  for (size_t i = first; i < std::min(a.size(), b.size()); i += stride, ++n)
    sum += (double(a[i]) - double(b[i])) * (double(a[i]) - double(b[i]));
  return sum == 0 ? HUGE_VAL : 10 * std::log10(255.0 * 255.0 * n / sum);
}

std::array<double, 3> lowest_psnr(std::span<const uint8_t> a, std::span<const uint8_t> b,
                                  int height) {
  const size_t luma = size_t{720} * static_cast<size_t>(height), picture = luma * 3 / 2;
  std::array<double, 3> low{HUGE_VAL, HUGE_VAL, HUGE_VAL};
  EXPECT_EQ(a.size(), b.size());
  EXPECT_EQ(a.size() % picture, 0u);
  for (size_t at = 0; at + picture <= std::min(a.size(), b.size()); at += picture)
    for (size_t p = 0, from = at, n = luma; p < 3; from += n, n = luma / 4, ++p)
      low[p] = std::min(low[p], psnr(a.subspan(from, n), b.subspan(from, n)));
  return low;
}

}  // namespace tarsk::test
