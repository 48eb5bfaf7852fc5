// Armed failures of the hosted module's system calls: one count and one error per function.
#ifndef PRINTERSIM_WINDOWS_SYSTEMFAULTS_H
#define PRINTERSIM_WINDOWS_SYSTEMFAULTS_H

#include <windows.h>

namespace printersim {
namespace windows {

// True when this call of `function` is to fail; the error to report is then in *error.
bool ShouldFail(const char* function, DWORD* error);

}  // namespace windows
}  // namespace printersim

#endif  // PRINTERSIM_WINDOWS_SYSTEMFAULTS_H
