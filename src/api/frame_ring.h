// Frame threads: worker threads that each take a whole frame at a time,
// from a ring of TARSK_FRAMES_PER_THREAD slots a thread. The caller fills
// the next free slot and sends it; the threads take the sent slots in the
// order they were sent; the caller takes them back in that same order,
// waiting for the oldest to be done. With two slots a thread, a thread that
// finishes a frame finds the next one waiting while the caller is still
// busy with the oldest. tarsk.h's decoder and encoder run their send and
// receive calls on it.
#pragma once

#include <tarsk/tarsk.h>

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/log.h"

namespace tarsk::api {

template <typename Slot>
class FrameRing {
 public:
  // work(slot, thread) does a sent slot's frame on thread `thread`, 0 ..
  // threads - 1 (for what each thread keeps of its own). Throws
  // std::system_error when the threads cannot be had.
  FrameRing(int threads, LogHook log, std::function<void(Slot &, int)> work)
      : entries_(static_cast<size_t>(TARSK_FRAMES_PER_THREAD * threads)),
        log_(log),
        work_(std::move(work)) {
    threads_.reserve(static_cast<size_t>(threads));
    try {
      for (int t = 0; t < threads; ++t) threads_.emplace_back([this, t] { run(t); });
    } catch (...) {
      stop();
      throw;
    }
  }
  FrameRing(const FrameRing &) = delete;
  FrameRing &operator=(const FrameRing &) = delete;
  // Waits for the frames being worked on; those only sent are dropped.
  ~FrameRing() { stop(); }

  size_t size() const { return entries_.size(); }
  Slot &slot(size_t i) { return entries_[i].slot; }

  // Every slot in flight: take one back before the next send.
  bool full() const { return sent_ - taken_ >= entries_.size(); }
  bool empty() const { return sent_ == taken_; }
  // The slot the next send hands over, to be filled first (not full()).
  Slot &next() { return entries_[sent_ % entries_.size()].slot; }
  void send() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      entries_[sent_ % entries_.size()].state = State::waiting;
      ++sent_;
    }
    changed_.notify_all();
  }
  // Waits for the oldest slot in flight (not empty()) and gives it back;
  // it stays as the thread left it until a send takes it again.
  Slot &take() {
    Entry &entry = entries_[taken_ % entries_.size()];
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return entry.state == State::done; });
    entry.state = State::idle;
    ++taken_;
    return entry.slot;
  }

 private:
  enum class State { idle, waiting, busy, done };
  struct Entry {
    Slot slot{};
    State state = State::idle;
  };

  void run(int thread) {
    const LogScope scope(log_);  // the frames' messages, from this thread too
    for (;;) {
      Entry *entry;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || started_ < sent_; });
        if (stop_) return;
        entry = &entries_[started_ % entries_.size()];
        entry->state = State::busy;
        ++started_;
      }
      work_(entry->slot, thread);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        entry->state = State::done;
      }
      changed_.notify_all();
    }
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread &thread : threads_) thread.join();
  }

  std::vector<Entry> entries_;
  LogHook log_;
  std::function<void(Slot &, int)> work_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stop_ = false;
  // Slots sent, taken by a thread and taken back; sent_ changes under the
  // lock (the threads read it), taken_ only on the caller's thread.
  uint64_t sent_ = 0, started_ = 0, taken_ = 0;
};

}  // namespace tarsk::api
