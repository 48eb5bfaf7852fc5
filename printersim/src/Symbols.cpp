#include "Symbols.h"

#include <qrencode.h>
#include <zint.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>

namespace printersim {

namespace {

// Printers cap a symbol's size; so does the picture.
constexpr int kMaxBarHeight = 255;
constexpr int kMaxModuleSize = 16;

struct ZintDeleter {
  void operator()(zint_symbol* symbol) const { ZBarcode_Delete(symbol); }
};
using ZintSymbol = std::unique_ptr<zint_symbol, ZintDeleter>;

// zint keeps a row's modules as bits, the first module in the lowest bit.
bool ModuleSet(const zint_symbol& symbol, int row, int column) {
  return ((symbol.encoded_data[row][column >> 3] >> (column & 7)) & 1) != 0;
}

ZintSymbol Encode(int symbology, const std::string& data, int option1 = -1, int option2 = 0,
                  int option3 = 0) {
  ZintSymbol symbol(ZBarcode_Create());
  if (!symbol) return nullptr;
  symbol->symbology = symbology;
  symbol->input_mode = DATA_MODE;
  symbol->option_1 = option1;
  symbol->option_2 = option2;
  symbol->option_3 = option3;
  const int result = ZBarcode_Encode(symbol.get(), reinterpret_cast<const unsigned char*>(data.data()),
                                     static_cast<int>(data.size()));
  if (result >= ZINT_ERROR || symbol->width <= 0 || symbol->rows <= 0) return nullptr;
  return symbol;
}

bool AllDigits(const std::string& data) {
  return std::all_of(data.begin(), data.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool AllIn(const std::string& data, const char* allowed) {
  return std::all_of(data.begin(), data.end(), [&](char c) {
    for (const char* a = allowed; *a != '\0'; ++a) {
      if (*a == c) return true;
    }
    return false;
  });
}

// What each symbology takes, as a printer checks it before it prints anything.
struct Symbology {
  const char* name;
  int zint;       // libzint's symbology
  bool twoWidths; // bars of two widths (narrow and wide) rather than of 1..4 modules
};

// GS k form 2's CODE128 data: "{A", "{B" or "{C" first, then characters of that code set, with
// "{A", "{B", "{C" and "{S" switching and "{1".."{4" the function characters, "{{" a brace;
// in code set C each byte is a pair of digits (0..99). The plain data it encodes, for zint
// (which picks the code sets itself, so the bars may differ from the printer's, and the
// data decodes the same); false when malformed. Function characters are left out.
bool Code128Data(const std::string& raw, std::string* plain) {
  if (raw.size() < 2 || raw[0] != '{' || (raw[1] != 'A' && raw[1] != 'B' && raw[1] != 'C')) return false;
  char set = raw[1];
  bool shifted = false;  // {S: the next character is of the other set of A and B
  for (std::size_t i = 2; i < raw.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(raw[i]);
    if (c == '{') {
      if (i + 1 >= raw.size()) return false;
      const char next = raw[++i];
      if (next == 'A' || next == 'B' || next == 'C') {
        set = next;
      } else if (next == '{') {
        plain->push_back('{');
      } else if (next == 'S') {
        if (set == 'C') return false;
        shifted = true;
      } else if (next < '1' || next > '4') {
        return false;
      }
      continue;
    }
    const char now = shifted ? (set == 'A' ? 'B' : 'A') : set;
    shifted = false;
    if (now == 'C') {
      if (c > 99) return false;
      char digits[3];
      std::snprintf(digits, sizeof digits, "%02u", static_cast<unsigned>(c));
      plain->append(digits, 2);
    } else if (c > 0x7F || (now == 'A' && c > 0x5F) || (now == 'B' && c < 0x20)) {
      return false;
    } else {
      plain->push_back(static_cast<char>(c));
    }
  }
  return !plain->empty();
}

// The data zint is given for a GS k symbology, and which symbology; false when the printer
// would refuse the data.
bool Prepare(int m, const std::string& raw, Symbology* symbology, std::string* data) {
  if (m > 6 && m < 65) return false;
  const int kind = m >= 65 ? m - 65 : m;
  *data = raw;
  switch (kind) {
    case 0:  // UPC-A: 11 digits, or 12 with the check digit
      *symbology = {"UPC-A", raw.size() == 12 ? BARCODE_UPCA_CHK : BARCODE_UPCA, false};
      return (raw.size() == 11 || raw.size() == 12) && AllDigits(raw);
    case 1:  // UPC-E: 6 digits, or 7 (8 with the check digit) beginning with number system 0
      *symbology = {"UPC-E", raw.size() == 8 ? BARCODE_UPCE_CHK : BARCODE_UPCE, false};
      return AllDigits(raw) && (raw.size() == 6 || ((raw.size() == 7 || raw.size() == 8) && raw[0] == '0'));
    case 2:  // EAN-13: 12 digits, or 13 with the check digit
      *symbology = {"EAN13", raw.size() == 13 ? BARCODE_EANX_CHK : BARCODE_EANX, false};
      return (raw.size() == 12 || raw.size() == 13) && AllDigits(raw);
    case 3:  // EAN-8: 7 digits, or 8 with the check digit
      *symbology = {"EAN8", raw.size() == 8 ? BARCODE_EANX_CHK : BARCODE_EANX, false};
      return (raw.size() == 7 || raw.size() == 8) && AllDigits(raw);
    case 4: {  // CODE39: its start and stop '*' are the printer's, given or not
      *symbology = {"CODE39", BARCODE_CODE39, true};
      std::string body = raw;
      if (!body.empty() && body.front() == '*') body.erase(0, 1);
      if (!body.empty() && body.back() == '*') body.pop_back();
      *data = body;
      return !body.empty() && AllIn(body, "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ $%+-./");
    }
    case 5:  // ITF: an even number of digits
      *symbology = {"ITF", BARCODE_C25INTER, true};
      return !raw.empty() && raw.size() % 2 == 0 && AllDigits(raw);
    case 6: {  // CODABAR: start and stop characters A..D around 0..9 and $+-./:
      *symbology = {"CODABAR", BARCODE_CODABAR, true};
      if (raw.size() < 3) return false;
      auto isStartStop = [](char c) { return std::strchr("ABCDabcd", c) != nullptr && c != '\0'; };
      return isStartStop(raw.front()) && isStartStop(raw.back()) &&
             AllIn(raw.substr(1, raw.size() - 2), "0123456789$+-./:");
    }
    case 7:  // CODE93: ASCII
      *symbology = {"CODE93", BARCODE_CODE93, false};
      return !raw.empty() && std::all_of(raw.begin(), raw.end(), [](char c) { return (c & 0x80) == 0; });
    case 8:  // CODE128
      *symbology = {"CODE128", BARCODE_CODE128, false};
      data->clear();
      return m >= 65 && Code128Data(raw, data);
    default:
      return false;
  }
}

// A two-width symbology's bars as the printer draws them: a narrow element `narrow` dots,
// a wide one as GS w's table has it (2:5, 3:8, 4:10, 5:13, 6:16).
std::vector<int> TwoWidthElements(const zint_symbol& symbol, int narrow) {
  static const int kWide[7] = {0, 3, 5, 8, 10, 13, 16};
  const int wide = kWide[std::clamp(narrow, 1, 6)];
  std::vector<int> elements;  // widths in dots, bar first
  int run = 0;
  for (int column = 0; column < symbol.width; ++column) {
    ++run;
    if (column + 1 == symbol.width || ModuleSet(symbol, 0, column) != ModuleSet(symbol, 0, column + 1)) {
      elements.push_back(run == 1 ? narrow : wide);
      run = 0;
    }
  }
  return elements;
}

}  // namespace

std::string PayloadText(const std::vector<std::uint8_t>& data) {
  std::string text;
  for (std::uint8_t b : data) {
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      text.push_back(static_cast<char>(b));
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned>(b));
      text += escaped;
    }
  }
  return text;
}

bool BarcodeAccepted(int m, const std::vector<std::uint8_t>& data) {
  Symbology symbology{};
  std::string prepared;
  return Prepare(m, std::string(data.begin(), data.end()), &symbology, &prepared);
}

bool BarcodeSymbol(int m, const std::vector<std::uint8_t>& raw, int moduleWidth, int height,
                   int maxWidth, Symbol* out) {
  Symbology symbology{};
  std::string data;
  if (!Prepare(m, std::string(raw.begin(), raw.end()), &symbology, &data)) return false;
  const ZintSymbol symbol = Encode(symbology.zint, data);
  if (!symbol) return false;
  const int bars = std::clamp(height, 1, kMaxBarHeight);
  const int module = std::clamp(moduleWidth, 1, 6);
  // The widths of the elements, bar first, alternating with spaces.
  std::vector<int> elements;
  if (symbology.twoWidths) {
    elements = TwoWidthElements(*symbol, module);
  } else {
    for (int column = 0; column < symbol->width; ++column) elements.push_back(module);
  }
  int width = 0;
  for (int element : elements) width += element;
  if (width > maxWidth) return false;
  Bitmap picture(width, bars);
  int x = 0;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const bool dark = symbology.twoWidths ? i % 2 == 0 : ModuleSet(*symbol, 0, static_cast<int>(i));
    if (dark) {
      for (int dx = 0; dx < elements[i]; ++dx) {
        for (int y = 0; y < bars; ++y) picture.Set(x + dx, y);
      }
    }
    x += elements[i];
  }
  out->picture = std::move(picture);
  // UPC and EAN show their digits with the check digit, CODE39 its start and stop; the others
  // show their data.
  const std::string digits = reinterpret_cast<const char*>(symbol->text);
  const bool upcOrEan = (m >= 65 ? m - 65 : m) <= 3;
  const std::string payload = upcOrEan ? digits : data;
  out->label = std::string("[") + symbology.name + ": " +
               PayloadText(std::vector<std::uint8_t>(payload.begin(), payload.end())) + "]";
  out->text = upcOrEan || symbology.zint == BARCODE_CODE39
                  ? digits
                  : PayloadText(std::vector<std::uint8_t>(data.begin(), data.end()));
  return true;
}

bool QrSymbol(const std::vector<std::uint8_t>& data, int moduleSize, int errorCorrection,
              int maxWidth, Symbol* out) {
  if (data.empty()) return false;
  static const QRecLevel kLevels[4] = {QR_ECLEVEL_L, QR_ECLEVEL_M, QR_ECLEVEL_Q, QR_ECLEVEL_H};
  QRcode* code = QRcode_encodeData(static_cast<int>(data.size()), data.data(), 0,
                                   kLevels[std::clamp(errorCorrection, 0, 3)]);
  if (code == nullptr) return false;
  const int module = std::clamp(moduleSize, 1, kMaxModuleSize);
  const int size = code->width * module;
  if (size > maxWidth) {
    QRcode_free(code);
    return false;
  }
  Bitmap picture(size, size);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      if ((code->data[(y / module) * code->width + x / module] & 1) != 0) picture.Set(x, y);
    }
  }
  QRcode_free(code);
  out->picture = std::move(picture);
  out->label = "[QR: " + PayloadText(data) + "]";
  return true;
}

bool Pdf417Symbol(const std::vector<std::uint8_t>& data, const Pdf417Settings& settings,
                  int maxWidth, Symbol* out) {
  if (data.empty()) return false;
  // A ratio asks for error correction codewords in proportion to the data.
  int level = settings.correction;
  if (!settings.byLevel) {
    const std::size_t wanted = (data.size() * static_cast<std::size_t>(std::clamp(settings.correction, 1, 40)) + 5) / 10;
    static const std::size_t kUpTo[8] = {3, 10, 20, 45, 100, 200, 400, SIZE_MAX};
    level = 1;
    while (level < 8 && wanted > kUpTo[level - 1]) ++level;
  }
  const ZintSymbol symbol =
      Encode(settings.truncated ? BARCODE_PDF417COMP : BARCODE_PDF417,
             std::string(data.begin(), data.end()), std::clamp(level, 0, 8),
             std::clamp(settings.columns, 0, 30), settings.rows == 0 ? 0 : std::clamp(settings.rows, 3, 90));
  if (!symbol) return false;
  const int module = std::clamp(settings.moduleWidth, 1, 8);
  const int rowHeight = module * std::clamp(settings.rowHeight, 2, 8);
  const int width = symbol->width * module;
  const long height = static_cast<long>(symbol->rows) * rowHeight;
  if (width > maxWidth || height > 65535) return false;
  Bitmap picture(width, static_cast<int>(height));
  for (int row = 0; row < symbol->rows; ++row) {
    for (int column = 0; column < symbol->width; ++column) {
      if (!ModuleSet(*symbol, row, column)) continue;
      for (int y = row * rowHeight; y < (row + 1) * rowHeight; ++y) {
        for (int x = column * module; x < (column + 1) * module; ++x) picture.Set(x, y);
      }
    }
  }
  out->picture = std::move(picture);
  out->label = "[PDF417: " + PayloadText(data) + "]";
  return true;
}

}  // namespace printersim
