#include "common/numfmt.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tagris {

namespace {

struct Mask {
  int minIntDigits = 0;   // digits before the point that are always written
  int minDecimals = 0;    // '0' after the point
  int maxDecimals = 0;    // '0' and '#' after the point
  bool hasPoint = false;
};

Mask ParseMask(std::string_view mask) {
  Mask m;
  const auto point = mask.find('.');
  const std::string_view intPart = mask.substr(0, point);
  const auto firstZero = intPart.find('0');
  if (firstZero != std::string_view::npos) m.minIntDigits = static_cast<int>(intPart.size() - firstZero);
  if (point != std::string_view::npos) {
    m.hasPoint = true;
    const std::string_view dec = mask.substr(point + 1);
    int lastZero = 0;
    for (std::size_t i = 0; i < dec.size(); ++i) {
      if (dec[i] == '0') lastZero = static_cast<int>(i) + 1;
      if (dec[i] == '0' || dec[i] == '#') m.maxDecimals = static_cast<int>(i) + 1;
    }
    m.minDecimals = lastZero;
  }
  return m;
}

}  // namespace

std::string FormatFloat(std::string_view mask, double v) {
  if (std::isnan(v)) return "NAN";
  if (std::isinf(v)) return v < 0 ? "-INF" : "INF";
  const Mask m = ParseMask(mask);

  // 18 significant digits: d.ddddddddddddddddde±x
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17e", std::fabs(v));
  std::string digits;
  const char* p = buf;
  for (; *p && *p != 'e'; ++p)
    if (*p >= '0' && *p <= '9') digits.push_back(*p);
  const int exp10 = (*p == 'e') ? std::atoi(p + 1) : 0;

  // Place the digits: intDigits digits belong before the point.
  int intCount = exp10 + 1;  // may be <= 0 for values below 1
  std::string intStr, decStr;
  if (intCount > 0) {
    if (intCount <= static_cast<int>(digits.size())) {
      intStr = digits.substr(0, intCount);
      decStr = digits.substr(intCount);
    } else {
      intStr = digits + std::string(intCount - digits.size(), '0');
    }
  } else {
    decStr = std::string(-intCount, '0') + digits;
  }

  // Round half up at maxDecimals on the 18-digit text.
  if (static_cast<int>(decStr.size()) > m.maxDecimals) {
    const bool up = decStr[m.maxDecimals] >= '5';
    decStr.resize(m.maxDecimals);
    if (up) {
      std::string all = intStr + decStr;
      int i = static_cast<int>(all.size()) - 1;
      for (; i >= 0; --i) {
        if (all[i] == '9') { all[i] = '0'; } else { ++all[i]; break; }
      }
      if (i < 0) all.insert(all.begin(), '1');
      const std::size_t newInt = all.size() - decStr.size();
      intStr = all.substr(0, newInt);
      decStr = all.substr(newInt);
    }
  }
  // Drop optional trailing decimals that are zero.
  while (static_cast<int>(decStr.size()) > m.minDecimals && !decStr.empty() && decStr.back() == '0') decStr.pop_back();
  while (static_cast<int>(decStr.size()) < m.minDecimals) decStr.push_back('0');

  // Strip leading zeros of the integer part, then pad to the mask's minimum.
  std::size_t nz = intStr.find_first_not_of('0');
  intStr = (nz == std::string::npos) ? std::string() : intStr.substr(nz);
  while (static_cast<int>(intStr.size()) < m.minIntDigits) intStr.insert(intStr.begin(), '0');

  // Every negative value keeps its sign, also one that rounds to zero ("-00.0").
  std::string out;
  if (v < 0) out.push_back('-');
  out += intStr;
  if (m.hasPoint && !decStr.empty()) {
    out.push_back('.');
    out += decStr;
  }
  if (out.empty() || out == "-") out += "0";
  return out;
}

std::string FormatDate(int year, int month, int day) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", day, month, year);
  return buf;
}

std::string FormatTime(int hour, int minute, int second) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", hour, minute, second);
  return buf;
}

void AppendHexBytes(std::string& out, const unsigned char* bytes, std::size_t count) {
  static const char kHex[] = "0123456789ABCDEF";
  for (std::size_t i = 0; i < count; ++i) {
    out += " 0x";
    out.push_back(kHex[bytes[i] >> 4]);
    out.push_back(kHex[bytes[i] & 0x0F]);
  }
}

}  // namespace tagris
