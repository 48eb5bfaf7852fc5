// Collects what the code under test writes to the debugger output, one entry per
// OutputDebugStringA call, for the lifetime of the capture object.
#ifndef VANTORY_TESTS_DEBUGCAPTURE_H
#define VANTORY_TESTS_DEBUGCAPTURE_H

#include <string>
#include <vector>

class DebugCapture {
 public:
  DebugCapture();   // starts empty: earlier output is discarded
  ~DebugCapture();
  DebugCapture(const DebugCapture&) = delete;
  DebugCapture& operator=(const DebugCapture&) = delete;

  // Entries since the capture started or since the last Take.
  std::vector<std::string> Take();
};

#endif  // VANTORY_TESTS_DEBUGCAPTURE_H
