#include "modbus/poll_cycle.h"

#include "modbus/crc.h"

namespace tagris {

PollCycle::TickResult PollCycle::Tick() {
  TickResult r;
  if (LinkCountdown != 0) {
    --LinkCountdown;
  } else {
    r.linkLost = true;
  }
  if (PollPhase != 0) {
    PollPhase = 0;
    r.send = Send::Poll;
    r.expectedReplyLength = kPollReplyLength;
    r.frame = PollFrame;
  } else {
    PollPhase = 1;
    if (CommandPending) {
      CommandPending = false;
      r.send = Send::Command;
      r.expectedReplyLength = kCommandReplyLength;
      r.frame = CommandFrame;
    }
  }
  return r;
}

void PollCycle::StampAddress(std::uint8_t address) {
  PollFrame[0] = address;
  CommandFrame[0] = address;
  StampCrc(PollFrame);
  StampCrc(CommandFrame);
}

void PollCycle::QueueCommand(std::uint16_t reg, std::uint16_t value) {
  CommandFrame[2] = static_cast<std::uint8_t>(reg >> 8);
  CommandFrame[3] = static_cast<std::uint8_t>(reg & 0xFF);
  CommandFrame[4] = static_cast<std::uint8_t>(value >> 8);
  CommandFrame[5] = static_cast<std::uint8_t>(value & 0xFF);
  StampCrc(CommandFrame);
  CommandPending = true;
}

}  // namespace tagris
