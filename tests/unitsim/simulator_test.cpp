// The simulator seen from the master's side of the pseudo-terminal, as the tool sees it.
#include "simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <functional>
#include <system_error>
#include <thread>
#include <vector>

#include "modbus/crc.h"

namespace {

using namespace std::chrono_literals;
using tagris::unitsim::FaultKind;
using tagris::unitsim::Simulator;
using tagris::unitsim::SimulatorOptions;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

const Bytes kPoll = {0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};

std::string UniqueLink() {
  static std::atomic<int> counter{0};
  return "/tmp/tagris-unitsim-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// What a master reads after a request: the bytes, and how they came in.
struct Received {
  Bytes bytes;
  std::vector<Clock::time_point> arrivals;  // one per read() that returned data
  bool hungUp = false;
  Clock::time_point sent;
};

// The tool's side of the line: opened by path like a serial port.
class Master {
 public:
  explicit Master(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
    tcflush(fd_, TCIOFLUSH);
  }
  ~Master() {
    if (fd_ >= 0) close(fd_);
  }
  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }

  // Sends a request and reads until `quiet` passes without a byte (after the first) or `limit` is up.
  Received Exchange(const Bytes& request, std::chrono::milliseconds quiet = 200ms,
                    std::chrono::milliseconds limit = 1500ms) {
    Received r;
    r.sent = Clock::now();
    EXPECT_EQ(write(fd_, request.data(), request.size()), static_cast<ssize_t>(request.size()));
    const auto end = r.sent + limit;
    while (Clock::now() < end) {
      const auto wait = r.bytes.empty() ? end - Clock::now() : std::chrono::nanoseconds(quiet);
      pollfd p{fd_, POLLIN, 0};
      const int n = poll(&p, 1, static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(wait).count()));
      if (n == 0) {
        if (!r.bytes.empty()) break;
        continue;
      }
      if (p.revents & (POLLHUP | POLLERR)) {
        r.hungUp = true;
        break;
      }
      std::uint8_t buffer[4096];
      const ssize_t got = read(fd_, buffer, sizeof buffer);
      if (got > 0) {
        r.bytes.insert(r.bytes.end(), buffer, buffer + got);
        r.arrivals.push_back(Clock::now());
      }
    }
    return r;
  }

 private:
  int fd_ = -1;
};

Bytes Head(const Bytes& bytes, std::size_t n) { return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size()))); }

bool IsGoodPollReply(const Bytes& reply) {
  return reply.size() == 113 && reply[0] == 0x05 && reply[1] == 0x03 && reply[2] == 0x6C && tagris::CrcMatches(reply);
}

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  while (!pred()) {
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options.linkPath = UniqueLink();
    options.drift = false;
    options.hangupTime = 200ms;
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
  }
  // With the fault off again the line is clean.
  sim->SetFault(FaultKind::None);
  EXPECT_TRUE(IsGoodPollReply(master.Exchange(kPoll).bytes));
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
