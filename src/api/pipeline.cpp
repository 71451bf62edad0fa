// The C++ API's frame pipeline: worker threads that each decode whole
// frames through a decoder, segment record and bit reader of their own.
#include <tarsk/tarsk.hpp>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "api/conceal.h"
#include "common/dif.h"
#include "decode/frame.h"

namespace tarsk {

namespace {

struct FreeDecoder {
  void operator()(dv_decoder_t *dv) const { dv_decoder_free(dv); }
};

}  // namespace

struct FramePipeline::Impl {
  // One worker: its decoder and records, and the frame it is given.
  struct Slot {
    std::unique_ptr<dv_decoder_t, FreeDecoder> dv;
    std::unique_ptr<dv_videosegment_t> seg = std::make_unique<dv_videosegment_t>();
    bitstream_t bs{};
    std::span<const uint8_t> frame;
    std::span<uint8_t> out;
    size_t pitch = 0;
    FrameDamage damage;
    enum class State { idle, busy, done } state = State::idle;
    Expected<void> result;
    std::thread thread;
  };

  Impl(int threads, const Settings &s)
      : settings(s), slots(static_cast<size_t>(std::max(threads, 1))) {
    for (Slot &slot : slots) {
      slot.dv.reset(dv_decoder_new(s.ntsc_setup, s.clamp_luma, s.clamp_chroma));
      if (!slot.dv) continue;
      dv_set_error_log(slot.dv.get(), nullptr);
      slot.dv->arg_video_system = s.video_system;
      slot.damage.conceal = s.conceal;
    }
    for (Slot &slot : slots) slot.thread = std::thread([this, &slot] { work(slot); });
  }
  ~Impl() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stop = true;
    }
    changed.notify_all();
    for (Slot &slot : slots) slot.thread.join();
  }

  Expected<void> decode(Slot &slot) {
    dv_decoder_t *dv = slot.dv.get();
    if (dv == nullptr) return Error{Errc::io, "out of memory for a decoder"};
    if (auto checked = check_frame(slot.frame); !checked) return checked.error();
    if (dv_parse_header(dv, slot.frame.data()) < 0 || slot.frame.size() != dv->frame_size)
      return Error{Errc::bad_frame, "the frame's header block does not parse"};
    dv->quality = settings.quality;
    const size_t line = static_cast<size_t>(dv->width) * Decoder::bytes_per_pixel(settings.space);
    const size_t pitch = slot.pitch == 0 ? line : slot.pitch;
    if (pitch < line || slot.out.size() < pitch * static_cast<size_t>(dv->height - 1) + line)
      return Error{Errc::bad_buffer, "picture buffer too small"};
    decode_segments(dv, slot.frame.data(),
                    output::packed_target(settings.space, slot.out.data(), static_cast<int>(pitch)),
                    slot.seg.get(), &slot.bs, 0, dv->num_dif_seqs * dif::segments_per_sequence, &slot.damage);
    return {};
  }

  void work(Slot &slot) {
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return stop || slot.state == Slot::State::busy; });
        if (stop) return;
      }
      Expected<void> result = decode(slot);
      {
        std::lock_guard<std::mutex> lock(mutex);
        slot.result = std::move(result);
        slot.state = Slot::State::done;
      }
      changed.notify_all();
    }
  }

  Settings settings;
  std::vector<Slot> slots;
  std::mutex mutex;
  std::condition_variable changed;
  bool stop = false;
  uint64_t submitted = 0, collected = 0;
  PreviousPicture previous;  // of the frames collected, in stream order
};

FramePipeline::FramePipeline(int threads, Settings settings)
    : impl_(std::make_unique<Impl>(threads, settings)) {}
FramePipeline::~FramePipeline() = default;

int FramePipeline::depth() const { return static_cast<int>(impl_->slots.size()); }
int FramePipeline::in_flight() const {
  return static_cast<int>(impl_->submitted - impl_->collected);
}

Expected<void> FramePipeline::submit(std::span<const uint8_t> frame, std::span<uint8_t> out,
                                     size_t pitch) {
  if (in_flight() >= depth())
    return Error{Errc::bad_buffer, "every thread has a frame: collect first"};
  Impl::Slot &slot = impl_->slots[impl_->submitted % impl_->slots.size()];
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    slot.frame = frame;
    slot.out = out;
    slot.pitch = pitch;
    slot.state = Impl::Slot::State::busy;
  }
  ++impl_->submitted;
  impl_->changed.notify_all();
  return {};
}

Expected<PictureDamage> FramePipeline::collect() {
  if (in_flight() == 0) return Error{Errc::bad_buffer, "no frame in flight"};
  Impl::Slot &slot = impl_->slots[impl_->collected % impl_->slots.size()];
  std::unique_lock<std::mutex> lock(impl_->mutex);
  impl_->changed.wait(lock, [&] { return slot.state == Impl::Slot::State::done; });
  slot.state = Impl::Slot::State::idle;
  ++impl_->collected;
  lock.unlock();  // the slot stays idle until the next submit, on this thread
  if (!slot.result) return slot.result.error();
  const size_t line =
      static_cast<size_t>(slot.dv->width) * Decoder::bytes_per_pixel(impl_->settings.space);
  return conceal_picture(impl_->previous, slot.dv.get(), impl_->settings.space, slot.damage,
                         slot.out.data(), slot.pitch == 0 ? line : slot.pitch);
}

}  // namespace tarsk
