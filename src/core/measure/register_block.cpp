#include "measure/register_block.h"

namespace tagris {

SerialSettingsWord DecodeSerialSettings(std::uint16_t word) {
  static constexpr int kBaud[8] = {4800, 4800, 4800, 4800, 9600, 14400, 19200, 38400};
  static constexpr std::string_view kParity[4] = {"NOPARITY", "EVENPARITY", "ODDPARITY", "NOPARITY"};
  SerialSettingsWord s;
  s.baudRate = kBaud[word & 0x07];
  s.parity = kParity[(word >> 3) & 0x03];
  s.stopBits = (word & 0x20) ? "STOP2" : "STOP1";
  return s;
}

std::uint16_t RegisterAt(const std::uint8_t* reply, int n) {
  return static_cast<std::uint16_t>(reply[3 + 2 * n] << 8 | reply[4 + 2 * n]);
}

int UnlimitedMoistureCount(std::uint16_t value) {
  return value > 0x7FFF ? static_cast<int>(value) - 0xFFFF : static_cast<int>(value);
}

int TemperatureCount(std::uint16_t value) { return static_cast<std::int16_t>(value); }

RegisterBlock DecodeRegisters(const std::array<std::uint16_t, kRegisterCount>& reg) {
  RegisterBlock b;
  b.reg = reg;
  b.serial = DecodeSerialSettings(reg[0]);
  for (int k = 1; k <= kChannelCount; ++k) {
    b.grade[k - 1] = (static_cast<int>(reg[k + 1]) - 100) * 0.1;
    b.salinity[k - 1] = reg[k + 17] * 0.1;
  }
  b.channel = reg[33];
  b.moisture = reg[36] * 0.01;
  b.moistureUnlimited = UnlimitedMoistureCount(reg[37]) * 0.01;
  b.temperature = static_cast<float>(TemperatureCount(reg[38]) * 0.1);
  b.mediumCode = reg[39];
  b.offset = reg[40];
  b.ymaxOp = reg[41];
  b.xmaxOp = reg[42];
  b.polOp = reg[43];
  b.ymax = reg[44];
  b.xmax = reg[45];
  b.pol = reg[46];
  b.marker = reg[47] * 4;
  b.dac = reg[48];
  b.mixTemperature = static_cast<float>(TemperatureCount(reg[50]) * 0.1);
  b.peakFrequency = b.xmax * 0.46875 * 0.125 + 1980;
  b.peakWidth = 0.46875 * b.pol * 0.25;
  b.offsetUncorrected = b.xmax < b.xmaxOp ? b.xmaxOp - b.xmax : 0;
  return b;
}

RegisterBlock DecodeRegisterBlock(const std::uint8_t* reply) {
  std::array<std::uint16_t, kRegisterCount> reg{};
  for (int n = 0; n < kRegisterCount; ++n) reg[n] = RegisterAt(reply, n);
  return DecodeRegisters(reg);
}

Measurement KeptValues(const RegisterBlock& block) {
  Measurement m;
  m.temperature = block.temperature;
  m.mixTemperature = block.mixTemperature;
  m.moisture = static_cast<float>(block.moisture);
  m.peakFrequency = static_cast<float>(block.peakFrequency);
  m.peakWidth = static_cast<float>(block.peakWidth);
  return m;
}

}  // namespace tagris
