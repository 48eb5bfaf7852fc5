// CUsbComm: everything the library knows about the printer connection, and g_UsbComm, the
// one process-wide instance that every exported native works on.
//
// Threads: Java threads calling the natives, and at most one receive worker. Every member
// that both touch is atomic, so each load or store is a whole value that the other thread
// sees without a data race; the events carry the coordination, and the ring buffer has its
// own mutex. m_szDeviceName is written only by whoever runs a device search on this object
// (the worker's handle recovery on g_UsbComm), and read by that same thread.
#ifndef VANTORY_COMM_USBCOMM_H
#define VANTORY_COMM_USBCOMM_H

#include <windows.h>
#include <setupapi.h>

#include <atomic>
#include <cstdint>

#include "comm/CCBuffer.h"

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
  std::uint32_t BytesAvailable() const;

  // Device search (DeviceSearch.cpp). FindDevice answers 1 when a supported printer served
  // by that driver kind is present and could be opened, its interface path then in
  // `buffer`; 0 otherwise. Nothing it opens or allocates outlives the call.
  std::int32_t FindDevice(std::int32_t driverKind, char* buffer, std::int32_t capacity);
  HANDLE OpenUsbDevice(const GUID& interfaceClass, char* outNameBuf, std::int32_t capacity);
  HANDLE OpenDeviceInterface(HDEVINFO deviceInfoSet, SP_DEVICE_INTERFACE_DATA* interfaceData,
                             char* buffer, std::int32_t capacity);

  // Finds the printer into m_szDeviceName and opens one of its pipes there, for reading and
  // writing with synchronous access (DriverProbe.cpp).
  HANDLE OpenPipe(std::int32_t driverKind, const char* pipeName);

  std::atomic<std::int32_t> m_nUsbType;
  char m_szDeviceName[kDeviceNameSize];
  std::atomic<HANDLE> m_QuitEvent;             // manual reset: stop request
  std::atomic<HANDLE> m_ReadThreadTerminated;  // auto reset: stop acknowledged
  std::atomic<HANDLE> m_hPCLSDataEvent;        // manual reset: bytes were appended
  std::atomic<std::int32_t> m_bReading;        // the receive loop runs while nonzero
  std::atomic<CCBuffer*> m_pCCBuffer;          // owning; null without a read pipe
  std::atomic<HANDLE> m_hReadPort;             // overlapped handle the worker reads on
  std::atomic<HANDLE> m_hWritePort;            // handle every write goes to
  std::atomic<std::int32_t> m_bHandlesValid;   // outcome of the last handle recovery
  std::atomic<HANDLE> m_hWorkerThread;
};

// Which driver serves the attached printer: tries "PIPE00" under the maker's driver, then
// under the printer class driver. Answers kNativeUsb also when neither opens; the outcome's
// text ("Native USB", "Printer Class USB", "Error opening USB") goes into `text`.
std::int32_t DetectUsbType(char* text, std::int32_t capacity);

extern CUsbComm g_UsbComm;
// Path opened by usbInitPipe: device interface path, a backslash, the pipe name.
extern char g_szPipePath[kDeviceNameSize];
extern char g_szTraceLine[128];

#endif  // VANTORY_COMM_USBCOMM_H
