#include "support/FakeJni.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Each thread that calls natives has a table of its own.
thread_local FakeJni* g_current = nullptr;

constexpr std::intptr_t kReceiver = 0x1000;
constexpr std::intptr_t kHolder = 0x2000;
constexpr std::intptr_t kBareHolder = 0x3000;
jfieldID const kReadField = reinterpret_cast<jfieldID>(1);
jfieldID const kWriteField = reinterpret_cast<jfieldID>(2);

// A virtual machine dereferences the object or array it is given; with a null one it
// crashes (or, under -Xcheck:jni, ends with a fatal error). So does this table, loudly.
void RequireReference(const void* reference, const char* function) {
  if (reference != nullptr) return;
  std::fprintf(stderr, "FATAL ERROR in native method: %s called with null\n", function);
  std::fflush(stderr);
  std::abort();
}

}  // namespace

struct FakeJniFunctions {
  static jclass JNICALL GetObjectClass(JNIEnv*, jobject object) {
    RequireReference(object, "GetObjectClass");
    return reinterpret_cast<jclass>(object);
  }
  static jfieldID JNICALL GetFieldID(JNIEnv*, jclass cls, const char* name, const char* sig) {
    if (reinterpret_cast<std::intptr_t>(cls) != kHolder || std::strcmp(sig, "I") != 0) {
      g_current->exceptionPending = true;  // NoSuchFieldError
      return nullptr;
    }
    if (std::strcmp(name, "hReadPort") == 0) return kReadField;
    if (std::strcmp(name, "hWritePort") == 0) return kWriteField;
    g_current->exceptionPending = true;
    return nullptr;
  }
  static void JNICALL SetIntField(JNIEnv*, jobject, jfieldID field, jint value) {
    ++g_current->setIntFieldCalls;
    (field == kReadField ? g_current->hReadPort : g_current->hWritePort) = value;
  }
  static jsize JNICALL GetArrayLength(JNIEnv*, jarray array) {
    RequireReference(array, "GetArrayLength");
    return static_cast<jsize>(reinterpret_cast<FakeArray*>(array)->bytes.size());
  }
  static jbyte* JNICALL GetByteArrayElements(JNIEnv*, jbyteArray array, jboolean*) {
    RequireReference(array, "GetByteArrayElements");
    if (g_current->failElements) {
      g_current->exceptionPending = true;  // OutOfMemoryError
      return nullptr;
    }
    const std::vector<jbyte>& bytes = reinterpret_cast<FakeArray*>(array)->bytes;
    auto* copy = static_cast<jbyte*>(std::malloc(bytes.size() + 1));
    if (copy == nullptr) {
      g_current->exceptionPending = true;  // OutOfMemoryError
      return nullptr;
    }
    if (!bytes.empty()) std::memcpy(copy, bytes.data(), bytes.size());
    return copy;
  }
  static void JNICALL ReleaseByteArrayElements(JNIEnv*, jbyteArray array, jbyte* elements,
                                               jint mode) {
    RequireReference(array, "ReleaseByteArrayElements");
    g_current->lastReleaseMode = mode;
    std::vector<jbyte>& bytes = reinterpret_cast<FakeArray*>(array)->bytes;
    if (mode != JNI_ABORT && !bytes.empty()) std::memcpy(bytes.data(), elements, bytes.size());
    if (mode != JNI_COMMIT) std::free(elements);
  }
  static void JNICALL SetByteArrayRegion(JNIEnv*, jbyteArray array, jsize start, jsize length,
                                         const jbyte* bytes) {
    RequireReference(array, "SetByteArrayRegion");
    std::memcpy(reinterpret_cast<FakeArray*>(array)->bytes.data() + start, bytes,
                static_cast<size_t>(length));
  }
  // Modified UTF-8 as the virtual machine reads it, up to three bytes a unit; a byte that
  // starts no valid sequence becomes U+FFFD.
  static jstring JNICALL NewStringUTF(JNIEnv*, const char* text) {
    auto* s = new std::u16string();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; bytes[i] != 0;) {
      const unsigned lead = bytes[i];
      const bool two = (lead & 0xE0) == 0xC0 && (bytes[i + 1] & 0xC0) == 0x80;
      const bool three = (lead & 0xF0) == 0xE0 && (bytes[i + 1] & 0xC0) == 0x80 &&
                         (bytes[i + 2] & 0xC0) == 0x80;
      if (lead < 0x80) {
        s->push_back(static_cast<char16_t>(lead));
        i += 1;
      } else if (two) {
        s->push_back(static_cast<char16_t>(((lead & 0x1F) << 6) | (bytes[i + 1] & 0x3F)));
        i += 2;
      } else if (three) {
        s->push_back(static_cast<char16_t>(((lead & 0x0F) << 12) | ((bytes[i + 1] & 0x3F) << 6) |
                                           (bytes[i + 2] & 0x3F)));
        i += 3;
      } else {
        s->push_back(u'\uFFFD');
        i += 1;
      }
    }
    g_current->m_strings.push_back(s);
    return reinterpret_cast<jstring>(s);
  }
  static jstring JNICALL NewString(JNIEnv*, const jchar* text, jsize length) {
    auto* s = new std::u16string(text, text + length);
    g_current->m_strings.push_back(s);
    return reinterpret_cast<jstring>(s);
  }
  static jboolean JNICALL ExceptionCheck(JNIEnv*) {
    return g_current->exceptionPending ? JNI_TRUE : JNI_FALSE;
  }
};

FakeJni::FakeJni() : m_table{} {
  m_table.GetObjectClass = FakeJniFunctions::GetObjectClass;
  m_table.GetFieldID = FakeJniFunctions::GetFieldID;
  m_table.SetIntField = FakeJniFunctions::SetIntField;
  m_table.GetArrayLength = FakeJniFunctions::GetArrayLength;
  m_table.GetByteArrayElements = FakeJniFunctions::GetByteArrayElements;
  m_table.ReleaseByteArrayElements = FakeJniFunctions::ReleaseByteArrayElements;
  m_table.SetByteArrayRegion = FakeJniFunctions::SetByteArrayRegion;
  m_table.NewStringUTF = FakeJniFunctions::NewStringUTF;
  m_table.NewString = FakeJniFunctions::NewString;
  m_table.ExceptionCheck = FakeJniFunctions::ExceptionCheck;
  m_env.functions = &m_table;
  g_current = this;
}

FakeJni::~FakeJni() {
  for (std::u16string* s : m_strings) delete s;
  g_current = nullptr;
}

jobject FakeJni::Receiver() { return reinterpret_cast<jobject>(kReceiver); }
jobject FakeJni::Holder() { return reinterpret_cast<jobject>(kHolder); }
jobject FakeJni::HolderWithoutFields() { return reinterpret_cast<jobject>(kBareHolder); }

std::u16string FakeJni::Utf16(jstring s) const { return *reinterpret_cast<std::u16string*>(s); }

std::string FakeJni::Text(jstring s) const {
  const std::u16string& text = *reinterpret_cast<std::u16string*>(s);
  return std::string(text.begin(), text.end());
}
