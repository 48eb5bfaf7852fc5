// TraceGates: holds a thread of the library at a trace line, or notices that a line was
// traced, so that a test can put the threads of a race into the order it wants. Each gate
// acts once, on the first line containing its text that is traced while it is armed. Every
// wait is bounded: a failed test must not keep a held worker, and so a close, waiting. The
// gates live as long as the last observer call that may still run on another thread.
#ifndef VANTORY_TESTS_TRACEGATES_H
#define VANTORY_TESTS_TRACEGATES_H

#include <hostwin/hostwin.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

class TraceGates {
 public:
  static constexpr std::chrono::seconds kBound{10};

  TraceGates() = default;
  ~TraceGates() {
    hostwin::SetDebugOutputObserver(nullptr);
    for (const std::unique_ptr<Gate>& gate : *m_gates) ReleaseGate(*gate);
  }
  TraceGates(const TraceGates&) = delete;
  TraceGates& operator=(const TraceGates&) = delete;

  // Gates are added before Install; each returns its number.
  int HoldAt(const char* text, bool armed = true) { return Add(text, true, armed); }
  int Notice(const char* text, bool armed = true) { return Add(text, false, armed); }
  void Install() {
    hostwin::SetDebugOutputObserver([gates = m_gates](const char* line) { OnLine(*gates, line); });
  }

  void Arm(int gate) { (*m_gates)[gate]->armed = true; }
  // True once the gate's line was traced (its thread is held there now, for a hold).
  bool Reached(int gate) {
    return (*m_gates)[gate]->reachedFuture.wait_for(kBound) == std::future_status::ready;
  }
  void Release(int gate) { ReleaseGate(*(*m_gates)[gate]); }

 private:
  struct Gate {
    std::string text;
    bool hold = false;
    std::atomic<bool> armed{false};
    std::atomic<bool> fired{false};
    std::promise<void> reached;
    std::shared_future<void> reachedFuture;
    std::atomic<bool> releasedOnce{false};
    std::promise<void> release;
    std::shared_future<void> released;
  };

  int Add(const char* text, bool hold, bool armed) {
    auto gate = std::make_unique<Gate>();
    gate->text = text;
    gate->hold = hold;
    gate->armed = armed;
    gate->reachedFuture = gate->reached.get_future().share();
    gate->released = gate->release.get_future().share();
    m_gates->push_back(std::move(gate));
    return static_cast<int>(m_gates->size()) - 1;
  }

  static void ReleaseGate(Gate& gate) {
    if (!gate.releasedOnce.exchange(true)) gate.release.set_value();
  }

  using Gates = std::vector<std::unique_ptr<Gate>>;

  static void OnLine(Gates& gates, const char* line) {
    for (const std::unique_ptr<Gate>& gate : gates) {
      if (std::strstr(line, gate->text.c_str()) == nullptr || !gate->armed.load() ||
          gate->fired.exchange(true)) {
        continue;
      }
      gate->reached.set_value();
      if (gate->hold) gate->released.wait_for(kBound);
      return;
    }
  }

  std::shared_ptr<Gates> m_gates = std::make_shared<Gates>();
};

#endif  // VANTORY_TESTS_TRACEGATES_H
