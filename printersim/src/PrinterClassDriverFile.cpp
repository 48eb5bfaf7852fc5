#include "PrinterClassDriverFile.h"

namespace printersim {

DWORD PrinterClassDriverFile::IoControl(DWORD code, const void* /*in*/, DWORD /*inSize*/,
                                        void* /*out*/, DWORD /*outSize*/, DWORD* returned) {
  if (returned != nullptr) *returned = 0;
  printer().NoteIoControl(code);
  if (DWORD error = printer().HandleError(attachment())) return error;
  return ERROR_NOT_SUPPORTED;
}

}  // namespace printersim
