// The port and the receive and transmit threads on a real pseudo-terminal.
#include <gtest/gtest.h>
#include <pthread.h>
#include <termios.h>
#include <time.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "pty_peer.h"
#include "serial/custom_baud_linux.h"
#include "serial/serial_link.h"

namespace tagris {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n, std::uint8_t start = 1) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(start + i);
  return b;
}

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

// The window's side of the hand-over: the receive thread rings, and the reply is
// served on this (the test's) thread.
class LinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer.ok());
    ASSERT_TRUE(link.OpenPort(peer.path()));
    link.Configure({9600, Parity::None, false});
    link.ExpectedReplyLength = 113;
    link.Start([this] { Ring(); });
  }

  void TearDown() override { link.Close(); }

  // The hook: the receive thread has a reply waiting for the "main thread".
  void Ring() {
    {
      std::lock_guard lock(m);
      ++rings;
    }
    cv.notify_all();
  }

  // True when a ring came within `wait`.
  bool NextRing(std::chrono::milliseconds wait) {
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, wait, [&] { return rings > 0; })) return false;
    --rings;
    return true;
  }

  // Waits for one hand-over and serves it; the reply, or nothing when none came
  // or the link dropped it.
  std::optional<std::pair<Bytes, std::size_t>> Serve(std::chrono::milliseconds wait = 2s) {
    if (!NextRing(wait)) return std::nullopt;
    std::optional<std::pair<Bytes, std::size_t>> got;
    link.ServeHandOver([&](const ReceivedReply& r) {
      got.emplace(Bytes(r.buffer.begin(), r.buffer.end()), r.length);
    });
    return got;
  }

  test::PtyPeer peer;
  SerialLink link;
  std::mutex m;
  std::condition_variable cv;
  int rings = 0;
};

TEST_F(LinkFixture, ReplyInTwoBurstsIsHandedOverOnce) {
  const Bytes reply = Pattern(113);
  peer.Write(Bytes(reply.begin(), reply.begin() + 40));
  EXPECT_FALSE(NextRing(150ms)) << "40 bytes are below the threshold";
  peer.Write(Bytes(reply.begin() + 40, reply.end()));
  const auto got = Serve();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->second, 113u);
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), got->first.begin()));
  EXPECT_TRUE(std::all_of(got->first.begin() + 113, got->first.end(), [](auto b) { return b == 0; }));
  EXPECT_FALSE(NextRing(150ms));
}

TEST_F(LinkFixture, EverythingQueuedIsReadInOneRead) {
  const Bytes reply = Pattern(120, 0x80);
  peer.Write(reply);
  const auto got = Serve();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->second, 120u);
  EXPECT_TRUE(std::equal(reply.begin(), reply.end(), got->first.begin()));
  EXPECT_FALSE(NextRing(100ms));
}

TEST_F(LinkFixture, HandOverIsServedOnceAndHoldsTheReader) {
  peer.Write(Pattern(113));
  ASSERT_TRUE(NextRing(2s));
  int runs = 0;
  bool nested = true;
  EXPECT_TRUE(link.ServeHandOver([&](const ReceivedReply&) {
    ++runs;
    // The reader waits meanwhile: bytes that arrive now are not read yet.
    peer.Write(Pattern(113, 0x60));
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(NextRing(50ms));
    // A nested event loop answering a second ring must not run the same reply again.
    nested = link.ServeHandOver([&](const ReceivedReply&) { ++runs; });
  }));
  EXPECT_EQ(runs, 1);
  EXPECT_FALSE(nested);
  // Then the reader goes on: the next hand-over, whenever the reader gets to it
  // (it may already be waiting), is the second reply, never the first again.
  Bytes next;
  const auto take = [&](const ReceivedReply& r) { next.assign(r.buffer.begin(), r.buffer.end()); };
  if (!link.ServeHandOver(take)) {
    ASSERT_TRUE(NextRing(2s));
    ASSERT_TRUE(link.ServeHandOver(take));
  }
  ASSERT_FALSE(next.empty());
  EXPECT_EQ(next[0], 0x60);
}

TEST_F(LinkFixture, BytesAfterThresholdWaitForTheHandOver) {
  // While a reply waits for the main thread nothing is read; what came meanwhile
  // is counted afterwards as one block. 2048 bytes are still read, 2049 discarded.
  struct Case {
    std::size_t n;
    bool handedOver;
  };
  for (const Case c : {Case{2048, true}, Case{2049, false}}) {
    SCOPED_TRACE(c.n);
    peer.Write(Pattern(113));
    ASSERT_TRUE(NextRing(2s));
    peer.Write(Pattern(c.n, 7));
    std::this_thread::sleep_for(100ms);  // all of it in the driver before the reader looks
    EXPECT_TRUE(link.ServeHandOver([](const ReceivedReply&) {}));
    if (c.handedOver) {
      const auto got = Serve();
      ASSERT_TRUE(got);
      EXPECT_EQ(got->second, 2048u);
      EXPECT_EQ(got->first, Pattern(2048, 7));
    } else {
      EXPECT_FALSE(NextRing(200ms));
      const auto rx = link.RxSnapshot();
      EXPECT_TRUE(std::all_of(rx.begin(), rx.end(), [](auto b) { return b == 0; }));
      // The queue was emptied: the next reply is counted from its first byte.
      peer.Write(Pattern(113, 0x40));
      const auto got = Serve();
      ASSERT_TRUE(got);
      EXPECT_EQ(got->second, 113u);
      EXPECT_EQ(got->first[0], 0x40);
    }
  }
}

TEST_F(LinkFixture, SendFrameWritesTheFrameAndDropsStaleInput) {
  peer.Write(Pattern(50));  // a stray half reply
  std::this_thread::sleep_for(50ms);
  const std::uint8_t poll[] = {0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};
  link.SendFrame(poll, 8);
  EXPECT_EQ(peer.Read(100, 300), Bytes(poll, poll + 8));
  peer.Write(Pattern(113, 0x10));
  const auto got = Serve();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->second, 113u);
  EXPECT_EQ(got->first[0], 0x10);
}

TEST_F(LinkFixture, ReplyReadBeforeTheNextFrameIsNotHandedOn) {
  peer.Write(Pattern(113));
  ASSERT_TRUE(NextRing(2s));
  const std::uint8_t frame[8] = {5, 6, 0, 0x21, 0, 1, 0x19, 0x84};
  link.SendFrame(frame, 8);  // the next tick came first
  bool ran = false;
  EXPECT_TRUE(link.ServeHandOver([&](const ReceivedReply&) { ran = true; }));
  EXPECT_FALSE(ran);
  // The reader goes on normally.
  peer.Read(8, 300);
  peer.Write(Pattern(113, 0x20));
  const auto got = Serve();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->first[0], 0x20);
}

TEST_F(LinkFixture, CloseWithAReplyInFlight) {
  peer.Write(Pattern(113));
  ASSERT_TRUE(NextRing(2s));  // the reader now waits for the main thread
  const auto start = std::chrono::steady_clock::now();
  link.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  EXPECT_FALSE(link.IsOpen());
  bool ran = false;
  EXPECT_FALSE(link.ServeHandOver([&](const ReceivedReply&) { ran = true; }));  // the ring, answered late
  EXPECT_FALSE(ran);
  // A fresh connect on the same line works and hands over again.
  ASSERT_TRUE(link.OpenPort(peer.path()));
  link.ExpectedReplyLength = 113;
  link.Start([this] { Ring(); });
  peer.Write(Pattern(113, 0x33));
  const auto got = Serve();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->first[0], 0x33);
}

TEST_F(LinkFixture, CloseBeforeAnyFrameWritesNothing) {
  link.Close();
  EXPECT_TRUE(peer.Read(1, 200).empty());
}

TEST_F(LinkFixture, CloseWhileTheWriterIsStuck) {
  // Output stopped on the line: the transmit thread cannot get its frame out.
  ASSERT_EQ(tcflow(peer.slave(), TCOOFF), 0);
  const std::uint8_t poll[] = {0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};
  link.SendFrame(poll, 8);
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(peer.Read(1, 50).empty());
  const auto start = std::chrono::steady_clock::now();
  link.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  tcflow(peer.slave(), TCOON);
}

double ThreadCpuSeconds(pthread_t thread) {
  clockid_t clock;
  if (pthread_getcpuclockid(thread, &clock) != 0) return -1;
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

TEST_F(LinkFixture, HangUpDoesNotSpin) {
  peer.CloseMaster();
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(link.LineLost());
  const double before = ThreadCpuSeconds(link.ReaderHandle());
  std::this_thread::sleep_for(1s);
  const double used = ThreadCpuSeconds(link.ReaderHandle()) - before;
  EXPECT_GE(used, 0.0);
  EXPECT_LT(used, 0.05) << "the receive thread spins on the dead line";
  const std::uint8_t poll[] = {0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};
  link.SendFrame(poll, 8);  // polls go on; the write fails quietly
  const auto start = std::chrono::steady_clock::now();
  link.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  // The unit is back on a new line: the next connect works.
  test::PtyPeer again;
  ASSERT_TRUE(link.OpenPort(again.path()));
  link.Close();
}

TEST(SerialPort, OpenIsExclusiveAndReleasedOnClose) {
  test::PtyPeer peer;
  ASSERT_TRUE(peer.ok());
  SerialLink first, second;
  ASSERT_TRUE(first.OpenPort(peer.path()));
  EXPECT_FALSE(second.OpenPort(peer.path())) << "a port in use must not open twice";
  first.Close();
  EXPECT_TRUE(second.OpenPort(peer.path()));
  EXPECT_FALSE(first.OpenPort("/dev/tagris-no-such-port"));
  EXPECT_FALSE(first.OpenPort(""));
  EXPECT_FALSE(first.OpenPort("/dev/null")) << "not a serial line";
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
    ASSERT_TRUE(link.OpenPort(peer.path()));
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
