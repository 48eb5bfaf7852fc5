// The characters a printer prints for the bytes of its text: the character code table that
// ESC t selects gives the upper 128 bytes, the international character set that ESC R selects
// replaces twelve of the lower ones.
#ifndef PRINTERSIM_CODEPAGES_H
#define PRINTERSIM_CODEPAGES_H

#include <cstdint>
#include <vector>

namespace printersim {

// What U+FFFD stands for: a byte the table names no character for.
constexpr char32_t kNoCharacter = U'\uFFFD';

struct CodeTable {
  int number;        // n of ESC t n
  const char* name;  // the table's name in the C library's iconv, null for Katakana
};

// The tables ESC t selects on this printer.
const std::vector<CodeTable>& CodeTables();
bool IsCodeTable(int number);
bool IsInternationalSet(int number);

// The character `byte` (0x20 and above) prints as. Tables come from iconv, converted once
// and kept; the Katakana table is JIS X 0201's upper half, which iconv has no name for.
char32_t CharacterOf(std::uint8_t byte, int codeTable, int internationalSet);

}  // namespace printersim

#endif  // PRINTERSIM_CODEPAGES_H
