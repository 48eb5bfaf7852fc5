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

#ifndef PRINTERSIM_RECEIPT_FONT
#error "PRINTERSIM_RECEIPT_FONT names the default receipt font (printersim/CMakeLists.txt)"
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

  // Fills the part of the rectangle that lies on the canvas.
  void Fill(int x, int y, int width, int height, std::uint8_t value) {
    const int left = std::max(x, 0);
    const int top = std::max(y, 0);
    const int right = std::min(x + width, width_);
    const int bottom = std::min(y + height, height_);
    for (int row = top; row < bottom; ++row) {
      for (int column = left; column < right; ++column) {
        pixels_[static_cast<std::size_t>(row) * static_cast<std::size_t>(width_) +
                static_cast<std::size_t>(column)] = value;
      }
    }
  }

 private:
  int width_;
  int height_;
  std::vector<std::uint8_t> pixels_;
};

// Paper geometry in dots, from the font: one font dot per printer dot.
struct Layout {
  explicit Layout(const ConsoleFont& font)
      : column(font.Width()),
        row(font.Height()),
        gap(std::max(2, font.Height() / 4)),
        paper(kPaperColumns * font.Width()),
        margin(2 * font.Width()) {}

  int LineHeight(const PrintedLine& line) const {
    return line.kind == PrintedLine::Kind::kCut ? row + gap : line.Height() * row + gap;
  }

  int column;  // width of a character at normal size
  int row;     // height of a character at normal size
  int gap;     // between lines, the printer's line spacing beyond the character height
  int paper;   // printable width
  int margin;  // unprinted paper at each side, and above and below the print
};

// Draws a glyph `scaleX` x `scaleY` times its size with its top left corner at (x, y);
// bold strikes it a second time one scaled dot to the right.
void DrawGlyph(Canvas* canvas, const ConsoleFont& font, char glyph, int x, int y, int scaleX,
               int scaleY, bool bold) {
  const std::uint8_t* bits = font.Glyph(static_cast<unsigned char>(glyph));
  for (int dy = 0; dy < font.Height(); ++dy) {
    for (int dx = 0; dx < font.Width(); ++dx) {
      if (!font.Dot(bits, dx, dy)) continue;
      const int width = bold ? 2 * scaleX : scaleX;
      canvas->Fill(x + dx * scaleX, y + dy * scaleY, width, scaleY, kInk);
    }
  }
}

void DrawText(Canvas* canvas, const ConsoleFont& font, const Layout& layout,
              const PrintedLine& line, int top) {
  const int free = layout.paper - line.Columns() * layout.column;
  int x = layout.margin;
  if (line.alignment == Alignment::kCentre) x += free / 2;
  if (line.alignment == Alignment::kRight) x += free;
  const int height = line.Height();
  for (const PrintedChar& c : line.chars) {
    // Characters of one line stand on a common base line.
    const int y = top + (height - c.height) * layout.row;
    DrawGlyph(canvas, font, c.glyph, x, y, c.width, c.height, c.bold);
    x += c.width * layout.column;
  }
}

// A dashed line across the whole paper with a label in a gap at its middle.
void DrawCut(Canvas* canvas, const ConsoleFont& font, const Layout& layout,
             const PrintedLine& line, int top) {
  const std::string label = line.partialCut ? " partial cut " : " cut ";
  const int labelWidth = static_cast<int>(label.size()) * layout.column;
  const int labelX = (canvas->Width() - labelWidth) / 2;
  const int labelY = top + layout.gap / 2;
  const int y = top + (layout.row + layout.gap) / 2 - kCutLineThickness / 2;
  for (int x = 0; x < canvas->Width(); x += kDash + kDashGap) {
    const bool clearOfLabel = x + kDash <= labelX || x >= labelX + labelWidth;
    if (clearOfLabel) canvas->Fill(x, y, kDash, kCutLineThickness, kInk);
  }
  for (std::size_t i = 0; i < label.size(); ++i) {
    DrawGlyph(canvas, font, label[i], labelX + static_cast<int>(i) * layout.column, labelY, 1, 1,
              false);
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
  png_alloc_size_t size = 0;
  if (png_image_write_to_memory(&image, nullptr, &size, 0, canvas.Pixels(), 0, nullptr) == 0) {
    *error = std::string("cannot encode the picture: ") + image.message;
    png_image_free(&image);
    return false;
  }
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

namespace {

// Draws the receipt; false, with the reason in result->error, when the font cannot be read or
// the receipt is too long to draw.
bool DrawReceipt(const std::vector<std::uint8_t>& escpos, const std::string& fontPath,
                 std::unique_ptr<Canvas>* drawn, RenderResult* result) {
  ConsoleFont font;
  if (!font.Load(fontPath, &result->error)) {
    if (fontPath == DefaultReceiptFontPath()) {
      result->error += " (Debian's console-setup-linux package installs this font)";
    }
    return false;
  }
  const Layout layout(font);
  const std::vector<PrintedLine> lines = InterpretEscPos(escpos);

  int height = 2 * layout.margin;
  for (const PrintedLine& line : lines) {
    height += layout.LineHeight(line);
    if (height > kMaxImageHeight) {
      result->error = "the receipt is too long to draw (more than " +
                      std::to_string(kMaxImageHeight) + " dots)";
      return false;
    }
  }
  auto canvas = std::make_unique<Canvas>(layout.paper + 2 * layout.margin, height);
  int top = layout.margin;
  for (const PrintedLine& line : lines) {
    if (line.kind == PrintedLine::Kind::kCut) {
      DrawCut(canvas.get(), font, layout, line, top);
    } else {
      DrawText(canvas.get(), font, layout, line, top);
    }
    top += layout.LineHeight(line);
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
