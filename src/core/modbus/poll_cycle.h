#pragma once
// The poll cycle: a poll slot (read registers 0..53) alternating with a command
// slot (one pending write-single-register), plus the link watchdog. Plain state;
// the window's Timer1 drives Tick() and carries out what it returns.
#include <cstddef>
#include <cstdint>

#include "modbus/frames.h"

namespace tagris {

inline constexpr std::int32_t kLinkTicks = 10;

struct PollCycle {
  Request PollFrame{0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};
  Request CommandFrame{0x05, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  std::uint8_t PollPhase = 0;  // slot of the next tick: 1 poll, 0 command
  bool CommandPending = false;
  std::int32_t LinkCountdown = kLinkTicks;

  enum class Send { Nothing, Poll, Command };
  struct TickResult {
    bool linkLost = false;  // show the no-link text (else the empty text)
    Send send = Send::Nothing;
    std::size_t expectedReplyLength = 0;  // set before sending, when send != Nothing
    Request frame{};                      // the bytes to send, when send != Nothing
  };

  // One 500 ms tick: watchdog, then the slot.
  TickResult Tick();

  // Connect: the unit address into byte 0 of both slots, CRCs recomputed.
  void StampAddress(std::uint8_t address);

  // A configuration command: bytes 2..5 of CommandFrame, its CRC, and pending.
  void QueueCommand(std::uint16_t reg, std::uint16_t value);

  // True when a reply handed over now answers a poll (the last tick sent PollFrame).
  bool ExpectsMeasurement() const { return PollPhase == 0; }
  // An accepted measurement reply keeps the link alive.
  void ReplyAccepted() { LinkCountdown = kLinkTicks; }
};

}  // namespace tagris
