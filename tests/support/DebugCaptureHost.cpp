#include "support/DebugCapture.h"

#include <hostwin/hostwin.h>

DebugCapture::DebugCapture() { hostwin::ClearDebugOutput(); }
DebugCapture::~DebugCapture() = default;
std::vector<std::string> DebugCapture::Take() { return hostwin::TakeDebugOutput(); }
