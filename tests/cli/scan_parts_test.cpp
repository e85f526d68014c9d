// scan and diag without a port: the order of what scan tries, how long it may take,
// which devices it finds, their command lines, and what both print.
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "diag.h"
#include "options.h"
#include "run.h"
#include "scan.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::microseconds;
using tagris::LineClass;
using tagris::Parity;
using tagris::PortSettings;
using namespace tagris::cli;
using Args = std::vector<std::string>;

std::string Short(const PortSettings& p) { return LineShort(p); }

TEST(ScanOrder, WindowDefaultsFirstThenLikelySettings) {
  const std::vector<PortSettings> lines = ScanLineOrder(ScanOptions{});
  ASSERT_EQ(lines.size(), 30u);
  std::vector<std::string> first;
  for (std::size_t i = 0; i < 12; ++i) first.push_back(Short(lines[i]));
  EXPECT_EQ(first, (std::vector<std::string>{"9600 8N1", "19200 8N1", "38400 8N1", "4800 8N1", "14400 8N1",
                                             "9600 8E1", "19200 8E1", "38400 8E1", "4800 8E1", "14400 8E1",
                                             "9600 8N2", "19200 8N2"}));
  EXPECT_EQ(Short(lines[15]), "9600 8O1");
  EXPECT_EQ(Short(lines[20]), "9600 8E2");
  EXPECT_EQ(Short(lines[29]), "14400 8O2");

  // Narrowed lists keep that order, whatever order they were given in.
  const Invocation inv =
      ParseArguments({"scan", "--bauds", "19200,9600", "--parities", "odd,none", "--stops", "2"});
  ASSERT_EQ(inv.error, "");
  std::vector<std::string> narrowed;
  for (const PortSettings& p : ScanLineOrder(inv.scan)) narrowed.push_back(Short(p));
  EXPECT_EQ(narrowed, (std::vector<std::string>{"9600 8N2", "19200 8N2", "9600 8O2", "19200 8O2"}));
}

TEST(ScanOrder, AddressFiveThenOneThenUpwards) {
  ScanOptions o;
  const auto all = ScanAddressOrder(o);
  ASSERT_EQ(all.size(), 127u);
  EXPECT_EQ((std::vector<int>(all.begin(), all.begin() + 6)), (std::vector<int>{5, 1, 2, 3, 4, 6}));
  EXPECT_EQ(all.back(), 127);
  const struct {
    int low, high;
    std::vector<int> order;
  } ranges[] = {{10, 13, {10, 11, 12, 13}}, {1, 3, {1, 2, 3}}, {4, 6, {5, 4, 6}}, {17, 17, {17}}};
  for (const auto& r : ranges) {
    o.firstAddress = r.low;
    o.lastAddress = r.high;
    const auto order = ScanAddressOrder(o);
    EXPECT_EQ(std::vector<int>(order.begin(), order.end()), r.order) << r.low << "-" << r.high;
  }
}

// The wait of a probe is the line time of request, gap and answer plus the margin:
// about 39 ms at 9600 8N1 with the default 20 ms, not a fixed second.
TEST(ScanTime, ProbeWaitFollowsTheLine) {
  const auto at = [](std::int64_t baud, Parity p, bool two, std::chrono::milliseconds margin = 20ms) {
    return ProbeWait({baud, p, two}, margin);
  };
  EXPECT_GT(at(9600, Parity::None, false), 39ms);
  EXPECT_LT(at(9600, Parity::None, false), 40ms);
  EXPECT_GT(at(38400, Parity::None, false), 24ms);
  EXPECT_LT(at(38400, Parity::None, false), 25ms);
  EXPECT_GT(at(9600, Parity::Even, false), at(9600, Parity::None, false));  // 11 bits a character
  EXPECT_GT(at(9600, Parity::Odd, true), at(9600, Parity::Even, false));    // 12
  EXPECT_EQ(at(9600, Parity::None, false, 0ms) + 20ms, at(9600, Parity::None, false));
}

TEST(ScanTime, WorstCaseCountsEveryProbeOnEveryPort) {
  ScanOptions one;
  one.bauds = {9600};
  one.parities = {Parity::None};
  one.twoStopBits = {false};
  const microseconds single = ScanWorstCase(one, 1);
  // 127 probes of 39.3 ms, plus what the program needs around them.
  EXPECT_GE(single, 127 * ProbeWait({9600, Parity::None, false}, 20ms));
  EXPECT_LT(single, 127 * ProbeWait({9600, Parity::None, false}, 20ms) + 127ms);
  EXPECT_EQ(ScanWorstCase(one, 2), 2 * single);
  one.firstAddress = 10;
  one.lastAddress = 20;
  EXPECT_LT(ScanWorstCase(one, 1), single / 10);
  EXPECT_GT(ScanWorstCase(ScanOptions{}, 1), 2min);
}

TEST(ScanTime, DurationRoundsUp) {
  EXPECT_EQ(DurationText(4500ms), "4.5 s");
  EXPECT_EQ(DurationText(4501ms), "4.6 s");
  EXPECT_EQ(DurationText(49ms), "0.1 s");
  EXPECT_EQ(DurationText(151200ms), "2 min 31.2 s");
}

#ifndef _WIN32
// Device folders as /dev has them (Windows names its ports COMn: nothing to find).
class PortFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/tagris-scan-dev.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    root_ = dir;
  }
  void TearDown() override { std::system(("rm -rf '" + root_ + "'").c_str()); }
  void Touch(const std::string& name) { std::ofstream(root_ + "/" + name).put('x'); }
  std::string root_;
};

TEST_F(PortFolder, ByIdFirstThenAdaptersThenBuiltInPortsInNumberOrder) {
  for (const char* name : {"ttyS10", "ttyS2", "ttyUSB1", "ttyUSB0", "ttyACM0", "tty", "tty5", "ttyS", "ttyprintk",
                           "ttySx", "null"})
    Touch(name);
  ASSERT_EQ(mkdir((root_ + "/serial").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((root_ + "/serial/by-id").c_str(), 0755), 0);
  ASSERT_EQ(symlink("../../ttyUSB1", (root_ + "/serial/by-id/usb-Maker_RS485-if00-port0").c_str()), 0);
  ASSERT_EQ(symlink("../../ttyUSB9", (root_ + "/serial/by-id/usb-gone").c_str()), 0);  // unplugged meanwhile
  EXPECT_EQ(FindSerialPorts(root_),
            (std::vector<std::string>{root_ + "/serial/by-id/usb-Maker_RS485-if00-port0", root_ + "/ttyUSB0",
                                      root_ + "/ttyACM0", root_ + "/ttyS2", root_ + "/ttyS10"}));
}

TEST_F(PortFolder, NothingThere) { EXPECT_TRUE(FindSerialPorts(root_ + "/missing").empty()); }
#endif

TEST(ScanArguments, ScanOptions) {
  const Invocation inv = ParseArguments({"scan", "--port", "/dev/a", "--port=/dev/b", "--address", "10-20",
                                         "--margin", "5", "--all", "--json"});
  ASSERT_EQ(inv.error, "");
  EXPECT_EQ(inv.command, Command::Scan);
  EXPECT_EQ(inv.scan.ports, (std::vector<std::string>{"/dev/a", "/dev/b"}));
  EXPECT_EQ(inv.scan.firstAddress, 10);
  EXPECT_EQ(inv.scan.lastAddress, 20);
  EXPECT_EQ(inv.scan.margin, 5ms);
  EXPECT_TRUE(inv.scan.all);
  EXPECT_TRUE(inv.scan.json);
  // No port is needed: scan looks for them.
  const Invocation bare = ParseArguments({"scan"});
  EXPECT_EQ(bare.error, "");
  EXPECT_TRUE(bare.scan.ports.empty());
  EXPECT_EQ(bare.scan.firstAddress, 1);
  EXPECT_EQ(bare.scan.lastAddress, 127);
  const Invocation one = ParseArguments({"scan", "--address", "7"});
  EXPECT_EQ(one.scan.firstAddress, 7);
  EXPECT_EQ(one.scan.lastAddress, 7);
  // diag counts its polls.
  const Invocation diag = ParseArguments({"diag", "--port", "p", "--count", "5"});
  ASSERT_EQ(diag.error, "");
  EXPECT_EQ(diag.command, Command::Diag);
  EXPECT_EQ(*diag.count, 5);
}

TEST(ScanArguments, UsageErrorsExitOneWithASentence) {
  const struct {
    Args args;
    const char* saying;
  } cases[] = {
      {{"scan", "--bauds", "9600,1200"}, "--bauds takes speeds of the unit"},
      {{"scan", "--bauds", ""}, "not ''"},
      {{"scan", "--parities", "none,mark"}, "--parities takes none, even and odd"},
      {{"scan", "--stops", "1,3"}, "--stops takes 1 and 2"},
      {{"scan", "--address", "0"}, "--address must be an address from 1 to 127 or a range"},
      {{"scan", "--address", "20-10"}, "not '20-10'"},
      {{"scan", "--address", "1-128"}, "not '1-128'"},
      {{"scan", "--margin", "soon"}, "--margin must be a number of milliseconds"},
      {{"scan", "--baud", "19200"}, "--baud does not apply to scan"},
      {{"scan", "--timeout", "50"}, "--timeout does not apply to scan"},
      {{"scan", "--count", "2"}, "--count belongs to watch and diag"},
      {{"scan", "--port"}, "--port needs a value"},
      {{"read", "--port", "p", "--all"}, "--all belongs to scan"},
      {{"diag", "--port", "p", "--bauds", "9600"}, "--bauds belongs to scan"},
      {{"read", "--port", "p", "--address", "3-4"}, "--address 3-4 is a range, which only scan takes"},
      {{"diag", "--port", "p", "--count", "0"}, "--count must be a whole number"},
      {{"diag", "--port", "p", "--csv", "f"}, "--csv belongs to watch"},
      {{"diag"}, "name the serial port with --port"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::ostringstream out, err;
    EXPECT_EQ(Main(c.args, out, err), kExitUsage);
    EXPECT_EQ(out.str(), "");
    EXPECT_NE(err.str().find(c.saying), std::string::npos) << err.str();
    EXPECT_EQ(err.str().find('\n'), err.str().size() - 1) << "one line: " << err.str();
  }
}

TEST(ScanArguments, HelpNamesEveryOption) {
  const std::string scan = HelpText(Command::Scan);
  for (const char* word : {"--port NAME", "--address A-B", "--bauds", "--parities", "--stops", "--margin", "--all",
                           "--json", "unit_serial", "Exit status: 0 a unit was found"})
    EXPECT_NE(scan.find(word), std::string::npos) << word;
  const std::string diag = HelpText(Command::Diag);
  for (const char* word : {"--count N", "--json", "answer_ms", "--port", "--timeout", "Exit status"})
    EXPECT_NE(diag.find(word), std::string::npos) << word;
  const std::string overview = HelpText(Command::None);
  EXPECT_NE(overview.find("  scan "), std::string::npos);
  EXPECT_NE(overview.find("  diag "), std::string::npos);
}

// A found unit as printed: register 0 = 46 is 19200 baud (code 6), even parity
// (code 1 in bits 3-4), two stop bits (bit 5).
TEST(ScanOutput, FoundUnitTextAndJson) {
  const FoundUnit unit{"/dev/ttyUSB0", {19200, Parity::Even, true}, 17, 46};
  EXPECT_EQ(FoundText(unit),
            "Found a unit on /dev/ttyUSB0: 19200 baud, parity even, 2 stop bits, address 17\n"
            "  its own serial settings (register 0): 19200 baud, parity even, 2 stop bits\n");
  const FoundUnit pty{"/tmp/unit", {9600, Parity::None, false}, 5, 4 | 1 << 3};
  EXPECT_NE(FoundText(pty).find("it answered at parity none although it reports even"), std::string::npos);
  EXPECT_EQ(FoundJson({unit, pty}),
            "[{\"port\":\"/dev/ttyUSB0\",\"baud\":19200,\"parity\":\"even\",\"stop\":2,\"address\":17,"
            "\"unit_serial\":{\"baud\":19200,\"parity\":\"even\",\"stop\":2}},"
            "{\"port\":\"/tmp/unit\",\"baud\":9600,\"parity\":\"none\",\"stop\":1,\"address\":5,"
            "\"unit_serial\":{\"baud\":9600,\"parity\":\"even\",\"stop\":1}}]\n");
  EXPECT_EQ(FoundJson({}), "[]\n");
}

tagris::ExchangeDiagnosis Diagnosis(LineClass cls, bool answered, microseconds at, std::uint8_t code = 0) {
  tagris::ExchangeDiagnosis d;
  d.cls = cls;
  d.answered = answered;
  d.answerTime = at;
  d.exceptionCode = code;
  return d;
}

TEST(DiagOutput, JsonHasEveryKeyAndTimesInMilliseconds) {
  tagris::DiagnosisTally tally;
  tally.Add(Diagnosis(LineClass::Ok, true, 12346us));
  tally.Add(Diagnosis(LineClass::Ok, true, 10000us));
  tally.Add(Diagnosis(LineClass::Exception, false, 0us, 2));
  const tagris::LineVerdict verdict{LineClass::Exception, "Say \"why\"."};
  EXPECT_EQ(DiagJson(tally, verdict),
            "{\"counts\":{\"ok\":2,\"silence\":0,\"echo\":0,\"bad_crc\":0,\"wrong_address\":0,\"exception\":1,"
            "\"wrong_function\":0,\"short\":0,\"trailing\":0,\"garbage\":0,\"late\":0},"
            "\"answer_ms\":{\"min\":10,\"median\":11.173,\"max\":12.346},\"cause\":\"exception\","
            "\"verdict\":\"Say \\\"why\\\".\"}\n");
  tagris::DiagnosisTally silent;
  silent.Add(Diagnosis(LineClass::Silence, false, 0us));
  EXPECT_NE(DiagJson(silent, {LineClass::Silence, "x"}).find("\"answer_ms\":null"), std::string::npos);
}

TEST(DiagOutput, TextRowsForWhatWasSeen) {
  tagris::DiagnosisTally tally;
  tally.Add(Diagnosis(LineClass::Echo, true, 8ms));
  tally.Add(Diagnosis(LineClass::Echo, false, 0us));
  tally.Add(Diagnosis(LineClass::Exception, false, 0us, 4));
  EXPECT_EQ(DiagText(tally, {LineClass::Echo, "Fix the echo."}),
            "ok              0\n"
            "echo            2 (1 with an answer after it)\n"
            "exception       1 (mostly code 4: server device failure)\n"
            "answer time     min 8.0 ms, median 8.0 ms, max 8.0 ms\n"
            "verdict: Fix the echo.\n");
}

}  // namespace
