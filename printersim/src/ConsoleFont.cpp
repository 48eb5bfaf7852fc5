#include "ConsoleFont.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace printersim {

namespace {

// Console fonts are a few kilobytes; anything far larger is not one.
constexpr std::size_t kMaxFontFileSize = 4u << 20;
constexpr int kMaxGlyphSize = 64;

constexpr std::uint8_t kPsf1Magic[] = {0x36, 0x04};
constexpr std::uint8_t kPsf1Has512Glyphs = 0x01;
constexpr std::uint8_t kPsf1HasTable = 0x02;
constexpr std::uint8_t kPsf1HasSequences = 0x04;
constexpr std::uint16_t kPsf1Separator = 0xFFFF;
constexpr std::uint16_t kPsf1SequenceStart = 0xFFFE;

constexpr std::uint8_t kPsf2Magic[] = {0x72, 0xB5, 0x4A, 0x86};
constexpr std::size_t kPsf2HeaderSize = 32;
constexpr std::uint32_t kPsf2HasTable = 0x01;
constexpr std::uint8_t kPsf2Separator = 0xFF;
constexpr std::uint8_t kPsf2SequenceStart = 0xFE;

struct GzCloser {
  void operator()(gzFile_s* file) const { gzclose(file); }
};

// The whole file, inflated when it is gzip-compressed (zlib reads a plain file as it is).
bool ReadFontFile(const std::string& path, std::vector<std::uint8_t>* bytes, std::string* error) {
  errno = 0;
  std::unique_ptr<gzFile_s, GzCloser> file(gzopen(path.c_str(), "rb"));
  if (!file) {
    *error = "cannot open the receipt font " + path + ": " +
             (errno != 0 ? std::strerror(errno) : "out of memory");
    return false;
  }
  std::uint8_t chunk[8192];
  for (;;) {
    const int got = gzread(file.get(), chunk, sizeof chunk);
    if (got < 0) {
      *error = "cannot read the receipt font " + path;
      return false;
    }
    if (got == 0) break;
    bytes->insert(bytes->end(), chunk, chunk + got);
    if (bytes->size() > kMaxFontFileSize) {
      *error = path + " is too large to be a console font";
      return false;
    }
  }
  return true;
}

std::uint32_t Le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

bool StartsWith(const std::vector<std::uint8_t>& b, const std::uint8_t* magic, std::size_t size) {
  return b.size() >= size && std::memcmp(b.data(), magic, size) == 0;
}

// One UTF-8 character at b[*at], advancing past it; false (advancing one byte) for a byte
// that does not begin a well-formed character.
bool NextUtf8(const std::vector<std::uint8_t>& b, std::size_t end, std::size_t* at,
              char32_t* codePoint) {
  const std::uint8_t lead = b[*at];
  std::size_t extra = 0;
  char32_t value = 0;
  if (lead < 0x80) {
    value = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1;
    value = lead & 0x1Fu;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2;
    value = lead & 0x0Fu;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3;
    value = lead & 0x07u;
  } else {
    ++*at;
    return false;
  }
  if (*at + extra >= end) {
    ++*at;
    return false;
  }
  for (std::size_t i = 1; i <= extra; ++i) {
    const std::uint8_t next = b[*at + i];
    if ((next & 0xC0) != 0x80) {
      ++*at;
      return false;
    }
    value = value << 6 | (next & 0x3Fu);
  }
  *at += extra + 1;
  *codePoint = value;
  return true;
}

}  // namespace

bool ConsoleFont::Load(const std::string& path, std::string* error) {
  std::vector<std::uint8_t> file;
  if (!ReadFontFile(path, &file, error)) return false;
  if (!Parse(file, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

bool ConsoleFont::Parse(const std::vector<std::uint8_t>& file, std::string* error) {
  std::size_t glyphStart = 0;
  std::size_t glyphsEnd = 0;
  if (StartsWith(file, kPsf1Magic, sizeof kPsf1Magic) && file.size() >= 4) {
    const std::uint8_t mode = file[2];
    width_ = 8;
    height_ = file[3];
    rowBytes_ = 1;
    glyphCount_ = (mode & kPsf1Has512Glyphs) != 0 ? 512 : 256;
    glyphStart = 4;
    hasTable_ = (mode & (kPsf1HasTable | kPsf1HasSequences)) != 0;
  } else if (StartsWith(file, kPsf2Magic, sizeof kPsf2Magic) && file.size() >= kPsf2HeaderSize) {
    const std::uint32_t headerSize = Le32(file, 8);
    const std::uint32_t flags = Le32(file, 12);
    const std::uint32_t count = Le32(file, 16);
    const std::uint32_t charSize = Le32(file, 20);
    const std::uint32_t height = Le32(file, 24);
    const std::uint32_t width = Le32(file, 28);
    if (width == 0 || width > kMaxGlyphSize || height == 0 || height > kMaxGlyphSize ||
        headerSize < kPsf2HeaderSize || headerSize > file.size() || count > file.size()) {
      *error = "not a usable PSF2 font header";
      return false;
    }
    width_ = static_cast<int>(width);
    height_ = static_cast<int>(height);
    rowBytes_ = (width + 7) / 8;
    if (charSize != rowBytes_ * height) {
      *error = "PSF2 glyph size does not match its width and height";
      return false;
    }
    glyphCount_ = count;
    glyphStart = headerSize;
    hasTable_ = (flags & kPsf2HasTable) != 0;
  } else {
    *error = "not a PSF console font";
    return false;
  }
  if (height_ == 0 || height_ > kMaxGlyphSize || glyphCount_ == 0) {
    *error = "the font has no usable glyphs";
    return false;
  }
  glyphBytes_ = rowBytes_ * static_cast<std::size_t>(height_);
  glyphsEnd = glyphStart + glyphCount_ * glyphBytes_;
  if (glyphsEnd > file.size()) {
    *error = "the font file ends inside its glyphs";
    return false;
  }
  glyphs_.assign(file.begin() + static_cast<std::ptrdiff_t>(glyphStart),
                 file.begin() + static_cast<std::ptrdiff_t>(glyphsEnd));
  if (hasTable_) {
    if (file[0] == kPsf1Magic[0]) {
      ParsePsf1Table(file, glyphsEnd);
    } else {
      ParsePsf2Table(file, glyphsEnd);
    }
  }
  return true;
}

// Per glyph: 16-bit little-endian code points, then optional sequences each begun by
// 0xFFFE, then 0xFFFF. A sequence stands for a combination of characters, which a receipt
// never needs; only the single characters before the first sequence are mapped.
void ConsoleFont::ParsePsf1Table(const std::vector<std::uint8_t>& file, std::size_t at) {
  std::size_t glyph = 0;
  bool inSequence = false;
  for (; at + 1 < file.size() && glyph < glyphCount_; at += 2) {
    const std::uint16_t value = static_cast<std::uint16_t>(file[at] | file[at + 1] << 8);
    if (value == kPsf1Separator) {
      ++glyph;
      inSequence = false;
    } else if (value == kPsf1SequenceStart) {
      inSequence = true;
    } else if (!inSequence) {
      Map(value, glyph);
    }
  }
}

// Per glyph: UTF-8 characters, then optional sequences each begun by 0xFE, then 0xFF.
void ConsoleFont::ParsePsf2Table(const std::vector<std::uint8_t>& file, std::size_t at) {
  std::size_t glyph = 0;
  bool inSequence = false;
  while (at < file.size() && glyph < glyphCount_) {
    const std::uint8_t byte = file[at];
    if (byte == kPsf2Separator) {
      ++glyph;
      inSequence = false;
      ++at;
    } else if (byte == kPsf2SequenceStart) {
      inSequence = true;
      ++at;
    } else {
      char32_t codePoint = 0;
      if (NextUtf8(file, file.size(), &at, &codePoint) && !inSequence) Map(codePoint, glyph);
    }
  }
}

void ConsoleFont::Map(char32_t codePoint, std::size_t glyph) {
  glyphOf_.emplace(codePoint, glyph);  // the first glyph named for a character wins
}

const std::uint8_t* ConsoleFont::Glyph(char32_t codePoint) const {
  std::size_t glyph = 0;
  if (hasTable_) {
    auto found = glyphOf_.find(codePoint);
    if (found == glyphOf_.end()) return nullptr;
    glyph = found->second;
  } else {
    // Without a table the glyphs are in code order.
    if (codePoint >= glyphCount_) return nullptr;
    glyph = codePoint;
  }
  return glyphs_.data() + glyph * glyphBytes_;
}

bool ConsoleFont::Dot(const std::uint8_t* glyph, int x, int y) const {
  if (glyph == nullptr || x < 0 || x >= width_ || y < 0 || y >= height_) return false;
  const std::uint8_t row = glyph[static_cast<std::size_t>(y) * rowBytes_ + static_cast<std::size_t>(x) / 8];
  return (row & (0x80u >> (x % 8))) != 0;
}

}  // namespace printersim
