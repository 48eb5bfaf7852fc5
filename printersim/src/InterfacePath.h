// Device interface paths as Windows forms them for a USB printer:
// \\?\usb#vid_vvvv&pid_pppp#SERIAL#{interface class guid}, the GUID in lower-case hex.
#ifndef PRINTERSIM_INTERFACEPATH_H
#define PRINTERSIM_INTERFACEPATH_H

#include <printersim/printersim.h>
#include <windows.h>

#include <cstdint>
#include <string>

namespace printersim {

// Which part of the printer a path opens.
enum class PipeEnd { kInterface, kInput, kOutput };

std::string FormatGuid(const GUID& guid);

std::string FormatInterfacePath(const GUID& interfaceClass, std::uint16_t vendorId,
                                std::uint16_t productId, const std::string& serial,
                                IdCase idCase);

// Whether `path` opens the interface `interfacePath` itself or one of its pipes
// (`interfacePath` + "\PIPE00" or "\PIPE01"). Device paths are case-insensitive.
bool ParseOpenPath(const std::string& path, const std::string& interfacePath, PipeEnd* end);

}  // namespace printersim

#endif  // PRINTERSIM_INTERFACEPATH_H
