#include "modbus/reply.h"

#include "common/numfmt.h"
#include "modbus/crc.h"

namespace tagris {

std::string TransmitTraceLine(const std::uint8_t* frame, std::size_t count) {
  std::string line = "<-- ";
  line.reserve(4 + 5 * count);
  AppendHexBytes(line, frame, count);
  return line;
}

std::string ReceiveTraceLine(std::span<const std::uint8_t> rx, std::size_t expected) {
  if (expected > rx.size()) expected = rx.size();
  std::string line = "-->";
  line.reserve(3 + 5 * expected + 4);
  AppendHexBytes(line, rx.data(), expected);
  line += "<---";
  return line;
}

bool IsMeasurementReply(std::span<const std::uint8_t> rx, std::size_t received, std::uint8_t address) {
  if (received < kPollReplyLength || rx.size() < kPollReplyLength) return false;
  const auto reply = rx.first(kPollReplyLength);
  return reply[0] == address && reply[1] == kReadHoldingRegisters && reply[2] == kPollReplyByteCount &&
         CrcMatches(reply);
}

ReplyKind ClassifyReply(const PollCycle& poll, std::span<const std::uint8_t> rx, std::size_t received) {
  if (!poll.ExpectsMeasurement()) return ReplyKind::Ignored;
  return IsMeasurementReply(rx, received, poll.PollFrame[0]) ? ReplyKind::Measurement : ReplyKind::Rejected;
}

}  // namespace tagris
