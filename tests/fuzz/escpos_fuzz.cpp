// The simulated printer's ESC/POS interpreter and text rendering, over arbitrary bytes:
// nothing is read past the stream, images, barcodes and codes are whole or none, and what
// is printed keeps to the paper. The printer's own
// reading of its print data finds the same commands however the bytes are split.
#include <printersim/receipt.h>

#include "EscPosCommands.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto lines = printersim::InterpretEscPos(data, size);
  long paper = 0;
  for (const printersim::PrintedLine& line : lines) {
    // A line keeps to the paper; a picture is whole and no taller than a picture can be, and
    // only past the paper one picture holds is a picture left undrawn (and named).
    if (line.WidthDots() > printersim::kPaperDots && line.chars.size() > 1) std::abort();
    if (line.Left() < 0 || line.Left() >= printersim::kPaperDots) std::abort();
    if (line.kind == printersim::PrintedLine::Kind::kImage && line.Left() + line.WidthDots() > printersim::kPaperDots) std::abort();
    if (line.HeightDots() > 65535 || line.Advance() < 0) std::abort();
    if (line.kind == printersim::PrintedLine::Kind::kImage) {
      if (!line.image ? paper <= 65535 || line.label.empty()
                      : line.image->width > printersim::kPaperDots ||
                            line.image->dots.size() != static_cast<std::size_t>(line.image->width) *
                                                           static_cast<std::size_t>(line.image->height)) {
        std::abort();
      }
    }
    paper += line.Advance();
    for (const printersim::PrintedChar& c : line.chars) {
      if (c.width < 1 || c.width > printersim::kMaxCharacterScale) std::abort();
      if (c.height < 1 || c.height > printersim::kMaxCharacterScale) std::abort();
      if (!c.image && c.glyph < 0x20) std::abort();
    }
  }
  const std::string text = printersim::RenderText(lines);
  std::size_t newlines = 0;
  for (char c : text) newlines += c == '\n' ? 1 : 0;
  if (newlines != lines.size()) std::abort();

  // The cuts found by measuring alone are those the interpreter makes.
  std::vector<std::size_t> cuts;
  for (const printersim::PrintedLine& line : lines) {
    if (line.kind == printersim::PrintedLine::Kind::kCut) cuts.push_back(line.endOffset);
  }
  if (cuts != printersim::ReceiptEnds(std::vector<std::uint8_t>(data, data + size))) std::abort();

  printersim::PrintedCommands whole;
  printersim::PrintedCommands::Effects all;
  whole.Feed(data, size, &all);
  printersim::PrintedCommands pieces;
  printersim::PrintedCommands::Effects split;
  std::size_t at = 0;
  for (std::size_t i = 0; at < size; ++i) {
    const std::size_t piece = std::min<std::size_t>(size - at, 1 + data[i % size] % 7);
    pieces.Feed(data + at, piece, &split);
    at += piece;
  }
  if (all.drawerPulses != split.drawerPulses) std::abort();
  // The printer's cuts are the renderer's, however the stream is split.
  if (all.cutEnds != split.cutEnds) std::abort();
  if (!std::equal(all.cutEnds.begin(), all.cutEnds.end(), cuts.begin(), cuts.end())) std::abort();
  return 0;
}
