// The pictures of ESC/POS image commands, from their whole bytes (as EscPosCommands.h
// measured them): raster images (GS v 0, GS ( L), column images (ESC *, GS *), scaled as
// their density modes say and cut at the paper's width. A picture that would be taller than
// kMaxPictureHeight, or that its command describes wrongly, is none (null): the printer
// prints nothing rather than garbage.
#ifndef PRINTERSIM_ESCPOSGRAPHICS_H
#define PRINTERSIM_ESCPOSGRAPHICS_H

#include <printersim/receipt.h>

#include <cstddef>
#include <cstdint>
#include <memory>

namespace printersim {

constexpr int kMaxPictureHeight = 65535;

using Picture = std::shared_ptr<const Bitmap>;

// GS v 0 m xL xH yL yH d1...: x bytes a row (8 dots each, the first dot in the top bit),
// y rows; m 0..3 (or 48..51) doubles width (1), height (2) or both (3).
Picture RasterImage(const std::uint8_t* command, std::size_t length);

// ESC * m nL nH d1...: n columns of 8 dots (m 0, 1) or 24 dots (m 32, 33), top dot in the top
// bit; the 8-dot modes are printed three times as tall, the single-density modes (0, 32)
// twice as wide.
Picture ColumnImage(const std::uint8_t* command, std::size_t length);

// The width in dots ESC * prints its image, or 0 for none (a mode it does not have).
int ColumnImageWidth(const std::uint8_t* command, std::size_t length);

// GS * x y d1...: a downloaded image of x * 8 columns of y * 8 dots, column by column.
Picture DownloadedImage(const std::uint8_t* command, std::size_t length);

// `picture` printed `sx` times as wide and `sy` times as tall, cut at the paper's width.
Picture Scaled(const Picture& picture, int sx, int sy);

// Whether raster data of `width` x `height` dots, (width + 7) / 8 bytes a row, is a picture
// that `size` bytes hold.
bool RasterDataFits(std::size_t size, int width, int height);

// `picture` cut at `width` dots from its left.
Picture Cropped(const Picture& picture, int width);

// Raster data of a graphics function (GS ( L): `width` dots a row, (width + 7) / 8 bytes a
// row, `height` rows, from `data` (`size` bytes, at least what the picture needs).
Picture RasterData(const std::uint8_t* data, std::size_t size, int width, int height);

}  // namespace printersim

#endif  // PRINTERSIM_ESCPOSGRAPHICS_H
