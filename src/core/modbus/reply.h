#pragma once
// Traffic trace lines and the check of a measurement reply. Pure functions.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "modbus/poll_cycle.h"

namespace tagris {

inline constexpr std::uint8_t kPollReplyByteCount = 0x6C;  // 54 registers

// "<-- " then " 0xHH" per byte: 44 characters for an 8-byte frame.
std::string TransmitTraceLine(const std::uint8_t* frame, std::size_t count);

// "-->" then " 0xHH" for each of the first `expected` bytes, then "<---".
std::string ReceiveTraceLine(std::span<const std::uint8_t> rx, std::size_t expected);

// True when the first 113 of `received` bytes are a complete answer to a poll
// of `address`: address, function 0x03, byte count 0x6C and a matching CRC.
bool IsMeasurementReply(std::span<const std::uint8_t> rx, std::size_t received, std::uint8_t address);

enum class ReplyKind {
  Ignored,      // the last tick was a command slot: not a poll reply
  Rejected,     // a poll reply that fails the check: traced only
  Measurement,  // a good poll reply: watchdog, trace, decode and log
};

ReplyKind ClassifyReply(const PollCycle& poll, std::span<const std::uint8_t> rx, std::size_t received);

}  // namespace tagris
