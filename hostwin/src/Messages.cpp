// System message texts (FormatMessageA) and the ANSI code page (MultiByteToWideChar).
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include <hostwin/hostwin.h>

#include "AsWindowsDoes.h"
#include "Kernel.h"
#include "LastError.h"
#include "Memory.h"

namespace {

struct SystemMessage {
  DWORD code;
  const char* text;
};

// The English texts of Windows for the codes the library can meet, with Windows's own
// line end. Inserts (%1, %2) stay as they are: callers ask for FORMAT_MESSAGE_IGNORE_INSERTS.
constexpr SystemMessage kSystemMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {14, "Not enough memory resources are available to complete this operation.\r\n"},
    {21, "The device is not ready.\r\n"},
    {22, "The device does not recognize the command.\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {50, "The request is not supported.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {121, "The semaphore timeout period has expired.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {259, "No more data is available.\r\n"},
    {288, "Attempt to release mutex not owned by caller.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file "
          "for %2.\r\n"},
    {995, "The I/O operation has been aborted because of either a thread exit or an "
          "application request.\r\n"},
    {996, "Overlapped I/O event is not in a signaled state.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1167, "The device is not connected.\r\n"},
    {1168, "Element not found.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1617, "The device has been removed.\r\n"},
    {1784, "The supplied user buffer is not valid for the requested operation.\r\n"},
};

// Texts a test puts in place of the English ones, as a localized Windows has them. Immortal
// and guarded by its own lock.
struct LocalizedMessages {
  std::mutex lock;
  std::map<DWORD, std::string> texts;
};

LocalizedMessages& TheLocalizedMessages() {
  static LocalizedMessages* messages = new LocalizedMessages();
  return *messages;
}

bool FindSystemMessage(DWORD code, std::string* text) {
  {
    LocalizedMessages& localized = TheLocalizedMessages();
    std::lock_guard<std::mutex> guard(localized.lock);
    const auto found = localized.texts.find(code);
    if (found != localized.texts.end()) {
      *text = found->second;
      return true;
    }
  }
  for (const SystemMessage& message : kSystemMessages) {
    if (message.code == code) {
      *text = message.text;
      return true;
    }
  }
  return false;
}

// Windows-1252 from 0x80 to 0x9F; the five unassigned bytes map to the C1 controls of the
// same value, as Windows maps them.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

char16_t FromCp1252(unsigned char byte) {
  if (byte >= 0x80 && byte < 0xA0) return kCp1252High[byte - 0x80];
  return byte;
}

}  // namespace

using namespace hostwin::detail;

// Only system messages are kept; lpBuffer is a char** when the buffer is allocated (freed
// with LocalFree), otherwise a buffer of nSize chars. Returns the length without the NUL.
DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPSTR lpBuffer,
                            DWORD nSize, void*) {
  return AsWindowsDoes<DWORD>(DWORD{0}, [&]() -> DWORD {
    DWORD error = 0;
    if (ShouldFail("FormatMessageA", &error)) {
      SetLastError(error);
      return 0;
    }
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || lpBuffer == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    std::string message;
    if (!FindSystemMessage(dwMessageId, &message)) {
      SetLastError(ERROR_MR_MID_NOT_FOUND);
      return 0;
    }
    const char* text = message.c_str();
    const std::size_t length = message.size();
    if ((dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0) {
      // nSize is then the least size to allocate.
      const std::size_t size = length + 1 > nSize ? length + 1 : nSize;
      char* block = static_cast<char*>(LocalAllocFixed(size));
      if (block == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
      }
      std::memcpy(block, text, length + 1);
      *reinterpret_cast<char**>(lpBuffer) = block;
    } else {
      if (length + 1 > nSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
      }
      std::memcpy(lpBuffer, text, length + 1);
    }
    return static_cast<DWORD>(length);
  });
}

// CP_ACP is Windows-1252, the ANSI code page of an English Windows; every byte maps to one
// UTF-16 unit. The count includes the NUL when cbMultiByte is -1.
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr,
                               int cbMultiByte, LPWSTR lpWideCharStr, int cchWideChar) {
  return AsWindowsDoes<int>(0, [&]() -> int {
    DWORD error = 0;
    if (ShouldFail("MultiByteToWideChar", &error)) {
      SetLastError(error);
      return 0;
    }
    if (CodePage != CP_ACP || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && lpWideCharStr == nullptr)) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    constexpr DWORD kPrecomposed = 0x00000001;  // MB_PRECOMPOSED, the default anyway
    if ((dwFlags & ~kPrecomposed) != 0) {
      SetLastError(ERROR_INVALID_FLAGS);
      return 0;
    }
    const std::size_t count = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1
                                                : static_cast<std::size_t>(cbMultiByte);
    if (cchWideChar == 0) return static_cast<int>(count);
    if (count > static_cast<std::size_t>(cchWideChar)) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    for (std::size_t i = 0; i < count; ++i) {
      lpWideCharStr[i] = FromCp1252(static_cast<unsigned char>(lpMultiByteStr[i]));
    }
    return static_cast<int>(count);
  });
}

namespace hostwin {

void SetSystemMessage(DWORD code, const std::string& ansiText) {
  LocalizedMessages& localized = TheLocalizedMessages();
  std::lock_guard<std::mutex> guard(localized.lock);
  if (ansiText.empty()) {
    localized.texts.erase(code);
  } else {
    localized.texts[code] = ansiText;
  }
}

}  // namespace hostwin
