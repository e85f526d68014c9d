// tagris-port-probe: figures for scripts/wine-test.sh from the Windows port backend
// on a line to the simulated unit. Not a test: it measures, the script judges.
//   poll PORT COUNT     COUNT polls; round-trip times (write until the whole reply is read)
//   idle PORT SECONDS   one wait on a quiet line, cancelled after SECONDS; CPU used meanwhile
//   lost PORT SECONDS   a poll to a unit that hangs up, then the receive thread's loop
//                       (wait, and pause 250 ms on a lost line) for SECONDS; CPU used
// Prints one line "probe <mode>: key=value ..." and exits 0 when the line behaved
// (every reply whole; the idle wait cancelled; the line reported lost), 1 otherwise.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/windows_api.h"
#include "line_helpers.h"
#include "serial/serial_port.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tagris::PortEvent;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// User plus kernel time of this process so far, in milliseconds.
double CpuMs() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto ms = [](const FILETIME& t) {
    return static_cast<double>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
  };
  return ms(kernel) + ms(user);
}

std::unique_ptr<tagris::SerialPort> OpenPort(const char* name) {
  auto port = tagris::MakeSystemPort();
  if (!port->Open(tagris::PortDevicePath(name)) || !port->Configure({9600, tagris::Parity::None, false})) {
    std::fprintf(stderr, "tagris-port-probe: cannot open %s (error %d)\n", name,
                 static_cast<int>(port->LastOpenError()));
    return nullptr;
  }
  return port;
}

int Poll(tagris::SerialPort& port, int count) {
  tagris::test::Watchdog watchdog(port);
  std::vector<double> times;
  int whole = 0;
  for (int i = 0; i < count; ++i) {
    watchdog.Arm(5s);
    PortEvent ended;
    const Clock::time_point start = Clock::now();
    const tagris::test::Bytes reply =
        tagris::test::Exchange(port, tagris::test::kPoll, tagris::test::kPollReplySize, ended);
    const Clock::time_point end = Clock::now();
    watchdog.Disarm();
    if (!tagris::test::IsPollReply(reply)) continue;
    ++whole;
    times.push_back(Ms(end - start));
  }
  std::sort(times.begin(), times.end());
  const double median = times.empty() ? 0 : times[times.size() / 2];
  std::printf("probe poll: count=%d whole=%d median_ms=%.2f min_ms=%.2f max_ms=%.2f\n", count, whole, median,
              times.empty() ? 0 : times.front(), times.empty() ? 0 : times.back());
  return whole == count ? 0 : 1;
}

int Idle(tagris::SerialPort& port, int seconds) {
  const double cpu0 = CpuMs();
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    port.Cancel();
  });
  int wakes = 0;
  PortEvent ended;
  while ((ended = port.WaitEvent()) == PortEvent::Received) ++wakes;  // nobody talks: none expected
  stopper.join();
  const double cpu = CpuMs() - cpu0;
  std::printf("probe idle: seconds=%d wakes=%d ended=%s cpu_ms=%.1f\n", seconds, wakes,
              ended == PortEvent::Cancelled ? "cancelled" : "lost", cpu);
  return ended == PortEvent::Cancelled ? 0 : 1;
}

int Lost(tagris::SerialPort& port, int seconds) {
  tagris::test::Watchdog watchdog(port);
  watchdog.Arm(10s);
  PortEvent ended;
  const Clock::time_point start = Clock::now();
  tagris::test::Exchange(port, tagris::test::kPoll, tagris::test::kPollReplySize, ended);
  const double lostAfter = Ms(Clock::now() - start);
  watchdog.Disarm();
  if (ended != PortEvent::LineLost) {
    std::printf("probe lost: ended=%s\n", ended == PortEvent::Cancelled ? "cancelled" : "received");
    return 1;
  }
  // What the receive thread does on a lost line, for a while, measured.
  const double cpu0 = CpuMs();
  const Clock::time_point until = Clock::now() + std::chrono::seconds(seconds);
  int waits = 0, lost = 0;
  while (Clock::now() < until) {
    ++waits;
    if (port.WaitEvent() != PortEvent::LineLost) continue;
    ++lost;
    port.WaitCancelled(250);
  }
  const double cpu = CpuMs() - cpu0;
  std::printf("probe lost: lost_after_ms=%.1f seconds=%d waits=%d lost=%d cpu_ms=%.1f\n", lostAfter, seconds, waits,
              lost, cpu);
  return lost == waits ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: tagris-port-probe poll|idle|lost PORT N\n");
    return 2;
  }
  const std::string mode = argv[1];
  const int n = std::atoi(argv[3]);
  auto port = OpenPort(argv[2]);
  if (!port) return 1;
  if (mode == "poll") return Poll(*port, n);
  if (mode == "idle") return Idle(*port, n);
  if (mode == "lost") return Lost(*port, n);
  std::fprintf(stderr, "tagris-port-probe: unknown mode %s\n", mode.c_str());
  return 2;
}
