#include "InterfacePath.h"

#include <cstddef>
#include <cstdio>

namespace printersim {

namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameIgnoringCase(const std::string& a, std::size_t from, std::size_t length,
                      const char* b) {
  for (std::size_t i = 0; i < length; ++i) {
    if (b[i] == '\0' || LowerAscii(a[from + i]) != LowerAscii(b[i])) return false;
  }
  return b[length] == '\0';
}

std::string Hex4(std::uint16_t value, bool upper) {
  char text[5];
  std::snprintf(text, sizeof text, upper ? "%04X" : "%04x", static_cast<unsigned>(value));
  return text;
}

}  // namespace

std::string FormatGuid(const GUID& guid) {
  char text[39];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
                static_cast<unsigned>(guid.Data3), guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                guid.Data4[7]);
  return text;
}

std::string FormatInterfacePath(const GUID& interfaceClass, std::uint16_t vendorId,
                                std::uint16_t productId, const std::string& serial,
                                IdCase idCase) {
  const bool upperLetters = idCase == IdCase::kUpper || idCase == IdCase::kUpperLettersLowerDigits;
  const bool upperDigits = idCase == IdCase::kUpper || idCase == IdCase::kLowerLettersUpperDigits;
  std::string path = "\\\\?\\";
  path += upperLetters ? "USB#VID_" : "usb#vid_";
  path += Hex4(vendorId, upperDigits);
  path += upperLetters ? "&PID_" : "&pid_";
  path += Hex4(productId, upperDigits);
  path += '#';
  path += serial;
  path += '#';
  path += FormatGuid(interfaceClass);
  return path;
}

bool ParseOpenPath(const std::string& path, const std::string& interfacePath, PipeEnd* end) {
  const std::size_t base = interfacePath.size();
  if (path.size() < base || !SameIgnoringCase(path, 0, base, interfacePath.c_str())) {
    return false;
  }
  const std::size_t rest = path.size() - base;
  if (rest == 0) {
    *end = PipeEnd::kInterface;
  } else if (SameIgnoringCase(path, base, rest, "\\PIPE00")) {
    *end = PipeEnd::kInput;
  } else if (SameIgnoringCase(path, base, rest, "\\PIPE01")) {
    *end = PipeEnd::kOutput;
  } else {
    return false;
  }
  return true;
}

}  // namespace printersim
