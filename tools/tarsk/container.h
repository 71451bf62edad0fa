// Where DV frames come from: raw DV, or DV inside AVI, QuickTime/MP4 or
// Matroska, told apart by their content. Containers are read with FFmpeg's
// libavformat, packets only: tarsk decodes every frame itself. A build
// without libavformat reads raw DV only and says so.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
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
  // What a container says of its length: its count of DV frames, or its
  // duration in seconds; 0 when it does not say (raw DV never does).
  uint64_t frames = 0;
  double seconds = 0;
  // The time base of the container's DV track (ffmpeg's, for frame
  // checksums laid out as its own); 0/0 for raw DV.
  int time_base_num = 0, time_base_den = 0;
};

class DvSource {
 public:
  virtual ~DvSource() = default;
  // The next frame; an error (io, not_dv: "not a DV stream"); or nullopt at
  // the end.
  virtual std::optional<Expected<Frame>> next() = 0;
  // Passes over the stream's first `frames` frames without reading them,
  // where the source can go to a frame directly (a raw DV file), so that
  // next() gives frame `frames`, numbered as reading through numbers it:
  // the frames passed over (fewer when the stream has fewer), or 0 where
  // the source cannot (then next() reads on from where it was).
  virtual uint64_t skip(uint64_t /*frames*/) { return 0; }
  const SourceInfo &info() const { return info_; }
  // The container's own sound read so far (interleaved 16-bit samples of
  // info().track_channels channels), handed over and forgotten.
  std::vector<int16_t> take_track_audio() { return std::exchange(track_audio_, {}); }

 protected:
  SourceInfo info_;
  std::vector<int16_t> track_audio_;
};

// A decoder's settings for the tool: the library's defaults, with its
// messages dropped (the tool tells the damage it finds itself, frame by
// frame).
DecoderSettings quiet_settings();
// Why a frame's header blocks could not be read, in the tool's words.
std::string frame_problem(const Error &error);

// Opens a file, or standard input for "-". The message of an error starts
// with the name.
Expected<std::unique_ptr<DvSource>> open_dv_source(const std::string &path);

// The forms a DV file is written in, by the output's name: .dv (or .dif,
// or "-") raw, .avi AVI type 2, .mov QuickTime, .mkv Matroska; none for any
// other name.
enum class DvForm { raw, avi, mov, mkv };
std::optional<DvForm> dv_form_of(const std::string &path);

// What a container says about the stream, from its first frame.
struct StreamFacts {
  tarsk_system system = TARSK_SYSTEM_625_50;
  tarsk_sampling sampling = TARSK_SAMPLING_420;
  bool wide = false;
  int audio_rate = 0, audio_channels = 0;  // the PCM track beside the frames; 0: none
  std::string timecode;                    // "HH:MM:SS:FF" of the first frame, or empty
};

// Writes DV frames in one of the forms, under a temporary name until
// commit(). Every failure is reported here, with the name.
class DvSink {
 public:
  virtual ~DvSink() = default;
  // Once, before the first frame.
  virtual bool start(const StreamFacts &facts) = 0;
  // A frame, and its sound for the PCM track (interleaved 16-bit samples of
  // the track's channels; ignored without a track).
  virtual bool write(std::span<const uint8_t> frame, std::span<const int16_t> sound) = 0;
  // Sound for the track after the last frame: what a resampler held.
  virtual bool write_sound(std::span<const int16_t> sound) {
    (void)sound;
    return true;
  }
  virtual bool commit() = 0;
};
// A frame's sound for a PCM track of `rate` and `channels` beside frames of
// `system`: its samples interleaved, or (when it has none of that rate and
// channel count) silence as long as frame `index`'s share; `taken` says
// which.
std::vector<int16_t> track_sound(const Audio *audio, int rate, int channels, tarsk_system system,
                                 uint64_t index, bool *taken = nullptr);

// Opens `path` for the form (which its name gave); nothing after a message.
std::unique_ptr<DvSink> open_dv_sink(const std::string &path, DvForm form);

// Decoded pictures (planes Y, Cb, Cr at the stream's sampling) and their
// sound (16-bit PCM) in one file: NUT or Matroska (to a pipe too) or AVI,
// for a program that takes both in one pass.
enum class MediaForm { nut, mkv, avi };
class MediaSink {
 public:
  virtual ~MediaSink() = default;
  // Once, before the first picture; channels 0: no sound.
  virtual bool start(tarsk_system system, tarsk_sampling sampling, bool wide, int rate,
                     int channels) = 0;
  virtual bool write_picture(std::span<const uint8_t> planes) = 0;
  // Interleaved samples of the channels start() was given.
  virtual bool write_sound(std::span<const int16_t> samples) = 0;
  virtual bool commit() = 0;
};
std::unique_ptr<MediaSink> open_media_sink(const std::string &path, MediaForm form);

}  // namespace tarsk::cli
