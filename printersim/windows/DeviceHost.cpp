// The Windows device host: the hosted module's device calls reach the simulated printers,
// and chosen system calls can be made to fail; everything else stays the system's.
#include <printersim/device_host.h>

#include <hostwin/device_provider.h>
#include <hostwin/interface_snapshot.h>
#include <setupapi.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <map>
#include <set>
#include <vector>

#include "DeviceHandles.h"
#include "ImportTable.h"
#include "SystemFaults.h"

namespace printersim {
namespace windows {
namespace {

std::atomic<hostwin::DeviceProvider*> g_provider{nullptr};

// What the hosted module called before its imports were rewritten: the system's functions.
// Written once, before the module can call through a rewritten slot.
struct SystemCalls {
  decltype(&::CreateFileA) CreateFileA = ::CreateFileA;
  decltype(&::ReadFile) ReadFile = ::ReadFile;
  decltype(&::WriteFile) WriteFile = ::WriteFile;
  decltype(&::CancelIo) CancelIo = ::CancelIo;
  decltype(&::CancelIoEx) CancelIoEx = ::CancelIoEx;
  decltype(&::CloseHandle) CloseHandle = ::CloseHandle;
  decltype(&::DeviceIoControl) DeviceIoControl = ::DeviceIoControl;
  decltype(&::PurgeComm) PurgeComm = ::PurgeComm;
  decltype(&::CreateEventA) CreateEventA = ::CreateEventA;
  decltype(&::CreateSemaphoreA) CreateSemaphoreA = ::CreateSemaphoreA;
  decltype(&::DuplicateHandle) DuplicateHandle = ::DuplicateHandle;
  decltype(&::OpenProcess) OpenProcess = ::OpenProcess;
  decltype(&::CreateMutexA) CreateMutexA = ::CreateMutexA;
  decltype(&::CreateThread) CreateThread = ::CreateThread;
  decltype(&::ResumeThread) ResumeThread = ::ResumeThread;
  decltype(&::SetEvent) SetEvent = ::SetEvent;
  decltype(&::ResetEvent) ResetEvent = ::ResetEvent;
  decltype(&::WaitForSingleObject) WaitForSingleObject = ::WaitForSingleObject;
  decltype(&::WaitForMultipleObjects) WaitForMultipleObjects = ::WaitForMultipleObjects;
  decltype(&::GetOverlappedResult) GetOverlappedResult = ::GetOverlappedResult;
  decltype(&::HeapAlloc) HeapAlloc = ::HeapAlloc;
  decltype(&::GlobalAlloc) GlobalAlloc = ::GlobalAlloc;
  decltype(&::GlobalLock) GlobalLock = ::GlobalLock;
  decltype(&::FormatMessageA) FormatMessageA = ::FormatMessageA;
  decltype(&::MultiByteToWideChar) MultiByteToWideChar = ::MultiByteToWideChar;
  decltype(&::SetupDiGetClassDevsA) SetupDiGetClassDevsA = ::SetupDiGetClassDevsA;
  decltype(&::SetupDiEnumDeviceInterfaces) SetupDiEnumDeviceInterfaces = ::SetupDiEnumDeviceInterfaces;
  decltype(&::SetupDiGetDeviceInterfaceDetailA) SetupDiGetDeviceInterfaceDetailA =
      ::SetupDiGetDeviceInterfaceDetailA;
  decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList =
      ::SetupDiDestroyDeviceInfoList;
};
SystemCalls g_system;

// The handles the module has opened and not closed, whatever their kind: what it would leak.
struct ModuleHandles {
  std::mutex lock;
  std::map<HANDLE, const char*> open;  // guarded by lock; the call that opened each
};
ModuleHandles& TheModuleHandles() {
  static ModuleHandles* handles = new ModuleHandles();
  return *handles;
}

HANDLE Opened(HANDLE handle, const char* by) {
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    ModuleHandles& handles = TheModuleHandles();
    std::lock_guard<std::mutex> guard(handles.lock);
    handles.open[handle] = by;
  }
  return handle;
}

// Forgotten before it is closed: once closed, the system may give the value to anyone.
void Closing(HANDLE handle) {
  ModuleHandles& handles = TheModuleHandles();
  std::lock_guard<std::mutex> guard(handles.lock);
  handles.open.erase(handle);
}

// The device information sets made for the module; an HDEVINFO is a pointer on Windows too.
struct InfoSets {
  std::mutex lock;
  std::set<hostwin::InterfaceSnapshot*> live;  // guarded by lock
};
InfoSets& TheInfoSets() {
  static InfoSets* sets = new InfoSets();
  return *sets;
}

bool Fails(const char* function) {
  DWORD error = 0;
  if (!ShouldFail(function, &error)) return false;
  SetLastError(error);
  return true;
}

bool IsDevicePath(const char* path) {
  return path != nullptr &&
         (std::strncmp(path, "\\\\?\\", 4) == 0 || std::strncmp(path, "\\\\.\\", 4) == 0);
}

HANDLE OpenDevice(const char* path, DWORD access, DWORD share, DWORD flags) {
  hostwin::DeviceProvider* provider = g_provider.load();
  std::shared_ptr<hostwin::DeviceFile> device;
  DWORD error = provider == nullptr ? static_cast<DWORD>(ERROR_FILE_NOT_FOUND)
                                    : provider->Open(path, access, share, flags, &device);
  if (error == 0 && !device) error = ERROR_FILE_NOT_FOUND;
  if (error != 0) {
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
  }
  const HANDLE handle =
      DeviceHandles::Instance().Open(std::move(device), (flags & FILE_FLAG_OVERLAPPED) != 0);
  if (handle != INVALID_HANDLE_VALUE) SetLastError(ERROR_SUCCESS);
  return handle;
}

hostwin::InterfaceSnapshot* FindSet(HDEVINFO set) {
  InfoSets& sets = TheInfoSets();
  std::lock_guard<std::mutex> guard(sets.lock);
  auto* snapshot = static_cast<hostwin::InterfaceSnapshot*>(set);
  return sets.live.count(snapshot) != 0 ? snapshot : nullptr;
}

BOOL Answer(DWORD error) {
  if (error == 0) return TRUE;
  SetLastError(error);
  return FALSE;
}

// ---- The device calls -------------------------------------------------------------------

HANDLE WINAPI HostCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE templateFile) {
  if (Fails("CreateFileA")) return INVALID_HANDLE_VALUE;
  if (g_provider.load() != nullptr && IsDevicePath(path)) {
    return Opened(OpenDevice(path, access, share, flags), "CreateFileA");
  }
  return Opened(g_system.CreateFileA(path, access, share, security, disposition, flags, templateFile),
                "CreateFileA");
}

BOOL WINAPI HostReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD read, LPOVERLAPPED overlapped) {
  if (Fails("ReadFile")) return FALSE;
  if (auto device = DeviceHandles::Instance().Find(file)) {
    return device->Read(buffer, size, read, overlapped);
  }
  return g_system.ReadFile(file, buffer, size, read, overlapped);
}

BOOL WINAPI HostWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                          LPOVERLAPPED overlapped) {
  if (Fails("WriteFile")) return FALSE;
  if (auto device = DeviceHandles::Instance().Find(file)) {
    return device->Write(data, size, written, overlapped);
  }
  return g_system.WriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI HostCancelIo(HANDLE file) {
  if (Fails("CancelIo")) return FALSE;
  if (auto device = DeviceHandles::Instance().Find(file)) return device->CancelIo();
  return g_system.CancelIo(file);
}

BOOL WINAPI HostCancelIoEx(HANDLE file, LPOVERLAPPED overlapped) {
  if (Fails("CancelIoEx")) return FALSE;
  if (auto device = DeviceHandles::Instance().Find(file)) return device->CancelIoEx(overlapped);
  return g_system.CancelIoEx(file, overlapped);
}

BOOL WINAPI HostCloseHandle(HANDLE handle) {
  if (Fails("CloseHandle")) return FALSE;
  Closing(handle);
  if (auto device = DeviceHandles::Instance().Find(handle)) {
    DeviceHandles::Instance().Close(device);
    return TRUE;
  }
  return g_system.CloseHandle(handle);
}

BOOL WINAPI HostDeviceIoControl(HANDLE file, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped) {
  if (Fails("DeviceIoControl")) return FALSE;
  if (auto device = DeviceHandles::Instance().Find(file)) {
    return device->IoControl(code, in, inSize, out, outSize, returned);
  }
  return g_system.DeviceIoControl(file, code, in, inSize, out, outSize, returned, overlapped);
}

BOOL WINAPI HostPurgeComm(HANDLE file, DWORD flags) {
  if (Fails("PurgeComm")) return FALSE;
  if (auto device = DeviceHandles::Instance().Find(file)) return device->Purge(flags);
  return g_system.PurgeComm(file, flags);
}

HDEVINFO WINAPI HostSetupDiGetClassDevsA(const GUID* interfaceClass, PCSTR enumerator, HWND parent,
                                         DWORD flags) {
  if (Fails("SetupDiGetClassDevsA")) return INVALID_HANDLE_VALUE;
  hostwin::DeviceProvider* provider = g_provider.load();
  if (provider == nullptr) return g_system.SetupDiGetClassDevsA(interfaceClass, enumerator, parent, flags);
  if ((flags & DIGCF_DEVICEINTERFACE) == 0 || interfaceClass == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return INVALID_HANDLE_VALUE;
  }
  auto* snapshot = new hostwin::InterfaceSnapshot(*interfaceClass, provider->Interfaces(*interfaceClass));
  InfoSets& sets = TheInfoSets();
  std::lock_guard<std::mutex> guard(sets.lock);
  sets.live.insert(snapshot);
  return snapshot;
}

BOOL WINAPI HostSetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* interfaceClass,
                                            DWORD index, PSP_DEVICE_INTERFACE_DATA data) {
  if (Fails("SetupDiEnumDeviceInterfaces")) return FALSE;
  if (hostwin::InterfaceSnapshot* snapshot = FindSet(set)) {
    return Answer(snapshot->Enumerate(interfaceClass, index, data));
  }
  return g_system.SetupDiEnumDeviceInterfaces(set, info, interfaceClass, index, data);
}

BOOL WINAPI HostSetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                                 PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail,
                                                 DWORD detailSize, PDWORD required, PSP_DEVINFO_DATA info) {
  if (Fails("SetupDiGetDeviceInterfaceDetailA")) return FALSE;
  if (hostwin::InterfaceSnapshot* snapshot = FindSet(set)) {
    return Answer(snapshot->Detail(data, detail, detailSize, required, info));
  }
  return g_system.SetupDiGetDeviceInterfaceDetailA(set, data, detail, detailSize, required, info);
}

BOOL WINAPI HostSetupDiDestroyDeviceInfoList(HDEVINFO set) {
  if (Fails("SetupDiDestroyDeviceInfoList")) return FALSE;
  {
    InfoSets& sets = TheInfoSets();
    std::lock_guard<std::mutex> guard(sets.lock);
    auto* snapshot = static_cast<hostwin::InterfaceSnapshot*>(set);
    if (sets.live.erase(snapshot) != 0) {
      delete snapshot;
      return TRUE;
    }
  }
  return g_system.SetupDiDestroyDeviceInfoList(set);
}

// ---- System calls that only fail on request ---------------------------------------------

HANDLE WINAPI HostCreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCSTR name) {
  if (Fails("CreateEventA")) return nullptr;
  return Opened(g_system.CreateEventA(security, manual, initial, name), "CreateEventA");
}

HANDLE WINAPI HostCreateSemaphoreA(LPSECURITY_ATTRIBUTES security, LONG initial, LONG maximum,
                                   LPCSTR name) {
  if (Fails("CreateSemaphoreA")) return nullptr;
  return Opened(g_system.CreateSemaphoreA(security, initial, maximum, name), "CreateSemaphoreA");
}

BOOL WINAPI HostDuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess,
                                LPHANDLE target, DWORD access, BOOL inherit, DWORD options) {
  if (Fails("DuplicateHandle")) return FALSE;
  const BOOL duplicated =
      g_system.DuplicateHandle(sourceProcess, source, targetProcess, target, access, inherit, options);
  if ((options & DUPLICATE_CLOSE_SOURCE) != 0 && sourceProcess == GetCurrentProcess()) Closing(source);
  if (duplicated && target != nullptr && targetProcess == GetCurrentProcess()) {
    Opened(*target, "DuplicateHandle");
  }
  return duplicated;
}

HANDLE WINAPI HostOpenProcess(DWORD access, BOOL inherit, DWORD id) {
  if (Fails("OpenProcess")) return nullptr;
  return Opened(g_system.OpenProcess(access, inherit, id), "OpenProcess");
}

HANDLE WINAPI HostCreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCSTR name) {
  if (Fails("CreateMutexA")) return nullptr;
  return Opened(g_system.CreateMutexA(security, owned, name), "CreateMutexA");
}

HANDLE WINAPI HostCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack,
                               LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD flags,
                               LPDWORD id) {
  if (Fails("CreateThread")) return nullptr;
  return Opened(g_system.CreateThread(security, stack, start, parameter, flags, id), "CreateThread");
}

DWORD WINAPI HostResumeThread(HANDLE thread) {
  if (Fails("ResumeThread")) return static_cast<DWORD>(-1);
  return g_system.ResumeThread(thread);
}

BOOL WINAPI HostSetEvent(HANDLE event) {
  if (Fails("SetEvent")) return FALSE;
  return g_system.SetEvent(event);
}

BOOL WINAPI HostResetEvent(HANDLE event) {
  if (Fails("ResetEvent")) return FALSE;
  return g_system.ResetEvent(event);
}

DWORD WINAPI HostWaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  if (Fails("WaitForSingleObject")) return WAIT_FAILED;
  return g_system.WaitForSingleObject(handle, milliseconds);
}

DWORD WINAPI HostWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL all, DWORD milliseconds) {
  if (Fails("WaitForMultipleObjects")) return WAIT_FAILED;
  return g_system.WaitForMultipleObjects(count, handles, all, milliseconds);
}

BOOL WINAPI HostGetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
  if (Fails("GetOverlappedResult")) return FALSE;
  return g_system.GetOverlappedResult(file, overlapped, transferred, wait);
}

LPVOID WINAPI HostHeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
  if (Fails("HeapAlloc")) return nullptr;
  return g_system.HeapAlloc(heap, flags, bytes);
}

HGLOBAL WINAPI HostGlobalAlloc(UINT flags, SIZE_T bytes) {
  if (Fails("GlobalAlloc")) return nullptr;
  return g_system.GlobalAlloc(flags, bytes);
}

LPVOID WINAPI HostGlobalLock(HGLOBAL memory) {
  if (Fails("GlobalLock")) return nullptr;
  return g_system.GlobalLock(memory);
}

DWORD WINAPI HostFormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer,
                                DWORD size, va_list* arguments) {
  if (Fails("FormatMessageA")) return 0;
  return g_system.FormatMessageA(flags, source, id, language, buffer, size, arguments);
}

int WINAPI HostMultiByteToWideChar(UINT codePage, DWORD flags, LPCCH text, int length, LPWSTR wide,
                                   int wideLength) {
  if (Fails("MultiByteToWideChar")) return 0;
  return g_system.MultiByteToWideChar(codePage, flags, text, length, wide, wideLength);
}

// Rewrites one import and keeps what it called before; an import the module does not have
// keeps the system's function, which then is never called through here.
template <typename Function>
void Rewrite(HMODULE module, const char* dll, const char* name, Function replacement,
             Function* original) {
  void* previous = ReplaceImport(module, dll, name, reinterpret_cast<void*>(replacement));
  if (previous != nullptr) *original = reinterpret_cast<Function>(previous);
}

}  // namespace
}  // namespace windows

void HostDevicesFor(HMODULE module) {
  using namespace windows;
  static std::once_flag once;
  std::call_once(once, [module] {
    const char* kernel = "KERNEL32.dll";
    SystemCalls& s = g_system;
    Rewrite(module, kernel, "CreateFileA", &HostCreateFileA, &s.CreateFileA);
    Rewrite(module, kernel, "ReadFile", &HostReadFile, &s.ReadFile);
    Rewrite(module, kernel, "WriteFile", &HostWriteFile, &s.WriteFile);
    Rewrite(module, kernel, "CancelIo", &HostCancelIo, &s.CancelIo);
    Rewrite(module, kernel, "CancelIoEx", &HostCancelIoEx, &s.CancelIoEx);
    Rewrite(module, kernel, "CloseHandle", &HostCloseHandle, &s.CloseHandle);
    Rewrite(module, kernel, "DeviceIoControl", &HostDeviceIoControl, &s.DeviceIoControl);
    Rewrite(module, kernel, "PurgeComm", &HostPurgeComm, &s.PurgeComm);
    Rewrite(module, kernel, "CreateEventA", &HostCreateEventA, &s.CreateEventA);
    Rewrite(module, kernel, "CreateMutexA", &HostCreateMutexA, &s.CreateMutexA);
    Rewrite(module, kernel, "CreateSemaphoreA", &HostCreateSemaphoreA, &s.CreateSemaphoreA);
    Rewrite(module, kernel, "DuplicateHandle", &HostDuplicateHandle, &s.DuplicateHandle);
    Rewrite(module, kernel, "OpenProcess", &HostOpenProcess, &s.OpenProcess);
    Rewrite(module, kernel, "CreateThread", &HostCreateThread, &s.CreateThread);
    Rewrite(module, kernel, "ResumeThread", &HostResumeThread, &s.ResumeThread);
    Rewrite(module, kernel, "SetEvent", &HostSetEvent, &s.SetEvent);
    Rewrite(module, kernel, "ResetEvent", &HostResetEvent, &s.ResetEvent);
    Rewrite(module, kernel, "WaitForSingleObject", &HostWaitForSingleObject, &s.WaitForSingleObject);
    Rewrite(module, kernel, "WaitForMultipleObjects", &HostWaitForMultipleObjects,
            &s.WaitForMultipleObjects);
    Rewrite(module, kernel, "GetOverlappedResult", &HostGetOverlappedResult, &s.GetOverlappedResult);
    Rewrite(module, kernel, "HeapAlloc", &HostHeapAlloc, &s.HeapAlloc);
    Rewrite(module, kernel, "GlobalAlloc", &HostGlobalAlloc, &s.GlobalAlloc);
    Rewrite(module, kernel, "GlobalLock", &HostGlobalLock, &s.GlobalLock);
    Rewrite(module, kernel, "FormatMessageA", &HostFormatMessageA, &s.FormatMessageA);
    Rewrite(module, kernel, "MultiByteToWideChar", &HostMultiByteToWideChar, &s.MultiByteToWideChar);
    const char* setup = "SETUPAPI.dll";
    Rewrite(module, setup, "SetupDiGetClassDevsA", &HostSetupDiGetClassDevsA, &s.SetupDiGetClassDevsA);
    Rewrite(module, setup, "SetupDiEnumDeviceInterfaces", &HostSetupDiEnumDeviceInterfaces,
            &s.SetupDiEnumDeviceInterfaces);
    Rewrite(module, setup, "SetupDiGetDeviceInterfaceDetailA", &HostSetupDiGetDeviceInterfaceDetailA,
            &s.SetupDiGetDeviceInterfaceDetailA);
    Rewrite(module, setup, "SetupDiDestroyDeviceInfoList", &HostSetupDiDestroyDeviceInfoList,
            &s.SetupDiDestroyDeviceInfoList);
  });
}

std::vector<std::string> HostedModuleHandles() {
  windows::ModuleHandles& handles = windows::TheModuleHandles();
  std::lock_guard<std::mutex> guard(handles.lock);
  std::vector<std::string> open;
  for (const auto& entry : handles.open) open.emplace_back(entry.second);
  return open;
}

HANDLE OpenDeviceDirectly(const std::string& path, DWORD flags) {
  return windows::OpenDevice(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, flags);
}

BOOL ReadDeviceDirectly(HANDLE device, void* buffer, DWORD size, DWORD* read) {
  auto handle = windows::DeviceHandles::Instance().Find(device);
  if (!handle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return handle->Read(buffer, size, read, nullptr);
}

BOOL CloseDeviceDirectly(HANDLE device) {
  auto handle = windows::DeviceHandles::Instance().Find(device);
  if (!handle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  windows::DeviceHandles::Instance().Close(handle);
  return TRUE;
}

}  // namespace printersim

namespace hostwin {

void SetDeviceProvider(DeviceProvider* provider) { printersim::windows::g_provider.store(provider); }

}  // namespace hostwin
