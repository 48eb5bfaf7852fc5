// The printers the library accepts and the interface classes it searches. To support
// another model, add its vendor/product pair to kSupportedPrinters in SupportedPrinters.cpp;
// nothing else needs to change.
#ifndef VANTORY_COMM_SUPPORTEDPRINTERS_H
#define VANTORY_COMM_SUPPORTEDPRINTERS_H

#include <windows.h>

#include <cstddef>
#include <cstdint>

struct SupportedPrinter {
  std::uint16_t vendorId;
  std::uint16_t productId;
  const char* model;
};

constexpr std::size_t kSupportedPrinterCount = 10;
extern const SupportedPrinter kSupportedPrinters[kSupportedPrinterCount];

// Interface class that the maker's own USB driver registers.
extern const GUID kMakerDriverInterfaceGuid;
// GUID_DEVINTERFACE_USBPRINT, the Windows USB printer class driver's interface class.
extern const GUID kUsbPrintInterfaceGuid;

// Substring patterns that interface paths are matched against, case-sensitively: each pair
// once as "vid_vvvv&pid_pppp" and once as "VID_VVVV&PID_PPPP", ended by a null entry.
constexpr std::size_t kSupportedIdPatternCount = 2 * kSupportedPrinterCount;
const char* const* SupportedIdPatterns();

#endif  // VANTORY_COMM_SUPPORTEDPRINTERS_H
