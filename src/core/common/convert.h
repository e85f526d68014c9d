#pragma once
// Text-to-number conversions of the window's input fields. They throw
// ConversionError with the message the operator sees in the error box.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tagris {

class ConversionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Optional leading blanks, an optional sign and decimal digits, within the signed
// 32-bit range. Throws "'<text>' is not a valid integer value".
std::int32_t StrToInt(std::string_view text);
std::optional<std::int32_t> TryStrToInt(std::string_view text);

// Optional leading blanks, an optional sign, a non-empty run of digits with at most
// one '.', an optional exponent (E or e, optional sign, digits) and trailing blanks.
// A lone "." is 0. Throws "'<text>' is not a valid floating point value".
double StrToFloat(std::string_view text);
std::optional<double> TryStrToFloat(std::string_view text);

}  // namespace tagris
