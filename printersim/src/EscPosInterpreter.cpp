// The ESC/POS interpreter behind receipt.h: print modes, the line buffer, feeds and cuts.
//
// Every command is measured before it is carried out, and measuring never reads past the
// end of the stream: a command whose bytes (or whose length fields) are not all there yet
// measures as incomplete and ends the interpretation.
#include <printersim/receipt.h>

#include <algorithm>

namespace printersim {

namespace {

constexpr std::uint8_t kHt = 0x09;
constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kDle = 0x10;
constexpr std::uint8_t kFs = 0x1C;
constexpr std::uint8_t kEsc = 0x1B;
constexpr std::uint8_t kGs = 0x1D;
constexpr std::size_t kIncomplete = 0;
constexpr int kTabStop = 8;  // the printer's default horizontal tab positions

// Bytes remaining from a command's start; every read below checks against it.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Has(std::size_t count) const { return count <= size_; }
  std::uint8_t At(std::size_t index) const { return data_[index]; }
  // `length` when that many bytes are there, else kIncomplete.
  std::size_t Whole(std::size_t length) const { return Has(length) ? length : kIncomplete; }
  // A 16-bit little-endian count at `index`, or false when it is not all there.
  bool Word(std::size_t index, std::size_t* value) const {
    if (!Has(index + 2)) return false;
    *value = data_[index] + (std::size_t{data_[index + 1]} << 8);
    return true;
  }
  std::size_t Size() const { return size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// Prefix, command byte and one parameter: how an unknown command is stepped over.
std::size_t UnknownCommand(const Cursor& c) { return c.Whole(3); }

// ESC D n1 ... nk NUL: tab positions, at most 32 of them, then NUL.
std::size_t TabPositions(const Cursor& c) {
  for (std::size_t i = 2; i < c.Size() && i <= 2 + 32; ++i) {
    if (c.At(i) == 0) return i + 1;
  }
  // No NUL within 32 positions: the printer takes the 32 and goes on.
  return c.Has(2 + 32 + 1) ? 2 + 32 : kIncomplete;
}

// ESC & y c1 c2 [x d1 ... d(y*x)] for each code c1..c2: user-defined characters.
std::size_t UserDefinedCharacters(const Cursor& c) {
  if (!c.Has(5)) return kIncomplete;
  const std::size_t rowBytes = c.At(2);
  const std::size_t first = c.At(3);
  const std::size_t last = c.At(4);
  std::size_t at = 5;
  for (std::size_t code = first; code <= last; ++code) {
    if (!c.Has(at + 1)) return kIncomplete;
    at += 1 + rowBytes * c.At(at);
    if (!c.Has(at)) return kIncomplete;
  }
  return at;
}

// ESC * m nL nH d1 ... dk: a bit image line, k = n (8-dot modes) or 3n (24-dot modes).
std::size_t BitImage(const Cursor& c) {
  std::size_t columns = 0;
  if (!c.Has(3) || !c.Word(3, &columns)) return kIncomplete;
  const std::uint8_t mode = c.At(2);
  const std::size_t bytesPerColumn = (mode == 32 || mode == 33) ? 3 : 1;
  return c.Whole(5 + columns * bytesPerColumn);
}

// ESC ( f pL pH d1 ... and GS ( f pL pH d1 ...: a function with its parameter length.
std::size_t LengthPrefixedFunction(const Cursor& c) {
  std::size_t length = 0;
  if (!c.Word(3, &length)) return kIncomplete;
  return c.Whole(5 + length);
}

std::size_t EscCommandLength(const Cursor& c) {
  if (!c.Has(2)) return kIncomplete;
  switch (c.At(1)) {
    case '2': case '<': case '@': case 'L': case 'S': case 'i': case 'm': case 'v':
      return 2;
    case ' ': case '!': case '%': case '-': case '3': case '=': case '?': case 'E': case 'G':
    case 'J': case 'M': case 'R': case 'T': case 'V': case 'a': case 'd': case 'e': case 'r':
    case 't': case 'u': case '{':
      return c.Whole(3);
    case '$': case '\\': case 'c':
      return c.Whole(4);
    case 'p':
      return c.Whole(5);
    case 'W':
      return c.Whole(10);
    case 'D':
      return TabPositions(c);
    case '&':
      return UserDefinedCharacters(c);
    case '*':
      return BitImage(c);
    case '(':
      return LengthPrefixedFunction(c);
    default:
      return UnknownCommand(c);
  }
}

// GS V m [n]: the cut modes that take a feed amount n.
bool CutTakesFeed(std::uint8_t mode) {
  return mode == 65 || mode == 66 || mode == 97 || mode == 98 || mode == 103 || mode == 104;
}
bool IsCutWithoutFeed(std::uint8_t mode) {
  return mode == 0 || mode == 1 || mode == 48 || mode == 49;
}

std::size_t GsCommandLength(const Cursor& c) {
  if (!c.Has(2)) return kIncomplete;
  switch (c.At(1)) {
    case ':': case 'c':
      return 2;
    case '!': case '/': case 'B': case 'H': case 'I': case 'T': case 'a': case 'b': case 'f':
    case 'h': case 'j': case 'r': case 'w':
      return c.Whole(3);
    case '$': case 'L': case 'P': case '\\': case 'z':
      return c.Whole(4);
    case '^':
      return c.Whole(5);
    case 'g':
      return c.Whole(6);
    case '(':
      return LengthPrefixedFunction(c);
    case '*': {  // GS * x y d1 ... d(x*y*8): a downloaded bit image
      if (!c.Has(4)) return kIncomplete;
      return c.Whole(4 + std::size_t{c.At(2)} * c.At(3) * 8);
    }
    case '8': {  // GS 8 L p1 p2 p3 p4 ...: the 32-bit length form of GS (
      if (!c.Has(7)) return kIncomplete;
      std::size_t length = 0;
      for (std::size_t i = 0; i < 4; ++i) length |= std::size_t{c.At(3 + i)} << (8 * i);
      if (length > c.Size()) return kIncomplete;  // also keeps 7 + length from wrapping
      return c.Whole(7 + length);
    }
    case 'V': {
      if (!c.Has(3)) return kIncomplete;
      return c.Whole(CutTakesFeed(c.At(2)) ? 4 : 3);
    }
    case 'k': {  // GS k m d1 ... NUL (m 0..6) or GS k m n d1 ... dn (m 65..)
      if (!c.Has(3)) return kIncomplete;
      if (c.At(2) <= 6) {
        for (std::size_t i = 3; i < c.Size(); ++i) {
          if (c.At(i) == 0) return i + 1;
        }
        return kIncomplete;
      }
      if (!c.Has(4)) return kIncomplete;
      return c.Whole(4 + std::size_t{c.At(3)});
    }
    case 'v': {  // GS v 0 m xL xH yL yH d1 ... d(x*y): a raster image
      if (!c.Has(3)) return kIncomplete;
      if (c.At(2) != '0') return UnknownCommand(c);
      std::size_t bytesPerRow = 0;
      std::size_t rows = 0;
      if (!c.Word(4, &bytesPerRow) || !c.Word(6, &rows)) return kIncomplete;
      return c.Whole(8 + bytesPerRow * rows);
    }
    default:
      return UnknownCommand(c);
  }
}

std::size_t FsCommandLength(const Cursor& c) {
  if (!c.Has(2)) return kIncomplete;
  switch (c.At(1)) {
    case '&': case '.':
      return 2;
    case '!': case '-': case 'C': case 'W':
      return c.Whole(3);
    case 'S': case 'p':
      return c.Whole(4);
    default:
      return UnknownCommand(c);
  }
}

// Real-time commands: DLE EOT n and DLE ENQ n ask or tell the printer something at once,
// DLE DC4 fn m t pulses a drawer (fn 1) or powers off (fn 2). A DLE that begins none of
// them is a lone control byte.
std::size_t DleCommandLength(const Cursor& c) {
  if (!c.Has(2)) return 1;
  switch (c.At(1)) {
    case 0x04: case 0x05:
      return c.Whole(3);
    case 0x14:
      return c.Whole(5);
    default:
      return 1;
  }
}

class Interpreter {
 public:
  std::vector<PrintedLine> Run(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    while (at < size) {
      const std::uint8_t byte = data[at];
      const Cursor command(data + at, size - at);
      std::size_t length = 1;
      switch (byte) {
        case kEsc: length = EscCommandLength(command); break;
        case kGs: length = GsCommandLength(command); break;
        case kFs: length = FsCommandLength(command); break;
        case kDle: length = DleCommandLength(command); break;
        default: break;
      }
      if (length == kIncomplete) break;
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

std::vector<std::size_t> ReceiptEnds(const std::vector<std::uint8_t>& escpos) {
  std::vector<std::size_t> ends;
  for (const PrintedLine& line : InterpretEscPos(escpos)) {
    if (line.kind == PrintedLine::Kind::kCut) ends.push_back(line.endOffset);
  }
  return ends;
}

}  // namespace printersim
