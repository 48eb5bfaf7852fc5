// A handle on the Windows USB printer class driver. Its reads pend until the printer sends
// (at most the size asked, never more than was sent), unless the printer's read mode makes
// an idle read complete at once with nothing. Its writes wait for as long as the printer
// takes no more. It knows no serial device controls.
#ifndef PRINTERSIM_PRINTERCLASSDRIVERFILE_H
#define PRINTERSIM_PRINTERCLASSDRIVERFILE_H

#include <windows.h>

#include "PrinterFile.h"

namespace printersim {

class PrinterClassDriverFile final : public PrinterFile {
 public:
  using PrinterFile::PrinterFile;

  DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                  DWORD* returned) override;

 protected:
  ReadWait WaitOf(DWORD) override { return ReadWait{}; }  // until the first byte
  // The class driver knows no write timeouts: a write waits as long as the printer refuses.
  std::chrono::milliseconds WriteTimeoutOf(DWORD) override { return std::chrono::milliseconds(0); }
};

}  // namespace printersim

#endif  // PRINTERSIM_PRINTERCLASSDRIVERFILE_H
