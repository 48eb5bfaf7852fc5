// The device search over arbitrary interface lists: paths of any bytes and lengths, opens
// that work or fail, and enumeration errors anywhere. It never writes past the name buffer,
// reports a printer only with a supported path in the buffer, and leaves nothing open.
#include <fuzzer/FuzzedDataProvider.h>
#include <hostwin/device_provider.h>
#include <hostwin/hostwin.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "comm/PipePath.h"
#include "comm/SupportedPrinters.h"
#include "comm/UsbComm.h"

namespace {

void Require(bool condition) {
  if (!condition) std::abort();
}

// A device that does nothing: the search only opens and closes.
class InertDevice final : public hostwin::DeviceFile {
 public:
  hostwin::ReadStart StartRead(void*, DWORD, hostwin::ReadDone done) override {
    done(0, ERROR_NOT_SUPPORTED);
    return {};
  }
  void Cancel(std::uint64_t) override {}
  DWORD Write(const void*, DWORD, DWORD* written) override {
    *written = 0;
    return ERROR_NOT_SUPPORTED;
  }
  DWORD IoControl(DWORD, const void*, DWORD, void*, DWORD, DWORD*) override {
    return ERROR_NOT_SUPPORTED;
  }
  DWORD Purge(DWORD) override { return ERROR_NOT_SUPPORTED; }
};

class FuzzedInterfaces final : public hostwin::DeviceProvider {
 public:
  std::vector<hostwin::InterfaceSlot> slots;
  std::vector<DWORD> openErrors;  // per slot: what opening its path (or a pipe on it) gives

  DWORD Open(const std::string& path, DWORD, DWORD, DWORD,
             std::shared_ptr<hostwin::DeviceFile>* file) override {
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (slots[i].enumError != 0 || path.compare(0, slots[i].path.size(), slots[i].path) != 0) continue;
      if (openErrors[i] != 0) return openErrors[i];
      *file = std::make_shared<InertDevice>();
      return 0;
    }
    return ERROR_FILE_NOT_FOUND;
  }
  std::vector<hostwin::InterfaceSlot> Interfaces(const GUID&) override { return slots; }
};

std::string PathFrom(FuzzedDataProvider& input) {
  // Often a path of the usual shape around a supported pattern, so that the search gets
  // past the match; otherwise any bytes at all.
  if (input.ConsumeBool()) {
    const char* const* patterns = SupportedIdPatterns();
    std::size_t count = 0;
    while (patterns[count] != nullptr) ++count;
    const std::string pattern = patterns[input.ConsumeIntegralInRange<std::size_t>(0, count - 1)];
    return "\\\\?\\usb#" + input.ConsumeRandomLengthString(40) + pattern +
           input.ConsumeRandomLengthString(300);
  }
  std::string bytes = input.ConsumeRandomLengthString(600);
  bytes.erase(std::find(bytes.begin(), bytes.end(), '\0'), bytes.end());  // a C string
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static FuzzedInterfaces* interfaces = [] {
    auto* provider = new FuzzedInterfaces();
    hostwin::SetDeviceProvider(provider);
    return provider;
  }();
  FuzzedDataProvider input(data, size);
  interfaces->slots.clear();
  interfaces->openErrors.clear();
  const int count = input.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < count; ++i) {
    hostwin::InterfaceSlot slot;
    if (input.ConsumeIntegralInRange(0, 7) == 0) {
      slot.enumError = input.ConsumeIntegralInRange<DWORD>(1, 2000);
    } else {
      slot.path = PathFrom(input);
    }
    interfaces->slots.push_back(slot);
    interfaces->openErrors.push_back(input.ConsumeBool() ? 0 : ERROR_SHARING_VIOLATION);
  }
  const std::int32_t kind = input.ConsumeIntegralInRange(0, 1);
  const int handles = hostwin::OpenHandleCount();
  hostwin::ClearDebugOutput();

  // The caller's buffer, exactly as large as it says, so that a write past it is seen.
  std::unique_ptr<char[]> name(new char[kDeviceNameSize]);
  std::memset(name.get(), 'x', kDeviceNameSize - 1);
  name[kDeviceNameSize - 1] = '\0';
  CUsbComm port;
  const std::int32_t found = port.FindDevice(kind, name.get(), static_cast<std::int32_t>(kDeviceNameSize));
  Require(found == 0 || found == 1);
  Require(std::memchr(name.get(), '\0', kDeviceNameSize) != nullptr);
  if (found == 1) {
    const std::string path = name.get();
    bool supported = false;
    for (const char* const* p = SupportedIdPatterns(); *p != nullptr; ++p) {
      supported = supported || path.find(*p) != std::string::npos;
    }
    Require(supported);
    Require(path.size() + kPipeSuffixLength + 1 <= kDeviceNameSize);
  }
  const HANDLE pipe = port.OpenPipe(kind, kInputPipe);
  if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
  Require(std::memchr(port.m_szDeviceName, '\0', kDeviceNameSize) != nullptr);
  Require(hostwin::OpenHandleCount() == handles);
  hostwin::TakeDebugOutput();
  return 0;
}
