// The line diagnosis as tables: bytes of one exchange in, its class out; counts
// in, cause and advice out.
#include "diag/line_diagnosis.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "modbus/crc.h"
#include "modbus/frames.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::microseconds;
using tagris::LineClass;
using Bytes = std::vector<std::uint8_t>;

const tagris::Request kPoll = tagris::ReadRequest(5, 0, 54);

// The poll request as it goes on the line, checked against a known CRC.
TEST(DiagClassify, PollRequestIsTheWindowsFrame) {
  EXPECT_EQ(Bytes(kPoll.begin(), kPoll.end()), (Bytes{0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58}));
}

Bytes Stamped(Bytes b) {
  tagris::StampCrc(b);
  return b;
}

// A good answer to the poll: 108 data bytes counting up.
Bytes Answer(std::uint8_t address = 5) {
  Bytes b = {address, 0x03, 108};
  for (int i = 0; i < 108; ++i) b.push_back(static_cast<std::uint8_t>(i * 7));
  b.resize(113);
  return Stamped(b);
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Bytes Request(const tagris::Request& r) { return Bytes(r.begin(), r.end()); }

Bytes With(Bytes b, std::size_t at, std::uint8_t value, bool restamp) {
  b[at] = value;
  return restamp ? Stamped(b) : b;
}

Bytes First(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

// Bytes in which no run at any length an answer could have ends in its CRC.
Bytes Noise(std::size_t n) {
  Bytes b;
  for (std::size_t i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(0x91 + 37 * i));
  return b;
}

struct Case {
  const char* name;
  tagris::Request request;
  std::vector<tagris::TimedBytes> reads;
  LineClass cls;
  bool answered;
  microseconds answerTime;  // when answered
  bool whole;
  std::uint8_t exceptionCode = 0;
};

TEST(DiagClassify, ExchangeTable) {
  const Bytes answer = Answer();
  const Bytes exception = Stamped({5, 0x83, 2, 0, 0});
  const tagris::Request write = tagris::WriteRequest(5, 33, 3);
  const std::vector<Case> cases = {
      {"nothing came", kPoll, {}, LineClass::Silence, false, 0us, false},
      {"one good answer", kPoll, {{answer, 14ms}}, LineClass::Ok, true, 14ms, true},
      {"an answer in pieces is whole with its last piece", kPoll,
       {{First(answer, 40), 5ms}, {Bytes(answer.begin() + 40, answer.end()), 9ms}}, LineClass::Ok, true, 9ms, true},
      {"echo, then the answer", kPoll, {{Request(kPoll), 1ms}, {answer, 20ms}}, LineClass::Echo, true, 20ms, true},
      {"echo and answer in one read", kPoll, {{Join({Request(kPoll), answer}), 20ms}}, LineClass::Echo, true, 20ms,
       true},
      {"echo alone: an answer may still come", kPoll, {{Request(kPoll), 1ms}}, LineClass::Echo, false, 0us, false},
      {"echo, then garbage", kPoll, {{Join({Request(kPoll), Noise(30)}), 3ms}}, LineClass::Echo, false, 0us, false},
      {"CRC spoilt", kPoll, {{With(answer, 111, answer[111] ^ 0xFF, false), 10ms}}, LineClass::BadCrc, false, 0us,
       true},
      {"a data byte spoilt", kPoll, {{With(answer, 50, answer[50] ^ 0x10, false), 10ms}}, LineClass::BadCrc, false,
       0us, true},
      {"another address, good CRC", kPoll, {{Answer(6), 10ms}}, LineClass::WrongAddress, false, 0us, true},
      {"exception", kPoll, {{exception, 3ms}}, LineClass::Exception, false, 0us, true, 2},
      {"exception from another address", kPoll, {{Stamped({6, 0x83, 2, 0, 0}), 3ms}}, LineClass::WrongAddress,
       false, 0us, true},
      {"exception with a bad CRC", kPoll, {{With(exception, 4, exception[4] ^ 1, false), 3ms}}, LineClass::BadCrc,
       false, 0us, true},
      {"exception cut short", kPoll, {{First(exception, 3), 3ms}}, LineClass::Short, false, 0us, false},
      {"another function, good CRC", kPoll, {{With(answer, 1, 0x04, true), 10ms}}, LineClass::WrongFunction, false,
       0us, true},
      {"byte count off, good CRC", kPoll, {{With(answer, 2, 110, true), 10ms}}, LineClass::WrongFunction, false, 0us,
       true},
      {"a read answer of another length", kPoll, {{Stamped({5, 0x03, 2, 0x12, 0x34, 0, 0}), 4ms}},
       LineClass::WrongFunction, false, 0us, true},
      {"cut after 40 bytes", kPoll, {{First(answer, 40), 10ms}}, LineClass::Short, false, 0us, false},
      {"address and function only", kPoll, {{First(answer, 2), 10ms}}, LineClass::Short, false, 0us, false},
      {"one byte is no frame", kPoll, {{First(answer, 1), 10ms}}, LineClass::Garbage, false, 0us, false},
      {"bytes beyond the frame", kPoll, {{Join({answer, {0x11, 0x22, 0x33}}), 12ms}}, LineClass::Trailing, true,
       12ms, true},
      {"noise before the frame", kPoll, {{Noise(3), 1ms}, {answer, 12ms}}, LineClass::Trailing, true, 12ms, true},
      {"noise", kPoll, {{Noise(60), 8ms}}, LineClass::Garbage, false, 0us, false},
      {"much noise", kPoll, {{Noise(200), 8ms}}, LineClass::Garbage, false, 0us, false},
      {"answer after the wait", kPoll, {{answer, 1200ms}}, LineClass::Late, true, 1200ms, true},
      {"answer exactly at the wait", kPoll, {{answer, 1000ms}}, LineClass::Ok, true, 1000ms, true},
      {"the last request's answer, then ours", kPoll, {{answer, 2ms}, {answer, 30ms}}, LineClass::Late, true, 30ms,
       true},
      {"read before the request went out", kPoll, {{answer, -3ms}}, LineClass::Late, false, 0us, true},
      {"left over, then ours", kPoll, {{answer, -3ms}, {answer, 8ms}}, LineClass::Late, true, 8ms, true},
      {"echo beats late", kPoll, {{Request(kPoll), 1ms}, {answer, 1500ms}}, LineClass::Echo, true, 1500ms, true},
      {"write: the echo is its answer", write, {{Request(write), 6ms}}, LineClass::Ok, true, 6ms, true},
      {"write: two copies are echo and answer", write, {{Request(write), 1ms}, {Request(write), 6ms}},
       LineClass::Echo, true, 6ms, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const tagris::ExchangeDiagnosis d = tagris::DiagnoseExchange({c.request, c.reads, 1000ms});
    EXPECT_EQ(tagris::LineClassKey(d.cls), tagris::LineClassKey(c.cls));
    EXPECT_EQ(d.answered, c.answered);
    if (c.answered) {
      EXPECT_EQ(d.answerTime, c.answerTime);
    }
    EXPECT_EQ(d.whole, c.whole);
    EXPECT_EQ(d.exceptionCode, c.exceptionCode);
  }
}

// Where the answer starts, for a caller that reads values out of it.
TEST(DiagClassify, AnswerStartsAfterWhatCameBefore) {
  const Bytes answer = Answer();
  const struct {
    const char* name;
    std::vector<tagris::TimedBytes> reads;
    std::size_t at;
  } cases[] = {
      {"alone", {{answer, 5ms}}, 0},
      {"after the echo", {{Join({Request(kPoll), answer}), 5ms}}, 8},
      {"after noise", {{Join({Noise(3), answer}), 5ms}}, 3},
      {"after the answer of the request before", {{answer, -2ms}, {answer, 5ms}}, 113},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto d = tagris::DiagnoseExchange({kPoll, c.reads, 1000ms});
    ASSERT_TRUE(d.answered);
    EXPECT_EQ(d.answerAt, c.at);
  }
}

TEST(DiagClassify, KeysInReportOrder) {
  std::string keys;
  for (LineClass c : tagris::AllLineClasses()) keys += std::string(tagris::LineClassKey(c)) + " ";
  EXPECT_EQ(keys, "ok silence echo bad_crc wrong_address exception wrong_function short trailing garbage late ");
}

TEST(DiagClassify, AnswerTimes) {
  EXPECT_FALSE(tagris::AnswerTimes({}).has_value());
  const auto odd = tagris::AnswerTimes({30ms, 10ms, 20ms});
  ASSERT_TRUE(odd);
  EXPECT_EQ(odd->min, 10ms);
  EXPECT_EQ(odd->median, 20ms);
  EXPECT_EQ(odd->max, 30ms);
  const auto even = tagris::AnswerTimes({40ms, 10ms, 20ms, 31ms});
  ASSERT_TRUE(even);
  EXPECT_EQ(even->median, 25500us);
}

tagris::ExchangeDiagnosis Diagnosis(LineClass cls, bool answered = false, microseconds at = 0us,
                                    std::uint8_t code = 0) {
  tagris::ExchangeDiagnosis d;
  d.cls = cls;
  d.answered = answered;
  d.answerTime = at;
  d.exceptionCode = code;
  return d;
}

struct VerdictCase {
  const char* name;
  std::vector<tagris::ExchangeDiagnosis> exchanges;
  LineClass cause;
  const char* says;  // a part of the sentence that carries the advice
};

TEST(DiagClassify, VerdictTable) {
  using D = std::vector<tagris::ExchangeDiagnosis>;
  const auto ok = Diagnosis(LineClass::Ok, true, 12ms);
  const auto silence = Diagnosis(LineClass::Silence);
  const std::vector<VerdictCase> cases = {
      {"nothing polled", D{}, LineClass::Ok, "No exchange"},
      {"all good", D{ok, ok, ok}, LineClass::Ok, "answered correctly"},
      {"all silent", D{silence, silence}, LineClass::Silence, "No answer at all: check the unit's power"},
      {"some silent", D{ok, ok, silence}, LineClass::Silence, "Some requests got no answer (1 of 3)"},
      {"echo with answers", D{Diagnosis(LineClass::Echo, true, 9ms), Diagnosis(LineClass::Echo, true, 9ms)},
       LineClass::Echo, "Every request comes back as an echo before the answer"},
      {"echo alone", D{Diagnosis(LineClass::Echo), Diagnosis(LineClass::Echo), ok}, LineClass::Echo,
       "as an echo and no answer follows"},
      {"bad CRC", D{Diagnosis(LineClass::BadCrc), ok}, LineClass::BadCrc, "parity or stop bits differ"},
      {"wrong address", D{Diagnosis(LineClass::WrongAddress)}, LineClass::WrongAddress, "scan --all"},
      {"exception 2", D{Diagnosis(LineClass::Exception, false, 0us, 2), Diagnosis(LineClass::Exception, false, 0us, 2),
                        Diagnosis(LineClass::Exception, false, 0us, 4)},
       LineClass::Exception, "exception 2 (illegal data address, 3 of 3): the device at this address has no registers"},
      {"exception 4", D{Diagnosis(LineClass::Exception, false, 0us, 4)}, LineClass::Exception,
       "switch it off and on"},
      {"wrong function", D{Diagnosis(LineClass::WrongFunction)}, LineClass::WrongFunction, "function code or byte"},
      {"short", D{Diagnosis(LineClass::Short)}, LineClass::Short, "cut short"},
      {"trailing", D{Diagnosis(LineClass::Trailing, true, 5ms)}, LineClass::Trailing, "extra bytes"},
      {"garbage", D{Diagnosis(LineClass::Garbage)}, LineClass::Garbage, "speed is most likely wrong"},
      {"late", D{Diagnosis(LineClass::Late, true, 1234ms), ok}, LineClass::Late,
       "the slowest took 1234.0 ms: the unit or a converter on the way is slow; raise --timeout above 1234.0 ms. "
       "The window polls every 500 ms"},
      {"late, spilled only", D{Diagnosis(LineClass::Late)}, LineClass::Late, "slow; raise --timeout."},
      {"the most frequent problem is the cause", D{silence, Diagnosis(LineClass::Garbage),
                                                   Diagnosis(LineClass::Garbage)},
       LineClass::Garbage, "(2 of 3)"},
      {"a tie goes to the more telling problem", D{silence, Diagnosis(LineClass::Garbage), ok, ok},
       LineClass::Garbage, "(1 of 4)"},
      {"answers one poll late", D{silence, ok, silence, ok, silence, ok}, LineClass::Late,
       "comes one poll late (3 of 6 polls heard nothing"},
      {"two good answers in a row: silence is silence", D{silence, ok, ok, silence, ok}, LineClass::Silence,
       "Some requests got no answer (2 of 5)"},
      {"echo explains the rest", D{Diagnosis(LineClass::BadCrc), Diagnosis(LineClass::Echo, true, 3ms)},
       LineClass::Echo, "Requests come back (1 of 2)"},
  };
  for (const VerdictCase& c : cases) {
    SCOPED_TRACE(c.name);
    tagris::DiagnosisTally tally;
    for (const auto& d : c.exchanges) tally.Add(d);
    const tagris::LineVerdict v = tagris::JudgeLine(tally, 1000ms);
    EXPECT_EQ(tagris::LineClassKey(v.cause), tagris::LineClassKey(c.cause));
    EXPECT_NE(v.text.find(c.says), std::string::npos) << v.text;
  }
}

TEST(DiagClassify, TallyCountsClassesAndAnswerTimes) {
  tagris::DiagnosisTally tally;
  tally.Add(Diagnosis(LineClass::Ok, true, 10ms));
  tally.Add(Diagnosis(LineClass::Echo, true, 30ms));
  tally.Add(Diagnosis(LineClass::Echo));
  tally.Add(Diagnosis(LineClass::Exception, false, 0us, 6));
  tally.Add(Diagnosis(LineClass::Late, true, 20ms));
  EXPECT_EQ(tally.Exchanges(), 5);
  EXPECT_EQ(tally.Count(LineClass::Echo), 2);
  EXPECT_EQ(tally.EchoesAnswered(), 1);
  EXPECT_EQ(tally.CommonExceptionCode(), 6);
  const auto stats = tally.Stats();
  ASSERT_TRUE(stats);
  EXPECT_EQ(stats->min, 10ms);
  EXPECT_EQ(stats->median, 20ms);
  EXPECT_EQ(stats->max, 30ms);
}

}  // namespace
