// tarsk.h's decoding service: one object that any number of threads call
// at once. It keeps a pool of decoder contexts, made as calls need them up
// to the settings' `threads`; a call borrows an idle one under the pool's
// lock (waiting while all are busy), decodes on the caller's own thread
// with the lock released, and hands the context back. Every context is
// reset before it decodes, so that a picture depends on its frame alone:
// never on which context, thread or earlier call decoded before it.
#include <tarsk/tarsk.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

namespace {

struct CloseDecoder {
  void operator()(tarsk_decoder *d) const { tarsk_decoder_close(&d); }
};
using DecoderHandle = std::unique_ptr<tarsk_decoder, CloseDecoder>;

}  // namespace

struct tarsk_decode_service {
  tarsk_decoder_settings contexts{};  // the settings, one thread a context
  int most = 1;                       // contexts the pool may hold

  std::mutex mutex;
  std::condition_variable freed;
  std::vector<DecoderHandle> all;     // every context made, for closing
  std::vector<tarsk_decoder *> idle;  // of them those free to borrow
  int opening = 0;                    // being made outside the lock

  // An idle context, or a new one while the pool has room, else waits for
  // one to come back; null with the error of a context that could not be
  // made.
  tarsk_decoder *borrow(int *error) {
    std::unique_lock<std::mutex> lock(mutex);
    freed.wait(lock,
               [&] { return !idle.empty() || static_cast<int>(all.size()) + opening < most; });
    if (!idle.empty()) {
      tarsk_decoder *d = idle.back();
      idle.pop_back();
      return d;
    }
    // Opening a context allocates its buffers: done without the lock, so
    // that other calls borrow and return meanwhile.
    ++opening;
    lock.unlock();
    tarsk_decoder *made = nullptr;
    *error = tarsk_decoder_open(&made, &contexts);
    lock.lock();
    --opening;
    if (*error == TARSK_OK) {
      all.emplace_back(made);  // never past `most`: room reserved at the open
      return made;
    }
    freed.notify_one();  // room again for a waiting call to try
    return nullptr;
  }

  void give_back(tarsk_decoder *d) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      idle.push_back(d);  // never grows past `most`: room reserved when made
    }
    freed.notify_one();
  }
};

namespace {

// A context borrowed for one call, reset, and handed back at the end.
class Lease {
 public:
  explicit Lease(tarsk_decode_service *service) : service_(service) {
    decoder_ = service->borrow(&error_);
    if (decoder_ != nullptr) tarsk_decoder_reset(decoder_);
  }
  ~Lease() {
    if (decoder_ != nullptr) service_->give_back(decoder_);
  }
  Lease(const Lease &) = delete;
  Lease &operator=(const Lease &) = delete;
  tarsk_decoder *decoder() const { return decoder_; }
  int error() const { return error_; }

 private:
  tarsk_decode_service *service_;
  tarsk_decoder *decoder_ = nullptr;
  int error_ = TARSK_OK;
};

}  // namespace

extern "C" {

int tarsk_decode_service_open(tarsk_decode_service **service,
                              const tarsk_decoder_settings *settings) {
  if (service == nullptr) return TARSK_E_BAD_CALL;
  *service = nullptr;
  tarsk_decoder_settings s;
  tarsk_decoder_default_settings(&s);
  if (settings != nullptr) s = *settings;
  // The settings are checked by a decoder's open, `threads` within the
  // bound of a decoder's threads; then the first context is opened, one
  // thread to it, so that a service that opens can decode.
  tarsk_decoder *check = nullptr;
  if (const int opened = tarsk_decoder_open(&check, &s); opened != TARSK_OK) return opened;
  tarsk_decoder_close(&check);
  const int most = s.threads;
  s.threads = 1;
  tarsk_decoder *first = nullptr;
  if (const int opened = tarsk_decoder_open(&first, &s); opened != TARSK_OK) return opened;
  try {
    auto made = std::make_unique<tarsk_decode_service>();
    made->contexts = s;
    made->most = most;
    made->all.reserve(static_cast<size_t>(most));
    made->idle.reserve(static_cast<size_t>(most));
    made->all.emplace_back(first);
    made->idle.push_back(first);
    *service = made.release();
  } catch (const std::bad_alloc &) {
    tarsk_decoder_close(&first);
    return TARSK_E_NO_MEMORY;
  }
  return TARSK_OK;
}

void tarsk_decode_service_close(tarsk_decode_service **service) {
  if (service == nullptr) return;
  delete *service;
  *service = nullptr;
}

int tarsk_decode_service_video(tarsk_decode_service *service, const uint8_t *frame, size_t size,
                               tarsk_picture *picture, tarsk_picture_damage *damage) {
  if (service == nullptr || frame == nullptr || picture == nullptr) return TARSK_E_BAD_CALL;
  const Lease lease(service);
  if (lease.decoder() == nullptr) return lease.error();
  return tarsk_decode_video(lease.decoder(), frame, size, picture, damage);
}

int tarsk_decode_service_frame(tarsk_decode_service *service, const uint8_t *frame, size_t size,
                               tarsk_frame_info *info, tarsk_picture *picture,
                               tarsk_picture_damage *damage, int16_t *samples, size_t capacity,
                               tarsk_audio *audio) {
  if (service == nullptr || frame == nullptr) return TARSK_E_BAD_CALL;
  const Lease lease(service);
  if (lease.decoder() == nullptr) return lease.error();
  return tarsk_decode_frame(lease.decoder(), frame, size, info, picture, damage, samples, capacity,
                            audio);
}

}  // extern "C"
