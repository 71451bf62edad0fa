// The C++ API's threaded frame decoding: worker threads made once, each
// with a segment record and bit reader of its own, decoding DIF sequences
// of the same frame at the same time.
#include <tarsk/tarsk.hpp>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/dif.h"
#include "decode/frame.h"

namespace tarsk {

struct FrameWorkers::Impl {
  struct Job {
    dv_decoder_t *dv;
    const uint8_t *frame;
    dv_color_space_t space;
    uint8_t *pixels;
    int pitch;
  };
  struct Part {
    std::unique_ptr<dv_videosegment_t> seg = std::make_unique<dv_videosegment_t>();
    bitstream_t bs{};
  };

  explicit Impl(int n) : parts(static_cast<size_t>(n)) {
    for (int i = 1; i < n; ++i) workers.emplace_back([this, i] { work(i); });
  }
  ~Impl() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
    }
    wake.notify_all();
    for (std::thread &t : workers) t.join();
  }

  // Each thread takes the next video segment not yet taken, so that busy
  // parts of the picture do not hold one thread up while another idles,
  // and the threads finish a frame within a segment of each other. Every
  // segment writes its own macroblocks only.
  void run(int i) {
    const Job j = job;
    uint8_t *pixels[1] = {j.pixels};
    int pitches[1] = {j.pitch};
    Part &part = parts[static_cast<size_t>(i)];
    const int segments = j.dv->num_dif_seqs * dif::segments_per_sequence;
    for (int n; (n = next_segment.fetch_add(1, std::memory_order_relaxed)) < segments;)
      decode_segments(j.dv, j.frame, j.space, pixels, pitches, part.seg.get(), &part.bs, n, n + 1);
  }

  void work(int i) {
    uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [&] { return stop || generation != seen; });
        if (stop) return;
        seen = generation;
      }
      run(i);
      std::lock_guard<std::mutex> lock(mutex);
      if (--pending == 0) done.notify_one();
    }
  }

  void decode(const Job &j) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      job = j;
      next_segment.store(0, std::memory_order_relaxed);
      pending = static_cast<int>(parts.size()) - 1;
      ++generation;
    }
    wake.notify_all();
    run(0);
    std::unique_lock<std::mutex> lock(mutex);
    done.wait(lock, [this] { return pending == 0; });
  }

  std::vector<Part> parts;
  std::vector<std::thread> workers;
  std::mutex mutex;
  std::condition_variable wake, done;
  Job job{};
  std::atomic<int> next_segment{0};
  int pending = 0;
  uint64_t generation = 0;
  bool stop = false;
};

FrameWorkers::FrameWorkers(int threads) : impl_(std::make_unique<Impl>(std::max(threads, 1))) {}
FrameWorkers::~FrameWorkers() = default;

int FrameWorkers::threads() const { return static_cast<int>(impl_->parts.size()); }
bool FrameWorkers::ready() const { return impl_ != nullptr; }

void FrameWorkers::decode(dv_decoder_t *dv, const uint8_t *frame, dv_color_space_t space,
                          uint8_t *pixels, int pitch) {
  impl_->decode({dv, frame, space, pixels, pitch});
}

}  // namespace tarsk
