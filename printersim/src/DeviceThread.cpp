#include "DeviceThread.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace printersim {
namespace {

// Started on first use and never stopped or destroyed: completions may still be queued
// while the process exits, and a thread blocked on its queue costs nothing.
class Queue {
 public:
  Queue() { std::thread([this] { Run(); }).detach(); }

  void Post(Completion& completion) {
    std::lock_guard<std::mutex> guard(mutex_);
    tasks_.emplace_back();  // the only step that can fail, before the completion is touched
    tasks_.back() = std::move(completion);
    ++posted_;
    changed_.notify_all();
  }

  void Drain() {
    std::unique_lock<std::mutex> lock(mutex_);
    const std::uint64_t target = posted_;
    changed_.wait(lock, [&] { return done_ >= target; });
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [&] { return !tasks_.empty(); });
      Completion task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task.done(task.bytes, task.error);
      task.done = nullptr;  // whatever the read held goes before the next one completes
      lock.lock();
      ++done_;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Completion> tasks_;  // guarded by mutex_
  std::uint64_t posted_ = 0;      // guarded by mutex_
  std::uint64_t done_ = 0;        // guarded by mutex_
};

Queue& TheQueue() {
  static Queue* queue = new Queue();
  return *queue;
}

}  // namespace

void DeviceThread::Post(Completion& completion) { TheQueue().Post(completion); }
void DeviceThread::Drain() { TheQueue().Drain(); }

}  // namespace printersim
