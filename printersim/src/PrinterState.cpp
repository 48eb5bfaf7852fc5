#include "PrinterState.h"

namespace printersim {

namespace {
constexpr std::uint8_t kFixedBits = 0x12;  // bits 1 and 4 of every status byte
}  // namespace

bool PrinterState::Prints() const {
  return paper != Paper::kOut && !coverOpen && !offline && !recoverableError &&
         !unrecoverableError;
}

bool PrinterState::operator==(const PrinterState& other) const {
  return paper == other.paper && coverOpen == other.coverOpen && offline == other.offline &&
         recoverableError == other.recoverableError &&
         unrecoverableError == other.unrecoverableError && drawerOpen == other.drawerOpen;
}

std::uint8_t StatusByteOf(const PrinterState& state, int n) {
  std::uint8_t status = kFixedBits;
  switch (n) {
    case 1:
      if (state.drawerOpen) status |= 0x04;
      if (!state.Prints()) status |= 0x08;
      break;
    case 2:
      if (state.coverOpen) status |= 0x04;
      if (state.paper == Paper::kOut) status |= 0x20;
      if (state.recoverableError || state.unrecoverableError) status |= 0x40;
      break;
    case 3:
      if (state.unrecoverableError) status |= 0x20;
      if (state.recoverableError) status |= 0x40;
      break;
    case 4:
      // A roll that has run out has passed the near-end sensor too.
      if (state.paper != Paper::kPresent) status |= 0x0C;
      if (state.paper == Paper::kOut) status |= 0x60;
      break;
    default:
      break;
  }
  return status;
}

}  // namespace printersim
