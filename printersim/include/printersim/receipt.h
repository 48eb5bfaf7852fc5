// What a simulated receipt printer printed: the ESC/POS bytes it received, interpreted as an
// 80 mm printer of 576 dots with fonts A (12 x 24 dots, 48 columns) and B (9 x 17 dots, 64
// columns) would, and shown as text or as a picture of the paper. Every function here is
// safe to call from any thread; none touches the printers.
//
// The interpreter follows the printer's own rules where a reader of the receipt would see a
// difference: ESC @ discards what is waiting in the line buffer, a line longer than the print
// area wraps, the alignment, margin and orientation of a line are those in force when its
// first character arrived, and a command cut short by the end of the stream is dropped (the
// printer would still be waiting for the rest of it).
//
// It draws text in the character code table (ESC t) and international set (ESC R) chosen,
// bold, underlined, reversed, upside down and scaled; raster and column bit images (GS v 0,
// ESC *, GS * with GS /, GS ( L); barcodes (GS k) with their human-readable text; QR codes
// and PDF417 symbols (GS ( k). Real-time requests (DLE EOT, DLE ENQ, DLE DC4) print nothing,
// and commands it does not draw (user-defined characters, page mode, logos kept by key in
// other ways) are skipped with their data.
#ifndef PRINTERSIM_RECEIPT_H
#define PRINTERSIM_RECEIPT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace printersim {

constexpr int kPaperDots = 576;        // the print width of 80 mm paper at 203 dpi
constexpr int kPaperColumns = 48;      // font A on 80 mm paper
constexpr int kMaxCharacterScale = 8;  // GS ! goes up to eight times wide and high
constexpr int kDefaultLineSpacing = 30;  // dots, as ESC 2 sets
constexpr std::size_t kNotEnded = static_cast<std::size_t>(-1);

enum class Alignment { kLeft, kCentre, kRight };
enum class Font { kA, kB };

// The cell of a character at normal size, in dots: 12 x 24 for font A, 9 x 17 for font B.
int CellWidth(Font font);
int CellHeight(Font font);

// A picture printed dot for dot: one byte a dot, non-zero for black, row by row.
struct Bitmap {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> dots;

  Bitmap() = default;
  Bitmap(int w, int h) : width(w), height(h), dots(static_cast<std::size_t>(w) * static_cast<std::size_t>(h)) {}
  bool At(int x, int y) const { return dots[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] != 0; }
  void Set(int x, int y) { dots[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] = 1; }
};

struct PrintedChar {
  char32_t glyph = U' ';  // the character the code table gives; U+FFFD where it has none
  bool bold = false;
  int underline = 0;      // 0, or its thickness: 1 or 2 dots
  bool reverse = false;   // white on black
  Font font = Font::kA;
  int width = 1;          // 1..kMaxCharacterScale times the cell
  int height = 1;         // 1..kMaxCharacterScale times the cell
  int spacing = 0;        // dots of paper right of it (ESC SP, times the width)
  // A bit image (ESC *) printed in the line in place of a glyph; `glyph` is then unused.
  std::shared_ptr<const Bitmap> image;

  int Dots() const;        // the width it takes in the line, spacing included
  int HeightDots() const;  // its height
};

struct PrintedLine {
  // kText: characters; kImage: a raster image, a barcode or a two-dimensional code, alone
  // on its line; kCut: the paper was cut there.
  enum class Kind { kText, kImage, kCut };
  Kind kind = Kind::kText;
  Alignment alignment = Alignment::kLeft;
  int leftMargin = 0;          // dots from the left edge of the print area (GS L)
  int printWidth = kPaperDots; // dots from the left margin (GS W)
  bool upsideDown = false;     // ESC {: the line is printed turned by 180 degrees
  int feed = kDefaultLineSpacing;  // kText: how far the paper moves for it, at least its height
  std::vector<PrintedChar> chars;  // kText; empty for a fed blank line
  std::shared_ptr<const Bitmap> image;  // kImage
  std::string label;           // kImage: what the text view shows, as "[QR: https://...]"
  bool partialCut = false;     // kCut: one point left uncut
  // Where the command that ended the line ends in the stream (for a line that wrapped, where
  // the character that wrapped begins); kNotEnded for text the stream left in the buffer.
  std::size_t endOffset = 0;

  int Columns() const;     // kText: columns of the text view, one a character and its width
  int Height() const;      // kText: lines of the tallest character, 1 for a blank line
  int WidthDots() const;   // the width its characters or its image take
  int HeightDots() const;  // the height of its tallest character or of its image
  int Advance() const;     // how far the paper moves for it, in dots
  int Left() const;        // where it begins, in dots from the left edge of the print area
};

// The printed lines in paper order; text still in the line buffer at the end of the stream
// is printed as a last line.
std::vector<PrintedLine> InterpretEscPos(const std::uint8_t* data, std::size_t size);
std::vector<PrintedLine> InterpretEscPos(const std::vector<std::uint8_t>& escpos);

// One UTF-8 text line per printed line, each ended by '\n': aligned by padding to
// kPaperColumns, a character n columns wide followed by n - 1 spaces, trailing spaces
// removed, a picture as its label ("[image 200x80]", "[CODE128: 0042]", "[QR: ...]"), and a
// cut as "- - - ... (cut) ... - -" across the paper width ("(partial cut)" for a partial one).
std::string RenderText(const std::vector<std::uint8_t>& escpos);
std::string RenderText(const std::vector<PrintedLine>& lines);

// Where each receipt ends in an ESC/POS stream: the offset just past each cut command, in
// order. A receipt runs from the end of the one before to its cut.
std::vector<std::size_t> ReceiptEnds(const std::vector<std::uint8_t>& escpos);

// Where each printed line ends in an ESC/POS stream (endOffset), in order; a line still in
// the line buffer at the end of the stream has not ended. A stream cut at these offsets
// is never cut inside a command.
std::vector<std::size_t> LineEnds(const std::vector<std::uint8_t>& escpos);

// The commands that restore the print modes in force at the end of the stream (font, bold,
// underline, reverse, upside down, size, spacing, alignment, margins, line spacing, code
// table, international set, barcode and two-dimensional code settings). A printer keeps its
// modes and what it stored across a cut, so a receipt cut out of a longer stream prints as it
// did there when these go before it.
std::vector<std::uint8_t> ModesAtEnd(const std::vector<std::uint8_t>& escpos);

// ModesAtEnd of the stream up to each of its last `last` cuts, in order, found in one pass.
std::vector<std::vector<std::uint8_t>> ModesAtCuts(const std::vector<std::uint8_t>& escpos, std::size_t last);

// The console fonts the picture is drawn with (PSF files, gzip-compressed or not) unless a
// caller names others: font A (12 x 24) and font B (8 x 16 glyphs in its 9 x 17 cells).
std::string DefaultReceiptFontPath();
std::string DefaultReceiptFontBPath();

struct RenderResult {
  bool ok = false;
  std::string error;  // why not, when !ok
  int width = 0;      // of the written image, when ok
  int height = 0;
};

// Writes the receipt as a grey-scale PNG at `pngPath`: white paper, black print, one pixel
// per printer dot, a margin of paper around the print, and a dashed line where the paper was
// cut. A character the font lacks prints as a box. Fails, with the reason in `error`, when
// a font cannot be read, the receipt is too long to draw or the file cannot be written.
RenderResult RenderPng(const std::vector<std::uint8_t>& escpos, const std::string& pngPath,
                       const std::string& fontPath = DefaultReceiptFontPath());
// The same picture as the bytes of a PNG file, in `png`.
RenderResult RenderPngBytes(const std::vector<std::uint8_t>& escpos, std::vector<std::uint8_t>* png,
                            const std::string& fontPath = DefaultReceiptFontPath());

// The margin of paper around the print in the picture, in dots: the print area's left edge
// is this far from the picture's.
constexpr int kPictureMargin = 24;

}  // namespace printersim

#endif  // PRINTERSIM_RECEIPT_H
