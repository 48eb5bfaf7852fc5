#include "comm/DeviceIdentity.h"

#include <cstring>

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

void IdentityOfPath(const char* path, DeviceIdentity& identity) {
  identity[0] = '\0';
  if (std::strncmp(path, "\\\\?\\", 4) == 0 || std::strncmp(path, "\\\\.\\", 4) == 0) path += 4;
  // The interface class follows the last '#'; whatever comes after it (the class GUID, a
  // backslash and a pipe name) is not the printer's.
  const char* end = std::strrchr(path, '#');
  if (end == nullptr || end == path) return;
  const std::size_t length = static_cast<std::size_t>(end - path);
  if (length >= sizeof identity) return;
  for (std::size_t i = 0; i < length; ++i) identity[i] = LowerAscii(path[i]);
  identity[length] = '\0';
}

bool PathHasIdentity(const char* path, const char* identity) {
  DeviceIdentity other;
  IdentityOfPath(path, other);
  return other[0] != '\0' && std::strcmp(other, identity) == 0;
}
