#include "modbus/crc.h"

namespace tagris {

namespace {

std::uint16_t Step(std::uint16_t crc, std::uint32_t v) {
  for (int bit = 0; bit < 8; ++bit) {
    if ((v ^ crc) & 1u)
      crc = static_cast<std::uint16_t>((crc >> 1) ^ 0xA001u);
    else
      crc = static_cast<std::uint16_t>(crc >> 1);
    v >>= 1;
  }
  return crc;
}

}  // namespace

std::uint16_t Crc16(std::span<const std::uint8_t> bytes) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint8_t b : bytes) crc = Step(crc, b);
  return crc;
}

std::uint16_t Crc16(const std::int32_t* values, std::uint32_t count) {
  std::uint16_t crc = 0xFFFF;
  for (std::uint32_t i = 0; i < count; ++i) crc = Step(crc, static_cast<std::uint32_t>(values[i]) & 0xFFu);
  return crc;
}

void StampCrc(std::span<std::uint8_t> frame) {
  if (frame.size() < 2) return;
  const std::uint16_t crc = Crc16(frame.first(frame.size() - 2));
  frame[frame.size() - 2] = static_cast<std::uint8_t>(crc & 0xFF);
  frame[frame.size() - 1] = static_cast<std::uint8_t>(crc >> 8);
}

bool CrcMatches(std::span<const std::uint8_t> frame) {
  if (frame.size() < 3) return false;
  const std::uint16_t crc = Crc16(frame.first(frame.size() - 2));
  return frame[frame.size() - 2] == (crc & 0xFF) && frame[frame.size() - 1] == (crc >> 8);
}

}  // namespace tagris
