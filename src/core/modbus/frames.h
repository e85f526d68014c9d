#pragma once
// Modbus RTU frames of this unit as values, with their lengths named, and the
// check of an answer that says what is wrong with it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tagris {

// Every request is 8 bytes: address, function, two 16-bit fields, CRC.
inline constexpr std::size_t kRequestLength = 8;
// Answer to the poll of registers 0..53: address, function, byte count 108, data, CRC.
inline constexpr std::size_t kPollReplyLength = 113;
// A write's answer is 8 bytes (or 5 for an exception), so the window, which waits
// for 105 after a command, never hands it over: a command's effect shows in the
// polls that follow, and the next poll slot purges the answer unread.
inline constexpr std::size_t kCommandReplyLength = 105;
// What the receive thread waits for between a connect and the first request.
inline constexpr std::size_t kConnectReplyLength = 107;
// An exception answer: address, function | 0x80, code, CRC.
inline constexpr std::size_t kExceptionReplyLength = 5;

inline constexpr std::uint8_t kReadHoldingRegisters = 0x03;
inline constexpr std::uint8_t kWriteSingleRegister = 0x06;
inline constexpr std::uint8_t kExceptionFlag = 0x80;
inline constexpr std::uint16_t kPolledRegisterCount = 54;

using Request = std::array<std::uint8_t, kRequestLength>;

// address, function, two big-endian fields, CRC low byte first.
Request MakeRequest(std::uint8_t address, std::uint8_t function, std::uint16_t first, std::uint16_t second);
inline Request ReadRequest(std::uint8_t address, std::uint16_t start, std::uint16_t count) {
  return MakeRequest(address, kReadHoldingRegisters, start, count);
}
inline Request WriteRequest(std::uint8_t address, std::uint16_t reg, std::uint16_t value) {
  return MakeRequest(address, kWriteSingleRegister, reg, value);
}

// Length of a good answer of read of `count` registers: 5 + 2 * count.
constexpr std::size_t ReadReplyLength(std::uint16_t count) { return 5 + 2 * static_cast<std::size_t>(count); }

enum class ReplyProblem {
  None,
  Short,          // fewer bytes than the answer needs
  BadCrc,         // the CRC does not match (checked first: nothing else can be trusted)
  WrongAddress,   // another slave answered
  Exception,      // the unit refused the request (exception code in the check)
  WrongFunction,  // a function code that answers something else
  WrongCount,     // the byte count (read) or the echo (write) does not match the request
};

struct ReplyCheck {
  ReplyProblem problem = ReplyProblem::None;
  std::uint8_t exceptionCode = 0;  // when problem is Exception
  std::size_t frameLength = 0;     // bytes of the answer frame (trailing bytes excluded)
  bool ok() const { return problem == ReplyProblem::None; }
};

// Checks `rx` (the bytes as received, from the first on) as the answer to request:
// a read answer must carry the requested count, a write answer must echo the request.
ReplyCheck CheckReply(const Request& request, std::span<const std::uint8_t> rx);

// True when rx already holds a whole answer to request (good, exception or a full
// length of something else), so waiting longer cannot change the verdict.
bool ReplyComplete(const Request& request, std::span<const std::uint8_t> rx);

// Plain words for a problem, e.g. "the reply's CRC does not match".
std::string_view ProblemText(ReplyProblem problem);
// The standard meaning of an exception code, e.g. "illegal data address".
std::string_view ExceptionText(std::uint8_t code);

}  // namespace tagris
