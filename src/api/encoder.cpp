// tarsk::Encoder: pictures given as planes, at the stream's own chroma
// sampling or at 4:2:2, into whole DV frames, on one thread or several.
//
// The C encoder keeps a 4:2:2 picture (360 chroma samples a line on every
// line) and brings its chroma to the stream's sampling by averaging pairs:
// the two lines of a pair for 625/50 (4:2:0), two neighbouring samples of a
// line for 525/60 (4:1:1). A picture already at the stream's sampling is
// therefore given to it with each chroma sample written twice, across the
// pair of lines or along the line: the mean of two equal values is that
// value, so its chroma reaches the frame as it came, filtered by nobody.
#include <algorithm>
#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <tarsk/tarsk.hpp>

#include "api/crew.h"
#include "common/dif.h"
#include "dsp/dsp.h"
#include "encode/encode.h"

namespace tarsk {
namespace {

constexpr int width = 720, chroma_422_width = 360;

int16_t scaled(uint8_t v) { return static_cast<int16_t>(2 * (v - 128)); }

// Chroma samples a line and chroma lines of a picture of `lines` lines.
struct ChromaShape {
  int columns, lines;
};

std::optional<ChromaShape> chroma_shape(dv_sample_t sampling, bool pal, int lines) {
  switch (sampling) {
    case e_dv_sample_422:
      return ChromaShape{chroma_422_width, lines};
    case e_dv_sample_420:
      if (pal) return ChromaShape{chroma_422_width, lines / 2};
      return std::nullopt;
    case e_dv_sample_411:
      if (!pal) return ChromaShape{width / 4, lines};
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

// Lines [first, end) of one chroma plane into the encoder's 4:2:2 plane
// (360 x lines): line l of the encoder's takes line l * shape.lines / lines
// of the picture's, and sample s the sample s * shape.columns / 360 of that
// line.
void fill_chroma(std::span<const uint8_t> from, ChromaShape shape, int lines, int first, int end,
                 int16_t *to) {
  const int line_repeat = lines / shape.lines, sample_repeat = chroma_422_width / shape.columns;
  for (int l = first; l < end; ++l) {
    const uint8_t *line = from.data() + static_cast<size_t>(l / line_repeat) * shape.columns;
    int16_t *out = to + static_cast<size_t>(l) * chroma_422_width;
    // The repeats the samplings make have kernels of their own.
    if (sample_repeat == 1)
      dsp::dsp().encode.to_encoder_scale(line, out, chroma_422_width);
    else if (sample_repeat == 2)
      dsp::dsp().encode.to_encoder_scale_doubled(line, out, chroma_422_width / 2);
    else
      for (int s = 0; s < chroma_422_width; ++s) out[s] = scaled(line[s / sample_repeat]);
  }
}

std::string sampling_text(dv_sample_t sampling) {
  switch (sampling) {
    case e_dv_sample_411:
      return "4:1:1";
    case e_dv_sample_420:
      return "4:2:0";
    case e_dv_sample_422:
      return "4:2:2";
    default:
      return "an unknown sampling";
  }
}

}  // namespace

// The threads of a multi-threaded encoder, and a segment record for each.
struct Encoder::Workers {
  explicit Workers(int threads) : crew(threads), segments(static_cast<size_t>(threads)) {
    for (auto &seg : segments) seg = std::make_unique<dv_videosegment_t>();
  }
  Crew crew;
  std::vector<std::unique_ptr<dv_videosegment_t>> segments;
  std::atomic<int> next{0};
};

Encoder::Encoder(const EncodeSettings &settings)
    : settings_(settings), enc_(dv_encoder_new(0, 0, 0)) {
  if (enc_ == nullptr) return;
  if (settings.threads > 1) workers_ = std::make_unique<Workers>(settings.threads);
  enc_->isPAL = settings.system == e_dv_system_625_50;
  enc_->is16x9 = settings.wide;
  enc_->vlc_encode_passes = settings.passes;
  enc_->static_qno = settings.static_qno;
  enc_->force_dct = settings.force_dct;
  // The frame writer runs the clock on by a second at the first frame of
  // every second, the very first included: a second behind, frame 0 shows
  // the date itself.
  clock_ = settings.date.value_or(std::time(nullptr)) - 1;
}

Encoder::~Encoder() { dv_encoder_free(enc_); }

// An encoder whose C record could not be made (out of memory) refuses
// every frame.
Error Encoder::no_encoder() { return Error{Errc::io, "out of memory for an encoder"}; }

Expected<void> Encoder::encode(const PicturePlanes &picture, std::span<uint8_t> frame) {
  if (enc_ == nullptr) return no_encoder();
  const bool pal = enc_->isPAL != 0;
  const int lines = pal ? 576 : 480;
  const auto shape = chroma_shape(picture.sampling, pal, lines);
  if (!shape)
    return Error{Errc::bad_picture, sampling_text(picture.sampling) + " chroma does not go into " +
                                        (pal ? "625/50" : "525/60") +
                                        " frames: give the stream's own sampling or 4:2:2"};
  const size_t luma = static_cast<size_t>(width) * lines;
  const size_t chroma = static_cast<size_t>(shape->columns) * shape->lines;
  if (picture.y.size() != luma || picture.cb.size() != chroma || picture.cr.size() != chroma)
    return Error{Errc::bad_picture, "the planes are not those of a 720x" + std::to_string(lines) +
                                        " " + sampling_text(picture.sampling) + " picture"};
  if (frame.size() < frame_bytes()) return Error{Errc::bad_buffer, "frame buffer too small"};
  const bool best = settings_.quality == EncodeQuality::best;
  if (best && (settings_.passes != 3 || settings_.static_qno != 0))
    return Error{Errc::bad_settings,
                 "the best quality searches the whole segment: it takes passes 3 and static qno 0"};
  const auto to_planes = [&](int first, int end) {
    dsp::dsp().encode.to_encoder_scale(picture.y.data() + static_cast<ptrdiff_t>(first) * width,
                                       enc_->img_y + static_cast<ptrdiff_t>(first) * width,
                                       (end - first) * width);
    fill_chroma(picture.cb, *shape, lines, first, end, enc_->img_cb);
    fill_chroma(picture.cr, *shape, lines, first, end, enc_->img_cr);
  };
  if (!workers_) {
    to_planes(0, lines);
    encode_planes(enc_, frame.data(), best);
    return stamp(frame);
  }
  // Each thread takes a share of the lines into the planes, then the next
  // video segment not yet taken until none is left; each keeps a tally of
  // its own, added to the process-wide counters once, so that the totals
  // are those of one thread.
  Workers &w = *workers_;
  const int parts = w.crew.size();
  auto convert = [&](int part) { to_planes(lines * part / parts, lines * (part + 1) / parts); };
  w.crew.run(convert);
  begin_planes(enc_, frame.data());
  const int segments = frame_segments(enc_);
  w.next.store(0, std::memory_order_relaxed);
  auto encode_segments = [&](int part) {
    EncodeStats stats{};
    dv_videosegment_t *seg = w.segments[static_cast<size_t>(part)].get();
    for (int n; (n = w.next.fetch_add(1, std::memory_order_relaxed)) < segments;)
      encode_planes_segment(enc_, frame.data(), n, seg, stats, best);
    add_encode_statistics(stats);
  };
  w.crew.run(encode_segments);
  return stamp(frame);
}

Expected<void> Encoder::stamp(std::span<uint8_t> frame) {
  if (enc_ == nullptr) return no_encoder();
  if (frame.size() < frame_bytes()) return Error{Errc::bad_buffer, "frame buffer too small"};
  const int n = enc_->frame_count;
  _dv_write_meta_data(frame.data(), n, enc_->isPAL, enc_->is16x9, &clock_);
  // Past the largest time code an int holds, frames carry none.
  const long long timecode = static_cast<long long>(settings_.timecode) + n;
  dv_encode_timecode(frame.data(), enc_->isPAL,
                     timecode > INT_MAX ? -1 : static_cast<int>(timecode));
  count_frame(enc_);
  return {};
}

int Encoder::audio_samples(int rate, uint64_t frame) {
  if (enc_ == nullptr) return 0;
  return dv_calculate_samples(enc_, rate, static_cast<int>(frame));
}

Expected<void> Encoder::encode_audio(std::span<const int16_t> stereo, int rate,
                                     std::span<uint8_t> frame) {
  if (enc_ == nullptr) return no_encoder();
  // Every sample position of a frame, the most any frame carries.
  constexpr size_t positions_625 = 1944, positions_525 = 1620;
  const size_t positions = enc_->isPAL ? positions_625 : positions_525;
  const size_t samples = stereo.size() / 2;
  if (frame.size() < frame_bytes()) return Error{Errc::bad_buffer, "frame buffer too small"};
  if (stereo.size() % 2 != 0 || samples == 0 || samples > positions)
    return Error{Errc::bad_audio,
                 std::to_string(stereo.size()) + " samples are not the stereo sound of a frame"};
  std::array<std::vector<int16_t>, 2> channels;
  for (auto &c : channels) c.assign(positions, 0);
  for (size_t i = 0; i < samples; ++i) {
    channels[0][i] = stereo[2 * i];
    channels[1][i] = stereo[2 * i + 1];
  }
  int16_t *pcm[2] = {channels[0].data(), channels[1].data()};
  enc_->samples_this_frame = static_cast<int>(samples);
  if (dv_encode_full_audio(enc_, pcm, 2, rate, frame.data()) != 0)
    return Error{Errc::bad_audio, "a frame cannot carry " + std::to_string(samples) +
                                      " samples at " + std::to_string(rate) + " Hz"};
  return {};
}

}  // namespace tarsk
