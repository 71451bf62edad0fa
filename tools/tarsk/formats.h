// Output formats of the tarsk command: pictures (YUV4MPEG2, PNG, PPM) made
// from the decoder's YUY2 or RGB output, and WAV audio.
#pragma once

#include <tarsk/dv.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace tarsk::cli {

// A decoded picture in the decoder's packed YUY2 layout (Y Cb Y Cr, lines
// of width * 2 bytes), with what its frame says about it.
struct Yuy2Picture {
  dv_system_t system;    // 525/60: 30000/1001 frames a second; 625/50: 25
  dv_sample_t sampling;  // e_dv_sample_420 or e_dv_sample_411
  int width, height;
  bool wide;  // 16:9 (else 4:3)
  std::span<const uint8_t> yuy2;
};

// Pixel aspect ratio of a DV picture (as ffmpeg reports it): 625/50 16:15
// (4:3) or 64:45 (16:9); 525/60 8:9 (4:3) or 32:27 (16:9).
struct Ratio {
  int num, den;
};
Ratio pixel_aspect(dv_system_t system, bool wide);

// YUV4MPEG2 stream header for pictures like this one: size, frame rate,
// interlaced bottom field first ("Ib"), pixel aspect, and the stream's own
// chroma sampling: "C420paldv" for 4:2:0, "C411" for 4:1:1.
std::string y4m_header(const Yuy2Picture &picture);
// Appends one "FRAME\n" and the planes Y, Cb, Cr at the stream's own
// sampling, taken losslessly from the YUY2 picture: 4:2:0 chroma from the
// even lines (each pair of lines shares its chroma), 4:1:1 chroma from
// every other chroma pair of each line (each sample covers four pixels).
void y4m_frame(const Yuy2Picture &picture, std::vector<uint8_t> &out);

// A PNG file (8-bit RGB, no interlacing) of width x height pixels of packed
// R G B bytes; stored (uncompressed) deflate blocks, CRC and Adler checks.
std::vector<uint8_t> png_encode(int width, int height, std::span<const uint8_t> rgb);
// A binary PPM (P6) of the same.
std::vector<uint8_t> ppm_encode(int width, int height, std::span<const uint8_t> rgb);

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

  // Channels and rate are fixed by the first call.
  bool start(int frequency, int channels);
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
