// Measures ESC/POS commands (EscPosCommands.h) and follows the print data as it prints.
#include "EscPosCommands.h"

#include <algorithm>
#include <cstdint>

namespace printersim {

namespace {

// Barcode data of the form ended by NUL is at most this long; a printer that finds no NUL by
// then has ended the command.
constexpr std::size_t kMostBarcodeData = 255;

// Bytes remaining from a command's start; every read below checks against it.
class Cursor {
 public:
  Cursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Has(std::size_t count) const { return count <= size_; }
  std::uint8_t At(std::size_t index) const { return data_[index]; }
  // A command of `length` bytes: known, whether or not they are all there yet.
  static std::size_t Whole(std::size_t length) { return length; }
  // A 16-bit little-endian count at `index`, or false when it is not all there.
  bool Word(std::size_t index, std::size_t* value) const {
    if (!Has(index + 2)) return false;
    *value = data_[index] + (std::size_t{data_[index + 1]} << 8);
    return true;
  }
  std::size_t Size() const { return size_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
};

// Prefix, command byte and one parameter: how an unknown command is stepped over.
std::size_t UnknownCommand(const Cursor& c) { return c.Whole(3); }

// ESC D n1 ... nk NUL: tab positions, at most 32 of them, then NUL.
std::size_t TabPositions(const Cursor& c) {
  for (std::size_t i = 2; i < c.Size() && i <= 2 + 32; ++i) {
    if (c.At(i) == 0) return i + 1;
  }
  // No NUL within 32 positions: the printer takes the 32 and goes on.
  return c.Has(2 + 32 + 1) ? 2 + 32 : kLengthUnknown;
}

// ESC & y c1 c2 [x d1 ... d(y*x)] for each code c1..c2: user-defined characters, y at most 3
// bytes a column and x at most 12 columns (font A's cell). A definition out of those bounds
// ends the command where it is found; what follows is data.
std::size_t UserDefinedCharacters(const Cursor& c) {
  if (!c.Has(5)) return kLengthUnknown;
  const std::size_t rowBytes = c.At(2);
  const std::size_t first = c.At(3);
  const std::size_t last = c.At(4);
  if (rowBytes > 3) return 5;
  std::size_t at = 5;
  for (std::size_t code = first; code <= last; ++code) {
    if (!c.Has(at + 1)) return kLengthUnknown;
    if (c.At(at) > 12) return at + 1;
    at += 1 + rowBytes * c.At(at);
    if (!c.Has(at)) return kLengthUnknown;
  }
  return at;
}

// The data bytes of an NV bit image of x * 8 by y * 8 dots; SIZE_MAX when a size_t cannot
// hold them (a 32-bit build).
std::size_t NvImageDataSize(std::size_t x, std::size_t y) {
  const std::uint64_t bytes = std::uint64_t{x} * y * 8;
  if constexpr (sizeof(std::size_t) < sizeof(std::uint64_t)) {
    if (bytes > SIZE_MAX) return SIZE_MAX;
  }
  return static_cast<std::size_t>(bytes);
}

// FS q n [xL xH yL yH d1 ... d(x*y*8)] n times: NV bit images (x * 8 columns of y * 8 dots).
std::size_t NvBitImages(const Cursor& c) {
  if (!c.Has(3)) return kLengthUnknown;
  std::size_t at = 3;
  for (std::size_t image = 0; image < c.At(2); ++image) {
    std::size_t x = 0, y = 0;
    if (!c.Word(at, &x) || !c.Word(at + 2, &y)) return kLengthUnknown;
    const std::size_t data = NvImageDataSize(x, y);
    if (data > SIZE_MAX - at - 4) return SIZE_MAX;  // past any stream (a 32-bit build)
    at += 4 + data;
    if (!c.Has(at)) return image + 1 == c.At(2) ? at : kLengthUnknown;
  }
  return at;
}

// ESC * m nL nH d1 ... dk: a bit image line, k = n (8-dot modes) or 3n (24-dot modes).
std::size_t BitImage(const Cursor& c) {
  std::size_t columns = 0;
  if (!c.Has(3) || !c.Word(3, &columns)) return kLengthUnknown;
  const std::uint8_t mode = c.At(2);
  const std::size_t bytesPerColumn = (mode == 32 || mode == 33) ? 3 : 1;
  return c.Whole(5 + columns * bytesPerColumn);
}

// ESC ( f pL pH d1 ... and GS ( f pL pH d1 ...: a function with its parameter length.
std::size_t LengthPrefixedFunction(const Cursor& c) {
  std::size_t length = 0;
  if (!c.Word(3, &length)) return kLengthUnknown;
  return c.Whole(5 + length);
}

std::size_t EscCommandLength(const Cursor& c) {
  if (!c.Has(2)) return kLengthUnknown;
  switch (c.At(1)) {
    case '2': case '<': case '@': case 'L': case 'S': case 'i': case 'm': case 'v':
      return 2;
    case ' ': case '!': case '%': case '-': case '3': case '=': case '?': case 'E': case 'G':
    case 'J': case 'M': case 'R': case 'T': case 'V': case 'a': case 'd': case 'e': case 'r':
    case 't': case 'u': case '{':
      return c.Whole(3);
    case '$': case '\\': case 'c':
      return c.Whole(4);
    case 'p':
      return c.Whole(5);
    case 'W':
      return c.Whole(10);
    case 'D':
      return TabPositions(c);
    case '&':
      return UserDefinedCharacters(c);
    case '*':
      return BitImage(c);
    case '(':
      return LengthPrefixedFunction(c);
    default:
      return UnknownCommand(c);
  }
}

std::size_t GsCommandLength(const Cursor& c) {
  if (!c.Has(2)) return kLengthUnknown;
  switch (c.At(1)) {
    case ':': case 'c':
      return 2;
    case '!': case '/': case 'B': case 'H': case 'I': case 'T': case 'a': case 'b': case 'f':
    case 'h': case 'j': case 'r': case 'w':
      return c.Whole(3);
    case '$': case 'L': case 'P': case 'W': case '\\': case 'z':
      return c.Whole(4);
    case '^':
      return c.Whole(5);
    case 'g':
      return c.Whole(6);
    case '(':
      return LengthPrefixedFunction(c);
    case '*': {  // GS * x y d1 ... d(x*y*8): a downloaded bit image
      if (!c.Has(4)) return kLengthUnknown;
      return c.Whole(4 + std::size_t{c.At(2)} * c.At(3) * 8);
    }
    case '8': {  // GS 8 L p1 p2 p3 p4 ...: the 32-bit length form of GS (
      if (!c.Has(7)) return kLengthUnknown;
      std::size_t length = 0;
      for (std::size_t i = 0; i < 4; ++i) length |= std::size_t{c.At(3 + i)} << (8 * i);
      // A length near the top of size_t (a 32-bit build) is past any stream anyway.
      if (length > SIZE_MAX - 7) return SIZE_MAX;
      return c.Whole(7 + length);
    }
    case 'V': {
      if (!c.Has(3)) return kLengthUnknown;
      return c.Whole(CutTakesFeed(c.At(2)) ? 4 : 3);
    }
    case 'k': {  // GS k m d1 ... NUL (m 0..6) or GS k m n d1 ... dn (m 65..)
      if (!c.Has(3)) return kLengthUnknown;
      if (c.At(2) <= 6) {
        for (std::size_t i = 3; i < c.Size() && i <= 3 + kMostBarcodeData; ++i) {
          if (c.At(i) == 0) return i + 1;
        }
        return c.Has(4 + kMostBarcodeData) ? 3 + kMostBarcodeData : kLengthUnknown;
      }
      if (!c.Has(4)) return kLengthUnknown;
      return c.Whole(4 + std::size_t{c.At(3)});
    }
    case 'Q':    // GS Q 0 m xL xH yL yH d1 ... d(x*y): a column image of variable height
    case 'v': {  // GS v 0 m xL xH yL yH d1 ... d(x*y): a raster image
      if (!c.Has(3)) return kLengthUnknown;
      if (c.At(2) != '0') return UnknownCommand(c);
      std::size_t bytesPerRow = 0;
      std::size_t rows = 0;
      if (!c.Word(4, &bytesPerRow) || !c.Word(6, &rows)) return kLengthUnknown;
      return c.Whole(8 + bytesPerRow * rows);
    }
    default:
      return UnknownCommand(c);
  }
}

std::size_t FsCommandLength(const Cursor& c) {
  if (!c.Has(2)) return kLengthUnknown;
  switch (c.At(1)) {
    case '&': case '.':
      return 2;
    case '!': case '-': case 'C': case 'W':
      return c.Whole(3);
    case 'S': case 'p':
      return c.Whole(4);
    case 'q':
      return NvBitImages(c);
    default:
      return UnknownCommand(c);
  }
}

// Real-time commands: DLE EOT n and DLE ENQ n ask or tell the printer something at once,
// DLE DC4 fn m t pulses a drawer (fn 1) or powers off (fn 2). A DLE that begins none of
// them is a lone control byte; whether it is one is known with the byte after it.
std::size_t DleCommandLength(const Cursor& c) {
  if (!c.Has(2)) return kLengthUnknown;
  switch (c.At(1)) {
    case 0x04: case 0x05:
      return c.Whole(3);
    case 0x14:
      return c.Whole(5);
    default:
      return 1;
  }
}

}  // namespace

bool CutTakesFeed(std::uint8_t mode) {
  return mode == 65 || mode == 66 || mode == 97 || mode == 98 || mode == 103 || mode == 104;
}
bool IsCutWithoutFeed(std::uint8_t mode) {
  return mode == 0 || mode == 1 || mode == 48 || mode == 49;
}

bool IsCut(const std::uint8_t* command, std::size_t length) {
  if (length < 2) return false;
  if (command[0] == kEsc) return command[1] == 'i' || command[1] == 'm';
  return command[0] == kGs && command[1] == 'V' && length >= 3 &&
         (IsCutWithoutFeed(command[2]) || CutTakesFeed(command[2]));
}


namespace {

bool BeginsCommand(std::uint8_t byte) { return byte == kEsc || byte == kGs || byte == kFs || byte == kDle; }

}  // namespace

std::size_t CommandLength(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return kLengthUnknown;
  const Cursor command(data, size);
  switch (data[0]) {
    case kEsc: return EscCommandLength(command);
    case kGs: return GsCommandLength(command);
    case kFs: return FsCommandLength(command);
    case kDle: return DleCommandLength(command);
    default: return 1;
  }
}

void PrintedCommands::Feed(const std::uint8_t* data, std::size_t size, Effects* effects) {
  FeedAt(data, size, fed_, effects);
  fed_ += size;
}

void PrintedCommands::FeedAt(const std::uint8_t* data, std::size_t size, std::uint64_t offset,
                             Effects* effects) {
  std::size_t at = 0;
  while (at < size) {
    if (skip_ > 0) {
      const std::size_t passed = std::min(skip_, size - at);
      skip_ -= passed;
      at += passed;
      continue;
    }
    if (nvImagesLeft_ > 0) {
      // The header of the next image of an FS q, then its data passed over: an image of any
      // size is measured as the renderer measures it, holding no more than its header.
      nvHeader_[nvHeaderBytes_++] = data[at++];
      if (nvHeaderBytes_ == sizeof nvHeader_) {
        skip_ = NvImageDataSize(nvHeader_[0] | std::size_t{nvHeader_[1]} << 8, nvHeader_[2] | std::size_t{nvHeader_[3]} << 8);
        nvHeaderBytes_ = 0;
        --nvImagesLeft_;
      }
      continue;
    }
    if (!held_.empty()) {
      // One more byte of a command that had not all come: measure it again.
      held_.push_back(data[at++]);
      if (BeginsNvBitImages(held_.data(), held_.size())) {
        held_.clear();
        continue;
      }
      const std::size_t length = CommandLength(held_.data(), held_.size());
      if (length == kLengthUnknown) {
        // Never ends: the printer gives the command up and reads on.
        if (held_.size() >= kMostHeldBytes) held_.clear();
      } else if (length <= held_.size()) {
        // Known only once a byte past its end came (ESC D without NUL): that byte is read
        // again as the beginning of what follows.
        // held_ ends with data[at - 1].
        const std::uint64_t heldBegins = offset + at - held_.size();
        Act(held_.data(), length, heldBegins + length, effects);
        const std::vector<std::uint8_t> after(held_.begin() + static_cast<std::ptrdiff_t>(length), held_.end());
        held_.clear();
        FeedAt(after.data(), after.size(), heldBegins + length, effects);
      } else if (length > kMostHeldBytes) {
        skip_ = length - held_.size();  // a large image, say: passed over unread
        held_.clear();
      }
      continue;
    }
    // Text and the one-byte commands do nothing beyond the paper: passed over in one step.
    while (at < size && !BeginsCommand(data[at])) ++at;
    if (at == size) break;
    const std::size_t rest = size - at;
    if (BeginsNvBitImages(data + at, rest)) {
      at += kNvBitImagesHead;
      continue;
    }
    // Measured within kMostHeldBytes, as a held command is, so that where the pieces
    // begin and end changes nothing.
    const std::size_t length = CommandLength(data + at, std::min(rest, kMostHeldBytes));
    if (length != kLengthUnknown && length <= rest) {
      Act(data + at, length, offset + at + length, effects);
      at += length;
    } else if (length != kLengthUnknown && length > kMostHeldBytes) {
      skip_ = length - rest;
      at = size;
    } else if (rest < kMostHeldBytes) {
      held_.assign(data + at, data + size);
      at = size;
    } else {
      at += kMostHeldBytes;  // a command that does not end within kMostHeldBytes: given up
    }
  }
}

// FS q n: NV bit images follow, each with its header.
bool PrintedCommands::BeginsNvBitImages(const std::uint8_t* command, std::size_t size) {
  if (size < kNvBitImagesHead || command[0] != kFs || command[1] != 'q') return false;
  nvImagesLeft_ = command[2];
  return true;
}

// ESC p m t1 t2: a pulse on drawer pin 2 (m 0 or 48) or 5 (m 1 or 49).
void PrintedCommands::Act(const std::uint8_t* command, std::size_t length, std::uint64_t end,
                          Effects* effects) const {
  if (length == 5 && command[0] == kEsc && command[1] == 'p') {
    const std::uint8_t pin = command[2];
    if (pin == 0 || pin == 1 || pin == 48 || pin == 49) ++effects->drawerPulses;
  }
  if (IsCut(command, length)) effects->cutEnds.push_back(end);
}

}  // namespace printersim
