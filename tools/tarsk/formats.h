// Output formats of the tarsk command: pictures (YUV4MPEG2 from the
// decoder's planes at the stream's own sampling, PNG and PPM from its RGB),
// and WAV audio.
#pragma once

#include <tarsk/tarsk.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "cli.h"

namespace tarsk::cli {

// What a DV stream's pictures are, as its first frame says.
struct PictureInfo {
  tarsk_system system;      // 525/60: 30000/1001 frames a second; 625/50: 25
  tarsk_sampling sampling;  // TARSK_SAMPLING_420 or TARSK_SAMPLING_411
  int width, height;
  bool wide;  // 16:9 (else 4:3)
  bool progressive = false;  // else interlaced, bottom field first
};

// Pixel aspect ratio of a DV picture (as ffmpeg reports it): 625/50 16:15
// (4:3) or 64:45 (16:9); 525/60 8:9 (4:3) or 32:27 (16:9).
struct Ratio {
  int num, den;
};
Ratio pixel_aspect(tarsk_system system, bool wide);

// YUV4MPEG2 stream header for pictures like these: size, frame rate,
// interlaced bottom field first ("Ib") or progressive ("Ip"), pixel aspect,
// and the stream's own chroma sampling: 4:2:0 "C420paldv" (chroma per
// field) or, progressive, "C420jpeg"; 4:1:1 "C411".
std::string y4m_header(const PictureInfo &info);
// Appends the planes Y, Cb, Cr of a planar picture (I420, Y41B or I422),
// each line as it is without what its stride leaves between; false, with
// nothing appended, for a packed layout.
bool append_planes(const tarsk_picture &picture, std::vector<uint8_t> &out);
// Appends one "FRAME\n" and the planes (see append_planes).
bool y4m_frame(const tarsk_picture &picture, std::vector<uint8_t> &out);
// Hands the bytes append_planes would append to `write` straight from the
// picture, without a copy: a plane whose lines follow one another in one
// piece, else line by line; false, with nothing written, for a packed
// layout, or when `write` fails.
bool write_planes(const tarsk_picture &picture,
                  const std::function<bool(std::span<const uint8_t>)> &write);

// A PNG file (8-bit RGB, no interlacing) of width x height pixels of packed
// R G B bytes, compressed by libpng; why not for a picture without pixels,
// R G B bytes short of its size, or what libpng refuses.
Result<std::vector<uint8_t>> png_encode(int width, int height, std::span<const uint8_t> rgb);
// A binary PPM (P6) of the same.
Result<std::vector<uint8_t>> ppm_encode(int width, int height, std::span<const uint8_t> rgb);

// Writes 16-bit PCM sound to a stream: a WAV made by libsndfile, or raw
// PCM (the interleaved samples alone, little-endian). A WAV's sizes are set
// at finish() where its header can be rewritten; on a pipe, a terminal or a
// stream that appends every write at its end they stay "unknown"
// (0xffffffff), as they do when the sound outgrows what a WAV can count.
class AudioWriter {
 public:
  AudioWriter(FILE *out, bool wav);
  ~AudioWriter();
  AudioWriter(const AudioWriter &) = delete;
  AudioWriter &operator=(const AudioWriter &) = delete;

  // Channels and rate are fixed by the first call. A WAV with a layout,
  // the speaker of each channel in order (SF_CHANNEL_MAP_* of libsndfile),
  // is written as WAVE_FORMAT_EXTENSIBLE with the matching channel mask;
  // without one it is a plain WAV.
  bool start(int frequency, int channels, const std::vector<int> &layout = {});
  // Appends samples: channels[c][i], interleaved; missing channels silent.
  bool write(const std::vector<std::vector<int16_t>> &channels, size_t samples);
  // Appends `samples` frames of silence.
  bool silence(size_t samples);
  bool finish();
  bool started() const { return started_; }
  int frequency() const { return frequency_; }
  int channels() const { return channels_; }

  struct Wav;  // libsndfile's file and the stream under it

 private:
  bool put(const int16_t *interleaved, size_t frames);

  FILE *out_;
  bool wav_;
  std::unique_ptr<Wav> sink_;
  bool started_ = false;
  int frequency_ = 0, channels_ = 0;
  uint64_t data_bytes_ = 0;
};

}  // namespace tarsk::cli
