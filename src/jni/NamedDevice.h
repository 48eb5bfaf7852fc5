// The device handle behind a name Java passes (PipeNames.h), taken into use for one scope:
// a maker's driver read handle of Java's own, or the port's current read or write handle.
// Not ok for a name that names nothing, or a pipe whose handle is not open now; the handle
// then is never touched.
#ifndef VANTORY_JNI_NAMEDDEVICE_H
#define VANTORY_JNI_NAMEDDEVICE_H

#include <windows.h>

#include <cstdint>

class NamedDeviceUse {
 public:
  explicit NamedDeviceUse(std::int32_t name);
  ~NamedDeviceUse();
  NamedDeviceUse(const NamedDeviceUse&) = delete;
  NamedDeviceUse& operator=(const NamedDeviceUse&) = delete;

  bool ok() const { return m_bCounted; }
  HANDLE get() const { return m_handle; }

 private:
  HANDLE m_handle = nullptr;
  bool m_bCounted = false;
};

#endif  // VANTORY_JNI_NAMEDDEVICE_H
