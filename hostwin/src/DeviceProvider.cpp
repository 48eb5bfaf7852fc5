// The installed device provider.
#include <hostwin/device_provider.h>

#include <atomic>

#include "Kernel.h"

namespace hostwin {
namespace {
std::atomic<DeviceProvider*> g_provider{nullptr};
}  // namespace

void SetDeviceProvider(DeviceProvider* provider) {
  g_provider.store(provider, std::memory_order_release);
}

namespace detail {
DeviceProvider* CurrentProvider() { return g_provider.load(std::memory_order_acquire); }
}  // namespace detail

}  // namespace hostwin
