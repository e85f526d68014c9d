#pragma once
// What is wrong with the line, from the bytes one request brought back.
//
// An exchange is the request and every byte that came while the master listened
// for its answer, each read with its time since the request went out. The bytes
// are read as a sequence: echoes of the request, good answers, and whatever is
// left. One class per exchange, the first that applies of:
//   echo      the request came back (an RS-485 adapter that hears itself), with or
//             without a good answer after it: the echo is what needs fixing first.
//             A write's good answer is itself a copy of the request, so there only
//             two copies make an echo.
//   late      a good answer came after the wait, or an answer to an earlier request
//             spilled into this exchange (two answers, or one that started before
//             this request went out)
//   trailing  a good answer with bytes before or after it that belong to no frame
//   ok        one good answer within the wait, nothing else
//   silence   no byte at all
//   and with no good answer: exception, wrong_address, wrong_function (also a
//   wrong byte count) for a frame whose CRC holds; bad_crc for a whole frame that
//   looks like the answer but fails its CRC; short for the start of one; garbage
//   for bytes that form no frame (a wrong speed looks like that).
// No I/O and no clocks here: the drive that sends and listens passes what it saw.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "modbus/frames.h"

namespace tagris {

enum class LineClass {
  Ok,
  Silence,
  Echo,
  BadCrc,
  WrongAddress,
  Exception,
  WrongFunction,
  Short,
  Trailing,
  Garbage,
  Late,
};
inline constexpr std::size_t kLineClassCount = 11;

// Every class in the order above (the order of the report and of the JSON keys).
const std::array<LineClass, kLineClassCount>& AllLineClasses();
// "ok", "silence", "echo", "bad_crc", "wrong_address", "exception", "wrong_function",
// "short", "trailing", "garbage", "late".
std::string_view LineClassKey(LineClass c);

// One read of the drive: the bytes and when the read ended, counted from the moment
// the request was handed to the link. Bytes read before the request went out (left
// over from the exchange before) carry a negative time.
struct TimedBytes {
  std::vector<std::uint8_t> bytes;
  std::chrono::microseconds at{0};
};

struct ExchangeRecord {
  Request request{};
  std::vector<TimedBytes> reads;  // in the order they were read
  std::chrono::microseconds wait{0};  // how long an answer may take
};

struct ExchangeDiagnosis {
  LineClass cls = LineClass::Silence;
  // A good answer to the request is among the bytes, and when it was whole (the
  // last one, when an earlier answer spilled in before it).
  bool answered = false;
  std::chrono::microseconds answerTime{0};
  std::size_t answerAt = 0;        // where that answer starts in the bytes of all reads
  std::uint8_t exceptionCode = 0;  // Exception
  // The bytes hold a whole frame (or a whole answer after an echo): listening
  // longer can add bytes beyond it, but no answer that would change the class.
  bool whole = false;
};

ExchangeDiagnosis DiagnoseExchange(const ExchangeRecord& record);

// Answer times of the answered exchanges.
struct AnswerTimeStats {
  std::chrono::microseconds min{0};
  std::chrono::microseconds median{0};  // of an even count, the mean of the two middle ones
  std::chrono::microseconds max{0};
};
std::optional<AnswerTimeStats> AnswerTimes(std::vector<std::chrono::microseconds> times);

// The classes of a run of exchanges, counted.
class DiagnosisTally {
 public:
  void Add(const ExchangeDiagnosis& d);

  int Exchanges() const { return exchanges_; }
  int Count(LineClass c) const { return counts_[static_cast<std::size_t>(c)]; }
  // Echoes with a good answer after them.
  int EchoesAnswered() const { return echoesAnswered_; }
  // The exception code seen most often (the lowest of a tie); 0 without exceptions.
  std::uint8_t CommonExceptionCode() const;
  const std::vector<std::chrono::microseconds>& Times() const { return times_; }
  std::optional<AnswerTimeStats> Stats() const { return AnswerTimes(times_); }
  // Good answers right after an exchange that heard nothing, and right after a
  // good one. Answers that always come one poll late (later than the listening
  // lasts) show as silence and good answers taking turns.
  int OkAfterSilence() const { return okAfterSilence_; }
  int OkAfterOk() const { return okAfterOk_; }

 private:
  int exchanges_ = 0;
  std::array<int, kLineClassCount> counts_{};
  int echoesAnswered_ = 0;
  std::array<int, 256> exceptionCodes_{};
  std::vector<std::chrono::microseconds> times_;
  std::optional<LineClass> previous_;
  int okAfterSilence_ = 0;
  int okAfterOk_ = 0;
};

// The most likely cause and what to try, in plain words.
struct LineVerdict {
  LineClass cause = LineClass::Ok;  // Ok when every exchange was
  std::string text;
};
// wait: the one the exchanges were given, named in the advice on late answers.
LineVerdict JudgeLine(const DiagnosisTally& tally, std::chrono::milliseconds wait);

}  // namespace tagris
