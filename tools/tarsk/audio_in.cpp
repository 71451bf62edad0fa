#include "audio_in.h"

#include <algorithm>
#include <cmath>

namespace tarsk::cli {

namespace {

bool rate_dv_carries(int rate) { return rate == 48000 || rate == 44100 || rate == 32000; }

// Full scale of a float sample is 1.0; 16 bits reach 32767 up and -32768
// down, so the product is clipped and rounded to the nearest. Clipped
// first: a value past what a long holds has no rounding (lround gives an
// unspecified value, LONG_MIN here, for 1e30). A NaN is silence.
int16_t sixteen_bits(float v) {
  const double s = static_cast<double>(v) * 32768.0;
  if (std::isnan(s)) return 0;
  return static_cast<int16_t>(std::lround(std::clamp(s, -32768.0, 32767.0)));
}

}  // namespace

AudioInput::~AudioInput() {
  if (file_ != nullptr) sf_close(file_);
}

Result<std::unique_ptr<AudioInput>> AudioInput::open(const std::string &path,
                                                     bool four_channels) {
  std::unique_ptr<AudioInput> input(new AudioInput);
  input->name_ = path == "-" ? "standard input" : path;
  SF_INFO info{};
  input->file_ = sf_open(path.c_str(), SFM_READ, &info);  // libsndfile reads "-" as stdin
  if (input->file_ == nullptr)
    return Failure{input->name_ + ": cannot read its sound: " + sf_strerror(nullptr)};
  const std::string &name = input->name_;
  if (!rate_dv_carries(info.samplerate))
    return Failure{name + ": sound at " + std::to_string(info.samplerate) +
                   " Hz; DV carries 48000, 44100 or 32000 Hz: resample it, e.g. with "
                   "ffmpeg's -ar 48000"};
  if (info.channels > 2 && !(four_channels && info.channels == 4))
    return Failure{name + ": sound of " + std::to_string(info.channels) + " channels; this takes " +
                   (four_channels ? "mono, stereo or four channels (two stereo pairs)"
                                  : "mono or stereo (four channels with --audio-bits 12, as "
                                    "the only --audio)") +
                   ": mix it down, e.g. with ffmpeg's -ac 2"};
  input->rate_ = info.samplerate;
  input->channels_ = info.channels;
  const int subtype = info.format & SF_FORMAT_SUBMASK;
  input->floating_ = subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
  return input;
}

sf_count_t AudioInput::read_floats(int16_t *out, sf_count_t frames) {
  floats_.resize(static_cast<size_t>(frames) * static_cast<size_t>(channels_));
  const sf_count_t got = sf_readf_float(file_, floats_.data(), frames);
  for (size_t i = 0; i < static_cast<size_t>(got) * static_cast<size_t>(channels_); ++i)
    out[i] = sixteen_bits(floats_[i]);
  return got;
}

Result<std::vector<int16_t>> AudioInput::read(size_t frames) {
  const auto width = static_cast<size_t>(this->width());
  std::vector<int16_t> samples(frames * width);
  const auto wanted = static_cast<sf_count_t>(frames);
  const sf_count_t got = floating_ ? read_floats(samples.data(), wanted)
                                   : sf_readf_short(file_, samples.data(), wanted);
  if (got < wanted && sf_error(file_) != SF_ERR_NO_ERROR)
    return Failure{name_ + ": cannot read the sound after sample " + std::to_string(read_) + ": " +
                   sf_strerror(file_)};
  const auto n = static_cast<size_t>(got);
  if (channels_ == 1)  // back to front, so that no sample is overwritten before it is copied
    for (size_t i = n; i-- > 0;) samples[2 * i] = samples[2 * i + 1] = samples[i];
  samples.resize(n * width);
  read_ += n;
  return samples;
}

Result<SoundFiles> SoundFiles::open(const std::vector<std::string> &paths, int bits) {
  SoundFiles sound;
  const bool twelve = bits == 12;
  for (const std::string &path : paths) {
    // A file of four channels is both pairs: alone.
    auto in = AudioInput::open(path, twelve && paths.size() == 1);
    if (!in) return in.error();
    const std::string name = path == "-" ? "standard input" : path;
    if (twelve && (*in)->rate() != 32000)
      return Failure{name + ": sound at " + std::to_string((*in)->rate()) +
                     " Hz; 12-bit sound is 32000 Hz: resample it, e.g. with ffmpeg's -ar 32000"};
    if (!sound.files_.empty() && (*in)->rate() != sound.rate_)
      return Failure{name + ": sound at " + std::to_string((*in)->rate()) + " Hz, " +
                     sound.files_[0].name + " at " + std::to_string(sound.rate_) +
                     " Hz: the two pairs must have the same rate"};
    sound.rate_ = (*in)->rate();
    sound.channels_ = (*in)->width();
    sound.files_.push_back(File{std::move(*in), name});
  }
  if (sound.files_.size() == 2) sound.channels_ = 4;
  return sound;
}

Result<std::vector<int16_t>> SoundFiles::next(size_t frames) {
  const auto width = static_cast<size_t>(channels_);
  std::vector<int16_t> out(frames * width, 0);
  for (size_t f = 0; f < files_.size(); ++f) {
    File &file = files_[f];
    if (file.ended) continue;
    auto got = file.input->read(frames);
    if (!got) return got.error();
    const auto from = static_cast<size_t>(file.input->width());
    const size_t n = got->size() / from;
    file.ended = n < frames;
    // The second file is the second pair: channels 2 and 3.
    for (size_t i = 0; i < n; ++i)
      for (size_t c = 0; c < from; ++c) out[i * width + 2 * f + c] = (*got)[i * from + c];
  }
  return out;
}

}  // namespace tarsk::cli
