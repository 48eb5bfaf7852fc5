// What the simulated printer printed: the ESC/POS interpreter through its printed lines and
// the text view, and the PNG read back with libpng.
#include <gtest/gtest.h>
#include <png.h>
#include <printersim/receipt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;
using printersim::Alignment;
using printersim::PrintedLine;

constexpr std::uint8_t ESC = 0x1B, GS = 0x1D, FS = 0x1C, DLE = 0x10, EOT = 0x04, LF = 0x0A;

// Bytes from a mix of command bytes and text.
struct Stream {
  Bytes bytes;
  Stream& operator()(std::initializer_list<int> command) {
    for (int b : command) bytes.push_back(static_cast<std::uint8_t>(b));
    return *this;
  }
  Stream& operator()(const std::string& text) {
    bytes.insert(bytes.end(), text.begin(), text.end());
    return *this;
  }
};

std::vector<std::string> TextLines(const Bytes& bytes) {
  std::vector<std::string> lines;
  const std::string text = printersim::RenderText(bytes);
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "every line ends with a newline";
  return lines;
}

std::string Spaces(int n) { return std::string(static_cast<std::size_t>(n), ' '); }

// A receipt with every kind of command the interpreter knows, skips or must survive.
Bytes SampleReceipt() {
  Stream s;
  s({ESC, '@'})({ESC, 'a', 1})({ESC, 'E', 1})({GS, '!', 0x11})("SHOP")({LF});
  s({ESC, '!', 0})({ESC, 'E', 0})("Street 1\r\n");
  s({ESC, 'a', '0'})("Tea\t\t2.00")({LF});
  s({ESC, '*', 33, 2, 0})("ABCDEF");                      // a 24-dot image, 2 columns
  s({GS, 'v', '0', 0, 2, 0, 2, 0})("WXYZ");               // a 2x2-byte raster image
  s({GS, '(', 'k', 5, 0, 49, 80, 48})("QR");              // QR data store
  s({GS, 'k', 4})("CODE39")({0})({GS, 'k', 73, 3})("B12");  // barcodes
  s({DLE, EOT, 1})({DLE, 0x14, 1, 0, 1})({ESC, 'p', 0, 25, 250});
  s({ESC, '&', 3, 'A', 'A', 1})("xyz");                   // a user-defined character
  s({0xC4, 0x7F, 0x07})({ESC, '!', 0x38})("TOTAL")({ESC, 'd', 2});
  s({GS, 'V', 66, 3})("tail");
  return s.bytes;
}

// --- Layout of the text view -----------------------------------------------------------------

TEST(ReceiptText, AlignsByPaddingToTheFullPaperWidthInBothParameterForms) {
  const Bytes bytes = Stream()({ESC, 'a', 0})("left\n")({ESC, 'a', 1})("mid\n")(
      {ESC, 'a', 2})("right\n")({ESC, 'a', '1'})("ab\n")({ESC, 'a', '2'})("xyz\n")(
      {ESC, 'a', 7})("still right\n").bytes;
  EXPECT_EQ(TextLines(bytes),
            (std::vector<std::string>{"left", Spaces(22) + "mid", Spaces(43) + "right",
                                      Spaces(23) + "ab", Spaces(45) + "xyz",
                                      Spaces(37) + "still right"}));
}

TEST(ReceiptText, AlignmentOfALineIsTheOneInForceAtItsFirstCharacter) {
  const Bytes bytes = Stream()("ab")({ESC, 'a', 2})("cd\nef\n").bytes;
  EXPECT_EQ(TextLines(bytes), (std::vector<std::string>{"abcd", Spaces(46) + "ef"}));
}

TEST(ReceiptText, WideCharactersTakeTheirColumnsAndLongLinesWrap) {
  const Bytes centred = Stream()({ESC, 'a', 1})({GS, '!', 0x10})("AB\n").bytes;
  EXPECT_EQ(TextLines(centred), std::vector<std::string>{Spaces(22) + "A B"});

  const Bytes full = Stream()(std::string(48, 'x'))("y\n").bytes;
  EXPECT_EQ(TextLines(full), (std::vector<std::string>{std::string(48, 'x'), "y"}));

  // 24 double-width characters fill the paper; the 25th starts a new line.
  const Bytes wide = Stream()({ESC, '!', 0x20})(std::string(25, 'w'))({LF}).bytes;
  const std::vector<std::string> lines = TextLines(wide);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].size(), 47u);  // 24 characters, the last one's padding trimmed
  EXPECT_EQ(lines[1], "w");
}

TEST(ReceiptText, CutsShowAcrossThePaperAndPrintWhatWaitsFirst) {
  const Bytes bytes = Stream()("before")({GS, 'V', 0})({GS, 'V', 49})({GS, 'V', 65, 5})(
      {GS, 'V', 66, 0})({ESC, 'i'})({ESC, 'm'})("after").bytes;
  const std::vector<std::string> lines = TextLines(bytes);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[0], "before");
  for (int i : {1, 3, 5}) {
    EXPECT_NE(lines[i].find(" (cut) "), std::string::npos) << lines[i];
    EXPECT_EQ(lines[i].rfind("- - - -", 0), 0u) << lines[i];
    EXPECT_EQ(lines[i].size(), 47u) << "48 columns, trailing space trimmed";
  }
  for (int i : {2, 4, 6}) EXPECT_NE(lines[i].find("(partial cut)"), std::string::npos) << lines[i];
  EXPECT_EQ(lines[7], "after");
}

TEST(ReceiptText, FeedsBlankLinesAndControlBytes) {
  const Bytes bytes = Stream()("a\r\n\n")({ESC, 'd', 3})("b")({ESC, 'd', 0})({ESC, 'd', 0})(
      "c\x07\x01\x7F\xE9\xFF\td\n")({ESC, 'J', 40})("e").bytes;
  // 0xE9 and 0xFF are Θ and a no-break space in code table PC437, the one a printer begins in;
  // ESC J feeds the paper by dots, a blank line of its own.
  EXPECT_EQ(TextLines(bytes), (std::vector<std::string>{"a", "", "", "", "", "b",
                                                        "c\u0398\u00A0     d", "", "e"}));
}

TEST(ReceiptText, InitialiseDiscardsTheLineBufferAndResetsEveryMode) {
  const Bytes bytes = Stream()({ESC, 'a', 2})({GS, '!', 0x77})({ESC, 'E', 1})("lost")(
      {ESC, '@'})("kept\n").bytes;
  const std::vector<PrintedLine> lines = printersim::InterpretEscPos(bytes);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].alignment, Alignment::kLeft);
  ASSERT_EQ(lines[0].chars.size(), 4u);
  EXPECT_EQ(lines[0].chars[0].glyph, 'k');
  EXPECT_FALSE(lines[0].chars[0].bold);
  EXPECT_EQ(lines[0].chars[0].width, 1);
  EXPECT_EQ(lines[0].chars[0].height, 1);
}

// --- Print modes -------------------------------------------------------------------------------

TEST(ReceiptModes, BoldAndSizeFromEscBangEscEAndGsBang) {
  const Bytes bytes = Stream()({ESC, 'E', 1})("a")({ESC, 'E', 0})("b")({ESC, 'E', 0x31})("c")(
      {ESC, '!', 0x08})("d")({ESC, '!', 0x10})("e")({ESC, '!', 0x20})("f")({ESC, '!', 0x38})(
      "g")({GS, '!', 0x21})("h")({GS, '!', 0x77})("i")({GS, '!', 0xFF})("j")({GS, '!', 0})(
      "k")({LF}).bytes;
  const std::vector<PrintedLine> lines = printersim::InterpretEscPos(bytes);
  ASSERT_EQ(lines.size(), 1u);
  const std::vector<printersim::PrintedChar>& chars = lines[0].chars;
  ASSERT_EQ(chars.size(), 11u);
  struct Expected { char glyph; bool bold; int width, height; };
  const Expected expected[] = {{'a', true, 1, 1},  {'b', false, 1, 1}, {'c', true, 1, 1},
                               {'d', true, 1, 1},  {'e', false, 1, 2}, {'f', false, 2, 1},
                               {'g', true, 2, 2},  {'h', true, 3, 2},  {'i', true, 8, 8},
                               {'j', true, 8, 8},  {'k', true, 1, 1}};
  for (std::size_t i = 0; i < chars.size(); ++i) {
    SCOPED_TRACE(expected[i].glyph);
    EXPECT_EQ(chars[i].glyph, expected[i].glyph);
    EXPECT_EQ(chars[i].bold, expected[i].bold);
    EXPECT_EQ(chars[i].width, expected[i].width);
    EXPECT_EQ(chars[i].height, expected[i].height);
  }
  EXPECT_EQ(lines[0].Height(), 8);
}

// --- Commands that print nothing ------------------------------------------------------------------

TEST(ReceiptSkipping, PicturesShowByKindAndRequestsAndUnknownCommandsPrintNothing) {
  const std::vector<std::string> lines = TextLines(SampleReceipt());
  ASSERT_EQ(lines.size(), 10u);
  EXPECT_EQ(lines[0], Spaces(20) + "S H O P");
  EXPECT_EQ(lines[1], Spaces(20) + "Street 1");
  EXPECT_EQ(lines[2], "Tea" + Spaces(13) + "2.00");  // two tabs: to column 8, then 16
  // Between the item line and TOTAL: a bit image line, a raster image, a QR code stored and
  // never printed, a CODE39 barcode, a CODE128 without its code set (which the printer
  // refuses), requests, a drawer kick and a user-defined character.
  EXPECT_EQ(lines[3], "[image 2x24]");
  EXPECT_EQ(lines[4], "[image 16x2]");
  EXPECT_EQ(lines[5], "[CODE39: CODE39]");
  EXPECT_EQ(lines[6], "\u2500T O T A L");
  EXPECT_EQ(lines[7], "");
  EXPECT_NE(lines[8].find("(partial cut)"), std::string::npos);
  EXPECT_EQ(lines[9], "t a i l") << "the modes outlive the cut";

  const Bytes unknown = Stream()({ESC, 'y', 'Z'})({GS, 'Q', 'Z'})({FS, 'y', 'Z'})(
      {DLE, 'Z'})({GS, 'v', '9'})("ok\n").bytes;
  EXPECT_EQ(TextLines(unknown), std::vector<std::string>{"Zok"})
      << "an unknown command takes one parameter; a DLE that begins nothing takes none";
}

// Text printed by a prefix of the stream is what the whole stream prints up to there: a
// command cut short is dropped whole, none of its bytes shows up as text.
TEST(ReceiptTruncation, EveryPrefixPrintsAPrefixOfTheWholeReceipt) {
  const Bytes whole = SampleReceipt();
  const std::vector<PrintedLine> full = printersim::InterpretEscPos(whole);
  for (std::size_t size = 0; size <= whole.size(); ++size) {
    SCOPED_TRACE(size);
    // An exact-size heap copy, so that a read past its end is caught by AddressSanitizer.
    const Bytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
    const std::vector<PrintedLine> lines = printersim::InterpretEscPos(prefix);
    ASSERT_LE(lines.size(), full.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const bool last = i + 1 == lines.size();
      ASSERT_EQ(lines[i].kind, full[i].kind);
      ASSERT_LE(lines[i].chars.size(), full[i].chars.size());
      if (!last) {
        ASSERT_EQ(lines[i].chars.size(), full[i].chars.size());
      }
      for (std::size_t c = 0; c < lines[i].chars.size(); ++c) {
        ASSERT_EQ(lines[i].chars[c].glyph, full[i].chars[c].glyph) << "line " << i;
      }
    }
    printersim::RenderText(prefix);
  }
}

TEST(ReceiptTruncation, LengthFieldsLargerThanTheStreamEndItWithoutWrapping) {
  for (const Bytes& tail : {Bytes{GS, '8', 'L', 0xFF, 0xFF, 0xFF, 0xFF, 'x'},
                            Bytes{ESC, '*', 33, 0xFF, 0xFF, 'x'}, Bytes{GS, '*', 0xFF, 0xFF},
                            Bytes{GS, 'v', '0', 0, 0xFF, 0xFF, 0xFF, 0xFF}, Bytes{GS, 'k', 2, 'x'},
                            Bytes{ESC, 'D', 8, 16}, Bytes{ESC, '&', 3, 32, 126, 12},
                            Bytes{DLE, EOT}, Bytes{ESC}, Bytes{GS, 'V', 65}}) {
    Bytes bytes = Stream()("kept").bytes;
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    EXPECT_EQ(TextLines(bytes), std::vector<std::string>{"kept"}) << int(tail[1 % tail.size()]);
  }
}

// --- The picture ---------------------------------------------------------------------------------

struct Image {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> gray;

  bool Dark(int x, int y) const { return gray[static_cast<std::size_t>(y * width + x)] < 128; }
  bool RowHasInk(int y) const {
    for (int x = 0; x < width; ++x) if (Dark(x, y)) return true;
    return false;
  }
  int Ink(int top, int bottom) const {
    int n = 0;
    for (int y = top; y < bottom; ++y) for (int x = 0; x < width; ++x) n += Dark(x, y);
    return n;
  }
};

bool ReadPng(const std::string& path, Image* out) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return false;
  image.format = PNG_FORMAT_GRAY;
  out->gray.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, out->gray.data(), 0, nullptr)) return false;
  out->width = static_cast<int>(image.width);
  out->height = static_cast<int>(image.height);
  return true;
}

// A run of rows with ink, and the ink's horizontal extent.
struct Band {
  int top, bottom, left, right;
  int Height() const { return bottom - top; }
};

// Lines of print, top to bottom; blank rows inside a glyph (the dot of an i) stay inside.
std::vector<Band> Bands(const Image& image) {
  std::vector<Band> bands;
  for (int y = 0; y < image.height; ++y) {
    if (!image.RowHasInk(y)) continue;
    if (bands.empty() || y - bands.back().bottom > 3) bands.push_back({y, y + 1, image.width, -1});
    Band& band = bands.back();
    band.bottom = y + 1;
    for (int x = 0; x < image.width; ++x) {
      if (image.Dark(x, y)) {
        band.left = std::min(band.left, x);
        band.right = std::max(band.right, x);
      }
    }
  }
  return bands;
}

class ReceiptPng : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) { return ::testing::TempDir() + "receipt_" + name; }

  Image Render(const Bytes& bytes, const std::string& name) {
    const std::string path = Path(name + ".png");
    const printersim::RenderResult result = printersim::RenderPng(bytes, path);
    EXPECT_TRUE(result.ok) << result.error;
    Image image;
    EXPECT_TRUE(ReadPng(path, &image)) << path;
    EXPECT_EQ(image.width, result.width);
    EXPECT_EQ(image.height, result.height);
    std::remove(path.c_str());
    return image;
  }
};

TEST_F(ReceiptPng, AlignedLinesAndTheCutLandWhereThePaperShowsThem) {
  const Image image = Render(Stream()("HHH\n")({ESC, 'a', 1})("HHH\n")({ESC, 'a', 2})(
                                 "HHH\n")({GS, 'V', 0})({ESC, 'a', 0})(std::string(48, 'H'))(
                                 "\n").bytes, "aligned");
  // 80 mm paper: 576 dots of print and some margin.
  ASSERT_GE(image.width, 576);
  ASSERT_LE(image.width, 700);
  const std::vector<Band> bands = Bands(image);
  ASSERT_EQ(bands.size(), 5u);
  const int printLeft = bands[4].left;
  const int printRight = bands[4].right;
  EXPECT_GT(printRight - printLeft, 560) << "48 columns fill the print width";
  EXPECT_LT(bands[0].left - printLeft, 4);
  EXPECT_LT(std::abs((bands[1].left + bands[1].right) - (printLeft + printRight)), 4);
  EXPECT_LT(printRight - bands[2].right, 4);

  // The cut: dashes from edge to edge, with gaps between them.
  const Band& cut = bands[3];
  EXPECT_LT(cut.left, 4);
  EXPECT_GT(cut.right, image.width - 12);
  int darkest = cut.top, most = 0;
  for (int y = cut.top; y < cut.bottom; ++y) {
    const int ink = image.Ink(y, y + 1);
    if (ink > most) most = ink, darkest = y;
  }
  int dashes = 0;
  for (int x = 1; x < image.width; ++x) dashes += image.Dark(x, darkest) && !image.Dark(x - 1, darkest);
  EXPECT_GE(dashes, 20);
}

TEST_F(ReceiptPng, BoldIsBlackerAndDoubleSizeIsTallerAndWider) {
  const Image image = Render(Stream()("IHIH\n")({ESC, 'E', 1})("IHIH\n")({ESC, 'E', 0})(
                                 {GS, '!', 0x11})("IHIH\n").bytes, "modes");
  const std::vector<Band> bands = Bands(image);
  ASSERT_EQ(bands.size(), 3u);
  const int plain = image.Ink(bands[0].top, bands[0].bottom);
  const int bold = image.Ink(bands[1].top, bands[1].bottom);
  EXPECT_GT(bold, plain * 13 / 10);
  EXPECT_EQ(bands[1].Height(), bands[0].Height());
  EXPECT_NEAR(bands[2].Height(), 2 * bands[0].Height(), 2);
  EXPECT_NEAR(bands[2].right - bands[2].left, 2 * (bands[0].right - bands[0].left), 4);
}

TEST_F(ReceiptPng, TheWholeSampleDrawsAndAnEmptyStreamIsBlankPaper) {
  const Image sample = Render(SampleReceipt(), "sample");
  // Three text lines, the bit image line, the raster image with the barcode under it, TOTAL,
  // the cut and the line after it.
  EXPECT_EQ(Bands(sample).size(), 8u);
  const Image empty = Render(Bytes{}, "empty");
  EXPECT_GT(empty.height, 0);
  EXPECT_TRUE(Bands(empty).empty());
}

TEST_F(ReceiptPng, FailsClearlyWithoutItsFontOrItsFile) {
  printersim::RenderResult result =
      printersim::RenderPng(SampleReceipt(), Path("x.png"), "/nonexistent/font.psf.gz");
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("/nonexistent/font.psf.gz"), std::string::npos) << result.error;

  const std::string garbage = Path("garbage.psf");
  std::ofstream(garbage) << "this is no font at all";
  result = printersim::RenderPng(SampleReceipt(), Path("x.png"), garbage);
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("not a PSF"), std::string::npos) << result.error;

  result = printersim::RenderPng(SampleReceipt(), "/nonexistent/dir/receipt.png");
  EXPECT_FALSE(result.ok);
  EXPECT_NE(result.error.find("/nonexistent/dir/receipt.png"), std::string::npos) << result.error;
  std::remove(garbage.c_str());
}

// A font whose glyphs are not in code order: characters must be found through its table.
TEST_F(ReceiptPng, GlyphsAreFoundThroughTheFontsUnicodeTable) {
  const std::uint32_t header[] = {0x864AB572u, 0, 32, 1, 2, 8, 8, 8};
  std::string font(reinterpret_cast<const char*>(header), sizeof header);
  font += std::string(8, '\0');    // glyph 0: blank, shows 'B'
  font += std::string(8, '\xFF');  // glyph 1: a full block, shows 'A'
  font += "B\xFF" "A\xFF";
  const std::string fontPath = Path("tiny.psf");
  std::ofstream(fontPath, std::ios::binary) << font;

  const std::string png = Path("tiny.png");
  printersim::RenderResult result = printersim::RenderPng(Stream()("BAB\n").bytes, png, fontPath);
  ASSERT_TRUE(result.ok) << result.error;
  Image image;
  ASSERT_TRUE(ReadPng(png, &image));
  std::vector<Band> bands = Bands(image);
  ASSERT_EQ(bands.size(), 1u);
  EXPECT_EQ(bands[0].Height(), 8);
  EXPECT_EQ(bands[0].right - bands[0].left + 1, 8) << "only the A, the second character, is ink";
  EXPECT_EQ(image.Ink(bands[0].top, bands[0].bottom), 64);

  // A character the font lacks is a hollow box, never a silent '?'.
  result = printersim::RenderPng(Stream()("?\n").bytes, png, fontPath);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_TRUE(ReadPng(png, &image));
  bands = Bands(image);
  ASSERT_EQ(bands.size(), 1u);
  EXPECT_GT(bands[0].Height(), 10);
  EXPECT_TRUE(image.Dark(bands[0].left, (bands[0].top + bands[0].bottom) / 2));
  EXPECT_FALSE(image.Dark((bands[0].left + bands[0].right) / 2, (bands[0].top + bands[0].bottom) / 2));
  std::remove(fontPath.c_str());
  std::remove(png.c_str());
}

}  // namespace
