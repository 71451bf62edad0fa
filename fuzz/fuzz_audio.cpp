// Whole-frame audio decoding with every audio option and concealment
// method.
//
// Input: two option bytes, then the first bytes of a frame (completed from
// the template of its system).
//   byte 0: bits 0-1 frequency option, 2-3 quantisation option (mod 3),
//           4-5 emphasis option (mod 3), 6-7 correction method (mod 3)
//   byte 1: bits 0-1 video system option, bit 2 no error log
// Four channel buffers of exactly dv->audio->max_samples samples (at least
// one) each, separately on the heap.
#include <tarsk/dv.h>

#include <memory>
#include <vector>

#include "common.h"
#include "frame_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  fuzz::Options opt{data, size};
  const uint8_t b0 = opt.take(), b1 = opt.take();
  const int frequency = b0 & 3;
  const int quantization = ((b0 >> 2) & 3) % 3;
  const int emphasis = ((b0 >> 4) & 3) % 3;
  const int correction = ((b0 >> 6) & 3) % 3;
  const int video_system = b1 & 3;
  FILE *log = (b1 & 4) ? nullptr : fuzz::null_log();

  fuzz::ParsedFrame f;
  if (!fuzz::parse_frame(opt.data, opt.size, 0,
                         [&](dv_decoder_t *dv) {
                           dv_set_error_log(dv, log);
                           dv->arg_video_system = video_system;
                           dv->audio->arg_audio_frequency = frequency;
                           dv->audio->arg_audio_quantization = quantization;
                           dv->audio->arg_audio_emphasis = emphasis;
                           dv_set_audio_correction(dv, correction);
                         },
                         f))
    return 0;
  dv_decoder_t *dv = f.dv.get();
  // The time code and recording date go into block failure reports.
  dv_parse_packs(dv, f.bytes.data());

  const int max_samples = dv->audio->max_samples;
  FUZZ_CHECK(max_samples >= 0 && max_samples <= 1944);
  const size_t slots = static_cast<size_t>(max_samples > 0 ? max_samples : 1);
  std::unique_ptr<int16_t[]> channels[4];
  int16_t *outbufs[4];
  for (int c = 0; c < 4; ++c) {
    channels[c] = std::make_unique<int16_t[]>(slots);
    outbufs[c] = channels[c].get();
  }

  const int decoded = dv_decode_full_audio(dv, f.bytes.data(), outbufs);
  FUZZ_CHECK(decoded == 0 || decoded == 1);
  // The buffers were sized by what the header said; decoding the same
  // frame must not need more.
  FUZZ_CHECK(dv->audio->max_samples == max_samples);
  FUZZ_CHECK(dv_frame_has_audio_errors(dv) >= 0);
  if (decoded) {
    const dv_audio_t *a = dv->audio;
    FUZZ_CHECK(a->quantization == 12 || a->quantization == 16);
    FUZZ_CHECK(a->frequency == 32000 || a->frequency == 44100 || a->frequency == 48000);
    FUZZ_CHECK(a->samples_this_frame >= 0 && a->samples_this_frame <= a->max_samples);
  }
  if (dv_update_num_samples(dv->audio, f.bytes.data()))
    FUZZ_CHECK(dv->audio->samples_this_frame <= dv->audio->max_samples);
  return 0;
}
