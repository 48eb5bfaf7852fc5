// A printer's status replies from its state (printersim.h, PrinterState).
#ifndef PRINTERSIM_PRINTERSTATE_H
#define PRINTERSIM_PRINTERSTATE_H

#include <printersim/printersim.h>

#include <cstdint>

namespace printersim {

// Its reply to DLE EOT n (n = 1..4) in `state`.
std::uint8_t StatusByteOf(const PrinterState& state, int n);

}  // namespace printersim

#endif  // PRINTERSIM_PRINTERSTATE_H
