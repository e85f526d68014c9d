#include "common/convert.h"

#include <algorithm>
#include <charconv>
#include <string>

namespace tagris {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Power of ten of the leading digit of a plain number text (digits, at most one '.',
// optional exponent): tells a value too large for a double from one too small,
// whether the size comes from the exponent or from a long run of digits.
long long DecimalOrder(const char* first, const char* last) {
  const char* e = std::find(first, last, 'e');
  const char* point = std::find(first, e, '.');
  const char* lead = std::find_if(first, e, [](char c) { return c >= '1' && c <= '9'; });
  if (lead == e) return 0;
  long long order = lead < point ? (point - lead) - 1 : -(lead - point);
  if (e != last) {
    const char* q = e + 1;
    const bool negative = *q == '-';
    if (*q == '+' || *q == '-') ++q;
    long long exponent = 0;
    for (; q < last; ++q) exponent = std::min(exponent * 10 + (*q - '0'), 1'000'000'000LL);
    order += negative ? -exponent : exponent;
  }
  return order;
}

}  // namespace

std::optional<std::int32_t> TryStrToInt(std::string_view t) {
  std::size_t i = 0;
  while (i < t.size() && t[i] == ' ') ++i;
  bool neg = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
  if (i >= t.size()) return std::nullopt;
  std::int64_t v = 0;
  for (; i < t.size(); ++i) {
    if (!IsDigit(t[i])) return std::nullopt;
    v = v * 10 + (t[i] - '0');
    if (v > 2147483648LL) return std::nullopt;
  }
  if (neg) v = -v;
  if (v > INT32_MAX || v < INT32_MIN) return std::nullopt;
  return static_cast<std::int32_t>(v);
}

std::int32_t StrToInt(std::string_view t) {
  if (auto v = TryStrToInt(t)) return *v;
  throw ConversionError("'" + std::string(t) + "' is not a valid integer value");
}

std::optional<double> TryStrToFloat(std::string_view t) {
  std::size_t i = 0;
  while (i < t.size() && t[i] == ' ') ++i;
  std::string clean;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) clean.push_back(t[i++]);
  std::size_t run = 0;
  bool point = false;
  for (; i < t.size() && (IsDigit(t[i]) || t[i] == '.'); ++i, ++run) {
    if (t[i] == '.') {
      if (point) return std::nullopt;
      point = true;
    }
    clean.push_back(t[i]);
  }
  if (run == 0) return std::nullopt;
  if (run == 1 && point) clean.push_back('0');  // a lone "." reads as 0
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    clean.push_back('e');
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) clean.push_back(t[i++]);
    std::size_t digits = 0;
    for (; i < t.size() && IsDigit(t[i]); ++i, ++digits) clean.push_back(t[i]);
    if (digits == 0) return std::nullopt;
  }
  while (i < t.size() && t[i] == ' ') ++i;
  if (i != t.size()) return std::nullopt;
  // from_chars ignores the desktop's locale: the point is always the separator.
  const char* first = clean.c_str();
  const char* last = first + clean.size();
  const bool neg = *first == '-';
  if (*first == '+' || *first == '-') ++first;
  double v = 0;
  const auto [end, ec] = std::from_chars(first, last, v);
  if (end != last) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // Overflow is an error; underflow reads as zero.
    if (DecimalOrder(first, last) > 0) return std::nullopt;
    v = 0;
  } else if (ec != std::errc()) {
    return std::nullopt;
  }
  return neg ? -v : v;
}

double StrToFloat(std::string_view t) {
  if (auto v = TryStrToFloat(t)) return *v;
  throw ConversionError("'" + std::string(t) + "' is not a valid floating point value");
}

}  // namespace tagris
