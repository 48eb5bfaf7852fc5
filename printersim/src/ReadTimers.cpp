#include "ReadTimers.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "Printer.h"

namespace printersim {
namespace {

using Clock = std::chrono::steady_clock;

// Started on first use and never stopped or destroyed, like the device thread: a printer
// may still have a timed read pending while the process exits.
class Timers {
 public:
  Timers() { std::thread([this] { Run(); }).detach(); }

  void Watch(const std::shared_ptr<Printer>& printer) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const std::weak_ptr<Printer>& watched : printers_) {
      if (watched.lock() == printer) return;
    }
    printers_.push_back(printer);  // the only step that can fail
    ++generation_;
    changed_.notify_all();
  }

  void Changed() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++generation_;
    changed_.notify_all();
  }

 private:
  // The printer at `index`, or null past the end; printers that are gone are dropped.
  std::shared_ptr<Printer> At(std::size_t* index) {
    std::lock_guard<std::mutex> guard(mutex_);
    while (*index < printers_.size()) {
      if (std::shared_ptr<Printer> printer = printers_[*index].lock()) return printer;
      printers_.erase(printers_.begin() + static_cast<std::ptrdiff_t>(*index));
    }
    return nullptr;
  }

  void Run() {
    for (;;) {
      std::uint64_t seen = 0;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        seen = generation_;
      }
      Clock::time_point next = Clock::time_point::max();
      for (std::size_t i = 0;; ++i) {
        const std::shared_ptr<Printer> printer = At(&i);
        if (!printer) break;
        Clock::time_point due = Clock::time_point::max();
        try {
          due = printer->ExpireTimedReads(Clock::now());
        } catch (const std::exception&) {
          due = Clock::now() + std::chrono::milliseconds(1);  // no memory now: soon again
        }
        if (due < next) next = due;
      }
      std::unique_lock<std::mutex> lock(mutex_);
      const auto changed = [&] { return generation_ != seen; };
      if (next == Clock::time_point::max()) {
        changed_.wait(lock, changed);
      } else {
        changed_.wait_until(lock, next, changed);
      }
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::weak_ptr<Printer>> printers_;  // guarded by mutex_
  std::uint64_t generation_ = 0;                  // guarded by mutex_
};

Timers& TheTimers() {
  static Timers* timers = new Timers();
  return *timers;
}

}  // namespace

void ReadTimers::Watch(const std::shared_ptr<Printer>& printer) { TheTimers().Watch(printer); }
void ReadTimers::Changed() { TheTimers().Changed(); }

}  // namespace printersim
