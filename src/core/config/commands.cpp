#include "config/commands.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common/convert.h"

namespace tagris {

std::int32_t ClampChannel(std::int32_t channel) { return std::clamp(channel, 1, 14); }

std::int32_t ClampNewAddress(std::int32_t address) { return std::clamp(address, 1, 127); }

RegisterWrite ChannelCommand(std::int32_t channel) {
  return {kActiveChannelRegister, static_cast<std::uint16_t>(ClampChannel(channel))};
}

RegisterWrite GradeCommand(std::int32_t channel, double grade) {
  grade = std::clamp(grade, -9.99, 9.99);
  // Truncated, not rounded: the unit stores one decimal, and 1.55 means 1.5.
  const double scaled = grade * 10.0 + 100.0;
  const auto ch = static_cast<std::uint16_t>(ClampChannel(channel));
  return {static_cast<std::uint16_t>(kGradeRegisterBase + ch), static_cast<std::uint16_t>(std::trunc(scaled))};
}

RegisterWrite SalinityCommand(std::int32_t channel, double salinity) {
  salinity = std::clamp(salinity, 90.0, 120.0);
  const double scaled = salinity * 10.0;
  const auto ch = static_cast<std::uint16_t>(ClampChannel(channel));
  return {static_cast<std::uint16_t>(kSalinityRegisterBase + ch), static_cast<std::uint16_t>(std::trunc(scaled))};
}

RegisterWrite AddressCommand(std::int32_t address) {
  return {kAddressRegister, static_cast<std::uint16_t>(ClampNewAddress(address))};
}

std::uint16_t SerialSettingsCode(std::string_view rate, std::string_view parity, bool twoStopBits) {
  // 4800 baud is code 0, so an unknown rate reads the same as 4800.
  static constexpr std::pair<std::string_view, std::uint16_t> kRates[] = {
      {"9600", 4}, {"14400", 5}, {"19200", 6}, {"38400", 7}};
  static constexpr std::pair<std::string_view, std::uint16_t> kParities[] = {{"EVENPARITY", 8}, {"ODDPARITY", 16}};
  std::uint16_t code = 0;
  for (const auto& [text, part] : kRates)
    if (rate == text) code += part;
  for (const auto& [text, part] : kParities)
    if (parity == text) code += part;
  if (twoStopBits) code += 32;
  return code;
}

RegisterWrite SerialSettingsCommand(std::string_view rate, std::string_view parity, bool twoStopBits) {
  return {kSerialSettingsRegister, SerialSettingsCode(rate, parity, twoStopBits)};
}

bool IsNumberText(std::string_view text) { return TryStrToFloat(text).has_value(); }

}  // namespace tagris
