// The C++ API's threaded frame decoding: a crew of threads made once, each
// with a segment record and bit reader of its own, decoding the video
// segments of the same frame at the same time.
#include <tarsk/tarsk.hpp>

#include <atomic>

#include "api/crew.h"
#include "common/dif.h"
#include "decode/frame.h"

namespace tarsk {

struct FrameWorkers::Impl {
  struct Part {
    std::unique_ptr<dv_videosegment_t> seg = std::make_unique<dv_videosegment_t>();
    bitstream_t bs{};
  };

  explicit Impl(int n) : parts(static_cast<size_t>(n)), crew(n) {}

  // Each thread takes the next video segment not yet taken, so that busy
  // parts of the picture do not hold one thread up while another idles,
  // and the threads finish a frame within a segment of each other. Every
  // segment writes its own macroblocks only.
  void decode(dv_decoder_t *dv, const uint8_t *frame, dv_color_space_t space, uint8_t *pixels,
              int pitch, FrameDamage *damage) {
    next_segment.store(0, std::memory_order_relaxed);
    const int segments = dv->num_dif_seqs * dif::segments_per_sequence;
    auto task = [&](int i) {
      const auto target = output::packed_target(space, pixels, pitch);
      Part &part = parts[static_cast<size_t>(i)];
      for (int n; (n = next_segment.fetch_add(1, std::memory_order_relaxed)) < segments;)
        decode_segments(dv, frame, target, part.seg.get(), &part.bs, n, n + 1,
                        damage);
    };
    crew.run(task);
  }

  std::vector<Part> parts;
  Crew crew;
  std::atomic<int> next_segment{0};
};

FrameWorkers::FrameWorkers(int threads) : impl_(std::make_unique<Impl>(std::max(threads, 1))) {}
FrameWorkers::~FrameWorkers() = default;

int FrameWorkers::threads() const { return static_cast<int>(impl_->parts.size()); }
bool FrameWorkers::ready() const { return impl_ != nullptr; }

void FrameWorkers::decode(dv_decoder_t *dv, const uint8_t *frame, dv_color_space_t space,
                          uint8_t *pixels, int pitch, FrameDamage *damage) {
  impl_->decode(dv, frame, space, pixels, pitch, damage);
}

}  // namespace tarsk
