// The small DV files kept in tests/conformance: ffmpeg's of both systems and
// all three samplings (one with 2-4-8 blocks), and our own encoder's.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/ffmpeg.h"

namespace tarsk::test {

inline const std::filesystem::path conformance_dir =
    std::filesystem::path(TARSK_SOURCE_DIR) / "tests" / "conformance";
inline const char *const conformance_files[] = {"pal420_interlaced", "pal411", "ntsc411",
                                                "ours_pal_best", "ours_ntsc"};

inline std::vector<uint8_t> conformance(const std::string &name) {
  return read_file(conformance_dir / (name + ".dv"));
}

}  // namespace tarsk::test
