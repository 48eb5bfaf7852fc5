// The simulated printer's ESC/POS interpreter and text rendering, over arbitrary bytes:
// nothing is read past the stream, and what is printed keeps to the paper.
#include <printersim/receipt.h>

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto lines = printersim::InterpretEscPos(data, size);
  for (const printersim::PrintedLine& line : lines) {
    if (line.Columns() > printersim::kPaperColumns) std::abort();
    for (const printersim::PrintedChar& c : line.chars) {
      if (c.width < 1 || c.width > printersim::kMaxCharacterScale) std::abort();
      if (c.height < 1 || c.height > printersim::kMaxCharacterScale) std::abort();
      if (c.glyph < 0x20 || c.glyph > 0x7E) std::abort();
    }
  }
  const std::string text = printersim::RenderText(lines);
  std::size_t newlines = 0;
  for (char c : text) newlines += c == '\n' ? 1 : 0;
  if (newlines != lines.size()) std::abort();
  return 0;
}
