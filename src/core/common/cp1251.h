#pragma once
// Windows-1251, the single-byte code page of every text the unit's files hold.
#include <string>
#include <string_view>

namespace tagris {

// UTF-8 to Windows-1251; a character the code page lacks becomes '?'.
std::string Utf8ToCp1251(std::string_view utf8);
// Windows-1251 to UTF-8; the unassigned byte 0x98 becomes U+FFFD.
std::string Cp1251ToUtf8(std::string_view cp1251);
// The Unicode code point of one Windows-1251 byte (0xFFFD for 0x98).
char32_t Cp1251ToUnicode(unsigned char c);
// The Windows-1251 byte of a code point, or -1 where there is none.
int UnicodeToCp1251(char32_t u);

}  // namespace tagris
