// Last error, one value per thread, as in Windows.
#include <windows.h>

namespace {
thread_local DWORD t_lastError = 0;
}  // namespace

DWORD WINAPI GetLastError(void) { return t_lastError; }
void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }
