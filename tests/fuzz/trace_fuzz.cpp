// Trace lines and byte dumps with arbitrary tags, texts, names, lengths and lines a dump
// takes: nothing is written past a buffer, and every line handed to the debugger output is
// whole, ends with its line feed and fits the buffer it was built in.
#include <fuzzer/FuzzedDataProvider.h>
#include <hostwin/hostwin.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "trace/DebugTrace.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::string tag = input.ConsumeRandomLengthString(400);
  const std::string text = input.ConsumeRandomLengthString(400);
  const int line = input.ConsumeIntegral<int>();
  const int perLine = input.ConsumeIntegralInRange<int>(-4, 200);
  const int claimed = input.ConsumeIntegralInRange<int>(-8, 4096);
  const std::vector<std::uint8_t> bytes = input.ConsumeRemainingBytes<std::uint8_t>();
  // A dump never reads past the block it is given.
  const int length = claimed < 0 ? claimed : std::min<int>(claimed, static_cast<int>(bytes.size()));

  hostwin::ClearDebugOutput();
  DebugTraceAt(tag.c_str(), line, text.c_str());
  DebugTraceErrorAt(tag.c_str(), line, text.c_str());
  DebugTraceFormatAt(tag.c_str(), line, "%s and %d", text.c_str(), length);
  for (const std::string& entry : hostwin::TakeDebugOutput()) {
    Require(!entry.empty() && entry.back() == '\n');
    Require(entry.size() < kTraceLineSize);
  }
  DumpBytes(tag.c_str(), bytes.data(), length, perLine);
  std::size_t dumped = 0;
  for (const std::string& entry : hostwin::TakeDebugOutput()) {
    Require(!entry.empty() && entry.back() == '\n');
    Require(entry.size() < kDumpLineSize);
    for (std::size_t i = 0; i + 2 < entry.size(); ++i) {
      if (entry[i] == ' ' && std::isxdigit(static_cast<unsigned char>(entry[i + 1])) &&
          std::isxdigit(static_cast<unsigned char>(entry[i + 2])) &&
          (i + 3 == entry.size() - 1 || entry[i + 3] == ' ')) {
        ++dumped;
      }
    }
  }
  // Every byte of the block appears, no more (a name may hold hex-looking groups too).
  if (length > 0) Require(dumped >= static_cast<std::size_t>(length));
  return 0;
}
