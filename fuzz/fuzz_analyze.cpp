// `tarsk analyze` on any file, run in this process on the input saved as a
// file: every frame inspected (packs, markers, track numbers, every video
// segment parsed, every audio block checked), the breaks found, the
// summary, CSV or JSON Lines printed and the map drawn.
//
// Input: the file's bytes. Its last byte (still part of the file) also
// picks the command line: bits 0-1 the listing (summary, --csv, --json,
// summary), bit 2 --map, bits 3-5 the map's most columns less one.
//
// Whatever the file holds, the command ends with status 0 or 1, the map
// exists exactly when the command succeeded, and no temporary file is left.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common.h"
#include "work_dir.h"

namespace tarsk::cli {
int run_analyze(int argc, const char **argv);
}  // namespace tarsk::cli

namespace {

namespace fs = std::filesystem;

const fs::path &work_dir() {
  static const fuzz::WorkDir dir("tarsk-fuzz-analyze");
  return dir.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  const uint8_t settings = data[size - 1];
  const fs::path &dir = work_dir();
  for (const auto &entry : fs::directory_iterator(dir)) fs::remove_all(entry.path());
  const std::string input = fuzz::save(dir, "input.dv", data, size);
  const fs::path map = dir / "map.png";

  std::vector<std::string> args = {"analyze", input};
  if ((settings & 3) == 1) args.push_back("--csv");
  if ((settings & 3) == 2) args.push_back("--json");
  const bool with_map = settings & 4;
  if (with_map)
    args.insert(args.end(),
                {"--map", map.string(), "--map-columns", std::to_string(1 + ((settings >> 3) & 7))});
  std::vector<const char *> argv;
  for (const std::string &a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  // The listing goes to standard output; the fuzzer has no use for it.
  std::FILE *out = std::freopen("/dev/null", "w", stdout);
  FUZZ_CHECK(out != nullptr);
  const int status = tarsk::cli::run_analyze(static_cast<int>(args.size()), argv.data());
  std::fflush(stdout);
  FUZZ_CHECK(status == 0 || status == 1);
  if (with_map) FUZZ_CHECK(fs::exists(map) == (status == 0));
  for (const auto &entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    FUZZ_CHECK(name == "input.dv" || (with_map && status == 0 && name == "map.png"));
  }
  return 0;
}
