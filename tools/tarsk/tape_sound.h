// The sound of a whole tape as one line of samples beside its pictures.
// A tape's recordings may each have sound of their own rate and channel
// count (32 kHz 4-channel for one, 48 kHz stereo for the next): each run of
// frames whose sound keeps one rate and channel count is a stretch. A line
// either follows the stretches (each at its own rate, the caller starting a
// file for each) or holds one rate and channel layout throughout, the
// stretches at other rates resampled to it by libsoxr.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <tarsk/tarsk.hpp>
#include <vector>

namespace tarsk::cli {

// Samples of each channel: planes[c][i], `samples` of each; a channel
// without a plane is silent.
struct SoundPlanes {
  std::vector<std::vector<int16_t>> planes;
  size_t samples = 0;
  void clear() {
    for (auto &p : planes) p.clear();
    samples = 0;
  }
};

// A stream of one rate converted to another, streaming: the filter's own
// delay taken out, so that output sample n stands for the time of input
// sample n x to / from; what it still holds comes out at flush().
class Resampler {
 public:
  Resampler(int from, int to, int channels);
  ~Resampler();
  Resampler(const Resampler &) = delete;
  Resampler &operator=(const Resampler &) = delete;
  // Why it could not be made; empty when it could.
  const std::string &problem() const { return problem_; }
  // Takes `samples` of each channel (a missing plane is silence) and
  // appends what comes out to `out`.
  bool push(const std::vector<std::vector<int16_t>> &in, size_t samples, SoundPlanes &out);
  // Ends the input: appends the rest.
  bool flush(SoundPlanes &out);
  // Output samples owed for the input taken so far and not yet out.
  double delay() const;

 private:
  bool run(const int16_t *const *in, size_t samples, SoundPlanes &out);
  struct Soxr;
  std::unique_ptr<Soxr> soxr_;
  int channels_;
  std::string problem_;
  std::vector<int16_t> silence_;
};

// How a line treats rates: follow each stretch's, or hold one (the first
// stretch's when `rate` is 0) and resample the others to it; `channels`,
// when not 0, the layout held (else the first stretch's).
struct LineSettings {
  bool one_rate = false;
  int rate = 0;
  int channels = 0;
};

class SoundLine {
 public:
  SoundLine(tarsk_system system, LineSettings settings);
  ~SoundLine();

  // Whether a frame's sound starts a stretch: the first sound, or another
  // rate or channel count than the stretch's.
  bool starts_stretch(const Audio *audio) const;
  // Adds a frame: its sound, or (null) silence as long as its share of its
  // stretch. A frame that starts a stretch ends the one before (see
  // end_stretch, whose rest comes first in `out`). Appends to `out` the
  // samples now ready at rate(), of channels() channels. Until the rate
  // and channels are known, frames without sound are counted, and their
  // silence comes with the first sound. False when the resampler fails
  // (problem() says why).
  bool add(const Audio *audio, SoundPlanes &out);
  // Ends the stretch: appends the rest of a resampled one, as much as
  // brings it to its share of its frames at the line's rate.
  bool end_stretch(SoundPlanes &out);

  int rate() const { return rate_; }          // 0 until known
  int channels() const { return channels_; }  // 0 until known
  int stretch_rate() const { return in_rate_; }
  int stretch_channels() const { return in_channels_; }
  int stretches() const { return stretches_; }
  bool one_rate() const { return settings_.one_rate; }
  bool resampling() const { return resampler_ != nullptr; }
  const std::string &problem() const { return problem_; }

  // Frames of the line (in a file a stretch: of the stretch), the samples
  // handed out for them, and what is made ready or still in the resampler
  // (output samples). After every frame, handed out is at most the frames'
  // share of the time, and handed out + held stands exactly where the
  // input has reached: the resampler keeps back what its filter needs of
  // the input to come (a few hundred samples), never drifts.
  uint64_t line_frames() const { return frames_; }
  uint64_t line_written() const { return written_; }
  double held() const;

 private:
  void begin_stretch(int rate, int channels);
  uint64_t share(uint64_t frame, int rate) const;
  void append(SoundPlanes &out, const std::vector<std::vector<int16_t>> *planes, size_t samples);
  void take_ready(SoundPlanes &out, uint64_t upto);

  tarsk_system system_;
  LineSettings settings_;
  int rate_ = 0, channels_ = 0;        // the line's
  int in_rate_ = 0, in_channels_ = 0;  // the current stretch's
  int stretches_ = 0;
  uint64_t leading_ = 0;  // frames without sound before the rate was known
  uint64_t frames_ = 0, written_ = 0;
  uint64_t in_frames_ = 0;  // frames of the current stretch
  std::unique_ptr<Resampler> resampler_;
  SoundPlanes ready_;  // resampled, not yet handed out
  std::vector<std::vector<int16_t>> mapped_;
  std::string problem_;
};

// The planes' samples interleaved as `channels` channels (a channel the
// planes lack silent) into `out`.
void interleave(const SoundPlanes &sound, int channels, std::vector<int16_t> &out);

// The name of stretch n's file (n from 1): the first the name itself, the
// later ones with -n before the extension: sound.wav, sound-2.wav, ...;
// sound%d.wav, sound%d-2.wav, ...
std::string stretch_path(const std::string &path, int n);

}  // namespace tarsk::cli
