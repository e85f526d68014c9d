#include "common/convert.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

struct FloatCase {
  const char* text;
  bool valid;
  double value;
};

// The grammar of the grade and salinity fields.
const FloatCase kFloatCases[] = {
    {"-1.5", true, -1.5}, {"+2", true, 2.0},    {"5.", true, 5.0},      {".5", true, 0.5},
    {".", true, 0.0},     {"0.0", true, 0.0},   {"100.0", true, 100.0}, {"  7", true, 7.0},
    {"7  ", true, 7.0},   {"1e2", true, 100.0}, {"1.5E-1", true, 0.15}, {"-.", true, 0.0},
    {"", false, 0},       {"-", false, 0},      {"+", false, 0},        {"1.2.3", false, 0},
    {"1-2", false, 0},    {"--1", false, 0},    {"+-1", false, 0},      {"1,5", false, 0},
    {"1e", false, 0},     {"e5", false, 0},     {"1e+", false, 0},      {"abc", false, 0},
    {" ", false, 0},      {"1 2", false, 0},    {"1e999", false, 0},
};

TEST(StrToFloat, Grammar) {
  for (const auto& c : kFloatCases) {
    const auto v = tagris::TryStrToFloat(c.text);
    EXPECT_EQ(v.has_value(), c.valid) << '"' << c.text << '"';
    if (v && c.valid) {
      EXPECT_DOUBLE_EQ(*v, c.value) << '"' << c.text << '"';
    }
  }
}

// A value beyond the double range is an error whether the size comes from the exponent
// or from a long run of digits; one below the smallest double reads as zero.
TEST(StrToFloat, OutOfRangeBySizeNotBySpelling) {
  const std::string zeros(400, '0');
  const struct {
    std::string text;
    bool valid;
    double value;
  } cases[] = {
      {"1" + zeros, false, 0},
      {"-" + std::string(320, '9'), false, 0},
      {"1" + zeros + "e-50", false, 0},
      {"1" + zeros + "." + zeros, false, 0},
      {"0." + zeros + "1", true, 0.0},
      {"0." + zeros + "1e10", true, 0.0},
      {"0." + zeros + "1e200", true, 1e-201},
      {"1" + zeros + "e-300", true, 1e100},
      {"1e-400", true, 0.0},
      {"1e99999999999999999999", false, 0},
      {"1e-99999999999999999999", true, 0.0},
      {"0e99999", true, 0.0},
  };
  for (const auto& c : cases) {
    const auto v = tagris::TryStrToFloat(c.text);
    EXPECT_EQ(v.has_value(), c.valid) << c.text.substr(0, 24) << "... (" << c.text.size() << ")";
    if (v && c.valid) {
      EXPECT_DOUBLE_EQ(*v, c.value) << c.text.substr(0, 24);
    }
  }
}

TEST(StrToFloat, ErrorMessageNamesTheText) {
  try {
    tagris::StrToFloat("1.2.3");
    FAIL() << "no error";
  } catch (const tagris::ConversionError& e) {
    EXPECT_STREQ(e.what(), "'1.2.3' is not a valid floating point value");
  }
}

TEST(StrToFloat, PointWhateverTheLocale) {
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  if (!std::setlocale(LC_ALL, "ru_RU.UTF-8") && !std::setlocale(LC_ALL, "de_DE.UTF-8"))
    GTEST_SKIP() << "no locale with a decimal comma is installed";
  EXPECT_DOUBLE_EQ(tagris::StrToFloat("1.5"), 1.5);
  EXPECT_FALSE(tagris::TryStrToFloat("1,5").has_value());
  std::setlocale(LC_ALL, saved.c_str());
}

struct IntCase {
  const char* text;
  bool valid;
  std::int32_t value;
};

const IntCase kIntCases[] = {
    {"5", true, 5},
    {"007", true, 7},
    {"-3", true, -3},
    {"+4", true, 4},
    {" 12", true, 12},
    {"2147483647", true, 2147483647},
    {"-2147483648", true, -2147483647 - 1},
    {"2147483648", false, 0},
    {"99999999999999999999", false, 0},
    {"", false, 0},
    {"-", false, 0},
    {"1.0", false, 0},
    {"12 ", false, 0},
    {"1a", false, 0},
};

TEST(StrToInt, Grammar) {
  for (const auto& c : kIntCases) {
    const auto v = tagris::TryStrToInt(c.text);
    EXPECT_EQ(v.has_value(), c.valid) << '"' << c.text << '"';
    if (v && c.valid) {
      EXPECT_EQ(*v, c.value) << '"' << c.text << '"';
    }
  }
}

TEST(StrToInt, ErrorMessageNamesTheText) {
  for (const char* text : {"", "99999999999"}) {
    try {
      tagris::StrToInt(text);
      FAIL() << "no error for '" << text << "'";
    } catch (const tagris::ConversionError& e) {
      EXPECT_EQ(std::string(e.what()), "'" + std::string(text) + "' is not a valid integer value");
    }
  }
}

}  // namespace
