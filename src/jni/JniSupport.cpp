#include "jni/JniSupport.h"

SlimLock& PipeLifecycleLock() {
  // Never destroyed: a Java thread may still call in while the process exits.
  static SlimLock* lock = new SlimLock();
  return *lock;
}
