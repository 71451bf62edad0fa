// Threads made once that run one task at a time together (the C++ API's
// threaded decoding and encoding): run(task) calls task(part) for every
// part 0..size()-1 at once, part 0 on the calling thread, and returns when
// all are done. No allocation per run: the task is called through a
// pointer to it, never copied.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace tarsk {

class Crew {
 public:
  explicit Crew(int size);
  Crew(const Crew &) = delete;
  Crew &operator=(const Crew &) = delete;
  ~Crew();

  int size() const { return static_cast<int>(workers_.size()) + 1; }

  template <typename Task>
  void run(Task &task) {
    run(&task, [](void *t, int part) { (*static_cast<Task *>(t))(part); });
  }

 private:
  void run(void *task, void (*call)(void *, int));
  void work(int part);

  std::vector<std::thread> workers_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  void *task_ = nullptr;
  void (*call_)(void *, int) = nullptr;
  int pending_ = 0;
  uint64_t generation_ = 0;
  bool stop_ = false;
};

}  // namespace tarsk
