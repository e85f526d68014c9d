#pragma once
// CRC-16 of Modbus RTU: reflected polynomial 0xA001, initial 0xFFFF, no final inversion.
// Stored on the line low byte first.
#include <cstdint>
#include <span>

namespace tagris {

std::uint16_t Crc16(std::span<const std::uint8_t> bytes);

// The interface of the frame slots: one byte value per element, only the low
// 8 bits of each element count.
std::uint16_t Crc16(const std::int32_t* values, std::uint32_t count);

// Stores Crc16 of bytes [0, n-2) into the last two bytes, low byte first.
void StampCrc(std::span<std::uint8_t> frame);

// True when the last two bytes hold the CRC of the ones before them.
bool CrcMatches(std::span<const std::uint8_t> frame);

}  // namespace tagris
