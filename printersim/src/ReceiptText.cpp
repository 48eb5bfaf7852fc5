// The receipt as text: one terminal line per printed line, on a 48-column paper.
#include <printersim/receipt.h>

namespace printersim {

namespace {

std::string CutLine(bool partial) {
  std::string line;
  for (int i = 0; i < kPaperColumns; ++i) line += i % 2 == 0 ? '-' : ' ';
  const std::string label = partial ? " (partial cut) " : " (cut) ";
  // Centred on a dash boundary, so that the dashes on both sides keep their rhythm.
  std::size_t at = (line.size() - label.size()) / 2;
  if (at % 2 == 0) ++at;
  line.replace(at, label.size(), label);
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

std::string TextLine(const PrintedLine& printed) {
  const int free = kPaperColumns - printed.Columns();
  int padding = 0;
  if (printed.alignment == Alignment::kCentre) padding = free / 2;
  if (printed.alignment == Alignment::kRight) padding = free;
  std::string line(static_cast<std::size_t>(padding), ' ');
  for (const PrintedChar& c : printed.chars) {
    line += c.glyph;
    line.append(static_cast<std::size_t>(c.width - 1), ' ');
  }
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

}  // namespace

std::string RenderText(const std::vector<PrintedLine>& lines) {
  std::string text;
  for (const PrintedLine& line : lines) {
    text += line.kind == PrintedLine::Kind::kCut ? CutLine(line.partialCut) : TextLine(line);
    text += '\n';
  }
  return text;
}

std::string RenderText(const std::vector<std::uint8_t>& escpos) {
  return RenderText(InterpretEscPos(escpos));
}

}  // namespace printersim
