#include "trace/DebugTrace.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

#include "trace/LastErrorKeeper.h"

namespace {

// Makes sure a line that snprintf had to cut still ends with its line feed.
void EndCutLine(char (&line)[kTraceLineSize], int formatted) {
  if (formatted < 0) {
    line[0] = '\0';
  } else if (static_cast<std::size_t>(formatted) >= kTraceLineSize) {
    line[kTraceLineSize - 2] = '\n';
    line[kTraceLineSize - 1] = '\0';
  }
}

}  // namespace

void DebugTraceAt(const char* tag, int line, const char* text) {
  LastErrorKeeper keeper;
  char buffer[kTraceLineSize];
  EndCutLine(buffer, std::snprintf(buffer, sizeof buffer, "%s(%d) %s\n", tag, line, text));
  OutputDebugStringA(buffer);
}

void DebugTraceErrorAt(const char* tag, int line, const char* text) {
  LastErrorKeeper keeper;
  char buffer[kTraceLineSize];
  EndCutLine(buffer, std::snprintf(buffer, sizeof buffer, "%s(%d) %s Error=%d\n", tag, line,
                                   text, static_cast<int>(keeper.Saved())));
  OutputDebugStringA(buffer);
}

void DebugTraceFormatAt(const char* tag, int line, const char* format, ...) {
  LastErrorKeeper keeper;
  char text[kTraceLineSize];
  va_list args;
  va_start(args, format);
  const int formatted = std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  if (formatted < 0) text[0] = '\0';
  DebugTraceAt(tag, line, text);
}
