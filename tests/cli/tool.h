// What the tests of the tarsk command share: running the built program,
// fresh directories to run it in, and files written and listed.
#pragma once

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "support/ffmpeg.h"

namespace tarsk::test {

// The tarsk program with these arguments.
inline CommandResult run_tarsk(std::vector<std::string> args) {
  args.insert(args.begin(), TARSK_BINARY);
  return run_command(args);
}

// A fresh, empty directory, so that whatever a run leaves behind shows.
inline std::filesystem::path fresh_dir() {
  const std::filesystem::path dir = scratch_file("dir");
  std::filesystem::create_directory(dir);
  return dir;
}

inline std::set<std::string> listing(const std::filesystem::path &dir) {
  std::set<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(dir))
    names.insert(entry.path().filename());
  return names;
}

inline void write_bytes(const std::filesystem::path &path, const std::vector<uint8_t> &bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char *>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tarsk::test
