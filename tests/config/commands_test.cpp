// Register writes of the configuration commands, checked down to the bytes of
// the request slot.
#include "config/commands.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>

#include "common/convert.h"
#include "modbus/crc.h"
#include "modbus/poll_cycle.h"

namespace tagris {
namespace {

using Frame = std::array<std::uint8_t, 8>;

Frame QueuedAt5(RegisterWrite w) {
  PollCycle poll;
  poll.StampAddress(5);
  poll.QueueCommand(w.reg, w.value);
  EXPECT_TRUE(poll.CommandPending);
  return poll.CommandFrame;
}

struct FrameCase {
  const char* name;
  RegisterWrite write;
  Frame bytes;
};

TEST(ConfigCommands, FramesAtAddress5) {
  const FrameCase cases[] = {
      {"channel 3", ChannelCommand(3), {0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45}},
      {"grade 1.5 on channel 2", GradeCommand(2, 1.5), {0x05, 0x06, 0x00, 0x03, 0x00, 0x73, 0x39, 0xAB}},
      {"salinity 100.0 on channel 1", SalinityCommand(1, 100.0), {0x05, 0x06, 0x00, 0x12, 0x03, 0xE8, 0x28, 0xF5}},
      {"19200 even parity, one stop bit", SerialSettingsCommand("19200", "EVENPARITY", false),
       {0x05, 0x06, 0x00, 0x00, 0x00, 0x0E, 0x09, 0x8A}},
      {"layout defaults", SerialSettingsCommand("9600", "NOPARITY", false),
       {0x05, 0x06, 0x00, 0x00, 0x00, 0x04, 0x89, 0x8D}},
      {"address 7", AddressCommand(7), {0x05, 0x06, 0x00, 0x31, 0x00, 0x07, 0x98, 0x43}},
  };
  for (const auto& c : cases) EXPECT_EQ(QueuedAt5(c.write), c.bytes) << c.name;
}

TEST(ConfigCommands, GradeIsClampedAndTruncated) {
  const struct {
    const char* text;
    std::uint16_t value;
  } cases[] = {
      {"25", 199}, {"-20", 0},   {"1.55", 115}, {"0.29", 102}, {"-9.9", 1}, {"-7.4", 26},
      {"9.9", 199}, {"0.0", 100}, {".", 100},    {"9.99", 199}, {"-9.99", 0}, {"1.5", 115},
  };
  for (const auto& c : cases) {
    const RegisterWrite w = GradeCommand(4, StrToFloat(c.text));
    EXPECT_EQ(w.reg, 0x0005) << c.text;
    EXPECT_EQ(w.value, c.value) << c.text;
  }
}

TEST(ConfigCommands, SalinityIsClampedAndTruncated) {
  const struct {
    const char* text;
    std::uint16_t value;
  } cases[] = {
      {"80", 900}, {"130", 1200}, {"100.05", 1000}, {"90.1", 901}, {"100.0", 1000}, {"119.9", 1199}, {"-5", 900},
  };
  for (const auto& c : cases) {
    const RegisterWrite w = SalinityCommand(14, StrToFloat(c.text));
    EXPECT_EQ(w.reg, 0x001F) << c.text;
    EXPECT_EQ(w.value, c.value) << c.text;
  }
}

TEST(ConfigCommands, ChannelAndAddressClamps) {
  const struct {
    std::int32_t in, channel, address;
  } cases[] = {
      {0, 1, 1}, {15, 14, 15}, {200, 14, 127}, {-7, 1, 1}, {7, 7, 7}, {INT32_MAX, 14, 127}, {INT32_MIN, 1, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClampChannel(c.in), c.channel) << c.in;
    EXPECT_EQ(ClampNewAddress(c.in), c.address) << c.in;
    EXPECT_EQ(ChannelCommand(c.in), (RegisterWrite{0x21, static_cast<std::uint16_t>(c.channel)})) << c.in;
    EXPECT_EQ(AddressCommand(c.in), (RegisterWrite{0x31, static_cast<std::uint16_t>(c.address)})) << c.in;
  }
  // The per-channel registers follow the clamped channel.
  EXPECT_EQ(GradeCommand(0, 0).reg, 0x0002);
  EXPECT_EQ(GradeCommand(99, 0).reg, 0x000F);
  EXPECT_EQ(SalinityCommand(0, 100).reg, 0x0012);
  EXPECT_EQ(SalinityCommand(99, 100).reg, 0x001F);
}

TEST(ConfigCommands, SerialSettingsCode) {
  const struct {
    const char* rate;
    const char* parity;
    bool two;
    std::uint16_t code;
  } cases[] = {
      {"4800", "NOPARITY", false, 0},    {"9600", "NOPARITY", false, 4},   {"14400", "NOPARITY", false, 5},
      {"19200", "NOPARITY", false, 6},   {"38400", "NOPARITY", false, 7},  {"9600", "EVENPARITY", false, 12},
      {"9600", "ODDPARITY", false, 20},  {"9600", "NOPARITY", true, 36},   {"38400", "ODDPARITY", true, 55},
      // Whole and case-sensitive: anything else adds nothing.
      {"", "", false, 0},                {"9600 ", "evenparity", false, 0}, {"96000", "EVENPARITY2", true, 32},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SerialSettingsCode(c.rate, c.parity, c.two), c.code) << c.rate << " " << c.parity << " " << c.two;
}

TEST(ConfigCommands, ValidityGrammar) {
  const struct {
    const char* text;
    bool valid;
  } cases[] = {
      {"-1.5", true}, {"+2", true},    {"5.", true},    {".5", true},    {".", true},   {"0.0", true},
      {"25", true},   {"100.0", true}, {"", false},     {"-", false},    {"+", false},  {"1.2.3", false},
      {"1-2", false}, {"--1", false},  {"+-1", false},  {"-.", true},    {"..", false}, {"1+", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsNumberText(c.text), c.valid) << '"' << c.text << '"';
}

// A command queued while disconnected goes out after the connect with the
// address of that connect and a CRC that matches it.
TEST(ConfigCommands, PendingCommandTakesTheAddressOfTheNextConnect) {
  PollCycle poll;
  const RegisterWrite w = ChannelCommand(3);
  poll.QueueCommand(w.reg, w.value);
  poll.StampAddress(7);
  PollCycle::TickResult r = poll.Tick();  // first tick of the process: command slot
  ASSERT_EQ(r.send, PollCycle::Send::Command);
  const Frame sent = r.frame;
  Frame expected{0x07, 0x06, 0x00, 0x21, 0x00, 0x03, 0x00, 0x00};
  StampCrc(expected);
  EXPECT_EQ(sent, expected);
  EXPECT_TRUE(CrcMatches(sent));
  EXPECT_FALSE(poll.CommandPending);
  EXPECT_EQ(poll.Tick().send, PollCycle::Send::Poll);
  EXPECT_EQ(poll.Tick().send, PollCycle::Send::Nothing);  // sent once, not repeated
}

}  // namespace
}  // namespace tagris
