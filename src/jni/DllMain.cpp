// The DLL entry point. The library has no load-time work: the port object is constructed by
// the runtime's static initialisation, and nothing is released at unload.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
