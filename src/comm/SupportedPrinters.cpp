#include "comm/SupportedPrinters.h"

#include <cstdio>

// Palvex's own vendor ID and the products that speak its command set.
const SupportedPrinter kSupportedPrinters[kSupportedPrinterCount] = {
    {0xF7A1, 0x0A01, "Palvex TR-80 receipt printer"},
    {0xF7A1, 0x0A02, "Palvex TR-80 II receipt printer"},
    {0xF7A1, 0x0A10, "Palvex TR-58 receipt printer"},
    {0xF7A1, 0x0B01, "Palvex LB-4 label printer"},
    {0xF7A1, 0x0B02, "Palvex LB-4 Plus label printer"},
    {0xF7A1, 0x0C01, "Palvex KP-60 kiosk printer"},
    {0xF7A1, 0x0C02, "Palvex KP-80 kiosk printer"},
    {0xF7A1, 0x0D01, "Palvex MP-2 mobile printer"},
    {0xF7A1, 0x0E01, "Palvex TR-90 receipt printer"},
    {0xF7A1, 0x0F0F, "Palvex SP-1 slip printer"},
};

// {BBD2577C-94AD-4DE9-ABD9-BBB25C3AADEC}
const GUID kMakerDriverInterfaceGuid = {
    0xBBD2577C, 0x94AD, 0x4DE9, {0xAB, 0xD9, 0xBB, 0xB2, 0x5C, 0x3A, 0xAD, 0xEC}};

// {28D78FAD-5A12-11D1-AE5B-0000F803A8C2}
const GUID kUsbPrintInterfaceGuid = {
    0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};

namespace {

constexpr std::size_t kPatternSize = sizeof "vid_vvvv&pid_pppp";

struct PatternList {
  char text[kSupportedIdPatternCount][kPatternSize];
  const char* entries[kSupportedIdPatternCount + 1];

  PatternList() : text{}, entries{} {
    for (std::size_t i = 0; i < kSupportedPrinterCount; ++i) {
      const SupportedPrinter& printer = kSupportedPrinters[i];
      std::snprintf(text[2 * i], kPatternSize, "vid_%04x&pid_%04x", printer.vendorId,
                    printer.productId);
      std::snprintf(text[2 * i + 1], kPatternSize, "VID_%04X&PID_%04X", printer.vendorId,
                    printer.productId);
      entries[2 * i] = text[2 * i];
      entries[2 * i + 1] = text[2 * i + 1];
    }
    entries[kSupportedIdPatternCount] = nullptr;
  }
};

}  // namespace

const char* const* SupportedIdPatterns() {
  static const PatternList list;  // built once, on first use; thread-safe
  return list.entries;
}

namespace {
// Built while the library loads, on the loading thread, so that searches on other threads
// never race to build it (see the handle ledger).
[[maybe_unused]] const char* const* const g_patternsBuiltAtLoad = SupportedIdPatterns();
}  // namespace
