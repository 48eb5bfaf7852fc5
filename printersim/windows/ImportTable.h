// Rewriting a loaded module's import address table: the module's calls of one imported
// function go to a replacement, while the rest of the process, and the module's other
// imports, stay as they are.
#ifndef PRINTERSIM_WINDOWS_IMPORTTABLE_H
#define PRINTERSIM_WINDOWS_IMPORTTABLE_H

#include <windows.h>

namespace printersim {
namespace windows {

// Points every import of `function` from `dll` (names compared as the loader does: the DLL's
// without regard to case) at `replacement`. Returns what the module called before, or
// nullptr when it does not import the function.
void* ReplaceImport(HMODULE module, const char* dll, const char* function, void* replacement);

}  // namespace windows
}  // namespace printersim

#endif  // PRINTERSIM_WINDOWS_IMPORTTABLE_H
