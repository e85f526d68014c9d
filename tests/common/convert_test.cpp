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
