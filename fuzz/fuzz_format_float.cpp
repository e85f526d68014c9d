// Arbitrary doubles through every mask the program uses: no crash, no undefined
// behaviour, a text of the mask's shape that reads back as the rounded value.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/convert.h"
#include "common/numfmt.h"

namespace {

struct MaskInfo {
  const char* mask;
  int decimals;
};

const MaskInfo kMasks[] = {{"#00.0", 1},     {"####0", 0},      {"#####.0", 1}, {"#000000.0", 1},
                           {"#000.0000", 4}, {"######0.0", 1}, {"##0.0", 1},   {"#0.0", 1},
                           {"#0", 0}};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 + sizeof(double)) return 0;
  const MaskInfo& m = kMasks[data[0] % (sizeof kMasks / sizeof kMasks[0])];
  double v;
  std::memcpy(&v, data + 1, sizeof v);
  const std::string text = tagris::FormatFloat(m.mask, v);
  if (std::isnan(v)) {
    if (text != "NAN") std::abort();
    return 0;
  }
  if (std::isinf(v)) {
    if (text != (v < 0 ? "-INF" : "INF")) std::abort();
    return 0;
  }
  // Shape: optional '-', digits, and exactly `decimals` digits after a point.
  std::size_t i = text[0] == '-' ? 1 : 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  if (m.decimals > 0) {
    if (i >= text.size() || text[i] != '.') std::abort();
    if (text.size() - i - 1 != static_cast<std::size_t>(m.decimals)) std::abort();
    for (++i; i < text.size(); ++i)
      if (text[i] < '0' || text[i] > '9') std::abort();
  } else if (i != text.size()) {
    std::abort();
  }
  // Value: within half a unit of the last decimal (plus the 18-digit rounding).
  const auto back = tagris::TryStrToFloat(text);
  if (!back) std::abort();
  const double half = 0.5 * std::pow(10.0, -m.decimals);
  const double tolerance = half + std::fabs(v) * 1e-15 + 1e-300;
  if (std::fabs(*back - v) > tolerance) std::abort();
  return 0;
}
