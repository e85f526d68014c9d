// The Windows serial port. The name mapping and the refusals need no line; the rest
// talks to the simulated unit through COM ports that scripts/wine-test.sh sets up:
//   TAGRIS_TEST_PORT         a unit that answers polls
//   TAGRIS_TEST_HANGUP_PORT  a unit that hangs up on the first request and stays away
// Without them those tests are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>

#include "line_helpers.h"
#include "serial/serial_port.h"

namespace tagris {
namespace {

using namespace std::chrono_literals;
using test::Bytes;

std::string EnvPort(const char* name) {
  const char* v = std::getenv(name);
  return v ? PortDevicePath(v) : std::string();
}

TEST(PortName, MapsToDevice) {
  struct Case {
    const char* name;
    const char* device;
  };
  const Case cases[] = {
      {"COM1", R"(\\.\COM1)"},        {"com12", R"(\\.\COM12)"},     {"COM007", R"(\\.\COM7)"},
      {R"(\\.\COM3)", R"(\\.\COM3)"}, {R"(\\.\CNCA0)", R"(\\.\CNCA0)"}, {R"(\\?\x)", R"(\\?\x)"},
      {"COM", "COM"},                 {"COM0", "COM0"},                {"COMx", "COMx"},
      {"COM1x", "COM1x"},             {"ttyUSB0", "ttyUSB0"},          {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(PortDevicePath(c.name), c.device) << c.name;
}

TEST(PortOpen, RefusalsSayWhy) {
  auto port = MakeSystemPort();
  EXPECT_FALSE(port->Open(PortDevicePath("COM249")));
  EXPECT_EQ(port->LastOpenError(), OpenError::NotFound);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_FALSE(port->Open(""));
  EXPECT_EQ(port->LastOpenError(), OpenError::NotFound);

  // A plain file opens, but is no serial line.
  const std::filesystem::path file = std::filesystem::temp_directory_path() / "tagris-not-a-port.txt";
  std::ofstream(file) << "x";
  EXPECT_FALSE(port->Open(file.string()));
  EXPECT_EQ(port->LastOpenError(), OpenError::NotSerial);
  EXPECT_FALSE(port->IsOpen());
  std::filesystem::remove(file);
}

// A port on the simulated unit, opened and set like the window sets it.
class LinePort : public ::testing::Test {
 protected:
  void SetUp() override {
    path = EnvPort(Variable());
    if (path.empty()) {
      GTEST_SKIP() << Variable() << " not set: no simulated unit to talk to";
    }
    port = MakeSystemPort();
    ASSERT_TRUE(port->Open(path)) << path << ": open error " << static_cast<int>(port->LastOpenError());
    ASSERT_TRUE(port->Configure({9600, Parity::None, false}));
    watchdog.emplace(*port);
    watchdog->Arm(10s);  // generous: the exchanges here take milliseconds
  }
  void TearDown() override {
    if (watchdog) {
      EXPECT_FALSE(watchdog->Fired()) << "a wait had to be cancelled by the watchdog";
    }
    watchdog.reset();
    if (port) port->Close();
  }
  virtual const char* Variable() const { return "TAGRIS_TEST_PORT"; }

  std::string path;
  std::unique_ptr<SerialPort> port;
  std::optional<test::Watchdog> watchdog;
};

TEST_F(LinePort, PollGetsTheWholeReply) {
  for (int i = 0; i < 5; ++i) {
    PortEvent ended;
    const Bytes reply = test::Exchange(*port, test::kPoll, test::kPollReplySize, ended);
    EXPECT_EQ(ended, PortEvent::Received);
    EXPECT_TRUE(test::IsPollReply(reply)) << "poll " << i << ": " << reply.size() << " bytes";
  }
}

TEST_F(LinePort, SettingsTheDriverTakes) {
  for (const PortSettings s : {PortSettings{9600, Parity::None, false}, PortSettings{19200, Parity::Odd, true},
                               PortSettings{115200, Parity::Even, false}})
    EXPECT_TRUE(port->Configure(s)) << s.baud;
  EXPECT_FALSE(port->Configure({0, Parity::None, false}));
  EXPECT_FALSE(port->Configure({-9600, Parity::None, false}));
  // Still a working line afterwards.
  ASSERT_TRUE(port->Configure({9600, Parity::None, false}));
  PortEvent ended;
  EXPECT_TRUE(test::IsPollReply(test::Exchange(*port, test::kPoll, test::kPollReplySize, ended)));
}

TEST_F(LinePort, SecondOpenIsBusyUntilClosed) {
  auto other = MakeSystemPort();
  EXPECT_FALSE(other->Open(path));
  EXPECT_EQ(other->LastOpenError(), OpenError::Busy);
  watchdog.reset();
  port->Close();
  EXPECT_TRUE(other->Open(path)) << "open error " << static_cast<int>(other->LastOpenError());
  other->Close();
}

TEST_F(LinePort, ReadNeverWaitsAndPurgeEmptiesTheQueue) {
  std::uint8_t buffer[16];
  EXPECT_EQ(port->QueuedInput(), 0u);
  EXPECT_EQ(port->Read(buffer, sizeof buffer), 0u);  // idle line: returns at once

  ASSERT_TRUE(port->Write(test::kPoll.data(), test::kPoll.size()));
  ASSERT_EQ(port->WaitEvent(), PortEvent::Received);
  EXPECT_GT(port->QueuedInput(), 0u);
  // Let the rest of the reply reach the driver, then drop it all.
  std::this_thread::sleep_for(100ms);
  port->PurgeInput();
  EXPECT_EQ(port->QueuedInput(), 0u);
  EXPECT_EQ(port->Read(buffer, sizeof buffer), 0u);

  // Nothing of the purged reply turns up later in front of the next one.
  PortEvent ended;
  EXPECT_TRUE(test::IsPollReply(test::Exchange(*port, test::kPoll, test::kPollReplySize, ended)));
}

TEST_F(LinePort, PartialReadsKeepTheRestInOrder) {
  ASSERT_TRUE(port->Write(test::kPoll.data(), test::kPoll.size()));
  while (port->QueuedInput() < test::kPollReplySize) ASSERT_EQ(port->WaitEvent(), PortEvent::Received);
  Bytes reply(test::kPollReplySize);
  std::size_t got = 0;
  for (std::size_t step : {1, 7, 50, 200}) got += port->Read(reply.data() + got, std::min(step, reply.size() - got));
  EXPECT_EQ(got, test::kPollReplySize);
  EXPECT_TRUE(test::IsPollReply(reply));
  EXPECT_EQ(port->QueuedInput(), 0u);
}

TEST_F(LinePort, CancelWakesAWaitAndStaysInForce) {
  watchdog.reset();  // this test cancels on purpose
  std::atomic<bool> waiting{false};
  PortEvent seen = PortEvent::Received;
  std::thread waiter([&] {
    waiting = true;
    seen = port->WaitEvent();  // the unit says nothing unless asked
  });
  while (!waiting) std::this_thread::yield();
  std::this_thread::sleep_for(100ms);  // well inside the wait by now
  port->Cancel();
  waiter.join();
  EXPECT_EQ(seen, PortEvent::Cancelled);
  EXPECT_EQ(port->WaitEvent(), PortEvent::Cancelled);
  EXPECT_TRUE(port->WaitCancelled(0));
}

TEST_F(LinePort, WaitCancelledTimesOutWithoutCancel) { EXPECT_FALSE(port->WaitCancelled(20)); }

// The unit behind this port hangs up on the first request, like a pulled adapter.
class HungUpPort : public LinePort {
 protected:
  const char* Variable() const override { return "TAGRIS_TEST_HANGUP_PORT"; }
};

TEST_F(HungUpPort, LineLostEndsTheWaitAndKeepsBeingReported) {
  PortEvent ended;
  const Bytes reply = test::Exchange(*port, test::kPoll, test::kPollReplySize, ended);
  EXPECT_EQ(ended, PortEvent::LineLost);
  EXPECT_LT(reply.size(), test::kPollReplySize);
  // Every later wait says so again instead of hanging; a write fails instead of hanging.
  for (int i = 0; i < 3; ++i) EXPECT_EQ(port->WaitEvent(), PortEvent::LineLost) << i;
  EXPECT_FALSE(port->Write(test::kPoll.data(), test::kPoll.size()));
  // Cancel still wins over the lost line, so a closing link stops at once.
  port->Cancel();
  EXPECT_EQ(port->WaitEvent(), PortEvent::Cancelled);
  watchdog.reset();
}

}  // namespace
}  // namespace tagris
