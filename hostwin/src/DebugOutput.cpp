// OutputDebugStringA: the process's "debugger" is an in-process capture that tests read,
// and optionally the file named by HOSTWIN_DEBUG_OUTPUT ("-" for stderr).
#include <hostwin/hostwin.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>

#include "AsWindowsDoes.h"

namespace {

struct DebugOutput {
  std::mutex lock;
  std::deque<std::string> entries;  // guarded by lock, newest last
  bool fileChecked = false;         // guarded by lock; the file is opened at most once
  std::FILE* file = nullptr;        // guarded by lock
  std::function<void(const char*)> observer;  // guarded by lock; called without it
};

DebugOutput& TheOutput() {
  static DebugOutput* output = new DebugOutput();  // immortal: threads may log at exit
  return *output;
}

std::FILE* OpenFileLocked(DebugOutput& output) {
  if (!output.fileChecked) {
    output.fileChecked = true;
    const char* name = std::getenv("HOSTWIN_DEBUG_OUTPUT");
    if (name != nullptr && name[0] != '\0') {
      output.file = std::strcmp(name, "-") == 0 ? stderr : std::fopen(name, "a");
    }
  }
  return output.file;
}

}  // namespace

// Leaves the last error alone, so that traces never disturb the caller's error.
void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
  hostwin::detail::AsWindowsDoesQuietly([&] {
    if (lpOutputString == nullptr) return;
    DebugOutput& output = TheOutput();
    std::function<void(const char*)> observer;
    {
      std::lock_guard<std::mutex> guard(output.lock);
      if (output.entries.size() >= hostwin::kDebugOutputCapacity) output.entries.pop_front();
      output.entries.emplace_back(lpOutputString);
      if (std::FILE* file = OpenFileLocked(output)) {
        std::fputs(lpOutputString, file);
        std::fflush(file);
      }
      observer = output.observer;
    }
    if (observer) observer(lpOutputString);
  });
}

namespace hostwin {

std::vector<std::string> TakeDebugOutput() {
  DebugOutput& output = TheOutput();
  std::deque<std::string> taken;
  {
    std::lock_guard<std::mutex> guard(output.lock);
    taken.swap(output.entries);
  }
  return std::vector<std::string>(std::make_move_iterator(taken.begin()),
                                  std::make_move_iterator(taken.end()));
}

void SetDebugOutputObserver(std::function<void(const char*)> observer) {
  DebugOutput& output = TheOutput();
  std::lock_guard<std::mutex> guard(output.lock);
  output.observer = std::move(observer);
}

void ClearDebugOutput() {
  DebugOutput& output = TheOutput();
  std::lock_guard<std::mutex> guard(output.lock);
  output.entries.clear();
}

}  // namespace hostwin
