#include "modbus/frames.h"

#include <algorithm>

#include "modbus/crc.h"

namespace tagris {

Request MakeRequest(std::uint8_t address, std::uint8_t function, std::uint16_t first, std::uint16_t second) {
  Request r{address,
            function,
            static_cast<std::uint8_t>(first >> 8),
            static_cast<std::uint8_t>(first & 0xFF),
            static_cast<std::uint8_t>(second >> 8),
            static_cast<std::uint8_t>(second & 0xFF),
            0,
            0};
  StampCrc(r);
  return r;
}

namespace {

std::uint16_t Field(const Request& r, int at) { return static_cast<std::uint16_t>(r[at] << 8 | r[at + 1]); }

std::size_t GoodLength(const Request& request) {
  return request[1] == kReadHoldingRegisters ? ReadReplyLength(Field(request, 4)) : kRequestLength;
}

}  // namespace

ReplyCheck CheckReply(const Request& request, std::span<const std::uint8_t> rx) {
  ReplyCheck c;
  const bool exception = rx.size() >= 2 && rx[1] == (request[1] | kExceptionFlag);
  c.frameLength = exception ? kExceptionReplyLength : GoodLength(request);
  if (rx.size() < c.frameLength) {
    c.problem = ReplyProblem::Short;
    c.frameLength = rx.size();
    return c;
  }
  const auto frame = rx.first(c.frameLength);
  if (!CrcMatches(frame)) {
    c.problem = ReplyProblem::BadCrc;
  } else if (frame[0] != request[0]) {
    c.problem = ReplyProblem::WrongAddress;
  } else if (exception) {
    c.problem = ReplyProblem::Exception;
    c.exceptionCode = frame[2];
  } else if (frame[1] != request[1]) {
    c.problem = ReplyProblem::WrongFunction;
  } else if (request[1] == kReadHoldingRegisters ? frame[2] != 2 * Field(request, 4)
                                                  : !std::equal(frame.begin(), frame.end(), request.begin())) {
    c.problem = ReplyProblem::WrongCount;
  }
  return c;
}

bool ReplyComplete(const Request& request, std::span<const std::uint8_t> rx) {
  if (rx.size() >= 2 && rx[1] == (request[1] | kExceptionFlag)) return rx.size() >= kExceptionReplyLength;
  return rx.size() >= GoodLength(request);
}

std::string_view ProblemText(ReplyProblem problem) {
  switch (problem) {
    case ReplyProblem::None: return "the reply is good";
    case ReplyProblem::Short: return "the reply is cut short";
    case ReplyProblem::BadCrc: return "the reply's CRC does not match";
    case ReplyProblem::WrongAddress: return "the reply comes from another address";
    case ReplyProblem::Exception: return "the unit answered with an exception";
    case ReplyProblem::WrongFunction: return "the reply has a wrong function code";
    case ReplyProblem::WrongCount: return "the reply does not match the request";
  }
  return "the reply is not valid";
}

std::string_view ExceptionText(std::uint8_t code) {
  switch (code) {
    case 0x01: return "illegal function";
    case 0x02: return "illegal data address";
    case 0x03: return "illegal data value";
    case 0x04: return "server device failure";
    case 0x05: return "acknowledge";
    case 0x06: return "server device busy";
    case 0x08: return "memory parity error";
    case 0x0A: return "gateway path unavailable";
    case 0x0B: return "gateway target device failed to respond";
  }
  return "unknown exception code";
}

}  // namespace tagris
