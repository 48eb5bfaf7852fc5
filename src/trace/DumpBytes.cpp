#include <windows.h>

#include <cstdio>
#include <cstring>

#include "trace/DebugTrace.h"
#include "trace/LastErrorKeeper.h"

namespace {

constexpr std::size_t kByteWidth = 3;  // " %.2x"
constexpr std::size_t kLineEnd = 2;    // "\n" and NUL

void EmitLine(char* line, std::size_t& position) {
  line[position] = '\n';
  line[position + 1] = '\0';
  OutputDebugStringA(line);
  position = 0;
}

}  // namespace

// A line that would not fit the buffer (a very long name, or a large perLine) is never
// written past it: the name is cut so that at least one byte fits after it, and a line
// that is full before its perLine-th byte is emitted early and continued on the next line,
// so every byte still appears in the dump.
void DumpBytes(const char* name, const void* data, int length, int perLine) {
  LastErrorKeeper keeper;
  if (perLine < 1) perLine = 1;
  char* line = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, kDumpLineSize));
  if (line == nullptr) return;  // no line buffer: the dump is left out, the caller goes on

  const std::size_t maxName = kDumpLineSize - kByteWidth - kLineEnd;
  std::size_t position = std::strlen(name);
  if (position > maxName) position = maxName;
  std::memcpy(line, name, position);

  static const char kHex[] = "0123456789abcdef";
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  for (int i = 1; i <= length; ++i) {
    if (position + kByteWidth + kLineEnd > kDumpLineSize) EmitLine(line, position);
    const unsigned char value = bytes[i - 1];
    line[position] = ' ';
    line[position + 1] = kHex[value >> 4];
    line[position + 2] = kHex[value & 0x0F];
    position += kByteWidth;
    if (i % perLine == 0) EmitLine(line, position);
  }
  if (position != 0) EmitLine(line, position);
  HeapFree(GetProcessHeap(), 0, line);
}
