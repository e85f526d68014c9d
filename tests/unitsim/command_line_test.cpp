#include "command_line.h"

#include <gtest/gtest.h>

namespace {

using tagris::unitsim::FaultKind;
using tagris::unitsim::ParseCommandLine;

TEST(CommandLine, DefaultsMatchTheToolsDefaults) {
  const auto cl = ParseCommandLine({});
  EXPECT_TRUE(cl.error.empty());
  EXPECT_EQ(cl.options.linkPath, "/tmp/tagris-unit");
  EXPECT_EQ(cl.options.address, 5);
  EXPECT_EQ(cl.options.paceBaud, 0u);
  EXPECT_EQ(cl.options.fault, FaultKind::None);
  EXPECT_TRUE(cl.options.followAddressWrites);
  EXPECT_TRUE(cl.options.drift);
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

TEST(CommandLine, FaultKinds) {
  const std::pair<const char*, FaultKind> kinds[] = {
      {"bad-crc", FaultKind::BadCrc}, {"wrong-address", FaultKind::WrongAddress}, {"silent", FaultKind::Silent},
      {"bursts", FaultKind::Bursts},  {"trailing", FaultKind::Trailing},          {"flood", FaultKind::Flood},
      {"hangup", FaultKind::Hangup},  {"mix", FaultKind::Mix},                    {"random", FaultKind::Mix},
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
  };
  for (const auto& args : cases) EXPECT_FALSE(ParseCommandLine(args).error.empty()) << args[0];
}

TEST(CommandLine, Help) { EXPECT_TRUE(ParseCommandLine({"--help"}).help); }

}  // namespace
