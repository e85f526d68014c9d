// The tagris-cli program, run as a separate process against the simulated unit on
// a pseudo-terminal: what it prints, its exit status, what it writes to the unit
// and to its files, and how watch lives through an unplugged adapter.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "files.h"
#include "record/log_file.h"
#include "simulator.h"

namespace {

using namespace std::chrono_literals;
using tagris::test::ChildProcess;
using tagris::test::ReadFileBytes;
using tagris::test::WriteFileBytes;
using tagris::unitsim::FaultKind;
using tagris::unitsim::Simulator;
using tagris::unitsim::SimulatorOptions;
using tagris::unitsim::WritePolicy;
using Args = std::vector<std::string>;

// Generous: a loaded machine must not fail a test that would pass on a quiet one.
constexpr auto kLimit = 20s;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Fields(const std::string& row) {
  std::vector<std::string> fields;
  std::size_t from = 0;
  for (std::size_t comma; (comma = row.find(',', from)) != std::string::npos; from = comma + 1)
    fields.push_back(row.substr(from, comma - from));
  fields.push_back(row.substr(from));
  return fields;
}

// "2026-12-10T15:04:05+01:00"
bool IsIsoTime(const std::string& t) {
  static const std::string kShape = "dddd-dd-ddTdd:dd:dd+dd:dd";
  if (t.size() != kShape.size()) return false;
  for (std::size_t i = 0; i < t.size(); ++i) {
    const bool ok = kShape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(t[i])) != 0
                    : kShape[i] == '+' ? t[i] == '+' || t[i] == '-'
                                       : t[i] == kShape[i];
    if (!ok) return false;
  }
  return true;
}

// The second column of a CSV row.
std::string StatusOf(const std::string& row) {
  const auto comma = row.find(',');
  if (comma == std::string::npos) return {};
  return row.substr(comma + 1, row.find(',', comma + 1) - comma - 1);
}

// The status column of each CSV row after the header.
std::vector<std::string> Statuses(const std::string& csv) {
  std::vector<std::string> statuses;
  const auto lines = Lines(csv);
  for (std::size_t i = 1; i < lines.size(); ++i) statuses.push_back(StatusOf(lines[i]));
  return statuses;
}

std::size_t CountOf(const std::vector<std::string>& v, const std::string& word) {
  return static_cast<std::size_t>(std::count(v.begin(), v.end(), word));
}

bool Eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = kLimit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class CliAgainstUnit : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tagris-cli-e2e.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
    link_ = dir_ + "/unit";
  }

  void TearDown() override {
    sim_.reset();
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }

  // The unit with still values, at address 5, 9600 8N1.
  Simulator& StartUnit(const std::function<void(SimulatorOptions&)>& adjust = {}) {
    SimulatorOptions o;
    o.linkPath = link_;
    o.drift = false;
    if (adjust) adjust(o);
    sim_ = std::make_unique<Simulator>(o);
    sim_->Start();
    return *sim_;
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  // tagris-cli with these arguments, its output in files named after `tag`.
  std::unique_ptr<ChildProcess> Start(const Args& args, const std::string& tag = "run") {
    Args argv{TAGRIS_CLI_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = std::make_unique<ChildProcess>(argv, Path(tag + ".out"), Path(tag + ".err"));
    EXPECT_TRUE(child->Started());
    return child;
  }

  struct Finished {
    int status;
    std::string out, err;
  };
  Finished Run(const Args& args) {
    auto child = Start(args);
    const int status = child->Wait(kLimit);
    return {status, child->Out(), child->Err()};
  }

  // --port and a short timeout, then the rest.
  Args On(Args rest, std::string_view timeoutMs = "300") const {
    Args args{"--port", link_, "--timeout", std::string(timeoutMs)};
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
  }

  std::string dir_, link_;
  std::unique_ptr<Simulator> sim_;
};

// ---------------------------------------------------------------- read

// Every register set by the test, and the JSON expected of them, written out.
constexpr std::array<std::uint16_t, 54> kKnownRegisters = {
    4,    0,    100,  115,  80,   105,  130,   100,   110,  95,   100,  125,  1,    199,  100,  145, 0,   0,
    1000, 1000, 950,  1050, 1100, 1000, 900,   1200,  1000, 1000, 1025, 975,  1001, 1150, 0,    4,   0,   0,
    1234, 0xFFFF, 0xFFE2, 1, 505, 3085, 873, 112, 2915, 870, 109, 213, 2050, 5, 251, 0, 0, 0};

const char* const kKnownJson =
    R"({"registers":[4,0,100,115,80,105,130,100,110,95,100,125,1,199,100,145,0,0,)"
    R"(1000,1000,950,1050,1100,1000,900,1200,1000,1000,1025,975,1001,1150,0,4,0,0,)"
    R"(1234,65535,65506,1,505,3085,873,112,2915,870,109,213,2050,5,251,0,0,0],)"
    R"("moisture":12.34,"moisture_unlimited":0,"temperature":-3,"mix_temperature":25.1,)"
    R"("peak_frequency":2030.9765625,"peak_width":12.7734375,"medium":"water","channel":4,)"
    R"("channels":[{"grade":0,"salinity":100},{"grade":1.5,"salinity":100},{"grade":-2,"salinity":95},)"
    R"({"grade":0.5,"salinity":105},{"grade":3,"salinity":110},{"grade":0,"salinity":100},)"
    R"({"grade":1,"salinity":90},{"grade":-0.5,"salinity":120},{"grade":0,"salinity":100},)"
    R"({"grade":2.5,"salinity":100},{"grade":-9.9,"salinity":102.5},{"grade":9.9,"salinity":97.5},)"
    R"({"grade":0,"salinity":100.1},{"grade":4.5,"salinity":115}],)"
    R"("serial":{"baud":9600,"parity":"none","stop":1},)"
    R"("diagnostics":{"offset":505,"offset_uncorrected":3,"ymax_op":3085,"xmax_op":873,"pol_op":112,)"
    R"("ymax":2915,"xmax":870,"pol":109,"marker":852,"dac":2050}})"
    "\n";

TEST_F(CliAgainstUnit, ReadJsonOfAKnownRegisterSet) {
  Simulator& sim = StartUnit();
  for (int n = 0; n < 54; ++n) sim.SetRegister(n, kKnownRegisters[static_cast<std::size_t>(n)]);
  const Finished r = Run(On({"read", "--json"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kKnownJson);
  EXPECT_EQ(r.err, "");

  const Finished text = Run(On({"read"}));
  EXPECT_EQ(text.status, 0) << text.err;
  for (const char* line : {"moisture                  12.34 %", "temperature               -3.0 C",
                           "peak frequency            2030.9765625 MHz", "medium                    water",
                           "channel 11 grade          -9.9", "channel 13 salinity       100.1"})
    EXPECT_NE(text.out.find(line), std::string::npos) << line << " in\n" << text.out;
}

// What each failure prints and the status it exits with.
TEST_F(CliAgainstUnit, ExitStatusTellsWhatWentWrong) {
  Simulator& sim = StartUnit();
  WriteFileBytes(Path("plain-file"), "x");
  struct Case {
    const char* name;
    std::function<void()> arrange;
    Args args;
    int status;
    const char* saying;
  };
  int lockFd = -1;
  const Case cases[] = {
      {"missing port", nullptr, {"read", "--port", Path("nothing")}, 1, "does not exist: check the name"},
      {"not a serial port", nullptr, {"read", "--port", Path("plain-file")}, 1, "is not a serial port"},
      {"busy port",
       [&] {
         lockFd = open(link_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
         ASSERT_EQ(flock(lockFd, LOCK_EX | LOCK_NB), 0);
       },
       On({"read"}), 1, "is in use by another program"},
      {"busy port for watch too", nullptr, On({"watch"}), 1, "is in use"},
      {"unlocked again",
       [&] {
         close(lockFd);
         lockFd = -1;
       },
       On({"read"}), 0, ""},
      {"another address", nullptr, On({"read", "--address", "9"}), 2, "No answer from address 9"},
      {"silent unit", [&] { sim.SetFault(FaultKind::Silent); }, On({"read"}), 2, "within 300 ms: check the address"},
      {"bad CRC", [&] { sim.SetFault(FaultKind::BadCrc); }, On({"read"}), 3, "not valid: the reply's CRC does not match"},
      {"exception", [&] { sim.SetFault(FaultKind::Exception); }, On({"read", "--json"}), 3,
       "exception 4 (server device failure)"},
      {"wrong count", [&] { sim.SetFault(FaultKind::WrongCount); }, On({"read"}), 3, "not valid"},
      {"silent write",
       [&] {
         sim.SetFault(FaultKind::None);
         sim.SetWritePolicy(WritePolicy::Silent);
       },
       On({"write", "channel", "2"}), 2, "No answer to the write (register 33 = 2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.arrange) c.arrange();
    const Finished r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.saying), std::string::npos) << r.err;
    if (c.status != 0) {
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
    }
  }
  if (lockFd >= 0) close(lockFd);
}

// ---------------------------------------------------------------- write

TEST_F(CliAgainstUnit, EveryWriteFormIsConfirmed) {
  Simulator& sim = StartUnit([](SimulatorOptions& o) { o.followSerialWrites = true; });
  struct Case {
    Args words;
    int reg;
    std::uint16_t value;
    const char* saying;
  };
  const Case cases[] = {
      {{"channel", "9"}, 33, 9, "Set active channel to 9 (register 33 = 9): confirmed at address 5.\n"},
      {{"grade", "3", "-1.5"}, 4, 85, "Set grade of channel 3 to -1.5 (register 4 = 85): confirmed"},
      {{"grade", "2", "25"}, 3, 199, "Set grade of channel 2 to 9.9 (register 3 = 199)"},  // clamped
      {{"salinity", "14", "100.55"}, 31, 1005, "Set salinity of channel 14 to 100.5 (register 31 = 1005)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    Args args = On({"write"});
    args.insert(args.end(), c.words.begin(), c.words.end());
    const Finished r = Run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(c.saying), std::string::npos) << r.out;
    EXPECT_EQ(sim.Registers()[static_cast<std::size_t>(c.reg)], c.value);
  }

  // The unit moves: confirmed at the new address, then found there.
  Finished r = Run(On({"write", "address", "9"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Set the unit's address to 9 (register 49 = 9): confirmed at address 9."), std::string::npos)
      << r.out;
  EXPECT_EQ(sim.Address(), 9);

  // The unit takes new line settings: confirmed after reopening with them.
  r = Run(On({"--address", "9", "write", "serial", "19200", "odd", "2"}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Set the unit's serial settings to 19200 baud, odd parity, 2 stop bits (register 0 = 54): "
                       "confirmed with the new settings."),
            std::string::npos)
      << r.out;
  EXPECT_EQ(sim.Registers()[0], 54);
  EXPECT_EQ(Run(On({"--address", "9", "--baud", "19200", "--parity", "odd", "--stop", "2", "read"})).status, 0);
  EXPECT_EQ(Run(On({"--address", "9", "read"})).status, 3) << "the old settings no longer fit";
}

TEST_F(CliAgainstUnit, WritesThatDoNotTakeExitFour) {
  Simulator& sim = StartUnit([](SimulatorOptions& o) { o.followAddressWrites = false; });
  struct Case {
    const char* name;
    std::function<void()> arrange;
    Args words;
    const char* saying;
  };
  const Case cases[] = {
      {"refused", [&] { sim.SetWritePolicy(WritePolicy::Refuse, 4); }, {"channel", "2"},
       "The unit refused to set active channel to 2 (register 33 = 2): exception 4 (server device failure)."},
      {"refused, another code", [&] { sim.SetWritePolicy(WritePolicy::Refuse, 2); }, {"grade", "1", "1"},
       "exception 2 (illegal data address)"},
      {"echoed, not stored", [&] { sim.SetWritePolicy(WritePolicy::Ignore); }, {"salinity", "1", "95"},
       "register 18 still reads 1000: the write did not take"},
      {"stored, but the unit stays at its address", [&] { sim.SetWritePolicy(WritePolicy::Apply); },
       {"address", "9"}, "no reply came at address 9 to check it"},
      {"stored, but the unit keeps its line settings", nullptr, {"serial", "38400", "none", "1"},
       "no valid reply came with the new settings"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.arrange) c.arrange();
    Args args = On({"write"}, "200");
    args.insert(args.end(), c.words.begin(), c.words.end());
    const Finished r = Run(args);
    EXPECT_EQ(r.status, 4) << r.err;
    EXPECT_NE(r.err.find(c.saying), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(sim.Registers()[33], 1);
  EXPECT_EQ(sim.Registers()[18], 1000);
}

// ---------------------------------------------------------------- watch

// Three times the adapter is pulled and comes back at the same path: the CSV has
// ok rows, then per cycle one lost row and one resumed row; every line printed is
// in the file; the window's log holds a line per reply.
TEST_F(CliAgainstUnit, WatchLivesThroughThreeUnplugs) {
  Simulator& sim = StartUnit();
  const std::string csv = Path("watch.csv");
  const std::string log = Path("watch-log.txt");
  auto watch = Start(On({"watch", "--interval", "0.1", "--csv", csv, "--log", log}, "200"), "watch");
  auto statuses = [&] { return Statuses(ReadFileBytes(csv)); };
  ASSERT_TRUE(Eventually([&] { return CountOf(statuses(), "ok") >= 3; })) << watch->Err();

  for (std::size_t cycle = 1; cycle <= 3; ++cycle) {
    SCOPED_TRACE(cycle);
    const std::size_t rowsBefore = statuses().size();
    sim.Unplug(1500ms);
    ASSERT_TRUE(Eventually([&] { return CountOf(statuses(), "lost") == cycle; })) << watch->Err();
    ASSERT_TRUE(Eventually([&] { return CountOf(statuses(), "resumed") == cycle; })) << watch->Err();
    ASSERT_TRUE(Eventually([&] { return statuses().size() >= rowsBefore + 5; })) << watch->Err();
  }
  watch->Signal(SIGINT);
  ASSERT_EQ(watch->Wait(kLimit), 0) << watch->Err();

  const std::string text = ReadFileBytes(csv);
  const auto lines = Lines(text);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "time,status,moisture,moisture_unlimited,temperature,mix_temperature,peak_frequency,"
                      "peak_width,medium,channel");
  EXPECT_EQ(text.back(), '\n');
  // ok..., then three times: lost, resumed, ok...
  std::string pattern;
  for (const std::string& s : Statuses(text)) {
    const char c = s == "ok" ? 'o' : s == "lost" ? 'L' : s == "resumed" ? 'R' : '?';
    if (c != 'o' || pattern.empty() || pattern.back() != 'o') pattern += c;
  }
  EXPECT_EQ(pattern, "oLRoLRoLRo");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::vector<std::string> f = Fields(lines[i]);
    ASSERT_EQ(f.size(), 10u) << lines[i];
    EXPECT_TRUE(IsIsoTime(f[0])) << lines[i];
    if (f[1] == "lost") {
      EXPECT_EQ(lines[i].substr(f[0].size()), ",lost,,,,,,,,");
    } else {
      // The simulator's still values: W 1.2 % twice, 27.0 C, oil, channel 1.
      EXPECT_TRUE(f[1] == "ok" || f[1] == "resumed") << lines[i];
      EXPECT_EQ(f[2] + " " + f[3] + " " + f[4] + " " + f[8] + " " + f[9], "1.2 1.2 27 oil 1") << lines[i];
      EXPECT_EQ(f[6].rfind("20", 0), 0u) << lines[i];  // about 2030 MHz
    }
  }

  // stdout has the same rows in the same order: no line was lost on either side.
  const auto printed = Lines(watch->Out());
  ASSERT_EQ(printed.size(), lines.size() - 1);
  for (std::size_t i = 0; i < printed.size(); ++i) {
    const std::string& row = lines[i + 1];
    const std::string head = row.substr(0, row.find(',', row.find(',') + 1));  // time,status
    std::string expected = head;
    expected[expected.find(',')] = ' ';
    EXPECT_EQ(printed[i].rfind(expected, 0), 0u) << printed[i] << " vs " << row;
  }

  // The window's log: its header, then one CR LF line per reply.
  const std::string logText = ReadFileBytes(log);
  const std::string header = tagris::LogHeader();
  ASSERT_EQ(logText.compare(0, header.size(), header), 0);
  const std::size_t replies = CountOf(Statuses(text), "ok") + CountOf(Statuses(text), "resumed");
  std::size_t crlf = 0;
  for (std::size_t at = logText.find("\r\n"); at != std::string::npos; at = logText.find("\r\n", at + 2)) ++crlf;
  EXPECT_EQ(crlf, 1 + replies);
  EXPECT_EQ(logText.find('\n', 0), header.size() - 1);
  EXPECT_EQ(logText.substr(logText.size() - 2), "\r\n");
}

// A unit that falls silent is lost after 3 polls and resumed on its next reply;
// --count ends watch by itself once that many replies came.
TEST_F(CliAgainstUnit, WatchSilenceCountAndExitStatus) {
  Simulator& sim = StartUnit();
  sim.SetFault(FaultKind::Silent);
  const std::string csv = Path("count.csv");
  WriteFileBytes(csv, "time,status\nold row\n");  // appended to, no second header
  auto watch = Start(On({"watch", "--interval", "0.05", "--count", "4", "--csv", csv, "--json"}, "100"), "count");
  ASSERT_TRUE(Eventually([&] { return CountOf(Statuses(ReadFileBytes(csv)), "lost") == 1; })) << watch->Err();
  sim.SetFault(FaultKind::None);
  ASSERT_EQ(watch->Wait(kLimit), 0) << watch->Err();
  const auto lines = Lines(ReadFileBytes(csv));
  ASSERT_EQ(lines.size(), 2u + 5u);
  EXPECT_EQ(lines[0], "time,status");
  EXPECT_EQ(lines[1], "old row");
  std::vector<std::string> rows;
  for (std::size_t i = 2; i < lines.size(); ++i) rows.push_back(StatusOf(lines[i]));
  EXPECT_EQ(rows, (std::vector<std::string>{"lost", "resumed", "ok", "ok", "ok"}));
  const auto printed = Lines(watch->Out());
  ASSERT_EQ(printed.size(), 5u);
  EXPECT_NE(printed[0].find(R"("status":"lost"})"), std::string::npos) << printed[0];
  EXPECT_NE(printed[1].find(R"("status":"resumed","registers":[)"), std::string::npos) << printed[1];

  // Stopped by a signal: 2 when no reply came at all, 3 when only invalid ones.
  struct Case {
    FaultKind fault;
    int status;
  };
  for (const Case c : {Case{FaultKind::Silent, 2}, Case{FaultKind::BadCrc, 3}, Case{FaultKind::None, 0}}) {
    SCOPED_TRACE(tagris::unitsim::FaultName(c.fault));
    sim.SetFault(c.fault);
    const auto seen = sim.Stats().requestsSeen;
    auto stopped = Start(On({"watch", "--interval", "0.05"}, "100"), "stopped");
    ASSERT_TRUE(Eventually([&] { return sim.Stats().requestsSeen >= seen + 3; }));
    stopped->Signal(SIGTERM);
    EXPECT_EQ(stopped->Wait(kLimit), c.status) << stopped->Err();
    if (c.fault == FaultKind::BadCrc) {
      EXPECT_NE(stopped->Err().find("invalid reply: the reply's CRC does not match"), std::string::npos);
    }
  }
}

// The wait between polls ends at once on SIGINT, long before the next poll.
TEST_F(CliAgainstUnit, WatchStopsPromptlyBetweenPolls) {
  StartUnit();
  const std::string csv = Path("slow.csv");
  auto watch = Start(On({"watch", "--interval", "3600", "--csv", csv}), "slow");
  ASSERT_TRUE(Eventually([&] { return Statuses(ReadFileBytes(csv)).size() == 1; })) << watch->Err();
  watch->Signal(SIGINT);
  EXPECT_EQ(watch->Wait(kLimit), 0) << "an hour's wait was not cut short";
  EXPECT_EQ(Lines(watch->Out()).size(), 1u);
}

TEST_F(CliAgainstUnit, WatchKeepsAnExistingLog) {
  StartUnit();
  const std::string log = Path("old-log.txt");
  WriteFileBytes(log, "yesterday\r\n");
  const Finished r = Run(On({"watch", "--log", log, "--count", "1"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("already exists: name a new log file or remove the old one"), std::string::npos) << r.err;
  EXPECT_EQ(ReadFileBytes(log), "yesterday\r\n");
}

// Killed outright, watch leaves whole rows: each is in the file before the next poll.
TEST_F(CliAgainstUnit, KilledWatchLeavesWholeRows) {
  StartUnit();
  const std::string csv = Path("killed.csv");
  auto watch = Start(On({"watch", "--interval", "0.02", "--csv", csv}), "killed");
  ASSERT_TRUE(Eventually([&] { return Statuses(ReadFileBytes(csv)).size() >= 5; }));
  watch->Signal(SIGKILL);
  EXPECT_EQ(watch->Wait(kLimit), -2);
  const std::string text = ReadFileBytes(csv);
  EXPECT_EQ(text.back(), '\n');
  EXPECT_GE(Statuses(text).size(), 5u);
  for (const std::string& s : Statuses(text)) EXPECT_EQ(s, "ok");
}

}  // namespace
