// A private directory for targets that must give their input as a file.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "common.h"

namespace fuzz {

// A directory of this process's own, removed when the process exits.
struct WorkDir {
  std::filesystem::path path;
  explicit WorkDir(const char *name)
      : path(std::filesystem::temp_directory_path() /
             (std::string(name) + "-" + std::to_string(getpid()))) {
    std::filesystem::create_directories(path);
  }
  ~WorkDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

// Writes the bytes to a file of the directory and returns its name.
inline std::string save(const std::filesystem::path &dir, const char *name, const uint8_t *data,
                        size_t size) {
  const std::filesystem::path file = dir / name;
  FILE *f = std::fopen(file.c_str(), "wb");
  FUZZ_CHECK(f != nullptr);
  FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
  FUZZ_CHECK(std::fclose(f) == 0);
  return file.string();
}

}  // namespace fuzz
