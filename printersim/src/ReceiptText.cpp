// The receipt as text: one UTF-8 terminal line per printed line, on a 48-column paper.
#include <printersim/receipt.h>

namespace printersim {

namespace {

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

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

// The columns of font A before the line's first character or picture.
std::string Indent(const PrintedLine& line) {
  return std::string(static_cast<std::size_t>(line.Left() / CellWidth(Font::kA)), ' ');
}

std::string TextLine(const PrintedLine& printed) {
  std::string line = Indent(printed);
  for (const PrintedChar& c : printed.chars) {
    if (c.image) {
      line += "[image " + std::to_string(c.image->width) + "x" + std::to_string(c.image->height) + "]";
      continue;
    }
    AppendUtf8(c.glyph, &line);
    line.append(static_cast<std::size_t>(c.width - 1), ' ');
  }
  line.erase(line.find_last_not_of(' ') + 1);
  return line;
}

}  // namespace

std::string RenderText(const std::vector<PrintedLine>& lines) {
  std::string text;
  for (const PrintedLine& line : lines) {
    switch (line.kind) {
      case PrintedLine::Kind::kCut: text += CutLine(line.partialCut); break;
      case PrintedLine::Kind::kImage: {
        // Placed as the picture is, as far as the label fits on the paper's columns.
        const std::size_t room = line.label.size() < kPaperColumns ? kPaperColumns - line.label.size() : 0;
        text += Indent(line).substr(0, room) + line.label;
        break;
      }
      case PrintedLine::Kind::kText: text += TextLine(line); break;
    }
    text += '\n';
  }
  return text;
}

std::string RenderText(const std::vector<std::uint8_t>& escpos) {
  return RenderText(InterpretEscPos(escpos));
}

}  // namespace printersim
