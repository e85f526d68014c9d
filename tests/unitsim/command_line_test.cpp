#include "command_line.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

namespace {

using tagris::unitsim::FaultKind;
using tagris::unitsim::LineSettings;
using tagris::unitsim::Parity;
using tagris::unitsim::ParseCommandLine;
using tagris::unitsim::WritePolicy;

TEST(CommandLine, DefaultsMatchTheToolsDefaults) {
  const auto cl = ParseCommandLine({});
  EXPECT_TRUE(cl.error.empty());
  EXPECT_EQ(cl.options.linkPath, tagris::unitsim::DefaultLinkPath());
  EXPECT_EQ(cl.options.address, 5);
  EXPECT_EQ(cl.options.paceBaud, 0u);
  EXPECT_EQ(cl.options.line, (LineSettings{9600, Parity::None, 1}));
  EXPECT_TRUE(cl.options.checkLineSettings);
  EXPECT_FALSE(cl.options.followSerialWrites);
  EXPECT_EQ(cl.options.fault, FaultKind::None);
  EXPECT_EQ(cl.options.writePolicy, WritePolicy::Apply);
  EXPECT_EQ(cl.options.exceptionCode, 4);
  EXPECT_EQ(cl.options.lateTime.count(), 700);
  EXPECT_EQ(cl.options.unplugTime.count(), 3000);
  EXPECT_TRUE(cl.options.followAddressWrites);
  EXPECT_TRUE(cl.options.drift);
}

// One link per user: the runtime directory when there is one, else a name in /tmp.
TEST(CommandLine, DefaultLinkPathPerUser) {
  char dir[] = "/tmp/tagris-unitsim-runtime-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/not-a-directory";
  std::ofstream(file) << "x";
  std::string own = std::to_string(getuid());
  if (const passwd* entry = getpwuid(getuid())) own = entry->pw_name;
  struct Case {
    const char* runtimeDir;
    const char* user;
    std::string path;
  };
  const Case cases[] = {
      {dir, "alice", std::string(dir) + "/tagris-unit"},
      {dir, nullptr, std::string(dir) + "/tagris-unit"},
      {"/nonexistent-runtime-dir", "alice", "/tmp/tagris-unit-alice"},
      {file.c_str(), "alice", "/tmp/tagris-unit-alice"},
      {"", "alice", "/tmp/tagris-unit-alice"},
      {nullptr, "alice", "/tmp/tagris-unit-alice"},
      {nullptr, "", "/tmp/tagris-unit-" + own},
      {nullptr, nullptr, "/tmp/tagris-unit-" + own},
  };
  for (const Case& c : cases)
    EXPECT_EQ(tagris::unitsim::DefaultLinkPathFor(c.runtimeDir, c.user), c.path)
        << (c.runtimeDir ? c.runtimeDir : "(unset)") << ", " << (c.user ? c.user : "(unset)");
  unlink(file.c_str());
  rmdir(dir);
}

TEST(CommandLine, EveryOption) {
  const auto cl = ParseCommandLine({"--address", "17", "--link=/tmp/x", "--pace", "19200", "--seed", "9",
                                    "--fault", "bursts:0.25", "--hangup-ms", "300", "--fixed-address",
                                    "--negative-temperature", "--no-drift", "-v"});
  ASSERT_TRUE(cl.error.empty()) << cl.error;
  EXPECT_EQ(cl.options.address, 17);
  EXPECT_EQ(cl.options.linkPath, "/tmp/x");
  EXPECT_EQ(cl.options.paceBaud, 19200u);
  EXPECT_EQ(cl.options.seed, 9u);
  EXPECT_EQ(cl.options.fault, FaultKind::Bursts);
  EXPECT_DOUBLE_EQ(cl.options.faultRate, 0.25);
  EXPECT_EQ(cl.options.hangupTime.count(), 300);
  EXPECT_FALSE(cl.options.followAddressWrites);
  EXPECT_TRUE(cl.options.negativeTemperature);
  EXPECT_FALSE(cl.options.drift);
  EXPECT_TRUE(cl.options.traceFrames);
}

TEST(CommandLine, OptionsOfLinesWritesAndFaults) {
  const auto cl = ParseCommandLine({"--baud", "19200", "--parity", "odd", "--stop=2", "--no-line-check",
                                    "--follow-serial-writes", "--fault", "exception:0.5", "--exception-code", "11",
                                    "--late-ms", "900", "--unplug-ms=1500", "--refuse-writes=6"});
  ASSERT_TRUE(cl.error.empty()) << cl.error;
  EXPECT_EQ(cl.options.line, (LineSettings{19200, Parity::Odd, 2}));
  EXPECT_FALSE(cl.options.checkLineSettings);
  EXPECT_TRUE(cl.options.followSerialWrites);
  EXPECT_EQ(cl.options.fault, FaultKind::Exception);
  EXPECT_DOUBLE_EQ(cl.options.faultRate, 0.5);
  EXPECT_EQ(cl.options.exceptionCode, 11);
  EXPECT_EQ(cl.options.lateTime.count(), 900);
  EXPECT_EQ(cl.options.unplugTime.count(), 1500);
  EXPECT_EQ(cl.options.writePolicy, WritePolicy::Refuse);
  EXPECT_EQ(cl.options.refuseCode, 6);
  EXPECT_EQ(cl.options.paceBaud, 0u) << "--baud alone does not pace";
}

TEST(CommandLine, WriteModes) {
  struct Case {
    std::vector<std::string> args;
    WritePolicy policy;
    int code;
  };
  const Case cases[] = {
      {{"--refuse-writes"}, WritePolicy::Refuse, 4},
      {{"--refuse-writes=2"}, WritePolicy::Refuse, 2},
      // A separate word after --refuse-writes is the next argument, not its code.
      {{"--refuse-writes", "--no-drift"}, WritePolicy::Refuse, 4},
      {{"--ignore-writes"}, WritePolicy::Ignore, 4},
      {{"--silent-writes"}, WritePolicy::Silent, 4},
  };
  for (const Case& c : cases) {
    const auto cl = ParseCommandLine(c.args);
    ASSERT_TRUE(cl.error.empty()) << c.args[0] << ": " << cl.error;
    EXPECT_EQ(cl.options.writePolicy, c.policy) << c.args[0];
    EXPECT_EQ(cl.options.refuseCode, c.code) << c.args[0];
  }
  EXPECT_FALSE(ParseCommandLine({"--refuse-writes", "7"}).error.empty()) << "7 is no option";
}

// A paced unit is a unit at that speed unless --baud says otherwise; --baud never paces.
TEST(CommandLine, LineSpeedAndPace) {
  struct Case {
    std::vector<std::string> args;
    std::uint32_t baud, pace;
  };
  const Case cases[] = {
      {{}, 9600, 0},
      {{"--pace", "38400"}, 38400, 38400},
      {{"--baud", "19200"}, 19200, 0},
      {{"--pace", "38400", "--baud", "9600"}, 9600, 38400},
      {{"--baud", "9600", "--pace", "38400"}, 9600, 38400},
  };
  for (const Case& c : cases) {
    const auto cl = ParseCommandLine(c.args);
    ASSERT_TRUE(cl.error.empty()) << cl.error;
    EXPECT_EQ(cl.options.line.baud, c.baud) << ::testing::PrintToString(c.args);
    EXPECT_EQ(cl.options.paceBaud, c.pace) << ::testing::PrintToString(c.args);
  }
}

TEST(CommandLine, HelpNamesEveryFaultTheDefaultLinkAndTheParityLimit) {
  const std::string usage = tagris::unitsim::Usage();
  EXPECT_NE(usage.find(tagris::unitsim::DefaultLinkPath()), std::string::npos);
  for (FaultKind kind : tagris::unitsim::AllFaultKinds()) {
    if (kind == FaultKind::None) continue;
    EXPECT_NE(usage.find(" " + std::string(tagris::unitsim::FaultName(kind)) + " "), std::string::npos)
        << tagris::unitsim::FaultName(kind);
  }
  for (const char* option :
       {"--address", "--link", "--baud", "--parity", "--stop", "--no-line-check", "--follow-serial-writes", "--pace",
        "--seed", "--fault", "--exception-code", "--late-ms", "--hangup-ms", "--unplug-ms", "--refuse-writes",
        "--ignore-writes", "--silent-writes", "--fixed-address", "--negative-temperature", "--no-drift", "--verbose",
        "--help", "SIGUSR1"})
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  EXPECT_NE(usage.find("cannot be told from none"), std::string::npos);
}

TEST(CommandLine, FaultKinds) {
  const std::pair<const char*, FaultKind> kinds[] = {
      {"bad-crc", FaultKind::BadCrc}, {"wrong-address", FaultKind::WrongAddress}, {"silent", FaultKind::Silent},
      {"bursts", FaultKind::Bursts},  {"trailing", FaultKind::Trailing},          {"flood", FaultKind::Flood},
      {"hangup", FaultKind::Hangup},  {"mix", FaultKind::Mix},                    {"random", FaultKind::Mix},
      {"unplug", FaultKind::Unplug},  {"echo", FaultKind::Echo},                  {"echo-only", FaultKind::EchoOnly},
      {"garbage", FaultKind::Garbage}, {"exception", FaultKind::Exception},       {"late", FaultKind::Late},
      {"short", FaultKind::Short},    {"wrong-function", FaultKind::WrongFunction},
      {"wrong-count", FaultKind::WrongCount},
  };
  for (const auto& [name, kind] : kinds) {
    const auto cl = ParseCommandLine({"--fault", name});
    EXPECT_TRUE(cl.error.empty()) << name;
    EXPECT_EQ(cl.options.fault, kind) << name;
    EXPECT_DOUBLE_EQ(cl.options.faultRate, 1.0) << name;
  }
}

TEST(CommandLine, BadArgumentsAreRefused) {
  const std::vector<std::vector<std::string>> cases = {
      {"--address", "0"},   {"--address", "128"},   {"--address", "5x"}, {"--address"},
      {"--pace", "fast"},   {"--fault", "melt"},    {"--fault", "silent:2"}, {"--fault", "silent:"},
      {"--link", ""},       {"--hangup-ms", "-1"},  {"--verbose=yes"},   {"--bogus"},
      {"--baud", "0"},      {"--baud", "fast"},     {"--parity", "mark"}, {"--parity"},
      {"--stop", "3"},      {"--stop", "1.5"},      {"--refuse-writes=0"}, {"--refuse-writes=256"},
      {"--refuse-writes="}, {"--exception-code", "0"}, {"--exception-code", "256"},
      {"--late-ms", "-1"},  {"--unplug-ms", "x"},   {"--no-line-check=1"}, {"--ignore-writes=1"},
      {"--ignore-writes", "--silent-writes"}, {"--refuse-writes", "--ignore-writes"},
  };
  for (const auto& args : cases) EXPECT_FALSE(ParseCommandLine(args).error.empty()) << args[0];
}

TEST(CommandLine, Help) { EXPECT_TRUE(ParseCommandLine({"--help"}).help); }

}  // namespace
