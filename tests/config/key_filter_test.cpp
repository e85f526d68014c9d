// Key filters of the configuration fields, one row per typed character.
#include "config/key_filter.h"

#include <gtest/gtest.h>

#include <bitset>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "config/send_file.h"

namespace tagris {
namespace {

constexpr char kCyrillicA = static_cast<char>(0xC0);    // "А" in Windows-1251
constexpr char kCyrillicYa = static_cast<char>(0xFF);   // "я"
constexpr char kNoBreakSpace = static_cast<char>(0xA0);

char Decimal(char key) { return DecimalKeyFilter(key, NumericKeySet()); }

TEST(KeyFilters, TableOfCharacters) {
  // Typed character -> what the digit field, the decimal field and the combo receive.
  const struct {
    const char* name;
    char key, digit, decimal, combo;
  } cases[] = {
      {"Latin letter", 'a', 0, 0, 0},
      {"capital E (exponent)", 'E', 0, 0, 0},
      {"minus", '-', 0, '-', 0},
      {"plus", '+', 0, '+', 0},
      {"space", ' ', 0, 0, 0},
      {"Cyrillic A", kCyrillicA, 0, 0, 0},
      {"Cyrillic ya", kCyrillicYa, 0, 0, 0},
      {"no-break space", kNoBreakSpace, 0, 0, 0},
      {"backspace", kBackspace, 0, kBackspace, 0},
      {"carriage return", '\r', 0, 0, 0},
      {"DEL", '\x7f', 0, 0, 0},
      {"seven", '7', '7', '7', 0},
      {"zero", '0', '0', '0', 0},
      {"nine", '9', '9', '9', 0},
      {"comma", ',', 0, '.', 0},
      {"point", '.', 0, '.', 0},
      {"slash (just below '0')", '/', 0, 0, 0},
      {"colon (just above '9')", ':', 0, 0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DigitKeyFilter(c.key), c.digit) << c.name;
    EXPECT_EQ(Decimal(c.key), c.decimal) << c.name;
    EXPECT_EQ(DiscardKeyFilter(c.key), c.combo) << c.name;
  }
}

// The decimal filter asks the set it is given, not a fixed list.
TEST(KeyFilters, DecimalFilterUsesTheGivenSet) {
  std::bitset<256> digitsOnly;
  digitsOnly.set('5');
  EXPECT_EQ(DecimalKeyFilter('5', digitsOnly), '5');
  EXPECT_EQ(DecimalKeyFilter('-', digitsOnly), 0);
  EXPECT_EQ(DecimalKeyFilter(',', digitsOnly), 0);
  EXPECT_EQ(DecimalKeyFilter('5', std::bitset<256>()), 0);
}

TEST(KeyFilters, NumericKeySetHoldsExactlyItsMembers) {
  const std::bitset<256> set = NumericKeySet();
  std::string members;
  for (int c = 0; c < 256; ++c)
    if (set.test(static_cast<std::size_t>(c))) members.push_back(static_cast<char>(c));
  EXPECT_EQ(members, std::string("\b+-.0123456789"));
}

TEST(KeyFilters, InsertedTextPassesOnlyWhatKeysWouldLeaveUnchanged) {
  const struct {
    const char* text;
    KeyFilter filter;
    bool insertable;
  } cases[] = {
      {"12", DigitKeyFilter, true},
      {"12a", DigitKeyFilter, false},
      {"1 2", DigitKeyFilter, false},
      {"-3", DigitKeyFilter, false},
      {"", DigitKeyFilter, true},
      {"-1.5", Decimal, true},
      {"1,5", Decimal, false},  // a key would turn the comma into a point
      {"-1.5e3", Decimal, false},
      {"\b1", Decimal, false},  // backspace edits, it is never text
      {"\xC0", Decimal, false},
      {"9600", DiscardKeyFilter, false},
      {"", DiscardKeyFilter, true},
  };
  for (const auto& c : cases) EXPECT_EQ(IsInsertableText(c.text, c.filter), c.insertable) << c.text;
}

TEST(SendFile, LinesEndAtAnyBreakAndTextEndsAtNul) {
  using Lines = std::vector<std::string>;
  const struct {
    std::string bytes;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"one", {"one"}},
      {"one\r\ntwo\r\n", {"one", "two"}},
      {"one\ntwo\rthree", {"one", "two", "three"}},
      {"a\r\rb", {"a", "", "b"}},
      {"a\n\r\nb", {"a", "", "b"}},
      {"a\n\rb", {"a", "", "b"}},  // LF then CR is two breaks
      {"\r\n", {""}},
      {std::string("ab\0cd\r\nef", 9), {"ab"}},
      {std::string("\0abc", 4), {}},
      {"\xCF\xF0\xE8\xE2\xE5\xF2", {"\xCF\xF0\xE8\xE2\xE5\xF2"}},  // bytes kept as they are
  };
  for (const auto& c : cases) EXPECT_EQ(SplitTextLines(c.bytes), c.lines) << c.bytes;
}

// Names outside any one code page: the core takes UTF-8 names on every system.
TEST(SendFile, ReadsAFileWhateverItsName) {
  namespace fs = std::filesystem;
  struct Folder {
    fs::path path = fs::temp_directory_path() / ("tagris-send-file-" + std::to_string(std::random_device{}()));
    Folder() { fs::create_directory(path); }
    ~Folder() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } dir;
  const fs::path file = dir.path / fs::path(u8"Send_me-\u03A9\u0436.txt");
  std::ofstream(file, std::ios::binary) << "first\r\nsecond";
  const std::u8string name = file.u8string();
  EXPECT_EQ(ReadWholeFile(std::string(name.begin(), name.end())), "first\r\nsecond");
}

TEST(SendFile, UnreadablePathsNameTheFullPath) {
  for (const std::string& path : {std::string("/nonexistent-folder/Send_me.txt"), std::string("/")}) {
    try {
      ReadWholeFile(path);
      ADD_FAILURE() << "no error for " << path;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), "Cannot open file " + path);
    }
  }
}

}  // namespace
}  // namespace tagris
