// What a simulated receipt printer printed: the ESC/POS bytes it received, interpreted as an
// 80 mm printer with font A (48 columns) would, and shown as text or as a picture of the
// paper. Every function here is safe to call from any thread; none touches the printers.
//
// The interpreter follows the printer's own rules where a reader of the receipt would see a
// difference: ESC @ discards what is waiting in the line buffer, a line longer than the paper
// wraps, the alignment of a line is the one in force when its first character arrived, and
// a command cut short by the end of the stream is dropped (the printer would still be waiting
// for the rest of it). Real-time requests (DLE EOT, DLE ENQ, DLE DC4) print nothing, and
// images, barcodes and settings it does not draw are skipped with their data.
#ifndef PRINTERSIM_RECEIPT_H
#define PRINTERSIM_RECEIPT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace printersim {

constexpr int kPaperColumns = 48;      // font A on 80 mm paper
constexpr int kMaxCharacterScale = 8;  // GS ! goes up to eight times wide and high

enum class Alignment { kLeft, kCentre, kRight };

struct PrintedChar {
  char glyph = ' ';  // 0x20..0x7E; a byte outside ASCII prints as '?'
  bool bold = false;
  int width = 1;   // 1..kMaxCharacterScale columns
  int height = 1;  // 1..kMaxCharacterScale lines
};

struct PrintedLine {
  enum class Kind { kText, kCut };
  Kind kind = Kind::kText;
  Alignment alignment = Alignment::kLeft;
  std::vector<PrintedChar> chars;  // kText; empty for a fed blank line
  bool partialCut = false;         // kCut: one point left uncut
  std::size_t endOffset = 0;       // kCut: where the cut command ends in the stream

  int Columns() const;  // columns the characters take, at most kPaperColumns
  int Height() const;   // lines of the tallest character, 1 for a blank line
};

// The printed lines in paper order; text still in the line buffer at the end of the stream
// is printed as a last line.
std::vector<PrintedLine> InterpretEscPos(const std::uint8_t* data, std::size_t size);
std::vector<PrintedLine> InterpretEscPos(const std::vector<std::uint8_t>& escpos);

// One text line per printed line, each ended by '\n': aligned by padding to kPaperColumns,
// a character n columns wide followed by n - 1 spaces, trailing spaces removed, and a cut as
// "- - - ... (cut) ... - -" across the paper width ("(partial cut)" for a partial one).
std::string RenderText(const std::vector<std::uint8_t>& escpos);
std::string RenderText(const std::vector<PrintedLine>& lines);

// Where each receipt ends in an ESC/POS stream: the offset just past each cut command, in
// order. A receipt runs from the end of the one before to its cut.
std::vector<std::size_t> ReceiptEnds(const std::vector<std::uint8_t>& escpos);

// The commands that restore the print modes in force at the end of the stream (bold,
// character size, alignment). A printer keeps its modes across a cut, so a receipt cut out of
// a longer stream prints as it did there when these go before it.
std::vector<std::uint8_t> ModesAtEnd(const std::vector<std::uint8_t>& escpos);

// The console font the picture is drawn with (a PSF file, gzip-compressed or not) unless a
// caller names another.
std::string DefaultReceiptFontPath();

struct RenderResult {
  bool ok = false;
  std::string error;  // why not, when !ok
  int width = 0;      // of the written image, when ok
  int height = 0;
};

// Writes the receipt as a grey-scale PNG at `pngPath`: white paper, black print, one font
// pixel per printer dot (a 12x24 font gives the 576 dots of 80 mm paper), bold struck twice
// a dot apart, scaled characters, and a dashed line where the paper was cut. Fails, with the
// reason in `error`, when the font cannot be read or the file cannot be written.
RenderResult RenderPng(const std::vector<std::uint8_t>& escpos, const std::string& pngPath,
                       const std::string& fontPath = DefaultReceiptFontPath());
// The same picture as the bytes of a PNG file, in `png`.
RenderResult RenderPngBytes(const std::vector<std::uint8_t>& escpos, std::vector<std::uint8_t>* png,
                            const std::string& fontPath = DefaultReceiptFontPath());

}  // namespace printersim

#endif  // PRINTERSIM_RECEIPT_H
