#pragma once
// Number masks and dates as the unit's texts and files show them.
#include <string>
#include <string_view>

namespace tagris {

// Renders v with a mask of '#', '0' and '.':
// '0' is a digit always written, '#' a digit written only where the value has one,
// '.' the decimal point (always "."). The value is rounded half away from zero at the
// mask's last decimal, after being written with 18 significant digits, so 0.25 with
// "#0.0" gives "0.3". Integer digits beyond the mask are written in full; a zero
// integer part with no '0' before the point gives no digit (0.5, "#####.0" -> ".5").
// A negative value gets a leading '-', also when it rounds to zero.
// NaN and infinities give "NAN", "INF" and "-INF".
std::string FormatFloat(std::string_view mask, double v);

// "dd.mm.yyyy".
std::string FormatDate(int year, int month, int day);

// "hh:mm:ss", the time of day of sample rows.
std::string FormatTime(int hour, int minute, int second);

// " 0xHH" for each byte: the hexadecimal trace of frames.
void AppendHexBytes(std::string& out, const unsigned char* bytes, std::size_t count);

}  // namespace tagris
