#pragma once
// The texts of the measurement labels, the serial-settings labels and the channel table.
// UTF-8; the window shows them as they are.
#include <array>
#include <optional>
#include <string>
#include <string_view>

#include "measure/register_block.h"

namespace tagris {

std::string PeakFrequencyText(double mhz);        // Label6
std::string PeakWidthText(double mhz);            // Label7
std::string PhaseText(std::string_view medium);   // Label8, from the medium shown before
std::string TemperatureText(float celsius);       // lb_TOUT
std::string MixTemperatureText(float celsius);    // lb_TermTWO
std::string MoistureText(double percent);         // lb_Curr
std::string UnlimitedMoistureText(double percent);  // lb_Wlag
// lb_Phase: nothing for codes other than oil, water and air (the old text stays).
std::optional<std::string_view> MediumText(int code);
std::string BaudText(int baudRate);               // lb_Baud
std::string ChannelText(int channel);             // lb_Chan
std::string GridCellText(double value);           // StringGrid1 columns 1 and 2

struct MeasurementTexts {
  // Serial settings, channel and channel table.
  std::string baud, parity, stop, channel;
  std::array<std::string, kChannelCount> grade, salinity;
  // Measurement labels.
  std::string peakFrequency, peakWidth, temperature, mixTemperature, moisture, moistureUnlimited;
  std::optional<std::string_view> medium;
  // Diagnostic labels.
  std::string smCorr, ymaxOp, xmaxOp, polOp, ymax, xmax, sm, pol, marker, dac;
};

MeasurementTexts RenderMeasurementTexts(const RegisterBlock& block);

}  // namespace tagris
