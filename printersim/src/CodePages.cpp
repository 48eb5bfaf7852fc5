#include "CodePages.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <map>
#include <mutex>

namespace printersim {

namespace {

using UpperHalf = std::array<char32_t, 128>;

// The international sets replace these bytes of ASCII.
constexpr std::uint8_t kNationalBytes[12] = {0x23, 0x24, 0x40, 0x5B, 0x5C, 0x5D,
                                             0x5E, 0x60, 0x7B, 0x7C, 0x7D, 0x7E};

// ESC R n for n = 0..13, at the bytes above. The C library's ISO 646 tables agree with the
// printers' for Germany, Denmark I, Sweden and Korea only (France's has a pound sign where
// the printer has '#', the UK's an overline at 0x7E, ...), so the printers' sets are spelt
// out here.
constexpr char32_t kNationalSets[14][12] = {
    {U'#', U'$', U'@', U'[', U'\\', U']', U'^', U'`', U'{', U'|', U'}', U'~'},               // USA
    {U'#', U'$', U'à', U'°', U'ç', U'§', U'^', U'`', U'é', U'ù', U'è', U'¨'},                // France
    {U'#', U'$', U'§', U'Ä', U'Ö', U'Ü', U'^', U'`', U'ä', U'ö', U'ü', U'ß'},                // Germany
    {U'£', U'$', U'@', U'[', U'\\', U']', U'^', U'`', U'{', U'|', U'}', U'~'},               // UK
    {U'#', U'$', U'@', U'Æ', U'Ø', U'Å', U'^', U'`', U'æ', U'ø', U'å', U'~'},                // Denmark I
    {U'#', U'¤', U'É', U'Ä', U'Ö', U'Å', U'Ü', U'é', U'ä', U'ö', U'å', U'ü'},                // Sweden
    {U'#', U'$', U'@', U'°', U'\\', U'é', U'^', U'ù', U'à', U'ò', U'è', U'ì'},               // Italy
    {U'\u20A7', U'$', U'@', U'¡', U'Ñ', U'¿', U'^', U'`', U'¨', U'ñ', U'}', U'~'},           // Spain I
    {U'#', U'$', U'@', U'[', U'¥', U']', U'^', U'`', U'{', U'|', U'}', U'~'},                // Japan
    {U'#', U'¤', U'É', U'Æ', U'Ø', U'Å', U'Ü', U'é', U'æ', U'ø', U'å', U'ü'},                // Norway
    {U'#', U'$', U'É', U'Æ', U'Ø', U'Å', U'Ü', U'é', U'æ', U'ø', U'å', U'ü'},                // Denmark II
    {U'#', U'$', U'á', U'¡', U'Ñ', U'¿', U'é', U'`', U'í', U'ñ', U'ó', U'ú'},                // Spain II
    {U'#', U'$', U'á', U'¡', U'Ñ', U'¿', U'é', U'ü', U'í', U'ñ', U'ó', U'ú'},                // Latin America
    {U'#', U'$', U'@', U'[', U'\u20A9', U']', U'^', U'`', U'{', U'|', U'}', U'~'},           // Korea
};

const std::vector<CodeTable> kTables = {
    {0, "CP437"},   {1, nullptr},   {2, "CP850"},   {3, "CP860"},   {4, "CP863"},
    {5, "CP865"},   {13, "CP857"},  {14, "CP737"},  {15, "ISO-8859-7"}, {16, "CP1252"},
    {17, "CP866"},  {18, "CP852"},  {19, "CP858"},  {33, "CP775"},  {34, "CP855"},
    {35, "CP861"},  {36, "CP862"},  {37, "CP864"},  {38, "CP869"},  {39, "ISO-8859-2"},
    {40, "ISO-8859-15"}, {44, "CP1125"}, {45, "CP1250"}, {46, "CP1251"}, {47, "CP1253"},
    {48, "CP1254"}, {49, "CP1255"}, {50, "CP1256"}, {51, "CP1257"}, {52, "CP1258"},
};

const char* NameOf(int table) {
  for (const CodeTable& each : kTables) {
    if (each.number == table) return each.name;
  }
  return nullptr;
}

// A control character or a byte without a character prints as the box of a missing one.
char32_t Printable(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0) ? kNoCharacter : c; }

// JIS X 0201: 0xA1..0xDF are the half-width katakana; the rest of the upper half has none.
UpperHalf Katakana() {
  UpperHalf half;
  for (int b = 0x80; b < 0x100; ++b) {
    half[static_cast<std::size_t>(b - 0x80)] =
        b >= 0xA1 && b <= 0xDF ? static_cast<char32_t>(0xFF61 + (b - 0xA1)) : kNoCharacter;
  }
  return half;
}

// Each upper byte alone through iconv into UTF-32.
UpperHalf Converted(const char* name) {
  UpperHalf half;
  half.fill(kNoCharacter);
  iconv_t cd = iconv_open("UTF-32LE", name);
  if (cd == reinterpret_cast<iconv_t>(-1)) return half;
  for (int b = 0x80; b < 0x100; ++b) {
    char in = static_cast<char>(b);
    unsigned char out[16] = {};
    char* inAt = &in;
    std::size_t inLeft = 1;
    char* outAt = reinterpret_cast<char*>(out);
    std::size_t outLeft = sizeof out;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a fresh shift state for each byte
    // Converters of tables with combining marks (WPC1255, WPC1258) hold a character back
    // until they know no mark follows: the flush hands it over.
    const std::size_t done = iconv(cd, &inAt, &inLeft, &outAt, &outLeft);
    if (done == static_cast<std::size_t>(-1) ||
        iconv(cd, nullptr, nullptr, &outAt, &outLeft) == static_cast<std::size_t>(-1) ||
        sizeof out - outLeft != 4) {
      continue;
    }
    const char32_t c = static_cast<char32_t>(out[0] | (out[1] << 8) | (out[2] << 16) | (out[3] << 24));
    half[static_cast<std::size_t>(b - 0x80)] = Printable(c);
  }
  iconv_close(cd);
  return half;
}

const UpperHalf& UpperHalfOf(int table) {
  static std::mutex guard;
  static std::map<int, UpperHalf> converted;
  std::lock_guard<std::mutex> lock(guard);
  auto found = converted.find(table);
  if (found == converted.end()) {
    const char* name = NameOf(table);
    found = converted.emplace(table, name == nullptr ? Katakana() : Converted(name)).first;
  }
  return found->second;
}

}  // namespace

const std::vector<CodeTable>& CodeTables() { return kTables; }

bool IsCodeTable(int number) {
  for (const CodeTable& each : kTables) {
    if (each.number == number) return true;
  }
  return false;
}

bool IsInternationalSet(int number) { return number >= 0 && number < 14; }

char32_t CharacterOf(std::uint8_t byte, int codeTable, int internationalSet) {
  if (byte >= 0x80) return UpperHalfOf(IsCodeTable(codeTable) ? codeTable : 0)[byte - 0x80u];
  if (byte < 0x20 || byte == 0x7F) return kNoCharacter;
  const int set = IsInternationalSet(internationalSet) ? internationalSet : 0;
  for (std::size_t i = 0; i < sizeof kNationalBytes; ++i) {
    if (kNationalBytes[i] == byte) return kNationalSets[set][i];
  }
  return byte;
}

}  // namespace printersim
