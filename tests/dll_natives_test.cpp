// The Windows DLL as a JVM meets it: loaded with LoadLibrary, its natives found by their
// exported names and called through a JNI function table, with no printer attached. The
// traces are read the way a debugger reads them, from a child process this test debugs.
#include <jni.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "support/FakeJni.h"
#include "support/TraceLines.h"

namespace {

#ifdef _WIN64
const char* ExportName(const char* method, int) {
  static std::string name;
  name = std::string("Java_com_palvex_printer_UsbPort_") + method;
  return name.c_str();
}
#else
const char* ExportName(const char* method, int argumentBytes) {
  static std::string name;
  name = std::string("_Java_com_palvex_printer_UsbPort_") + method + "@" +
         std::to_string(argumentBytes);
  return name.c_str();
}
#endif

struct Native {
  const char* method;
  int argumentBytes;  // what the stdcall callee pops on a 32-bit system
};

const Native kNatives[] = {
    {"usbInitPipe", 16},         {"usbClosePipe", 12},           {"usbReadInputPipe", 16},
    {"usbWriteOutputPipe", 16},  {"usbGetCommTimeout", 12},      {"usbSetCommTimeout", 32},
    {"usbPurgeRequest", 12},     {"usbGetGenericReadValue", 8},  {"usbGetGenericWriteValue", 8},
    {"usbGetBytesAvailable", 8}, {"usbGetLastError", 8},         {"usbGetErrorString", 12},
};

// ---- The DLL ----

class DllNativesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_module = LoadLibraryA("VantoryUSB.dll");
    ASSERT_NE(m_module, nullptr) << "error " << GetLastError();
  }
  void TearDown() override {
    // Left loaded: the library releases nothing at unload, as a JVM never unloads it.
  }

  template <typename Fn>
  Fn Find(const char* method) {
    for (const Native& n : kNatives) {
      if (std::strcmp(n.method, method) == 0) {
        return reinterpret_cast<Fn>(
            reinterpret_cast<void*>(GetProcAddress(m_module, ExportName(method, n.argumentBytes))));
      }
    }
    return nullptr;
  }

  std::set<std::string> ExportedNames() const {
    const BYTE* base = reinterpret_cast<const BYTE*>(m_module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::set<std::string> result;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i) {
      result.insert(reinterpret_cast<const char*>(base + names[i]));
    }
    EXPECT_EQ(exports->NumberOfFunctions, exports->NumberOfNames);  // no export by ordinal only
    return result;
  }

  HMODULE m_module = nullptr;
  FakeJni m_fake;
};

using InitPipe = jint(JNICALL*)(JNIEnv*, jobject, jobject, jint);
using IntCall = jint(JNICALL*)(JNIEnv*, jobject, jint);
using ArrayCall = jint(JNICALL*)(JNIEnv*, jobject, jint, jbyteArray);
using SetTimeouts = jint(JNICALL*)(JNIEnv*, jobject, jint, jint, jint, jint, jint, jint);
using NoArgs = jint(JNICALL*)(JNIEnv*, jobject);
using ErrorString = jstring(JNICALL*)(JNIEnv*, jobject, jint);

jobject FakeObject(int tag) { return tag == 0 ? FakeJni::Receiver() : FakeJni::Holder(); }
constexpr jint kBadHandle = 0x7FFFFF00;

TEST_F(DllNativesTest, ExportsExactlyTheTwelveNatives) {
  std::set<std::string> expected;
  for (const Native& n : kNatives) expected.insert(ExportName(n.method, n.argumentBytes));
  EXPECT_EQ(ExportedNames(), expected);
}

TEST_F(DllNativesTest, CallsWithoutAPrinterFailAsDocumented) {
  JNIEnv* env = m_fake.env();
  const jobject self = FakeObject(0);

  EXPECT_EQ(Find<NoArgs>("usbGetGenericReadValue")(env, self), static_cast<jint>(0x80000000u));
  EXPECT_EQ(Find<NoArgs>("usbGetGenericWriteValue")(env, self), 0x40000000);
  EXPECT_EQ(Find<NoArgs>("usbGetBytesAvailable")(env, self), 0);

  const jobject holder = FakeObject(1);
  EXPECT_EQ(Find<InitPipe>("usbInitPipe")(env, self, holder, 0x40000000), -1);
  EXPECT_EQ(Find<InitPipe>("usbInitPipe")(env, self, holder, static_cast<jint>(0x80000000u)), -1);
  EXPECT_EQ(Find<InitPipe>("usbInitPipe")(env, self, holder, 12345), -1);
  EXPECT_EQ(m_fake.setIntFieldCalls, 0);

  EXPECT_EQ(Find<IntCall>("usbGetCommTimeout")(env, self, kBadHandle), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Find<SetTimeouts>("usbSetCommTimeout")(env, self, kBadHandle, 1, 2, 3, 4, 5),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(Find<IntCall>("usbPurgeRequest")(env, self, kBadHandle), ERROR_INVALID_HANDLE);

  FakeArray array{std::vector<jbyte>(4, 0x55)};
  const jbyteArray bytes = reinterpret_cast<jbyteArray>(&array);
  EXPECT_EQ(Find<ArrayCall>("usbReadInputPipe")(env, self, kBadHandle, bytes), -1);
  EXPECT_EQ(array.bytes, std::vector<jbyte>(4, 0x55));
  // No write pipe is open: the write reaches no handle and says so.
  EXPECT_EQ(Find<ArrayCall>("usbWriteOutputPipe")(env, self, kBadHandle, bytes),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(Find<IntCall>("usbClosePipe")(env, self, kBadHandle), ERROR_INVALID_HANDLE);

  // The answer is the library's own, kept for the thread: whatever else sets the thread's
  // last error in between does not change it.
  SetLastError(1234);
  EXPECT_EQ(Find<NoArgs>("usbGetLastError")(env, self), ERROR_INVALID_HANDLE);
}

TEST_F(DllNativesTest, ErrorStringsAreTheSystemsTextsOrTheFailureText) {
  JNIEnv* env = m_fake.env();
  const std::string known = m_fake.Text(Find<ErrorString>("usbGetErrorString")(env, FakeObject(0), 6));
  ASSERT_GE(known.size(), 3u);
  EXPECT_EQ(known.substr(known.size() - 2), "\r\n");
  const std::string unknown =
      m_fake.Text(Find<ErrorString>("usbGetErrorString")(env, FakeObject(0), 0x7FFF1234));
  EXPECT_EQ(unknown, "FormatMessage failed: 2147422772\n");
}

// ---- Traces, as a debugger of the process sees them ----

constexpr char kChildVariable[] = "VANTORY_TRACE_CHILD";

bool IsTraceChild() {
  char value[4] = {};
  return GetEnvironmentVariableA(kChildVariable, value, sizeof value) > 0;
}

// Runs in the child process that DebuggedChildTracesEveryCall debugs.
TEST_F(DllNativesTest, TraceChildCalls) {
  if (!IsTraceChild()) GTEST_SKIP() << "runs only in the debugged child";
  JNIEnv* env = m_fake.env();
  Find<NoArgs>("usbGetGenericWriteValue")(env, FakeObject(0));
  Find<InitPipe>("usbInitPipe")(env, FakeObject(0), FakeObject(1), 0x40000000);
  Find<IntCall>("usbClosePipe")(env, FakeObject(0), kBadHandle);
  Find<NoArgs>("usbGetBytesAvailable")(env, FakeObject(0));
}

TEST(DllTraceTest, DebuggedChildTracesEveryCall) {
  if (IsTraceChild()) GTEST_SKIP() << "the child does not debug itself";
  char exe[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameA(nullptr, exe, sizeof exe), 0u);
  std::string command = std::string("\"") + exe +
                        "\" --gtest_filter=DllNativesTest.TraceChildCalls";
  ASSERT_TRUE(SetEnvironmentVariableA(kChildVariable, "1"));
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  const BOOL started = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE,
                                      DEBUG_ONLY_THIS_PROCESS, nullptr, nullptr, &startup,
                                      &process);
  SetEnvironmentVariableA(kChildVariable, nullptr);
  ASSERT_TRUE(started) << GetLastError();

  std::vector<std::string> lines;
  int invalidHandleExceptions = 0;
  for (bool running = true; running;) {
    DEBUG_EVENT event = {};
    ASSERT_TRUE(WaitForDebugEvent(&event, 120000)) << "the child stopped answering";
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case OUTPUT_DEBUG_STRING_EVENT: {
        const OUTPUT_DEBUG_STRING_INFO& info = event.u.DebugString;
        std::string text(info.nDebugStringLength, '\0');
        SIZE_T got = 0;
        ReadProcessMemory(process.hProcess, info.lpDebugStringData, &text[0], text.size(), &got);
        text.resize(got);
        while (!text.empty() && text.back() == '\0') text.pop_back();
        lines.push_back(WithoutLineNumber(text));
        break;
      }
      case EXCEPTION_DEBUG_EVENT: {
        const DWORD code = event.u.Exception.ExceptionRecord.ExceptionCode;
        // Under a debugger, closing a bad handle first raises STATUS_INVALID_HANDLE; going on
        // lets CloseHandle fail as it does without a debugger.
        if (code == 0xC0000008u) {
          ++invalidHandleExceptions;
        } else if (code != EXCEPTION_BREAKPOINT) {
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      }
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile != nullptr) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile != nullptr) CloseHandle(event.u.LoadDll.hFile);
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        running = false;
        break;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(exitCode, 0u);

  std::vector<std::string> ours;
  for (const std::string& line : lines) {
    if (line.find("(#) ") != std::string::npos) ours.push_back(line);
  }
  const std::vector<std::string> expected = {
      "usbGetGenericWriteValue(#) Entry\n",
      "usbInitPipe(#) ******Starting******\n",
      "OpenUsbDevice(#) ERROR_NO_MORE_ITEMS\n",  // probe, maker's driver
      "OpenUsbDevice(#) ERROR_NO_MORE_ITEMS\n",  // probe, printer class driver
      "OpenUsbDevice(#) ERROR_NO_MORE_ITEMS\n",  // search for the write pipe
      "usbClosePipe(#) Entry\n",
      "usbClosePipe(#) ?????\n",
      "usbGetBytesAvailable(#) Entry\n",
  };
  EXPECT_EQ(ours, expected);
  EXPECT_LE(invalidHandleExceptions, 1);
}

#ifndef _WIN64
// Calls `fn` with `count` 32-bit arguments pushed right to left and returns how far the
// stack pointer moved across the call: 0 when the callee popped exactly its arguments.
int StackDrift(const void* fn, const std::uint32_t* args, int count) {
  int drift = 0;
  asm volatile(
      "movl %%esp, %%esi\n\t"
      "movl %[count], %%ecx\n\t"
      "1:\n\t"
      "testl %%ecx, %%ecx\n\t"
      "jz 2f\n\t"
      "decl %%ecx\n\t"
      "pushl (%[args],%%ecx,4)\n\t"
      "jmp 1b\n\t"
      "2:\n\t"
      "call *%[fn]\n\t"
      "movl %%esp, %[drift]\n\t"
      "subl %%esi, %[drift]\n\t"
      "movl %%esi, %%esp\n\t"
      : [drift] "=&a"(drift)
      : [fn] "b"(fn), [args] "D"(args), [count] "m"(count)
      : "ecx", "edx", "esi", "memory", "cc");
  return drift;
}

TEST_F(DllNativesTest, EveryNativePopsExactlyItsArguments) {
  FakeArray array{std::vector<jbyte>(4, 0)};
  const std::uint32_t env = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(m_fake.env()));
  const std::uint32_t arrayArg = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&array));
  for (const Native& n : kNatives) {
    std::uint32_t args[8] = {env, 0x1000, static_cast<std::uint32_t>(kBadHandle), 0, 0, 0, 0, 0};
    if (std::strcmp(n.method, "usbInitPipe") == 0) {
      args[2] = 0x1001;
      args[3] = 7;  // neither access value: returns at once
    }
    if (std::strcmp(n.method, "usbReadInputPipe") == 0 ||
        std::strcmp(n.method, "usbWriteOutputPipe") == 0) {
      args[3] = arrayArg;
    }
    const void* fn = reinterpret_cast<const void*>(
        GetProcAddress(m_module, ExportName(n.method, n.argumentBytes)));
    ASSERT_NE(fn, nullptr) << n.method;
    EXPECT_EQ(StackDrift(fn, args, n.argumentBytes / 4), 0) << n.method;
  }
}
#endif

}  // namespace
