#pragma once
// The master's side of a simulated line for the simulator's tests: a port opened
// by path and set up as the tool sets it up, plus what checks of its bytes need.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "line_settings.h"
#include "modbus/crc.h"

namespace tagris::unitsim::test {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

inline const Bytes kPoll = {0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};
inline const Bytes kSetChannel3 = {0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45};

inline std::string UniqueLink() {
  static std::atomic<int> counter{0};
  return "/tmp/tagris-unitsim-test-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
}

inline bool PathExists(const std::string& path) {
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

// The tool's side of the line: opened by path like a serial port and set up as
// the tool sets it up (standard speeds through cfsetspeed, others through termios2).
// Without settings it stays raw at whatever speed the pty had, 38400 when new.
class Master {
 public:
  explicit Master(const std::string& path, std::optional<LineSettings> line = LineSettings{}) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
    if (line) {
      EXPECT_TRUE(Configure(*line));
    }
    tcflush(fd_, TCIOFLUSH);
  }
  bool Configure(const LineSettings& s) {
    static const std::pair<std::uint32_t, speed_t> kStandard[] = {
        {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400}, {115200, B115200}};
    speed_t code = 0;
    for (const auto& [baud, c] : kStandard)
      if (baud == s.baud) code = c;
    if (code == 0) return ConfigureLine(fd_, s);
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(PARENB | PARODD | CSTOPB);
    if (s.parity != Parity::None) tio.c_cflag |= PARENB;
    if (s.parity == Parity::Odd) tio.c_cflag |= PARODD;
    if (s.stopBits == 2) tio.c_cflag |= CSTOPB;
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    if (tcsetattr(fd_, TCSANOW, &tio) == 0) return true;
    // The pty drops PARENB and glibc, reading the settings back, then reports EINVAL for
    // even parity although speed and stop bits took effect (odd passes: PARODD stays).
    return errno == EINVAL && s.parity == Parity::Even;
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

inline Bytes Head(const Bytes& bytes, std::size_t n) { return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size()))); }

inline bool IsGoodPollReply(const Bytes& reply) {
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

// True when some run of four bytes or more ends in its own CRC: a master could take it for a frame.
inline bool HoldsAFrame(const Bytes& bytes) {
  for (std::size_t begin = 0; begin < bytes.size(); ++begin)
    for (std::size_t end = begin + 4; end <= bytes.size(); ++end)
      if (tagris::CrcMatches(std::span<const std::uint8_t>(bytes.data() + begin, end - begin))) return true;
  return false;
}

}  // namespace tagris::unitsim::test
