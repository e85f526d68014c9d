// tagris-cli without a port: the command line, the frames of its writes, the
// texts it prints and writes, and when watch calls the link lost. Portable: the
// Windows build runs it under wine too.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "json.h"
#include "modbus/frames.h"
#include "options.h"
#include "platform.h"
#include "render.h"
#include "run.h"
#include "watch.h"

namespace tagris::cli {
namespace {

using Args = std::vector<std::string>;
using std::chrono::milliseconds;

// ---------------------------------------------------------------- command line

TEST(CliArguments, DefaultsAndEveryConnectionOption) {
  const Invocation d = ParseArguments({"read", "--port", "/dev/ttyUSB0"});
  ASSERT_EQ(d.error, "");
  EXPECT_EQ(d.command, Command::Read);
  EXPECT_EQ(d.port, "/dev/ttyUSB0");
  EXPECT_EQ(d.line.baud, 9600);
  EXPECT_EQ(d.line.parity, Parity::None);
  EXPECT_FALSE(d.line.twoStopBits);
  EXPECT_EQ(d.address, 5);
  EXPECT_EQ(d.timeout, milliseconds(1000));
  EXPECT_FALSE(d.json);

  // Options before and after the command, with "=" or a separate value.
  const Invocation a = ParseArguments({"--port=COM3", "--baud", "19200", "read", "--parity=odd", "--stop", "2",
                                       "--address", "127", "--timeout", "250", "--json"});
  ASSERT_EQ(a.error, "");
  EXPECT_EQ(a.port, "COM3");
  EXPECT_EQ(a.line.baud, 19200);
  EXPECT_EQ(a.line.parity, Parity::Odd);
  EXPECT_TRUE(a.line.twoStopBits);
  EXPECT_EQ(a.address, 127);
  EXPECT_EQ(a.timeout, milliseconds(250));
  EXPECT_TRUE(a.json);

  const Invocation w = ParseArguments({"watch", "--port", "ttyUSB0", "--interval", "0.25", "--count", "10", "--csv",
                                       "day.csv", "--log", "day.txt", "--parity", "even"});
  ASSERT_EQ(w.error, "");
  EXPECT_EQ(w.command, Command::Watch);
  EXPECT_EQ(w.interval, milliseconds(250));
  ASSERT_TRUE(w.count.has_value());
  EXPECT_EQ(*w.count, 10);
  EXPECT_EQ(w.csvPath, "day.csv");
  EXPECT_EQ(w.logPath, "day.txt");
  EXPECT_EQ(w.line.parity, Parity::Even);
  EXPECT_EQ(ParseArguments({"watch", "--port", "p"}).interval, milliseconds(1000));
}

// Each wrong command line: exit 1 and one sentence on stderr that names the fix.
TEST(CliArguments, UsageErrorsExitOneWithASentence) {
  struct Case {
    Args args;
    const char* saying;
  };
  const Case cases[] = {
      {{}, "name a command: read, watch or write"},
      {{"--port", "p"}, "name a command"},
      {{"frob", "--port", "p"}, "unknown command 'frob'"},
      {{"read"}, "name the serial port with --port"},
      {{"read", "--port"}, "--port needs a value"},
      {{"read", "--port="}, "--port needs the name of a serial port"},
      {{"read", "--port", "p", "--baud", "0"}, "--baud must be a positive whole number"},
      {{"read", "--port", "p", "--baud", "96oo"}, "not '96oo'"},
      {{"read", "--port", "p", "--parity", "mark"}, "--parity must be none, even or odd"},
      {{"read", "--port", "p", "--stop", "1.5"}, "--stop must be 1 or 2"},
      {{"read", "--port", "p", "--address", "128"}, "--address must be a whole number from 0 to 127"},
      {{"read", "--port", "p", "--address", "-1"}, "--address must be"},
      {{"read", "--port", "p", "--timeout", "0"}, "--timeout must be a number of milliseconds"},
      {{"read", "--port", "p", "--bogus"}, "unknown option '--bogus'"},
      {{"read", "--port", "p", "-x"}, "unknown option '-x'"},
      {{"read", "--port", "p", "extra"}, "unexpected 'extra' after read"},
      {{"read", "--port", "p", "--csv", "f.csv"}, "--csv belongs to watch"},
      {{"read", "--port", "p", "--interval", "1"}, "--interval belongs to watch"},
      {{"write", "--port", "p", "--count", "2", "channel", "1"}, "--count belongs to watch"},
      {{"watch", "--port", "p", "--interval", "-1"}, "--interval must be a number of seconds"},
      {{"watch", "--port", "p", "--interval", "soon"}, "--interval must be"},
      {{"watch", "--port", "p", "--count", "0"}, "--count must be a whole number of replies"},
      {{"watch", "--port", "p", "--csv="}, "--csv needs a file name"},
      {{"write", "--port", "p", "--json", "channel", "1"}, "--json belongs to read and watch"},
      {{"write", "--port", "p", "--address", "0", "channel", "1"}, "address 0 is the broadcast address"},
      {{"write", "--port", "p"}, "say what to write"},
      {{"write", "--port", "p", "colour", "1"}, "cannot write 'colour'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::ostringstream out, err;
    EXPECT_EQ(Main(c.args, out, err), kExitUsage);
    EXPECT_EQ(out.str(), "");
    const std::string e = err.str();
    EXPECT_NE(e.find(c.saying), std::string::npos) << e;
    EXPECT_EQ(e.rfind("tagris-cli: ", 0), 0u) << e;
    EXPECT_EQ(e.find('\n'), e.size() - 1) << "one line: " << e;
  }
}

TEST(CliArguments, HelpAndVersionExitZeroWithoutAPort) {
  struct Case {
    Args args;
    const char* saying;
  };
  const Case cases[] = {
      {{"--help"}, "Usage: tagris-cli COMMAND"},
      {{"-h"}, "Commands:"},
      {{"read", "--help"}, "Usage: tagris-cli read"},
      {{"watch", "-h"}, "lost once when 3 polls in a row"},
      {{"write", "grade", "--help"}, "grade CH VALUE"},
      {{"--bogus", "--help"}, "Usage: tagris-cli COMMAND"},  // help wins over a wrong option
      {{"--version"}, "tagris-cli "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    std::ostringstream out, err;
    EXPECT_EQ(Main(c.args, out, err), kExitOk);
    EXPECT_NE(out.str().find(c.saying), std::string::npos) << out.str();
    EXPECT_EQ(err.str(), "");
  }
  // Every command's help states the exit codes and the common options.
  for (const Command c : {Command::None, Command::Read, Command::Watch, Command::Write}) {
    const std::string help = HelpText(c);
    for (const char* word : {"--port", "--baud", "--parity", "--stop", "--address", "--timeout", "Exit status: 0",
                             "4 a write not confirmed"})
      EXPECT_NE(help.find(word), std::string::npos) << word;
  }
}

// ---------------------------------------------------------------- write frames

// The request each write sends at address 5, as the window's buttons build it
// from the same texts. Bytes with an independently computed CRC.
TEST(CliWrite, FramesAreTheWindowsFrames) {
  using Frame = std::array<std::uint8_t, 8>;
  struct Case {
    Args words;
    Frame bytes;
  };
  const Case cases[] = {
      {{"channel", "3"}, {0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45}},
      {{"channel", "20"}, {0x05, 0x06, 0x00, 0x21, 0x00, 0x0E, 0x59, 0x80}},  // clamped to 14
      {{"channel", "0"}, {0x05, 0x06, 0x00, 0x21, 0x00, 0x01, 0x19, 0x84}},   // clamped to 1
      {{"channel", " +7"}, {0x05, 0x06, 0x00, 0x21, 0x00, 0x07, 0x99, 0x86}},  // the field's grammar
      {{"grade", "2", "1.5"}, {0x05, 0x06, 0x00, 0x03, 0x00, 0x73, 0x39, 0xAB}},
      {{"grade", "1", "1.55"}, {0x05, 0x06, 0x00, 0x02, 0x00, 0x73, 0x68, 0x6B}},   // truncated: 115
      {{"grade", "1", "-0.05"}, {0x05, 0x06, 0x00, 0x02, 0x00, 0x63, 0x69, 0xA7}},  // truncated: 99
      {{"grade", "3", "25"}, {0x05, 0x06, 0x00, 0x04, 0x00, 0xC7, 0x88, 0x1D}},     // 9.99: 199
      {{"grade", "3", "-25"}, {0x05, 0x06, 0x00, 0x04, 0x00, 0x00, 0xC9, 0x8F}},    // -9.99: 0
      {{"grade", "15", "1"}, {0x05, 0x06, 0x00, 0x0F, 0x00, 0x6E, 0x39, 0xA1}},     // channel 14
      {{"salinity", "1", "100"}, {0x05, 0x06, 0x00, 0x12, 0x03, 0xE8, 0x28, 0xF5}},
      {{"salinity", "1", "1e2"}, {0x05, 0x06, 0x00, 0x12, 0x03, 0xE8, 0x28, 0xF5}},
      {{"salinity", "3", "95.55"}, {0x05, 0x06, 0x00, 0x14, 0x03, 0xBB, 0x88, 0xC9}},  // 955
      {{"salinity", "2", "200"}, {0x05, 0x06, 0x00, 0x13, 0x04, 0xB0, 0x7A, 0xFF}},    // 120
      {{"salinity", "2", "50"}, {0x05, 0x06, 0x00, 0x13, 0x03, 0x84, 0x79, 0x18}},     // 90
      {{"serial", "19200", "even", "1"}, {0x05, 0x06, 0x00, 0x00, 0x00, 0x0E, 0x09, 0x8A}},
      {{"serial", "4800", "none", "1"}, {0x05, 0x06, 0x00, 0x00, 0x00, 0x00, 0x88, 0x4E}},
      {{"serial", "38400", "odd", "2"}, {0x05, 0x06, 0x00, 0x00, 0x00, 0x37, 0xC9, 0x98}},
      {{"serial", "9600", "none", "2"}, {0x05, 0x06, 0x00, 0x00, 0x00, 0x24, 0x88, 0x55}},
      {{"address", "7"}, {0x05, 0x06, 0x00, 0x31, 0x00, 0x07, 0x98, 0x43}},
      {{"address", "0"}, {0x05, 0x06, 0x00, 0x31, 0x00, 0x01, 0x18, 0x41}},    // 0 is never sent
      {{"address", "300"}, {0x05, 0x06, 0x00, 0x31, 0x00, 0x7F, 0x98, 0x61}},  // clamped to 127
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    std::string error;
    const auto order = ParseWrite(c.words, error);
    ASSERT_TRUE(order.has_value()) << error;
    EXPECT_EQ(WriteRequest(5, order->write.reg, order->write.value), c.bytes);
  }
}

TEST(CliWrite, WhatTheConfirmationLooksFor) {
  std::string error;
  const auto serial = ParseWrite({"serial", "38400", "odd", "2"}, error);
  ASSERT_TRUE(serial);
  EXPECT_EQ(serial->newLine.baud, 38400);
  EXPECT_EQ(serial->newLine.parity, Parity::Odd);
  EXPECT_TRUE(serial->newLine.twoStopBits);
  const auto address = ParseWrite({"address", "300"}, error);
  ASSERT_TRUE(address);
  EXPECT_EQ(address->newAddress, 127);
  const auto grade = ParseWrite({"grade", "99", "1"}, error);
  ASSERT_TRUE(grade);
  EXPECT_EQ(grade->channel, 14);
  // A negative value is a value, not an option.
  const Invocation inv = ParseArguments({"write", "--port", "p", "grade", "3", "-1.5"});
  ASSERT_EQ(inv.error, "");
  EXPECT_EQ(inv.order.write, (RegisterWrite{4, 85}));
}

TEST(CliWrite, WordsThatMakeNoWrite) {
  struct Case {
    Args words;
    const char* saying;
  };
  const Case cases[] = {
      {{"channel"}, "write channel takes one channel number"},
      {{"channel", "1", "2"}, "write channel takes"},
      {{"channel", "three"}, "the channel must be a whole number, not 'three'"},
      {{"channel", "1.5"}, "must be a whole number"},
      {{"grade", "3"}, "write grade takes a channel and a value"},
      {{"grade", "3", "1,5"}, "the grade must be a number such as 1.5, not '1,5'"},
      {{"grade", "x", "1.5"}, "the channel must be a whole number"},
      {{"salinity", "3", ""}, "the salinity must be a number"},
      {{"serial", "57600", "none", "1"}, "the unit's speed must be 4800, 9600, 14400, 19200 or 38400"},
      {{"serial", "9600", "NOPARITY", "1"}, "the unit's parity must be none, even or odd"},
      {{"serial", "9600", "none", "3"}, "the unit's stop bits must be 1 or 2"},
      {{"serial", "9600", "none"}, "write serial takes BAUD PARITY STOP"},
      {{"address", "-"}, "the address must be a whole number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    std::string error;
    EXPECT_FALSE(ParseWrite(c.words, error).has_value());
    EXPECT_NE(error.find(c.saying), std::string::npos) << error;
  }
}

// ---------------------------------------------------------------- texts

TEST(CliRender, DecimalsAreExactAndPlain) {
  struct Case {
    double value;
    int decimals;
    bool trim;
    const char* text;
  };
  const Case cases[] = {
      {7 * 0.01, 2, true, "0.07"},  // not 0.07000000000000001
      {120 * 0.01, 2, false, "1.20"},
      {120 * 0.01, 2, true, "1.2"},
      {100 * 0.01, 2, true, "1"},
      {-9 * 0.01, 2, true, "-0.09"},
      {-0.0, 1, true, "0"},
      {-0.01, 1, false, "0.0"},  // rounds to zero: no sign
      {875 * 0.46875 * 0.125 + 1980, 8, true, "2031.26953125"},
      {107 * 0.46875 * 0.25, 7, true, "12.5390625"},
      {static_cast<float>(-50 * 0.1), 1, true, "-5"},
      {static_cast<float>(3276.7), 1, false, "3276.7"},
  };
  for (const Case& c : cases) EXPECT_EQ(Decimal(c.value, c.decimals, c.trim), c.text) << c.value;
}

TEST(CliRender, IsoTimeHasTheOffsetWithAColon) {
  std::tm t{};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 11;
  t.tm_mday = 10;
  t.tm_hour = 15;
  t.tm_min = 4;
  t.tm_sec = 5;
  EXPECT_EQ(IsoTime(t, 3600), "2026-12-10T15:04:05+01:00");
  EXPECT_EQ(IsoTime(t, 0), "2026-12-10T15:04:05+00:00");
  EXPECT_EQ(IsoTime(t, -(3 * 3600 + 30 * 60)), "2026-12-10T15:04:05-03:30");
  EXPECT_EQ(IsoTime(t, 5 * 3600 + 45 * 60), "2026-12-10T15:04:05+05:45");
}

// The local time zone for a test, through TZ, which both C libraries read.
class TimeZone {
 public:
  explicit TimeZone(const char* tz) {
    if (const char* old = std::getenv("TZ")) saved_ = old;
    Set(tz);
  }
  ~TimeZone() { Set(saved_ ? saved_->c_str() : nullptr); }
  TimeZone(const TimeZone&) = delete;
  TimeZone& operator=(const TimeZone&) = delete;

 private:
  static void Set(const char* tz) {
#ifdef _WIN32
    _putenv_s("TZ", tz ? tz : "");  // empty removes it
    _tzset();
#else
    if (tz) setenv("TZ", tz, 1);
    else unsetenv("TZ");
    tzset();
#endif
  }
  std::optional<std::string> saved_;
};

// The offset in force at the moment, on either side of UTC and in summer time.
TEST(CliRender, LocalTimeCarriesTheZonesOffset) {
  constexpr std::time_t kMoment = 1'000'000'000;  // 2001-09-09T01:46:40Z
  struct Case {
    const char* tz;
    const char* iso;
  };
  const Case cases[] = {
      {"UTC0", "2001-09-09T01:46:40+00:00"},
      {"XYZ-5:30", "2001-09-09T07:16:40+05:30"},
      {"ABC+3", "2001-09-08T22:46:40-03:00"},
#ifndef _WIN32
      // Summer time: Windows' C library takes it from TZ by US rules alone, and
      // wine's not at all, so there it comes from the system's zone only.
      {"CET-1CEST,M3.5.0,M10.5.0/3", "2001-09-09T03:46:40+02:00"},
#endif
  };
  for (const Case& c : cases) {
    TimeZone zone(c.tz);
    EXPECT_EQ(IsoLocalTime(kMoment), c.iso) << c.tz;
  }
}

TEST(CliRender, JsonEscapesWhatJsonNeeds) {
  EXPECT_EQ(JsonEscape("a\"b\\c\n\t\x01 \xd0\x9c"), "a\\\"b\\\\c\\n\\t\\u0001 \xd0\x9c");
  JsonWriter json;
  json.BeginObject().Key("a").BeginArray().Integer(1).Null().String("x").EndArray();
  json.Key("b").BeginObject().EndObject().Key("c").Number("-0.5").EndObject();
  EXPECT_EQ(json.Text(), R"({"a":[1,null,"x"],"b":{},"c":-0.5})");
}

// Registers with the awkward cases of each decoding rule; expected values written out.
std::array<std::uint16_t, kRegisterCount> AwkwardRegisters() {
  std::array<std::uint16_t, kRegisterCount> r{};
  r[0] = 46;  // 19200, even, two stop bits
  for (int k = 1; k <= 14; ++k) {
    r[k + 1] = static_cast<std::uint16_t>(100 + k);  // grade 0.1 .. 1.4
    r[k + 17] = static_cast<std::uint16_t>(900 + 5 * k);
  }
  r[2] = 0;      // grade -10
  r[15] = 199;   // grade 9.9
  r[33] = 7;
  r[36] = 7;       // 0.07 %
  r[37] = 0xFFF6;  // -9 counts by its sign rule (value - 0xFFFF): -0.09 %
  r[38] = 0xFFCE;  // -50: -5.0 C
  r[39] = 9;       // no medium
  r[40] = 512;
  r[41] = 3100;
  r[42] = 880;
  r[43] = 110;
  r[44] = 2900;
  r[45] = 875;
  r[46] = 107;
  r[47] = 211;
  r[48] = 2048;
  r[49] = 5;
  r[50] = 0x8000;  // -3276.8 C
  return r;
}

TEST(CliRender, ReadJsonOfKnownRegisters) {
  const std::string expected =
      R"({"registers":[46,0,0,102,103,104,105,106,107,108,109,110,111,112,113,199,0,0,905,910,915,920,925,930,)"
      R"(935,940,945,950,955,960,965,970,0,7,0,0,7,65526,65486,9,512,3100,880,110,2900,875,107,211,2048,5,)"
      R"(32768,0,0,0],"moisture":0.07,"moisture_unlimited":-0.09,"temperature":-5,"mix_temperature":-3276.8,)"
      R"("peak_frequency":2031.26953125,"peak_width":12.5390625,"medium":null,"channel":7,"channels":[)"
      R"({"grade":-10,"salinity":90.5},{"grade":0.2,"salinity":91},{"grade":0.3,"salinity":91.5},)"
      R"({"grade":0.4,"salinity":92},{"grade":0.5,"salinity":92.5},{"grade":0.6,"salinity":93},)"
      R"({"grade":0.7,"salinity":93.5},{"grade":0.8,"salinity":94},{"grade":0.9,"salinity":94.5},)"
      R"({"grade":1,"salinity":95},{"grade":1.1,"salinity":95.5},{"grade":1.2,"salinity":96},)"
      R"({"grade":1.3,"salinity":96.5},{"grade":9.9,"salinity":97}],)"
      R"("serial":{"baud":19200,"parity":"even","stop":2},)"
      R"("diagnostics":{"offset":512,"offset_uncorrected":5,"ymax_op":3100,"xmax_op":880,"pol_op":110,)"
      R"("ymax":2900,"xmax":875,"pol":107,"marker":844,"dac":2048}})"
      "\n";
  EXPECT_EQ(ReadJson(DecodeRegisters(AwkwardRegisters())), expected);
}

TEST(CliRender, ReadTextNamesEveryValueWithItsUnit) {
  const std::string text = ReadText(DecodeRegisters(AwkwardRegisters()));
  for (const char* line : {"moisture                  0.07 %\n", "moisture without limits   -0.09 %\n",
                           "temperature               -5.0 C\n", "mixture temperature       -3276.8 C\n",
                           "peak frequency            2031.26953125 MHz\n", "peak width                12.5390625 MHz\n",
                           "medium                    unknown (code 9)\n", "active channel            7\n",
                           "channel 1 grade           -10.0\n", "channel 14 salinity       97.0\n",
                           "serial speed              19200 baud\n", "serial parity             even\n",
                           "serial stop bits          2\n", "offset uncorrected        5\n", "Marker                    844\n",
                           "DAC                       2048\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 8 + 28 + 3 + 10);
}

TEST(CliRender, WatchLinesAndCsvRows) {
  auto regs = AwkwardRegisters();
  regs[39] = 1;
  const RegisterBlock b = DecodeRegisters(regs);
  const std::string t = "2026-12-10T15:04:05+01:00";
  EXPECT_EQ(CsvRow(t, RowStatus::Ok, &b),
            "2026-12-10T15:04:05+01:00,ok,0.07,-0.09,-5,-3276.8,2031.26953125,12.5390625,water,7\n");
  EXPECT_EQ(CsvRow(t, RowStatus::Resumed, &b).substr(0, 34), "2026-12-10T15:04:05+01:00,resumed,");
  EXPECT_EQ(CsvRow(t, RowStatus::Lost, nullptr), "2026-12-10T15:04:05+01:00,lost,,,,,,,,\n");
  EXPECT_EQ(std::count(kCsvHeader.begin(), kCsvHeader.end(), ','), 9);
  EXPECT_EQ(WatchLine(t, RowStatus::Ok, &b),
            "2026-12-10T15:04:05+01:00 ok moisture 0.07 % unlimited -0.09 % temperature -5.0 C mixture -3276.8 C "
            "peak 2031.26953125 MHz width 12.5390625 MHz medium water channel 7\n");
  EXPECT_EQ(WatchLine(t, RowStatus::Lost, nullptr), "2026-12-10T15:04:05+01:00 lost\n");
  EXPECT_EQ(WatchJsonLine(t, RowStatus::Lost, nullptr), R"({"time":"2026-12-10T15:04:05+01:00","status":"lost"})"
                                                        "\n");
  EXPECT_EQ(WatchJsonLine(t, RowStatus::Ok, &b).substr(0, 63),
            R"({"time":"2026-12-10T15:04:05+01:00","status":"ok","registers":[)");
}

// ---------------------------------------------------------------- watch

// Poll results in, status rows out: "o" ok, "n" no reply, "i" invalid, "p" port lost;
// rows as "ok", "lost", "resumed" or "-" for none.
TEST(CliWatch, LostOnceAndResumedOnTheFirstReply) {
  struct Case {
    const char* polls;
    std::vector<std::string> rows;
  };
  const Case cases[] = {
      {"ooo", {"ok", "ok", "ok"}},
      {"nno", {"-", "-", "ok"}},  // two silent polls are not yet lost
      {"nnn", {"-", "-", "lost"}},
      {"nnnnno", {"-", "-", "lost", "-", "-", "resumed"}},
      {"iiio", {"-", "-", "lost", "resumed"}},  // invalid replies do not prove the link
      {"ninio", {"-", "-", "lost", "-", "resumed"}},  // silence and invalid replies count together
      {"p", {"lost"}},
      {"opoo", {"ok", "lost", "resumed", "ok"}},
      {"nnpo", {"-", "-", "lost", "resumed"}},
      {"nnnpo", {"-", "-", "lost", "-", "resumed"}},  // lost once, not again when the port goes
      {"pnnno", {"lost", "-", "-", "-", "resumed"}},
      {"nnnonnn", {"-", "-", "lost", "resumed", "-", "-", "lost"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.polls);
    LinkWatch link;
    std::vector<std::string> rows;
    for (const char* p = c.polls; *p; ++p) {
      const ExchangeStatus s = *p == 'o'   ? ExchangeStatus::Ok
                               : *p == 'n' ? ExchangeStatus::NoReply
                               : *p == 'i' ? ExchangeStatus::Invalid
                                           : ExchangeStatus::PortLost;
      const auto row = link.Polled(s);
      rows.push_back(row ? std::string(RowStatusName(*row)) : "-");
    }
    EXPECT_EQ(rows, c.rows);
  }
}

class AppendFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    namespace fs = std::filesystem;
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const fs::path dir = fs::temp_directory_path() / ("tagris-cli-test-" + std::string(test->name()) + "-" +
                                                      std::to_string(std::random_device{}()));
    ASSERT_TRUE(fs::create_directory(dir));
    dir_ = dir.string();
    path_ = (dir / "watch.csv").string();
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  std::string dir_, path_;
};

TEST_F(AppendFileTest, HeaderOnlyInANewOrEmptyFile) {
  {
    AppendFile f;
    f.Open(path_, "h\n");
    f.Write("1\n");
  }
  {
    AppendFile f;
    f.Open(path_, "h\n");
    f.Write("2\n");
  }
  EXPECT_EQ(test::ReadFileBytes(path_), "h\n1\n2\n");
  test::WriteFileBytes(path_, "");
  {
    AppendFile f;
    f.Open(path_, "h\n");
    f.Write("3\n");
  }
  EXPECT_EQ(test::ReadFileBytes(path_), "h\n3\n");
}

TEST_F(AppendFileTest, ATornLastLineStaysApart) {
  test::WriteFileBytes(path_, "h\n1\n2,o");
  AppendFile f;
  f.Open(path_, "h\n");
  f.Write("3\n");
  EXPECT_EQ(test::ReadFileBytes(path_), "h\n1\n2,o\n3\n");
}

TEST_F(AppendFileTest, ErrorsSayWhatToDo) {
  AppendFile f;
  try {
    f.Open(dir_ + "/missing/watch.csv", "h\n");
    ADD_FAILURE() << "opened a file in a missing folder";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("check the folder"), std::string::npos) << e.what();
  }
  try {
    f.Open(dir_, "h\n");
    ADD_FAILURE() << "opened a folder";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(dir_), std::string::npos) << e.what();
  }
  EXPECT_FALSE(f.IsOpen());
#ifndef _WIN32
  // A full device (Windows has no such device to try): the row is refused and the
  // file closed, with a sentence.
  f.Open("/dev/full", "");
  try {
    f.Write("1\n");
    ADD_FAILURE() << "wrote to a full device";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot write to /dev/full"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(f.IsOpen());
#endif
}

}  // namespace
}  // namespace tagris::cli
