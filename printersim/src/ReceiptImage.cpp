// The receipt as a picture of the paper, written as a grey-scale PNG with libpng.
#include <png.h>
#include <printersim/receipt.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "ConsoleFont.h"

#if !defined(PRINTERSIM_RECEIPT_FONT) || !defined(PRINTERSIM_RECEIPT_FONT_B)
#error "PRINTERSIM_RECEIPT_FONT and _B name the default receipt fonts (printersim/CMakeLists.txt)"
#endif

namespace printersim {

namespace {

constexpr std::uint8_t kPaper = 0xFF;
constexpr std::uint8_t kInk = 0x00;
// A picture taller than this is a runaway feed, not a receipt anyone wants to look at.
constexpr int kMaxImageHeight = 65535;
constexpr int kDash = 12;
constexpr int kDashGap = 8;
constexpr int kCutLineThickness = 2;

class Canvas {
 public:
  Canvas(int width, int height)
      : width_(width),
        height_(height),
        pixels_(static_cast<std::size_t>(width) * static_cast<std::size_t>(height), kPaper) {}

  int Width() const { return width_; }
  int Height() const { return height_; }
  const std::uint8_t* Pixels() const { return pixels_.data(); }

  // Turns the part of the rectangle that lies on the canvas by 180 degrees.
  void Turn(int x, int y, int width, int height) {
    const int left = std::max(x, 0);
    const int top = std::max(y, 0);
    const int right = std::min(x + width, width_);
    const int bottom = std::min(y + height, height_);
    for (int row = top; row < bottom; ++row) {
      const int mirrorRow = bottom - 1 - (row - top);
      for (int column = left; column < right; ++column) {
        const int mirrorColumn = right - 1 - (column - left);
        if (row > mirrorRow || (row == mirrorRow && column >= mirrorColumn)) continue;
        std::swap(pixels_[Index(column, row)], pixels_[Index(mirrorColumn, mirrorRow)]);
      }
    }
  }

  // Fills the part of the rectangle that lies on the canvas.
  void Fill(int x, int y, int width, int height, std::uint8_t value) {
    const int left = std::max(x, 0);
    const int top = std::max(y, 0);
    const int right = std::min(x + width, width_);
    const int bottom = std::min(y + height, height_);
    for (int row = top; row < bottom; ++row) {
      for (int column = left; column < right; ++column) pixels_[Index(column, row)] = value;
    }
  }

 private:
  std::size_t Index(int column, int row) const {
    return static_cast<std::size_t>(row) * static_cast<std::size_t>(width_) + static_cast<std::size_t>(column);
  }

  int width_;
  int height_;
  std::vector<std::uint8_t> pixels_;
};

// The two fonts of the printer.
struct Fonts {
  const ConsoleFont& a;
  const ConsoleFont& b;
  const ConsoleFont& Of(Font font) const { return font == Font::kB ? b : a; }
};

// U+2580..U+2595, the block elements, as the printer draws them: drawn here, as the console
// fonts lack most of them. True when `c` is one; `dark(x, y)` then says which dot of a cell
// `width` x `height` dots is black.
bool IsBlockElement(char32_t c) { return c >= 0x2580 && c <= 0x2595; }

bool BlockDot(char32_t c, int x, int y, int width, int height) {
  if (c == 0x2580) return y < height / 2;                                // upper half
  if (c >= 0x2581 && c <= 0x2588) return y >= height - height * static_cast<int>(c - 0x2580) / 8;  // lower eighths
  if (c >= 0x2589 && c <= 0x258F) return x < width * static_cast<int>(0x2590 - c) / 8;              // left eighths
  if (c == 0x2590) return x >= width / 2;                                // right half
  if (c == 0x2591) return x % 2 == 0 && y % 2 == 0;                      // light shade
  if (c == 0x2592) return (x + y) % 2 == 0;                              // medium shade
  if (c == 0x2593) return !(x % 2 == 1 && y % 2 == 1);                   // dark shade
  if (c == 0x2594) return y < height / 8;                                // upper eighth
  return x >= width - width / 8;                                         // U+2595: right eighth
}

// Draws character `c` in the scaled cell at (x, y), in `ink`: its glyph from its font struck
// twice a dot apart when bold, a block element drawn, or a box where the font has no glyph.
void DrawCharacter(Canvas* canvas, const Fonts& fonts, const PrintedChar& c, int x, int y,
                   std::uint8_t ink) {
  const int cellWidth = CellWidth(c.font);
  const int cellHeight = CellHeight(c.font);
  const int sx = c.width;
  const int sy = c.height;
  if (IsBlockElement(c.glyph)) {
    for (int dy = 0; dy < cellHeight; ++dy) {
      for (int dx = 0; dx < cellWidth; ++dx) {
        if (BlockDot(c.glyph, dx, dy, cellWidth, cellHeight)) canvas->Fill(x + dx * sx, y + dy * sy, sx, sy, ink);
      }
    }
    return;
  }
  const ConsoleFont& font = fonts.Of(c.font);
  const std::uint8_t* bits = font.Glyph(c.glyph);
  if (bits == nullptr) {
    // A visible box, never a silent '?': the font has no glyph for this character.
    const int left = x + sx, top = y + 3 * sy;
    const int right = x + (cellWidth - 2) * sx, bottom = y + (cellHeight - 3) * sy;
    canvas->Fill(left, top, right - left, sy, ink);
    canvas->Fill(left, bottom - sy, right - left, sy, ink);
    canvas->Fill(left, top, sx, bottom - top, ink);
    canvas->Fill(right - sx, top, sx, bottom - top, ink);
    return;
  }
  for (int dy = 0; dy < font.Height(); ++dy) {
    for (int dx = 0; dx < font.Width(); ++dx) {
      if (!font.Dot(bits, dx, dy)) continue;
      canvas->Fill(x + dx * sx, y + dy * sy, c.bold ? 2 * sx : sx, sy, ink);
    }
  }
}

void DrawPicture(Canvas* canvas, const Bitmap& picture, int x, int y) {
  for (int dy = 0; dy < picture.height; ++dy) {
    for (int dx = 0; dx < picture.width; ++dx) {
      if (picture.At(dx, dy)) canvas->Fill(x + dx, y + dy, 1, 1, kInk);
    }
  }
}

// Characters of one line stand on a common base line; reversed ones are white on black, and
// an upside-down line is turned as a whole.
void DrawText(Canvas* canvas, const Fonts& fonts, const PrintedLine& line, int top) {
  const int height = line.HeightDots();
  int x = kPictureMargin + line.Left();
  for (const PrintedChar& c : line.chars) {
    const int y = top + height - c.HeightDots();
    if (c.image) {
      DrawPicture(canvas, *c.image, x, y);
    } else {
      if (c.reverse) canvas->Fill(x, y, c.Dots(), c.HeightDots(), kInk);
      DrawCharacter(canvas, fonts, c, x, y, c.reverse ? kPaper : kInk);
      if (c.underline > 0 && !c.reverse) {
        canvas->Fill(x, y + c.HeightDots() - c.underline, c.Dots(), c.underline, kInk);
      }
    }
    x += c.Dots();
  }
  if (line.upsideDown) canvas->Turn(kPictureMargin, top, kPaperDots, height);
}

// A dashed line across the whole paper with a label in a gap at its middle.
void DrawCut(Canvas* canvas, const Fonts& fonts, const PrintedLine& line, int top) {
  const std::string label = line.partialCut ? " partial cut " : " cut ";
  const int column = CellWidth(Font::kB);
  const int labelWidth = static_cast<int>(label.size()) * column;
  const int labelX = (canvas->Width() - labelWidth) / 2;
  const int y = top + line.Advance() / 2 - kCutLineThickness / 2;
  for (int x = 0; x < canvas->Width(); x += kDash + kDashGap) {
    const bool clearOfLabel = x + kDash <= labelX || x >= labelX + labelWidth;
    if (clearOfLabel) canvas->Fill(x, y, kDash, kCutLineThickness, kInk);
  }
  PrintedChar c;
  c.font = Font::kB;
  for (std::size_t i = 0; i < label.size(); ++i) {
    c.glyph = static_cast<unsigned char>(label[i]);
    DrawCharacter(canvas, fonts, c, labelX + static_cast<int>(i) * column,
                  top + (line.Advance() - CellHeight(Font::kB)) / 2, kInk);
  }
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

png_image PngImageOf(const Canvas& canvas) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(canvas.Width());
  image.height = static_cast<png_uint_32>(canvas.Height());
  image.format = PNG_FORMAT_GRAY;
  return image;
}

bool EncodePng(const Canvas& canvas, std::vector<std::uint8_t>* png, std::string* error) {
  png_image image = PngImageOf(canvas);
  // Room for the largest PNG the picture can make, so that it is compressed once.
  png_alloc_size_t size = PNG_IMAGE_PNG_SIZE_MAX(image);
  png->resize(size);
  if (png_image_write_to_memory(&image, png->data(), &size, 0, canvas.Pixels(), 0, nullptr) == 0) {
    *error = std::string("cannot encode the picture: ") + image.message;
    png_image_free(&image);
    return false;
  }
  png->resize(size);
  return true;
}

bool WritePng(const Canvas& canvas, const std::string& path, std::string* error) {
  errno = 0;
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    *error = "cannot create " + path + ": " + std::strerror(errno);
    return false;
  }
  png_image image = PngImageOf(canvas);
  const bool written =
      png_image_write_to_stdio(&image, file.get(), 0, canvas.Pixels(), 0, nullptr) != 0;
  if (!written) {
    *error = "cannot write " + path + ": " + image.message;
    png_image_free(&image);
    return false;
  }
  if (std::fclose(file.release()) != 0) {
    *error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace

std::string DefaultReceiptFontPath() { return PRINTERSIM_RECEIPT_FONT; }
std::string DefaultReceiptFontBPath() { return PRINTERSIM_RECEIPT_FONT_B; }

namespace {

// Reads a font, saying where it comes from when it is the default one that is missing.
bool LoadFont(const std::string& path, const std::string& usual, ConsoleFont* font, std::string* error) {
  if (font->Load(path, error)) return true;
  if (path == usual) *error += " (Debian's console-setup-linux package installs this font)";
  return false;
}

// Draws the receipt; false, with the reason in result->error, when a font cannot be read or
// the receipt is too long to draw.
bool DrawReceipt(const std::vector<std::uint8_t>& escpos, const std::string& fontPath,
                 std::unique_ptr<Canvas>* drawn, RenderResult* result) {
  ConsoleFont fontA;
  ConsoleFont fontB;
  if (!LoadFont(fontPath, DefaultReceiptFontPath(), &fontA, &result->error) ||
      !LoadFont(DefaultReceiptFontBPath(), DefaultReceiptFontBPath(), &fontB, &result->error)) {
    return false;
  }
  const Fonts fonts{fontA, fontB};
  const std::vector<PrintedLine> lines = InterpretEscPos(escpos);

  long height = 2 * kPictureMargin;
  for (const PrintedLine& line : lines) {
    height += line.Advance();
    // A picture the interpreter did not draw lies past what a picture can hold.
    const bool undrawn = line.kind == PrintedLine::Kind::kImage && !line.image;
    if (height > kMaxImageHeight || undrawn) {
      result->error = "the receipt is too long to draw (more than " +
                      std::to_string(kMaxImageHeight) + " dots)";
      return false;
    }
  }
  auto canvas = std::make_unique<Canvas>(kPaperDots + 2 * kPictureMargin, static_cast<int>(height));
  int top = kPictureMargin;
  for (const PrintedLine& line : lines) {
    switch (line.kind) {
      case PrintedLine::Kind::kCut: DrawCut(canvas.get(), fonts, line, top); break;
      case PrintedLine::Kind::kImage:
        DrawPicture(canvas.get(), *line.image, kPictureMargin + line.Left(), top);
        if (line.upsideDown) canvas->Turn(kPictureMargin, top, kPaperDots, line.Advance());
        break;
      case PrintedLine::Kind::kText: DrawText(canvas.get(), fonts, line, top); break;
    }
    top += line.Advance();
  }
  result->width = canvas->Width();
  result->height = canvas->Height();
  *drawn = std::move(canvas);
  return true;
}

}  // namespace

RenderResult RenderPng(const std::vector<std::uint8_t>& escpos, const std::string& pngPath,
                       const std::string& fontPath) {
  RenderResult result;
  std::unique_ptr<Canvas> canvas;
  if (!DrawReceipt(escpos, fontPath, &canvas, &result)) return result;
  result.ok = WritePng(*canvas, pngPath, &result.error);
  return result;
}

RenderResult RenderPngBytes(const std::vector<std::uint8_t>& escpos, std::vector<std::uint8_t>* png,
                            const std::string& fontPath) {
  RenderResult result;
  std::unique_ptr<Canvas> canvas;
  if (!DrawReceipt(escpos, fontPath, &canvas, &result)) return result;
  result.ok = EncodePng(*canvas, png, &result.error);
  return result;
}

}  // namespace printersim
