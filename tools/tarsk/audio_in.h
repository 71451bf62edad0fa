// Sound for `tarsk encode`, read with libsndfile: WAV (16-bit, 24-bit or
// float, its chunks in any order), AIFF, FLAC and the other formats
// libsndfile knows, mono or stereo, at a rate DV carries.
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
  // rate other than 48000, 44100 or 32000 Hz and more than two channels.
  static Result<std::unique_ptr<AudioInput>> open(const std::string &path);
  ~AudioInput();
  AudioInput(const AudioInput &) = delete;
  AudioInput &operator=(const AudioInput &) = delete;

  int rate() const { return rate_; }
  int channels() const { return channels_; }  // in the file: 1 or 2

  // Up to `frames` sample frames (a DV frame's worth, say) as interleaved
  // 16-bit stereo, a mono file's samples on both channels; fewer only at
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

}  // namespace tarsk::cli
