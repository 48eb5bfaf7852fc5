// SetupAPI device-interface enumeration over the provider's interfaces.
#include <setupapi.h>

#include <hostwin/device_provider.h>
#include <hostwin/interface_snapshot.h>

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
      : KernelObject(ObjectKind::kDeviceInfoSet), snapshot(klass, std::move(list)) {}

  bool ClosableByCloseHandle() const override { return false; }

  const InterfaceSnapshot snapshot;
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
    DWORD error = 0;
    if (ShouldFail("SetupDiEnumDeviceInterfaces", &error)) return FailWith(error);
    const auto set = LookupSet(DeviceInfoSet);
    if (!set) return FailWith(ERROR_INVALID_HANDLE);
    const DWORD answer = set->snapshot.Enumerate(InterfaceClassGuid, MemberIndex, DeviceInterfaceData);
    return answer == 0 ? TRUE : FailWith(answer);
  });
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("SetupDiGetDeviceInterfaceDetailA", &error)) return FailWith(error);
    const auto set = LookupSet(DeviceInfoSet);
    if (!set) return FailWith(ERROR_INVALID_HANDLE);
    const DWORD answer =
        set->snapshot.Detail(DeviceInterfaceData, DeviceInterfaceDetailData,
                             DeviceInterfaceDetailDataSize, RequiredSize, DeviceInfoData);
    return answer == 0 ? TRUE : FailWith(answer);
  });
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("SetupDiDestroyDeviceInfoList", &error)) return FailWith(error);
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
