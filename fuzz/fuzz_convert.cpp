// Arbitrary text through the text-to-number conversions: no crash, no undefined
// behaviour, and the two conversions agree where both accept the text.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "common/convert.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto i = tagris::TryStrToInt(text);
  const auto f = tagris::TryStrToFloat(text);
  if (i) {
    // Every integer text is also a number text, of the same value.
    if (!f || *f != static_cast<double>(*i)) std::abort();
  }
  if (f && !std::isfinite(*f)) std::abort();
  try {
    (void)tagris::StrToFloat(text);
    if (!f) std::abort();
  } catch (const tagris::ConversionError&) {
    if (f) std::abort();
  }
  return 0;
}
