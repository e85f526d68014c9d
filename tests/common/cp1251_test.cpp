#include "common/cp1251.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<unsigned char> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

TEST(Cp1251, LogHeaderAsKnownBytes) {
  const std::string header =
      tagris::Utf8ToCp1251("Время\tТок\tТок(уср.)\tРег.ош.\tТемп.Внеш.\tТемпDSP\tТемп.ТЗВ808\r\n");
  const std::vector<unsigned char> expected = {
      0xC2, 0xF0, 0xE5, 0xEC, 0xFF, 0x09,                                // Время
      0xD2, 0xEE, 0xEA, 0x09,                                            // Ток
      0xD2, 0xEE, 0xEA, 0x28, 0xF3, 0xF1, 0xF0, 0x2E, 0x29, 0x09,        // Ток(уср.)
      0xD0, 0xE5, 0xE3, 0x2E, 0xEE, 0xF8, 0x2E, 0x09,                    // Рег.ош.
      0xD2, 0xE5, 0xEC, 0xEF, 0x2E, 0xC2, 0xED, 0xE5, 0xF8, 0x2E, 0x09,  // Темп.Внеш.
      0xD2, 0xE5, 0xEC, 0xEF, 0x44, 0x53, 0x50, 0x09,                    // ТемпDSP
      0xD2, 0xE5, 0xEC, 0xEF, 0x2E, 0xD2, 0xC7, 0xC2, 0x38, 0x30, 0x38,  // Темп.ТЗВ808
      0x0D, 0x0A};
  EXPECT_EQ(header.size(), 60u);
  EXPECT_EQ(Bytes(header), expected);
}

TEST(Cp1251, RoundTripOfEveryAssignedByte) {
  for (int b = 0; b < 256; ++b) {
    if (b == 0x98) continue;  // unassigned in the code page
    const std::string one(1, static_cast<char>(b));
    EXPECT_EQ(tagris::Utf8ToCp1251(tagris::Cp1251ToUtf8(one)), one) << b;
  }
}

TEST(Cp1251, SpecialLettersAndUnmappable) {
  EXPECT_EQ(Bytes(tagris::Utf8ToCp1251("Ёё№х")), (std::vector<unsigned char>{0xA8, 0xB8, 0xB9, 0xF5}));
  EXPECT_EQ(tagris::Utf8ToCp1251("€"), "\x88");
  EXPECT_EQ(tagris::Utf8ToCp1251("日"), "?");       // not in the code page
  EXPECT_EQ(tagris::Utf8ToCp1251("\xC3"), "?");     // truncated sequence
  EXPECT_EQ(tagris::Utf8ToCp1251("a\xFFz"), "a?z");  // invalid lead byte
}

}  // namespace
