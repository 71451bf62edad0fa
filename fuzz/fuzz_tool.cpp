// The tarsk command on any file: `tarsk info` and `tarsk decode`, run in
// this process on the input saved as a file.
//
// Input: the file's bytes. Its last byte (still part of the file) also
// picks the command line: bits 0-2 the command — decode to y4m, yuy2, rgb,
// png (a file per frame), ppm, null, or info as text, or info --json
// --frames —; bit 3 the sound to a WAV file, bit 4 as raw PCM instead;
// bit 5 --strict; bit 6 two decoding threads; bit 7 frames 1 to 3 only.
//
// Whatever the file holds, the command ends with status 0 or 1 (the
// command line is always good), an output exists only when the command
// succeeded, and no temporary file is left behind.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common.h"

namespace tarsk::cli {
int run_info(int argc, const char **argv);
int run_decode(int argc, const char **argv);
}  // namespace tarsk::cli

namespace {

namespace fs = std::filesystem;

// A directory of this process's own, emptied for every input and removed
// when the process exits.
struct WorkDir {
  fs::path path = fs::temp_directory_path() / ("tarsk-fuzz-tool-" + std::to_string(getpid()));
  WorkDir() { fs::create_directories(path); }
  ~WorkDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

const fs::path &work_dir() {
  static const WorkDir dir;
  return dir.path;
}

void empty(const fs::path &dir) {
  for (const auto &entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
}

int run(std::vector<std::string> args) {
  std::vector<const char *> argv;
  for (const std::string &a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(args.size());
  return args[0] == "info" ? tarsk::cli::run_info(argc, argv.data())
                           : tarsk::cli::run_decode(argc, argv.data());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t settings = data[size - 1];
  const fs::path &dir = work_dir();
  empty(dir);
  const fs::path input = dir / "input.dv";
  {
    FILE *f = std::fopen(input.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    FUZZ_CHECK(std::fclose(f) == 0);
  }

  static const char *const formats[] = {"y4m", "yuy2", "rgb", "png", "ppm", "null"};
  const int command = settings & 7;
  std::vector<std::string> args;
  std::vector<fs::path> outputs;  // files a successful command leaves
  if (command >= 6) {
    args = {"info", input.string()};
    if (command == 7) args.insert(args.end(), {"--json", "--frames"});
  } else {
    const std::string format = formats[command];
    const fs::path picture =
        dir / (format == "png" || format == "ppm" ? "frame%04d." + format : "out." + format);
    args = {"decode", input.string(), "-f", format, "--quiet", "--threads", settings & 0x40 ? "2" : "1"};
    if (format != "null") {
      args.insert(args.end(), {"-o", picture.string()});
      if (format != "png" && format != "ppm") outputs.push_back(picture);
    }
    if (settings & 0x08) {
      const fs::path sound = dir / "out.wav";
      args.insert(args.end(), {"--audio", sound.string()});
      if (settings & 0x10) args.insert(args.end(), {"--audio-format", "pcm"});
      outputs.push_back(sound);
    }
    if (settings & 0x20) args.push_back("--strict");
    if (settings & 0x80) args.push_back("--frames=1:3");
  }

  const int status = run(args);
  FUZZ_CHECK(status == 0 || status == 1);
  for (const fs::path &out : outputs) FUZZ_CHECK(fs::exists(out) == (status == 0));
  // Nothing but the input and the finished outputs (a later recording's
  // sound at another rate in out-2.wav, ...): no temporary left.
  for (const auto &entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    const bool expected = name == "input.dv" || name == "out.wav" ||
                          name.rfind("out.", 0) == 0 || name.rfind("out-", 0) == 0 ||
                          name.rfind("frame", 0) == 0;
    FUZZ_CHECK(expected);
    FUZZ_CHECK(status == 0 || name == "input.dv" || name.rfind("frame", 0) == 0);
  }
  return 0;
}
