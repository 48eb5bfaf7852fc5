// Finding the attached printer among the device interfaces that one driver publishes.
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "comm/DeviceIdentity.h"
#include "comm/PipePath.h"
#include "comm/SupportedPrinters.h"
#include "comm/UsbComm.h"
#include "trace/DebugTrace.h"

namespace {

// Enumeration failures other than the end of the list skip one interface; this many in a
// row end the search, since a set that fails at every index would otherwise be walked
// without end.
constexpr int kMaxEnumerationErrorsInARow = 64;

const GUID& InterfaceClassFor(std::int32_t driverKind) {
  return driverKind == kPrinterClassUsb ? kUsbPrintInterfaceGuid : kMakerDriverInterfaceGuid;
}

bool NamesSupportedPrinter(const char* path) {
  for (const char* const* pattern = SupportedIdPatterns(); *pattern != nullptr; ++pattern) {
    if (std::strstr(path, *pattern) != nullptr) return true;
  }
  return false;
}

// A locked, zero-filled block of global memory for one interface detail record.
class DetailRecord {
 public:
  explicit DetailRecord(SIZE_T size)
      : m_hBlock(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size)), m_pRecord(nullptr) {
    if (m_hBlock != nullptr) {
      m_pRecord = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(GlobalLock(m_hBlock));
    }
  }
  ~DetailRecord() {
    if (m_pRecord != nullptr) GlobalUnlock(m_hBlock);
    if (m_hBlock != nullptr) GlobalFree(m_hBlock);
  }
  DetailRecord(const DetailRecord&) = delete;
  DetailRecord& operator=(const DetailRecord&) = delete;

  SP_DEVICE_INTERFACE_DETAIL_DATA_A* get() const { return m_pRecord; }

 private:
  HGLOBAL m_hBlock;
  SP_DEVICE_INTERFACE_DETAIL_DATA_A* m_pRecord;
};

}  // namespace

std::int32_t CUsbComm::FindDevice(std::int32_t driverKind, char* buffer, std::int32_t capacity,
                                  const char* wantedIdentity) {
  HANDLE device = OpenUsbDevice(InterfaceClassFor(driverKind), buffer, capacity, wantedIdentity);
  if (device == INVALID_HANDLE_VALUE || device == nullptr) return 0;
  CloseHandle(device);
  return 1;
}

HANDLE CUsbComm::OpenUsbDevice(const GUID& interfaceClass, char* outNameBuf,
                               std::int32_t capacity, const char* wantedIdentity) {
  HDEVINFO set = SetupDiGetClassDevsA(&interfaceClass, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;

  HANDLE current = nullptr;
  bool found = false;
  int errorsInARow = 0;
  SP_DEVICE_INTERFACE_DATA interfaceData;
  std::memset(&interfaceData, 0, sizeof interfaceData);
  interfaceData.cbSize = sizeof interfaceData;

  for (DWORD index = 0; !found; ++index) {
    if (SetupDiEnumDeviceInterfaces(set, nullptr, &interfaceClass, index, &interfaceData)) {
      errorsInARow = 0;
      current = OpenDeviceInterface(set, &interfaceData, outNameBuf, capacity);
      if (current == INVALID_HANDLE_VALUE) continue;
      DebugTrace("CUsbComm::OpenUsbDevice outNameBuf=", outNameBuf);
      // With a printer asked for by identity, only that printer is taken.
      if (NamesSupportedPrinter(outNameBuf) &&
          (wantedIdentity == nullptr || PathHasIdentity(outNameBuf, wantedIdentity))) {
        DebugTrace("OpenUsbDevice", "Printer found.");
        found = true;
      } else {
        CloseHandle(current);
        current = nullptr;
        outNameBuf[0] = '\0';
      }
      continue;
    }
    const DWORD error = GetLastError();
    if (error == static_cast<DWORD>(ERROR_NO_MORE_ITEMS)) {
      DebugTrace("OpenUsbDevice", "ERROR_NO_MORE_ITEMS");
      break;
    }
    DebugTraceFormat("OpenUsbDevice", "Error = %d", static_cast<int>(error));
    if (++errorsInARow >= kMaxEnumerationErrorsInARow) {
      DebugTraceFormat("OpenUsbDevice", "Giving up after %d enumeration errors in a row",
                       errorsInARow);
      break;
    }
  }
  SetupDiDestroyDeviceInfoList(set);
  return current;
}

// A path that would not leave room in the caller's buffer for the pipe suffix and the NUL
// is refused like an interface whose open failed: it is not copied, so nothing is ever
// written past the buffer, and no open is tried on a path that could not be used later.
HANDLE CUsbComm::OpenDeviceInterface(HDEVINFO deviceInfoSet,
                                     SP_DEVICE_INTERFACE_DATA* interfaceData, char* buffer,
                                     std::int32_t capacity) {
  DWORD required = 0;
  SetupDiGetDeviceInterfaceDetailA(deviceInfoSet, interfaceData, nullptr, 0, &required,
                                   nullptr);
  // The record is never smaller than its fixed part, whatever size the first call reported.
  const DWORD size = std::max<DWORD>(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A));
  DetailRecord record(size);
  SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail = record.get();
  if (detail == nullptr) return INVALID_HANDLE_VALUE;

  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!SetupDiGetDeviceInterfaceDetailA(deviceInfoSet, interfaceData, detail, size, &required,
                                        nullptr)) {
    return INVALID_HANDLE_VALUE;
  }

  const std::size_t pathRoom = size - offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  const std::size_t length = strnlen(detail->DevicePath, pathRoom);
  if (capacity <= 0 || length == pathRoom ||
      length + kPipeSuffixLength + 1 > static_cast<std::size_t>(capacity)) {
    DebugTraceFormat("OpenUsbDevice", "Device path too long: %d characters",
                     static_cast<int>(length));
    return INVALID_HANDLE_VALUE;
  }
  std::memcpy(buffer, detail->DevicePath, length + 1);

  return CreateFileA(buffer, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, 0, nullptr);
}
