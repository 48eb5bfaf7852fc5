// A JNI function table of the tests' own, with just the functions the natives call, so they
// can be called without a virtual machine (and, on Windows, from a plain test program).
#ifndef VANTORY_TESTS_FAKEJNI_H
#define VANTORY_TESTS_FAKEJNI_H

#include <jni.h>

#include <cstdint>
#include <string>
#include <vector>

struct FakeArray {
  std::vector<jbyte> bytes;
};

class FakeJni {
 public:
  FakeJni();
  ~FakeJni();
  FakeJni(const FakeJni&) = delete;
  FakeJni& operator=(const FakeJni&) = delete;

  JNIEnv* env() { return &m_env; }

  // Objects: a holder with both int fields, one without, and a receiver.
  static jobject Receiver();
  static jobject Holder();
  static jobject HolderWithoutFields();
  static jbyteArray Array(FakeArray& array) { return reinterpret_cast<jbyteArray>(&array); }

  // What the natives did through the table.
  int setIntFieldCalls = 0;
  jint hReadPort = 0;
  jint hWritePort = 0;
  bool failElements = false;  // GetByteArrayElements yields null, as when memory ran out
  // The mode of the last ReleaseByteArrayElements, -1 before any. Elements are handed out
  // as a copy, as a virtual machine may, and mode 0 copies them back into the array.
  jint lastReleaseMode = -1;
  bool exceptionPending = false;
  std::string Text(jstring s) const;  // a string a native made, as UTF-16 narrowed to bytes
  std::u16string Utf16(jstring s) const;

 private:
  JNINativeInterface_ m_table;
  JNIEnv m_env;
  std::vector<std::u16string*> m_strings;

  friend struct FakeJniFunctions;
};

#endif  // VANTORY_TESTS_FAKEJNI_H
