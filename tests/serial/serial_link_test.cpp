// The port and the receive and transmit threads on a real pseudo-terminal.
#include <gtest/gtest.h>
#include <termios.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "pty_peer.h"
#include "modbus/frames.h"
#include "serial/custom_baud_linux.h"
#include "serial/serial_link.h"

namespace tagris {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

const Request kPoll{0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};

Bytes Pattern(std::size_t n, std::uint8_t start = 1) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(start + i);
  return b;
}

Bytes Read(const ReceivedChunk& c) { return Bytes(c.Read().begin(), c.Read().end()); }

TEST(PortName, MapsToDevice) {
  struct Case {
    const char* name;
    const char* device;
  };
  const Case cases[] = {
      {"COM1", "/dev/ttyS0"},        {"COM3", "/dev/ttyS2"},          {"COM20", "/dev/ttyS19"},
      {"com2", "/dev/ttyS1"},        {"ttyUSB0", "/dev/ttyUSB0"},     {"/dev/pts/7", "/dev/pts/7"},
      {"./dev/x", "./dev/x"},        {"COM", "/dev/COM"},             {"COM0", "/dev/COM0"},
      {"COMx", "/dev/COMx"},         {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(PortDevicePath(c.name), c.device) << c.name;
}

// The owner's side: the receive thread rings, the test takes what it read.
class LinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.ok());
    ASSERT_EQ(link.Open(peer.path()), OpenError::None);
    link.Configure({9600, Parity::None, false});
    link.Start(113, [this] { ++wakes; });
  }

  void TearDown() override { link.Close(); }

  // Everything read by the time the first chunk came, or nothing within `wait`.
  std::vector<ReceivedChunk> Chunks(std::chrono::milliseconds wait = 2s) {
    if (!link.WaitForChunk(std::chrono::steady_clock::now() + wait)) return {};
    return link.Take();
  }

  // The wake-up count reached n (it rings just after the chunk is in the inbox).
  bool WaitWakes(int n) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (wakes < n && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return wakes == n;
  }

  test::PtyPeer peer;
  std::atomic<int> wakes{0};
  SerialLink link;
};

TEST_F(LinkFixture, ReplyInTwoBurstsIsReadOnceWhole) {
  const Bytes reply = Pattern(113);
  peer.Write(Bytes(reply.begin(), reply.begin() + 40));
  EXPECT_TRUE(Chunks(150ms).empty()) << "40 bytes are below the threshold";
  peer.Write(Bytes(reply.begin() + 40, reply.end()));
  const auto got = Chunks();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Read(got[0]), reply);
  EXPECT_EQ(got[0].threshold, 113u);
  EXPECT_TRUE(std::all_of(got[0].bytes.begin() + 113, got[0].bytes.end(), [](auto b) { return b == 0; }));
  EXPECT_TRUE(WaitWakes(1));
  EXPECT_TRUE(Chunks(150ms).empty());
  EXPECT_EQ(wakes, 1);
}

TEST_F(LinkFixture, EverythingQueuedIsReadInOneRead) {
  const Bytes reply = Pattern(120, 0x80);
  peer.Write(reply);
  const auto got = Chunks();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Read(got[0]), reply);
  EXPECT_TRUE(Chunks(100ms).empty());
}

TEST_F(LinkFixture, UpTo2048QueuedBytesAreReadMoreAreDiscarded) {
  // The threshold holds the reader off until the whole block is in: 2048 bytes
  // are still read as one, 2049 are thrown away unread.
  link.Send(kPoll, 2048);
  EXPECT_EQ(peer.Read(8, 1000), Bytes(kPoll.begin(), kPoll.end()));
  peer.Write(Pattern(2048, 7));
  auto got = Chunks();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Read(got[0]), Pattern(2048, 7));

  link.Send(kPoll, 2049);
  EXPECT_EQ(peer.Read(8, 1000), Bytes(kPoll.begin(), kPoll.end()));
  peer.Write(Pattern(2049, 9));
  EXPECT_TRUE(Chunks(300ms).empty());
  // The queue was emptied: the next reply, let in without a purge, is counted
  // from its first byte.
  link.Send(kPoll, 113, /*purge=*/false);
  EXPECT_EQ(peer.Read(8, 1000), Bytes(kPoll.begin(), kPoll.end()));
  peer.Write(Pattern(113, 0x40));
  got = Chunks();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Read(got[0]), Pattern(113, 0x40));
}

TEST_F(LinkFixture, SendWritesTheFrameAndDropsStaleInput) {
  peer.Write(Pattern(50));  // a stray half reply
  std::this_thread::sleep_for(50ms);
  const std::uint64_t exchange = link.Send(kPoll, 113);
  EXPECT_EQ(peer.Read(100, 300), Bytes(kPoll.begin(), kPoll.end()));
  peer.Write(Pattern(113, 0x10));
  const auto got = Chunks();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Read(got[0]), Pattern(113, 0x10)) << "counted from the reply's first byte";
  EXPECT_EQ(got[0].exchange, exchange);
}

TEST_F(LinkFixture, ReplyReadBeforeTheNextFrameKeepsItsOwnExchange) {
  const std::uint64_t first = link.Send(kPoll, 113);
  peer.Read(8, 300);
  peer.Write(Pattern(113));
  ASSERT_TRUE(link.WaitForChunk(std::chrono::steady_clock::now() + 2s));
  const Request write{0x05, 0x06, 0x00, 0x21, 0x00, 0x01, 0x19, 0x84};
  const std::uint64_t second = link.Send(write, 113);  // the next tick came first
  EXPECT_NE(second, first);
  auto got = link.Take();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].exchange, first) << "a late reply must not pass for the answer to the next request";
  // The reader goes on normally.
  EXPECT_EQ(peer.Read(8, 300), Bytes(write.begin(), write.end()));
  peer.Write(Pattern(113, 0x20));
  got = Chunks();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].bytes[0], 0x20);
  EXPECT_EQ(got[0].exchange, second);
}

TEST_F(LinkFixture, CloseWithAReplyNotTakenThenConnectAgain) {
  peer.Write(Pattern(113));
  ASSERT_TRUE(link.WaitForChunk(std::chrono::steady_clock::now() + 2s));
  const auto start = std::chrono::steady_clock::now();
  link.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_TRUE(link.Take().empty()) << "nothing of the closed connection is handed on";
  // A fresh connect on the same line works and reads again.
  ASSERT_EQ(link.Open(peer.path()), OpenError::None);
  link.Start(113, [this] { ++wakes; });
  peer.Write(Pattern(113, 0x33));
  const auto got = Chunks();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].bytes[0], 0x33);
}

TEST_F(LinkFixture, CloseBeforeAnyFrameWritesNothing) {
  link.Close();
  EXPECT_TRUE(peer.Read(1, 200).empty());
}

TEST_F(LinkFixture, CloseWhileTheWriterIsStuck) {
  // Output stopped on the line: the transmit thread cannot get its frame out.
  ASSERT_EQ(tcflow(peer.slave(), TCOOFF), 0);
  link.Send(kPoll, 113);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(peer.Read(1, 50).empty());
  const auto start = std::chrono::steady_clock::now();
  link.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  tcflow(peer.slave(), TCOON);
}

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST_F(LinkFixture, HangUpIsReportedOnceAndDoesNotSpin) {
  peer.CloseMaster();
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!link.LineLost() && std::chrono::steady_clock::now() < deadline) link.WaitForChunk(deadline);
  ASSERT_TRUE(link.LineLost());
  ASSERT_TRUE(WaitWakes(1));
  // Only the link's threads can use CPU now: the test sleeps.
  const double before = ProcessCpuSeconds();
  std::this_thread::sleep_for(1s);
  EXPECT_LT(ProcessCpuSeconds() - before, 0.1) << "the receive thread spins on the dead line";
  EXPECT_EQ(wakes, 1) << "the owner hears of the loss once";
  link.Send(kPoll, 113);  // polls go on; the write fails quietly
  const auto start = std::chrono::steady_clock::now();
  link.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  // The unit is back on a new line: the next connect works.
  test::PtyPeer again;
  ASSERT_EQ(link.Open(again.path()), OpenError::None);
  link.Close();
}

TEST(SerialPort, OpenIsExclusiveAndSaysWhyItFailed) {
  test::PtyPeer peer;
  ASSERT_TRUE(peer.ok());
  SerialLink first, second;
  ASSERT_EQ(first.Open(peer.path()), OpenError::None);
  EXPECT_EQ(second.Open(peer.path()), OpenError::Busy) << "a port in use must not open twice";
  first.Close();
  EXPECT_EQ(second.Open(peer.path()), OpenError::None);
  EXPECT_EQ(first.Open("/dev/tagris-no-such-port"), OpenError::NotFound);
  EXPECT_EQ(first.Open(""), OpenError::NotFound);
  EXPECT_EQ(first.Open("/dev/null"), OpenError::NotSerial);
  EXPECT_FALSE(first.IsOpen());
}

TEST(SerialPort, SettingsReachTheLine) {
  struct Case {
    PortSettings settings;
    std::uint32_t baud;
  };
  const Case cases[] = {
      {{9600, Parity::None, false}, 9600},
      {{4800, Parity::Odd, true}, 4800},
      {{14400, Parity::Even, false}, 14400},   // no Bxxx constant
      {{57600, Parity::None, true}, 57600},    // typed by the operator
      {{38400, Parity::Odd, false}, 38400},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baud);
    test::PtyPeer peer;
    ASSERT_TRUE(peer.ok());
    SerialLink link;
    ASSERT_EQ(link.Open(peer.path()), OpenError::None);
    link.Configure(c.settings);
    termios t{};
    ASSERT_EQ(tcgetattr(peer.slave(), &t), 0);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_TRUE(t.c_cflag & CREAD);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF));
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(t.c_oflag & OPOST);
    EXPECT_EQ(bool(t.c_cflag & CSTOPB), c.settings.twoStopBits);
    // A pseudo-terminal drops PARENB but keeps PARODD.
    EXPECT_EQ(bool(t.c_cflag & PARODD), c.settings.parity == Parity::Odd);
    EXPECT_EQ(detail::GetBaud(peer.slave()), c.baud);
  }
}

}  // namespace
}  // namespace tagris
