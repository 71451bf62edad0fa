// Sound for `tarsk encode` and `tarsk dub`, read with libsndfile: WAV
// (16-bit, 24-bit or float, its chunks in any order), AIFF, FLAC and the
// other formats libsndfile knows, mono or stereo (or four channels, two
// stereo pairs, where asked for), at a rate DV carries.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "input.h"

namespace tarsk::cli {

class AudioInput {
 public:
  // "-" is standard input. Refuses, with a message naming the file, a
  // rate other than 48000, 44100 or 32000 Hz and more than two channels
  // (but four with `four_channels`).
  static Result<std::unique_ptr<AudioInput>> open(const std::string &path,
                                                  bool four_channels = false);
  ~AudioInput();
  AudioInput(const AudioInput &) = delete;
  AudioInput &operator=(const AudioInput &) = delete;

  int rate() const { return rate_; }
  int channels() const { return channels_; }  // in the file: 1, 2 or 4
  // Channels of what read() gives: 2, or 4 for a file of four.
  int width() const { return channels_ == 4 ? 4 : 2; }

  // Up to `frames` sample frames (a DV frame's worth, say) as interleaved
  // 16-bit stereo (or four channels from a file of four), a mono file's
  // samples on both channels; fewer only at
  // the end of the sound. Integer samples of more than 16 bits keep their
  // top 16 bits (libsndfile's conversion: the rest is dropped, not
  // rounded); float samples are scaled by 32768, rounded to the nearest and
  // clipped to -32768 and 32767, so that full scale stays full scale and
  // what lies beyond it does not wrap around (a NaN is 0).
  Result<std::vector<int16_t>> read(size_t frames);

 private:
  AudioInput() = default;
  sf_count_t read_floats(int16_t *out, sf_count_t frames);

  bool floating_ = false;
  std::vector<float> floats_;

  SNDFILE *file_ = nullptr;
  std::string name_;
  int rate_ = 0, channels_ = 0;
  uint64_t read_ = 0;  // sample frames read so far
};

// The sound of a run from one or two files, a frame's share at a time:
// with 16 bits a file of one or two channels (stereo); with 12 bits one
// such file (the first stereo pair), two (the first pair and the second),
// or one of four channels (both pairs), at 32 kHz. Two files must have the
// same rate; the one that ends first is followed by silence, as both are
// after their end.
class SoundFiles {
 public:
  // `bits` 12 or 16; the message of an error names the file.
  static Result<SoundFiles> open(const std::vector<std::string> &paths, int bits);
  int rate() const { return rate_; }
  int channels() const { return channels_; }  // of next(): 2, or 4
  // `frames` sample frames of channels() interleaved channels.
  Result<std::vector<int16_t>> next(size_t frames);
  size_t files() const { return files_.size(); }
  // Whether file i has ended, and its name for messages.
  bool ended(size_t i) const { return files_[i].ended; }
  const std::string &name(size_t i) const { return files_[i].name; }

 private:
  struct File {
    std::unique_ptr<AudioInput> input;
    std::string name;
    bool ended = false;
  };
  std::vector<File> files_;
  int rate_ = 0, channels_ = 2;
};

}  // namespace tarsk::cli
