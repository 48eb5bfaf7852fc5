#include "jni/JniSupport.h"

std::mutex& PipeLifecycleLock() {
  // Never destroyed: a Java thread may still call in while the process exits.
  static std::mutex* lock = new std::mutex();
  return *lock;
}
