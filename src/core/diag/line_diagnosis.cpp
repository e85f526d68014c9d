#include "diag/line_diagnosis.h"

#include <algorithm>

#include "modbus/crc.h"

namespace tagris {

namespace {

using std::chrono::microseconds;

constexpr std::array<LineClass, kLineClassCount> kAll = {
    LineClass::Ok,        LineClass::Silence,       LineClass::Echo,  LineClass::BadCrc,
    LineClass::WrongAddress, LineClass::Exception,  LineClass::WrongFunction, LineClass::Short,
    LineClass::Trailing,  LineClass::Garbage,       LineClass::Late,
};

// Which problem to name when two were seen equally often: the one that explains
// the others best comes first (an echo spoils every answer behind it, a wrong
// speed makes bad CRCs and short frames too), silence, the least telling, last.
constexpr std::array<LineClass, kLineClassCount - 1> kCausePriority = {
    LineClass::Echo,          LineClass::Garbage, LineClass::BadCrc, LineClass::WrongAddress, LineClass::Exception,
    LineClass::WrongFunction, LineClass::Short,   LineClass::Late,   LineClass::Trailing,     LineClass::Silence,
};

std::size_t Index(LineClass c) { return static_cast<std::size_t>(c); }

// Length of a good answer to the request (a write's answer is its echo).
std::size_t GoodLength(const Request& r) {
  return r[1] == kReadHoldingRegisters ? ReadReplyLength(static_cast<std::uint16_t>(r[4] << 8 | r[5]))
                                       : kRequestLength;
}

// The third byte a good answer carries: a read's byte count, else the echoed field.
std::uint8_t GoodThirdByte(const Request& r) {
  return r[1] == kReadHoldingRegisters ? static_cast<std::uint8_t>(GoodLength(r) - 5) : r[2];
}

bool StartsWithRequest(std::span<const std::uint8_t> bytes, const Request& r) {
  return bytes.size() >= r.size() && std::equal(r.begin(), r.end(), bytes.begin());
}

// The length of the good answer at the start of bytes, or 0.
std::size_t GoodAnswerAt(std::span<const std::uint8_t> bytes, const Request& r) {
  const ReplyCheck c = CheckReply(r, bytes);
  return c.ok() ? c.frameLength : 0;
}

struct Faulty {
  LineClass cls = LineClass::Garbage;
  std::uint8_t exceptionCode = 0;
  bool whole = false;
};

// What bytes that start with no good answer are.
Faulty ClassifyFaulty(std::span<const std::uint8_t> rx, const Request& r) {
  const std::uint8_t address = r[0];
  const std::uint8_t function = r[1];
  const bool exceptionFlag = rx.size() >= 2 && rx[1] == (function | kExceptionFlag);

  // A frame whose CRC holds: tried only at the lengths an answer could have, so
  // that random bytes do not pass for one (any length would match by chance).
  std::array<std::size_t, 3> lengths = {GoodLength(r), 0, 0};
  if (exceptionFlag) lengths[1] = kExceptionReplyLength;
  if (rx.size() >= 3 && (rx[1] & 0x7F) == kReadHoldingRegisters) lengths[2] = 5 + std::size_t{rx[2]};
  for (std::size_t length : lengths) {
    if (length < 4 || length > rx.size() || !CrcMatches(rx.first(length))) continue;
    const auto frame = rx.first(length);
    if (frame[0] != address) return {LineClass::WrongAddress, 0, true};
    if (exceptionFlag && length == kExceptionReplyLength) return {LineClass::Exception, frame[2], true};
    return {LineClass::WrongFunction, 0, true};  // another function, or a byte count that does not fit
  }

  // No CRC holds: an answer spoilt on the way still shows most of its head.
  int head = 0;
  if (!rx.empty() && rx[0] == address) ++head;
  if (rx.size() >= 2 && (rx[1] == function || exceptionFlag)) ++head;
  if (rx.size() >= 3 && !exceptionFlag && rx[2] == GoodThirdByte(r)) ++head;
  if (head >= 2) {
    const std::size_t need = exceptionFlag ? kExceptionReplyLength : GoodLength(r);
    if (rx.size() >= need) return {LineClass::BadCrc, 0, true};
    return {LineClass::Short, 0, false};
  }
  return {LineClass::Garbage, 0, false};
}

std::string Share(int count, int total) { return std::to_string(count) + " of " + std::to_string(total); }

std::string Ms(microseconds t) {
  const long long tenths = (t.count() + 50) / 100;
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " ms";
}

std::string ExceptionAdvice(std::uint8_t code) {
  switch (code) {
    case 0x01:
      return "the device at this address does not know the read it was sent, so it is not this kind of unit; "
             "check the address (tagris-cli scan --all lists the units on the line).";
    case 0x02:
      return "the device at this address has no registers 0..53, so it is probably not this kind of unit; "
             "check the address (tagris-cli scan --all lists the units on the line).";
    case 0x03:
      return "the device at this address refuses to read 54 registers at once, so it is probably not this kind "
             "of unit; check the address (tagris-cli scan --all lists the units on the line).";
    case 0x04:
      return "the unit understood the poll but could not carry it out; switch it off and on again, and if that "
             "does not help, it needs service.";
    case 0x06:
      return "the unit is busy with something else; wait until it is done, then try again.";
  }
  return "the unit refuses the poll; check the address and the unit's state.";
}

}  // namespace

const std::array<LineClass, kLineClassCount>& AllLineClasses() { return kAll; }

std::string_view LineClassKey(LineClass c) {
  switch (c) {
    case LineClass::Ok: return "ok";
    case LineClass::Silence: return "silence";
    case LineClass::Echo: return "echo";
    case LineClass::BadCrc: return "bad_crc";
    case LineClass::WrongAddress: return "wrong_address";
    case LineClass::Exception: return "exception";
    case LineClass::WrongFunction: return "wrong_function";
    case LineClass::Short: return "short";
    case LineClass::Trailing: return "trailing";
    case LineClass::Garbage: return "garbage";
    case LineClass::Late: return "late";
  }
  return "ok";
}

ExchangeDiagnosis DiagnoseExchange(const ExchangeRecord& record) {
  const Request& r = record.request;
  std::vector<std::uint8_t> all;
  std::vector<microseconds> readAt;  // per byte: when its read ended
  for (const TimedBytes& read : record.reads) {
    all.insert(all.end(), read.bytes.begin(), read.bytes.end());
    readAt.insert(readAt.end(), read.bytes.size(), read.at);
  }
  ExchangeDiagnosis d;
  if (all.empty()) return d;  // silence

  const std::span<const std::uint8_t> bytes(all);
  struct Span {
    std::size_t begin, end;
  };
  std::vector<Span> answers;
  bool echo = false;
  bool junk = false;  // bytes that belong to no frame, between or before answers
  std::size_t p = 0;
  // A write's good answer is a copy of the request: only a second copy after it
  // shows that the first was an echo.
  const bool answerIsCopy = r[1] != kReadHoldingRegisters;
  while (p < bytes.size()) {
    const auto rest = bytes.subspan(p);
    if (StartsWithRequest(rest, r) && (!answerIsCopy || StartsWithRequest(rest.subspan(r.size()), r))) {
      echo = true;
      p += r.size();
      continue;
    }
    if (const std::size_t n = GoodAnswerAt(rest, r)) {
      answers.push_back({p, p + n});
      p += n;
      continue;
    }
    // A good answer further on makes what lies before it noise.
    std::size_t next = p + 1;
    while (next < bytes.size() && !GoodAnswerAt(bytes.subspan(next), r)) ++next;
    if (next == bytes.size()) break;
    junk = true;
    p = next;
  }
  const auto remainder = bytes.subspan(p);

  if (answers.empty()) {
    if (remainder.empty()) {  // only echoes: an answer may still come behind them
      d.cls = LineClass::Echo;
      return d;
    }
    const Faulty f = ClassifyFaulty(remainder, r);
    d.cls = echo ? LineClass::Echo : f.cls;
    d.exceptionCode = f.exceptionCode;
    d.whole = f.whole;
    return d;
  }

  d.whole = true;
  // An answer that started before this request went out, or any but the last of
  // several, answers an earlier request.
  const Span own = answers.back();
  const bool ownIsOurs = readAt[own.begin].count() >= 0;
  const bool spilled = answers.size() >= 2 || !ownIsOurs;
  if (ownIsOurs) {
    d.answered = true;
    d.answerTime = readAt[own.end - 1];
    d.answerAt = own.begin;
  }
  const bool late = spilled || (d.answered && d.answerTime > record.wait);
  if (echo) d.cls = LineClass::Echo;
  else if (late) d.cls = LineClass::Late;
  else if (junk || !remainder.empty()) d.cls = LineClass::Trailing;
  else d.cls = LineClass::Ok;
  return d;
}

std::optional<AnswerTimeStats> AnswerTimes(std::vector<microseconds> times) {
  if (times.empty()) return std::nullopt;
  std::sort(times.begin(), times.end());
  const std::size_t n = times.size();
  AnswerTimeStats s;
  s.min = times.front();
  s.max = times.back();
  s.median = n % 2 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
  return s;
}

void DiagnosisTally::Add(const ExchangeDiagnosis& d) {
  ++exchanges_;
  ++counts_[Index(d.cls)];
  if (d.cls == LineClass::Echo && d.answered) ++echoesAnswered_;
  if (d.cls == LineClass::Exception) ++exceptionCodes_[d.exceptionCode];
  if (d.answered) times_.push_back(d.answerTime);
  if (d.cls == LineClass::Ok && previous_ == LineClass::Silence) ++okAfterSilence_;
  if (d.cls == LineClass::Ok && previous_ == LineClass::Ok) ++okAfterOk_;
  previous_ = d.cls;
}

std::uint8_t DiagnosisTally::CommonExceptionCode() const {
  const auto it = std::max_element(exceptionCodes_.begin(), exceptionCodes_.end());
  return *it == 0 ? 0 : static_cast<std::uint8_t>(it - exceptionCodes_.begin());
}

LineVerdict JudgeLine(const DiagnosisTally& tally, std::chrono::milliseconds wait) {
  LineVerdict v;
  const int total = tally.Exchanges();
  if (total == 0) {
    v.text = "No exchange was made.";
    return v;
  }
  int most = 0;
  for (LineClass c : kCausePriority) {
    if (tally.Count(c) > most) {
      most = tally.Count(c);
      v.cause = c;
    }
  }
  if (most == 0) {
    v.text = "Every exchange was answered correctly: the line and its settings are fine.";
    return v;
  }
  // Silence and good answers taking turns, never two good ones in a row: each
  // answer is the one the poll before waited for in vain.
  if (v.cause == LineClass::Silence && tally.OkAfterSilence() >= 2 && tally.OkAfterOk() == 0 &&
      tally.Count(LineClass::Silence) + tally.Count(LineClass::Ok) == total) {
    v.cause = LineClass::Late;
    v.text = "Every answer comes one poll late (" + Share(tally.Count(LineClass::Silence), total) +
             " polls heard nothing, the one after each got an answer): the unit answers later than twice the wait "
             "of " + std::to_string(wait.count()) + " ms; raise --timeout well above that and run diag again.";
    return v;
  }
  const bool all = most == total;
  const std::string share = Share(most, total);
  const auto stats = tally.Stats();
  switch (v.cause) {
    case LineClass::Silence:
      v.text = all ? "No answer at all: check the unit's power, the A/B wires (swap them if unsure), the address "
                     "and the speed; tagris-cli scan finds the unit."
                   : "Some requests got no answer (" + share +
                         "): a loose contact, noise, or another master on the line; check the wiring and the "
                         "termination, and that no other program polls the unit.";
      break;
    case LineClass::Echo:
      if (2 * tally.EchoesAnswered() >= most)
        v.text = std::string(all ? "Every request comes back" : "Requests come back (" + share + ")") +
                 " as an echo before the answer: the adapter hears what it sends, and a master takes the echo "
                 "for the start of the answer; switch the adapter's echo off (receiver disabled while sending) "
                 "or use an adapter with automatic direction control.";
      else
        v.text = std::string(all ? "Every request comes back" : "Requests come back (" + share + ")") +
                 " as an echo and no answer follows: the adapter hears itself but the unit does not answer; "
                 "switch the adapter's echo off, then check the A/B wires, the address and the speed "
                 "(tagris-cli scan finds the unit).";
      break;
    case LineClass::BadCrc:
      v.text = "Answers arrive with a bad CRC (" + share +
               "): the parity or stop bits differ from the unit's, or the line needs termination (120 ohm at "
               "each end) and a twisted, shielded pair; check --parity and --stop, then the wiring.";
      break;
    case LineClass::WrongAddress:
      v.text = "Answers come from another address (" + share +
               "): a second device answers in this unit's place, or a gateway rewrites addresses; check the "
               "addresses on the line (tagris-cli scan --all lists every unit).";
      break;
    case LineClass::Exception: {
      const std::uint8_t code = tally.CommonExceptionCode();
      v.text = "The unit answers with exception " + std::to_string(code) + " (" + std::string(ExceptionText(code)) +
               ", " + share + "): " + ExceptionAdvice(code);
      break;
    }
    case LineClass::WrongFunction:
      v.text = "Answers carry another function code or byte count (" + share +
               "): a different kind of device answers at this address, or a gateway in between garbles the "
               "frames; check the address and what else is on the line.";
      break;
    case LineClass::Short:
      v.text = "Answers are cut short (" + share +
               "): bytes are lost on the way, to noise, a missing termination or an adapter that drops them; "
               "check the termination and the ground wire, or try a lower speed.";
      break;
    case LineClass::Trailing:
      v.text = "Answers come with extra bytes around the frame (" + share +
               "): noise when the line changes direction, missing bias resistors, or another device talking; "
               "check the termination and the bias resistors.";
      break;
    case LineClass::Garbage:
      v.text = "Bytes arrive that form no frame (" + share +
               "): the speed is most likely wrong (or the parity or stop bits); tagris-cli scan finds the unit's "
               "settings.";
      break;
    case LineClass::Late:
      v.text = "Answers arrive after the wait of " + std::to_string(wait.count()) + " ms or spill into the next "
               "exchange (" + share + ")";
      if (stats) v.text += "; the slowest took " + Ms(stats->max);
      v.text += ": the unit or a converter on the way is slow; raise --timeout";
      if (stats) v.text += " above " + Ms(stats->max);
      v.text += ".";
      if (stats && stats->max > std::chrono::milliseconds(500))
        v.text += " The window polls every 500 ms and cannot use answers slower than that.";
      break;
    case LineClass::Ok: break;
  }
  return v;
}

}  // namespace tagris
