// The batch encode loop: numbered pictures through a video input filter,
// sound through an audio input filter, each frame handed to an output
// filter.
#include <tarsk/dv.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "classic/statistics.h"
#include "common/dif.h"
#include "common/log.h"
#include "encode/encode.h"

namespace tarsk {
namespace {

// The encode loop's thinning of the picture rate to `fps` pictures a
// second (0: the system's own). A 16.16 accumulator gains what each frame
// falls short of a whole picture; when it passes one, the frame repeats the
// previous picture instead of encoding its own. A rate above the system's
// counts as the system's: every frame is encoded and the accumulator stays
// at 0, however long the run (uncapped it would fall by a fixed amount per
// frame and overflow after some hundreds of frames at a high rate).
class RateThinner {
 public:
  explicit RateThinner(int fps);
  // Whether the next frame of the system (pal: 625/50) gets its own picture.
  bool next(bool pal);

 private:
  static constexpr int one = 65536;
  int step_625_, step_525_;
  int accumulator_ = 0;
};

// The 16.16 step of a frame at fps pictures a second in a system of
// `rate` frames a second, at most one whole picture.
int thinning_step(int fps, int rate) {
  if (fps <= 0 || fps >= rate) return 65536;
  return static_cast<int>(static_cast<long long>(fps) * 65536 / rate);
}

RateThinner::RateThinner(int fps)
    : step_625_(thinning_step(fps, 25)), step_525_(thinning_step(fps, 30)) {}

bool RateThinner::next(bool pal) {
  accumulator_ += one - (pal ? step_625_ : step_525_);
  if (accumulator_ < one) return true;
  accumulator_ -= one;
  return false;
}

// What the loop works with. The audio record (15.5 kB) and the frame live
// on the heap; one frame buffer serves every frame, so that a thinned
// frame repeats the picture the buffer still holds.
struct Job {
  Job(dv_enc_input_filter_t *in, dv_enc_audio_input_filter_t *audio_in, dv_enc_output_filter_t *out,
      const char *pattern, int verbose_mode)
      : input(in), audio_input(audio_in), output(out), filename(pattern), verbose(verbose_mode) {}
  dv_enc_input_filter_t *input;
  dv_enc_audio_input_filter_t *audio_input;
  dv_enc_output_filter_t *output;
  const char *filename;
  int verbose;
  std::vector<uint8_t> frame = std::vector<uint8_t>(dif::frame_size(true));
  std::unique_ptr<dv_enc_audio_info_t> audio = std::make_unique<dv_enc_audio_info_t>();
  char name[1024] = {};
  // The system of the pictures: -1 until a filter has read one.
  int isPAL = -1;
  // Frames whose sound is still to be read: sound skipped before the
  // system is known would be read at the wrong frame rate.
  int audio_owed = 0;
};

// The loop gives a caller's file name pattern one argument, the picture
// number (an int): the pattern must hold exactly one conversion of an int
// (d, i, o, u, x or X with flags, width and precision as digits), besides
// "%%", or printf would read arguments that are not there.
bool takes_one_int(const char *pattern) {
  int conversions = 0;
  for (const char *p = pattern; *p != '\0'; ++p) {
    if (*p != '%') continue;
    if (*++p == '%') continue;
    while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) ++p;
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
    if (*p == '.')
      while (std::isdigit(static_cast<unsigned char>(*++p))) {
      }
    if (*p == '\0' || std::strchr("diouxX", *p) == nullptr) return false;
    ++conversions;
  }
  return conversions == 1;
}

bool format_name(Job &job, int n) {
  const int length = std::snprintf(job.name, sizeof job.name, job.filename, n);
  if (length >= 0 && static_cast<size_t>(length) < sizeof job.name) return true;
  log(LogLevel::error, "The file name of picture %d does not fit %zu bytes\n", n,
      sizeof job.name - 1);
  return false;
}

// Reads the sound of every frame passed so far, once the system is known.
bool catch_up_audio(Job &job) {
  if (job.audio_input == nullptr) return true;
  for (; job.audio_owed > 0 && job.isPAL != -1; --job.audio_owed)
    if (job.audio_input->load(job.audio.get(), job.isPAL) < 0) return false;
  return true;
}

bool open_audio(Job &job, const char *audio_filename) {
  if (job.audio_input == nullptr) return true;
  dv_enc_audio_info_t &a = *job.audio;
  if (job.audio_input->init(audio_filename, &a) < 0) return false;
  if (job.verbose)
    log(LogLevel::info,
        "Opening audio source with:\nChannels: %d\nFrequency: %d\nBytes per second: "
        "%d\nByte alignment: %d\nBits per sample: %d\n",
        a.channels, a.frequency, a.bytespersecond, a.bytealignment, a.bitspersample);
  return true;
}

// The pictures before `start`: passed over, and their sound with them.
bool skip_to(Job &job, int start) {
  if (job.verbose && start > 0)
    log(LogLevel::info, "Skipping %d frames (video and audio!!!)\n", start);
  for (int n = 0; n < start; ++n) {
    if (!format_name(job, n) || job.input->skip(job.name, &job.isPAL) < 0) return false;
    ++job.audio_owed;
    if (!catch_up_audio(job)) return false;
  }
  return true;
}

// A frame's picture through the encoder, its tally added to the
// process-wide counters. The loop runs one at a time in a process, so one
// segment record serves every frame.
void encode_picture(Job &job, int passes, int static_qno) {
  static dv_videosegment_t seg;
  EncodeStats stats{};
  encode(job.input, job.isPAL, job.frame.data(), passes, static_qno, &seg, stats);
  add_encode_statistics(stats);
}

// Frame n: its picture (or the previous one again, when the rate is
// thinned), its sound, and the output. The first picture is read before
// the frame's step is taken, so that its system decides the step and the
// rate of the sound.
bool do_frame(Job &job, int n, RateThinner &thinner, int passes, int static_qno, int is16x9,
              time_t now) {
  if (!format_name(job, n)) return false;
  const bool loaded = job.isPAL == -1;
  if (loaded && job.input->load(job.name, &job.isPAL) < 0) return false;
  const bool fresh = thinner.next(job.isPAL != 0);
  if (!loaded) {
    const int r =
        fresh ? job.input->load(job.name, &job.isPAL) : job.input->skip(job.name, &job.isPAL);
    if (r < 0) return false;
  }
  if (job.audio_input != nullptr) {
    ++job.audio_owed;
    if (!catch_up_audio(job)) return false;
  }
  if (fresh) encode_picture(job, passes, static_qno);
  dv_enc_audio_info_t *audio = job.audio_input != nullptr ? job.audio.get() : nullptr;
  if (job.output->store(job.frame.data(), audio, 0, job.isPAL, is16x9, now) < 0) return false;
  if (job.verbose) log(LogLevel::info, fresh ? "[%d] " : "_%d_ ", n);
  return true;
}

}  // namespace
}  // namespace tarsk

extern "C" {

int dv_encoder_loop(dv_enc_input_filter_t *input, dv_enc_audio_input_filter_t *audio_input,
                    dv_enc_output_filter_t *output, int start, int end, const char *filename,
                    const char *audio_filename, int vlc_encode_passes, int static_qno,
                    int verbose_mode, int fps, int is16x9) {
  using namespace tarsk;
  // Settings that cannot work are refused before anything is read.
  if (input == nullptr || output == nullptr || filename == nullptr) {
    tarsk::log(tarsk::LogLevel::error,
               "dv_encoder_loop needs a video input filter, an output filter and a "
               "file name pattern\n");
    return -1;
  }
  if (std::strcmp(filename, "-") != 0 && !takes_one_int(filename)) {
    tarsk::log(tarsk::LogLevel::error,
               "The file name pattern %s needs exactly one conversion of the picture number "
               "(such as %%04d) and no other\n",
               filename);
    return -1;
  }
  if (vlc_encode_passes < 1 || vlc_encode_passes > 3) {
    tarsk::log(tarsk::LogLevel::error, "Invalid value for vlc_encode_passes specified: %d!\n",
               vlc_encode_passes);
    return -1;
  }
  if (fps < 0) {
    tarsk::log(tarsk::LogLevel::error, "Invalid frame rate: %d\n", fps);
    return -1;
  }
  Job job(input, audio_input, output, filename, verbose_mode);
  RateThinner thinner(fps);
  const time_t now = std::time(nullptr);
  if (!open_audio(job, audio_filename) || !skip_to(job, start)) return -1;
  for (int n = start; n <= end; ++n) {
    if (!do_frame(job, n, thinner, vlc_encode_passes, static_qno, is16x9, now)) return -1;
    if (n == end) break;  // end may be INT_MAX
  }
  return 0;
}

}  // extern "C"
