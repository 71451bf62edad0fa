// Where DV frames come from: raw DV, or DV inside AVI, QuickTime/MP4 or
// Matroska, told apart by their content. Containers are read with FFmpeg's
// libavformat, packets only: tarsk decodes every frame itself. A build
// without libavformat reads raw DV only and says so.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

namespace tarsk::cli {

// Whether this build reads and writes containers.
bool containers_built();
// What a build without libavformat says when a container is asked for.
extern const char *const no_containers;

struct SourceInfo {
  std::string container = "raw DV";  // or "AVI", "QuickTime", "Matroska", ...
  // A sound track of the container's own beside the DV frames (AVI type 2,
  // QuickTime), as 16-bit PCM.
  bool track_audio = false;
  int track_rate = 0, track_channels = 0;
};

class DvSource {
 public:
  virtual ~DvSource() = default;
  // The next frame; an error (io, not_dv); or nullopt at the end.
  virtual std::optional<Expected<Frame>> next() = 0;
  const SourceInfo &info() const { return info_; }
  // The container's own sound read so far (interleaved 16-bit samples of
  // info().track_channels channels), handed over and forgotten.
  std::vector<int16_t> take_track_audio() { return std::exchange(track_audio_, {}); }

 protected:
  SourceInfo info_;
  std::vector<int16_t> track_audio_;
};

// Opens a file, or standard input for "-". The message of an error starts
// with the name.
Expected<std::unique_ptr<DvSource>> open_dv_source(const std::string &path);

}  // namespace tarsk::cli
