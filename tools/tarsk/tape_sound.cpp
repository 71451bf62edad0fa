#include "tape_sound.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>

#include "cli.h"

namespace tarsk::cli {

// ---------------------------------------------------------------------------
// Resampler: libsoxr at its high quality (20-bit precision, linear phase),
// 16-bit samples a plane to a channel in and out, without dither so that
// the same input always gives the same output.

struct Resampler::Soxr {
  soxr_t handle = nullptr;
  ~Soxr() {
    if (handle != nullptr) soxr_delete(handle);
  }
};

Resampler::Resampler(int from, int to, int channels)
    : soxr_(std::make_unique<Soxr>()), channels_(channels) {
  soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_S, SOXR_INT16_S);
  io.flags |= SOXR_NO_DITHER;
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  soxr_error_t error = nullptr;
  soxr_->handle =
      soxr_create(from, to, static_cast<unsigned>(channels), &error, &io, &quality, nullptr);
  if (soxr_->handle == nullptr || error != nullptr)
    problem_ = std::string("cannot resample: ") + soxr_strerror(error);
}

Resampler::~Resampler() = default;

double Resampler::delay() const { return soxr_->handle ? soxr_delay(soxr_->handle) : 0; }

bool Resampler::push(const std::vector<std::vector<int16_t>> &in, size_t samples,
                     SoundPlanes &out) {
  if (silence_.size() < samples) silence_.assign(samples, 0);
  std::vector<const int16_t *> planes(static_cast<size_t>(channels_));
  for (size_t c = 0; c < planes.size(); ++c)
    planes[c] = c < in.size() && in[c].size() >= samples ? in[c].data() : silence_.data();
  return run(planes.data(), samples, out);
}

bool Resampler::flush(SoundPlanes &out) { return run(nullptr, 0, out); }

// Feeds the input (null: its end) and takes all that comes out, a few
// thousand samples at a time, until the input is all taken and the
// resampler has no more to give for it.
bool Resampler::run(const int16_t *const *in, size_t samples, SoundPlanes &out) {
  const auto channels = static_cast<size_t>(channels_);
  out.planes.resize(std::max(out.planes.size(), channels));
  std::vector<int16_t *> to(channels);
  size_t used = 0;
  for (;;) {
    constexpr size_t room = 4096;
    for (size_t c = 0; c < channels; ++c) {
      out.planes[c].resize(out.samples + room);
      to[c] = out.planes[c].data() + out.samples;
    }
    std::vector<const int16_t *> from(channels);
    if (in != nullptr)
      for (size_t c = 0; c < channels; ++c) from[c] = in[c] + used;
    size_t taken = 0, made = 0;
    const soxr_error_t error = soxr_process(soxr_->handle, in != nullptr ? from.data() : nullptr,
                                            samples - used, &taken, to.data(), room, &made);
    used += taken;
    out.samples += made;
    for (size_t c = 0; c < channels; ++c) out.planes[c].resize(out.samples);
    if (error != nullptr) {
      problem_ = std::string("cannot resample: ") + soxr_strerror(error);
      return false;
    }
    // Done when the input is all taken and the output did not fill its room.
    if (used == samples && made < room) return true;
  }
}

// ---------------------------------------------------------------------------
// SoundLine.

SoundLine::SoundLine(tarsk_system system, LineSettings settings)
    : system_(system), settings_(settings) {
  if (settings.one_rate) {
    rate_ = settings.rate;
    channels_ = settings.channels;
  }
}

SoundLine::~SoundLine() = default;

uint64_t SoundLine::share(uint64_t frame, int rate) const {
  return samples_before(frame + 1, rate, system_) - samples_before(frame, rate, system_);
}

double SoundLine::held() const {
  return static_cast<double>(ready_.samples) + (resampler_ ? resampler_->delay() : 0.0);
}

bool SoundLine::starts_stretch(const Audio *audio) const {
  return audio != nullptr &&
         (audio->frequency != in_rate_ || static_cast<int>(audio->channels.size()) != in_channels_);
}

// `samples` of `planes` (null: silence) appended to `out` as the line's
// channels: a channel the planes lack is silent, one beyond the line's
// left out.
void SoundLine::append(SoundPlanes &out, const std::vector<std::vector<int16_t>> *planes,
                       size_t samples) {
  const auto channels = static_cast<size_t>(channels_);
  out.planes.resize(std::max(out.planes.size(), channels));
  for (size_t c = 0; c < channels; ++c) {
    auto &plane = out.planes[c];
    plane.resize(out.samples);
    if (planes != nullptr && c < planes->size() && (*planes)[c].size() >= samples)
      plane.insert(plane.end(), (*planes)[c].begin(),
                   (*planes)[c].begin() + static_cast<ptrdiff_t>(samples));
    else
      plane.resize(out.samples + samples, 0);
  }
  out.samples += samples;
}

// Hands out samples made ready up to `upto` of the line (its share of the
// frames so far), keeping the rest for later.
void SoundLine::take_ready(SoundPlanes &out, uint64_t upto) {
  const size_t n = static_cast<size_t>(
      std::min<uint64_t>(ready_.samples, upto > written_ ? upto - written_ : 0));
  append(out, &ready_.planes, n);
  for (auto &plane : ready_.planes)
    plane.erase(plane.begin(), plane.begin() + static_cast<ptrdiff_t>(std::min(n, plane.size())));
  ready_.samples -= n;
  written_ += n;
}

void SoundLine::begin_stretch(int rate, int channels) {
  ++stretches_;
  in_rate_ = rate;
  in_channels_ = channels;
  in_frames_ = 0;
  ready_ = SoundPlanes{};
  resampler_.reset();
  if (!settings_.one_rate) {
    // A file of its own: the stretch's rate and channels, counted afresh.
    rate_ = rate;
    channels_ = channels;
    frames_ = written_ = 0;
    return;
  }
  if (rate_ == 0) rate_ = rate;
  if (channels_ == 0) channels_ = channels;
  if (rate != rate_) {
    // Only the channels the line holds are resampled.
    resampler_ = std::make_unique<Resampler>(rate, rate_, std::min(channels, channels_));
    if (!resampler_->problem().empty()) problem_ = resampler_->problem();
  }
}

// In one file, a stretch ends in step with the pictures: a resampled one
// at its share of the frames exactly (what the resampler made beyond it
// goes, what it made short of it is silence); one at the line's rate
// keeps its own samples, cut or made longer only where they stand more
// than a sample from that share.
bool SoundLine::end_stretch(SoundPlanes &out) {
  if (!settings_.one_rate) return true;
  if (resampler_ && !resampler_->flush(ready_)) {
    problem_ = resampler_->problem();
    return false;
  }
  const uint64_t total = samples_before(frames_, rate_, system_);
  const uint64_t low = resampler_ ? total : total - std::min<uint64_t>(total, 1);
  take_ready(out, resampler_ ? total : total + 1);
  if (written_ < low) {
    append(out, nullptr, static_cast<size_t>(low - written_));
    written_ = low;
  }
  ready_ = SoundPlanes{};
  resampler_.reset();
  return true;
}

bool SoundLine::add(const Audio *audio, SoundPlanes &out) {
  if (starts_stretch(audio)) {
    if (!end_stretch(out)) return false;
    begin_stretch(audio->frequency, static_cast<int>(audio->channels.size()));
    if (!problem_.empty()) return false;
    if (leading_ > 0) {
      // Frames without sound before any: silence at the rate now known.
      const uint64_t silence = samples_before(leading_, rate_, system_);
      append(out, nullptr, static_cast<size_t>(silence));
      frames_ += leading_;
      written_ += silence;
      leading_ = 0;
    }
  }
  if (rate_ == 0 || channels_ == 0) {
    ++leading_;
    return true;
  }
  // The frame's own samples, or silence as long as its share of its
  // stretch (counted from the stretch's start, as a recording's locked
  // counts are) at the rate they come at.
  const int in_rate = resampler_ ? in_rate_ : rate_;
  const uint64_t k = in_rate_ != 0 ? in_frames_++ : frames_;
  const size_t samples = audio == nullptr          ? static_cast<size_t>(share(k, in_rate))
                         : audio->channels.empty() ? 0
                                                   : audio->channels[0].size();
  const std::vector<std::vector<int16_t>> *planes = audio ? &audio->channels : nullptr;
  if (!settings_.one_rate) {  // as they are
    append(out, planes, samples);
    ++frames_;
    written_ += samples;
    return true;
  }
  if (resampler_) {
    static const std::vector<std::vector<int16_t>> none;
    if (!resampler_->push(planes ? *planes : none, samples, ready_)) {
      problem_ = resampler_->problem();
      return false;
    }
  } else {
    append(ready_, planes, samples);
  }
  ++frames_;
  // Handed out up to the frames' share: a resampled stretch's exactly, the
  // rest held back; one at the line's rate may run a sample ahead.
  take_ready(out, samples_before(frames_, rate_, system_) + (resampler_ ? 0 : 1));
  return true;
}

void interleave(const SoundPlanes &sound, int channels, std::vector<int16_t> &out) {
  const auto count = static_cast<size_t>(channels);
  out.assign(sound.samples * count, 0);
  for (size_t c = 0; c < count && c < sound.planes.size(); ++c)
    for (size_t i = 0; i < sound.samples && i < sound.planes[c].size(); ++i)
      out[i * count + c] = sound.planes[c][i];
}

std::string stretch_path(const std::string &path, int n) {
  if (n <= 1) return path;
  const size_t slash = path.rfind('/');
  const size_t name = slash == std::string::npos ? 0 : slash + 1;
  const size_t dot = path.rfind('.');
  std::string tag = std::to_string(n);
  tag.insert(tag.begin(), '-');
  // A dot that starts the name (.sound) is no extension's.
  std::string out = path;
  out.insert(dot == std::string::npos || dot <= name ? out.size() : dot, tag);
  return out;
}

}  // namespace tarsk::cli
