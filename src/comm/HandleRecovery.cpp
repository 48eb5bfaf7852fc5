// Recovery of lost device handles: the receive worker calls ReopenCom after a read failed
// with a removal code (a printer that was unplugged, switched off, or whose handle was never
// opened), and RepairWriteHandle whenever the read side works while the write side does
// not.
#include <windows.h>

#include "comm/DeviceIdentity.h"
#include "comm/HandleLedger.h"
#include "comm/UsbComm.h"
#include "trace/DebugTrace.h"

namespace {

HANDLE OpenDevicePath(const char* path, DWORD flags) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, flags, nullptr);
}

bool IsOpen(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

}  // namespace

// Both handles are reopened on the bare interface path of the pipeline's own printer: the
// search runs afresh every time, and takes that printer and no other, so a second printer
// plugged in meanwhile (the kitchen's) never receives the till's receipts. Only a path the
// search accepted is opened: what the name buffer holds after a failed search is an old
// path, an empty one, or that of an interface that refused its open.
//
// The read handle is the worker's alone and goes first. The write handle is replaced in one
// step, only once its successor is open: a writer uses the old one until then (and the old
// one is closed when its last writer leaves), so a reopen never makes a write fail that the
// old handle would have carried. A write handle of another printer (a printer now served by
// the maker's driver, opened by a later open) is not this pipeline's and is left alone.
//
// Only the read handle that failed is given up: an application's read open may have found
// the printer since and installed a handle of its own, at any moment of the recovery. That
// handle stays, and the write side is only repaired, never reopened with a purge that would
// throw away a reply already on its way to the open.
std::int32_t CUsbComm::ReopenCom() { return ReopenCom(m_hReadPort.Get()); }

std::int32_t CUsbComm::ReopenCom(HANDLE failedRead, bool* foundNothing) {
  if (foundNothing != nullptr) *foundNothing = false;
  DebugTrace("ReopenCom", "Invalidate Handles");
  m_bHandlesValid = 0;
  DeviceIdentity identity;
  CopyPipelineDevice(identity, sizeof identity);
  // A printer that stays away keeps the member INVALID_HANDLE_VALUE through the search, so
  // that it counts as away (PrinterIsAway) until a handle is installed.
  const HANDLE searching = failedRead == INVALID_HANDLE_VALUE ? INVALID_HANDLE_VALUE : nullptr;
  if (!m_hReadPort.ReplaceIf(failedRead, searching)) return KeepReadHandleOfAnOpen();
  // The pipeline's printer has gone, and the write handle with it when it is that printer's:
  // marked, an open replaces it rather than hand it back, while writers use it until then.
  const HANDLE heldWrite = m_hWritePort.Get();
  const bool writeIsPipelines = WriteBelongsToPipeline();
  if (writeIsPipelines) TheHandleLedger().MarkGone(heldWrite);

  const bool found = FindDevice(kPrinterClassUsb, m_szDeviceName,
                                static_cast<std::int32_t>(kDeviceNameSize),
                                identity[0] != '\0' ? identity : nullptr) != 0;
  const HANDLE readPort =
      found ? OpenDevicePath(m_szDeviceName, FILE_FLAG_OVERLAPPED) : INVALID_HANDLE_VALUE;
  if (readPort == INVALID_HANDLE_VALUE) {
    DebugTrace("ReopenCom - CreateFile", " h = INVALID_HANDLE_VALUE");
  }
  if (!m_hReadPort.ReplaceIf(searching, readPort)) return KeepReadHandleOfAnOpen();
  if (foundNothing != nullptr) *foundNothing = readPort == INVALID_HANDLE_VALUE;

  if (heldWrite != nullptr && !writeIsPipelines) {
    if (readPort != INVALID_HANDLE_VALUE) m_bHandlesValid = 1;
  } else if (found) {
    // Purged before it is installed, so nobody else can have closed it in between.
    const HANDLE writePort = OpenDevicePath(m_szDeviceName, 0);
    if (writePort != INVALID_HANDLE_VALUE) {
      PurgeComm(writePort, PURGE_TXCLEAR);
      PurgeComm(writePort, PURGE_RXCLEAR);
      if (m_hWritePort.ReplaceIf(heldWrite, writePort)) {
        SetWriteDevice(m_szDeviceName);
        m_bHandlesValid = 1;
      }
    }
  }
  DebugTrace("ReopenCom", m_bHandlesValid.load() ? "Handles Valid" : "Handles Invalid");
  return m_bHandlesValid.load();
}

// An open installed a read handle during the recovery: the printer is there, and the open
// repaired the write side, or the repair here does.
std::int32_t CUsbComm::KeepReadHandleOfAnOpen() {
  DebugTrace("ReopenCom", "Read handle reopened by an open");
  RepairWriteHandle();
  m_bHandlesValid = 1;
  DebugTrace("ReopenCom", "Handles Valid");
  return m_bHandlesValid.load();
}

// The member holds INVALID_HANDLE_VALUE from a recovery that found no printer until a
// recovery or an open installs a handle: read from the one member, the answer can never
// disagree with the handle the worker reads on.
bool CUsbComm::PrinterIsAway() const { return m_hReadPort.Get() == INVALID_HANDLE_VALUE; }

// Only a write handle that Java opened (the member is not empty) and that belongs to the
// pipeline's printer is repaired; the printer is found by its identity, as recovery finds it.
// No purge here: the read side works, and its input is still on its way to Java.
bool CUsbComm::RepairWriteHandle() {
  const HANDLE held = m_hWritePort.Get();
  if (held == nullptr) return false;
  if (IsOpen(held) && !TheHandleLedger().IsGone(held)) return false;
  if (!WriteBelongsToPipeline()) return false;
  DeviceIdentity identity;
  CopyPipelineDevice(identity, sizeof identity);
  char path[kDeviceNameSize];
  if (!FindDevice(kPrinterClassUsb, path, static_cast<std::int32_t>(sizeof path), identity)) {
    return false;
  }
  const HANDLE writePort = OpenDevicePath(path, 0);
  if (writePort == INVALID_HANDLE_VALUE) {
    DebugTrace("ReopenCom", "Write handle could not be reopened");
    return false;
  }
  if (!m_hWritePort.ReplaceIf(held, writePort)) return false;  // an open was quicker
  DebugTrace("ReopenCom", "Write handle reopened");
  return true;
}
