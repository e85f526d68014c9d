// tagris-cli scan and diag, run as separate processes against simulated units on
// pseudo-terminals: every fault and line mismatch the simulator makes, as diag
// counts and names it; scan finding units at other settings, addresses and ports.
//
// A pseudo-terminal carries no real speed, but both ends share its termios: the
// simulator reads the speed, stop bits and odd-parity flag the master set and
// answers garbage when they differ from its own. Linux clears the parity-enable
// flag on a pty, so even parity cannot be told from none here: a unit at even
// parity answers a master at none (the scan cases below show how that reads).
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "line_settings.h"
#include "scan.h"
#include "simulator.h"

namespace {

using namespace std::chrono_literals;
using tagris::test::ChildProcess;
using tagris::unitsim::FaultKind;
using tagris::unitsim::LineSettings;
using tagris::unitsim::Simulator;
using tagris::unitsim::SimulatorOptions;
using Args = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

// Generous: a loaded machine must not fail a test that would pass on a quiet one.
constexpr auto kLimit = 60s;

// A serial line with nothing on it: a pty whose far end only swallows what is sent.
class EmptyLine {
 public:
  EmptyLine() {
    int slave = -1;
    char name[128] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) return;
    termios t{};
    tcgetattr(master_, &t);
    cfmakeraw(&t);
    tcsetattr(master_, TCSANOW, &t);
    ::close(slave);
    path_ = name;
    drain_ = std::thread([this] {
      while (!stop_) {
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0) {
          std::uint8_t buffer[512];
          // EIO while nobody holds the far end open: wait for the next open.
          if (::read(master_, buffer, sizeof buffer) < 0) std::this_thread::sleep_for(5ms);
        }
      }
    });
  }
  ~EmptyLine() {
    stop_ = true;
    if (drain_.joinable()) drain_.join();
    if (master_ >= 0) ::close(master_);
  }
  const std::string& Path() const { return path_; }

 private:
  int master_ = -1;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread drain_;
};

class CliLine : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tagris-scan-diag.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    sims_.clear();
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  // A unit with still values on a link of its own.
  Simulator& StartUnit(const std::function<void(SimulatorOptions&)>& adjust = {}) {
    SimulatorOptions o;
    o.linkPath = dir_ + "/unit" + std::to_string(sims_.size());
    o.drift = false;
    if (adjust) adjust(o);
    sims_.push_back(std::make_unique<Simulator>(o));
    sims_.back()->Start();
    return *sims_.back();
  }

  struct Finished {
    int status;
    std::string out, err;
    Clock::duration took;
  };
  Finished Run(const Args& args) {
    Args argv{TAGRIS_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string tag = dir_ + "/run" + std::to_string(runs_++);
    const auto start = Clock::now();
    ChildProcess child(argv, tag + ".out", tag + ".err");
    EXPECT_TRUE(child.Started());
    const int status = child.Wait(kLimit);
    return {status, child.Out(), child.Err(), Clock::now() - start};
  }

  std::string dir_;
  std::vector<std::unique_ptr<Simulator>> sims_;
  int runs_ = 0;
};

// The counts object diag prints for these counts, every other class 0.
std::string CountsJson(const std::map<std::string, int>& counts) {
  std::string json = "\"counts\":{";
  for (const char* key : {"ok", "silence", "echo", "bad_crc", "wrong_address", "exception", "wrong_function",
                          "short", "trailing", "garbage", "late"}) {
    const auto it = counts.find(key);
    json += std::string(json.back() == '{' ? "" : ",") + "\"" + key + "\":" +
            std::to_string(it == counts.end() ? 0 : it->second);
  }
  return json + "}";
}

// ---------------------------------------------------------------- diag

struct DiagCase {
  const char* name;
  std::function<void(SimulatorOptions&)> unit;
  Args args;  // beyond --port, --json and --count
  int count;
  std::map<std::string, int> counts;
  const char* cause;
  const char* says;  // a part of the verdict
};

TEST_F(CliLine, DiagNamesEachFaultAndMismatch) {
  auto fault = [](FaultKind kind) { return [kind](SimulatorOptions& o) { o.fault = kind; }; };
  auto line = [](std::uint32_t baud, tagris::unitsim::Parity parity, int stop) {
    return [=](SimulatorOptions& o) { o.line = LineSettings{baud, parity, stop}; };
  };
  using P = tagris::unitsim::Parity;
  const Args fast{"--timeout", "300"};
  const DiagCase cases[] = {
      {"a sound line", {}, fast, 5, {{"ok", 5}}, "ok", "answered correctly"},
      {"bad CRC", fault(FaultKind::BadCrc), fast, 5, {{"bad_crc", 5}}, "bad_crc", "parity or stop bits differ"},
      {"another address answers", fault(FaultKind::WrongAddress), fast, 5, {{"wrong_address", 5}}, "wrong_address",
       "another address"},
      {"another function", fault(FaultKind::WrongFunction), fast, 5, {{"wrong_function", 5}}, "wrong_function",
       "function code or byte count"},
      {"a byte count off", fault(FaultKind::WrongCount), fast, 5, {{"wrong_function", 5}}, "wrong_function",
       "function code or byte count"},
      {"cut short", fault(FaultKind::Short), {"--timeout", "150"}, 5, {{"short", 5}}, "short", "cut short"},
      {"bytes beyond the frame", fault(FaultKind::Trailing), fast, 5, {{"trailing", 5}}, "trailing", "extra bytes"},
      {"garbage", fault(FaultKind::Garbage), {"--timeout", "150"}, 5, {{"garbage", 5}}, "garbage",
       "speed is most likely wrong"},
      {"echo, then the answer", fault(FaultKind::Echo), fast, 5, {{"echo", 5}}, "echo", "as an echo before the answer"},
      {"echo and nothing else", fault(FaultKind::EchoOnly), {"--timeout", "150"}, 5, {{"echo", 5}}, "echo",
       "no answer follows"},
      {"exception",
       [](SimulatorOptions& o) {
         o.fault = FaultKind::Exception;
         o.exceptionCode = 2;
       },
       fast, 5, {{"exception", 5}}, "exception", "exception 2 (illegal data address, 5 of 5)"},
      {"answers after the wait",
       [](SimulatorOptions& o) {
         o.fault = FaultKind::Late;
         o.lateTime = 450ms;
       },
       fast, 4, {{"late", 4}}, "late", "after the wait of 300 ms"},
      // Later than diag listens: each answer lands in the next poll.
      {"answers spilling into the next poll",
       [](SimulatorOptions& o) {
         o.fault = FaultKind::Late;
         o.lateTime = 700ms;
       },
       fast, 6, {{"ok", 3}, {"silence", 3}}, "late", "one poll late"},
      {"no answer", fault(FaultKind::Silent), {"--timeout", "150"}, 5, {{"silence", 5}}, "silence",
       "No answer at all"},
      {"unit at another speed", line(19200, P::None, 1), {"--timeout", "150"}, 5, {{"garbage", 5}}, "garbage",
       "speed is most likely wrong"},
      // Slower, not faster: the simulator makes garbage in proportion to the speed
      // ratio, and long runs of it take it a while to make.
      {"master at another speed", {}, {"--timeout", "150", "--baud", "4800"}, 5, {{"garbage", 5}}, "garbage",
       "speed is most likely wrong"},
      {"unit with 2 stop bits", line(9600, P::None, 2), {"--timeout", "150"}, 5, {{"garbage", 5}}, "garbage",
       "speed is most likely wrong"},
      {"master with 2 stop bits", {}, {"--timeout", "150", "--stop", "2"}, 5, {{"garbage", 5}}, "garbage",
       "speed is most likely wrong"},
      {"unit at odd parity", line(9600, P::Odd, 1), {"--timeout", "150"}, 5, {{"garbage", 5}}, "garbage",
       "speed is most likely wrong"},
      // A pty clears the parity-enable flag: even looks like none to the unit.
      {"even parity cannot be told from none on a pty", line(9600, P::Even, 1), fast, 5, {{"ok", 5}}, "ok",
       "answered correctly"},
  };
  for (const DiagCase& c : cases) {
    SCOPED_TRACE(c.name);
    Simulator& unit = StartUnit(c.unit);
    Args args{"diag", "--port", unit.LinkPath(), "--json", "--count", std::to_string(c.count)};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Finished r = Run(args);
    EXPECT_EQ(r.status, std::string(c.cause) == "ok" ? 0 : 3) << r.err;
    EXPECT_NE(r.out.find(CountsJson(c.counts)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"cause\":\"" + std::string(c.cause) + "\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(c.says), std::string::npos) << r.out;
    sims_.clear();
  }
}

TEST_F(CliLine, DiagAnswerTimesAndTextReport) {
  Simulator& unit = StartUnit([](SimulatorOptions& o) {
    o.fault = FaultKind::Late;
    o.lateTime = 400ms;
  });
  const Finished late = Run({"diag", "--port", unit.LinkPath(), "--json", "--count", "2", "--timeout", "300"});
  const std::regex times("\"answer_ms\":\\{\"min\":([0-9.]+),\"median\":([0-9.]+),\"max\":([0-9.]+)\\}");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(late.out, m, times)) << late.out;
  EXPECT_GE(std::stod(m[1]), 400.0);
  EXPECT_LE(std::stod(m[1]), std::stod(m[2]));
  EXPECT_LE(std::stod(m[2]), std::stod(m[3]));

  unit.SetFault(FaultKind::Silent);
  const Finished silent = Run({"diag", "--port", unit.LinkPath(), "--json", "--count", "1", "--timeout", "100"});
  EXPECT_NE(silent.out.find("\"answer_ms\":null"), std::string::npos) << silent.out;

  unit.SetFault(FaultKind::None);
  const Finished text = Run({"diag", "--port", unit.LinkPath(), "--count", "3", "--timeout", "300"});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("\nok              3\n"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\nanswer time     min "), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("\nverdict: Every exchange was answered correctly"), std::string::npos) << text.out;
}

TEST_F(CliLine, DiagOnAPortThatIsNotThere) {
  const Finished r = Run({"diag", "--port", dir_ + "/nothing", "--count", "1"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
}

// ---------------------------------------------------------------- scan

// "at most 4.5 s" or "at most 1 min 2.5 s" from scan's first line.
Clock::duration PrintedWorstCase(const std::string& err) {
  std::smatch m;
  if (!std::regex_search(err, m, std::regex("at most (([0-9]+) min )?([0-9.]+) s\\."))) return Clock::duration::zero();
  const double seconds = (m[2].matched ? 60.0 * std::stod(m[2]) : 0.0) + std::stod(m[3]);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// The unit at 19200 baud, 2 stop bits, address 17, behind an empty port: scan
// passes the empty one, notes the garbage the wrong settings bring, and finds it
// within the time it said it could take at most.
TEST_F(CliLine, ScanFindsTheUnitAtOtherSettingsOnTheSecondPort) {
  EmptyLine empty;
  ASSERT_FALSE(empty.Path().empty());
  Simulator& unit = StartUnit([](SimulatorOptions& o) {
    o.line = LineSettings{19200, tagris::unitsim::Parity::None, 2};
    o.address = 17;
  });
  const Finished r = Run({"scan", "--port", empty.Path(), "--port", unit.LinkPath(), "--address", "10-20",
                          "--bauds", "9600,19200", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "[{\"port\":\"" + unit.LinkPath() +
                       "\",\"baud\":19200,\"parity\":\"none\",\"stop\":2,\"address\":17,"
                       "\"unit_serial\":{\"baud\":19200,\"parity\":\"none\",\"stop\":2}}]\n");
  EXPECT_NE(r.err.find("Scanning 2 ports (" + empty.Path() + ", " + unit.LinkPath() + ") at 12 line settings"),
            std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find(unit.LinkPath() + " at 9600 8N1: bytes but no valid frame, likely a wrong speed (address 17)"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.err.find('\r'), std::string::npos) << "no progress bar when stderr is no terminal";
  const Clock::duration bound = PrintedWorstCase(r.err);
  ASSERT_GT(bound, Clock::duration::zero()) << r.err;
  // The bound covers the probes; the process start and the port openings get slack.
  EXPECT_LT(r.took, bound + 5s);
}

TEST_F(CliLine, ScanAllFindsEveryUnitOnEveryPort) {
  Simulator& odd = StartUnit([](SimulatorOptions& o) {
    o.line = LineSettings{38400, tagris::unitsim::Parity::Odd, 1};
    o.address = 3;
  });
  Simulator& plain = StartUnit([](SimulatorOptions& o) { o.address = 9; });
  const Finished r = Run({"scan", "--port", odd.LinkPath(), "--port", plain.LinkPath(), "--all", "--address", "1-10",
                          "--bauds", "9600,38400", "--parities", "none,odd", "--stops", "1", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  // In the order found: the window's defaults come first.
  EXPECT_EQ(r.out, "[{\"port\":\"" + plain.LinkPath() +
                       "\",\"baud\":9600,\"parity\":\"none\",\"stop\":1,\"address\":9,"
                       "\"unit_serial\":{\"baud\":9600,\"parity\":\"none\",\"stop\":1}},"
                       "{\"port\":\"" + odd.LinkPath() +
                       "\",\"baud\":38400,\"parity\":\"odd\",\"stop\":1,\"address\":3,"
                       "\"unit_serial\":{\"baud\":38400,\"parity\":\"odd\",\"stop\":1}}]\n");
  EXPECT_NE(r.err.find("Found 2 units."), std::string::npos) << r.err;
}

TEST_F(CliLine, ScanTextNamesWhatToTypeAndTheUnitsOwnSettings) {
  // At even parity the unit also answers a master at none: the pty cannot tell them
  // apart, so scan finds it at none first and says what the unit reports.
  Simulator& unit = StartUnit([](SimulatorOptions& o) {
    o.line = LineSettings{9600, tagris::unitsim::Parity::Even, 1};
    o.address = 5;
  });
  const Finished r = Run({"scan", "--port", dir_ + "/nothing", "--port", unit.LinkPath()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Found a unit on " + unit.LinkPath() +
                       ": 9600 baud, parity none, 1 stop bit, address 5\n"
                       "  its own serial settings (register 0): 9600 baud, parity even, 1 stop bit\n"
                       "  it answered at parity none although it reports even: this line does not check parity "
                       "(a pseudo-terminal, some adapters); type the unit's own\n");
  EXPECT_NE(r.err.find("Port " + dir_ + "/nothing does not exist"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Scanning 1 port (" + unit.LinkPath() + ")"), std::string::npos) << r.err;
}

TEST_F(CliLine, ScanThatFindsNothing) {
  EmptyLine empty;
  const Finished json = Run({"scan", "--port", empty.Path(), "--address", "1-3", "--bauds", "9600", "--parities",
                             "none", "--stops", "1", "--json"});
  EXPECT_EQ(json.status, 2) << json.err;
  EXPECT_EQ(json.out, "[]\n");
  EXPECT_NE(json.err.find("No unit answered on " + empty.Path()), std::string::npos) << json.err;

  const Finished noPort = Run({"scan", "--port", dir_ + "/nothing"});
  EXPECT_EQ(noPort.status, 1);
  EXPECT_EQ(noPort.out, "");
  EXPECT_NE(noPort.err.find("does not exist"), std::string::npos) << noPort.err;
}

// A port that hangs up and goes away mid-scan is said once and passed; the scan
// and diag end instead of waiting for it.
TEST_F(CliLine, UnpluggedPortEndsNeitherInAHangNorASpin) {
  Simulator& unit = StartUnit([](SimulatorOptions& o) {
    o.fault = FaultKind::Unplug;
    o.unplugTime = 1500ms;
  });
  const Finished scan = Run({"scan", "--port", unit.LinkPath(), "--address", "5", "--bauds", "9600,19200",
                             "--parities", "none", "--stops", "1"});
  EXPECT_EQ(scan.status, 2) << scan.err;
  EXPECT_NE(scan.err.find(unit.LinkPath() + " hung up or disappeared"), std::string::npos) << scan.err;
  EXPECT_LT(scan.took, PrintedWorstCase(scan.err) + 5s);

  ASSERT_TRUE([&] {
    for (auto end = Clock::now() + kLimit; Clock::now() < end; std::this_thread::sleep_for(20ms))
      if (unit.LineUp()) return true;
    return false;
  }());
  const Finished diag = Run({"diag", "--port", unit.LinkPath(), "--count", "3", "--timeout", "200", "--json"});
  EXPECT_EQ(diag.status, 1) << diag.err;
  EXPECT_NE(diag.err.find("hung up or disappeared after 0 polls"), std::string::npos) << diag.err;
  EXPECT_NE(diag.out.find("\"cause\":\"ok\",\"verdict\":\"No exchange was made.\""), std::string::npos) << diag.out;
}

// On a terminal the scan draws a bar and clears it before it prints a unit.
TEST_F(CliLine, ScanProgressBarOnlyWhenAsked) {
  Simulator& unit = StartUnit([](SimulatorOptions& o) { o.address = 12; });
  tagris::cli::ScanOptions options;
  options.ports = {unit.LinkPath()};
  options.firstAddress = 10;
  options.lastAddress = 12;
  options.bauds = {9600};
  std::ostringstream out, err;
  EXPECT_EQ(tagris::cli::RunScan(options, out, err, true), 0);
  const std::string e = err.str();
  EXPECT_NE(e.find("\r["), std::string::npos) << e;
  EXPECT_NE(e.find("%  " + unit.LinkPath() + " at 9600 8N1"), std::string::npos) << e;
  EXPECT_EQ(e.substr(e.size() - 4), "\r\033[K") << "the bar is gone at the end";
  EXPECT_NE(out.str().find("address 12"), std::string::npos);
}

}  // namespace
