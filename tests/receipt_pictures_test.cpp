// The receipt renderer's pictures, proven by reading the PNG back: every barcode and code is
// decoded by an independent decoder (zbar; ZXing for PDF417, which zbar does not read),
// images come back dot for dot at their place in each density mode, and every upper byte
// of each code table is drawn as the glyph that iconv names for it.
#include <gtest/gtest.h>
#include <iconv.h>
#include <png.h>
#include <printersim/receipt.h>
#include <zbar.h>

#define ZX_USE_UTF8 1
#include <ZXing/ReadBarcode.h>

#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "ConsoleFont.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint8_t ESC = 0x1B, GS = 0x1D, LF = 0x0A;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}
Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string Spaces(int n) { return std::string(static_cast<std::size_t>(n), ' '); }

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> gray;
  bool Dark(int x, int y) const { return gray[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)] < 128; }
};

// The receipt drawn to PNG bytes and read back with libpng.
Picture Render(const Bytes& escpos) {
  std::vector<std::uint8_t> png;
  const printersim::RenderResult result = printersim::RenderPngBytes(escpos, &png);
  EXPECT_TRUE(result.ok) << result.error;
  Picture picture;
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!result.ok || !png_image_begin_read_from_memory(&image, png.data(), png.size())) return picture;
  image.format = PNG_FORMAT_GRAY;
  picture.gray.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, picture.gray.data(), 0, nullptr)) return picture;
  picture.width = static_cast<int>(image.width);
  picture.height = static_cast<int>(image.height);
  return picture;
}

const std::vector<zbar::zbar_symbol_type_t> kBarcodes = {
    zbar::ZBAR_EAN13, zbar::ZBAR_EAN8,    zbar::ZBAR_UPCA,    zbar::ZBAR_UPCE,   zbar::ZBAR_I25,
    zbar::ZBAR_CODE39, zbar::ZBAR_CODE93, zbar::ZBAR_CODE128, zbar::ZBAR_CODABAR};

// What zbar reads in the picture, looking for these symbologies: each symbol as
// "<type>:<data>".
std::vector<std::string> Zbar(const Picture& picture, const std::vector<zbar::zbar_symbol_type_t>& types) {
  zbar::zbar_image_scanner_t* scanner = zbar::zbar_image_scanner_create();
  zbar::zbar_image_scanner_set_config(scanner, zbar::ZBAR_NONE, zbar::ZBAR_CFG_ENABLE, 0);
  for (zbar::zbar_symbol_type_t type : types) zbar::zbar_image_scanner_set_config(scanner, type, zbar::ZBAR_CFG_ENABLE, 1);
  zbar::zbar_image_scanner_set_config(scanner, zbar::ZBAR_I25, zbar::ZBAR_CFG_MIN_LEN, 1);
  zbar::zbar_image_scanner_set_config(scanner, zbar::ZBAR_CODABAR, zbar::ZBAR_CFG_MIN_LEN, 1);
  zbar::zbar_image_t* image = zbar::zbar_image_create();
  zbar::zbar_image_set_format(image, zbar_fourcc('Y', '8', '0', '0'));
  zbar::zbar_image_set_size(image, static_cast<unsigned>(picture.width), static_cast<unsigned>(picture.height));
  zbar::zbar_image_set_data(image, picture.gray.data(), picture.gray.size(), nullptr);
  std::vector<std::string> found;
  if (zbar::zbar_scan_image(scanner, image) > 0) {
    for (const zbar::zbar_symbol_t* s = zbar::zbar_image_first_symbol(image); s != nullptr; s = zbar::zbar_symbol_next(s)) {
      found.push_back(std::string(zbar::zbar_get_symbol_name(zbar::zbar_symbol_get_type(s))) + ":" +
                      std::string(zbar::zbar_symbol_get_data(s), zbar::zbar_symbol_get_data_length(s)));
    }
  }
  zbar::zbar_image_destroy(image);
  zbar::zbar_image_scanner_destroy(scanner);
  return found;
}

// GS k in the form with a length, centred, with the module width given, text below.
Bytes Barcode(int m, const Bytes& data, int moduleWidth) {
  return Cat({{ESC, 'a', 1, GS, 'w', static_cast<std::uint8_t>(moduleWidth), GS, 'h', 80, GS, 'H', 2},
              {GS, 'k', static_cast<std::uint8_t>(m), static_cast<std::uint8_t>(data.size())}, data, {LF}});
}

// --- Barcodes and codes, decoded back ------------------------------------------------------------

TEST(ReceiptPictures, EveryBarcodeDecodesToWhatWasSentInEachModuleWidth) {
  struct Case {
    int m;
    Bytes data;
    std::string decoded;  // as zbar reads it
    std::string readable; // the text printed under it
  };
  const std::vector<Case> cases = {
      {65, Text("01234567890"), "UPC-A:012345678905", "012345678905"},
      {66, Text("0123456"), "UPC-E:01234565", "01234565"},
      {67, Text("590123412345"), "EAN-13:5901234123457", "5901234123457"},
      {2, Text("5901234123457"), "EAN-13:5901234123457", "5901234123457"},
      {68, Text("9638507"), "EAN-8:96385074", "96385074"},
      {69, Text("ABC-123 $%"), "CODE-39:ABC-123 $%", "*ABC-123 $%*"},
      {70, Text("1234567890"), "I2/5:1234567890", "1234567890"},
      {71, Text("A12345B"), "Codabar:A12345B", "A12345B"},
      {72, Text("Hello-93"), "CODE-93:Hello-93", "Hello-93"},
      {73, Text("{BShop-0042"), "CODE-128:Shop-0042", "Shop-0042"},
      {73, Cat({Text("{C"), {12, 34, 56}, Text("{Bx")}), "CODE-128:123456x", "123456x"},
  };
  for (int module : {2, 3}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.decoded + " module " + std::to_string(module));
      // Form 1 (m 0..6) ends with NUL; the others carry their length.
      const Bytes escpos = c.m <= 6 ? Cat({{GS, 'w', static_cast<std::uint8_t>(module), GS, 'H', 2, GS, 'k',
                                            static_cast<std::uint8_t>(c.m)}, c.data, {0, LF}})
                                    : Barcode(c.m, c.data, module);
      EXPECT_EQ(Zbar(Render(escpos), kBarcodes), std::vector<std::string>{c.decoded});
      EXPECT_NE(printersim::RenderText(escpos).find(c.readable), std::string::npos) << printersim::RenderText(escpos);
    }
  }
  // Data a symbology does not take prints nothing, as on the printer.
  for (const Bytes& refused : {Cat({{GS, 'k', 65, 3}, Text("123")}), Cat({{GS, 'k', 70, 3}, Text("123")}),
                               Cat({{GS, 'k', 73, 3}, Text("abc")}), Cat({{GS, 'k', 69, 2}, Text("ab")})}) {
    EXPECT_EQ(printersim::RenderText(refused), "");
  }
}

TEST(ReceiptPictures, QrCodesDecodeInEverySizeAndCorrectionLevel) {
  const std::string url = "https://shop.example/returns?receipt=000042&total=12.50";
  const std::string long_(300, 'Q');
  for (int level = 48; level <= 51; ++level) {
    for (int module : {2, 3, 6}) {
      for (const std::string& payload : {url, long_}) {
        SCOPED_TRACE("level " + std::to_string(level) + " module " + std::to_string(module) + " length " +
                     std::to_string(payload.size()));
        const std::size_t p = payload.size() + 3;
        const Bytes escpos = Cat({{GS, '(', 'k', 3, 0, 49, 67, static_cast<std::uint8_t>(module)},
                                  {GS, '(', 'k', 3, 0, 49, 69, static_cast<std::uint8_t>(level)},
                                  {GS, '(', 'k', static_cast<std::uint8_t>(p & 0xFF), static_cast<std::uint8_t>(p >> 8), 49, 80, 48},
                                  Text(payload), {GS, '(', 'k', 3, 0, 49, 81, 48}});
        const Picture picture = Render(escpos);
        EXPECT_EQ(Zbar(picture, {zbar::ZBAR_QRCODE}), std::vector<std::string>{"QR-Code:" + payload});
      }
    }
  }
  EXPECT_EQ(printersim::RenderText(Cat({{GS, '(', 'k', 5, 0, 49, 80, 48}, Text("hi"), {GS, '(', 'k', 3, 0, 49, 81, 48}})),
            "[QR: hi]\n");
}

TEST(ReceiptPictures, Pdf417DecodesInItsSettings) {
  const std::string payload = "RETURN 000042 / 12.50 EUR / till 3";
  for (int columns : {0, 4}) {
    for (int ratio : {1, 5}) {
      for (bool truncated : {false, true}) {
        SCOPED_TRACE("columns " + std::to_string(columns) + " ratio " + std::to_string(ratio) + (truncated ? " truncated" : ""));
        const std::size_t p = payload.size() + 3;
        const Bytes escpos = Cat({{GS, '(', 'k', 3, 0, 48, 65, static_cast<std::uint8_t>(columns)},
                                  {GS, '(', 'k', 4, 0, 48, 69, 49, static_cast<std::uint8_t>(ratio)},
                                  {GS, '(', 'k', 3, 0, 48, 70, static_cast<std::uint8_t>(truncated)},
                                  {GS, '(', 'k', static_cast<std::uint8_t>(p), 0, 48, 80, 48}, Text(payload),
                                  {GS, '(', 'k', 3, 0, 48, 81, 48}});
        const Picture picture = Render(escpos);
        ZXing::DecodeHints hints;
        hints.setFormats(ZXing::BarcodeFormat::PDF417);
        hints.setTryHarder(true);
        const ZXing::Result read =
            ZXing::ReadBarcode(ZXing::ImageView(picture.gray.data(), picture.width, picture.height, ZXing::ImageFormat::Lum), hints);
        ASSERT_TRUE(read.isValid());
        EXPECT_EQ(read.text(), payload);
      }
    }
  }
}

// --- Images, dot for dot --------------------------------------------------------------------------

// A 24 x 16 test pattern: a frame, a diagonal and a checker corner, so that a shift, a flip or
// a scale shows.
bool PatternDot(int x, int y) {
  return x == 0 || y == 0 || x == 23 || y == 15 || x == y || (x > 16 && y < 6 && (x + y) % 2 == 0);
}

// Where the picture's first dark dot is, scanning rows from the top.
std::pair<int, int> FirstInk(const Picture& picture) {
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) {
      if (picture.Dark(x, y)) return {x, y};
    }
  }
  return {-1, -1};
}

// The picture shows the pattern scaled sx x sy with its top left corner at `origin`.
void ExpectPattern(const Picture& picture, std::pair<int, int> origin, int sx, int sy) {
  int wrong = 0;
  for (int y = 0; y < 16 * sy; ++y) {
    for (int x = 0; x < 24 * sx; ++x) {
      wrong += picture.Dark(origin.first + x, origin.second + y) != PatternDot(x / sx, y / sy);
    }
  }
  EXPECT_EQ(wrong, 0);
}

TEST(ReceiptPictures, ImagesComeBackDotForDotInEachDensityMode) {
  Bytes raster;  // 3 bytes a row, 16 rows
  for (int y = 0; y < 16; ++y) {
    for (int byte = 0; byte < 3; ++byte) {
      std::uint8_t bits = 0;
      for (int bit = 0; bit < 8; ++bit) bits = static_cast<std::uint8_t>(bits | (PatternDot(byte * 8 + bit, y) ? 0x80 >> bit : 0));
      raster.push_back(bits);
    }
  }
  Bytes columns;  // 24 columns of 3 bytes (24 dots, the pattern's 16 rows and 8 blank)
  for (int x = 0; x < 24; ++x) {
    for (int byte = 0; byte < 3; ++byte) {
      std::uint8_t bits = 0;
      for (int bit = 0; bit < 8; ++bit) bits = static_cast<std::uint8_t>(bits | (PatternDot(x, byte * 8 + bit) ? 0x80 >> bit : 0));
      columns.push_back(bits);
    }
  }
  const int left = printersim::kPictureMargin + 100;  // a left margin of 100 dots
  const Bytes margin{GS, 'L', 100, 0};
  for (int mode = 0; mode < 4; ++mode) {
    SCOPED_TRACE("GS v 0 mode " + std::to_string(mode));
    const Picture picture = Render(Cat({margin, {GS, 'v', '0', static_cast<std::uint8_t>(48 + mode), 3, 0, 16, 0}, raster}));
    EXPECT_EQ(FirstInk(picture), (std::pair<int, int>{left, printersim::kPictureMargin}));
    ExpectPattern(picture, {left, printersim::kPictureMargin}, (mode & 1) + 1, (mode >> 1) + 1);
  }
  // GS * stores the image column by column (x * 8 columns of y * 8 dots); GS / prints it.
  Bytes downloaded{GS, '*', 3, 2};
  for (int x = 0; x < 24; ++x) downloaded.insert(downloaded.end(), columns.begin() + x * 3, columns.begin() + x * 3 + 2);
  for (int mode = 0; mode < 4; ++mode) {
    SCOPED_TRACE("GS / mode " + std::to_string(mode));
    const Picture picture = Render(Cat({margin, downloaded, {GS, '/', static_cast<std::uint8_t>(mode)}}));
    ExpectPattern(picture, {left, printersim::kPictureMargin}, (mode & 1) + 1, (mode >> 1) + 1);
  }
  // ESC * 33 and 32: 24-dot columns, single density twice as wide.
  for (int mode : {33, 32}) {
    SCOPED_TRACE("ESC * " + std::to_string(mode));
    const Picture picture = Render(Cat({margin, {ESC, '*', static_cast<std::uint8_t>(mode), 24, 0}, columns, {LF}}));
    ExpectPattern(picture, {left, printersim::kPictureMargin}, mode == 32 ? 2 : 1, 1);
  }
  // GS ( L fn 112 stores raster graphics (bx, by scale), fn 50 prints them.
  for (int scale : {1, 2}) {
    SCOPED_TRACE("GS ( L scale " + std::to_string(scale));
    const std::size_t p = 10 + raster.size();
    const Picture picture = Render(Cat({margin,
                                        {GS, '(', 'L', static_cast<std::uint8_t>(p), 0, 48, 112, 48,
                                         static_cast<std::uint8_t>(scale), static_cast<std::uint8_t>(scale), 49, 24, 0, 16, 0},
                                        raster, {GS, '(', 'L', 2, 0, 48, 50}}));
    ExpectPattern(picture, {left, printersim::kPictureMargin}, scale, scale);
  }
  EXPECT_EQ(printersim::RenderText(Cat({{GS, 'v', '0', 0, 3, 0, 16, 0}, raster})), "[image 24x16]\n");
}

TEST(ReceiptPictures, ImagesThatClaimMoreThanTheyHaveOrThanAPictureHoldsDrawNothing) {
  // 65535 x 65535 bytes claimed, a few given: the command never ends, nothing is drawn.
  EXPECT_EQ(printersim::RenderText(Cat({{GS, 'v', '0', 0, 0xFF, 0xFF, 0xFF, 0xFF}, Bytes(64, 0xFF)})), "");
  // An image taller than any picture, all its data there, is not drawn either.
  const Bytes tall = Cat({{GS, 'v', '0', 2, 1, 0, 0x00, 0x90}, Bytes(0x9000, 0xFF), Text("after\n")});
  EXPECT_EQ(printersim::RenderText(tall), "after\n");
}

// --- Code tables ----------------------------------------------------------------------------------

// The character iconv names for `byte` in the table called `name`, or 0 when it names none.
char32_t IconvCharacter(const char* name, std::uint8_t byte) {
  iconv_t cd = iconv_open("UTF-32LE", name);
  if (cd == reinterpret_cast<iconv_t>(-1)) return 0;
  char in = static_cast<char>(byte);
  char* inAt = &in;
  std::size_t inLeft = 1;
  unsigned char out[8] = {};
  char* outAt = reinterpret_cast<char*>(out);
  std::size_t outLeft = sizeof out;
  const bool done = iconv(cd, &inAt, &inLeft, &outAt, &outLeft) != static_cast<std::size_t>(-1) && outLeft == 4;
  iconv_close(cd);
  return done ? static_cast<char32_t>(out[0] | (out[1] << 8) | (out[2] << 16) | (out[3] << 24)) : 0;
}

TEST(ReceiptPictures, EveryUpperByteOfEachCodeTablePrintsTheGlyphIconvNames) {
  printersim::ConsoleFont font;
  std::string error;
  ASSERT_TRUE(font.Load(printersim::DefaultReceiptFontPath(), &error)) << error;
  const int cellWidth = printersim::CellWidth(printersim::Font::kA);
  const int cellHeight = printersim::CellHeight(printersim::Font::kA);
  struct Table { int number; const char* iconvName; };
  for (const Table table : {Table{0, "CP437"}, Table{2, "CP850"}, Table{19, "CP858"}, Table{18, "CP852"},
                            Table{17, "CP866"}, Table{16, "CP1252"}, Table{1, "SHIFT_JIS"}, Table{15, "ISO-8859-7"},
                            Table{46, "CP1251"}}) {
    SCOPED_TRACE(table.iconvName);
    // 32 characters a line, on lines 30 dots apart.
    Bytes escpos{ESC, 't', static_cast<std::uint8_t>(table.number)};
    for (int b = 0x80; b < 0x100; ++b) {
      escpos.push_back(static_cast<std::uint8_t>(b));
      if (b % 32 == 31) escpos.push_back(LF);
    }
    const Picture picture = Render(escpos);
    int compared = 0, boxes = 0;
    for (int b = 0x80; b < 0x100; ++b) {
      // Katakana is JIS X 0201's upper half; iconv knows it as the single bytes of Shift JIS.
      const bool katakana = table.number == 1;
      const char32_t c = katakana && (b < 0xA1 || b > 0xDF) ? 0 : IconvCharacter(table.iconvName, static_cast<std::uint8_t>(b));
      const int x0 = printersim::kPictureMargin + ((b - 0x80) % 32) * cellWidth;
      const int y0 = printersim::kPictureMargin + ((b - 0x80) / 32) * printersim::kDefaultLineSpacing;
      const std::uint8_t* glyph = c >= 0xA0 && (c < 0x2580 || c > 0x2595) ? font.Glyph(c) : nullptr;
      if (glyph == nullptr) {
        // No character, a control, a block element drawn by hand or a glyph the font lacks:
        // never blank paper where iconv names a printable character.
        if (c >= 0xA1 && !(c >= 0x2580 && c <= 0x2595)) {
          bool ink = false;
          for (int y = 0; y < cellHeight && !ink; ++y) {
            for (int x = 0; x < cellWidth && !ink; ++x) ink = picture.Dark(x0 + x, y0 + y);
          }
          EXPECT_TRUE(ink) << "byte " << b << " U+" << std::hex << static_cast<unsigned>(c) << " is blank";
          ++boxes;
        }
        continue;
      }
      int wrong = 0;
      for (int y = 0; y < font.Height(); ++y) {
        for (int x = 0; x < font.Width(); ++x) wrong += picture.Dark(x0 + x, y0 + y) != font.Dot(glyph, x, y);
      }
      EXPECT_EQ(wrong, 0) << "byte " << b << " U+" << std::hex << static_cast<unsigned>(c);
      ++compared;
    }
    EXPECT_GT(compared + boxes, 60);
  }
}

TEST(ReceiptPictures, InternationalSetsAndTablesWithCombiningMarks) {
  const Bytes escpos = Cat({{ESC, 'R', 2}, Text("#@[\\]{|}~\n"), {ESC, 'R', 3}, Text("#$\n"), {ESC, 'R', 8}, Text("\\\n")});
  EXPECT_EQ(printersim::RenderText(escpos), "#\u00A7\u00C4\u00D6\u00DC\u00E4\u00F6\u00FC\u00DF\n\u00A3$\n\u00A5\n");
  // WPC1255 and WPC1258, whose converters wait for a combining mark that never comes.
  EXPECT_EQ(printersim::RenderText(Bytes{ESC, 't', 49, 0xE0, LF, ESC, 't', 52, 0xC0, LF}), "\u05D0\n\u00C0\n");
}

// Streams no till sends, which must still stay on the paper and cost a bounded amount.
TEST(ReceiptPictures, HostileStreamsStayOnThePaperAndBounded) {
  // A tab after wide character spacing: its gap never wraps the line.
  EXPECT_LT(printersim::InterpretEscPos(Bytes{ESC, ' ', 200, 'A', 'A', 0x09}).size(), 5u);
  // A picture or a code wider than the print area right of the margin is cut at it, or, for
  // a barcode, not printed, as on a printer.
  const Bytes wide = Cat({{GS, 'L', 0x2C, 1, GS, 'v', '0', 0, 72, 0, 1, 0}, Bytes(72, 0xFF),
                          {GS, 'W', 0xFF, 0xFF, GS, 'L', 0, 0, GS, 'w', 3, GS, 'k', 73, 42}, Text("{C"),
                          Bytes(40, 11), {GS, 'k', 7, 3}, Text("ABC")});
  for (const printersim::PrintedLine& line : printersim::InterpretEscPos(wide)) {
    EXPECT_LE(line.Left() + line.WidthDots(), printersim::kPaperDots) << line.label;
  }
  EXPECT_EQ(printersim::RenderText(wide), Spaces(25) + "[image 576x1]\n") << "GS k 7 is no barcode";
  // A stored image printed again and again: the pictures drawn stay within what a picture
  // can hold, and the picture of the receipt fails rather than leave them out.
  Bytes reprints = Cat({{GS, '*', 72, 255}, Bytes(72 * 255 * 8, 0xAA)});
  for (int i = 0; i < 300; ++i) reprints.insert(reprints.end(), {GS, '/', 3});
  std::size_t dots = 0;
  for (const printersim::PrintedLine& line : printersim::InterpretEscPos(reprints)) {
    if (line.image) dots += line.image->dots.size();
  }
  EXPECT_LT(dots, std::size_t{2} * printersim::kPaperDots * 65535);
  std::vector<std::uint8_t> png;
  EXPECT_NE(printersim::RenderPngBytes(reprints, &png).error.find("too long"), std::string::npos);
}

}  // namespace
