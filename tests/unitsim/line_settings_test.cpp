#include "line_settings.h"

#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>

#include "pty_master.h"

namespace {

using namespace tagris::unitsim;
using tagris::unitsim::test::Master;

// A pty pair whose slave end a master sets up the way the tool does.
class PtyPair : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[256] = {};
    ASSERT_EQ(openpty(&unit_, &slave_, name, nullptr, nullptr), 0);
    slaveName_ = name;
  }
  void TearDown() override {
    close(unit_);
    close(slave_);
  }
  int unit_ = -1, slave_ = -1;
  std::string slaveName_;
};

// Both ends share one termios: the unit's end shows what the master set.
TEST_F(PtyPair, TheUnitsEndShowsTheMastersSettings) {
  EXPECT_EQ(ReadLineSettings(unit_), (LineSettings{38400, Parity::None, 1})) << "a new pty";
  struct Case {
    LineSettings set;
    LineSettings seen;
  };
  const Case cases[] = {
      {{9600, Parity::None, 1}, {9600, Parity::None, 1}},
      {{19200, Parity::None, 2}, {19200, Parity::None, 2}},
      {{38400, Parity::Odd, 1}, {38400, Parity::Odd, 1}},
      {{4800, Parity::Even, 2}, {4800, Parity::None, 2}},  // Linux clears PARENB on a pty
      {{14400, Parity::None, 1}, {14400, Parity::None, 1}},  // not a standard rate: termios2
      {{115200, Parity::Odd, 2}, {115200, Parity::Odd, 2}},
  };
  Master master(slaveName_, std::nullopt);
  ASSERT_TRUE(master.IsOpen());
  for (const Case& c : cases) {
    SCOPED_TRACE(Describe(c.set));
    ASSERT_TRUE(master.Configure(c.set));
    EXPECT_EQ(ReadLineSettings(unit_), c.seen);
    EXPECT_EQ(ReadLineSettings(master.Fd()), c.seen);
  }
  EXPECT_EQ(ReadLineSettings(-1), std::nullopt);
}

TEST(LineSettings, RegisterZeroWord) {
  struct Case {
    LineSettings line;
    std::optional<std::uint16_t> word;
  };
  const Case cases[] = {
      {{4800, Parity::None, 1}, 0},     {{9600, Parity::None, 1}, 4},   {{14400, Parity::Even, 1}, 13},
      {{19200, Parity::Even, 1}, 0x0E},  // what the window writes for 19200, even, one stop bit
      {{38400, Parity::Odd, 2}, 0x37},  {{9600, Parity::None, 2}, 0x24}, {{57600, Parity::None, 1}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Describe(c.line));
    EXPECT_EQ(SerialSettingsWord(c.line), c.word);
    if (c.word) {
      EXPECT_EQ(FromSerialSettingsWord(*c.word), c.line);
    }
  }
  // Codes 0 to 3 all mean 4800, parity code 3 means none.
  EXPECT_EQ(FromSerialSettingsWord(2), (LineSettings{4800, Parity::None, 1}));
  EXPECT_EQ(FromSerialSettingsWord(0x18 | 6), (LineSettings{19200, Parity::None, 1}));
}

TEST(LineSettings, MismatchNamesWhatDiffers) {
  const LineSettings unit{9600, Parity::None, 1};
  struct Case {
    LineSettings master;
    const char* why;
  };
  const Case cases[] = {
      {{9600, Parity::None, 1}, ""},
      {{9600, Parity::Even, 1}, ""},  // a pty cannot tell even from none
      {{19200, Parity::None, 1}, "speed 19200, unit at 9600"},
      {{9600, Parity::None, 2}, "2 stop bits, unit at 1"},
      {{9600, Parity::Odd, 1}, "parity odd, unit at none"},
      {{4800, Parity::Odd, 2}, "speed 4800, unit at 9600, 2 stop bits, unit at 1, parity odd, unit at none"},
  };
  for (const Case& c : cases) EXPECT_EQ(LineMismatch(c.master, unit), c.why) << Describe(c.master);
  EXPECT_EQ(LineMismatch({9600, Parity::None, 1}, {9600, Parity::Odd, 1}), "parity none, unit at odd");
}

TEST(LineSettings, ParityNames) {
  for (Parity p : {Parity::None, Parity::Even, Parity::Odd}) EXPECT_EQ(ParseParity(ParityName(p)), p);
  EXPECT_EQ(ParseParity("mark"), std::nullopt);
  EXPECT_EQ(ParseParity("EVEN"), std::nullopt);
}

}  // namespace
