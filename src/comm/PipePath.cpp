#include "comm/PipePath.h"

#include <cstring>

bool AppendPipeName(char* path, std::size_t capacity, const char* pipeName) {
  const std::size_t length = strnlen(path, capacity);
  const std::size_t nameLength = std::strlen(pipeName);
  if (length == capacity || length + 1 + nameLength + 1 > capacity) return false;
  path[length] = '\\';
  std::memcpy(path + length + 1, pipeName, nameLength + 1);
  return true;
}
