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

  void Post(std::function<void()> task) {
    std::lock_guard<std::mutex> guard(mutex_);
    tasks_.push_back(std::move(task));
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
      std::function<void()> task = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // whatever the task held goes before the next one runs
      lock.lock();
      ++done_;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> tasks_;  // guarded by mutex_
  std::uint64_t posted_ = 0;                 // guarded by mutex_
  std::uint64_t done_ = 0;                   // guarded by mutex_
};

Queue& TheQueue() {
  static Queue* queue = new Queue();
  return *queue;
}

}  // namespace

void DeviceThread::Post(std::function<void()> task) { TheQueue().Post(std::move(task)); }
void DeviceThread::Drain() { TheQueue().Drain(); }

}  // namespace printersim
