// SetupAPI device-interface enumeration over the provider's interfaces.
#include <setupapi.h>

#include <hostwin/device_provider.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "AsWindowsDoes.h"
#include "Kernel.h"
#include "LastError.h"

namespace hostwin {
namespace detail {
namespace {

// A snapshot of one interface class, taken when the set is built; immutable afterwards.
// Not a kernel handle: CloseHandle refuses it, SetupDiDestroyDeviceInfoList frees it.
class InterfaceSet final : public KernelObject {
 public:
  InterfaceSet(const GUID& klass, std::vector<InterfaceSlot> list)
      : KernelObject(ObjectKind::kDeviceInfoSet),
        interfaceClass(klass),
        slots(std::move(list)) {}

  bool ClosableByCloseHandle() const override { return false; }

  const GUID interfaceClass;
  const std::vector<InterfaceSlot> slots;
};

std::shared_ptr<InterfaceSet> LookupSet(HDEVINFO handle) {
  std::lock_guard<std::mutex> guard(TheKernel().lock);
  return LookupAsLocked<InterfaceSet>(handle, ObjectKind::kDeviceInfoSet);
}

}  // namespace
}  // namespace detail
}  // namespace hostwin

using namespace hostwin;
using namespace hostwin::detail;

namespace {
constexpr DWORD kSpintActive = 0x00000001;  // SPINT_ACTIVE: the interface is enabled
}  // namespace

HDEVINFO WINAPI SetupDiGetClassDevsA(const GUID* ClassGuid, PCSTR, HWND, DWORD Flags) {
  return AsWindowsDoes<HDEVINFO>(static_cast<HDEVINFO>(INVALID_HANDLE_VALUE), [&]() -> HDEVINFO {
    DWORD error = 0;
    if (ShouldFail("SetupDiGetClassDevsA", &error)) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    // Only interface enumeration of one class exists here.
    if ((Flags & DIGCF_DEVICEINTERFACE) == 0 || ClassGuid == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
    }
    DeviceProvider* provider = CurrentProvider();
    std::vector<InterfaceSlot> slots;
    if (provider != nullptr) slots = provider->Interfaces(*ClassGuid);
    return InsertHandle(std::make_shared<InterfaceSet>(*ClassGuid, std::move(slots)));
  });
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    const auto set = LookupSet(DeviceInfoSet);
    if (!set) return FailWith(ERROR_INVALID_HANDLE);
    if (DeviceInterfaceData == nullptr || InterfaceClassGuid == nullptr) {
      return FailWith(ERROR_INVALID_PARAMETER);
    }
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
      return FailWith(ERROR_INVALID_USER_BUFFER);
    }
    if (*InterfaceClassGuid != set->interfaceClass || MemberIndex >= set->slots.size()) {
      return FailWith(ERROR_NO_MORE_ITEMS);
    }
    const InterfaceSlot& slot = set->slots[MemberIndex];
    if (slot.enumError != 0) return FailWith(slot.enumError);
    DeviceInterfaceData->InterfaceClassGuid = set->interfaceClass;
    DeviceInterfaceData->Flags = kSpintActive;
    DeviceInterfaceData->Reserved = MemberIndex + 1;  // which interface, for the detail call
    return TRUE;
  });
}

// Called twice as a rule: with no record to learn RequiredSize, then with a record that
// large.
BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("SetupDiGetDeviceInterfaceDetailA", &error)) return FailWith(error);
    const auto set = LookupSet(DeviceInfoSet);
    if (!set) return FailWith(ERROR_INVALID_HANDLE);
    if (DeviceInterfaceData == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
      return FailWith(ERROR_INVALID_USER_BUFFER);
    }
    const ULONG_PTR member = DeviceInterfaceData->Reserved;
    if (member == 0 || member > set->slots.size() || set->slots[member - 1].enumError != 0) {
      return FailWith(ERROR_INVALID_PARAMETER);
    }
    const std::string& path = set->slots[member - 1].path;
    const std::size_t required =
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1;
    if (RequiredSize != nullptr) *RequiredSize = static_cast<DWORD>(required);

    if (DeviceInterfaceDetailData == nullptr) {
      return FailWith(DeviceInterfaceDetailDataSize == 0 ? ERROR_INSUFFICIENT_BUFFER
                                                         : ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
      return FailWith(ERROR_INVALID_USER_BUFFER);
    }
    if (DeviceInterfaceDetailDataSize < required) return FailWith(ERROR_INSUFFICIENT_BUFFER);
    if (DeviceInfoData != nullptr) {
      if (DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        return FailWith(ERROR_INVALID_USER_BUFFER);
      }
      DeviceInfoData->ClassGuid = GUID{};
      DeviceInfoData->DevInst = static_cast<DWORD>(member);
      DeviceInfoData->Reserved = member;
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
  });
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    ObjectRef set;  // released after the lock
    {
      std::lock_guard<std::mutex> guard(TheKernel().lock);
      set = LookupAsLocked<InterfaceSet>(DeviceInfoSet, ObjectKind::kDeviceInfoSet);
      if (set) RemoveLocked(DeviceInfoSet);
    }
    if (!set) return FailWith(ERROR_INVALID_HANDLE);
    return TRUE;
  });
}
