// Audio input filters and the built-in "wav" filter. The filter reads a
// RIFF WAVE file of 16-bit PCM and hands the encoder one video frame's
// share of samples at a time, turned to the most-significant-byte-first
// order of DV audio blocks.
#include <tarsk/dv.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "classic/registry.h"
#include "common/audio.h"
#include "common/log.h"

namespace tarsk {
namespace {

// The one open WAV file of the process, and the frames loaded from it
// (modulo the length of the sample count patterns).
FILE *wav_file = nullptr;
int frames_loaded = 0;

// Turns `samples` little-endian 16-bit samples into big-endian ones.
using Converter = void (*)(const uint8_t *in, uint8_t *out, int samples);
Converter convert = nullptr;

void s16le_to_be(const uint8_t *in, uint8_t *out, int samples) {
  for (int i = 0; i < samples; ++i, in += 2, out += 2) {
    out[0] = in[1];
    out[1] = in[0];
  }
}

// Reading the header: each step reports what went wrong and says whether
// the parse may go on.
bool read_exact(FILE *f, void *to, size_t n) {
  if (std::fread(to, 1, n, f) == n) return true;
  log(LogLevel::error, "WAV: Short read!\n");
  return false;
}

bool expect_tag(FILE *f, const char *tag) {
  char got[4];
  if (!read_exact(f, got, sizeof got)) return false;
  if (std::memcmp(got, tag, sizeof got) == 0) return true;
  log(LogLevel::error, "WAV: No %s header!\n", tag);
  return false;
}

bool read_u32(FILE *f, uint32_t &v) {
  uint8_t b[4];
  if (!read_exact(f, b, sizeof b)) return false;
  v = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
  return true;
}

bool read_u16(FILE *f, int &v) {
  uint8_t b[2];
  if (!read_exact(f, b, sizeof b)) return false;
  v = b[0] | b[1] << 8;
  return true;
}

bool read_int32(FILE *f, int &v) {
  uint32_t u;
  if (!read_u32(f, u)) return false;
  v = static_cast<int32_t>(u);
  return true;
}

// The fmt chunk's fixed fields, and what a longer chunk adds: up to 1024.
constexpr uint32_t fmt_size = 16;
constexpr uint32_t fmt_max_size = 1024;

bool fmt_size_accepted(uint32_t size) {
  if (size > fmt_max_size) {
    log(LogLevel::error, "WAV: Header too large!\n");
    return false;
  }
  if (size < fmt_size) {
    log(LogLevel::error, "WAV: fmt chunk of %u bytes is too short: 16 are needed!\n",
        static_cast<unsigned>(size));
    return false;
  }
  return true;
}

bool format_supported(const dv_enc_audio_info_t &info) {
  const int ch = info.channels;
  switch (info.frequency) {
    case 44100:
    case 48000:
      if (ch == 2) break;
      log(LogLevel::error, "WAV: Unsupported channel count (%d) for frequency %d!\n", ch,
          info.frequency);
      return false;
    case 32000:
      if (ch == 2 || ch == 4) break;
      log(LogLevel::error, "WAV: Unsupported channel count (%d) for frequency %d!\n", ch,
          info.frequency);
      return false;
    default:
      log(LogLevel::error, "WAV: Unsupported frequency: %d\n", info.frequency);
      return false;
  }
  if (info.bitspersample != 16) {
    log(LogLevel::error,
        "WAV: Unsupported bitspersample: %d Only 16 bits are supported right now. "
        "(FIXME: just look in audio and copy the code if you really need this!)\n",
        info.bitspersample);
    return false;
  }
  return true;
}

// What load needs of the declared layout: whole samples of every channel
// in a sample frame. Then the largest frame (1280 sample frames of 8 bytes
// at 32 kHz, four channels, 625/50) fits the data area. The declared byte
// rate is not used: the sampling rate and the alignment say it all.
bool layout_supported(const dv_enc_audio_info_t &info) {
  if (info.bytealignment != 2 * info.channels) {
    log(LogLevel::error, "WAV: Block alignment %d does not fit %d channels of 16 bits!\n",
        info.bytealignment, info.channels);
    return false;
  }
  return true;
}

int parse_wave_header(FILE *f, dv_enc_audio_info_t *info) {
  uint32_t riff_size, size, data_size;
  int tag;
  if (!expect_tag(f, "RIFF") || !read_u32(f, riff_size) || !expect_tag(f, "WAVE") ||
      !expect_tag(f, "fmt ") || !read_u32(f, size) || !fmt_size_accepted(size))
    return -1;
  if (!read_u16(f, tag) || !read_u16(f, info->channels) || !read_int32(f, info->frequency) ||
      !read_int32(f, info->bytespersecond) || !read_u16(f, info->bytealignment) ||
      !read_u16(f, info->bitspersample))
    return -1;
  std::array<uint8_t, fmt_max_size> rest;
  if (size > fmt_size && !read_exact(f, rest.data(), size - fmt_size)) return -1;
  if (!expect_tag(f, "data") || !read_u32(f, data_size)) return -1;
  if (!format_supported(*info) || !layout_supported(*info)) return -1;
  return 0;
}

void close_wav() {
  if (wav_file != nullptr) std::fclose(wav_file);
  wav_file = nullptr;
}

int wav_init(const char *filename, dv_enc_audio_info_t *audio_info) {
  close_wav();
  if (filename == nullptr || (wav_file = std::fopen(filename, "r")) == nullptr) {
    log(LogLevel::error, "Can't open WAV file: %s\n", filename ? filename : "(null)");
    return -1;
  }
  if (parse_wave_header(wav_file, audio_info) != 0) {
    close_wav();
    return -1;
  }
  convert = s16le_to_be;
  frames_loaded = 0;
  return 0;
}

void wav_finish() { close_wav(); }

// A frame's share of samples is what the frame carries in the DV stream,
// counted from init: 1600 or 1602 at 48 kHz in 525/60, whose frames last
// 1001/30000 s. Sound and pictures thus stay together over any length.
int wav_load(dv_enc_audio_info_t *audio_info, int isPAL) {
  if (wav_file == nullptr) {
    log(LogLevel::error, "WAV: No file open!\n");
    return -1;
  }
  const int samples = audio::samples_in_frame(isPAL != 0, audio_info->frequency, frames_loaded);
  frames_loaded = (frames_loaded + 1) % audio::pattern_frames;
  const int bytes = samples * audio_info->bytealignment;
  if (bytes <= 0 || bytes > DV_ENC_AUDIO_DATA_SIZE) {
    log(LogLevel::error, "WAV: %d sample frames of %d bytes do not fit a frame's %d bytes!\n",
        samples, audio_info->bytealignment, DV_ENC_AUDIO_DATA_SIZE);
    return -1;
  }
  audio_info->bytesperframe = bytes;
  std::array<uint8_t, DV_ENC_AUDIO_DATA_SIZE> raw;
  if (std::fread(raw.data(), 1, static_cast<size_t>(bytes), wav_file) != static_cast<size_t>(bytes))
    return 1;
  convert(raw.data(), audio_info->data, bytes / 2);
  return 0;
}

Registry<dv_enc_audio_input_filter_t> filters{
    dv_enc_audio_input_filter_t{wav_init, wav_finish, wav_load, "wav"}};

}  // namespace
}  // namespace tarsk

extern "C" {

int dv_enc_register_audio_input_filter(dv_enc_audio_input_filter_t filter) {
  return tarsk::filters.add(filter, filter.init && filter.finish && filter.load, "Audio input");
}

int dv_enc_get_audio_input_filters(dv_enc_audio_input_filter_t **filters_, int *count) {
  return tarsk::filters.get(filters_, count);
}

}  // extern "C"
