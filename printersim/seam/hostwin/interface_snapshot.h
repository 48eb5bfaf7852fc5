// A SetupAPI device information set as a device provider fills it: a snapshot of one
// interface class's slots, taken when the set is made, and the answers that
// SetupDiEnumDeviceInterfaces and SetupDiGetDeviceInterfaceDetailA give over it, size checks
// of cbSize and ERROR_INSUFFICIENT_BUFFER included. Each answer is a Win32 error code, 0 for
// success. Shared by the stand-in and the Windows device host, so that the library meets
// the same SetupAPI on both.
#ifndef HOSTWIN_INTERFACE_SNAPSHOT_H
#define HOSTWIN_INTERFACE_SNAPSHOT_H

#include <windows.h>
#include <setupapi.h>

#include <hostwin/device_provider.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace hostwin {

class InterfaceSnapshot {
 public:
  InterfaceSnapshot(const GUID& interfaceClass, std::vector<InterfaceSlot> slots)
      : m_class(interfaceClass), m_slots(std::move(slots)) {}

  DWORD Enumerate(const GUID* interfaceClass, DWORD index, SP_DEVICE_INTERFACE_DATA* data) const {
    if (data == nullptr || interfaceClass == nullptr) return ERROR_INVALID_PARAMETER;
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return ERROR_INVALID_USER_BUFFER;
    if (std::memcmp(interfaceClass, &m_class, sizeof m_class) != 0 || index >= m_slots.size()) {
      return ERROR_NO_MORE_ITEMS;
    }
    const InterfaceSlot& slot = m_slots[index];
    if (slot.enumError != 0) return slot.enumError;
    data->InterfaceClassGuid = m_class;
    data->Flags = kSpintActive;
    data->Reserved = index + 1;  // which interface, for the detail call
    return 0;
  }

  // Called twice as a rule: with no record to learn the required size, then with a record
  // that large.
  DWORD Detail(const SP_DEVICE_INTERFACE_DATA* data, SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail,
               DWORD detailSize, DWORD* requiredSize, SP_DEVINFO_DATA* info) const {
    if (data == nullptr) return ERROR_INVALID_PARAMETER;
    if (data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) return ERROR_INVALID_USER_BUFFER;
    const ULONG_PTR member = data->Reserved;
    if (member == 0 || member > m_slots.size() || m_slots[member - 1].enumError != 0) {
      return ERROR_INVALID_PARAMETER;
    }
    const std::string& path = m_slots[member - 1].path;
    const std::size_t required =
        offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1;
    if (requiredSize != nullptr) *requiredSize = static_cast<DWORD>(required);
    if (detail == nullptr) return detailSize == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER;
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return ERROR_INVALID_USER_BUFFER;
    if (detailSize < required) return ERROR_INSUFFICIENT_BUFFER;
    if (info != nullptr) {
      if (info->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_USER_BUFFER;
      info->ClassGuid = GUID{};
      info->DevInst = static_cast<DWORD>(member);
      info->Reserved = member;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return 0;
  }

 private:
  static constexpr DWORD kSpintActive = 0x00000001;  // SPINT_ACTIVE: the interface is enabled

  const GUID m_class;
  const std::vector<InterfaceSlot> m_slots;
};

}  // namespace hostwin

#endif  // HOSTWIN_INTERFACE_SNAPSHOT_H
