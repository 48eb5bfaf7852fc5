// The library as the scenario tests meet it: its twelve natives, called straight into the
// library on the host and through the shipped DLL's exports on Windows, each from a Java
// thread of the test's making with a JNI table of its own; and the few facts of the
// platform that a scenario checks.
#ifndef VANTORY_TESTS_NATIVEPORT_H
#define VANTORY_TESTS_NATIVEPORT_H

#include <jni.h>
#include <windows.h>

#include <string>
#include <vector>

#include "support/FakeJni.h"

struct NativeExports {
  jint(JNICALL* usbInitPipe)(JNIEnv*, jobject, jobject, jint);
  jint(JNICALL* usbClosePipe)(JNIEnv*, jobject, jint);
  jint(JNICALL* usbReadInputPipe)(JNIEnv*, jobject, jint, jbyteArray);
  jint(JNICALL* usbWriteOutputPipe)(JNIEnv*, jobject, jint, jbyteArray);
  jint(JNICALL* usbGetCommTimeout)(JNIEnv*, jobject, jint);
  jint(JNICALL* usbSetCommTimeout)(JNIEnv*, jobject, jint, jint, jint, jint, jint, jint);
  jint(JNICALL* usbPurgeRequest)(JNIEnv*, jobject, jint);
  jint(JNICALL* usbGetGenericReadValue)(JNIEnv*, jobject);
  jint(JNICALL* usbGetGenericWriteValue)(JNIEnv*, jobject);
  jint(JNICALL* usbGetBytesAvailable)(JNIEnv*, jobject);
  jint(JNICALL* usbGetLastError)(JNIEnv*, jobject);
  jstring(JNICALL* usbGetErrorString)(JNIEnv*, jobject, jint);
};

// The natives under test, found once.
const NativeExports& Natives();

// Handles the library holds now, for leak checks: on the host every handle of the stand-in;
// under Windows those the DLL opened and has not closed.
int LiveHandleCount();
// What those handles are, for a failure message.
std::string LiveHandleKinds();
// Handles of the whole process now; under Windows this also moves with the test program's
// own runtime, which makes a few objects of its own on first use.
int ProcessHandleCount();

// The next `count` calls that the library makes of the system function `function` fail with
// `error`, after `skip` calls that still succeed.
void FailNextSystemCalls(const char* function, DWORD error, int count, int skip = 0);
void ClearSystemFaults();

// Debugger output since the last call, one entry per OutputDebugStringA call.
std::vector<std::string> TakeDebugOutput();

// A handle on a simulated device that the library did not open, as another part of the
// application (or the JVM) might hold one, with a synchronous read and a close of its own.
HANDLE OpenDeviceBehindTheLibrarysBack(const std::string& path, DWORD flags);
BOOL ReadBehindTheLibrarysBack(HANDLE device, void* buffer, DWORD size, DWORD* read);
BOOL CloseBehindTheLibrarysBack(HANDLE device);

// One Java thread: a JNI table and a holder of its own. Construct it on the thread that
// makes the calls.
class JavaThread {
 public:
  static constexpr jint kRead = static_cast<jint>(0x80000000u);
  static constexpr jint kWrite = 0x40000000;

  jint Init(jint access) { return Natives().usbInitPipe(env(), FakeJni::Receiver(), FakeJni::Holder(), access); }
  jint InitWithHolder(jobject holder, jint access) {
    return Natives().usbInitPipe(env(), FakeJni::Receiver(), holder, access);
  }
  jint Close(jint handle) { return Natives().usbClosePipe(env(), FakeJni::Receiver(), handle); }
  jint Read(FakeArray* array, jint handle) {
    return Natives().usbReadInputPipe(env(), FakeJni::Receiver(), handle, Array(array));
  }
  jint Write(FakeArray* array, jint handle) {
    return Natives().usbWriteOutputPipe(env(), FakeJni::Receiver(), handle, Array(array));
  }
  jint GetCommTimeout(jint handle) {
    return Natives().usbGetCommTimeout(env(), FakeJni::Receiver(), handle);
  }
  jint SetCommTimeout(jint handle, jint a, jint b, jint c, jint d, jint e) {
    return Natives().usbSetCommTimeout(env(), FakeJni::Receiver(), handle, a, b, c, d, e);
  }
  jint Purge(jint handle) { return Natives().usbPurgeRequest(env(), FakeJni::Receiver(), handle); }
  jint GenericRead() { return Natives().usbGetGenericReadValue(env(), FakeJni::Receiver()); }
  jint GenericWrite() { return Natives().usbGetGenericWriteValue(env(), FakeJni::Receiver()); }
  jint BytesAvailable() { return Natives().usbGetBytesAvailable(env(), FakeJni::Receiver()); }
  jint LastError() { return Natives().usbGetLastError(env(), FakeJni::Receiver()); }
  std::string ErrorString(jint code) {
    const jstring text = Natives().usbGetErrorString(env(), FakeJni::Receiver(), code);
    return text == nullptr ? std::string() : m_jni.Text(text);
  }

  // Opens both pipes as an application does, write first; false unless both report `kind`.
  bool OpenBoth(jint kind) { return Init(kWrite) == kind && Init(kRead) == kind; }
  // Closes what the holder holds, as an application does at the end.
  void CloseBoth() {
    if (m_jni.hWritePort != 0) Close(m_jni.hWritePort);
    if (m_jni.hReadPort != 0) Close(m_jni.hReadPort);
    m_jni.hWritePort = m_jni.hReadPort = 0;
  }

  jint readHandle() const { return m_jni.hReadPort; }
  jint writeHandle() const { return m_jni.hWritePort; }
  FakeJni& jni() { return m_jni; }

 private:
  JNIEnv* env() { return m_jni.env(); }
  static jbyteArray Array(FakeArray* array) {
    return array == nullptr ? nullptr : FakeJni::Array(*array);
  }

  FakeJni m_jni;
};

#endif  // VANTORY_TESTS_NATIVEPORT_H
