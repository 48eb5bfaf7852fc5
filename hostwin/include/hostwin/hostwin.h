// Test-side controls of the Win32 stand-in: the debugger output capture, fault injection
// and the handle count. Only non-Windows builds have them; the library never calls them.
#ifndef HOSTWIN_HOSTWIN_H
#define HOSTWIN_HOSTWIN_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hostwin {

// Debugger output. Every OutputDebugStringA call is kept as one entry, newest last, up to
// kDebugOutputCapacity entries (the oldest are dropped beyond that). When the environment
// variable HOSTWIN_DEBUG_OUTPUT names a file (or "-" for stderr) each string is also
// appended there.
constexpr std::size_t kDebugOutputCapacity = 1u << 17;
std::vector<std::string> TakeDebugOutput();  // entries since the last take, then cleared
// The newest `newest` entries since the last take, then all are cleared; *olderLineEnds
// (when given) gets how many line ends the entries not returned held, those dropped for
// room included. Taking only what will be shown costs no more when the process traces more:
// the capture keeps the room of the entries it did not return (a few hundred bytes each at
// most) for those to come.
std::vector<std::string> TakeDebugOutput(std::size_t newest, std::size_t* olderLineEnds);
void ClearDebugOutput();
// Calls `observer` with every string, on the thread that writes it, right after it is kept,
// so that a test can act at an exact step of the code under test; nullptr removes it.
void SetDebugOutputObserver(std::function<void(const char*)> observer);

// Fault injection: the next `count` calls of the named Win32 function (for example
// "CreateEventA", "CreateMutexA", "CreateThread", "HeapAlloc", "GlobalAlloc",
// "GlobalLock") fail with `error`, as the real function reports failure, after `skip` calls
// that still succeed. A count of 0 disarms the function.
void FailNextCalls(const char* function, DWORD error, int count, int skip = 0);
void ClearFaults();

// The call sweep: from now on every call of a function that FailNextCalls can fail is
// counted, from any thread, and the one numbered `failAt` (1 for the first; 0 for none)
// fails as that function usually fails on Windows (for example CreateEventA with
// ERROR_NO_SYSTEM_RESOURCES, ReadFile with ERROR_GEN_FAILURE).
void StartCallSweep(std::uint64_t failAt);
struct SweepResult {
  std::uint64_t calls;  // calls counted
  std::string failed;   // the function whose call failed; empty when none did
};
SweepResult StopCallSweep();

// The text FormatMessageA gives for `code` from now on, in the ANSI code page, as a
// localized Windows has it; an empty text brings back the English one (or none).
void SetSystemMessage(DWORD code, const std::string& ansiText);

// Handles open in the table right now: events, mutexes, threads, files, device info sets.
int OpenHandleCount();

// The largest HeapAlloc request since the last call, then forgotten: how much memory a call
// takes for itself.
SIZE_T TakeLargestHeapAllocation();

}  // namespace hostwin

#endif  // HOSTWIN_HOSTWIN_H
