// CUsbComm: everything the library knows about the printer connection, and g_UsbComm, the
// one process-wide instance that every exported native works on.
//
// Threads: Java threads calling the natives, and at most one receive worker. Every member
// that both touch is atomic or guarded, so each load or store is a whole value that the
// other thread sees without a data race; the events carry the coordination, and the ring
// buffer has its own mutex. m_szDeviceName is written only by whoever runs a device search
// on this object (the worker's handle recovery on g_UsbComm), and read by that same thread.
//
// Lifetimes: the worker uses m_hReadPort, m_pCCBuffer and the events until it sets
// m_hWorkerDone, its last act (its thread may take longer to end: Windows signals a thread
// only once the I/O it issued has completed, and a read a driver never completes is left to
// it); readers use the buffer and the events while inside m_readers. The teardown
// releases them only after both (TearDownReceivePipeline). Writers take m_hWritePort for
// the length of one write (SharedHandle), so recovery and closing may replace it at any
// time without a write reaching a closed handle.
//
// Printers: the receive pipeline belongs to one printer, the one its read pipe was opened
// on (m_szPipelineDevice, a DeviceIdentity), and recovery reopens that printer and no other.
// The write handle belongs to the printer it was opened on (m_szWriteDevice); recovery
// replaces it only when that is the pipeline's printer. Both are guarded by m_deviceLock.
#ifndef VANTORY_COMM_USBCOMM_H
#define VANTORY_COMM_USBCOMM_H

#include <windows.h>
#include <setupapi.h>

#include <atomic>
#include <cstdint>

#include "comm/CCBuffer.h"
#include "comm/ReaderGate.h"
#include "comm/SharedHandle.h"
#include "comm/SlimLock.h"

// Driver kinds, as usbInitPipe returns them.
constexpr std::int32_t kNativeUsb = 0;        // the printer maker's own USB driver
constexpr std::int32_t kPrinterClassUsb = 1;  // the Windows USB printer class driver

constexpr std::size_t kDeviceNameSize = 256;

class CUsbComm {
 public:
  CUsbComm();
  virtual ~CUsbComm();
  CUsbComm(const CUsbComm&) = delete;
  CUsbComm& operator=(const CUsbComm&) = delete;

  // Bytes waiting in the ring buffer, 0 when there is none. A hint, read without the
  // buffer's mutex.
  std::uint32_t BytesAvailable();

  // Device search (DeviceSearch.cpp). FindDevice answers 1 when a supported printer served
  // by that driver kind is present and could be opened, its interface path then in
  // `buffer`; 0 otherwise. With `wantedIdentity` (DeviceIdentity.h) only that printer is
  // taken. Nothing it opens or allocates outlives the call.
  std::int32_t FindDevice(std::int32_t driverKind, char* buffer, std::int32_t capacity,
                          const char* wantedIdentity = nullptr);
  HANDLE OpenUsbDevice(const GUID& interfaceClass, char* outNameBuf, std::int32_t capacity,
                       const char* wantedIdentity = nullptr);
  HANDLE OpenDeviceInterface(HDEVINFO deviceInfoSet, SP_DEVICE_INTERFACE_DATA* interfaceData,
                             char* buffer, std::int32_t capacity);

  // Finds the printer (the one of `wantedIdentity`, when given) into m_szDeviceName and
  // opens one of its pipes there, for reading and writing with synchronous access
  // (DriverProbe.cpp).
  HANDLE OpenPipe(std::int32_t driverKind, const char* pipeName,
                  const char* wantedIdentity = nullptr);

  // The receive loop the worker thread runs (ReceiveWorker.cpp); 0 on every path.
  std::int32_t ReceiveData();
  // Finds the pipeline's printer again and reopens the read handle on its interface path,
  // and the write handle too when it is that printer's (HandleRecovery.cpp). 1 when the
  // write handle could be reopened (or, when it is another printer's, the read handle).
  // ReopenCom(failedRead) gives up the read handle only while the member still holds the
  // one a read failed on; ReopenCom() the one it holds now. *foundNothing, when given, tells
  // whether the search found no printer, so that the member was left INVALID_HANDLE_VALUE.
  std::int32_t ReopenCom();
  std::int32_t ReopenCom(HANDLE failedRead, bool* foundNothing = nullptr);
  // A write handle of the pipeline's printer that failed to open, or whose device reported
  // its removal, is opened afresh on that printer, in one step: writers use the old one
  // until the new one is in place. True when it was replaced.
  bool RepairWriteHandle();

  // Which printers the pipeline and the write handle belong to (DeviceIdentity.h); an
  // empty path forgets.
  void SetPipelineDevice(const char* path);
  void SetWriteDevice(const char* path);
  void CopyPipelineDevice(char* identity, std::size_t capacity) const;
  bool WriteBelongsToPipeline() const;
  // Takes up to maxBytes received bytes, waiting at most 500 ms a pass when there are none
  // (WaitingRead.cpp). *count is written only when bytes are delivered.
  // On failure the thread's last error says why: ERROR_TIMEOUT when nothing came from a
  // printer that is there, ERROR_DEVICE_NOT_CONNECTED when the printer has gone and not come
  // back yet, ERROR_OPERATION_ABORTED when the port is closing, ERROR_INVALID_HANDLE when no
  // read pipe is open.
  BOOL GetPCLSData(void* destination, std::int32_t maxBytes, std::uint32_t* count,
                   std::int32_t waitMs);
  // Throws away up to maxBytes received bytes without waiting; the number thrown away.
  std::uint32_t DiscardReceived(std::uint32_t maxBytes);

  // Stops the worker and releases the receive pipeline and both device handles, in the
  // order thread handle, buffer, acknowledgement event, quit event, data event, wake,
  // caught-up and done events, read handle, write handle (PipelineTeardown.cpp). Waits first
  // until the worker touches nothing more (its done event, or its thread's end) and readers
  // have left, so nothing in use is freed. Writes the close's traces; with
  // `matchBranch` also those naming the device handles. 0 when it ran, 1 when the wait for
  // the worker failed and nothing was released.
  std::int32_t TearDownReceivePipeline(bool matchBranch);
  // Stops a receive worker that still runs without a read handle, and releases its thread
  // handle, buffer and events, before a new read pipe is brought up.
  void StopLeftoverPipeline();
  // True while a worker, its events or its buffer exist.
  bool HasReceivePipeline() const;

  std::atomic<std::int32_t> m_nUsbType;
  char m_szDeviceName[kDeviceNameSize];
  std::atomic<HANDLE> m_QuitEvent;             // manual reset: stop request
  std::atomic<HANDLE> m_ReadThreadTerminated;  // auto reset: stop acknowledged
  std::atomic<HANDLE> m_hPCLSDataEvent;        // manual reset: bytes were appended
  std::atomic<HANDLE> m_hWakeEvent;            // auto reset: a reader made room in the buffer,
                                               // a writer found the printer gone, or an open
                                               // installed a read handle
  // Wakes the worker from a wait for room or a pause while its printer is away: a write
  // just failed with a removal code, or an open found the printer again. Safe from any
  // thread at any time.
  void PromptWorker();
  std::atomic<HANDLE> m_hCaughtUpEvent;        // manual reset: the printer had nothing more
  std::atomic<HANDLE> m_hWorkerDone;           // manual reset: the worker touches nothing more
  // The worker's recovery found no printer, and no open has found it since.
  bool PrinterIsAway() const;
  std::atomic<std::int32_t> m_bReading;        // the receive loop runs while nonzero
  std::atomic<CCBuffer*> m_pCCBuffer;          // owning; null without a read pipe
  SharedHandle m_hReadPort;                    // overlapped handle the worker reads on
  SharedHandle m_hWritePort;                   // handle every write goes to
  std::atomic<std::int32_t> m_bHandlesValid;   // outcome of the last handle recovery
  std::atomic<HANDLE> m_hWorkerThread;

  ReaderGate m_readers;  // readers of m_pCCBuffer and the events

 private:
  mutable SlimLock m_deviceLock;
  char m_szPipelineDevice[kDeviceNameSize];  // guarded by m_deviceLock
  char m_szWriteDevice[kDeviceNameSize];     // guarded by m_deviceLock

  DWORD StopReceiveWorker();
  void ReleaseReceivePipeline();
  std::int32_t KeepReadHandleOfAnOpen();
};

// The worker thread's entry: runs the receive loop of the CUsbComm it is given (g_UsbComm).
DWORD WINAPI _ReceiveData(LPVOID port);

// Which driver serves the attached printer: tries "PIPE00" under the maker's driver, then
// under the printer class driver. Answers kNativeUsb also when neither opens; the outcome's
// text ("Native USB", "Printer Class USB", "Error opening USB") goes into `text`.
std::int32_t DetectUsbType(char* text, std::int32_t capacity);
// The same probe, telling "no printer" apart from the maker's driver: true with the driver
// kind whose "PIPE00" opened, false when neither did. `outcome` gets the outcome's text.
// With `wantedIdentity` only that printer is tried.
bool ProbeDriverKind(std::int32_t* kind, const char** outcome,
                     const char* wantedIdentity = nullptr);

// Made at load and never destroyed: on a host whose exit runs static destructors while
// other threads still run (a JVM that exits with a read waiting), the worker and a reader
// must still find the port object, its locks included.
extern CUsbComm& g_UsbComm;
// Path opened by usbInitPipe: device interface path, a backslash, the pipe name.
extern char g_szPipePath[kDeviceNameSize];
extern char g_szTraceLine[128];

#endif  // VANTORY_COMM_USBCOMM_H
