#pragma once
// The unit's configuration writes (function 0x06): register and value of each
// command, from the operator's already converted input. Out-of-range input is
// clamped, never refused.
#include <cstdint>
#include <string_view>

namespace tagris {

struct RegisterWrite {
  std::uint16_t reg = 0;
  std::uint16_t value = 0;
  bool operator==(const RegisterWrite&) const = default;
};

inline constexpr std::uint16_t kSerialSettingsRegister = 0x0000;
inline constexpr std::uint16_t kGradeRegisterBase = 0x0001;     // + channel 1..14
inline constexpr std::uint16_t kSalinityRegisterBase = 0x0011;  // + channel 1..14
inline constexpr std::uint16_t kActiveChannelRegister = 0x0021;
inline constexpr std::uint16_t kAddressRegister = 0x0031;

std::int32_t ClampChannel(std::int32_t channel);     // 1..14
std::int32_t ClampNewAddress(std::int32_t address);  // 1..127: 0 is never sent

RegisterWrite ChannelCommand(std::int32_t channel);
// Grade clamped to -9.99..9.99 and sent as trunc(grade * 10 + 100), 0..199.
RegisterWrite GradeCommand(std::int32_t channel, double grade);
// Salinity clamped to 90..120 and sent as trunc(salinity * 10), 900..1200.
RegisterWrite SalinityCommand(std::int32_t channel, double salinity);
RegisterWrite AddressCommand(std::int32_t address);

// Bits 0-2 baud rate, bits 3-4 parity, bit 5 two stop bits. Texts are matched
// whole and case-sensitively; an unknown text adds 0 (as "4800", "NOPARITY").
std::uint16_t SerialSettingsCode(std::string_view rate, std::string_view parity, bool twoStopBits);
RegisterWrite SerialSettingsCommand(std::string_view rate, std::string_view parity, bool twoStopBits);

// The validity check of the grade and salinity fields: the text converts to a double.
bool IsNumberText(std::string_view text);

}  // namespace tagris
