// A Linux console font (PSF version 1 or 2, gzip-compressed or not), as Debian's
// console-setup-linux ships them under /usr/share/consolefonts: fixed-size bitmap glyphs and
// the table that says which Unicode characters each glyph shows. Glyphs are not in code
// order in these fonts, so a character is always looked up through the table.
#ifndef PRINTERSIM_CONSOLEFONT_H
#define PRINTERSIM_CONSOLEFONT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace printersim {

class ConsoleFont {
 public:
  // Reads the font at `path`; false, with the reason in *error, when the file is missing,
  // unreadable or not a console font that fits in its own bytes.
  bool Load(const std::string& path, std::string* error);

  int Width() const { return width_; }
  int Height() const { return height_; }

  // The glyph that shows `codePoint`, or null for a character the font lacks. Valid as long
  // as the font.
  const std::uint8_t* Glyph(char32_t codePoint) const;

  // Whether the dot at column x, row y of a glyph is black.
  bool Dot(const std::uint8_t* glyph, int x, int y) const;

 private:
  bool Parse(const std::vector<std::uint8_t>& file, std::string* error);
  void ParsePsf1Table(const std::vector<std::uint8_t>& file, std::size_t at);
  void ParsePsf2Table(const std::vector<std::uint8_t>& file, std::size_t at);
  void Map(char32_t codePoint, std::size_t glyph);

  int width_ = 0;
  int height_ = 0;
  std::size_t rowBytes_ = 0;
  std::size_t glyphBytes_ = 0;
  std::size_t glyphCount_ = 0;
  std::vector<std::uint8_t> glyphs_;  // glyphCount_ * glyphBytes_
  std::unordered_map<char32_t, std::size_t> glyphOf_;
  bool hasTable_ = false;
};

}  // namespace printersim

#endif  // PRINTERSIM_CONSOLEFONT_H
