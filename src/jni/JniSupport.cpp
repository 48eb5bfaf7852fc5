#include "jni/JniSupport.h"

SlimLock& PipeLifecycleLock() {
  // Initialized as a constant and never torn down (a slim lock needs no cleanup), so its
  // first use cannot fail and a Java thread may still call in while the process exits.
  static SlimLock lock;
  return lock;
}
