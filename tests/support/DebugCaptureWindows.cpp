#include "support/DebugCapture.h"

#include <windows.h>

#include <mutex>

// OutputDebugStringA raises DBG_PRINTEXCEPTION_C with the length and address of the text;
// a vectored handler sees it before the system's own handler swallows it, debugger or not.
namespace {

constexpr DWORD kDbgPrintException = 0x40010006;

std::mutex g_lock;
std::vector<std::string>* g_entries = nullptr;

LONG CALLBACK OnException(PEXCEPTION_POINTERS info) {
  const EXCEPTION_RECORD* record = info->ExceptionRecord;
  if (record->ExceptionCode == kDbgPrintException && record->NumberParameters >= 2) {
    const char* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    std::lock_guard<std::mutex> guard(g_lock);
    if (g_entries != nullptr && text != nullptr) g_entries->emplace_back(text);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

PVOID g_handler = nullptr;

}  // namespace

DebugCapture::DebugCapture() {
  std::lock_guard<std::mutex> guard(g_lock);
  g_entries = new std::vector<std::string>();
  g_handler = AddVectoredExceptionHandler(1, OnException);
}

DebugCapture::~DebugCapture() {
  RemoveVectoredExceptionHandler(g_handler);
  std::lock_guard<std::mutex> guard(g_lock);
  delete g_entries;
  g_entries = nullptr;
}

std::vector<std::string> DebugCapture::Take() {
  std::lock_guard<std::mutex> guard(g_lock);
  std::vector<std::string> taken;
  taken.swap(*g_entries);
  return taken;
}
