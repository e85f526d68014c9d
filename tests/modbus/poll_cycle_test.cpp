// The poll rhythm and the link watchdog, tick by tick.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>

#include "modbus/crc.h"
#include "modbus/poll_cycle.h"

namespace tagris {
namespace {

using Send = PollCycle::Send;

// One letter per tick: P poll, C command, - nothing.
std::string Slots(PollCycle& poll, int ticks) {
  std::string s;
  for (int i = 0; i < ticks; ++i) {
    const auto r = poll.Tick();
    s += r.send == Send::Poll ? 'P' : r.send == Send::Command ? 'C' : '-';
  }
  return s;
}

TEST(PollRhythm, FirstTickIsACommandSlotThenOnePollPerSecond) {
  PollCycle poll;
  EXPECT_EQ(Slots(poll, 8), "-P-P-P-P");
}

TEST(PollRhythm, SlotCarriesFrameAndExpectedLength) {
  PollCycle poll;
  poll.StampAddress(5);
  poll.QueueCommand(0x0021, 3);
  const auto first = poll.Tick();
  ASSERT_EQ(first.send, Send::Command);
  EXPECT_EQ(first.expectedReplyLength, 105u);
  EXPECT_EQ(first.frame, poll.CommandFrame);
  const std::array<std::uint8_t, 8> cmd{0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45};
  EXPECT_EQ(poll.CommandFrame, cmd);
  EXPECT_FALSE(poll.CommandPending);
  const auto second = poll.Tick();
  ASSERT_EQ(second.send, Send::Poll);
  EXPECT_EQ(second.expectedReplyLength, 113u);
  EXPECT_EQ(second.frame, poll.PollFrame);
  EXPECT_EQ(poll.PollPhase, 0);  // a reply handed over now answers the poll
  EXPECT_TRUE(poll.ExpectsMeasurement());
}

TEST(PollRhythm, PendingCommandGoesOutInTheNextCommandSlot) {
  struct Case {
    int ticksBefore;  // ticks run before the command is made
    std::string expected;
  };
  // Made before a command slot: sent at it. Made just after one: after the next poll.
  const Case cases[] = {{0, "CP-P"}, {1, "PCP-"}, {2, "CP-P"}, {3, "PCP-"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ticksBefore);
    PollCycle poll;
    Slots(poll, c.ticksBefore);
    poll.QueueCommand(0x0000, 4);
    EXPECT_EQ(Slots(poll, 4), c.expected);
  }
}

TEST(PollRhythm, TwoCommandsWithinASecondSendOnlyTheSecond) {
  PollCycle poll;
  poll.StampAddress(5);
  poll.QueueCommand(0x0021, 1);
  poll.QueueCommand(0x0031, 7);
  int commands = 0;
  for (int i = 0; i < 6; ++i) {
    const auto r = poll.Tick();
    if (r.send == Send::Command) {
      ++commands;
      const std::array<std::uint8_t, 8> second{0x05, 0x06, 0x00, 0x31, 0x00, 0x07, 0x98, 0x43};
      EXPECT_EQ(poll.CommandFrame, second);
    }
  }
  EXPECT_EQ(commands, 1);
}

TEST(PollRhythm, CommandMadeWhileDisconnectedTakesTheNewAddress) {
  PollCycle poll;
  poll.StampAddress(5);
  poll.QueueCommand(0x0012, 1000);  // while disconnected
  poll.StampAddress(1);             // the next connect, another unit
  const auto r = poll.Tick();
  ASSERT_EQ(r.send, Send::Command);
  EXPECT_EQ(r.frame[0], 1);
  EXPECT_EQ(r.frame[2], 0x00);
  EXPECT_EQ(r.frame[3], 0x12);
  EXPECT_EQ(r.frame[4], 0x03);
  EXPECT_EQ(r.frame[5], 0xE8);
  EXPECT_TRUE(CrcMatches(r.frame));
}

TEST(LinkWatchdog, NoLinkFromTheEleventhTickUntilAReply) {
  PollCycle poll;
  for (int tick = 1; tick <= 10; ++tick) EXPECT_FALSE(poll.Tick().linkLost) << "tick " << tick;
  EXPECT_TRUE(poll.Tick().linkLost);
  EXPECT_TRUE(poll.Tick().linkLost);
  EXPECT_EQ(poll.LinkCountdown, 0);
  poll.ReplyAccepted();
  EXPECT_FALSE(poll.Tick().linkLost);  // the tick after the reply
  EXPECT_EQ(poll.LinkCountdown, 9);
}

TEST(LinkWatchdog, RegularRepliesKeepItQuiet) {
  PollCycle poll;
  for (int tick = 0; tick < 40; ++tick) {
    const auto r = poll.Tick();
    EXPECT_FALSE(r.linkLost);
    if (r.send == Send::Poll) poll.ReplyAccepted();
    EXPECT_GE(poll.LinkCountdown, 8);
  }
}

}  // namespace
}  // namespace tagris
