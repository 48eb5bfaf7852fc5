#include "jni/NamedDevice.h"

#include "comm/HandleLedger.h"
#include "comm/UsbComm.h"
#include "jni/PipeNames.h"

// The use is taken while the name is held live, so a close that ends the name and closes
// its handle cannot come between the look and the use.
NamedDeviceUse::NamedDeviceUse(std::int32_t name) {
  ThePipeNames().WithEntry(name, [this](const PipeNames::Entry& entry) {
    switch (entry.pipe) {
      case PipeNames::Pipe::kNativeRead:
        m_handle = entry.device;
        m_bCounted = TheHandleLedger().Acquire(m_handle);
        break;
      case PipeNames::Pipe::kPortRead:
        m_handle = g_UsbComm.m_hReadPort.Acquire(&m_bCounted);
        break;
      case PipeNames::Pipe::kPortWrite:
        m_handle = g_UsbComm.m_hWritePort.Acquire(&m_bCounted);
        break;
    }
  });
}

NamedDeviceUse::~NamedDeviceUse() {
  if (m_bCounted) TheHandleLedger().Release(m_handle);
}
