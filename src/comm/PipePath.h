// Pipe paths: a device interface path, a backslash and a pipe name, in one buffer.
#ifndef VANTORY_COMM_PIPEPATH_H
#define VANTORY_COMM_PIPEPATH_H

#include <cstddef>

constexpr char kInputPipe[] = "PIPE00";
constexpr char kOutputPipe[] = "PIPE01";
// The backslash and a pipe name: what a pipe path adds to the interface path.
constexpr std::size_t kPipeSuffixLength = 1 + sizeof kInputPipe - 1;

// Appends a backslash and `pipeName` to the NUL-terminated path in `path` (capacity bytes).
// False, with the path unchanged, when the result would not fit.
bool AppendPipeName(char* path, std::size_t capacity, const char* pipeName);

#endif  // VANTORY_COMM_PIPEPATH_H
