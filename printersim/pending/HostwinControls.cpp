// Stand-ins for the hostwin functions that printersim and its natives call, built only
// while the hostwin library is still its placeholder (see CMakeLists.txt). They let the
// simulator and its tests link and run on their own; with the real stand-in there is no
// device provider to install and no debugger output or handle to count here, so they do
// nothing. The real functions replace them as soon as hostwin has its sources.
#include <hostwin/device_provider.h>
#include <hostwin/hostwin.h>

namespace hostwin {

void SetDeviceProvider(DeviceProvider*) {}
std::vector<std::string> TakeDebugOutput() { return {}; }
void ClearDebugOutput() {}
void ClearFaults() {}
int OpenHandleCount() { return 0; }

}  // namespace hostwin
