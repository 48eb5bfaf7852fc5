// The ESC/POS interpreter behind receipt.h: print modes, the line buffer, feeds, cuts,
// images, barcodes and two-dimensional codes.
//
// Every command is measured (EscPosCommands.h) before it is carried out: a command whose
// bytes are not all there yet ends the interpretation.
#include <printersim/receipt.h>

#include <algorithm>
#include <deque>
#include <iterator>
#include <map>

#include "CodePages.h"
#include "EscPosCommands.h"
#include "EscPosGraphics.h"
#include "Symbols.h"

namespace printersim {

namespace {

constexpr int kTabStop = 8;              // the default tab positions, every 8 columns of font A
constexpr int kDefaultBarHeight = 162;   // GS h
constexpr int kDefaultModuleWidth = 3;   // GS w
constexpr int kDefaultQrModule = 3;
constexpr std::size_t kMostStoredGraphics = 64;  // NV and download graphics kept by key

using Bytes = std::vector<std::uint8_t>;

std::size_t Word(const std::uint8_t* at) { return at[0] + (std::size_t{at[1]} << 8); }

// Parameters given as 0..n or as the digits '0'..'n'.
int DigitOrValue(std::uint8_t n) { return n >= '0' && n <= '9' ? n - '0' : n; }

// What ESC @ sets back, and what a receipt cut out of a stream must begin with.
struct Modes {
  Font font = Font::kA;
  bool bold = false;
  int underline = 0;
  bool reverse = false;
  bool upsideDown = false;
  int width = 1;
  int height = 1;
  int spacing = 0;  // ESC SP, dots at normal width
  Alignment alignment = Alignment::kLeft;
  int leftMargin = 0;
  int printWidth = kPaperDots;
  int lineSpacing = kDefaultLineSpacing;
  int codeTable = 0;
  int internationalSet = 0;
  int barHeight = kDefaultBarHeight;
  int moduleWidth = kDefaultModuleWidth;
  int hriPosition = 0;  // 0 none, 1 above, 2 below, 3 both
  Font hriFont = Font::kA;
  int qrModule = kDefaultQrModule;
  int qrCorrection = 0;  // L
  Pdf417Settings pdf417;
};

// A function of GS ( x or GS 8 x: its function number and parameters.
struct Function {
  std::uint8_t fn = 0;
  const std::uint8_t* params = nullptr;
  std::size_t size = 0;  // bytes of params
};

class Interpreter {
 public:
  // A layout pass (`draw` false) finds the lines, cuts and modes without drawing a picture:
  // every picture is an empty line of its own.
  explicit Interpreter(bool draw) : draw_(draw) {}

  // A pass that only follows the modes: no line is laid out (ModesAtCuts).
  void FollowModesOnly() { modesOnly_ = true; }

  // Keeps the modes in force after each of the last `last` cuts (ModesNow) in `modes`.
  void KeepModesAtCuts(std::deque<Bytes>* modes, std::size_t last) {
    modesAtCuts_ = modes;
    lastModes_ = last;
  }

  std::vector<PrintedLine> Run(const std::uint8_t* data, std::size_t size) {
    std::size_t at = 0;
    while (at < size) {
      const std::uint8_t byte = data[at];
      const std::size_t length = CommandLength(data + at, size - at);
      if (length == kLengthUnknown || length > size - at) break;  // cut short by the end
      commandStart_ = at;
      commandEnd_ = at + length;
      const std::uint8_t* command = data + at;
      switch (byte) {
        case kEsc: Esc(command, length); break;
        case kGs: Gs(command, length); break;
        case kLf: PrintLine(); break;
        case kHt: Tab(); break;
        default:
          // CR, DLE, FS and the other control bytes print nothing; DEL neither.
          if (byte >= 0x20 && byte != 0x7F) Put(CharacterOf(byte, modes_.codeTable, modes_.internationalSet));
          break;
      }
      at += length;
    }
    if (!line_.chars.empty()) {
      PrintLine();
      lines_.back().endOffset = kNotEnded;
    }
    return std::move(lines_);
  }

  // The commands that bring a printer that was just switched on to the modes in force now,
  // with what it stored.
  Bytes ModesNow() const {
    const Modes& m = modes_;
    Bytes out = {kEsc, '!', 0,
                 kEsc, 'M', static_cast<std::uint8_t>(m.font == Font::kB ? 1 : 0),
                 kEsc, 'E', static_cast<std::uint8_t>(m.bold),
                 kEsc, '-', static_cast<std::uint8_t>(m.underline),
                 kGs, '!', static_cast<std::uint8_t>(((m.width - 1) << 4) | (m.height - 1)),
                 kGs, 'B', static_cast<std::uint8_t>(m.reverse),
                 kEsc, '{', static_cast<std::uint8_t>(m.upsideDown),
                 kEsc, ' ', static_cast<std::uint8_t>(m.spacing),
                 kEsc, 'a', static_cast<std::uint8_t>(m.alignment),
                 kGs, 'L', static_cast<std::uint8_t>(m.leftMargin & 0xFF), static_cast<std::uint8_t>(m.leftMargin >> 8),
                 kGs, 'W', static_cast<std::uint8_t>(m.printWidth & 0xFF), static_cast<std::uint8_t>(m.printWidth >> 8),
                 kEsc, '3', static_cast<std::uint8_t>(m.lineSpacing),
                 kEsc, 't', static_cast<std::uint8_t>(m.codeTable),
                 kEsc, 'R', static_cast<std::uint8_t>(m.internationalSet),
                 kGs, 'h', static_cast<std::uint8_t>(m.barHeight),
                 kGs, 'w', static_cast<std::uint8_t>(m.moduleWidth),
                 kGs, 'H', static_cast<std::uint8_t>(m.hriPosition),
                 kGs, 'f', static_cast<std::uint8_t>(m.hriFont == Font::kB ? 1 : 0),
                 kGs, '(', 'k', 3, 0, 49, 67, static_cast<std::uint8_t>(m.qrModule),
                 kGs, '(', 'k', 3, 0, 49, 69, static_cast<std::uint8_t>(48 + m.qrCorrection),
                 kGs, '(', 'k', 3, 0, 48, 65, static_cast<std::uint8_t>(m.pdf417.columns),
                 kGs, '(', 'k', 3, 0, 48, 66, static_cast<std::uint8_t>(m.pdf417.rows),
                 kGs, '(', 'k', 3, 0, 48, 67, static_cast<std::uint8_t>(m.pdf417.moduleWidth),
                 kGs, '(', 'k', 3, 0, 48, 68, static_cast<std::uint8_t>(m.pdf417.rowHeight),
                 kGs, '(', 'k', 4, 0, 48, 69, static_cast<std::uint8_t>(m.pdf417.byLevel ? 48 : 49),
                 static_cast<std::uint8_t>(m.pdf417.byLevel ? 48 + m.pdf417.correction : m.pdf417.correction),
                 kGs, '(', 'k', 3, 0, 48, 70, static_cast<std::uint8_t>(m.pdf417.truncated)};
    for (const Bytes* stored : {&qrStore_, &pdf417Store_, &downloadedDefinition_, &bufferDefinition_}) {
      out.insert(out.end(), stored->begin(), stored->end());
    }
    for (const auto& keyed : {&nvGraphics_, &downloadGraphics_}) {
      for (const auto& entry : *keyed) out.insert(out.end(), entry.second.definition.begin(), entry.second.definition.end());
    }
    return out;
  }

 private:
  struct StoredGraphic {
    Picture picture;
    Bytes definition;  // the command that defined it
  };

  void Initialize() {
    modes_ = Modes();
    line_ = PrintedLine();  // ESC @ clears the line buffer too
    downloaded_ = nullptr;  // and the downloaded image
    downloadedDefinition_.clear();
    bufferGraphics_ = nullptr;
    bufferDefinition_.clear();
  }

  // `command` holds the whole command as measured (`length` bytes); the cases read only
  // parameters that its measure includes.
  void Esc(const std::uint8_t* command, std::size_t length) {
    switch (command[1]) {
      case '@': Initialize(); break;
      case '!': {
        const std::uint8_t n = command[2];
        modes_.font = (n & 0x01) != 0 ? Font::kB : Font::kA;
        modes_.bold = (n & 0x08) != 0;
        modes_.height = (n & 0x10) != 0 ? 2 : 1;
        modes_.width = (n & 0x20) != 0 ? 2 : 1;
        modes_.underline = (n & 0x80) != 0 ? 1 : 0;
        break;
      }
      case 'E': case 'G': modes_.bold = (command[2] & 1) != 0; break;
      case '-': {
        const int n = DigitOrValue(command[2]);
        if (n <= 2) modes_.underline = n;
        break;
      }
      case 'M': {
        const int n = DigitOrValue(command[2]);
        if (n <= 1) modes_.font = n == 1 ? Font::kB : Font::kA;
        break;
      }
      case '{': modes_.upsideDown = (command[2] & 1) != 0; break;
      case ' ': modes_.spacing = command[2]; break;
      case '2': modes_.lineSpacing = kDefaultLineSpacing; break;
      case '3': modes_.lineSpacing = command[2]; break;
      case 't': if (IsCodeTable(command[2])) modes_.codeTable = command[2]; break;
      case 'R': if (IsInternationalSet(command[2])) modes_.internationalSet = command[2]; break;
      case 'a': {
        const int n = DigitOrValue(command[2]);
        if (n <= 2) modes_.alignment = static_cast<Alignment>(n);
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
      case 'J':  // print and feed n dots
        PrintLine(command[2]);
        break;
      case '*': {
        if (modesOnly_) break;
        PrintedChar image;
        if (!draw_) {
          // The layout pass needs its width only.
          const int width = ColumnImageWidth(command, length);
          if (width > 0) image.image = std::make_shared<const Bitmap>(std::min(width, PrintArea()), 0);
        } else if (WithinDrawing()) {
          image.image = Cropped(ColumnImage(command, length), PrintArea());
        }
        if (image.image) PutChar(image);
        break;
      }
      case 'i': Cut(false); break;  // the older one-byte cut commands
      case 'm': Cut(true); break;
      default: break;
    }
  }

  void Gs(const std::uint8_t* command, std::size_t length) {
    switch (command[1]) {
      case '!': {
        const int width = ((command[2] >> 4) & 0x0F) + 1;
        const int height = (command[2] & 0x0F) + 1;
        if (width <= kMaxCharacterScale && height <= kMaxCharacterScale) {
          modes_.width = width;
          modes_.height = height;
        }
        break;
      }
      case 'B': modes_.reverse = (command[2] & 1) != 0; break;
      case 'L': modes_.leftMargin = std::min(static_cast<int>(Word(command + 2)), kPaperDots - 1); break;
      case 'W': modes_.printWidth = std::max(1, static_cast<int>(Word(command + 2))); break;
      case 'h': if (command[2] > 0) modes_.barHeight = command[2]; break;
      case 'w': if (command[2] >= 1 && command[2] <= 6) modes_.moduleWidth = command[2]; break;
      case 'H': {
        const int n = DigitOrValue(command[2]);
        if (n <= 3) modes_.hriPosition = n;
        break;
      }
      case 'f': {
        const int n = DigitOrValue(command[2]);
        if (n <= 1) modes_.hriFont = n == 1 ? Font::kB : Font::kA;
        break;
      }
      case 'V': {
        const std::uint8_t mode = command[2];
        if (IsCutWithoutFeed(mode)) {
          Cut(mode == 1 || mode == 49);
        } else if (CutTakesFeed(mode)) {
          Cut(mode % 2 == 0);  // 66, 98 and 104 are the partial cuts
        }
        break;
      }
      case 'v':
        if (command[2] == '0') PrintPicture(WithinDrawing() ? RasterImage(command, length) : nullptr);
        break;
      case '*':
        // A definition without columns or rows leaves no image.
        downloaded_ = WithinDrawing() ? DownloadedImage(command, length) : nullptr;
        if (command[2] > 0 && command[3] > 0) {
          downloadedDefinition_.assign(command, command + length);
        } else {
          downloadedDefinition_.clear();
        }
        break;
      case '/': {
        const int mode = DigitOrValue(command[2]);
        if (mode <= 3 && !downloadedDefinition_.empty()) {
          PrintPicture(WithinDrawing() ? Scaled(downloaded_, (mode & 1) + 1, (mode >> 1) + 1) : nullptr);
        }
        break;
      }
      case 'k': Barcode(command, length); break;
      case '(':
        if (command[2] == 'k' && length >= 7) {
          TwoDimensionalCode(command, length, Function{command[6], command + 7, length - 7});
        } else if (command[2] == 'L' && length >= 7) {
          Graphics(command, length, Function{command[6], command + 7, length - 7});
        }
        break;
      case '8':
        if (command[2] == 'L' && length >= 9) Graphics(command, length, Function{command[8], command + 9, length - 9});
        break;
      default: break;
    }
  }

  // GS k m d1 ... NUL or GS k m n d1 ... dn.
  void Barcode(const std::uint8_t* command, std::size_t length) {
    if (modesOnly_) return;
    const std::uint8_t m = command[2];
    const Bytes data = m <= 6 ? Bytes(command + 3, command + length - 1) : Bytes(command + 4, command + length);
    if (!WithinDrawing()) {
      if (BarcodeAccepted(m, data)) PrintPicture(nullptr);
      return;
    }
    Symbol symbol;
    if (!BarcodeSymbol(m, data, modes_.moduleWidth, modes_.barHeight, PrintArea(), &symbol)) return;
    FinishLine();
    const int width = symbol.picture.width;
    const int left = LeftOf(width);
    const std::string text = symbol.text;
    if ((modes_.hriPosition & 1) != 0) HumanReadable(text, left, width);
    PrintSymbol(std::move(symbol));
    if ((modes_.hriPosition & 2) != 0) HumanReadable(text, left, width);
  }

  // GS ( k fn 80 (m d1...): the data of the next code, and the command that stored it, which
  // a receipt cut out of the stream later begins with.
  static void StoreCode(Function f, const std::uint8_t* command, std::size_t length, Bytes* data, Bytes* store) {
    if (f.size < 1) return;
    data->assign(f.params + 1, f.params + f.size);
    store->assign(command, command + length);
  }

  // GS ( k fn 81: the code that `draw` makes, on a line of its own.
  template <typename Draw>
  void PrintCode(Draw&& draw) {
    Symbol symbol;
    if (!WithinDrawing()) {
      PrintPicture(nullptr);
    } else if (draw(&symbol)) {
      FinishLine();
      PrintSymbol(std::move(symbol));
    }
  }

  // GS ( k pL pH cn fn ...: cn 49 a QR code, cn 48 a PDF417 symbol.
  void TwoDimensionalCode(const std::uint8_t* command, std::size_t length, Function f) {
    const std::uint8_t cn = command[5];
    const std::uint8_t n = f.size > 0 ? f.params[0] : 0;
    if (cn == 49) {
      switch (f.fn) {
        case 67: if (n >= 1 && n <= 16) modes_.qrModule = n; break;
        case 69: if (n >= 48 && n <= 51) modes_.qrCorrection = n - 48; break;
        case 80: StoreCode(f, command, length, &qrData_, &qrStore_); break;
        case 81:
          PrintCode([&](Symbol* symbol) {
            return QrSymbol(qrData_, modes_.qrModule, modes_.qrCorrection, PrintArea(), symbol);
          });
          break;
        default: break;
      }
    } else if (cn == 48) {
      Pdf417Settings& p = modes_.pdf417;
      switch (f.fn) {
        case 65: if (n <= 30) p.columns = n; break;
        case 66: if (n == 0 || (n >= 3 && n <= 90)) p.rows = n; break;
        case 67: if (n >= 2 && n <= 8) p.moduleWidth = n; break;
        case 68: if (n >= 2 && n <= 8) p.rowHeight = n; break;
        case 69:
          if (f.size >= 2 && f.params[0] == 48 && f.params[1] >= 48 && f.params[1] <= 56) {
            p.byLevel = true;
            p.correction = f.params[1] - 48;
          } else if (f.size >= 2 && f.params[0] == 49 && f.params[1] >= 1 && f.params[1] <= 40) {
            p.byLevel = false;
            p.correction = f.params[1];
          }
          break;
        case 70: if (n <= 1) p.truncated = n == 1; break;
        case 80: StoreCode(f, command, length, &pdf417Data_, &pdf417Store_); break;
        case 81:
          PrintCode([&](Symbol* symbol) { return Pdf417Symbol(pdf417Data_, p, PrintArea(), symbol); });
          break;
        default: break;
      }
    }
  }

  // GS ( L and GS 8 L: graphics in the print buffer (fn 112, printed by fn 50), and graphics
  // kept by a two-byte key (NV: fn 67 defines, 69 prints; download: fn 83 and 85). Only the
  // monochrome raster forms are drawn.
  void Graphics(const std::uint8_t* command, std::size_t length, Function f) {
    switch (f.fn) {
      case 2: case 50:
        if (!bufferDefinition_.empty()) PrintPicture(bufferGraphics_);
        bufferGraphics_ = nullptr;
        bufferDefinition_.clear();
        break;
      case 112: {  // a bx by c xL xH yL yH d1...
        if (f.size < 8 || f.params[0] != 48) break;
        const int bx = f.params[1], by = f.params[2];
        if (bx < 1 || bx > 2 || by < 1 || by > 2) break;
        if (!RasterDataFits(f.size - 8, static_cast<int>(Word(f.params + 4)), static_cast<int>(Word(f.params + 6)))) break;
        bufferGraphics_ = WithinDrawing() ? Scaled(RasterData(f.params + 8, f.size - 8, static_cast<int>(Word(f.params + 4)),
                                                    static_cast<int>(Word(f.params + 6))),
                                         bx, by)
                                : nullptr;
        bufferDefinition_.assign(command, command + length);
        break;
      }
      case 67: case 83: {  // a kc1 kc2 b xL xH yL yH c d1... (the first colour is drawn)
        if (f.size < 9 || f.params[0] != 48) break;
        auto& kept = f.fn == 67 ? nvGraphics_ : downloadGraphics_;
        const int key = (f.params[1] << 8) | f.params[2];
        if (kept.size() >= kMostStoredGraphics && kept.count(key) == 0) break;
        if (!RasterDataFits(f.size - 9, static_cast<int>(Word(f.params + 4)), static_cast<int>(Word(f.params + 6)))) break;
        const Picture picture = WithinDrawing() ? RasterData(f.params + 9, f.size - 9, static_cast<int>(Word(f.params + 4)),
                                                   static_cast<int>(Word(f.params + 6)))
                                      : nullptr;
        kept[key] = StoredGraphic{picture, Bytes(command, command + length)};
        break;
      }
      case 69: case 85: {  // kc1 kc2 x y
        if (f.size < 4) break;
        const auto& kept = f.fn == 69 ? nvGraphics_ : downloadGraphics_;
        const auto found = kept.find((f.params[0] << 8) | f.params[1]);
        const int x = f.params[2], y = f.params[3];
        if (found != kept.end() && x >= 1 && x <= 2 && y >= 1 && y <= 2) {
          PrintPicture(WithinDrawing() ? Scaled(found->second.picture, x, y) : nullptr);
        }
        break;
      }
      case 65: case 81:  // delete all
        (f.fn == 65 ? nvGraphics_ : downloadGraphics_).clear();
        break;
      case 66: case 82:  // delete one
        if (f.size >= 2) (f.fn == 66 ? nvGraphics_ : downloadGraphics_).erase((f.params[0] << 8) | f.params[1]);
        break;
      default: break;
    }
  }

  void Put(char32_t glyph) {
    if (modesOnly_) return;
    PrintedChar c;
    c.glyph = glyph;
    c.bold = modes_.bold;
    c.underline = modes_.underline;
    c.reverse = modes_.reverse;
    c.font = modes_.font;
    c.width = modes_.width;
    c.height = modes_.height;
    c.spacing = modes_.spacing * modes_.width;
    PutChar(c);
  }

  void PutChar(const PrintedChar& c) {
    if (modesOnly_) return;
    if (!line_.chars.empty() && line_.WidthDots() + c.Dots() > line_.printWidth) {
      PrintLine();  // the printer wraps
      lines_.back().endOffset = commandStart_;
    }
    if (line_.chars.empty()) BeginLine(&line_);
    line_.chars.push_back(c);
  }

  // A line takes the alignment, margin, width and orientation in force at its beginning.
  void BeginLine(PrintedLine* line) const {
    line->alignment = modes_.alignment;
    line->leftMargin = modes_.leftMargin;
    line->printWidth = PrintArea();
    line->upsideDown = modes_.upsideDown;
  }

  // The width of the print area right of the left margin, on the paper.
  int PrintArea() const { return std::max(1, std::min(modes_.printWidth, kPaperDots - modes_.leftMargin)); }

  // To the next tab position; past the last one on the line, HT is ignored.
  // The tab's gap is plain spaces, which never wrap the line.
  void Tab() {
    if (modesOnly_) return;
    const int cell = CellWidth(Font::kA);
    const int next = (line_.WidthDots() / (kTabStop * cell) + 1) * kTabStop * cell;
    const int area = line_.chars.empty() ? PrintArea() : line_.printWidth;
    if (next > area) return;
    const Modes kept = modes_;
    modes_.bold = false;
    modes_.width = 1;
    modes_.reverse = false;
    modes_.underline = 0;
    modes_.font = Font::kA;
    modes_.spacing = 0;
    while (line_.WidthDots() < next && line_.WidthDots() + cell <= area) Put(U' ');
    modes_ = kept;
  }

  // Prints the line buffer and feeds the line spacing (or `feed` dots).
  void PrintLine(int feed = -1) {
    if (modesOnly_) return;
    if (line_.chars.empty()) BeginLine(&line_);
    line_.feed = feed >= 0 ? feed : modes_.lineSpacing;
    Push(std::move(line_));
    line_ = PrintedLine();
  }

  // What waits in the line buffer prints before a picture that has a line of its own.
  void FinishLine() {
    if (!line_.chars.empty()) PrintLine();
  }

  // Where a picture `width` dots wide begins, as the alignment places it in the print area.
  int LeftOf(int width) const {
    PrintedLine probe;
    BeginLine(&probe);
    const int free = std::max(0, probe.printWidth - width);
    int left = probe.leftMargin;
    if (probe.alignment == Alignment::kCentre) left += free / 2;
    if (probe.alignment == Alignment::kRight) left += free;
    return left;
  }

  // A picture on a line of its own, cut at the print area; none prints nothing, but in a
  // layout pass, where every picture is none and takes its line.
  void PrintPicture(const Picture& picture) {
    if (modesOnly_) return;
    if (!picture && WithinDrawing()) return;
    FinishLine();
    PrintedLine line;
    line.kind = PrintedLine::Kind::kImage;
    BeginLine(&line);
    line.image = Cropped(picture, line.printWidth);
    if (line.image) {
      line.label = "[image " + std::to_string(picture->width) + "x" + std::to_string(picture->height) + "]";
    } else if (draw_) {
      line.label = "[picture not drawn: past " + std::to_string(kMaxPictureHeight) + " dots of paper]";
    }
    Push(std::move(line));
  }

  void PrintSymbol(Symbol symbol) {
    PrintedLine line;
    line.kind = PrintedLine::Kind::kImage;
    BeginLine(&line);
    line.image = std::make_shared<const Bitmap>(std::move(symbol.picture));
    line.label = std::move(symbol.label);
    Push(std::move(line));
  }

  // Pictures are drawn while the paper so far could still be drawn: past that, a picture is
  // only its line (and the picture of the receipt fails), so that a stream that reprints a
  // stored image or code again and again costs a bounded amount.
  bool WithinDrawing() const { return draw_ && paperLength_ <= kMaxPictureHeight; }

  void Push(PrintedLine line) {
    line.endOffset = commandEnd_;
    paperLength_ += line.Advance();
    lines_.push_back(std::move(line));
  }

  // A barcode's human-readable text, in its own font at normal size, centred on the bars.
  void HumanReadable(const std::string& text, int barsLeft, int barsWidth) {
    if (modesOnly_) return;
    PrintedLine line;
    line.upsideDown = modes_.upsideDown;
    const int cell = CellWidth(modes_.hriFont);
    const int width = static_cast<int>(text.size()) * cell;
    line.leftMargin = std::clamp(barsLeft + (barsWidth - width) / 2, 0, kPaperDots - 1);
    line.printWidth = kPaperDots - line.leftMargin;
    for (char c : text) {
      PrintedChar printed;
      printed.glyph = static_cast<unsigned char>(c);
      printed.font = modes_.hriFont;
      if (printed.Dots() + line.WidthDots() > line.printWidth) break;
      line.chars.push_back(printed);
    }
    line.feed = CellHeight(modes_.hriFont) + 2;
    Push(std::move(line));
  }

  // A cut prints what waits in the buffer first, so that nothing sent is lost from view.
  void Cut(bool partial) {
    FinishLine();
    PrintedLine cut;
    cut.kind = PrintedLine::Kind::kCut;
    cut.partialCut = partial;
    Push(std::move(cut));
    if (modesAtCuts_ != nullptr && lastModes_ > 0) {
      if (modesAtCuts_->size() == lastModes_) modesAtCuts_->pop_front();
      modesAtCuts_->push_back(ModesNow());
    }
  }

  const bool draw_;
  bool modesOnly_ = false;
  long paperLength_ = 0;  // dots of paper the lines so far take
  std::deque<Bytes>* modesAtCuts_ = nullptr;
  std::size_t lastModes_ = 0;
  Modes modes_;
  PrintedLine line_;
  std::vector<PrintedLine> lines_;
  std::size_t commandStart_ = 0;  // where the command being run begins in the stream
  std::size_t commandEnd_ = 0;    // and where it ends
  Bytes qrData_, qrStore_;
  Bytes pdf417Data_, pdf417Store_;
  Picture downloaded_;
  Bytes downloadedDefinition_;
  Picture bufferGraphics_;
  Bytes bufferDefinition_;
  std::map<int, StoredGraphic> nvGraphics_, downloadGraphics_;
};

}  // namespace

int CellWidth(Font font) { return font == Font::kB ? 9 : 12; }
int CellHeight(Font font) { return font == Font::kB ? 17 : 24; }

int PrintedChar::Dots() const {
  return image ? image->width : CellWidth(font) * width + spacing;
}

int PrintedChar::HeightDots() const {
  return image ? image->height : CellHeight(font) * height;
}

int PrintedLine::Columns() const {
  int columns = 0;
  for (const PrintedChar& c : chars) columns += c.image ? 1 : c.width;
  return columns;
}

int PrintedLine::Height() const {
  int height = 1;
  for (const PrintedChar& c : chars) height = std::max(height, c.image ? 1 : c.height);
  return height;
}

int PrintedLine::WidthDots() const {
  if (kind == Kind::kImage) return image ? image->width : 0;
  int dots = 0;
  for (const PrintedChar& c : chars) dots += c.Dots();
  return dots;
}

int PrintedLine::HeightDots() const {
  if (kind == Kind::kImage) return image ? image->height : 0;
  int dots = 0;
  for (const PrintedChar& c : chars) dots = std::max(dots, c.HeightDots());
  return dots;
}

int PrintedLine::Advance() const {
  switch (kind) {
    case Kind::kImage: return HeightDots();
    case Kind::kCut: return kDefaultLineSpacing;
    case Kind::kText: break;
  }
  return std::max(feed, HeightDots());
}

int PrintedLine::Left() const {
  if (WidthDots() == 0) return leftMargin;  // a blank line
  const int free = std::max(0, printWidth - WidthDots());
  int left = leftMargin;
  if (alignment == Alignment::kCentre) left += free / 2;
  if (alignment == Alignment::kRight) left += free;
  return left;
}

std::vector<PrintedLine> InterpretEscPos(const std::uint8_t* data, std::size_t size) {
  if (data == nullptr) return {};
  return Interpreter(true).Run(data, size);
}

std::vector<PrintedLine> InterpretEscPos(const std::vector<std::uint8_t>& escpos) {
  return InterpretEscPos(escpos.data(), escpos.size());
}

std::vector<std::uint8_t> ModesAtEnd(const std::vector<std::uint8_t>& escpos) {
  Interpreter layout(false);
  layout.FollowModesOnly();
  layout.Run(escpos.data(), escpos.size());
  return layout.ModesNow();
}

namespace {

// The lines of a layout pass, which draws no picture.
std::vector<PrintedLine> Layout(const std::vector<std::uint8_t>& escpos) {
  return Interpreter(false).Run(escpos.data(), escpos.size());
}

}  // namespace

std::vector<std::size_t> LineEnds(const std::vector<std::uint8_t>& escpos) {
  std::vector<std::size_t> ends;
  for (const PrintedLine& line : Layout(escpos)) {
    if (line.endOffset != kNotEnded) ends.push_back(line.endOffset);
  }
  return ends;
}

std::vector<std::vector<std::uint8_t>> ModesAtCuts(const std::vector<std::uint8_t>& escpos, std::size_t last) {
  std::deque<Bytes> modes;
  Interpreter layout(false);
  layout.FollowModesOnly();
  layout.KeepModesAtCuts(&modes, last);
  layout.Run(escpos.data(), escpos.size());
  return std::vector<Bytes>(std::make_move_iterator(modes.begin()), std::make_move_iterator(modes.end()));
}

std::vector<std::size_t> ReceiptEnds(const std::vector<std::uint8_t>& escpos) {
  // The cuts are found by measuring the commands alone, as the interpreter finds them: ESC i,
  // ESC m and GS V in its cut modes, whole.
  std::vector<std::size_t> ends;
  const std::uint8_t* data = escpos.data();
  for (std::size_t at = 0; at < escpos.size();) {
    const std::size_t length = CommandLength(data + at, escpos.size() - at);
    if (length == kLengthUnknown || length > escpos.size() - at) break;
    const bool cut = IsCut(data + at, length);
    at += length;
    if (cut) ends.push_back(at);
  }
  return ends;
}

}  // namespace printersim
