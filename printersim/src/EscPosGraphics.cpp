#include "EscPosGraphics.h"

#include <algorithm>

namespace printersim {

namespace {

std::size_t Word(const std::uint8_t* at) { return at[0] + (std::size_t{at[1]} << 8); }

// A picture of `width` x `height` dots whose dot (x, y) is `dark(x, y)`, cut at the paper's
// width; none when it is empty or too tall.
template <typename Dark>
Picture Draw(std::size_t width, std::size_t height, Dark&& dark) {
  if (width == 0 || height == 0 || height > static_cast<std::size_t>(kMaxPictureHeight)) return nullptr;
  const int shown = static_cast<int>(std::min<std::size_t>(width, kPaperDots));
  auto picture = std::make_shared<Bitmap>(shown, static_cast<int>(height));
  for (int y = 0; y < picture->height; ++y) {
    for (int x = 0; x < shown; ++x) {
      if (dark(static_cast<std::size_t>(x), static_cast<std::size_t>(y))) picture->Set(x, y);
    }
  }
  return picture;
}

// Density modes 0..3 and 48..51: bit 0 doubles the width, bit 1 the height.
bool ScaleOf(std::uint8_t mode, int* sx, int* sy) {
  if (mode >= 48) mode = static_cast<std::uint8_t>(mode - 48);
  if (mode > 3) return false;
  *sx = (mode & 1) != 0 ? 2 : 1;
  *sy = (mode & 2) != 0 ? 2 : 1;
  return true;
}

}  // namespace

Picture RasterImage(const std::uint8_t* command, std::size_t length) {
  int sx = 1, sy = 1;
  if (length < 8 || !ScaleOf(command[3], &sx, &sy)) return nullptr;
  const std::size_t rowBytes = Word(command + 4);
  const std::size_t rows = Word(command + 6);
  if (length < 8 + rowBytes * rows) return nullptr;
  return Scaled(RasterData(command + 8, rowBytes * rows, static_cast<int>(rowBytes * 8), static_cast<int>(rows)),
                sx, sy);
}

bool RasterDataFits(std::size_t size, int width, int height) {
  if (width <= 0 || height <= 0 || height > kMaxPictureHeight) return false;
  return size >= (static_cast<std::size_t>(width) + 7) / 8 * static_cast<std::size_t>(height);
}

Picture RasterData(const std::uint8_t* data, std::size_t size, int width, int height) {
  if (!RasterDataFits(size, width, height)) return nullptr;
  const std::size_t rowBytes = (static_cast<std::size_t>(width) + 7) / 8;
  return Draw(static_cast<std::size_t>(width), static_cast<std::size_t>(height), [&](std::size_t x, std::size_t y) {
    return (data[y * rowBytes + x / 8] & (0x80u >> (x % 8))) != 0;
  });
}

Picture ColumnImage(const std::uint8_t* command, std::size_t length) {
  if (length < 5) return nullptr;
  const std::uint8_t mode = command[2];
  if (mode != 0 && mode != 1 && mode != 32 && mode != 33) return nullptr;
  const std::size_t columns = Word(command + 3);
  const std::size_t bytesPerColumn = mode >= 32 ? 3 : 1;
  if (length < 5 + columns * bytesPerColumn) return nullptr;
  const std::uint8_t* data = command + 5;
  const Picture dots = Draw(columns, bytesPerColumn * 8, [&](std::size_t x, std::size_t y) {
    return (data[x * bytesPerColumn + y / 8] & (0x80u >> (y % 8))) != 0;
  });
  // Single density prints each dot twice as wide; the 8-dot modes three times as tall.
  return Scaled(dots, mode == 0 || mode == 32 ? 2 : 1, mode < 32 ? 3 : 1);
}

int ColumnImageWidth(const std::uint8_t* command, std::size_t length) {
  if (length < 5) return 0;
  const std::uint8_t mode = command[2];
  if (mode != 0 && mode != 1 && mode != 32 && mode != 33) return 0;
  const std::size_t width = Word(command + 3) * (mode == 0 || mode == 32 ? 2 : 1);
  return static_cast<int>(std::min<std::size_t>(width, kPaperDots));
}

Picture DownloadedImage(const std::uint8_t* command, std::size_t length) {
  if (length < 4) return nullptr;
  const std::size_t columns = std::size_t{command[2]} * 8;
  const std::size_t columnBytes = command[3];
  if (length < 4 + columns * columnBytes) return nullptr;
  const std::uint8_t* data = command + 4;
  return Draw(columns, columnBytes * 8, [&](std::size_t x, std::size_t y) {
    return (data[x * columnBytes + y / 8] & (0x80u >> (y % 8))) != 0;
  });
}

Picture Cropped(const Picture& picture, int width) {
  if (!picture || picture->width <= width) return picture;
  return Draw(static_cast<std::size_t>(width), static_cast<std::size_t>(picture->height),
              [&](std::size_t x, std::size_t y) { return picture->At(static_cast<int>(x), static_cast<int>(y)); });
}

Picture Scaled(const Picture& picture, int sx, int sy) {
  if (!picture) return nullptr;
  if (sx == 1 && sy == 1) return picture;
  return Draw(static_cast<std::size_t>(picture->width) * static_cast<std::size_t>(sx),
              static_cast<std::size_t>(picture->height) * static_cast<std::size_t>(sy),
              [&](std::size_t x, std::size_t y) {
                return picture->At(static_cast<int>(x) / sx, static_cast<int>(y) / sy);
              });
}

}  // namespace printersim
