// Frames, CRC, trace lines and the reply check against known-good bytes.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "modbus/crc.h"
#include "modbus/poll_cycle.h"
#include "modbus/reply.h"

namespace tagris {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct CrcCase {
  const char* what;
  Bytes body;  // without CRC
  std::uint8_t lo, hi;
};

TEST(Crc16, KnownFrames) {
  const CrcCase cases[] = {
      {"poll of address 5", {0x05, 0x03, 0x00, 0x00, 0x00, 0x36}, 0xC4, 0x58},
      {"write 1 to 0x21", {0x05, 0x06, 0x00, 0x21, 0x00, 0x01}, 0x19, 0x84},
      {"write 3 to 0x21", {0x05, 0x06, 0x00, 0x21, 0x00, 0x03}, 0x98, 0x45},
      {"write 0x73 to 0x03", {0x05, 0x06, 0x00, 0x03, 0x00, 0x73}, 0x39, 0xAB},
      {"write 1000 to 0x12", {0x05, 0x06, 0x00, 0x12, 0x03, 0xE8}, 0x28, 0xF5},
      {"write 14 to 0x00", {0x05, 0x06, 0x00, 0x00, 0x00, 0x0E}, 0x09, 0x8A},
      {"write 4 to 0x00", {0x05, 0x06, 0x00, 0x00, 0x00, 0x04}, 0x89, 0x8D},
      {"write 7 to 0x31", {0x05, 0x06, 0x00, 0x31, 0x00, 0x07}, 0x98, 0x43},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::uint16_t crc = Crc16(c.body);
    EXPECT_EQ(crc & 0xFF, c.lo);
    EXPECT_EQ(crc >> 8, c.hi);
    // The element-per-byte form the frame slots use gives the same.
    std::vector<std::int32_t> values(c.body.begin(), c.body.end());
    EXPECT_EQ(Crc16(values.data(), static_cast<std::uint32_t>(values.size())), crc);
    Bytes frame = c.body;
    frame.push_back(0);
    frame.push_back(0);
    StampCrc(frame);
    EXPECT_EQ(frame[6], c.lo);
    EXPECT_EQ(frame[7], c.hi);
    EXPECT_TRUE(CrcMatches(frame));
  }
}

TEST(Crc16, CheckStringAndEmpty) {
  const std::string s = "123456789";
  EXPECT_EQ(Crc16(std::span(reinterpret_cast<const std::uint8_t*>(s.data()), s.size())), 0x4B37);
  EXPECT_EQ(Crc16(nullptr, 0), 0xFFFF);
  // Only the low 8 bits of an element count.
  const std::int32_t high[] = {0x105, 0x703, 0x100, -256, 0x200, 0x136};
  EXPECT_EQ(Crc16(high, 6), 0x58C4);
}

TEST(PollFrame, StampedAddress) {
  struct Case {
    std::uint8_t address;
    std::array<std::uint8_t, 8> frame;
  };
  const Case cases[] = {
      {1, {0x01, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC5, 0xDC}},
      {5, {0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58}},
      {127, {0x7F, 0x03, 0x00, 0x00, 0x00, 0x36, 0xCF, 0xC2}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(int(c.address));
    PollCycle poll;
    poll.StampAddress(c.address);
    EXPECT_EQ(poll.PollFrame, c.frame);
    EXPECT_EQ(poll.CommandFrame[0], c.address);
    EXPECT_TRUE(CrcMatches(poll.CommandFrame));
  }
  EXPECT_EQ(PollCycle{}.PollFrame, cases[1].frame);  // the starting bytes
}

TEST(TraceLine, Transmit) {
  const std::uint8_t poll[] = {0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};
  const std::string line = TransmitTraceLine(poll, 8);
  EXPECT_EQ(line, "<--  0x05 0x03 0x00 0x00 0x00 0x36 0xC4 0x58");
  EXPECT_EQ(line.size(), 44u);
  const std::uint8_t high[] = {0x80, 0xFF, 0x0A};
  EXPECT_EQ(TransmitTraceLine(high, 3), "<--  0x80 0xFF 0x0A");
}

TEST(TraceLine, ReceiveHoldsExactlyTheExpectedBytes) {
  std::array<std::uint8_t, 2048> rx{};
  for (std::size_t i = 0; i < 120; ++i) rx[i] = static_cast<std::uint8_t>(0xF0 + i);
  rx[0] = 0x05;
  rx[1] = 0x03;
  rx[2] = 0x6C;
  const std::string line = ReceiveTraceLine(rx, 113);
  EXPECT_EQ(line.size(), 3u + 5 * 113 + 4);
  EXPECT_EQ(line.substr(0, 18), "--> 0x05 0x03 0x6C");
  // Byte 112 is 0xF0 + 112 = 0x160 -> 0x60, then straight into the end mark.
  EXPECT_EQ(line.substr(line.size() - 14), " 0x5F 0x60<---");
  EXPECT_EQ(ReceiveTraceLine(rx, 0), "--><---");
}

// A good measurement reply of `address`, registers counting up.
Bytes GoodReply(std::uint8_t address) {
  Bytes r(113);
  r[0] = address;
  r[1] = 0x03;
  r[2] = 0x6C;
  for (std::size_t i = 3; i < 111; ++i) r[i] = static_cast<std::uint8_t>(i * 7);
  StampCrc(r);
  return r;
}

TEST(ReplyCheck, AcceptsOnlyACompleteAnswerToThePoll) {
  struct Case {
    const char* what;
    void (*spoil)(Bytes&, std::size_t&);
    bool accepted;
  };
  const Case cases[] = {
      {"good", [](Bytes&, std::size_t&) {}, true},
      {"more bytes than asked for", [](Bytes& r, std::size_t& n) { r.resize(120, 0xAA); n = 120; }, true},
      {"bad CRC", [](Bytes& r, std::size_t&) { r[112] ^= 0x01; }, false},
      {"corrupted data", [](Bytes& r, std::size_t&) { r[50] ^= 0x10; }, false},
      {"other slave", [](Bytes& r, std::size_t&) { r[0] = 6; StampCrc(r); }, false},
      {"wrong function", [](Bytes& r, std::size_t&) { r[1] = 0x04; StampCrc(r); }, false},
      {"exception reply", [](Bytes& r, std::size_t&) { r[1] = 0x83; StampCrc(r); }, false},
      {"wrong byte count", [](Bytes& r, std::size_t&) { r[2] = 0x6A; StampCrc(r); }, false},
      {"short read", [](Bytes&, std::size_t& n) { n = 107; }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes r = GoodReply(5);
    std::size_t n = 113;
    c.spoil(r, n);
    r.resize(2048);
    EXPECT_EQ(IsMeasurementReply(r, n, 5), c.accepted);
  }
  Bytes zeros(2048);
  EXPECT_FALSE(IsMeasurementReply(zeros, 113, 0));
}

TEST(ReplyCheck, KindFollowsThePhase) {
  PollCycle poll;
  poll.StampAddress(9);
  Bytes good = GoodReply(9);
  good.resize(2048);
  Bytes bad = GoodReply(8);
  bad.resize(2048);
  poll.PollPhase = 0;  // the last tick sent PollFrame
  EXPECT_EQ(ClassifyReply(poll, good, 113), ReplyKind::Measurement);
  EXPECT_EQ(ClassifyReply(poll, bad, 113), ReplyKind::Rejected);
  poll.PollPhase = 1;  // the last tick was a command slot
  EXPECT_EQ(ClassifyReply(poll, good, 113), ReplyKind::Ignored);
  EXPECT_EQ(ClassifyReply(poll, bad, 113), ReplyKind::Ignored);
}

}  // namespace
}  // namespace tagris
