// AAUX packs and audio options: what a frame's audio is and how many
// samples it holds.
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/audio.h"
#include "common/dif.h"
#include "common/log.h"
#include "decode/audio.h"

namespace tarsk {
namespace {

constexpr uint8_t aaux_source_id = dif::pack_id::aaux_source;
constexpr uint8_t aaux_source_control_id = dif::pack_id::aaux_source_control;
using dif::aaux_as_offset;
using dif::aaux_asc_offset;

// Whether a speed code is normal playback in the frame's system and standard.
bool normal_speed(const dv_decoder_t *dv, int speed) {
  if (dv->std != e_dv_std_iec_61834 && dv->std != e_dv_std_smpte_314m) return false;
  return speed ==
         audio::normal_speed(dv->system == e_dv_system_625_50, dv->std == e_dv_std_smpte_314m);
}

// Sample positions per channel that the audio blocks of a frame hold: 36
// 16-bit or 24 12-bit samples a block, 9 blocks a DIF sequence, half the
// sequences a channel (16-bit) or a pair of channels (12-bit).
int slots(bool fifty_fields, int quantization) {
  return dif::audio_blocks_per_sequence * dif::audio_half(fifty_fields) *
         (quantization == 12 ? 24 : 36);
}

using audio::frequency;
using audio::max_samples;
using audio::min_samples;
// Indexed by the quantisation code; 20-bit audio and the undefined codes
// are not decoded.
constexpr int quantization[8] = {16, 12, 20, -1, -1, -1, -1, -1};

// Column of a rate in the sample tables, or -1.
constexpr int rate_column(int freq) { return audio::rate_code(freq); }

// A message about a frame's audio header, as one message: the prefix, then
// what went wrong.
__attribute__((format(printf, 1, 2))) void complain(const char *format, ...) {
  char what[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(what, sizeof what, format, args);
  va_end(args);
  log(LogLevel::warning, "tarsk(%s):  %s", "audio", what);
}

dv_aaux_as_t read_as(const uint8_t *bytes) {
  dv_aaux_as_t as;
  std::memcpy(&as, bytes, sizeof as);
  return as;
}

// The rate a frame's audio is taken at: the option's, else the pack's.
// An unknown sampling code gives 0, which no rate column accepts.
int chosen_frequency(const dv_audio_t *audio, const dv_aaux_as_t &as, int current) {
  switch (audio->arg_audio_frequency) {
    case 0:
      return as.pc4.smp < 3 ? frequency[as.pc4.smp] : 0;
    case 1:
      return 32000;
    case 2:
      return 44100;
    case 3:
      return 48000;
    default:
      return current;
  }
}

}  // namespace

int dv_audio_samples_per_frame(const dv_aaux_as_t *as, int freq) {
  const int column = rate_column(freq);
  if (column < 0) {
    complain("frequency %d not supported\n", freq);
    return -1;
  }
  return min_samples[as->pc3.system][column] + as->pc1.af_size;
}

}  // namespace tarsk

namespace {

void dv_audio_popt_callback(poptContext con, enum poptCallbackReason, const struct poptOption *,
                            const char *, const void *data) {
  auto *audio = static_cast<dv_audio_t *>(const_cast<void *>(data));
  if (static_cast<unsigned>(audio->arg_audio_frequency) > 3)
    dv_opt_usage(con, audio->option_table, 0);
  if (static_cast<unsigned>(audio->arg_audio_quantization) > 2)
    dv_opt_usage(con, audio->option_table, 1);
  if (static_cast<unsigned>(audio->arg_audio_emphasis) > 2)
    dv_opt_usage(con, audio->option_table, 2);
}

}  // namespace

extern "C" {

dv_audio_t *dv_audio_new(void) {
  auto *audio = static_cast<dv_audio_t *>(std::calloc(1, sizeof(dv_audio_t)));
  if (audio == nullptr) return nullptr;
  audio->option_table[0] = {"frequency", 'f', POPT_ARG_INT, &audio->arg_audio_frequency, 0,
                            "audio frequency: 0=autodetect [default], 1=32 kHz, 2=44.1 kHz, 3=48 kHz",
                            "(0|1|2|3)"};
  audio->option_table[1] = {"quantization", 'Q', POPT_ARG_INT, &audio->arg_audio_quantization, 0,
                            "audio quantization: 0=autodetect [default], 1=12 bit, 2=16bit",
                            "(0|1|2)"};
  audio->option_table[2] = {
      "emphasis", 'e', POPT_ARG_INT, &audio->arg_audio_emphasis, 0,
      "first-order preemphasis of 50/15 us: 0=autodetect [default], 1=on, 2=off", "(0|1|2)"};
  audio->option_table[3] = {nullptr, '\0', POPT_ARG_CALLBACK | POPT_CBFLAG_POST,
                            reinterpret_cast<void *>(dv_audio_popt_callback), 0,
                            reinterpret_cast<const char *>(audio), nullptr};
  audio->option_table[4] = {};
  return audio;
}

int dv_set_audio_correction(dv_decoder_t *dv, int method) {
  const int previous = dv->audio->correction_method;
  dv->audio->correction_method = method;
  return previous;
}

int dv_parse_audio_header(dv_decoder_t *decoder, const uint8_t *inbuf) {
  using namespace tarsk;
  const uint8_t *as_bytes = inbuf + aaux_as_offset;
  const uint8_t *asc_bytes = inbuf + aaux_asc_offset;
  if (as_bytes[0] != aaux_source_id || asc_bytes[0] != aaux_source_control_id) return 0;

  dv_audio_t *audio = decoder->audio;
  const dv_aaux_as_t as = read_as(as_bytes);
  dv_aaux_asc_t asc;
  std::memcpy(&asc, asc_bytes, sizeof asc);

  const int system = as.pc3.system;
  const int smp = as.pc4.smp;
  if (smp < 3) {
    audio->max_samples = max_samples[system][smp];
  } else {
    // No rate has this sampling code; a rate given by option still tells
    // how many slots the blocks have.
    const int column = rate_column(chosen_frequency(audio, as, audio->frequency));
    audio->max_samples = column < 0 ? 0 : max_samples[system][column];
  }
  if (as.pc4.qu > 1) {
    complain("Malformrmed AAUX AS? pc4.qu == %d\n", as.pc4.qu);
    return 0;
  }
  audio->frequency = chosen_frequency(audio, as, audio->frequency);

  switch (audio->arg_audio_quantization) {
    case 0:
      audio->quantization = quantization[as.pc4.qu];
      break;
    case 1:
      audio->quantization = 12;
      break;
    case 2:
      audio->quantization = 16;
      break;
    default:
      break;
  }

  switch (audio->arg_audio_emphasis) {
    case 0:
      // Only IEC 61834 defines the emphasis flag this way (0 means on).
      if (decoder->std == e_dv_std_iec_61834) audio->emphasis = as.pc4.ef == 0;
      break;
    case 1:
      audio->emphasis = 1;
      break;
    case 2:
      audio->emphasis = 0;
      break;
    default:
      break;
  }

  // 16-bit audio fills a channel from each half of the frame; 12-bit audio
  // a stereo pair from each: every one of them is concealed and
  // de-emphasised.
  audio->num_channels = audio->quantization == 12 ? 4 : 2;

  // A pack may claim up to 63 samples over the minimum, more than the
  // blocks hold: never count past the positions they have.
  audio->max_samples = std::min(audio->max_samples, slots(system, audio->quantization));
  audio->samples_this_frame =
      std::min(dv_audio_samples_per_frame(&as, audio->frequency), audio->max_samples);
  audio->aaux_as = as;
  audio->aaux_asc = asc;

  if (audio->samples_this_frame < 0) return 0;
  // The blocks are laid out by the pack's system; one that disagrees with
  // the frame's own would address sequences the frame does not have.
  if (system != (decoder->system == e_dv_system_625_50)) return 0;
  return normal_speed(decoder, asc.pc3.speed);
}

int dv_update_num_samples(dv_audio_t *dv_audio, const uint8_t *inbuf) {
  const uint8_t *as_bytes = inbuf + tarsk::aaux_as_offset;
  if (as_bytes[0] != tarsk::aaux_source_id) return 0;
  const dv_aaux_as_t as = tarsk::read_as(as_bytes);
  dv_audio->samples_this_frame =
      std::min(tarsk::dv_audio_samples_per_frame(&as, dv_audio->frequency), dv_audio->max_samples);
  return 1;
}

void dv_dump_aaux_as(void *buffer, int ds, int audio_dif) {
  const uint8_t *pack = static_cast<const uint8_t *>(buffer) + 3;
  if (pack[0] != tarsk::aaux_source_id) {
    tarsk::complain("Missing AAUX AS PACK!\n");
    return;
  }
  const dv_aaux_as_t as = tarsk::read_as(pack);
  // Codes without a rate or a quantisation print as 0 Hz and -1 bits.
  const int freq = as.pc4.smp < 3 ? tarsk::frequency[as.pc4.smp] : 0;
  std::printf("DS %d, Audio DIF %d, AAUX AS pack: ", ds, audio_dif);
  std::printf(as.pc1.lf ? "Unlocked audio" : "Locked audio");
  std::printf(", Sampling ");
  std::printf("%.1f kHz", static_cast<double>(static_cast<float>(freq) / 1000.0f));
  std::printf(" (%d samples, %d fields)", tarsk::dv_audio_samples_per_frame(&as, freq),
              as.pc3.system ? 50 : 60);
  std::printf(", Quantization %d bits", tarsk::quantization[as.pc4.qu]);
  std::printf(", Emphasis %s\n", as.pc4.ef ? "off" : "on");
}

}  // extern "C"
