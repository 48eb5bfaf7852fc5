// OutputDebugStringA: the process's "debugger" is an in-process capture that tests read,
// and optionally the file named by HOSTWIN_DEBUG_OUTPUT ("-" for stderr).
#include <hostwin/hostwin.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>

#include "AsWindowsDoes.h"

namespace {

// The newest entries in a ring of strings that are reused: once the ring has gone round, a
// process that traces without pause allocates nothing per entry, and a take that wants only
// the newest entries frees nothing on the taker's thread.
struct DebugOutput {
  std::mutex lock;
  std::vector<std::string> ring;             // guarded by lock; kDebugOutputCapacity slots once used
  std::vector<std::size_t> ringLineEnds;     // guarded by lock; the line ends of each slot's entry
  std::size_t oldest = 0;                    // guarded by lock; the slot of the oldest entry kept
  std::size_t kept = 0;                      // guarded by lock; entries kept since the last take
  std::size_t lineEndsKept = 0;              // guarded by lock; their line ends
  std::size_t lineEndsDropped = 0;           // guarded by lock; of entries dropped since the last take
  bool fileChecked = false;                  // guarded by lock; the file is opened at most once
  std::FILE* file = nullptr;                 // guarded by lock
  std::function<void(const char*)> observer;  // guarded by lock; called without it

  void Keep(const char* text) {
    if (ring.empty()) {
      ring.resize(hostwin::kDebugOutputCapacity);
      ringLineEnds.resize(hostwin::kDebugOutputCapacity);
    }
    const std::size_t length = std::strlen(text);
    const std::size_t lineEnds = static_cast<std::size_t>(std::count(text, text + length, '\n'));
    std::size_t slot = (oldest + kept) % ring.size();
    if (kept == ring.size()) {
      lineEndsKept -= ringLineEnds[oldest];
      lineEndsDropped += ringLineEnds[oldest];
      slot = oldest;
      oldest = (oldest + 1) % ring.size();
    } else {
      ++kept;
    }
    // A slot that once held a long entry does not keep its room for ever.
    if (ring[slot].capacity() > kSlotRoomKept && length <= kSlotRoomKept) std::string().swap(ring[slot]);
    ring[slot].assign(text, length);
    ringLineEnds[slot] = lineEnds;
    lineEndsKept += lineEnds;
  }

  // A take of all moves the entries out (their room goes with them); a take of the newest
  // few copies those, and the slots keep their room but for the odd long entry's.
  std::vector<std::string> Take(std::size_t newest, std::size_t* olderLineEnds) {
    const std::size_t taken = std::min(newest, kept);
    const bool all = taken == kept;
    std::vector<std::string> entries;
    entries.reserve(taken);
    std::size_t lineEndsTaken = 0;
    for (std::size_t i = kept - taken; i < kept; ++i) {
      const std::size_t slot = (oldest + i) % ring.size();
      entries.push_back(all ? std::move(ring[slot]) : ring[slot]);
      lineEndsTaken += ringLineEnds[slot];
    }
    if (!all) {
      for (std::string& entry : ring) {
        if (entry.capacity() > kSlotRoomKept) std::string().swap(entry);
      }
    }
    if (olderLineEnds != nullptr) *olderLineEnds = lineEndsDropped + lineEndsKept - lineEndsTaken;
    Clear();
    return entries;
  }

  void Clear() {
    oldest = 0;
    kept = 0;
    lineEndsKept = 0;
    lineEndsDropped = 0;
  }

  static constexpr std::size_t kSlotRoomKept = 256;  // a trace or dump line fits
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
      output.Keep(lpOutputString);
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
  return TakeDebugOutput(kDebugOutputCapacity, nullptr);
}

std::vector<std::string> TakeDebugOutput(std::size_t newest, std::size_t* olderLineEnds) {
  DebugOutput& output = TheOutput();
  std::lock_guard<std::mutex> guard(output.lock);
  return output.Take(newest, olderLineEnds);
}

void SetDebugOutputObserver(std::function<void(const char*)> observer) {
  DebugOutput& output = TheOutput();
  std::lock_guard<std::mutex> guard(output.lock);
  output.observer = std::move(observer);
}

void ClearDebugOutput() {
  DebugOutput& output = TheOutput();
  std::lock_guard<std::mutex> guard(output.lock);
  output.Clear();
}

}  // namespace hostwin
