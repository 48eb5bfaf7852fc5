#include "MakerDriverFile.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace printersim {

namespace {
constexpr DWORD kFixedTimeout = 0xFFFFFFFEu;
}  // namespace

ReadWait MakerDriverFile::WaitOf(DWORD size) {
  std::lock_guard<std::mutex> lock(mutex_);
  return ReadWait::FromSerialTimeouts(timeouts_.ReadIntervalTimeout,
                                      timeouts_.ReadTotalTimeoutMultiplier,
                                      timeouts_.ReadTotalTimeoutConstant, size);
}

std::chrono::milliseconds MakerDriverFile::WriteTimeoutOf(DWORD size) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint64_t total = std::min<std::uint64_t>(
      static_cast<std::uint64_t>(timeouts_.WriteTotalTimeoutMultiplier) * size +
          timeouts_.WriteTotalTimeoutConstant,
      0xFFFFFFFFull);
  return std::chrono::milliseconds(static_cast<std::int64_t>(total));
}

DWORD MakerDriverFile::IoControl(DWORD code, const void* in, DWORD inSize, void* out,
                                 DWORD outSize, DWORD* returned) {
  if (returned != nullptr) *returned = 0;
  printer().NoteIoControl(code);
  if (DWORD error = printer().HandleError(attachment())) return error;
  switch (code) {
    case IOCTL_SERIAL_GET_TIMEOUTS: {
      if (out == nullptr || outSize < sizeof(SERIAL_TIMEOUTS)) return ERROR_INSUFFICIENT_BUFFER;
      SERIAL_TIMEOUTS reported;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        reported = timeouts_;
      }
      const unsigned fixed = printer().FixedTimeoutFields();
      ULONG* fields[] = {&reported.ReadIntervalTimeout, &reported.ReadTotalTimeoutMultiplier,
                         &reported.ReadTotalTimeoutConstant,
                         &reported.WriteTotalTimeoutMultiplier,
                         &reported.WriteTotalTimeoutConstant};
      for (unsigned i = 0; i < 5; ++i) {
        if ((fixed & (1u << i)) != 0) *fields[i] = kFixedTimeout;
      }
      std::memcpy(out, &reported, sizeof reported);
      if (returned != nullptr) *returned = sizeof reported;
      return 0;
    }
    case IOCTL_SERIAL_SET_TIMEOUTS: {
      if (in == nullptr || inSize < sizeof(SERIAL_TIMEOUTS)) return ERROR_INVALID_PARAMETER;
      std::lock_guard<std::mutex> lock(mutex_);
      std::memcpy(&timeouts_, in, sizeof timeouts_);
      return 0;
    }
    default:
      return ERROR_NOT_SUPPORTED;
  }
}

}  // namespace printersim
