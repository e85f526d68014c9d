#include "unit_model.h"

#include <gtest/gtest.h>

#include <vector>

#include "frame_assembler.h"
#include "modbus/crc.h"

namespace {

using tagris::unitsim::FrameAssembler;
using tagris::unitsim::ModelOptions;
using tagris::unitsim::UnitModel;
using Bytes = std::vector<std::uint8_t>;
using Outcome = UnitModel::Outcome;

const Bytes kPoll = {0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};

std::uint16_t RegisterInReply(const Bytes& reply, int n) {
  return static_cast<std::uint16_t>(reply.at(3 + 2 * n) << 8 | reply.at(4 + 2 * n));
}

class UnitModelTest : public ::testing::Test {
 protected:
  UnitModel::Answer Send(const Bytes& frame) { return model.Handle(frame); }
  UnitModel model;
};

TEST_F(UnitModelTest, PollReplyCarriesAllRegistersBigEndianWithCrcLowFirst) {
  // Register n = n in the high byte, 0xFF - n in the low byte; CRC from an independent implementation.
  for (int n = 0; n < 54; ++n) model.SetRegister(n, static_cast<std::uint16_t>(n << 8 | (0xFF - n)));
  const auto answer = Send(kPoll);
  ASSERT_EQ(answer.outcome, Outcome::Read);
  const Bytes& reply = answer.reply;
  ASSERT_EQ(reply.size(), 113u);
  EXPECT_EQ(reply[0], 0x05);
  EXPECT_EQ(reply[1], 0x03);
  EXPECT_EQ(reply[2], 0x6C);
  for (int n = 0; n < 54; ++n) {
    EXPECT_EQ(reply[3 + 2 * n], n) << "register " << n;
    EXPECT_EQ(reply[4 + 2 * n], 0xFF - n) << "register " << n;
  }
  EXPECT_EQ(reply[111], 0x33);
  EXPECT_EQ(reply[112], 0x00);
}

TEST_F(UnitModelTest, FactoryRegistersArePlausible) {
  const auto& r = model.Registers();
  EXPECT_EQ(r[0], 4);    // 9600, no parity, one stop bit
  EXPECT_EQ(r[33], 1);   // channel 1
  EXPECT_EQ(r[39], 0);   // oil
  EXPECT_EQ(r[49], 5);   // its own address
  for (int k = 0; k < 14; ++k) {
    EXPECT_LE(r[2 + k], 199) << "grade of channel " << k + 1;
    EXPECT_GE(r[18 + k], 900) << "salinity of channel " << k + 1;
    EXPECT_LE(r[18 + k], 1200) << "salinity of channel " << k + 1;
  }
  for (int unused : {1, 16, 17, 32, 34, 35, 51, 52, 53}) EXPECT_EQ(r[static_cast<std::size_t>(unused)], 0) << unused;
}

TEST(UnitModelDrift, MeasuredValuesWanderWithinPlausibleBounds) {
  struct Case {
    bool negative;
    int lowTemperature, highTemperature;  // x10
  };
  for (const Case c : {Case{false, 200, 400}, Case{true, -200, 400}}) {
    UnitModel model(ModelOptions{5, true, c.negative, 42});
    bool moved = false, sawNegative = false;
    const std::uint16_t firstMoisture = model.Register(36);
    for (int i = 0; i < 3000; ++i) {
      model.Drift();
      const int w = model.Register(36);
      const int t = static_cast<std::int16_t>(model.Register(38));  // two's complement
      const double peak = model.Register(45) * 0.46875 * 0.125 + 1980;
      ASSERT_GE(w, 50);
      ASSERT_LE(w, 300);
      ASSERT_GE(t, c.lowTemperature);
      ASSERT_LE(t, c.highTemperature);
      ASSERT_NEAR(peak, 2030.0, 10.0);
      ASSERT_LT(model.Register(37), 0x8000);  // moisture at least 0.5 %: no sign trouble
      // One step moves the moisture by a few hundredths at most: a slow drift, not noise.
      moved = moved || w != firstMoisture;
      sawNegative = sawNegative || t < 0;
    }
    EXPECT_TRUE(moved);
    EXPECT_EQ(sawNegative, c.negative);
  }
}

TEST_F(UnitModelTest, WritesAreEchoedAndShowInTheNextReply) {
  struct Case {
    Bytes frame;
    int reg;
    std::uint16_t value;
  };
  const Case cases[] = {
      {{0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45}, 33, 3},      // active channel 3
      {{0x05, 0x06, 0x00, 0x03, 0x00, 0x73, 0x39, 0xAB}, 3, 115},     // grade 1.5 of channel 2
      {{0x05, 0x06, 0x00, 0x12, 0x03, 0xE8, 0x28, 0xF5}, 18, 1000},   // salinity 100.0 of channel 1
      {{0x05, 0x06, 0x00, 0x00, 0x00, 0x0E, 0x09, 0x8A}, 0, 14},      // 19200, even parity
  };
  for (const Case& c : cases) {
    const auto answer = Send(c.frame);
    EXPECT_EQ(answer.outcome, Outcome::Write);
    EXPECT_EQ(answer.reply, c.frame);
    EXPECT_EQ(answer.writtenRegister, c.reg);
    const auto poll = Send(kPoll);
    ASSERT_EQ(poll.reply.size(), 113u);
    EXPECT_EQ(RegisterInReply(poll.reply, c.reg), c.value) << "register " << c.reg;
    EXPECT_TRUE(tagris::CrcMatches(poll.reply));
  }
}

TEST_F(UnitModelTest, AddressWriteMovesTheUnitUnlessFixed) {
  const Bytes setAddress7 = {0x05, 0x06, 0x00, 0x31, 0x00, 0x07, 0x98, 0x43};
  const Bytes pollAt7 = {0x07, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC5, 0xBA};
  for (bool follow : {true, false}) {
    UnitModel unit(ModelOptions{5, follow, false, 1});
    const auto echo = unit.Handle(setAddress7);
    EXPECT_EQ(echo.reply, setAddress7);  // answered on the old address
    EXPECT_EQ(unit.Register(49), 7);
    EXPECT_EQ(unit.Address(), follow ? 7 : 5);
    const auto old = unit.Handle(kPoll);
    const auto moved = unit.Handle(pollAt7);
    if (follow) {
      EXPECT_EQ(old.outcome, Outcome::Ignored);
      ASSERT_EQ(moved.reply.size(), 113u);
      EXPECT_EQ(moved.reply[0], 0x07);
      EXPECT_TRUE(tagris::CrcMatches(moved.reply));
    } else {
      EXPECT_EQ(old.reply.size(), 113u);
      EXPECT_EQ(moved.outcome, Outcome::Ignored);
    }
  }
}

TEST_F(UnitModelTest, SilentLikeARealSlave) {
  Bytes badCrc = kPoll;
  badCrc[7] ^= 0x01;
  Bytes badData = kPoll;
  badData[5] = 0x35;
  const Bytes cases[] = {
      badCrc,
      badData,
      {0x06, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x6B},  // another slave
      {0x00, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x0D},  // a broadcast read cannot be answered
  };
  const auto before = model.Registers();
  for (const Bytes& frame : cases) {
    if (frame[0] == 0x00) {
      ASSERT_TRUE(tagris::CrcMatches(frame));
    }
    const auto answer = Send(frame);
    EXPECT_EQ(answer.outcome, Outcome::Ignored);
    EXPECT_TRUE(answer.reply.empty());
  }
  EXPECT_EQ(model.Registers(), before);
}

TEST_F(UnitModelTest, BroadcastWriteIsAppliedWithoutAnswer) {
  const auto answer = Send({0x00, 0x06, 0x00, 0x21, 0x00, 0x07, 0x99, 0xD3});
  EXPECT_EQ(answer.outcome, Outcome::Broadcast);
  EXPECT_TRUE(answer.reply.empty());
  EXPECT_EQ(model.Register(33), 7);
}

TEST_F(UnitModelTest, RefusedRequestsGetExceptionReplies) {
  struct Case {
    const char* what;
    Bytes request;
    Bytes reply;
  };
  const Case cases[] = {
      {"register 1 is not writable", {0x05, 0x06, 0x00, 0x01, 0x00, 0x03, 0x99, 0x8F}, {0x05, 0x86, 0x02, 0x82, 0x60}},
      {"register 36 is a measurement", {0x05, 0x06, 0x00, 0x24, 0x00, 0x03, 0x88, 0x44}, {0x05, 0x86, 0x02, 0x82, 0x60}},
      {"register 54 is past the block", {0x05, 0x06, 0x00, 0x36, 0x00, 0x01, 0xA9, 0x80}, {0x05, 0x86, 0x02, 0x82, 0x60}},
      {"channel 0", {0x05, 0x06, 0x00, 0x21, 0x00, 0x00, 0xD8, 0x44}, {0x05, 0x86, 0x03, 0x43, 0xA0}},
      {"channel 15", {0x05, 0x06, 0x00, 0x21, 0x00, 0x0F, 0x98, 0x40}, {0x05, 0x86, 0x03, 0x43, 0xA0}},
      {"address 0", {0x05, 0x06, 0x00, 0x31, 0x00, 0x00, 0xD9, 0x81}, {0x05, 0x86, 0x03, 0x43, 0xA0}},
      {"address 128", {0x05, 0x06, 0x00, 0x31, 0x00, 0x80, 0xD8, 0x21}, {0x05, 0x86, 0x03, 0x43, 0xA0}},
      {"read past the block", {0x05, 0x03, 0x00, 0x32, 0x00, 0x0A, 0x65, 0x86}, {0x05, 0x83, 0x02, 0x81, 0x30}},
      {"read of no register", {0x05, 0x03, 0x00, 0x00, 0x00, 0x00, 0x44, 0x4E}, {0x05, 0x83, 0x03, 0x40, 0xF0}},
      {"function 0x04", {0x05, 0x04, 0x00, 0x00, 0x00, 0x01, 0x30, 0x4E}, {0x05, 0x84, 0x01, 0xC3, 0x01}},
  };
  const auto before = model.Registers();
  for (const Case& c : cases) {
    const auto answer = Send(c.request);
    EXPECT_EQ(answer.outcome, Outcome::Exception) << c.what;
    EXPECT_EQ(answer.reply, c.reply) << c.what;
  }
  EXPECT_EQ(model.Registers(), before);
}

TEST_F(UnitModelTest, ReadsOfPartOfTheBlock) {
  model.SetRegister(33, 9);
  const auto answer = Send({0x05, 0x03, 0x00, 0x21, 0x00, 0x01, 0xD5, 0x84});
  EXPECT_EQ(answer.reply.size(), 7u);
  EXPECT_EQ(answer.reply[2], 2);
  EXPECT_EQ(answer.reply[4], 9);
  EXPECT_TRUE(tagris::CrcMatches(answer.reply));
}

// A scan probes register 0 with a count of 1; other masters read any part of the block.
TEST(UnitModelReads, AnyRangeWithinTheBlockByteForByte) {
  struct Case {
    const char* what;
    std::uint8_t address;
    Bytes request;
    Bytes reply;  // CRCs from an independent implementation
  };
  const Case cases[] = {
      {"register 0 of unit 1, as a scan probes it",
       1,
       {0x01, 0x03, 0x00, 0x00, 0x00, 0x01, 0x84, 0x0A},
       {0x01, 0x03, 0x02, 0x00, 0x04, 0xB9, 0x87}},
      {"the last register", 5, {0x05, 0x03, 0x00, 0x35, 0x00, 0x01, 0x95, 0x80}, {0x05, 0x03, 0x02, 0x12, 0x34, 0x44, 0xF3}},
      {"three from register 10",
       5,
       {0x05, 0x03, 0x00, 0x0A, 0x00, 0x03, 0x24, 0x4D},
       {0x05, 0x03, 0x06, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xA9, 0x73}},
      {"register 54 is past the block", 5, {0x05, 0x03, 0x00, 0x36, 0x00, 0x01, 0x65, 0x80}, {0x05, 0x83, 0x02, 0x81, 0x30}},
      {"55 registers from 0", 5, {0x05, 0x03, 0x00, 0x00, 0x00, 0x37, 0x05, 0x98}, {0x05, 0x83, 0x02, 0x81, 0x30}},
      {"register 65535", 5, {0x05, 0x03, 0xFF, 0xFF, 0x00, 0x01, 0x85, 0xAA}, {0x05, 0x83, 0x02, 0x81, 0x30}},
      {"126 registers, more than a reply holds", 5, {0x05, 0x03, 0x00, 0x00, 0x00, 0x7E, 0xC4, 0x6E}, {0x05, 0x83, 0x03, 0x40, 0xF0}},
  };
  for (const Case& c : cases) {
    UnitModel model(ModelOptions{c.address, true, false, 1});
    model.SetRegister(10, 0x0102);
    model.SetRegister(11, 0x0304);
    model.SetRegister(12, 0x0506);
    model.SetRegister(53, 0x1234);
    EXPECT_EQ(model.Handle(c.request).reply, c.reply) << c.what;
  }
}

TEST(UnitModelReads, RegisterZeroStartsAtTheUnitsLineSettings) {
  ModelOptions options;
  options.serialSettings = 0x2E;  // 19200, even, two stop bits
  UnitModel model(options);
  EXPECT_EQ(model.Handle(Bytes{0x05, 0x03, 0x00, 0x00, 0x00, 0x01, 0x85, 0x8E}).reply,
            (Bytes{0x05, 0x03, 0x02, 0x00, 0x2E, 0xC9, 0x98}));
}

TEST(UnitModelWrites, PoliciesForWrites) {
  struct Case {
    const char* what;
    tagris::unitsim::WritePolicy policy;
    std::uint8_t code;
    Bytes request;
    Outcome outcome;
    Bytes reply;
    bool stored;
  };
  using tagris::unitsim::WritePolicy;
  const Bytes setChannel3 = {0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45};
  const Bytes broadcastChannel7 = {0x00, 0x06, 0x00, 0x21, 0x00, 0x07, 0x99, 0xD3};
  const Bytes notWritable = {0x05, 0x06, 0x00, 0x01, 0x00, 0x03, 0x99, 0x8F};
  const Case cases[] = {
      {"apply", WritePolicy::Apply, 4, setChannel3, Outcome::Write, setChannel3, true},
      {"refuse, default code", WritePolicy::Refuse, 4, setChannel3, Outcome::Refused, {0x05, 0x86, 0x04, 0x02, 0x62}, false},
      {"refuse, code 06", WritePolicy::Refuse, 6, setChannel3, Outcome::Refused, {0x05, 0x86, 0x06, 0x83, 0xA3}, false},
      {"refuse also what would be refused anyway", WritePolicy::Refuse, 4, notWritable, Outcome::Refused,
       {0x05, 0x86, 0x04, 0x02, 0x62}, false},
      {"ignore: the echo without storing", WritePolicy::Ignore, 4, setChannel3, Outcome::Echoed, setChannel3, false},
      {"silent", WritePolicy::Silent, 4, setChannel3, Outcome::Dropped, {}, false},
      {"refused broadcast: no answer", WritePolicy::Refuse, 4, broadcastChannel7, Outcome::Refused, {}, false},
      {"ignored broadcast: no answer", WritePolicy::Ignore, 4, broadcastChannel7, Outcome::Echoed, {}, false},
  };
  for (const Case& c : cases) {
    UnitModel model;
    model.SetWritePolicy(c.policy, c.code);
    const auto before = model.Registers();
    const auto answer = model.Handle(c.request);
    EXPECT_EQ(answer.outcome, c.outcome) << c.what;
    EXPECT_EQ(answer.reply, c.reply) << c.what;
    EXPECT_EQ(model.Registers() != before, c.stored) << c.what;
    EXPECT_EQ(answer.writtenRegister >= 0, c.stored) << c.what;
    // Reads are answered as ever.
    EXPECT_EQ(model.Handle(kPoll).reply.size(), 113u) << c.what;
  }
}

TEST(UnitModelWrites, PolicyFromTheOptions) {
  ModelOptions options;
  options.writePolicy = tagris::unitsim::WritePolicy::Refuse;
  options.refuseCode = 0x0B;
  UnitModel model(options);
  EXPECT_EQ(model.Handle(Bytes{0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45}).reply,
            (Bytes{0x05, 0x86, 0x0B, 0x42, 0x66}));
}

// ---- FrameAssembler ----

class FrameAssemblerTest : public ::testing::Test {
 protected:
  using Clock = FrameAssembler::Clock;
  void Feed(const Bytes& bytes, std::chrono::milliseconds at) {
    assembler.Feed(bytes, start + at, [this](const FrameAssembler::Frame& f) { frames.emplace_back(f.begin(), f.end()); });
  }
  FrameAssembler assembler{std::chrono::milliseconds(50)};
  Clock::time_point start = Clock::now();
  std::vector<Bytes> frames;
};

TEST_F(FrameAssemblerTest, ResynchronisesAfterGarbage) {
  const Bytes write = {0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45};
  Bytes stream = {0xFF, 0x00, 0x05, 0x03};  // noise, then a torn frame
  stream.insert(stream.end(), kPoll.begin(), kPoll.end());
  Bytes badCrc = write;
  badCrc[6] ^= 0x10;
  stream.insert(stream.end(), badCrc.begin(), badCrc.end());
  stream.insert(stream.end(), write.begin(), write.end());
  Feed(stream, std::chrono::milliseconds(0));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], kPoll);
  EXPECT_EQ(frames[1], write);
  EXPECT_EQ(assembler.DiscardedRuns(), 2u);
  EXPECT_EQ(assembler.DiscardedBytes(), 12u);
  EXPECT_EQ(assembler.Pending(), 0u);
}

TEST_F(FrameAssemblerTest, FrameSplitAcrossReadsWithinTheGap) {
  Feed(Bytes(kPoll.begin(), kPoll.begin() + 3), std::chrono::milliseconds(0));
  Feed(Bytes(kPoll.begin() + 3, kPoll.end()), std::chrono::milliseconds(20));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(assembler.DiscardedRuns(), 0u);
}

TEST_F(FrameAssemblerTest, SilenceDropsAStalePartialFrame) {
  Feed(Bytes(kPoll.begin(), kPoll.begin() + 5), std::chrono::milliseconds(0));
  Feed({}, std::chrono::milliseconds(80));
  EXPECT_EQ(assembler.Pending(), 0u);
  EXPECT_EQ(assembler.DiscardedRuns(), 1u);
  // The rest of the torn frame arrives late: it is garbage now, the next whole frame is not.
  Bytes late(kPoll.begin() + 5, kPoll.end());
  late.insert(late.end(), kPoll.begin(), kPoll.end());
  Feed(late, std::chrono::milliseconds(100));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], kPoll);
}

}  // namespace
