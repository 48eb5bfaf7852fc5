// A handle's view of a printer: what both drivers share. A read is taken on the interface
// itself or on PIPE00, a write on the interface or on PIPE01, each only with the access it
// needs, as the I/O manager checks before any driver sees the request. Everything else is
// the printer's (Printer.h); the two drivers differ in how long reads wait and which device
// controls they know.
#ifndef PRINTERSIM_PRINTERFILE_H
#define PRINTERSIM_PRINTERFILE_H

#include <hostwin/device_provider.h>
#include <windows.h>

#include <cstdint>
#include <memory>

#include "InterfacePath.h"
#include "Printer.h"
#include "ReadWait.h"

namespace printersim {

class PrinterFile : public hostwin::DeviceFile {
 public:
  PrinterFile(std::shared_ptr<Printer> printer, std::uint64_t attachment, PipeEnd end,
              DWORD access);
  // Closing a handle cancels what is still pending on it, as CloseHandle does.
  ~PrinterFile() override;
  PrinterFile(const PrinterFile&) = delete;
  PrinterFile& operator=(const PrinterFile&) = delete;

  hostwin::ReadStart StartRead(void* buffer, DWORD size, hostwin::ReadDone done) override;
  void Cancel(std::uint64_t readId) override;
  DWORD Write(const void* data, DWORD size, DWORD* written) override;
  DWORD Purge(DWORD flags) override;

 protected:
  // How a read of `size` bytes waits for the printer to send.
  virtual ReadWait WaitOf(DWORD size) = 0;
  // How long a write of `size` bytes waits for a printer that takes no more; 0: for ever.
  virtual std::chrono::milliseconds WriteTimeoutOf(DWORD size) = 0;

  Printer& printer() const { return *printer_; }
  std::uint64_t attachment() const { return attachment_; }

 private:
  const std::shared_ptr<Printer> printer_;
  const std::uint64_t attachment_;
  const PipeEnd end_;
  const DWORD access_;
  const std::uint64_t serial_;  // tells this handle's pending reads from others'
};

}  // namespace printersim

#endif  // PRINTERSIM_PRINTERFILE_H
