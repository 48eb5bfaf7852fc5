// Trace lines and byte dumps on the debugger output of the process (OutputDebugStringA).
//
// A trace line reads "tag(line) text\n"; the error form adds " Error=<last error>" before
// the line feed. The line number is the source line of the call site, which the macros
// below supply. Tracing is always on and never changes the caller's flow: it keeps the
// thread's last-error value as it found it, so a caller can trace a step and then report
// the error of the call before it.
#ifndef VANTORY_TRACE_DEBUGTRACE_H
#define VANTORY_TRACE_DEBUGTRACE_H

#include <cstddef>

#if defined(__GNUC__)
#define VANTORY_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define VANTORY_PRINTF_FORMAT(fmt, args)
#endif

// Lines and detail texts are built in buffers of this size; longer ones are cut, and a cut
// line still ends with its line feed.
constexpr std::size_t kTraceLineSize = 200;
// Dump lines are built in a heap buffer of this size.
constexpr std::size_t kDumpLineSize = 256;

void DebugTraceAt(const char* tag, int line, const char* text);
void DebugTraceErrorAt(const char* tag, int line, const char* text);
// Formats the text first (printf style, into a buffer of kTraceLineSize) and traces it.
void DebugTraceFormatAt(const char* tag, int line, const char* format, ...)
    VANTORY_PRINTF_FORMAT(3, 4);

// Hex dump: the first line starts with `name`, every byte is " %.2x", and a line is emitted
// after every `perLine` bytes and after the last one.
void DumpBytes(const char* name, const void* data, int length, int perLine);

#define DebugTrace(tag, text) DebugTraceAt((tag), __LINE__, (text))
#define DebugTraceError(tag, text) DebugTraceErrorAt((tag), __LINE__, (text))
#define DebugTraceFormat(tag, ...) DebugTraceFormatAt((tag), __LINE__, __VA_ARGS__)

#endif  // VANTORY_TRACE_DEBUGTRACE_H
