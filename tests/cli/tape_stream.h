// Streams for the tests of a tape's sound: stretches of frames made by our
// encoder, the picture encoded once a stretch and each frame's sound put in
// on its own, with as many samples as the stretch's clock gives it: locked,
// the encoder's own pattern; unlocked, counts that wander a sample either
// way from frame to frame while the running total stays within a sample of
// frames x rate / fps. What each frame carries is the oracle.
#pragma once

#include <tarsk/tarsk.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace tarsk::test {

enum class Clock { locked, unlocked };

struct Stretch {
  tarsk_system system = TARSK_SYSTEM_625_50;
  int rate = 48000;
  Clock clock = Clock::locked;
  uint64_t frames = 25;
  int hz = 1000;     // a tone of this many whole Hz in both channels
  int level = 8000;  // its peak
  int64_t timecode = 0;
};

// frames x rate / fps, rounded down: the samples of that many frames.
inline uint64_t nominal_samples(tarsk_system system, int rate, uint64_t frames) {
  return system == TARSK_SYSTEM_625_50 ? frames * static_cast<uint64_t>(rate) / 25
                                       : frames * static_cast<uint64_t>(rate) * 1001 / 30000;
}

// How far an unlocked stretch's total stands from the nominal after frame
// n: -1, 0 or 1, scattered.
inline int unlocked_offset(uint64_t n) { return static_cast<int>((n * 2654435761u >> 7) % 3) - 1; }

class StretchEncoder {
 public:
  explicit StretchEncoder(const Stretch &s) : s_(s) {
    tarsk_encoder_settings settings;
    tarsk_encoder_default_settings(&settings);
    settings.system = s.system;
    settings.timecode = s.timecode;
    if (tarsk_encoder_open(&encoder_, &settings) != TARSK_OK) return;
    const bool fifty = s.system == TARSK_SYSTEM_625_50;
    tarsk_picture p{};
    if (tarsk_picture_alloc(&p, fifty ? TARSK_PIXEL_I420 : TARSK_PIXEL_Y41B, 720,
                            fifty ? 576 : 480) != TARSK_OK)
      return;
    for (int plane = 0; plane < 3; ++plane)
      for (int y = 0; y < (plane == 0 || !fifty ? p.height : p.height / 2); ++y)
        for (int x = 0; x < p.stride[plane]; ++x)
          p.data[plane][y * p.stride[plane] + x] =
              static_cast<uint8_t>(plane == 0 ? 40 + (x + 2 * y) % 160 : 100 + s.rate / 4000);
    video_.resize(tarsk_encoder_frame_bytes(encoder_));
    ok_ = tarsk_encode_video(encoder_, &p, video_.data(), video_.size()) == TARSK_OK;
    tarsk_picture_free(&p);
    tone_.resize(static_cast<size_t>(s.rate));
    for (size_t i = 0; i < tone_.size(); ++i)
      tone_[i] = static_cast<int16_t>(
          std::lround(s.level * std::sin(2 * M_PI * s.hz * static_cast<double>(i) / s.rate)));
  }
  ~StretchEncoder() { tarsk_encoder_close(&encoder_); }
  StretchEncoder(const StretchEncoder &) = delete;
  StretchEncoder &operator=(const StretchEncoder &) = delete;

  bool ok() const { return ok_; }
  size_t frame_bytes() const { return video_.size(); }

  // The samples frame n of the stretch carries.
  int samples(uint64_t n) const {
    if (s_.clock == Clock::locked) return tarsk_encoder_audio_frames(encoder_, s_.rate, n);
    const auto end =
        static_cast<int64_t>(nominal_samples(s_.system, s_.rate, n + 1)) + unlocked_offset(n);
    const auto start = n == 0 ? 0
                              : static_cast<int64_t>(nominal_samples(s_.system, s_.rate, n)) +
                                    unlocked_offset(n - 1);
    return static_cast<int>(end - start);
  }
  // Sample i of the stretch (either channel).
  int16_t sample(uint64_t i) const { return tone_[i % tone_.size()]; }

  // Frame n (made in order from 0) into `frame`; its samples appended to
  // `sound` (one channel: both carry the same) when given.
  bool frame(uint64_t n, uint8_t *frame, std::vector<int16_t> *sound = nullptr) {
    std::copy(video_.begin(), video_.end(), frame);
    const int count = samples(n);
    pcm_.resize(2 * static_cast<size_t>(count));
    for (int i = 0; i < count; ++i)
      pcm_[2 * static_cast<size_t>(i)] = pcm_[2 * static_cast<size_t>(i) + 1] =
          sample(next_ + static_cast<uint64_t>(i));
    if (sound != nullptr)
      for (int i = 0; i < count; ++i) sound->push_back(pcm_[2 * static_cast<size_t>(i)]);
    next_ += static_cast<uint64_t>(count);
    return tarsk_encode_audio(encoder_, pcm_.data(), count, s_.rate, frame, video_.size()) ==
           TARSK_OK;
  }

 private:
  Stretch s_;
  tarsk_encoder *encoder_ = nullptr;
  bool ok_ = false;
  std::vector<uint8_t> video_;
  std::vector<int16_t> tone_, pcm_;
  uint64_t next_ = 0;
};

}  // namespace tarsk::test
