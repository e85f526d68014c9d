// The connection without a window: bytes in, effects out. One reply's effects
// (watchdog, trace line, decode, kept values, log line), the frames the ticks and
// the command slot send, the blocking drive against a port in memory, and the
// guarantee that a reply of an exchange that is over is never taken.
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connection/connection.h"
#include "files.h"
#include "scripted_port.h"
#include "trace_fixture.h"

namespace tagris {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::ReadFileBytes;
using test::ReceiveTrace;
using test::ScriptedPort;
using test::ScriptedPorts;
namespace fs = std::filesystem;

// A measurement reply of address 5, CRC worked out by hand (0x6F 0x3C). Registers:
// 0 = 0x0024 (9600, no parity, two stop bits), 2 = 105 (grade 1 = 0.5), 15 = 90
// (grade 14 = -1.0), 18 = 1000 (salinity 1 = 100.0), 31 = 950 (salinity 14 = 95.0),
// 33 = 3 (channel), 36 = 1234 (W 12.34), 37 = 0xFFFE (-0.01), 38 = 235 (23.5 °C),
// 39 = 1 (water), 45 = 160 (peak at 1989.375 MHz), 46 = 8 (width 0.9375), 47 = 5
// (marker 20), 50 = 0xFFCE (-5.0 °C); all others 0.
const Bytes kGoodReply = {
    0x05, 0x03, 0x6C, 0x00, 0x24, 0x00, 0x00, 0x00, 0x69, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x5A, 0x00, 0x00, 0x00, 0x00, 0x03, 0xE8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x03, 0xB6, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x04, 0xD2, 0xFF, 0xFE, 0x00,
    0xEB, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xA0, 0x00,
    0x08, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xCE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x6F,
    0x3C,
};

const std::string kGoodTrace =
    "-->"
    " 0x05 0x03 0x6C 0x00 0x24 0x00 0x00 0x00 0x69 0x00 0x00 0x00 0x00 0x00 0x00 0x00"
    " 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00"
    " 0x00 0x00 0x5A 0x00 0x00 0x00 0x00 0x03 0xE8 0x00 0x00 0x00 0x00 0x00 0x00 0x00"
    " 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00"
    " 0x00 0x03 0xB6 0x00 0x00 0x00 0x03 0x00 0x00 0x00 0x00 0x04 0xD2 0xFF 0xFE 0x00"
    " 0xEB 0x00 0x01 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0x00 0xA0 0x00"
    " 0x08 0x00 0x05 0x00 0x00 0x00 0x00 0xFF 0xCE 0x00 0x00 0x00 0x00 0x00 0x00 0x6F"
    " 0x3C"
    "<---";

// The log file's header: the column names in Windows-1251, CR LF.
const std::string kLogHeader =
    "\xC2\xF0\xE5\xEC\xFF\t"
    "\xD2\xEE\xEA\t"
    "\xD2\xEE\xEA(\xF3\xF1\xF0.)\t"
    "\xD0\xE5\xE3.\xEE\xF8.\t"
    "\xD2\xE5\xEC\xEF.\xC2\xED\xE5\xF8.\t"
    "\xD2\xE5\xEC\xEF" "DSP\t"
    "\xD2\xE5\xEC\xEF.\xD2\xC7\xC2" "808\r\n";

// The good reply with bytes replaced (CRC bytes included when given).
Bytes Spoilt(std::initializer_list<std::pair<std::size_t, std::uint8_t>> changes) {
  Bytes r = kGoodReply;
  for (const auto& [at, value] : changes) r[at] = value;
  return r;
}

Bytes Prefix(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

// A fresh folder per test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tagris-conn-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// ------------------------------------------------------------ one reply

// HandleReply on a connection with no port: what the last tick sent is set by hand.
class ReplyEffects : public ::testing::Test {
 protected:
  void SetUp() override {
    conn.Cycle().PollPhase = 0;  // the last tick sent the poll
    conn.Cycle().LinkCountdown = 3;
    conn.Log().Start(logPath);
  }

  // The bytes as the receive thread hands them over: in a 2048-byte copy, zero after.
  ReplyOutcome Handle(const Bytes& bytes, std::size_t threshold) {
    std::array<std::uint8_t, kLinkBufferSize> rx{};
    std::copy(bytes.begin(), bytes.end(), rx.begin());
    return conn.HandleReply(rx, bytes.size(), threshold);
  }

  TempDir dir;
  const std::string logPath = dir / "log.txt";
  Connection conn;
};

std::string GoodLogLine(const char* count) {
  return std::string(count) + "\t012.3400\t012.3400\t" + kGoodTrace + "\t23.5\t00.0\r\n";
}

TEST_F(ReplyEffects, AGoodReplyResetsTheWatchdogIsTracedDecodedKeptAndLogged) {
  const ReplyOutcome o = Handle(kGoodReply, 113);
  EXPECT_EQ(o.kind, ReplyKind::Measurement);
  EXPECT_TRUE(o.check.ok());
  EXPECT_EQ(conn.Cycle().LinkCountdown, 10);
  EXPECT_EQ(o.trace, kGoodTrace);
  EXPECT_EQ(o.count, 1);
  EXPECT_FALSE(o.logError);

  ASSERT_TRUE(o.block);
  const RegisterBlock& b = *o.block;
  EXPECT_EQ(b.reg[0], 0x0024);
  EXPECT_EQ(b.reg[36], 1234);
  EXPECT_EQ(b.reg[37], 0xFFFE);
  EXPECT_EQ(b.reg[50], 0xFFCE);
  EXPECT_EQ(b.reg[53], 0);
  EXPECT_EQ(b.serial.baudRate, 9600);
  EXPECT_EQ(b.serial.parity, "NOPARITY");
  EXPECT_EQ(b.serial.stopBits, "STOP2");
  EXPECT_DOUBLE_EQ(b.grade[0], 0.5);
  EXPECT_DOUBLE_EQ(b.grade[13], -1.0);
  EXPECT_DOUBLE_EQ(b.salinity[0], 100.0);
  EXPECT_DOUBLE_EQ(b.salinity[13], 95.0);
  EXPECT_EQ(b.channel, 3);
  EXPECT_DOUBLE_EQ(b.moisture, 12.34);
  EXPECT_DOUBLE_EQ(b.moistureUnlimited, -0.01);
  EXPECT_FLOAT_EQ(b.temperature, 23.5f);
  EXPECT_EQ(b.mediumCode, 1);
  EXPECT_EQ(b.xmax, 160);
  EXPECT_EQ(b.pol, 8);
  EXPECT_EQ(b.marker, 20);
  EXPECT_FLOAT_EQ(b.mixTemperature, -5.0f);
  EXPECT_DOUBLE_EQ(b.peakFrequency, 1989.375);
  EXPECT_DOUBLE_EQ(b.peakWidth, 0.9375);

  EXPECT_FLOAT_EQ(conn.Kept().temperature, 23.5f);
  EXPECT_FLOAT_EQ(conn.Kept().mixTemperature, -5.0f);
  EXPECT_FLOAT_EQ(conn.Kept().moisture, 12.34f);
  EXPECT_FLOAT_EQ(conn.Kept().peakFrequency, 1989.375f);
  EXPECT_FLOAT_EQ(conn.Kept().peakWidth, 0.9375f);
  EXPECT_DOUBLE_EQ(conn.Moisture(), 12.34);
  EXPECT_EQ(ReadFileBytes(logPath), kLogHeader + GoodLogLine("000001.0"));

  // Bytes beyond the reply (read in the same go) change nothing: the trace holds
  // the threshold's count of bytes.
  Bytes longer = kGoodReply;
  longer.resize(120, 0xAA);
  const ReplyOutcome second = Handle(longer, 113);
  EXPECT_EQ(second.kind, ReplyKind::Measurement);
  EXPECT_EQ(second.trace, kGoodTrace);
  EXPECT_EQ(second.count, 2);
  EXPECT_EQ(ReadFileBytes(logPath), kLogHeader + GoodLogLine("000001.0") + GoodLogLine("000002.0"));
}

TEST_F(ReplyEffects, ARejectedReplyIsTracedAndGoesNoFurther) {
  struct Case {
    const char* what;
    Bytes bytes;
    std::size_t threshold;
    ReplyProblem problem;
    std::uint8_t exceptionCode;
  };
  const Case cases[] = {
      {"bad CRC", Spoilt({{112, 0x3D}}), 113, ReplyProblem::BadCrc, 0},
      {"corrupted data", Spoilt({{80, 0xEA}}), 113, ReplyProblem::BadCrc, 0},
      {"another address", Spoilt({{0, 0x06}, {111, 0xF6}, {112, 0x66}}), 113, ReplyProblem::WrongAddress, 0},
      {"wrong function", Spoilt({{1, 0x04}, {111, 0x95}, {112, 0xF8}}), 113, ReplyProblem::WrongFunction, 0},
      {"wrong byte count", Spoilt({{2, 0x6A}, {111, 0xD4}, {112, 0xCF}}), 113, ReplyProblem::WrongCount, 0},
      {"exception", {0x05, 0x83, 0x02, 0x81, 0x30}, 5, ReplyProblem::Exception, 0x02},
      {"exception of another address", {0x06, 0x83, 0x02, 0x71, 0x30}, 5, ReplyProblem::WrongAddress, 0},
      {"short (the connect threshold)", Prefix(kGoodReply, 107), 107, ReplyProblem::Short, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ReplyOutcome o = Handle(c.bytes, c.threshold);
    EXPECT_EQ(o.kind, ReplyKind::Rejected);
    EXPECT_EQ(o.check.problem, c.problem);
    EXPECT_EQ(o.check.exceptionCode, c.exceptionCode);
    EXPECT_EQ(o.trace, ReceiveTrace(Prefix(c.bytes, c.threshold)));
    EXPECT_FALSE(o.block);
    EXPECT_EQ(o.count, 0);
    EXPECT_FALSE(o.logError);
    EXPECT_EQ(conn.Cycle().LinkCountdown, 3) << "only a sound answer proves the link";
    EXPECT_EQ(conn.Kept().moisture, 0.0f);
    EXPECT_EQ(ReadFileBytes(logPath), kLogHeader);
  }
  // The count goes on from where the good replies left it.
  EXPECT_EQ(Handle(kGoodReply, 113).count, 1);
  EXPECT_EQ(Handle(Spoilt({{112, 0x3D}}), 113).count, 1);
  EXPECT_EQ(Handle(kGoodReply, 113).count, 2);
}

TEST_F(ReplyEffects, AReplyAfterTheCommandSlotIsIgnored) {
  conn.Cycle().PollPhase = 1;  // the last tick was a command slot
  for (const Bytes& bytes : {kGoodReply, Spoilt({{112, 0x3D}})}) {
    const ReplyOutcome o = Handle(bytes, 113);
    EXPECT_EQ(o.kind, ReplyKind::Ignored);
    EXPECT_TRUE(o.trace.empty());
    EXPECT_FALSE(o.block);
    EXPECT_EQ(o.count, 0);
    EXPECT_EQ(conn.Cycle().LinkCountdown, 3);
    EXPECT_EQ(conn.Kept().moisture, 0.0f);
    EXPECT_EQ(ReadFileBytes(logPath), kLogHeader);
  }
}

TEST_F(ReplyEffects, ALogLineThatCannotBeWrittenClosesTheLogAndSaysWhy) {
  // A file size limit makes write() fail with EFBIG after the header, like a full disk.
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const ReplyOutcome o = Handle(kGoodReply, 113);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldSignal);

  ASSERT_TRUE(o.logError);
  EXPECT_NE(o.logError->find(logPath), std::string::npos) << *o.logError;
  EXPECT_NE(o.logError->find("File too large"), std::string::npos) << *o.logError;
  EXPECT_FALSE(conn.Log().IsOpen());
  // The reply itself was good: everything else happened.
  EXPECT_EQ(o.kind, ReplyKind::Measurement);
  EXPECT_TRUE(o.block);
  EXPECT_EQ(o.count, 1);
  EXPECT_EQ(conn.Cycle().LinkCountdown, 10);
  EXPECT_EQ(ReadFileBytes(logPath).substr(0, kLogHeader.size()), kLogHeader);

  // Said once: the log is closed, the next reply writes nothing and reports nothing.
  const auto size = fs::file_size(logPath);
  const ReplyOutcome next = Handle(kGoodReply, 113);
  EXPECT_FALSE(next.logError);
  EXPECT_EQ(next.count, 2);
  EXPECT_EQ(fs::file_size(logPath), size);
}

// ------------------------------------------------------------ ticks and the command slot

TEST(Watchdog, TenTicksWithoutAGoodReplyShowTheNoLinkText) {
  Connection conn;  // no port: the slots send nothing, the watchdog still runs
  std::array<std::uint8_t, kLinkBufferSize> good{};
  std::copy(kGoodReply.begin(), kGoodReply.end(), good.begin());
  std::array<std::uint8_t, kLinkBufferSize> bad = good;
  bad[112] = 0x3D;

  for (int tick = 1; tick <= 10; ++tick) EXPECT_FALSE(conn.Tick().linkLost) << tick;
  EXPECT_TRUE(conn.Tick().linkLost);  // 11
  EXPECT_TRUE(conn.Tick().linkLost);  // 12: a poll slot
  EXPECT_EQ(conn.HandleReply(bad, 113, 113).kind, ReplyKind::Rejected);
  EXPECT_TRUE(conn.Tick().linkLost) << "a garbled reply does not bring the link back";
  EXPECT_TRUE(conn.Tick().linkLost);  // 14: a poll slot
  EXPECT_EQ(conn.HandleReply(good, 113, 113).kind, ReplyKind::Measurement);
  for (int tick = 1; tick <= 10; ++tick) EXPECT_FALSE(conn.Tick().linkLost) << tick;
  EXPECT_TRUE(conn.Tick().linkLost);
}

// The unit answers each request with these pieces, each read on its own.
void AnswerInPieces(ScriptedPort& port, const std::vector<Bytes>& pieces) {
  port.SetAnswer([pieces](ScriptedPort& p, const Bytes&) {
    for (const Bytes& piece : pieces) {
      p.Feed(piece);
      if (!p.WaitIdle()) return;
    }
  });
}

// A connection on a port in memory.
class ScriptedConnection : public ::testing::Test {
 protected:
  void Connect(std::uint8_t address) { Connect(conn, address); }
  void Connect(Connection& c, std::uint8_t address) {
    ASSERT_EQ(c.Open({"scripted", {9600, Parity::None, false}, address}), OpenError::None);
    ASSERT_TRUE(port->WaitIdle());
  }
  void TearDown() override { conn.Close(); }

  // One exchange against an answer given in pieces: what the unit said, how long to wait,
  // and what the connection must make of it.
  struct ExchangeCase {
    const char* what;
    std::vector<Bytes> pieces;
    std::chrono::milliseconds timeout;
    ExchangeStatus status;
    ReplyProblem problem;
    std::uint8_t exceptionCode;
  };
  // Runs `exchange` with the case's answer ready and checks what every exchange must do:
  // send `request`, take the status, end the wait at a whole answer, wait out silence.
  PollResult Exchange(
      const ExchangeCase& c, const Bytes& request, const std::function<PollResult(std::chrono::milliseconds)>& exchange) {
    AnswerInPieces(*port, c.pieces);
    const std::size_t written = port->Written().size();
    const auto start = std::chrono::steady_clock::now();
    const PollResult r = exchange(c.timeout);
    const auto took = std::chrono::steady_clock::now() - start;
    // The unit's answer is over before the next request, so nothing trails into it.
    EXPECT_TRUE(port->WaitAnswered(written + 1));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(port->Written().back(), request);
    if (c.timeout == std::chrono::seconds(10)) {
      EXPECT_LT(took, std::chrono::seconds(5)) << "a whole answer ends the wait";
    }
    if (c.status == ExchangeStatus::NoReply) {
      EXPECT_GE(took, c.timeout);
    } else {
      EXPECT_EQ(r.outcome.check.problem, c.problem);
      EXPECT_EQ(r.outcome.check.exceptionCode, c.exceptionCode);
    }
    return r;
  }

  ScriptedPorts port;
  std::atomic<int> wakes{0};
  Connection conn{[this] { ++wakes; }, port.Factory()};
};

using Frame = std::array<std::uint8_t, 8>;

TEST_F(ScriptedConnection, ThePollSlotSendsThePollOfTheAddress) {
  struct Case {
    std::uint8_t address;
    Frame frame;
    const char* trace;
  };
  const Case cases[] = {
      {1, {0x01, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC5, 0xDC}, "<--  0x01 0x03 0x00 0x00 0x00 0x36 0xC5 0xDC"},
      {5, {0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58}, "<--  0x05 0x03 0x00 0x00 0x00 0x36 0xC4 0x58"},
      {127, {0x7F, 0x03, 0x00, 0x00, 0x00, 0x36, 0xCF, 0xC2}, "<--  0x7F 0x03 0x00 0x00 0x00 0x36 0xCF 0xC2"},
      {200, {0x7F, 0x03, 0x00, 0x00, 0x00, 0x36, 0xCF, 0xC2}, "<--  0x7F 0x03 0x00 0x00 0x00 0x36 0xCF 0xC2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.address));
    Connection fresh{nullptr, port.Factory()};  // each from the start of its cycle
    Connect(fresh, c.address);
    EXPECT_EQ(fresh.Address(), c.frame[0]);
    // The first tick is a command slot; with no command waiting it sends nothing.
    EXPECT_FALSE(fresh.Tick().sent);
    const TickOutcome poll = fresh.Tick();
    ASSERT_TRUE(poll.sent);
    EXPECT_EQ(poll.sent->kind, PollCycle::Send::Poll);
    EXPECT_EQ(poll.sent->frame, c.frame);
    EXPECT_EQ(poll.sent->trace, c.trace);
    ASSERT_TRUE(port->WaitWritten(1));  // a new port per connect
    EXPECT_EQ(port->Written(), std::vector<Bytes>{Bytes(c.frame.begin(), c.frame.end())});
    EXPECT_FALSE(fresh.Tick().sent);
  }
}

TEST_F(ScriptedConnection, TheCommandSlotSendsTheQueuedWriteOnceWithTheAddressStamped) {
  struct Case {
    const char* what;
    std::uint8_t address;
    std::vector<RegisterWrite> queued;
    bool queuedBeforeConnect;
    Frame frame;
    const char* trace;
  };
  const Case cases[] = {
      {"channel 3", 5, {{0x21, 3}}, false, {0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45},
       "<--  0x05 0x06 0x00 0x21 0x00 0x03 0x98 0x45"},
      {"grade 0.5 of channel 1 at 127", 127, {{0x02, 105}}, false,
       {0x7F, 0x06, 0x00, 0x02, 0x00, 0x69, 0xE2, 0x3A}, "<--  0x7F 0x06 0x00 0x02 0x00 0x69 0xE2 0x3A"},
      {"salinity 100.0 at 127", 127, {{0x12, 1000}}, false, {0x7F, 0x06, 0x00, 0x12, 0x03, 0xE8, 0x23, 0x6F},
       "<--  0x7F 0x06 0x00 0x12 0x03 0xE8 0x23 0x6F"},
      {"queued before the connect to address 1", 1, {{0x31, 7}}, true,
       {0x01, 0x06, 0x00, 0x31, 0x00, 0x07, 0x99, 0xC7}, "<--  0x01 0x06 0x00 0x31 0x00 0x07 0x99 0xC7"},
      {"the last of two queued", 5, {{0x21, 3}, {0x21, 4}}, false,
       {0x05, 0x06, 0x00, 0x21, 0x00, 0x04, 0xD9, 0x87}, "<--  0x05 0x06 0x00 0x21 0x00 0x04 0xD9 0x87"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Connection fresh{nullptr, port.Factory()};  // each from the start of its cycle
    if (c.queuedBeforeConnect)
      for (const RegisterWrite& w : c.queued) fresh.QueueCommand(w);
    Connect(fresh, c.address);
    if (!c.queuedBeforeConnect)
      for (const RegisterWrite& w : c.queued) fresh.QueueCommand(w);
    const TickOutcome command = fresh.Tick();
    ASSERT_TRUE(command.sent);
    EXPECT_EQ(command.sent->kind, PollCycle::Send::Command);
    EXPECT_EQ(command.sent->frame, c.frame);
    EXPECT_EQ(command.sent->trace, c.trace);
    ASSERT_TRUE(port->WaitWritten(1));  // a tick later, as on the timer
    const TickOutcome poll = fresh.Tick();
    ASSERT_TRUE(poll.sent);
    EXPECT_EQ(poll.sent->kind, PollCycle::Send::Poll);
    EXPECT_FALSE(fresh.Tick().sent) << "a command goes out once";
    ASSERT_TRUE(port->WaitWritten(2));
    const std::vector<Bytes> written = port->Written();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0], Bytes(c.frame.begin(), c.frame.end()));
    EXPECT_EQ(written[1][0], c.address);
    EXPECT_EQ(written[1][1], 0x03);
  }
}

// ------------------------------------------------------------ the blocking drive

const Frame kPoll5{0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};

Bytes Joined(const std::vector<Bytes>& pieces) {
  Bytes all;
  for (const Bytes& p : pieces) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST_F(ScriptedConnection, PollTakesTheAnswerAndSaysWhatIsWrongWithABadOne) {
  const ExchangeCase cases[] = {
      {"good", {kGoodReply}, 10s, ExchangeStatus::Ok, ReplyProblem::None, 0},
      {"good in pieces", {Prefix(kGoodReply, 1), Bytes(kGoodReply.begin() + 1, kGoodReply.begin() + 51),
                          Bytes(kGoodReply.begin() + 51, kGoodReply.end())},
       10s, ExchangeStatus::Ok, ReplyProblem::None, 0},
      {"bad CRC", {Spoilt({{112, 0x3D}})}, 10s, ExchangeStatus::Invalid, ReplyProblem::BadCrc, 0},
      {"another address", {Spoilt({{0, 0x06}, {111, 0xF6}, {112, 0x66}})}, 10s, ExchangeStatus::Invalid,
       ReplyProblem::WrongAddress, 0},
      {"wrong function", {Spoilt({{1, 0x04}, {111, 0x95}, {112, 0xF8}})}, 10s, ExchangeStatus::Invalid,
       ReplyProblem::WrongFunction, 0},
      {"wrong byte count", {Spoilt({{2, 0x6A}, {111, 0xD4}, {112, 0xCF}})}, 10s, ExchangeStatus::Invalid,
       ReplyProblem::WrongCount, 0},
      {"exception", {{0x05, 0x83, 0x02, 0x81, 0x30}}, 10s, ExchangeStatus::Invalid, ReplyProblem::Exception, 2},
      {"exception in pieces", {{0x05}, {0x83, 0x01}, {0xC1, 0x31}}, 10s, ExchangeStatus::Invalid,
       ReplyProblem::Exception, 1},
      {"exception of another address", {{0x06, 0x83, 0x02, 0x71, 0x30}}, 10s, ExchangeStatus::Invalid,
       ReplyProblem::WrongAddress, 0},
      {"cut short", {Prefix(kGoodReply, 107)}, 300ms, ExchangeStatus::Invalid, ReplyProblem::Short, 0},
      {"silence", {}, 300ms, ExchangeStatus::NoReply, ReplyProblem::None, 0},
  };
  Connect(5);
  double count = 0;
  for (const ExchangeCase& c : cases) {
    SCOPED_TRACE(c.what);
    conn.Cycle().LinkCountdown = 3;
    const PollResult r = Exchange(c, Bytes(kPoll5.begin(), kPoll5.end()), [&](auto t) { return conn.Poll(t); });
    const Bytes answer = Joined(c.pieces);
    EXPECT_EQ(r.received, answer);
    if (c.status == ExchangeStatus::NoReply) {
      EXPECT_EQ(conn.Cycle().LinkCountdown, 3);
      continue;
    }
    if (c.status == ExchangeStatus::Ok) {
      EXPECT_EQ(r.outcome.kind, ReplyKind::Measurement);
      EXPECT_EQ(r.outcome.trace, kGoodTrace);
      ASSERT_TRUE(r.outcome.block);
      EXPECT_DOUBLE_EQ(r.outcome.block->moisture, 12.34);
      EXPECT_EQ(r.outcome.count, ++count);
      EXPECT_EQ(conn.Cycle().LinkCountdown, 10);
    } else {
      EXPECT_EQ(r.outcome.kind, ReplyKind::Rejected);
      // The trace shows what came, not the zeros of a buffer.
      EXPECT_EQ(r.outcome.trace, ReceiveTrace(Prefix(answer, std::min<std::size_t>(answer.size(), 113))));
      EXPECT_FALSE(r.outcome.block);
      EXPECT_EQ(conn.Cycle().LinkCountdown, 3);
    }
  }
}

// An RS-485 adapter that hears itself: the poll comes back before the answer.
TEST_F(ScriptedConnection, PollLooksPastTheEchoOfItsOwnRequest) {
  const Bytes echo(kPoll5.begin(), kPoll5.end());
  Bytes together = echo;
  together.insert(together.end(), kGoodReply.begin(), kGoodReply.end());
  struct Case {
    const char* what;
    std::vector<Bytes> pieces;
    ExchangeStatus status;
    Bytes received;
  };
  const Case cases[] = {
      {"echo, then the answer", {echo, kGoodReply}, ExchangeStatus::Ok, kGoodReply},
      {"echo and answer in one read", {together}, ExchangeStatus::Ok, kGoodReply},
      {"echo split, then the answer", {Prefix(echo, 3), Bytes(echo.begin() + 3, echo.end()), kGoodReply},
       ExchangeStatus::Ok, kGoodReply},
      {"echo only", {echo}, ExchangeStatus::NoReply, {}},
  };
  Connect(5);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    AnswerInPieces(*port, c.pieces);
    const PollResult r = conn.Poll(300ms);
    EXPECT_EQ(r.status, c.status);
    EXPECT_TRUE(r.echoed);
    EXPECT_EQ(r.received, c.received);
  }
}

TEST_F(ScriptedConnection, LeftoversOfEarlierExchangesAreNoPartOfTheAnswer) {
  Connect(5);
  conn.Link().Send(kPoll5, 1);  // an earlier request whose answer came late
  ASSERT_TRUE(port->WaitWritten(1));
  port->Feed(Bytes(60, 0xEE));
  ASSERT_TRUE(port->WaitIdle());
  AnswerInPieces(*port, {kGoodReply});
  const PollResult r = conn.Poll(10s);
  EXPECT_EQ(r.status, ExchangeStatus::Ok);
  EXPECT_EQ(r.received, kGoodReply);
}

TEST_F(ScriptedConnection, WriteWantsTheExactEcho) {
  const Bytes request{0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45};
  const ExchangeCase cases[] = {
      {"echo", {request}, 10s, ExchangeStatus::Ok, ReplyProblem::None, 0},
      {"echo in pieces", {Prefix(request, 3), Bytes(request.begin() + 3, request.end())}, 10s, ExchangeStatus::Ok,
       ReplyProblem::None, 0},
      {"echo and a stray byte", {request, {0x00}}, 10s, ExchangeStatus::Ok, ReplyProblem::None, 0},
      {"exception", {{0x05, 0x86, 0x02, 0x82, 0x60}}, 10s, ExchangeStatus::Invalid, ReplyProblem::Exception, 2},
      {"another value", {{0x05, 0x06, 0x00, 0x21, 0x00, 0x04, 0xD9, 0x87}}, 10s, ExchangeStatus::Invalid,
       ReplyProblem::WrongCount, 0},
      {"another register", {{0x05, 0x06, 0x00, 0x02, 0x00, 0x69, 0xE9, 0xA0}}, 10s, ExchangeStatus::Invalid,
       ReplyProblem::WrongCount, 0},
      {"bad CRC", {{0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x44}}, 10s, ExchangeStatus::Invalid,
       ReplyProblem::BadCrc, 0},
      {"cut short", {Prefix(request, 6)}, 300ms, ExchangeStatus::Invalid, ReplyProblem::Short, 0},
      {"silence", {}, 300ms, ExchangeStatus::NoReply, ReplyProblem::None, 0},
  };
  Connect(5);
  for (const ExchangeCase& c : cases) {
    SCOPED_TRACE(c.what);
    Exchange(c, request, [&](auto t) { return conn.Write({0x21, 3}, t); });
  }
  EXPECT_EQ(ExceptionText(2), "illegal data address");
}

TEST_F(ScriptedConnection, APortLostBeforeOrDuringTheWaitEndsItAtOnce) {
  Connect(5);
  // Hung up while the request waits for its answer.
  port->SetAnswer([](ScriptedPort& p, const Bytes&) { p.HangUp(); });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(conn.Poll(10s).status, ExchangeStatus::PortLost);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(conn.PortLost());
  // Already lost when the request is made.
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(conn.Write({0x21, 3}, 10s).status, ExchangeStatus::PortLost);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST_F(ScriptedConnection, AClosedOrStoppedLinkEndsTheWaitAtOnce) {
  Connect(5);
  conn.Close();
  EXPECT_EQ(conn.Poll(10s).status, ExchangeStatus::PortLost);
  // Opened again but not started: no thread reads or writes, nothing can come.
  ASSERT_EQ(conn.OpenPort("scripted"), OpenError::None);
  const auto start = std::chrono::steady_clock::now();
  const PollResult r = conn.Poll(10s);
  EXPECT_EQ(r.status, ExchangeStatus::NoReply);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "the wait must not spin until its end";
}

// ------------------------------------------------------------ stale replies under the paced drive

TEST_F(ScriptedConnection, AReplyReadBeforeTheNextRequestIsNeverDispatched) {
  Connect(5);
  // Only the first poll is answered (the port copies the answer for each write:
  // the flag lives outside it).
  auto answered = std::make_shared<std::atomic<bool>>(false);
  port->SetAnswer([answered](ScriptedPort& p, const Bytes& frame) {
    if (frame[1] != 0x03 || answered->exchange(true)) return;
    p.Feed(kGoodReply);
    p.WaitIdle();
  });
  EXPECT_FALSE(conn.Tick().sent);
  ASSERT_TRUE(conn.Tick().sent);  // poll
  ASSERT_TRUE(port->WaitAnswered(1));
  ASSERT_EQ(wakes, 1) << "the answer was read";
  // The owner did not get to it before the next two ticks went out.
  conn.QueueCommand({0x21, 3});
  ASSERT_TRUE(conn.Tick().sent);  // command
  ASSERT_TRUE(conn.Tick().sent);  // poll: a measurement is expected again
  EXPECT_TRUE(conn.Dispatch().empty());
  EXPECT_EQ(conn.Cycle().LinkCountdown, 6);
  // The answer to the request in flight is taken.
  port->Feed(kGoodReply);
  ASSERT_TRUE(port->WaitIdle());
  const auto outcomes = conn.Dispatch();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].kind, ReplyKind::Measurement);
  EXPECT_EQ(outcomes[0].count, 1);
  EXPECT_EQ(conn.Cycle().LinkCountdown, 10);
}

// CRC-16 of Modbus, written out here so the labelled replies below do not lean on
// the code under test.
void StampModbusCrc(Bytes& frame) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i + 2 < frame.size(); ++i) {
    crc ^= frame[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
  }
  frame[frame.size() - 2] = static_cast<std::uint8_t>(crc & 0xFF);
  frame[frame.size() - 1] = static_cast<std::uint8_t>(crc >> 8);
}

// The unit answers every request after a random short delay, with a good reply
// whose register 1 tells in which exchange (count of input purges) it arrived;
// the owner ticks and dispatches at random moments. Every reply dispatched must
// have arrived in the exchange still current: one read before a later request
// went out must never be taken as its answer.
TEST_F(ScriptedConnection, UnderRacingThreadsOnlyTheCurrentExchangesReplyIsDispatched) {
  Connect(5);
  const auto labelled = [](std::uint64_t purges) {
    Bytes r = kGoodReply;
    r[5] = static_cast<std::uint8_t>(purges >> 8);
    r[6] = static_cast<std::uint8_t>(purges);
    StampModbusCrc(r);
    return r;
  };
  // Used on the transmit thread only; shared, as the port copies the answer for each write.
  auto unitRng = std::make_shared<std::minstd_rand>(7);
  port->SetAnswer([labelled, unitRng](ScriptedPort& p, const Bytes&) {
    std::this_thread::sleep_for(std::chrono::microseconds((*unitRng)() % 300));
    p.FeedMade(labelled);
  });
  std::minstd_rand rng(11);
  int accepted = 0;
  const auto check = [&](const std::vector<ReplyOutcome>& outcomes) {
    const std::uint64_t current = port->Purges();
    for (const ReplyOutcome& o : outcomes) {
      if (o.kind != ReplyKind::Measurement) continue;
      ++accepted;
      ASSERT_TRUE(o.block);
      EXPECT_EQ(o.block->reg[1], static_cast<std::uint16_t>(current)) << "a reply of an earlier exchange";
    }
  };
  for (int i = 0; i < 1500 && !HasFailure(); ++i) {
    if (!conn.Cycle().CommandPending) conn.QueueCommand({0x21, 3});
    conn.Tick();
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 400));
    if (rng() % 2) check(conn.Dispatch());
  }
  // And the answer to a request left alone is taken.
  if (conn.Cycle().PollPhase == 0) conn.Tick();  // the next tick is a command slot: get past it
  ASSERT_TRUE(conn.Tick().sent);  // poll
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  const int before = accepted;
  while (accepted == before && std::chrono::steady_clock::now() < deadline) {
    conn.Link().WaitForChunk(deadline);
    check(conn.Dispatch());
  }
  EXPECT_EQ(accepted, before + 1);
}

// ------------------------------------------------------------ texts

TEST(OpenErrorText, SaysWhatToDo) {
  struct Case {
    OpenError error;
    const char* text;
  };
  const Case cases[] = {
      {OpenError::None, ""},
      {OpenError::NotFound, "Port COM3 does not exist: check the name and that the adapter is plugged in."},
      {OpenError::NoPermission,
       "No permission to open COM3: add your user to the dialout group (sudo adduser $USER dialout) and log in "
       "again."},
      {OpenError::Busy, "Port COM3 is in use by another program: close it there and try again."},
      {OpenError::NotSerial, "COM3 is not a serial port: name the adapter's device."},
      {OpenError::Other, "Cannot open port COM3: check the name and the adapter."},
  };
  for (const Case& c : cases) EXPECT_EQ(OpenErrorText(c.error, "COM3"), c.text);
}

}  // namespace
}  // namespace tagris
