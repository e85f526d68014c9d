#pragma once
// The unit's block of 54 holding registers, decoded from one measurement reply.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "modbus/frames.h"

namespace tagris {

inline constexpr int kRegisterCount = 54;
inline constexpr std::size_t kMeasurementReplyLength = kPollReplyLength;
inline constexpr int kChannelCount = 14;

// Medium codes of register 39; other values carry no medium.
inline constexpr int kMediumOil = 0;
inline constexpr int kMediumWater = 1;
inline constexpr int kMediumAir = 2;

// Register 0: bits 0-2 baud code, bits 3-4 parity code, bit 5 two stop bits.
struct SerialSettingsWord {
  int baudRate = 4800;
  std::string_view parity = "NOPARITY";
  std::string_view stopBits = "STOP1";
};
SerialSettingsWord DecodeSerialSettings(std::uint16_t word);

// Register n of a measurement reply: bytes 3+2n (high) and 4+2n (low).
std::uint16_t RegisterAt(const std::uint8_t* reply, int n);

// Register 37 takes values above 0x7FFF as value - 0xFFFF (so 0xFFFF is 0, 0x8000 is -32767).
int UnlimitedMoistureCount(std::uint16_t value);

// Temperatures (registers 38 and 50) are 16-bit two's complement: 0xFFCE is -50.
int TemperatureCount(std::uint16_t value);

struct RegisterBlock {
  std::array<std::uint16_t, kRegisterCount> reg{};  // as received, unsigned

  SerialSettingsWord serial;                 // register 0
  std::array<double, kChannelCount> grade{};     // (reg[k+1] - 100) * 0.1, channel k = 1..14
  std::array<double, kChannelCount> salinity{};  // reg[k+17] * 0.1
  int channel = 0;                           // register 33, not range checked

  double moisture = 0;           // W, percent by volume, register 36 * 0.01
  double moistureUnlimited = 0;  // register 37 with its sign rule * 0.01
  float temperature = 0;         // register 38 (signed) * 0.1, degrees Celsius
  int mediumCode = 0;            // register 39
  int offset = 0;                // 40
  int ymaxOp = 0;                // 41
  int xmaxOp = 0;                // 42
  int polOp = 0;                 // 43
  int ymax = 0;                  // 44
  int xmax = 0;                  // 45: position of the peak
  int pol = 0;                   // 46: width of the peak
  int marker = 0;                // register 47 * 4
  int dac = 0;                   // 48
  float mixTemperature = 0;      // register 50 (signed) * 0.1

  double peakFrequency = 0;      // xmax * 0.46875 * 0.125 + 1980
  double peakWidth = 0;          // 0.46875 * pol * 0.25
  int offsetUncorrected = 0;     // xmaxOp - xmax while the peak lies below XmaxOp, else 0
};

// Decodes registers 0..53 of a 113-byte measurement reply. Nothing in the reply is checked.
RegisterBlock DecodeRegisterBlock(const std::uint8_t* reply);
RegisterBlock DecodeRegisters(const std::array<std::uint16_t, kRegisterCount>& reg);

// The values one measurement reply leaves for the recording timer and the log file.
struct Measurement {
  float temperature = 0;
  float mixTemperature = 0;
  float moisture = 0;
  float peakFrequency = 0;
  float peakWidth = 0;
};
Measurement KeptValues(const RegisterBlock& block);

}  // namespace tagris
