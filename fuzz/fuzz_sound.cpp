// The sound readers of the encoder's side on any file: the library's "wav"
// audio input filter, and the tool's audio input through libsndfile.
//
// Input: one option byte, then the file.
//   bit 0:    the tool's reader (else the wav filter)
//   bit 1:    625/50 frames (wav filter)
//   bits 2-7: the tool's read size: 1 + 61 x this sample frames
//
// Checks: the wav filter's loads hand out, frame by frame, the file's data
// after the header turned to most significant byte first, as many sample
// frames as the system's frame carries and never more than the data area;
// a short load leaves the record as it was; inserting the record into a
// frame succeeds and decodes back, or leaves the frame as it was. The
// tool's reads give whole stereo sample frames, never more than asked, a
// mono file's samples on both channels.
#include <tarsk/dv.h>

#include <cstring>
#include <memory>
#include <vector>

#include "../tools/tarsk/audio_in.h"
#include "common.h"
#include "common/audio.h"
#include "work_dir.h"

namespace {

const fuzz::WorkDir &work_dir() {
  static const fuzz::WorkDir dir("tarsk-fuzz-sound");
  return dir;
}

dv_enc_audio_input_filter_t *wav_filter() {
  dv_enc_audio_input_filter_t *filters = nullptr;
  int count = 0;
  dv_enc_get_audio_input_filters(&filters, &count);
  for (int i = 0; i < count; ++i)
    if (std::strcmp(filters[i].filter_name, "wav") == 0) return &filters[i];
  return nullptr;
}

uint32_t le32(const uint8_t *b) {
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

void through_wav_filter(const uint8_t *data, size_t size, bool pal) {
  dv_enc_audio_input_filter_t *wav = wav_filter();
  FUZZ_CHECK(wav != nullptr);
  const std::string file = fuzz::save(work_dir().path, "sound.wav", data, size);
  auto info = std::make_unique<dv_enc_audio_info_t>();
  if (wav->init(file.c_str(), info.get()) != 0) {
    wav->finish();
    return;
  }
  // The header read: RIFF, WAVE, the fmt chunk, the data chunk's tag and size.
  FUZZ_CHECK(size >= 20);
  size_t at = 20 + le32(data + 16) + 8;
  FUZZ_CHECK(at <= size);
  const std::vector<uint8_t> frame =
      fuzz::template_frame(pal ? e_dv_system_625_50 : e_dv_system_525_60);
  for (int n = 0; n < 400; ++n) {
    auto before = std::make_unique<dv_enc_audio_info_t>(*info);
    const int r = wav->load(info.get(), pal);
    FUZZ_CHECK(r == 0 || r == 1);
    if (r == 1) {
      FUZZ_CHECK(std::memcmp(before->data, info->data, sizeof info->data) == 0);
      break;
    }
    const int samples = tarsk::audio::samples_in_frame(pal, info->frequency, n);
    const size_t bytes = static_cast<size_t>(info->bytesperframe);
    FUZZ_CHECK(info->bytesperframe == samples * info->bytealignment);
    FUZZ_CHECK(bytes <= sizeof info->data && at + bytes <= size);
    for (size_t i = 0; i < bytes; ++i) FUZZ_CHECK(info->data[i] == data[at + (i ^ 1)]);
    at += bytes;
    // Into a frame, as the raw output filter puts it.
    std::vector<uint8_t> out = frame;
    if (_dv_raw_insert_audio(out.data(), info.get(), pal) != 0) {
      FUZZ_CHECK(out == frame);
      continue;
    }
    FUZZ_CHECK(info->channels == 2);
    std::unique_ptr<dv_decoder_t, fuzz::DecoderDeleter> dv(dv_decoder_new(0, 0, 0));
    dv_set_error_log(dv.get(), fuzz::null_log());
    FUZZ_CHECK(dv_parse_header(dv.get(), out.data()) >= 0);
    std::vector<int16_t> channels[4];
    int16_t *outs[4];
    for (int c = 0; c < 4; ++c) {
      channels[c].assign(1944, 0);
      outs[c] = channels[c].data();
    }
    FUZZ_CHECK(dv_decode_full_audio(dv.get(), out.data(), outs) == 1);
    FUZZ_CHECK(dv->audio->samples_this_frame == samples);
    for (int i = 0; i < samples; ++i)
      for (int c = 0; c < 2; ++c) {
        const uint8_t *s = info->data + 4 * i + 2 * c;
        const auto v = static_cast<int16_t>(s[0] << 8 | s[1]);
        FUZZ_CHECK(channels[c][static_cast<size_t>(i)] == (v == INT16_MIN ? -32767 : v));
      }
  }
  wav->finish();
}

void through_tool(const uint8_t *data, size_t size, size_t chunk) {
  const std::string file = fuzz::save(work_dir().path, "sound", data, size);
  auto input = tarsk::cli::AudioInput::open(file);
  if (!input) {
    FUZZ_CHECK(!input.error().message.empty());
    return;
  }
  auto &in = **input;
  FUZZ_CHECK(in.rate() == 48000 || in.rate() == 44100 || in.rate() == 32000);
  FUZZ_CHECK(in.channels() == 1 || in.channels() == 2);
  for (int n = 0; n < 1000; ++n) {
    auto samples = in.read(chunk);
    if (!samples) {
      FUZZ_CHECK(!samples.error().message.empty());
      return;
    }
    FUZZ_CHECK(samples->size() % 2 == 0 && samples->size() <= 2 * chunk);
    if (in.channels() == 1)
      for (size_t i = 0; i < samples->size(); i += 2)
        FUZZ_CHECK((*samples)[i] == (*samples)[i + 1]);
    if (samples->size() < 2 * chunk) return;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Options opt{data, size};
  const uint8_t options = opt.take();
  if (options & 1)
    through_tool(opt.data, opt.size, 1 + 61 * size_t{static_cast<uint8_t>(options >> 2)});
  else
    through_wav_filter(opt.data, opt.size, (options & 2) != 0);
  return 0;
}
