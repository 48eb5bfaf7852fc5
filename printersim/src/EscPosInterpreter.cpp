// The ESC/POS interpreter behind receipt.h: print modes, the line buffer, feeds and cuts.
//
// Every command is measured (EscPosCommands.h) before it is carried out: a command whose
// bytes are not all there yet ends the interpretation.
#include <printersim/receipt.h>

#include "EscPosCommands.h"

#include <algorithm>

namespace printersim {

namespace {

constexpr int kTabStop = 8;  // the printer's default horizontal tab positions

class Interpreter {
 public:
  std::vector<PrintedLine> Run(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    while (at < size) {
      const std::uint8_t byte = data[at];
      const std::size_t length = CommandLength(data + at, size - at);
      if (length == kLengthUnknown || length > size - at) break;  // cut short by the end
      commandEnd_ = at + length;
      switch (byte) {
        case kEsc: Esc(data + at); break;
        case kGs: Gs(data + at); break;
        case kLf: PrintLine(); break;
        case kHt: Tab(); break;
        default:
          if (byte >= 0x20 && byte <= 0x7E) {
            Put(static_cast<char>(byte));
          } else if (byte >= 0x80) {
            Put('?');
          }
          // CR, DLE and the other control bytes print nothing.
          break;
      }
      at += length;
    }
    if (!line_.chars.empty()) PrintLine();
    return std::move(lines_);
  }

  // ESC E n, GS ! n and ESC a n for the modes in force now.
  std::vector<std::uint8_t> Modes() const {
    const auto size = static_cast<std::uint8_t>(((width_ - 1) << 4) | (height_ - 1));
    return {kEsc, 'E', static_cast<std::uint8_t>(bold_ ? 1 : 0), kGs, '!', size,
            kEsc, 'a', static_cast<std::uint8_t>(alignment_)};
  }

 private:
  void Initialize() {
    bold_ = false;
    width_ = 1;
    height_ = 1;
    alignment_ = Alignment::kLeft;
    line_ = PrintedLine();  // ESC @ clears the line buffer too
  }

  // `command` holds the whole command as measured; only the cases that take a parameter
  // read command[2].
  void Esc(const std::uint8_t* command) {
    switch (command[1]) {
      case '@': Initialize(); break;
      case 'E': bold_ = (command[2] & 1) != 0; break;
      case '!': {
        const std::uint8_t n = command[2];
        bold_ = (n & 0x08) != 0;
        height_ = (n & 0x10) != 0 ? 2 : 1;
        width_ = (n & 0x20) != 0 ? 2 : 1;
        break;
      }
      case 'a': {
        const std::uint8_t n = command[2];
        if (n <= 2) alignment_ = static_cast<Alignment>(n);
        else if (n >= '0' && n <= '2') alignment_ = static_cast<Alignment>(n - '0');
        break;
      }
      case 'd': {
        const std::uint8_t n = command[2];
        // Prints the buffer (a feed of one line) and feeds the remaining n - 1 lines.
        if (n == 0) {
          if (!line_.chars.empty()) PrintLine();
        } else {
          for (int i = 0; i < n; ++i) PrintLine();
        }
        break;
      }
      case 'J':  // print and feed by dots: the buffer prints, the feed is not drawn
        if (!line_.chars.empty()) PrintLine();
        break;
      case 'i': Cut(false); break;  // the older one-byte cut commands
      case 'm': Cut(true); break;
      default: break;
    }
  }

  void Gs(const std::uint8_t* command) {
    switch (command[1]) {
      case '!':
        width_ = std::min(((command[2] >> 4) & 0x0F) + 1, kMaxCharacterScale);
        height_ = std::min((command[2] & 0x0F) + 1, kMaxCharacterScale);
        break;
      case 'V': {
        const std::uint8_t mode = command[2];
        if (IsCutWithoutFeed(mode)) {
          Cut(mode == 1 || mode == 49);
        } else if (CutTakesFeed(mode)) {
          Cut(mode % 2 == 0);  // 66, 98 and 104 are the partial cuts
        }
        break;
      }
      default: break;
    }
  }

  void Put(char glyph) {
    if (line_.Columns() + width_ > kPaperColumns) PrintLine();  // the printer wraps
    if (line_.chars.empty()) line_.alignment = alignment_;
    line_.chars.push_back(PrintedChar{glyph, bold_, width_, height_});
  }

  // To the next tab position; past the last one on the line, HT is ignored.
  void Tab() {
    const int next = (line_.Columns() / kTabStop + 1) * kTabStop;
    if (next > kPaperColumns) return;
    const bool bold = bold_;
    const int width = width_;
    bold_ = false;
    width_ = 1;
    while (line_.Columns() < next) Put(' ');
    bold_ = bold;
    width_ = width;
  }

  void PrintLine() {
    lines_.push_back(std::move(line_));
    line_ = PrintedLine();
  }

  // A cut prints what waits in the buffer first, so that nothing sent is lost from view.
  void Cut(bool partial) {
    if (!line_.chars.empty()) PrintLine();
    PrintedLine cut;
    cut.kind = PrintedLine::Kind::kCut;
    cut.partialCut = partial;
    cut.endOffset = commandEnd_;
    lines_.push_back(std::move(cut));
  }

  bool bold_ = false;
  int width_ = 1;
  int height_ = 1;
  Alignment alignment_ = Alignment::kLeft;
  PrintedLine line_;
  std::vector<PrintedLine> lines_;
  std::size_t commandEnd_ = 0;  // where the command being run ends in the stream
};

}  // namespace

int PrintedLine::Columns() const {
  int columns = 0;
  for (const PrintedChar& c : chars) columns += c.width;
  return columns;
}

int PrintedLine::Height() const {
  int height = 1;
  for (const PrintedChar& c : chars) height = std::max(height, c.height);
  return height;
}

std::vector<PrintedLine> InterpretEscPos(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr) return {};
  return Interpreter().Run(data, size);
}

std::vector<PrintedLine> InterpretEscPos(const std::vector<std::uint8_t>& escpos) {
  return InterpretEscPos(escpos.data(), escpos.size());
}

std::vector<std::uint8_t> ModesAtEnd(const std::vector<std::uint8_t>& escpos) {
  Interpreter interpreter;
  interpreter.Run(escpos.data(), escpos.size());
  return interpreter.Modes();
}

std::vector<std::size_t> ReceiptEnds(const std::vector<std::uint8_t>& escpos) {
  std::vector<std::size_t> ends;
  for (const PrintedLine& line : InterpretEscPos(escpos)) {
    if (line.kind == PrintedLine::Kind::kCut) ends.push_back(line.endOffset);
  }
  return ends;
}

}  // namespace printersim
