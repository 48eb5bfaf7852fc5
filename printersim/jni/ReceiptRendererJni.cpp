// The natives of com.palvex.printer.sim.ReceiptRenderer: receipt.h for Java. No C++
// exception crosses into the JVM; a failure to draw is the false of renderPng, with its
// reason kept for lastError on the same thread.
#include <jni.h>
#include <printersim/receipt.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace {

thread_local std::string t_lastError;

void Throw(JNIEnv* env, const char* className, const char* message) {
  if (env->ExceptionCheck()) return;
  jclass type = env->FindClass(className);
  if (type != nullptr) env->ThrowNew(type, message);
}

// False, with NullPointerException pending, when the array is null.
bool CopyBytes(JNIEnv* env, jbyteArray array, std::vector<std::uint8_t>* bytes) {
  if (array == nullptr) {
    Throw(env, "java/lang/NullPointerException", "escpos");
    return false;
  }
  const jsize size = env->GetArrayLength(array);
  bytes->resize(static_cast<std::size_t>(size));
  env->GetByteArrayRegion(array, 0, size, reinterpret_cast<jbyte*>(bytes->data()));
  return true;
}

// A new Java array with these bytes, or null with OutOfMemoryError pending.
jbyteArray ByteArrayOf(JNIEnv* env, const std::vector<std::uint8_t>& bytes) {
  jbyteArray array = env->NewByteArray(static_cast<jsize>(bytes.size()));
  if (array != nullptr) {
    env->SetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()),
                            reinterpret_cast<const jbyte*>(bytes.data()));
  }
  return array;
}

// A new Java array with these offsets (a Java array is shorter than 2^31), or null with
// OutOfMemoryError pending.
jintArray IntArrayOf(JNIEnv* env, const std::vector<std::size_t>& offsets) {
  const std::vector<jint> values(offsets.begin(), offsets.end());
  jintArray array = env->NewIntArray(static_cast<jsize>(values.size()));
  if (array != nullptr) env->SetIntArrayRegion(array, 0, static_cast<jsize>(values.size()), values.data());
  return array;
}

// Runs `body` on a copy of the ESC/POS array: `failure`, with an exception pending, when the
// array is null or the body throws (no C++ exception crosses into the JVM).
template <typename Result, typename Body>
Result WithEscPos(JNIEnv* env, jbyteArray escpos, Result failure, Body&& body) {
  try {
    std::vector<std::uint8_t> bytes;
    if (!CopyBytes(env, escpos, &bytes)) return failure;
    return body(bytes);
  } catch (const std::exception& e) {
    Throw(env, "java/lang/RuntimeException", e.what());
    return failure;
  }
}

}  // namespace

extern "C" {

JNIEXPORT jstring JNICALL Java_com_palvex_printer_sim_ReceiptRenderer_renderText(JNIEnv* env,
                                                                                jclass,
                                                                                jbyteArray escpos) {
  return WithEscPos(env, escpos, jstring{}, [&](const std::vector<std::uint8_t>& bytes) {
    // Characters of the Basic Multilingual Plane and never NUL: UTF-8 is modified UTF-8 here.
    return env->NewStringUTF(printersim::RenderText(bytes).c_str());
  });
}

JNIEXPORT jboolean JNICALL Java_com_palvex_printer_sim_ReceiptRenderer_renderPng(JNIEnv* env,
                                                                                jclass,
                                                                                jbyteArray escpos,
                                                                                jstring path) {
  return WithEscPos(env, escpos, jboolean{JNI_FALSE}, [&](const std::vector<std::uint8_t>& bytes) -> jboolean {
    if (path == nullptr) {
      Throw(env, "java/lang/NullPointerException", "path");
      return JNI_FALSE;
    }
    const char* chars = env->GetStringUTFChars(path, nullptr);
    if (chars == nullptr) return JNI_FALSE;  // OutOfMemoryError is pending
    const std::string pngPath(chars);
    env->ReleaseStringUTFChars(path, chars);
    const printersim::RenderResult result = printersim::RenderPng(bytes, pngPath);
    t_lastError = result.ok ? std::string() : result.error;
    return result.ok ? JNI_TRUE : JNI_FALSE;
  });
}

JNIEXPORT jintArray JNICALL Java_com_palvex_printer_sim_ReceiptRenderer_receiptEnds(
    JNIEnv* env, jclass, jbyteArray escpos) {
  return WithEscPos(env, escpos, jintArray{}, [&](const std::vector<std::uint8_t>& bytes) {
    return IntArrayOf(env, printersim::ReceiptEnds(bytes));
  });
}

JNIEXPORT jintArray JNICALL Java_com_palvex_printer_sim_ReceiptRenderer_lineEnds(
    JNIEnv* env, jclass, jbyteArray escpos) {
  return WithEscPos(env, escpos, jintArray{}, [&](const std::vector<std::uint8_t>& bytes) {
    return IntArrayOf(env, printersim::LineEnds(bytes));
  });
}

JNIEXPORT jbyteArray JNICALL Java_com_palvex_printer_sim_ReceiptRenderer_renderPngBytes(
    JNIEnv* env, jclass, jbyteArray escpos) {
  return WithEscPos(env, escpos, jbyteArray{}, [&](const std::vector<std::uint8_t>& bytes) -> jbyteArray {
    std::vector<std::uint8_t> png;
    const printersim::RenderResult result = printersim::RenderPngBytes(bytes, &png);
    t_lastError = result.ok ? std::string() : result.error;
    return result.ok ? ByteArrayOf(env, png) : nullptr;
  });
}

JNIEXPORT jbyteArray JNICALL Java_com_palvex_printer_sim_ReceiptRenderer_modesAtEnd(
    JNIEnv* env, jclass, jbyteArray escpos) {
  return WithEscPos(env, escpos, jbyteArray{}, [&](const std::vector<std::uint8_t>& bytes) {
    return ByteArrayOf(env, printersim::ModesAtEnd(bytes));
  });
}

JNIEXPORT jobjectArray JNICALL Java_com_palvex_printer_sim_ReceiptRenderer_modesAtCuts(
    JNIEnv* env, jclass, jbyteArray escpos, jint last) {
  return WithEscPos(env, escpos, jobjectArray{}, [&](const std::vector<std::uint8_t>& bytes) -> jobjectArray {
    const std::vector<std::vector<std::uint8_t>> modes =
        printersim::ModesAtCuts(bytes, static_cast<std::size_t>(std::max<jint>(last, 0)));
    jclass byteArray = env->FindClass("[B");
    if (byteArray == nullptr) return nullptr;
    jobjectArray all = env->NewObjectArray(static_cast<jsize>(modes.size()), byteArray, nullptr);
    for (std::size_t i = 0; all != nullptr && i < modes.size(); ++i) {
      jbyteArray one = ByteArrayOf(env, modes[i]);
      if (one == nullptr) return nullptr;
      env->SetObjectArrayElement(all, static_cast<jsize>(i), one);
      env->DeleteLocalRef(one);
    }
    return all;
  });
}

JNIEXPORT jstring JNICALL Java_com_palvex_printer_sim_ReceiptRenderer_lastError(JNIEnv* env,
                                                                               jclass) {
  return env->NewStringUTF(t_lastError.c_str());
}

}  // extern "C"
