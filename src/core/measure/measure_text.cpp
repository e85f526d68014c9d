#include "measure/measure_text.h"

#include "common/numfmt.h"

namespace tagris {

namespace {

std::string Compose(std::string_view prefix, std::string_view mask, double v, std::string_view suffix = {}) {
  std::string s(prefix);
  s += FormatFloat(mask, v);
  s += suffix;
  return s;
}

std::string Count(std::string_view prefix, int v) { return Compose(prefix, "####0", v); }

}  // namespace

std::string PeakFrequencyText(double mhz) { return Compose("Частота пика   ", "######0.0", mhz, "  мГц"); }
std::string PeakWidthText(double mhz) { return Compose("Ширина пика    ", "######0.0", mhz, "      мГц"); }
std::string PhaseText(std::string_view medium) { return std::string("Фаза     ").append(medium); }
std::string TemperatureText(float celsius) { return Compose("Temp = ", "#00.0", celsius, " C"); }
std::string MixTemperatureText(float celsius) { return Compose("Temp смеси = ", "#00.0", celsius, " C"); }
std::string MoistureText(double percent) { return Compose("W =  ", "##0.0", percent, " %об."); }
std::string UnlimitedMoistureText(double percent) { return Compose("без ограничений ", "#00.0", percent, " %"); }

std::optional<std::string_view> MediumText(int code) {
  switch (code) {
    case kMediumOil: return "  Нефть ";
    case kMediumWater: return "  Вода ";
    case kMediumAir: return "  Воздух ";
    default: return std::nullopt;
  }
}

std::string BaudText(int baudRate) { return std::to_string(baudRate) + " бод"; }
std::string ChannelText(int channel) { return Compose("Включен канал  ", "#0", channel); }
std::string GridCellText(double value) { return FormatFloat("#0.0", value); }

MeasurementTexts RenderMeasurementTexts(const RegisterBlock& b) {
  MeasurementTexts t;
  t.baud = BaudText(b.serial.baudRate);
  t.parity = b.serial.parity;
  t.stop = b.serial.stopBits;
  t.channel = ChannelText(b.channel);
  for (int k = 0; k < kChannelCount; ++k) {
    t.grade[k] = GridCellText(b.grade[k]);
    t.salinity[k] = GridCellText(b.salinity[k]);
  }
  t.peakFrequency = PeakFrequencyText(b.peakFrequency);
  t.peakWidth = PeakWidthText(b.peakWidth);
  t.temperature = TemperatureText(b.temperature);
  t.mixTemperature = MixTemperatureText(b.mixTemperature);
  t.moisture = MoistureText(b.moisture);
  t.moistureUnlimited = UnlimitedMoistureText(b.moistureUnlimited);
  t.medium = MediumText(b.mediumCode);
  t.smCorr = Count("смещение ", b.offset);
  t.ymaxOp = Count("YmaxOp =  ", b.ymaxOp);
  t.xmaxOp = Count("XmaxOp =  ", b.xmaxOp);
  t.polOp = Count("PolOp =  ", b.polOp);
  t.ymax = Count("Ymax =  ", b.ymax);
  t.xmax = Count("Xmax =  ", b.xmax);
  t.sm = Count("без коррекции ", b.offsetUncorrected);
  t.pol = Count("Pol =  ", b.pol);
  t.marker = Count("Marker =  ", b.marker);
  t.dac = Count("DAC =  ", b.dac);
  return t;
}

}  // namespace tagris
