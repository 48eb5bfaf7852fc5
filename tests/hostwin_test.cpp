// What only the Win32 stand-in has: its handle values and count, the debugger output
// capture, fault injection, and the device provider seam behind files and SetupAPI.
#include <setupapi.h>
#include <windows.h>

#include <hostwin/device_provider.h>
#include <hostwin/hostwin.h>

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

constexpr GUID kClassA = {0x28D78FAD, 0x5A12, 0x11D1, {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};
constexpr GUID kClassB = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// A device whose every answer the test chooses. Reads pend until the test completes them,
// unless `immediate` asks for a completion inside StartRead (on this thread or, with
// `fromOtherThread`, on another one before StartRead returns). Writes block while the gate
// is closed. All state is guarded by lock_.
class ScriptedDevice final : public hostwin::DeviceFile {
 public:
  struct Completion {
    std::string data;
    DWORD error = 0;
  };

  ~ScriptedDevice() override { *destroyed_ = true; }

  hostwin::ReadStart StartRead(void* buffer, DWORD size, hostwin::ReadDone done) override {
    std::unique_lock<std::mutex> lock(lock_);
    const std::uint64_t id = nextId_++;
    if (immediate_) {
      const Completion completion = *immediate_;
      const bool queued = queued_;
      lock.unlock();
      auto complete = [&] { Finish(buffer, size, done, completion); };
      if (fromOtherThread_) {
        std::thread(complete).join();
      } else {
        complete();
      }
      return {id, queued};
    }
    pending_[id] = Read{buffer, size, std::move(done)};
    changed_.notify_all();
    return {id, true};
  }

  void Cancel(std::uint64_t readId) override {
    Complete(readId, Completion{cancelBytes_, ERROR_OPERATION_ABORTED});
  }

  DWORD Write(const void* data, DWORD size, DWORD* written) override {
    std::unique_lock<std::mutex> lock(lock_);
    ++writesStarted_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return gateOpen_; });
    received_.append(static_cast<const char*>(data), size);
    *written = size;
    return 0;
  }

  DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                  DWORD* returned) override {
    // Echoes the input, then the code; fails with the code's low byte when it is odd.
    if ((code & 1) != 0) return code & 0xFF;
    std::memcpy(out, in, std::min(inSize, outSize));
    *returned = std::min(inSize, outSize);
    return 0;
  }

  DWORD Purge(DWORD flags) override {
    std::lock_guard<std::mutex> guard(lock_);
    purges_.push_back(flags);
    return 0;
  }

  // Test side.
  // With `queued`, the device still reports the read as queued (a driver's STATUS_PENDING)
  // although it completed before StartRead returned.
  void CompleteReadsAtOnce(Completion completion, bool fromOtherThread, bool queued = false) {
    std::lock_guard<std::mutex> guard(lock_);
    immediate_.reset(new Completion(std::move(completion)));
    fromOtherThread_ = fromOtherThread;
    queued_ = queued;
  }
  void WaitForPendingReads(std::size_t count) {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [&] { return pending_.size() >= count; });
  }
  void CompleteOldest(Completion completion) {
    std::uint64_t id = 0;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (pending_.empty()) return;
      id = pending_.begin()->first;
    }
    Complete(id, std::move(completion));
  }
  void SetCancelBytes(std::string bytes) {
    std::lock_guard<std::mutex> guard(lock_);
    cancelBytes_ = std::move(bytes);
  }
  void CloseGate() { SetGate(false); }
  void OpenGate() { SetGate(true); }
  void WaitForWrite() {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait(lock, [&] { return writesStarted_ > 0; });
  }
  std::string Received() {
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
  }
  std::vector<DWORD> Purges() {
    std::lock_guard<std::mutex> guard(lock_);
    return purges_;
  }
  std::shared_ptr<std::atomic<bool>> Destroyed() const { return destroyed_; }

 private:
  struct Read {
    void* buffer;
    DWORD size;
    hostwin::ReadDone done;
  };

  static void Finish(void* buffer, DWORD size, const hostwin::ReadDone& done,
                     const Completion& completion) {
    const DWORD bytes = std::min(size, static_cast<DWORD>(completion.data.size()));
    std::memcpy(buffer, completion.data.data(), bytes);
    done(bytes, completion.error);
  }

  void Complete(std::uint64_t id, Completion completion) {
    Read read{};
    {
      std::lock_guard<std::mutex> guard(lock_);
      const auto found = pending_.find(id);
      if (found == pending_.end()) return;
      read = std::move(found->second);
      pending_.erase(found);
    }
    Finish(read.buffer, read.size, read.done, completion);
  }

  void SetGate(bool open) {
    std::lock_guard<std::mutex> guard(lock_);
    gateOpen_ = open;
    changed_.notify_all();
  }

  std::mutex lock_;
  std::condition_variable changed_;
  std::map<std::uint64_t, Read> pending_;
  std::uint64_t nextId_ = 1;
  std::unique_ptr<Completion> immediate_;
  bool fromOtherThread_ = false;
  bool queued_ = false;
  std::string cancelBytes_;
  bool gateOpen_ = true;
  int writesStarted_ = 0;
  std::string received_;
  std::vector<DWORD> purges_;
  std::shared_ptr<std::atomic<bool>> destroyed_ = std::make_shared<std::atomic<bool>>(false);
};

// Opens "\\?\scripted" with a new ScriptedDevice (kept in `device`), refuses other paths
// with `openError`, and lists `slots` for kClassA.
class ScriptedProvider final : public hostwin::DeviceProvider {
 public:
  DWORD Open(const std::string& path, DWORD access, DWORD, DWORD flags,
             std::shared_ptr<hostwin::DeviceFile>* file) override {
    std::lock_guard<std::mutex> guard(lock);
    lastAccess = access;
    lastFlags = flags;
    if (path != "\\\\?\\scripted") return openError;
    device = std::make_shared<ScriptedDevice>();
    *file = device;
    return 0;
  }
  std::vector<hostwin::InterfaceSlot> Interfaces(const GUID& interfaceClass) override {
    std::lock_guard<std::mutex> guard(lock);
    return interfaceClass == kClassA ? slots : std::vector<hostwin::InterfaceSlot>{};
  }

  std::mutex lock;
  std::shared_ptr<ScriptedDevice> device;
  DWORD openError = ERROR_FILE_NOT_FOUND;
  DWORD lastAccess = 0;
  DWORD lastFlags = 0;
  std::vector<hostwin::InterfaceSlot> slots;
};

class Hostwin : public ::testing::Test {
 protected:
  void SetUp() override {
    hostwin::SetDeviceProvider(&provider_);
    hostwin::ClearFaults();
    handlesAtStart_ = hostwin::OpenHandleCount();
  }
  void TearDown() override {
    hostwin::ClearFaults();
    hostwin::SetDeviceProvider(nullptr);
    EXPECT_EQ(hostwin::OpenHandleCount(), handlesAtStart_) << "a handle leaked";
  }

  // Opens the scripted device; `device` is set to it.
  HANDLE OpenDevice(DWORD flags, std::shared_ptr<ScriptedDevice>* device) {
    HANDLE file = CreateFileA("\\\\?\\scripted", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, flags, nullptr);
    std::lock_guard<std::mutex> guard(provider_.lock);
    *device = provider_.device;
    return file;
  }

  ScriptedProvider provider_;
  int handlesAtStart_ = 0;
};

DWORD WINAPI ReturnZero(LPVOID) { return 0; }

bool CloseIfOpen(HANDLE handle) { return handle != nullptr && CloseHandle(handle); }

std::uintptr_t ValueOf(HANDLE handle) { return reinterpret_cast<std::uintptr_t>(handle); }

}  // namespace

// ---- Handles ----

// Values are handed out again as Windows does, the most recently freed first, so a stale
// value names whatever was created after it was closed.
TEST_F(Hostwin, HandlesAreSmallMultiplesOfFourReusedMostRecentlyFreedFirst) {
  HANDLE events[3];
  for (HANDLE& event : events) {
    event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const std::uintptr_t value = ValueOf(event);
    EXPECT_EQ(value % 4, 0u);
    EXPECT_GE(value, 4u);
    EXPECT_LT(value, 0x80000000u);  // a positive Java int
  }
  ASSERT_TRUE(CloseHandle(events[0]));
  ASSERT_TRUE(CloseHandle(events[2]));
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  EXPECT_EQ(mutex, events[2]);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_EQ(event, events[0]);
  // The stale event value now names the mutex: SetEvent on it is refused as a wrong type.
  EXPECT_FALSE(SetEvent(events[2]));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  for (HANDLE handle : {mutex, event, events[1]}) EXPECT_TRUE(CloseHandle(handle));
}

TEST_F(Hostwin, OpenHandleCountCountsEveryKindAndDeviceInfoSetsAreNoKernelHandles) {
  const int start = hostwin::OpenHandleCount();
  HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, ReturnZero, nullptr, CREATE_SUSPENDED, nullptr);
  std::shared_ptr<ScriptedDevice> device;
  HANDLE file = OpenDevice(0, &device);
  HDEVINFO set = SetupDiGetClassDevsA(&kClassA, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  EXPECT_EQ(hostwin::OpenHandleCount(), start + 5);

  EXPECT_FALSE(CloseHandle(set));  // SetupDiDestroyDeviceInfoList frees it
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(SetupDiDestroyDeviceInfoList(event));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  ResumeThread(thread);
  ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  for (HANDLE handle : {event, mutex, thread, file}) EXPECT_TRUE(CloseHandle(handle));
  EXPECT_EQ(hostwin::OpenHandleCount(), start);
}

TEST_F(Hostwin, ThreadsHostwinDidNotStartAbandonTheirMutexesToo) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  std::thread([&] { EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0); }).join();
  EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_ABANDONED_0);
  EXPECT_TRUE(ReleaseMutex(mutex));
  HANDLE pair[] = {mutex, mutex};
  EXPECT_EQ(WaitForMultipleObjects(2, pair, TRUE, 0), WAIT_FAILED);  // wait-all: refused
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  CloseHandle(mutex);
}

// ---- Debugger output ----

TEST_F(Hostwin, DebugOutputKeepsTheNewestEntriesInOrderAndTheLastError) {
  hostwin::ClearDebugOutput();
  SetLastError(1234);
  OutputDebugStringA("first\n");
  OutputDebugStringA("second\n");
  EXPECT_EQ(GetLastError(), 1234u);
  EXPECT_EQ(hostwin::TakeDebugOutput(), (std::vector<std::string>{"first\n", "second\n"}));
  EXPECT_TRUE(hostwin::TakeDebugOutput().empty());

  const std::size_t total = hostwin::kDebugOutputCapacity + 3;
  for (std::size_t i = 0; i < total; ++i) OutputDebugStringA(std::to_string(i).c_str());
  const std::vector<std::string> kept = hostwin::TakeDebugOutput();
  ASSERT_EQ(kept.size(), hostwin::kDebugOutputCapacity);
  EXPECT_EQ(kept.front(), "3");  // the three oldest were dropped
  EXPECT_EQ(kept.back(), std::to_string(total - 1));

  // The newest few, and how many line ends the rest held (those dropped for room too).
  for (std::size_t i = 0; i < total; ++i) OutputDebugStringA(i % 2 == 0 ? "line\n" : "two\nlines\n");
  std::size_t older = 0;
  EXPECT_EQ(hostwin::TakeDebugOutput(2, &older), (std::vector<std::string>{"two\nlines\n", "line\n"}));
  const std::size_t lineEnds = (total + 1) / 2 + 2 * (total / 2);
  EXPECT_EQ(older, lineEnds - 3);
  EXPECT_TRUE(hostwin::TakeDebugOutput(5, &older).empty());
  EXPECT_EQ(older, 0u);
}

// Runs only as the child of the test below, with HOSTWIN_DEBUG_OUTPUT set.
TEST(HostwinDebugFile, ChildWritesTwoStrings) {
  if (std::getenv("HOSTWIN_TEST_CHILD") == nullptr) GTEST_SKIP() << "child of the next test";
  OutputDebugStringA("first\n");
  OutputDebugStringA("second\n");
}

TEST(HostwinDebugFile, NamedFileGetsEveryStringAppended) {
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  const std::string path = ::testing::TempDir() + "hostwin_debug_output_" +
                           std::to_string(getpid()) + ".txt";
  std::ofstream(path) << "earlier\n";

  std::vector<std::string> env = {"HOSTWIN_DEBUG_OUTPUT=" + path, "HOSTWIN_TEST_CHILD=1"};
  for (char** entry = environ; *entry != nullptr; ++entry) env.emplace_back(*entry);
  std::vector<char*> envp;
  for (std::string& entry : env) envp.push_back(&entry[0]);
  envp.push_back(nullptr);
  std::string filter = "--gtest_filter=HostwinDebugFile.ChildWritesTwoStrings";
  char* argv[] = {exe, &filter[0], nullptr};
  pid_t child = 0;
  ASSERT_EQ(posix_spawn(&child, exe, nullptr, nullptr, argv, envp.data()), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  std::stringstream content;
  content << std::ifstream(path).rdbuf();
  EXPECT_EQ(content.str(), "earlier\nfirst\nsecond\n");
  std::remove(path.c_str());
}

// ---- Fault injection ----

TEST_F(Hostwin, EveryWiredFunctionFailsAsItsRealCounterpartReports) {
  HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  std::shared_ptr<ScriptedDevice> device;
  HANDLE file = OpenDevice(FILE_FLAG_OVERLAPPED, &device);
  device->CompleteReadsAtOnce({"x", 0}, false);
  provider_.slots = {{"\\\\?\\scripted", 0}};
  OVERLAPPED overlapped{};
  char buffer[8];
  DWORD count = 0;
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof interfaceData;
  HDEVINFO set = SetupDiGetClassDevsA(&kClassA, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClassA, 0, &interfaceData));

  // Each call returns true when it succeeded, and frees what it got.
  const std::vector<std::pair<const char*, std::function<bool()>>> calls = {
      {"CreateEventA", [] { return CloseIfOpen(CreateEventA(nullptr, 0, 0, nullptr)); }},
      {"CreateMutexA", [] { return CloseIfOpen(CreateMutexA(nullptr, 0, nullptr)); }},
      {"CreateThread", [] {
         HANDLE thread = CreateThread(nullptr, 0, ReturnZero, nullptr, 0, nullptr);
         if (thread == nullptr) return false;
         WaitForSingleObject(thread, INFINITE);
         return CloseHandle(thread) != 0;
       }},
      {"HeapAlloc", [] {
         void* block = HeapAlloc(GetProcessHeap(), 0, 8);
         return block != nullptr && HeapFree(GetProcessHeap(), 0, block);
       }},
      {"GlobalAlloc", [] {
         HGLOBAL block = GlobalAlloc(GHND, 8);
         return block != nullptr && GlobalFree(block) == nullptr;
       }},
      {"GlobalLock", [] {
         HGLOBAL block = GlobalAlloc(GHND, 8);
         const bool locked = GlobalLock(block) != nullptr;
         GlobalFree(block);
         return locked;
       }},
      {"SetEvent", [&] { return SetEvent(event) != 0; }},
      {"ResetEvent", [&] { return ResetEvent(event) != 0; }},
      {"WaitForSingleObject", [&] { return WaitForSingleObject(event, 0) != WAIT_FAILED; }},
      {"WaitForMultipleObjects",
       [&] { return WaitForMultipleObjects(1, &event, FALSE, 0) != WAIT_FAILED; }},
      {"CreateFileA", [] {
         HANDLE opened = CreateFileA("\\\\?\\scripted", 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
         return opened != INVALID_HANDLE_VALUE && CloseHandle(opened);
       }},
      {"ReadFile", [&] { return ReadFile(file, buffer, 8, &count, &overlapped) != 0; }},
      {"WriteFile", [&] { return WriteFile(file, "y", 1, &count, &overlapped) != 0; }},
      {"GetOverlappedResult",
       [&] { return GetOverlappedResult(file, &overlapped, &count, FALSE) != 0; }},
      {"SetupDiGetClassDevsA", [] {
         HDEVINFO other = SetupDiGetClassDevsA(&kClassA, nullptr, nullptr, DIGCF_DEVICEINTERFACE);
         return other != INVALID_HANDLE_VALUE && SetupDiDestroyDeviceInfoList(other);
       }},
      {"SetupDiGetDeviceInterfaceDetailA", [&] {
         DWORD required = 0;
         SetupDiGetDeviceInterfaceDetailA(set, &interfaceData, nullptr, 0, &required, nullptr);
         return GetLastError() == static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
       }},
      {"FormatMessageA", [] {
         char* text = nullptr;
         if (FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                FORMAT_MESSAGE_IGNORE_INSERTS,
                            nullptr, 6, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr) == 0) {
           return false;
         }
         return LocalFree(text) == nullptr;
       }},
      {"MultiByteToWideChar",
       [] { return MultiByteToWideChar(CP_ACP, 0, "a", -1, nullptr, 0) == 2; }},
  };
  DWORD error = 20000;
  for (const auto& call : calls) {
    SCOPED_TRACE(call.first);
    ++error;
    hostwin::FailNextCalls(call.first, error, 2);
    for (int i = 0; i < 2; ++i) {
      SetLastError(0);
      EXPECT_FALSE(call.second());
      EXPECT_EQ(GetLastError(), error);
    }
    EXPECT_TRUE(call.second());  // the count is used up
    hostwin::FailNextCalls(call.first, error, 5);
    hostwin::FailNextCalls(call.first, error, 0);  // disarmed
    EXPECT_TRUE(call.second());
  }
  SetupDiDestroyDeviceInfoList(set);
  CloseHandle(file);
  CloseHandle(event);
}

// ---- Files through the provider ----

TEST_F(Hostwin, CreateFileReportsMissingDevicesAndPathsAsWindowsDoes) {
  const auto openError = [](const char* path) {
    SetLastError(0);
    EXPECT_EQ(CreateFileA(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    return GetLastError();
  };
  EXPECT_EQ(openError("\\\\?\\unknown"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  provider_.openError = ERROR_ACCESS_DENIED;
  EXPECT_EQ(openError("\\\\.\\refused"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(openError("C:\\printers\\spool.txt"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(openError("spool.txt"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  hostwin::SetDeviceProvider(nullptr);
  EXPECT_EQ(openError("\\\\?\\scripted"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  hostwin::SetDeviceProvider(&provider_);

  std::shared_ptr<ScriptedDevice> device;
  SetLastError(1234);
  HANDLE file = OpenDevice(FILE_FLAG_OVERLAPPED, &device);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_EQ(provider_.lastAccess, GENERIC_READ | GENERIC_WRITE);
  EXPECT_EQ(provider_.lastFlags, FILE_FLAG_OVERLAPPED);
  CloseHandle(file);
}

TEST_F(Hostwin, ReadsCompletedInsideStartReadReturnAtOnce) {
  std::shared_ptr<ScriptedDevice> device;
  HANDLE file = OpenDevice(FILE_FLAG_OVERLAPPED, &device);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char buffer[8] = {};
  DWORD count = 0;
  for (bool fromOtherThread : {false, true}) {
    device->CompleteReadsAtOnce({"hi", 0}, fromOtherThread);
    ResetEvent(overlapped.hEvent);
    ASSERT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, &overlapped));
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
  }
  device->CompleteReadsAtOnce({"", ERROR_ACCESS_DENIED}, false);
  EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &count, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &count, FALSE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  CloseHandle(overlapped.hEvent);
  CloseHandle(file);
}

// A driver that queued the read has it reported as pending, even when it completed before
// the driver returned; success and failure then arrive through the OVERLAPPED alone.
TEST_F(Hostwin, QueuedReadsArePendingEvenWhenAlreadyComplete) {
  std::shared_ptr<ScriptedDevice> device;
  HANDLE file = OpenDevice(FILE_FLAG_OVERLAPPED, &device);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char buffer[8] = {};
  DWORD count = 99;
  for (DWORD error : {0u, static_cast<DWORD>(ERROR_GEN_FAILURE)}) {
    device->CompleteReadsAtOnce({"ok", error}, true, true);
    EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &count, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), WAIT_OBJECT_0);
    SetLastError(0);
    EXPECT_EQ(GetOverlappedResult(file, &overlapped, &count, FALSE), error == 0 ? TRUE : FALSE);
    EXPECT_EQ(count, 2u);
    if (error != 0) {
      EXPECT_EQ(GetLastError(), error);
    }
  }
  CloseHandle(overlapped.hEvent);
  CloseHandle(file);
}

// Windows does not refuse a read without an OVERLAPPED on an overlapped handle: it waits on
// the file handle, which any completion on the file sets. When another read completes first
// the call reports success with nothing read, and its own read still fills the buffer later.
TEST_F(Hostwin, SynchronousReadOnAnOverlappedHandleMayReturnBeforeItsReadCompletes) {
  std::shared_ptr<ScriptedDevice> device;
  HANDLE file = OpenDevice(FILE_FLAG_OVERLAPPED, &device);
  std::thread completer([&] {
    device->WaitForPendingReads(1);
    device->CompleteOldest({"own", 0});
  });
  char own[8] = {};
  DWORD count = 0;
  EXPECT_TRUE(ReadFile(file, own, sizeof own, &count, nullptr));
  EXPECT_EQ(std::string(own, count), "own");
  completer.join();

  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char other[8] = {};
  ASSERT_FALSE(ReadFile(file, other, sizeof other, nullptr, &overlapped));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  std::thread early([&] {
    device->WaitForPendingReads(2);
    device->CompleteOldest({"xy", 0});  // the overlapped read, not the synchronous one
  });
  count = 99;
  EXPECT_TRUE(ReadFile(file, own, sizeof own, &count, nullptr));
  EXPECT_EQ(count, 0u);
  early.join();
  EXPECT_EQ(WaitForSingleObject(file, 0), WAIT_OBJECT_0);  // the file's own signal
  device->CompleteOldest({"late", 0});
  EXPECT_EQ(std::string(own, 4), "late");
  CloseHandle(overlapped.hEvent);
  CloseHandle(file);
}

TEST_F(Hostwin, ReadCompletedOnAnotherThreadKeepsItsErrorAndByteCount) {
  std::shared_ptr<ScriptedDevice> device;
  HANDLE file = OpenDevice(FILE_FLAG_OVERLAPPED, &device);
  OVERLAPPED overlapped{};
  overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  char buffer[8] = {};
  DWORD count = 0;
  // Any Win32 code survives the trip through OVERLAPPED::Internal, with the bytes it carries.
  for (DWORD error : {0u, 31u, 1167u, 12345u}) {
    ASSERT_FALSE(ReadFile(file, buffer, sizeof buffer, nullptr, &overlapped));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    std::thread([&] { device->CompleteOldest({"abc", error}); }).join();
    ASSERT_EQ(WaitForSingleObject(overlapped.hEvent, 10000), WAIT_OBJECT_0);
    SetLastError(0);
    EXPECT_EQ(GetOverlappedResult(file, &overlapped, &count, FALSE), error == 0 ? TRUE : FALSE);
    EXPECT_EQ(count, 3u);
    if (error != 0) {
      EXPECT_EQ(GetLastError(), error);
    }
  }
  CloseHandle(overlapped.hEvent);
  CloseHandle(file);
}

TEST_F(Hostwin, SynchronousReadWaitsForTheDevicesCompletion) {
  std::shared_ptr<ScriptedDevice> device;
  HANDLE file = OpenDevice(0, &device);
  std::thread completer([&] {
    device->WaitForPendingReads(1);
    device->CompleteOldest({"late", 0});
  });
  char buffer[8] = {};
  DWORD count = 0;
  EXPECT_TRUE(ReadFile(file, buffer, sizeof buffer, &count, nullptr));
  EXPECT_EQ(std::string(buffer, count), "late");
  completer.join();
  CloseHandle(file);
}

TEST_F(Hostwin, CancelAndCloseAbortReadsKeepingTheirBytes) {
  std::shared_ptr<ScriptedDevice> device;
  HANDLE file = OpenDevice(FILE_FLAG_OVERLAPPED, &device);
  device->SetCancelBytes("ab");
  OVERLAPPED mine{};
  char buffer[8] = {};
  DWORD count = 0;
  ASSERT_FALSE(ReadFile(file, buffer, sizeof buffer, nullptr, &mine));
  EXPECT_TRUE(CancelIo(file));
  EXPECT_FALSE(GetOverlappedResult(file, &mine, &count, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(count, 2u);

  // Closing aborts the reads of every thread; the device goes once nothing uses it.
  OVERLAPPED theirs{};
  char theirBuffer[8] = {};
  HANDLE issued = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::thread other([&] {  // lives on past the close: its end would cancel its read too
    ReadFile(file, theirBuffer, sizeof theirBuffer, nullptr, &theirs);
    SetEvent(issued);
    WaitForSingleObject(closed, INFINITE);
  });
  ASSERT_EQ(WaitForSingleObject(issued, 10000), WAIT_OBJECT_0);
  ASSERT_FALSE(ReadFile(file, buffer, sizeof buffer, nullptr, &mine));
  const auto destroyed = device->Destroyed();
  device.reset();
  {
    std::lock_guard<std::mutex> guard(provider_.lock);
    provider_.device.reset();
  }
  EXPECT_TRUE(CloseHandle(file));
  for (OVERLAPPED* overlapped : {&mine, &theirs}) {
    EXPECT_FALSE(GetOverlappedResult(file, overlapped, &count, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  }
  EXPECT_TRUE(*destroyed);
  SetEvent(closed);
  other.join();
  CloseHandle(closed);
  CloseHandle(issued);
}

TEST_F(Hostwin, WriteBlockedInTheDeviceHoldsNoLockAndOutlivesItsHandle) {
  std::shared_ptr<ScriptedDevice> device;
  HANDLE file = OpenDevice(0, &device);
  device->CloseGate();  // a printer with its cover open
  BOOL written = FALSE;
  DWORD count = 0;
  std::thread writer([&] { written = WriteFile(file, "receipt", 7, &count, nullptr); });
  device->WaitForWrite();

  // Everything else goes on while the write is stuck in the device.
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  EXPECT_TRUE(SetEvent(event));
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(event));
  EXPECT_TRUE(CloseHandle(file));
  const auto destroyed = device->Destroyed();
  EXPECT_FALSE(*destroyed);

  device->OpenGate();
  writer.join();
  EXPECT_TRUE(written);
  EXPECT_EQ(count, 7u);
  EXPECT_EQ(device->Received(), "receipt");
}

TEST_F(Hostwin, ControlRequestsAndPurgesReachTheDevice) {
  std::shared_ptr<ScriptedDevice> device;
  HANDLE file = OpenDevice(0, &device);
  char in[4] = {1, 2, 3, 4};
  char out[4] = {};
  DWORD returned = 0;
  EXPECT_TRUE(DeviceIoControl(file, 0x1B0020, in, 4, out, 4, &returned, nullptr));
  EXPECT_EQ(returned, 4u);
  EXPECT_EQ(std::memcmp(in, out, 4), 0);
  EXPECT_FALSE(DeviceIoControl(file, 0x1F, in, 4, out, 4, &returned, nullptr));
  EXPECT_EQ(GetLastError(), 0x1Fu);
  EXPECT_TRUE(PurgeComm(file, PURGE_RXABORT | PURGE_RXCLEAR));
  EXPECT_EQ(device->Purges(), std::vector<DWORD>{PURGE_RXABORT | PURGE_RXCLEAR});
  CloseHandle(file);
  EXPECT_FALSE(PurgeComm(file, PURGE_RXCLEAR));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- SetupAPI ----

TEST_F(Hostwin, InterfaceEnumerationWalksASnapshotWithItsErrorSlots) {
  const std::string longPath = "\\\\?\\usb#vid_1234&pid_5678#" + std::string(1000, 'S');
  provider_.slots = {{"\\\\?\\first", 0}, {"", ERROR_GEN_FAILURE}, {longPath, 0}};
  HDEVINFO set = SetupDiGetClassDevsA(&kClassA, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  provider_.slots.clear();  // later changes do not reach a set already taken

  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data - 1;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClassA, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  data.cbSize = sizeof data;
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClassA, 0, &data));
  EXPECT_TRUE(data.InterfaceClassGuid == kClassA);
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClassA, 1, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClassA, 3, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClassB, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

  // The two-call detail fetch of the 1000-character path.
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClassA, 2, &data));
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_EQ(required, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + longPath.size() + 1);
  std::vector<char> storage(required);
  auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
  detail->cbSize = 5;  // the packed size of a 32-bit process is wrong here
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required - 1, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(std::string(detail->DevicePath), longPath);
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kClassA, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// ---- Text ----

TEST_F(Hostwin, AnsiCodePageIsWindows1252) {
  const char bytes[] = "\x41\x80\x81\x9F\xE9";
  WCHAR wide[5] = {};
  ASSERT_EQ(MultiByteToWideChar(CP_ACP, 0, bytes, 5, wide, 5), 5);
  EXPECT_EQ(wide[0], u'A');
  EXPECT_EQ(wide[1], u'\u20AC');  // euro sign
  EXPECT_EQ(wide[2], u'\u0081');  // unassigned: the C1 control of the same value
  EXPECT_EQ(wide[3], u'\u0178');
  EXPECT_EQ(wide[4], u'\u00E9');
}
