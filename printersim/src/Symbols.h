// Barcodes, QR codes and PDF417 symbols as the printer draws them, in dots: the symbologies
// come from libzint and libqrencode, the sizes from the printer's settings (GS w, GS h, and
// the module and row sizes of GS ( k).
#ifndef PRINTERSIM_SYMBOLS_H
#define PRINTERSIM_SYMBOLS_H

#include <printersim/receipt.h>

#include <cstdint>
#include <string>
#include <vector>

namespace printersim {

struct Symbol {
  Bitmap picture;     // the bars or modules, without a quiet zone
  std::string text;   // the human-readable text of a barcode (digits with their check digit)
  std::string label;  // what the text view shows: "[EAN13: 5901234123457]"
};

// GS k m: m is 0..6 (the form ended by NUL) or 65..73. False, drawing nothing, when the data
// is not what the symbology takes or the barcode is wider than `maxWidth`, as on the printer.
bool BarcodeSymbol(int m, const std::vector<std::uint8_t>& data, int moduleWidth, int height,
                   int maxWidth, Symbol* out);

// Whether GS k m takes this data (its width aside), as BarcodeSymbol checks it.
bool BarcodeAccepted(int m, const std::vector<std::uint8_t>& data);

// GS ( k cn 49: a model 2 QR code; `errorCorrection` 0..3 is L, M, Q, H.
bool QrSymbol(const std::vector<std::uint8_t>& data, int moduleSize, int errorCorrection,
              int maxWidth, Symbol* out);

// GS ( k cn 48: the settings of a PDF417 symbol.
struct Pdf417Settings {
  int columns = 0;      // data columns, 0 automatic
  int rows = 0;         // 0 automatic
  int moduleWidth = 3;  // dots
  int rowHeight = 3;    // times the module width
  bool byLevel = false; // error correction: a level (0..8), or a ratio of the data (1..40 tenths)
  int correction = 1;
  bool truncated = false;
};
bool Pdf417Symbol(const std::vector<std::uint8_t>& data, const Pdf417Settings& settings,
                  int maxWidth, Symbol* out);

// Bytes as the text view shows a payload: printable ASCII as it is, anything else as \xNN.
std::string PayloadText(const std::vector<std::uint8_t>& data);

}  // namespace printersim

#endif  // PRINTERSIM_SYMBOLS_H
