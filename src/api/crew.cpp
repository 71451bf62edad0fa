#include "api/crew.h"

namespace tarsk {

Crew::Crew(int size) {
  for (int part = 1; part < size; ++part) workers_.emplace_back([this, part] { work(part); });
}

Crew::~Crew() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  for (std::thread &t : workers_) t.join();
}

void Crew::work(int part) {
  uint64_t seen = 0;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
      if (stop_) return;
      seen = generation_;
    }
    call_(task_, part);
    std::lock_guard<std::mutex> lock(mutex_);
    if (--pending_ == 0) done_.notify_one();
  }
}

void Crew::run(void *task, void (*call)(void *, int)) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    task_ = task;
    call_ = call;
    pending_ = static_cast<int>(workers_.size());
    ++generation_;
  }
  wake_.notify_all();
  call(task, 0);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return pending_ == 0; });
}

}  // namespace tarsk
