// The simulator seen from the master's side of the pseudo-terminal, as the tool sees it.
#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "line_settings.h"
#include "modbus/crc.h"
#include "pty_master.h"

namespace {

using namespace tagris::unitsim::test;
using tagris::unitsim::FaultKind;
using tagris::unitsim::LineSettings;
using tagris::unitsim::Parity;
using tagris::unitsim::Simulator;
using tagris::unitsim::SimulatorOptions;
using tagris::unitsim::WritePolicy;

// A write of `value` to register `n` of unit 5.
Bytes WriteFrame(int n, std::uint16_t value) {
  Bytes frame = {0x05, 0x06, 0x00, static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(value >> 8),
                 static_cast<std::uint8_t>(value & 0xFF), 0, 0};
  tagris::StampCrc(frame);
  return frame;
}

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options.linkPath = UniqueLink();
    options.drift = false;
    options.hangupTime = 200ms;
    options.unplugTime = 200ms;
  }
  void StartSim() {
    sim = std::make_unique<Simulator>(options);
    sim->Start();
  }
  SimulatorOptions options;
  std::unique_ptr<Simulator> sim;
};

TEST_F(SimulatorTest, PollOverTheLinkGetsTheRegisterBlock) {
  StartSim();
  ASSERT_TRUE(PathExists(options.linkPath));
  EXPECT_EQ(sim->SlavePath().rfind("/dev/pts/", 0), 0u);
  Master master(options.linkPath);
  ASSERT_TRUE(master.IsOpen());
  const Received r = master.Exchange(kPoll);
  ASSERT_TRUE(IsGoodPollReply(r.bytes));
  const auto registers = sim->Registers();
  for (int n = 0; n < 54; ++n)
    EXPECT_EQ(r.bytes[3 + 2 * n] << 8 | r.bytes[4 + 2 * n], registers[static_cast<std::size_t>(n)]) << n;
  EXPECT_EQ(sim->Stats().requestsSeen, 1u);
  EXPECT_TRUE(WaitFor([&] { return sim->Stats().repliesSent == 1; }, 1000ms));
}

TEST_F(SimulatorTest, WriteIsEchoedAndShowsInTheNextPoll) {
  StartSim();
  Master master(options.linkPath);
  const Bytes setChannel3 = {0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45};
  EXPECT_EQ(master.Exchange(setChannel3).bytes, setChannel3);
  const Received r = master.Exchange(kPoll);
  ASSERT_TRUE(IsGoodPollReply(r.bytes));
  EXPECT_EQ(r.bytes[3 + 2 * 33], 0x00);
  EXPECT_EQ(r.bytes[4 + 2 * 33], 0x03);
  EXPECT_TRUE(WaitFor([&] { return sim->Stats().repliesSent == 2; }, 1000ms));
  const auto stats = sim->Stats();
  EXPECT_EQ(stats.writesApplied, 1u);
  EXPECT_EQ(stats.requestsSeen, 2u);
}

TEST_F(SimulatorTest, GarbageAndOtherSlavesAreIgnoredOnTheLine) {
  StartSim();
  Master master(options.linkPath);
  // Another slave's poll gets no answer from this unit.
  EXPECT_TRUE(master.Exchange({0x06, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x6B}, 100ms, 300ms).bytes.empty());
  // Noise in front of a poll: the unit finds the frame behind it.
  Bytes noisy = {0x00, 0xFF, 0x13};
  noisy.insert(noisy.end(), kPoll.begin(), kPoll.end());
  EXPECT_TRUE(IsGoodPollReply(master.Exchange(noisy).bytes));
  const auto stats = sim->Stats();
  EXPECT_EQ(stats.framesIgnored, 2u);
  EXPECT_EQ(stats.requestsSeen, 1u);
}

TEST_F(SimulatorTest, ClosingThePortDoesNotHangUpTheLine) {
  StartSim();
  {
    Master first(options.linkPath);
    ASSERT_TRUE(IsGoodPollReply(first.Exchange(kPoll).bytes));
  }
  Master second(options.linkPath);
  ASSERT_TRUE(second.IsOpen());
  EXPECT_TRUE(IsGoodPollReply(second.Exchange(kPoll).bytes));
  EXPECT_EQ(sim->Stats().hangups, 0u);
}

TEST_F(SimulatorTest, RepliesArePacedAtTheLineSpeed) {
  options.paceBaud = 9600;
  StartSim();
  Master master(options.linkPath);
  const Received r = master.Exchange(kPoll);
  ASSERT_TRUE(IsGoodPollReply(r.bytes));
  // 113 bytes of 10 bits at 9600 baud take 117.7 ms, after 3.5 characters of turnaround.
  EXPECT_GE(r.arrivals.back() - r.sent, 110ms);
  EXPECT_LT(r.arrivals.back() - r.sent, 1000ms);
  EXPECT_GT(r.arrivals.size(), 3u);
}

struct FaultCase {
  FaultKind kind;
  std::function<void(const Received&)> check;
};

TEST_F(SimulatorTest, EachFaultIsSeenByTheMaster) {
  const FaultCase cases[] = {
      {FaultKind::BadCrc,
       [](const Received& r) {
         ASSERT_EQ(r.bytes.size(), 113u);
         EXPECT_EQ(Head(r.bytes, 3), (Bytes{0x05, 0x03, 0x6C}));
         EXPECT_FALSE(tagris::CrcMatches(r.bytes));
       }},
      {FaultKind::WrongAddress,
       [](const Received& r) {
         ASSERT_EQ(r.bytes.size(), 113u);
         EXPECT_NE(r.bytes[0], 0x05);
         EXPECT_NE(r.bytes[0], 0x00);
         EXPECT_TRUE(tagris::CrcMatches(r.bytes));
       }},
      {FaultKind::Silent, [](const Received& r) { EXPECT_TRUE(r.bytes.empty()); }},
      {FaultKind::Bursts,
       [](const Received& r) {
         EXPECT_TRUE(IsGoodPollReply(r.bytes));
         ASSERT_GE(r.arrivals.size(), 2u);
         EXPECT_GE(r.arrivals.back() - r.arrivals.front(), 20ms);
       }},
      {FaultKind::Trailing,
       [](const Received& r) {
         EXPECT_GE(r.bytes.size(), 114u);
         EXPECT_LE(r.bytes.size(), 129u);
         EXPECT_TRUE(IsGoodPollReply(Head(r.bytes, 113)));
       }},
      {FaultKind::Flood,
       [](const Received& r) {
         EXPECT_GT(r.bytes.size(), 2048u);
         EXPECT_TRUE(IsGoodPollReply(Head(r.bytes, 113)));
       }},
      {FaultKind::Echo,
       [](const Received& r) {
         ASSERT_EQ(r.bytes.size(), 8u + 113u);
         EXPECT_EQ(Head(r.bytes, 8), kPoll);
         EXPECT_TRUE(IsGoodPollReply(Bytes(r.bytes.begin() + 8, r.bytes.end())));
       }},
      {FaultKind::EchoOnly, [](const Received& r) { EXPECT_EQ(r.bytes, kPoll); }},
      {FaultKind::Garbage,
       [](const Received& r) {
         ASSERT_FALSE(r.bytes.empty());
         EXPECT_GE(r.bytes.size(), 56u);  // about a reply's length: half to one and a half
         EXPECT_LE(r.bytes.size(), 169u);
         EXPECT_NE(r.bytes[0], 0x05);
         EXPECT_FALSE(HoldsAFrame(r.bytes));
       }},
      {FaultKind::Exception, [](const Received& r) { EXPECT_EQ(r.bytes, (Bytes{0x05, 0x83, 0x04, 0x01, 0x32})); }},
      {FaultKind::Short,
       [](const Received& r) {
         EXPECT_GE(r.bytes.size(), 3u);
         EXPECT_LT(r.bytes.size(), 113u);
         EXPECT_EQ(Head(r.bytes, 3), (Bytes{0x05, 0x03, 0x6C}));
       }},
      {FaultKind::WrongFunction,
       [](const Received& r) {
         ASSERT_EQ(r.bytes.size(), 113u);
         EXPECT_EQ(Head(r.bytes, 3), (Bytes{0x05, 0x04, 0x6C}));
         EXPECT_TRUE(tagris::CrcMatches(r.bytes));
       }},
      {FaultKind::WrongCount,
       [](const Received& r) {
         ASSERT_EQ(r.bytes.size(), 113u);
         EXPECT_EQ(Head(r.bytes, 3), (Bytes{0x05, 0x03, 0x6E}));
         EXPECT_TRUE(tagris::CrcMatches(r.bytes));
       }},
  };
  StartSim();
  Master master(options.linkPath);
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(std::string(tagris::unitsim::FaultName(c.kind)));
    sim->SetFault(c.kind);
    const auto faultsBefore = sim->Stats().faultsInjected;
    const Received r = master.Exchange(kPoll, 200ms, c.kind == FaultKind::Silent ? 300ms : 1500ms);
    EXPECT_FALSE(r.hungUp);
    c.check(r);
    EXPECT_EQ(sim->Stats().faultsInjected, faultsBefore + 1);
    EXPECT_EQ(sim->Stats().Faults(c.kind), 1u);
  }
  // With the fault off again the line is clean.
  sim->SetFault(FaultKind::None);
  EXPECT_TRUE(IsGoodPollReply(master.Exchange(kPoll).bytes));
  const std::string counters = tagris::unitsim::DescribeStats(sim->Stats(), true);
  EXPECT_NE(counters.find("fault echo-only: 1"), std::string::npos) << counters;
  EXPECT_NE(counters.find("fault wrong-count: 1"), std::string::npos) << counters;
}

// Whether a write is stored depends on whether the unit took the request in.
TEST_F(SimulatorTest, WritesUnderFaults) {
  struct Case {
    FaultKind kind;
    bool stored;
    std::function<void(const Bytes& request, const Received&)> check;
  };
  const Case cases[] = {
      {FaultKind::Silent, true, [](const Bytes&, const Received& r) { EXPECT_TRUE(r.bytes.empty()); }},
      {FaultKind::Garbage, true, [](const Bytes&, const Received& r) { EXPECT_FALSE(HoldsAFrame(r.bytes)); }},
      {FaultKind::Echo, true,
       [](const Bytes& request, const Received& r) {
         Bytes twice = request;
         twice.insert(twice.end(), request.begin(), request.end());
         EXPECT_EQ(r.bytes, twice);
       }},
      {FaultKind::EchoOnly, false, [](const Bytes& request, const Received& r) { EXPECT_EQ(r.bytes, request); }},
      {FaultKind::Exception, false,
       [](const Bytes&, const Received& r) { EXPECT_EQ(r.bytes, (Bytes{0x05, 0x86, 0x04, 0x02, 0x62})); }},
  };
  StartSim();
  Master master(options.linkPath);
  std::uint16_t channel = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(tagris::unitsim::FaultName(c.kind)));
    const std::uint16_t before = sim->Registers()[33];
    const Bytes request = WriteFrame(33, ++channel);
    sim->SetFault(c.kind);
    c.check(request, master.Exchange(request, 200ms, 400ms));
    EXPECT_EQ(sim->Registers()[33], c.stored ? channel : before);
  }
}

TEST_F(SimulatorTest, LateReplySpillsIntoTheNextExchange) {
  options.lateTime = 600ms;
  options.fault = FaultKind::Late;
  StartSim();
  Master master(options.linkPath);
  const Received first = master.Exchange(kPoll, 100ms, 200ms);
  EXPECT_TRUE(first.bytes.empty());
  sim->SetFault(FaultKind::None);  // taken by the next request, which waits behind the late reply
  const Received second = master.Exchange(kPoll, 200ms, 2000ms);
  ASSERT_EQ(second.bytes.size(), 2u * 113u);
  EXPECT_TRUE(IsGoodPollReply(Head(second.bytes, 113)));
  EXPECT_TRUE(IsGoodPollReply(Bytes(second.bytes.begin() + 113, second.bytes.end())));
  EXPECT_GE(second.arrivals.front() - first.sent, 600ms);
  EXPECT_EQ(sim->Stats().Faults(FaultKind::Late), 1u);
}

TEST_F(SimulatorTest, WritePoliciesAsTheMasterSeesThem) {
  struct Case {
    const char* what;
    WritePolicy policy;
    std::uint8_t code;
    Bytes answer;
    bool stored;
  };
  const Case cases[] = {
      {"apply: the echo is the request, byte for byte", WritePolicy::Apply, 4, kSetChannel3, true},
      {"refuse with the default code 04", WritePolicy::Refuse, 4, {0x05, 0x86, 0x04, 0x02, 0x62}, false},
      {"refuse with code 06 (busy)", WritePolicy::Refuse, 6, {0x05, 0x86, 0x06, 0x83, 0xA3}, false},
      {"ignore: echoed, not stored", WritePolicy::Ignore, 4, kSetChannel3, false},
      {"silent: no answer", WritePolicy::Silent, 4, {}, false},
  };
  StartSim();
  Master master(options.linkPath);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    sim->SetRegister(33, 1);
    sim->SetWritePolicy(c.policy, c.code);
    EXPECT_EQ(master.Exchange(kSetChannel3, 200ms, 400ms).bytes, c.answer);
    EXPECT_EQ(sim->Registers()[33], c.stored ? 3 : 1);
  }
  const auto stats = sim->Stats();
  EXPECT_EQ(stats.writesApplied, 1u);
  EXPECT_EQ(stats.writesRefused, 2u);
  EXPECT_EQ(stats.writesIgnored, 1u);
  EXPECT_EQ(stats.writesDropped, 1u);
  EXPECT_EQ(stats.exceptionsSent, 2u);
}

// Both pty ends share one termios: the unit sees what the master set and answers
// garbage when it could not understand it. Linux clears PARENB on a pty, so even
// parity cannot be told from none there: they match each other.
TEST_F(SimulatorTest, MasterAtOtherLineSettingsGetsGarbage) {
  struct Case {
    LineSettings unit;
    LineSettings master;
    std::size_t garbage;  // bytes of garbage, 0 for a good reply
  };
  const LineSettings n9600{9600, Parity::None, 1};
  const Case cases[] = {
      {n9600, n9600, 0},
      {n9600, {9600, Parity::Even, 1}, 0},  // even reads as none on a pty
      {n9600, {19200, Parity::None, 1}, 226},  // twice the speed: twice the bytes
      {n9600, {4800, Parity::None, 1}, 57},
      {n9600, {14400, Parity::None, 1}, 170},  // a custom speed, set through termios2
      {n9600, {9600, Parity::None, 2}, 113},
      {n9600, {9600, Parity::Odd, 1}, 113},
      {{19200, Parity::Even, 2}, {19200, Parity::None, 2}, 0},
      {{19200, Parity::Even, 2}, {19200, Parity::Even, 1}, 113},
      {{19200, Parity::Odd, 2}, {19200, Parity::Odd, 2}, 0},
      {{19200, Parity::Odd, 2}, {19200, Parity::Even, 2}, 113},
      {{14400, Parity::None, 1}, {14400, Parity::None, 1}, 0},
      {{38400, Parity::None, 1}, n9600, 28},
  };
  StartSim();
  Master master(options.linkPath);
  for (const Case& c : cases) {
    SCOPED_TRACE(tagris::unitsim::Describe(c.master) + " to a unit at " + tagris::unitsim::Describe(c.unit));
    sim->SetLineSettings(c.unit);
    ASSERT_TRUE(master.Configure(c.master));
    const Received r = master.Exchange(kPoll);
    if (c.garbage == 0) {
      ASSERT_TRUE(IsGoodPollReply(r.bytes));
      EXPECT_EQ(r.bytes[4], *tagris::unitsim::SerialSettingsWord(c.unit)) << "register 0 reports the unit's line";
    } else {
      EXPECT_EQ(r.bytes.size(), c.garbage);
      EXPECT_FALSE(HoldsAFrame(r.bytes));
    }
    LineSettings seen = c.master;
    if (seen.parity == Parity::Even) seen.parity = Parity::None;
    EXPECT_EQ(sim->LastMasterLineSettings(), seen);
  }
}

TEST_F(SimulatorTest, WriteAtOtherLineSettingsIsNotStored) {
  StartSim();
  Master master(options.linkPath, LineSettings{19200, Parity::None, 1});
  const Received r = master.Exchange(kSetChannel3);
  EXPECT_EQ(r.bytes.size(), 16u);
  EXPECT_FALSE(HoldsAFrame(r.bytes));
  EXPECT_EQ(sim->Registers()[33], 1);
  const auto stats = sim->Stats();
  EXPECT_EQ(stats.lineMismatches, 1u);
  EXPECT_EQ(stats.writesApplied, 0u);
}

TEST_F(SimulatorTest, MasterThatNeverSetsTheSpeedFindsThePtyAt38400) {
  StartSim();
  Master master(options.linkPath, std::nullopt);
  EXPECT_EQ(master.Exchange(kPoll).bytes.size(), 4u * 113u);  // 38400 against 9600
  EXPECT_EQ(sim->LastMasterLineSettings(), (LineSettings{38400, Parity::None, 1}));
}

TEST_F(SimulatorTest, LineCheckOffAnswersAnySettings) {
  options.checkLineSettings = false;
  StartSim();
  Master master(options.linkPath, LineSettings{19200, Parity::Odd, 2});
  EXPECT_TRUE(IsGoodPollReply(master.Exchange(kPoll).bytes));
  EXPECT_EQ(sim->Stats().lineMismatches, 0u);
}

TEST_F(SimulatorTest, WriteOfTheSerialSettingsIsFollowedOnlyWhenAsked) {
  const Bytes set19200Odd2 = {0x05, 0x06, 0x00, 0x00, 0x00, 0x36, 0x08, 0x58};
  for (bool follow : {false, true}) {
    SCOPED_TRACE(follow ? "following" : "not following");
    options.linkPath = UniqueLink();
    options.followSerialWrites = follow;
    StartSim();
    Master master(options.linkPath);
    EXPECT_EQ(master.Exchange(set19200Odd2).bytes, set19200Odd2);  // the echo goes out at the old settings
    EXPECT_EQ(sim->Registers()[0], 0x36);
    EXPECT_EQ(IsGoodPollReply(master.Exchange(kPoll).bytes), !follow);
    if (follow) {
      EXPECT_EQ(sim->OwnLineSettings(), (LineSettings{19200, Parity::Odd, 2}));
      ASSERT_TRUE(master.Configure({19200, Parity::Odd, 2}));
      EXPECT_TRUE(IsGoodPollReply(master.Exchange(kPoll).bytes));
    }
  }
}

// The adapter pulled and plugged back: hang-up, no path, then a new device at the path.
TEST_F(SimulatorTest, UnplugRemovesTheLinkUntilTheLineComesBackOnANewDevice) {
  StartSim();
  const std::string firstSlave = sim->SlavePath();
  Master old(options.linkPath);
  ASSERT_TRUE(IsGoodPollReply(old.Exchange(kPoll).bytes));
  sim->Unplug(60s);
  pollfd p{old.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  // The link goes before the hang-up shows: a master reopening at once finds nothing.
  EXPECT_FALSE(PathExists(options.linkPath));
  EXPECT_FALSE(sim->LineUp());
  errno = 0;
  EXPECT_LT(open(options.linkPath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK), 0);
  EXPECT_EQ(errno, ENOENT);
  std::uint8_t byte = 0;
  const ssize_t n = read(old.Fd(), &byte, 1);
  EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << errno;
  EXPECT_LT(write(old.Fd(), kPoll.data(), kPoll.size()), 0);

  sim->Replug();
  ASSERT_TRUE(WaitFor([&] { return sim->LineUp() && PathExists(options.linkPath); }, 3000ms));
  EXPECT_NE(sim->SlavePath(), firstSlave);
  Master fresh(options.linkPath);
  EXPECT_TRUE(IsGoodPollReply(fresh.Exchange(kPoll).bytes));
  // The old descriptor stays dead: only a new open reaches the unit.
  p = {old.Fd(), POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  const auto stats = sim->Stats();
  EXPECT_EQ(stats.unplugs, 1u);
  EXPECT_EQ(stats.hangups, 1u);
  EXPECT_EQ(stats.reopens, 1u);
}

TEST_F(SimulatorTest, UnpluggedLineComesBackByItself) {
  StartSim();
  for (int cycle = 1; cycle <= 3; ++cycle) {
    SCOPED_TRACE(cycle);
    Master master(options.linkPath);
    ASSERT_TRUE(IsGoodPollReply(master.Exchange(kPoll).bytes));
    sim->Unplug(300ms);
    pollfd p{master.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 2000), 1);
    EXPECT_FALSE(PathExists(options.linkPath));
    ASSERT_TRUE(WaitFor([&] { return sim->Stats().reopens == static_cast<unsigned>(cycle); }, 5000ms));
  }
  Master master(options.linkPath);
  EXPECT_TRUE(IsGoodPollReply(master.Exchange(kPoll).bytes));
  EXPECT_EQ(sim->Stats().unplugs, 3u);
}

TEST_F(SimulatorTest, UnplugFaultTakesTheLineInsteadOfTheAnswer) {
  options.fault = FaultKind::Unplug;
  StartSim();
  {
    Master master(options.linkPath);
    const Received r = master.Exchange(kSetChannel3, 200ms, 1000ms);
    EXPECT_TRUE(r.hungUp);
    EXPECT_TRUE(r.bytes.empty());
  }
  EXPECT_EQ(sim->Registers()[33], 1) << "the request never reached the unit";
  sim->SetFault(FaultKind::None);
  ASSERT_TRUE(WaitFor([&] { return sim->Stats().reopens == 1; }, 3000ms));
  Master master(options.linkPath);
  EXPECT_TRUE(IsGoodPollReply(master.Exchange(kPoll).bytes));
  const auto stats = sim->Stats();
  EXPECT_EQ(stats.Faults(FaultKind::Unplug), 1u);
  EXPECT_EQ(stats.unplugs, 1u);
}

TEST_F(SimulatorTest, StopEndsAnUnplugAndALateReplyAtOnce) {
  for (FaultKind kind : {FaultKind::Unplug, FaultKind::Late}) {
    SCOPED_TRACE(std::string(tagris::unitsim::FaultName(kind)));
    options.linkPath = UniqueLink();
    options.unplugTime = 60s;
    options.lateTime = 60s;
    options.fault = kind;
    StartSim();
    Master master(options.linkPath);
    master.Exchange(kPoll, 50ms, 300ms);
    const auto start = Clock::now();
    sim->Stop();
    EXPECT_LT(Clock::now() - start, 10s);  // far below the minute either would take
    EXPECT_FALSE(PathExists(options.linkPath));
  }
}

// A scan talks to several units on several ports at once.
TEST(SimulatorsSideBySide, TwoUnitsOnTwoLinksDoNotDisturbEachOther) {
  SimulatorOptions a;
  a.linkPath = UniqueLink();
  a.drift = false;
  SimulatorOptions b = a;
  b.linkPath = UniqueLink();
  b.address = 7;
  b.line = {19200, Parity::None, 2};
  Simulator unitA(a), unitB(b);
  unitA.Start();
  unitB.Start();
  Master masterA(a.linkPath);
  Master masterB(b.linkPath, LineSettings{19200, Parity::None, 2});
  const Bytes pollAt7 = {0x07, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC5, 0xBA};

  EXPECT_TRUE(IsGoodPollReply(masterA.Exchange(kPoll).bytes));
  EXPECT_TRUE(masterB.Exchange(kPoll, 100ms, 300ms).bytes.empty());  // nobody at 5 on B's line
  Received r = masterB.Exchange(pollAt7);
  ASSERT_EQ(r.bytes.size(), 113u);
  EXPECT_EQ(r.bytes[0], 7);
  EXPECT_TRUE(tagris::CrcMatches(r.bytes));

  unitA.SetFault(FaultKind::Garbage);
  unitA.Unplug(60s);
  EXPECT_EQ(masterB.Exchange(pollAt7).bytes.size(), 113u);
  EXPECT_TRUE(PathExists(b.linkPath));
  EXPECT_EQ(unitB.Stats().hangups, 0u);
  EXPECT_EQ(unitB.Stats().faultsInjected, 0u);
  unitA.Stop();
  EXPECT_EQ(masterB.Exchange(pollAt7).bytes.size(), 113u);
}

TEST_F(SimulatorTest, FaultRateSpoilsOnlyAShare) {
  options.fault = FaultKind::Silent;
  options.faultRate = 0.0;
  StartSim();
  Master master(options.linkPath);
  EXPECT_TRUE(IsGoodPollReply(master.Exchange(kPoll).bytes));
  EXPECT_EQ(sim->Stats().faultsInjected, 0u);
}

TEST_F(SimulatorTest, HangUpIsSeenAndTheLinkComesBack) {
  StartSim();
  const std::string firstSlave = sim->SlavePath();
  {
    Master master(options.linkPath);
    sim->SetFault(FaultKind::Hangup);
    const Received r = master.Exchange(kPoll, 200ms, 1000ms);
    EXPECT_TRUE(r.hungUp);
    EXPECT_TRUE(r.bytes.empty());
    // A hung-up line reads 0 bytes or fails with EIO, as an unplugged adapter does.
    std::uint8_t byte;
    const ssize_t n = read(master.Fd(), &byte, 1);
    EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n << " " << errno;
    EXPECT_EQ(sim->Stats().hangups, 1u);
    sim->SetFault(FaultKind::None);
    // Held open by the old port, the old device stays taken: the line comes back on another one.
    ASSERT_TRUE(WaitFor([&] { return sim->Stats().reopens == 1; }, 2000ms));
    EXPECT_NE(sim->SlavePath(), firstSlave);
  }
  Master again(options.linkPath);
  ASSERT_TRUE(again.IsOpen());
  EXPECT_TRUE(IsGoodPollReply(again.Exchange(kPoll).bytes));
}

TEST_F(SimulatorTest, HangUpOnDemandWithoutARequest) {
  StartSim();
  Master master(options.linkPath);
  sim->HangUp();
  pollfd p{master.Fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  ASSERT_TRUE(WaitFor([&] { return sim->Stats().reopens == 1; }, 2000ms));
  Master again(options.linkPath);
  EXPECT_TRUE(IsGoodPollReply(again.Exchange(kPoll).bytes));
}

TEST_F(SimulatorTest, StopRemovesTheLink) {
  StartSim();
  ASSERT_TRUE(PathExists(options.linkPath));
  sim->Stop();
  EXPECT_FALSE(PathExists(options.linkPath));
  sim->Stop();  // twice is harmless
  sim.reset();
}

TEST_F(SimulatorTest, RefusesToReplaceAFileAtTheLinkPath) {
  { std::ofstream(options.linkPath) << "keep me"; }
  Simulator refused(options);
  EXPECT_THROW(refused.Start(), std::system_error);
  std::ifstream in(options.linkPath);
  std::string text;
  std::getline(in, text);
  EXPECT_EQ(text, "keep me");
  unlink(options.linkPath.c_str());
}

TEST_F(SimulatorTest, StaleLinkFromAnEarlierRunIsReplaced) {
  ASSERT_EQ(symlink("/dev/pts/nonexistent", options.linkPath.c_str()), 0);
  StartSim();
  Master master(options.linkPath);
  EXPECT_TRUE(IsGoodPollReply(master.Exchange(kPoll).bytes));
}

}  // namespace
