#include "common/numfmt.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <limits>

namespace {

struct MaskCase {
  const char* mask;
  double value;
  const char* text;
};

const MaskCase kMaskCases[] = {
    {"#0.0", 0.25, "0.3"},          // a next digit of 5 rounds the magnitude up
    {"#0.0", -0.25, "-0.3"},
    {"#0.0", 0.24, "0.2"},
    {"#####.0", 0.5, ".5"},         // no '0' before the point: no integer digit
    {"#####.0", 0.0, ".0"},
    {"#####.0", 23.46, "23.5"},
    {"#####.0", 1985.3, "1985.3"},
    {"#####.0", -0.04, "-.0"},      // a negative value keeps its sign after rounding
    {"#00.0", -0.01, "-00.0"},      // register 37 = 0xFFFE in lb_Wlag
    {"#00.0", -0.0, "00.0"},        // negative zero is not below zero
    {"#####.0", -12.25, "-12.3"},
    {"#000000.0", 1.0, "000001.0"},
    {"#000000.0", 12345678.0, "12345678.0"},  // integer digits beyond the mask in full
    {"#000.0000", 12.34, "012.3400"},
    {"#000.0000", 0.0, "000.0000"},
    {"#000.0000", 23.46, "023.4600"},
    {"#00.0", 5.0, "05.0"},
    {"#00.0", 23.5, "23.5"},
    {"#00.0", -5.0, "-05.0"},
    {"#00.0", -327.67, "-327.7"},
    {"#00.0", 0.0, "00.0"},
    {"#00.0", 99.96, "100.0"},      // carry into a new integer digit
    {"##0.0", 23.46, "23.5"},
    {"##0.0", 25 * 0.01, "0.3"},
    {"######0.0", 2038.59375, "2038.6"},
    {"######0.0", 11.71875, "11.7"},
    {"####0", 0.0, "0"},
    {"####0", 400.0, "400"},
    {"####0", 65535.0, "65535"},
    {"####0", 2.5, "3"},
    {"#0", 3.0, "3"},
    {"#0.0", -10.0, "-10.0"},
};

TEST(FormatFloat, MasksAndRounding) {
  for (const auto& c : kMaskCases) {
    EXPECT_EQ(tagris::FormatFloat(c.mask, c.value), c.text) << c.mask << " " << c.value;
  }
}

TEST(FormatFloat, RoundsOnEighteenSignificantDigits) {
  // 9.95 is stored as 9.9499999999999992894572642398998141; its 18 significant
  // digits are 9.94999999999999929, so the digit after the first decimal is 4.
  EXPECT_EQ(tagris::FormatFloat("#0.0", 9.95), "9.9");
  // Just below 1005 in binary; the first dropped digit is a 9 either way.
  EXPECT_EQ(tagris::FormatFloat("####0", 1004.9999999999999), "1005");
}

TEST(FormatFloat, NonFiniteAndExtremeValuesGiveSaneText) {
  EXPECT_EQ(tagris::FormatFloat("#00.0", std::numeric_limits<double>::quiet_NaN()), "NAN");
  EXPECT_EQ(tagris::FormatFloat("#00.0", std::numeric_limits<double>::infinity()), "INF");
  EXPECT_EQ(tagris::FormatFloat("#00.0", -std::numeric_limits<double>::infinity()), "-INF");
  EXPECT_EQ(tagris::FormatFloat("#00.0", 1e-300), "00.0");
  const std::string big = tagris::FormatFloat("####0", 1e20);
  EXPECT_EQ(big, "100000000000000000000");
}

TEST(FormatFloat, PointWhateverTheLocale) {
  const char* previous = std::setlocale(LC_ALL, nullptr);
  const std::string saved = previous ? previous : "C";
  const char* commaLocales[] = {"ru_RU.UTF-8", "ru_RU.utf8", "de_DE.UTF-8", "fr_FR.UTF-8"};
  const char* got = nullptr;
  for (const char* l : commaLocales)
    if ((got = std::setlocale(LC_ALL, l))) break;
  if (!got) GTEST_SKIP() << "no locale with a decimal comma is installed";
  ASSERT_STREQ(std::localeconv()->decimal_point, ",");
  EXPECT_EQ(tagris::FormatFloat("#0.0", 0.25), "0.3");
  EXPECT_EQ(tagris::FormatFloat("#000.0000", 12.34), "012.3400");
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(FormatDateTime, FixedWidths) {
  EXPECT_EQ(tagris::FormatDate(2026, 12, 8), "08.12.2026");
  EXPECT_EQ(tagris::FormatDate(999, 1, 31), "31.01.0999");
  EXPECT_EQ(tagris::FormatTime(7, 5, 9), "07:05:09");
}

TEST(AppendHexBytes, UppercaseTwoDigits) {
  const unsigned char bytes[] = {0x05, 0xC4, 0x00, 0xFF};
  std::string out = "<--";
  tagris::AppendHexBytes(out, bytes, sizeof bytes);
  EXPECT_EQ(out, "<-- 0x05 0xC4 0x00 0xFF");
}

}  // namespace
