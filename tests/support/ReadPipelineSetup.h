// Brings a port object to the state that opening a Printer Class read pipe leaves before it
// starts the worker: the printer's interface path in the device name (and the pipeline's
// printer), the overlapped read handle, the events and a 4096-byte ring buffer. Shared by the test harness and the
// benchmarks; it needs no test framework.
#ifndef VANTORY_TESTS_READPIPELINESETUP_H
#define VANTORY_TESTS_READPIPELINESETUP_H

#include "comm/UsbComm.h"

// False when no printer of that driver kind was found (the handle then is
// INVALID_HANDLE_VALUE, as after a failed open; the events and buffer exist all the same).
bool PrepareReadPipeline(CUsbComm& port, int driverKind = kPrinterClassUsb);

#endif  // VANTORY_TESTS_READPIPELINESETUP_H
