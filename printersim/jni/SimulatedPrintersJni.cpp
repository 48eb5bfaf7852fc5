// The natives of com.palvex.printer.sim.SimulatedPrinters: the control API for Java tests.
// A C++ exception never crosses into the JVM: std::invalid_argument (an unknown printer
// id, an argument out of range) becomes IllegalArgumentException, anything else
// RuntimeException.
#include <hostwin/hostwin.h>
#include <jni.h>
#include <printersim/printersim.h>

#include "comm/SupportedPrinters.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

void Throw(JNIEnv* env, const char* className, const char* message) {
  if (env->ExceptionCheck()) return;  // the first exception is the one Java sees
  jclass type = env->FindClass(className);
  if (type != nullptr) env->ThrowNew(type, message);
}

// Runs `body`, turning what it throws into the Java exception; `failed` is the value the
// native returns then (Java ignores it once an exception is pending).
template <typename Result, typename Body>
Result Guarded(JNIEnv* env, Result failed, Body body) {
  try {
    return body();
  } catch (const std::invalid_argument& e) {
    Throw(env, "java/lang/IllegalArgumentException", e.what());
  } catch (const std::exception& e) {
    Throw(env, "java/lang/RuntimeException", e.what());
  }
  return failed;
}

template <typename Body>
void GuardedVoid(JNIEnv* env, Body body) {
  Guarded(env, 0, [&] {
    body();
    return 0;
  });
}

std::string ToString(JNIEnv* env, jstring text) {
  if (text == nullptr) return std::string();
  const char* chars = env->GetStringUTFChars(text, nullptr);
  if (chars == nullptr) throw std::runtime_error("out of memory");
  std::string copy(chars);
  env->ReleaseStringUTFChars(text, chars);
  return copy;
}

// Debugger output is 8-bit text of any code page; taking each byte as one UTF-16 unit
// keeps every line a valid Java string, which NewStringUTF would not promise.
jstring ToJavaString(JNIEnv* env, const std::string& line) {
  std::vector<jchar> units(line.begin(), line.end());
  for (std::size_t i = 0; i < line.size(); ++i) {
    units[i] = static_cast<jchar>(static_cast<unsigned char>(line[i]));
  }
  return env->NewString(units.data(), static_cast<jsize>(units.size()));
}

jbyteArray ToJavaBytes(JNIEnv* env, const std::vector<std::uint8_t>& bytes) {
  jbyteArray array = env->NewByteArray(static_cast<jsize>(bytes.size()));
  if (array != nullptr) {
    env->SetByteArrayRegion(array, 0, static_cast<jsize>(bytes.size()),
                            reinterpret_cast<const jbyte*>(bytes.data()));
  }
  return array;
}

std::vector<std::string> SplitLines(const std::vector<std::string>& entries) {
  std::string all;
  for (const std::string& entry : entries) all += entry;
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < all.size()) {
    std::size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    lines.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// One of a printer's logs from `from` on; `start` (may be null) gets the offset the answer
// begins at, later than `from` when the printer no longer keeps what came before.
template <typename Log>
jbyteArray LogFrom(JNIEnv* env, jint id, jlong from, jlongArray start, Log log) {
  return Guarded(env, static_cast<jbyteArray>(nullptr), [&]() -> jbyteArray {
    if (from < 0) throw std::invalid_argument("from must not be negative");
    if (start != nullptr && env->GetArrayLength(start) < 1) throw std::invalid_argument("start needs one element");
    std::uint64_t first = 0;
    jbyteArray bytes = ToJavaBytes(env, log(id, static_cast<std::uint64_t>(from), &first));
    if (bytes != nullptr && start != nullptr) {
      const jlong value = static_cast<jlong>(first);
      env->SetLongArrayRegion(start, 0, 1, &value);
    }
    return bytes;
  });
}
// A printer's state in the bits of SimulatedPrinters.state, and back.
int BitsOf(const printersim::PrinterState& state) {
  return static_cast<int>(state.paper) | (state.coverOpen ? 1 << 2 : 0) | (state.offline ? 1 << 3 : 0) |
         (state.recoverableError ? 1 << 4 : 0) | (state.unrecoverableError ? 1 << 5 : 0) |
         (state.drawerOpen ? 1 << 6 : 0);
}

printersim::PrinterState StateOf(int bits) {
  printersim::PrinterState state;
  state.paper = static_cast<printersim::Paper>(bits & 3);
  state.coverOpen = (bits & (1 << 2)) != 0;
  state.offline = (bits & (1 << 3)) != 0;
  state.recoverableError = (bits & (1 << 4)) != 0;
  state.unrecoverableError = (bits & (1 << 5)) != 0;
  state.drawerOpen = (bits & (1 << 6)) != 0;
  return state;
}

// The lines of the debugger output since the last take, from the newest `most` on; `left`
// (may be null) gets how many older lines were let go unread.
jobjectArray TakeNewestDebugLines(JNIEnv* env, jlong most, jlongArray left) {
  return Guarded(env, static_cast<jobjectArray>(nullptr), [&]() -> jobjectArray {
    if (most < 0) throw std::invalid_argument("most must not be negative");
    if (left != nullptr && env->GetArrayLength(left) < 1) throw std::invalid_argument("left needs one element");
    // An entry holds a line or more: the newest `most` entries hold the newest `most` lines.
    const std::size_t newest = static_cast<std::size_t>(most);
    std::size_t older = 0;
    const std::vector<std::string> lines = SplitLines(hostwin::TakeDebugOutput(newest, &older));
    const std::size_t first = lines.size() > newest ? lines.size() - newest : 0;
    if (left != nullptr) {
      const jlong skipped = static_cast<jlong>(older + first);
      env->SetLongArrayRegion(left, 0, 1, &skipped);
    }
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) return nullptr;
    jobjectArray array = env->NewObjectArray(static_cast<jsize>(lines.size() - first), stringClass, nullptr);
    if (array == nullptr) return nullptr;
    for (std::size_t i = first; i < lines.size(); ++i) {
      jstring line = ToJavaString(env, lines[i]);
      if (line == nullptr) return nullptr;
      env->SetObjectArrayElement(array, static_cast<jsize>(i - first), line);
      env->DeleteLocalRef(line);  // a long capture would otherwise exhaust the local frame
    }
    return array;
  });
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_attach(
    JNIEnv* env, jclass, jint driverKind, jint vendorId, jint productId, jstring serial) {
  return Guarded(env, jint{0}, [&] {
    return static_cast<jint>(printersim::Attach(driverKind, vendorId, productId, ToString(env, serial)));
  });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_detach(JNIEnv* env, jclass,
                                                                            jint id) {
  GuardedVoid(env, [&] { printersim::Detach(id); });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_reattach__I(JNIEnv* env,
                                                                                 jclass, jint id) {
  GuardedVoid(env, [&] { printersim::Reattach(id); });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_reattach__ILjava_lang_String_2(
    JNIEnv* env, jclass, jint id, jstring serial) {
  if (serial == nullptr) {
    Throw(env, "java/lang/NullPointerException", "serial");
    return;
  }
  GuardedVoid(env, [&] { printersim::Reattach(id, ToString(env, serial)); });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_stallWrites(JNIEnv* env,
                                                                                 jclass, jint id) {
  GuardedVoid(env, [&] { printersim::StallWrites(id); });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_releaseWrites(JNIEnv* env,
                                                                                   jclass, jint id) {
  GuardedVoid(env, [&] { printersim::ReleaseWrites(id); });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_unplugAfterBytes(
    JNIEnv* env, jclass, jint id, jint bytes) {
  if (bytes < 0) {
    Throw(env, "java/lang/IllegalArgumentException", "bytes must not be negative");
    return;
  }
  GuardedVoid(env, [&] { printersim::UnplugAfterBytes(id, static_cast<std::uint64_t>(bytes)); });
}

// The state travels as bits: paper in bits 0-1 (0 present, 1 near end, 2 out), then cover
// open, off line, a recoverable error, an unrecoverable error and the drawer open.
JNIEXPORT jint JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_state(JNIEnv* env, jclass,
                                                                           jint id) {
  return Guarded(env, jint{0}, [&] {
    return static_cast<jint>(BitsOf(printersim::State(id)));
  });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_changeState(
    JNIEnv* env, jclass, jint id, jint mask, jint bits) {
  GuardedVoid(env, [&] {
    printersim::ChangeState(id, [&](printersim::PrinterState* state) {
      const int next = (BitsOf(*state) & ~mask) | (bits & mask);
      if ((next & 3) == 3 || (next & ~0x7F) != 0) throw std::invalid_argument("no such state");
      *state = StateOf(next);
    });
  });
}

JNIEXPORT jboolean JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_isPresent(JNIEnv* env,
                                                                                   jclass, jint id) {
  return Guarded(env, jboolean{JNI_FALSE},
                 [&] { return printersim::IsPresent(id) ? jboolean{JNI_TRUE} : jboolean{JNI_FALSE}; });
}

JNIEXPORT jlong JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_drawerPulses(JNIEnv* env,
                                                                                   jclass, jint id) {
  return Guarded(env, jlong{0}, [&] { return static_cast<jlong>(printersim::DrawerPulses(id)); });
}

JNIEXPORT jlongArray JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_cutEnds(
    JNIEnv* env, jclass, jint id, jint most, jlongArray count) {
  return Guarded(env, static_cast<jlongArray>(nullptr), [&]() -> jlongArray {
    if (most < 0) throw std::invalid_argument("most must not be negative");
    if (count != nullptr && env->GetArrayLength(count) < 1) throw std::invalid_argument("count needs one element");
    std::vector<std::uint64_t> ends;
    const jlong cuts = static_cast<jlong>(printersim::Cuts(id, &ends, static_cast<std::size_t>(most)));
    if (count != nullptr) env->SetLongArrayRegion(count, 0, 1, &cuts);
    const std::vector<jlong> values(ends.begin(), ends.end());
    jlongArray array = env->NewLongArray(static_cast<jsize>(values.size()));
    if (array != nullptr) env->SetLongArrayRegion(array, 0, static_cast<jsize>(values.size()), values.data());
    return array;
  });
}

JNIEXPORT jbyteArray JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_printed(
    JNIEnv* env, jclass, jint id, jlong from, jlongArray start) {
  return LogFrom(env, id, from, start, [](int printer, std::uint64_t first, std::uint64_t* begins) {
    return printersim::Printed(printer, first, begins);
  });
}

JNIEXPORT jbyteArray JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_delivered(
    JNIEnv* env, jclass, jint id, jlong from, jlongArray start) {
  return LogFrom(env, id, from, start, [](int printer, std::uint64_t first, std::uint64_t* begins) {
    return printersim::Delivered(printer, first, begins);
  });
}

JNIEXPORT jbyteArray JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_receivedFrom(
    JNIEnv* env, jclass, jint id, jlong from, jlongArray start) {
  return LogFrom(env, id, from, start, [](int printer, std::uint64_t first, std::uint64_t* begins) {
    return printersim::Received(printer, first, begins);
  });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_keepRecent(JNIEnv* env, jclass,
                                                                                jint id, jlong bytes) {
  GuardedVoid(env, [&] {
    if (bytes < 0) throw std::invalid_argument("bytes must not be negative");
    printersim::KeepRecent(id, static_cast<std::uint64_t>(bytes));
  });
}

JNIEXPORT jobjectArray JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_modelNames(JNIEnv* env,
                                                                                        jclass) {
  return Guarded(env, static_cast<jobjectArray>(nullptr), [&]() -> jobjectArray {
    jclass stringClass = env->FindClass("java/lang/String");
    if (stringClass == nullptr) return nullptr;
    jobjectArray array = env->NewObjectArray(static_cast<jsize>(kSupportedPrinterCount), stringClass, nullptr);
    if (array == nullptr) return nullptr;
    for (std::size_t i = 0; i < kSupportedPrinterCount; ++i) {
      jstring name = env->NewStringUTF(kSupportedPrinters[i].model);
      if (name == nullptr) return nullptr;
      env->SetObjectArrayElement(array, static_cast<jsize>(i), name);
      env->DeleteLocalRef(name);
    }
    return array;
  });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_reset(JNIEnv* env, jclass) {
  GuardedVoid(env, [&] {
    printersim::Reset();
    hostwin::ClearFaults();
    hostwin::ClearDebugOutput();
  });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_send(JNIEnv* env, jclass,
                                                                          jint id,
                                                                          jbyteArray data) {
  if (data == nullptr) {
    Throw(env, "java/lang/NullPointerException", "data");
    return;
  }
  GuardedVoid(env, [&] {
    const jsize size = env->GetArrayLength(data);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size));
    env->GetByteArrayRegion(data, 0, size, reinterpret_cast<jbyte*>(bytes.data()));
    printersim::Send(id, bytes);
  });
}

JNIEXPORT jbyteArray JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_received(
    JNIEnv* env, jclass, jint id) {
  return Guarded(env, static_cast<jbyteArray>(nullptr),
                 [&] { return ToJavaBytes(env, printersim::Received(id)); });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_failNextReads(
    JNIEnv* env, jclass, jint id, jint win32Error, jint count) {
  GuardedVoid(env, [&] { printersim::FailNextReads(id, static_cast<DWORD>(win32Error), count); });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_failNextOpens(
    JNIEnv* env, jclass, jint id, jint win32Error, jint count) {
  GuardedVoid(env, [&] { printersim::FailNextOpens(id, static_cast<DWORD>(win32Error), count); });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_setStatusByte(
    JNIEnv* env, jclass, jint id, jint n, jint value) {
  GuardedVoid(env, [&] { printersim::SetStatusByte(id, n, value); });
}

JNIEXPORT void JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_setReadMode(JNIEnv* env,
                                                                                 jclass, jint id,
                                                                                 jint mode) {
  GuardedVoid(env, [&] { printersim::SetReadMode(id, mode); });
}

JNIEXPORT jobjectArray JNICALL
Java_com_palvex_printer_sim_SimulatedPrinters_takeDebugOutput__(JNIEnv* env, jclass) {
  return TakeNewestDebugLines(env, std::numeric_limits<jint>::max(), nullptr);
}

JNIEXPORT jobjectArray JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_takeDebugOutput__I_3J(
    JNIEnv* env, jclass, jint most, jlongArray left) {
  return TakeNewestDebugLines(env, most, left);
}

JNIEXPORT jintArray JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_supportedIds(JNIEnv* env,
                                                                                       jclass) {
  return Guarded(env, static_cast<jintArray>(nullptr), [&] {
    const std::vector<std::uint32_t> ids = printersim::SupportedIds();
    std::vector<jint> values;
    for (std::uint32_t id : ids) values.push_back(static_cast<jint>(id));
    jintArray array = env->NewIntArray(static_cast<jsize>(values.size()));
    if (array != nullptr) {
      env->SetIntArrayRegion(array, 0, static_cast<jsize>(values.size()), values.data());
    }
    return array;
  });
}

JNIEXPORT jint JNICALL Java_com_palvex_printer_sim_SimulatedPrinters_openHandleCount(JNIEnv* env,
                                                                                     jclass) {
  return Guarded(env, jint{0}, [] { return static_cast<jint>(hostwin::OpenHandleCount()); });
}

}  // extern "C"
