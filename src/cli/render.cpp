#include "render.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>

#include "platform.h"

namespace tagris::cli {

namespace {

// One "name  value unit" line of read, names in a column.
void Line(std::string& out, std::string_view name, std::string_view value, std::string_view unit = {}) {
  static constexpr std::size_t kNameWidth = 26;
  out += name;
  out.append(name.size() < kNameWidth ? kNameWidth - name.size() : 1, ' ');
  out += value;
  if (!unit.empty()) {
    out += ' ';
    out += unit;
  }
  out += '\n';
}

std::string MediumText(int code) {
  if (const auto name = MediumName(code)) return std::string(*name);
  return "unknown (code " + std::to_string(code) + ")";
}

std::string Moisture(double v, bool trim) { return Decimal(v, kMoistureDecimals, trim); }
std::string Temperature(float v, bool trim) { return Decimal(v, kTemperatureDecimals, trim); }
std::string PeakFrequency(double v) { return Decimal(v, kPeakFrequencyDecimals, true); }
std::string PeakWidth(double v) { return Decimal(v, kPeakWidthDecimals, true); }
std::string ChannelValue(double v, bool trim) { return Decimal(v, kChannelValueDecimals, trim); }

}  // namespace

std::string Decimal(double value, int decimals, bool trim) {
  char buffer[64];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  std::string text = ec == std::errc() ? std::string(buffer, end) : std::string("0");
  if (trim && text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  // A value that rounds to zero is zero, whatever its sign was.
  if (text.find_first_not_of("-0.") == std::string::npos && text[0] == '-') text.erase(0, 1);
  return text;
}

std::optional<std::string_view> MediumName(int code) {
  switch (code) {
    case kMediumOil: return "oil";
    case kMediumWater: return "water";
    case kMediumAir: return "air";
  }
  return std::nullopt;
}

std::string_view ParityWord(std::string_view windowText) {
  if (windowText == "EVENPARITY") return "even";
  if (windowText == "ODDPARITY") return "odd";
  return "none";
}

int StopBitCount(std::string_view windowText) { return windowText == "STOP2" ? 2 : 1; }

std::string ReadText(const RegisterBlock& b) {
  std::string out;
  Line(out, "moisture", Moisture(b.moisture, false), "%");
  Line(out, "moisture without limits", Moisture(b.moistureUnlimited, false), "%");
  Line(out, "temperature", Temperature(b.temperature, false), "C");
  Line(out, "mixture temperature", Temperature(b.mixTemperature, false), "C");
  Line(out, "peak frequency", PeakFrequency(b.peakFrequency), "MHz");
  Line(out, "peak width", PeakWidth(b.peakWidth), "MHz");
  Line(out, "medium", MediumText(b.mediumCode));
  Line(out, "active channel", std::to_string(b.channel));
  for (int k = 0; k < kChannelCount; ++k) {
    const std::string channel = "channel " + std::to_string(k + 1);
    Line(out, channel + " grade", ChannelValue(b.grade[k], false));
    Line(out, channel + " salinity", ChannelValue(b.salinity[k], false));
  }
  Line(out, "serial speed", std::to_string(b.serial.baudRate), "baud");
  Line(out, "serial parity", ParityWord(b.serial.parity));
  Line(out, "serial stop bits", std::to_string(StopBitCount(b.serial.stopBits)));
  Line(out, "offset", std::to_string(b.offset));
  Line(out, "offset uncorrected", std::to_string(b.offsetUncorrected));
  Line(out, "YmaxOp", std::to_string(b.ymaxOp));
  Line(out, "XmaxOp", std::to_string(b.xmaxOp));
  Line(out, "PolOp", std::to_string(b.polOp));
  Line(out, "Ymax", std::to_string(b.ymax));
  Line(out, "Xmax", std::to_string(b.xmax));
  Line(out, "Pol", std::to_string(b.pol));
  Line(out, "Marker", std::to_string(b.marker));
  Line(out, "DAC", std::to_string(b.dac));
  return out;
}

void WriteBlockMembers(JsonWriter& json, const RegisterBlock& b) {
  json.Key("registers").BeginArray();
  for (const std::uint16_t r : b.reg) json.Integer(r);
  json.EndArray();
  json.Key("moisture").Number(Moisture(b.moisture, true));
  json.Key("moisture_unlimited").Number(Moisture(b.moistureUnlimited, true));
  json.Key("temperature").Number(Temperature(b.temperature, true));
  json.Key("mix_temperature").Number(Temperature(b.mixTemperature, true));
  json.Key("peak_frequency").Number(PeakFrequency(b.peakFrequency));
  json.Key("peak_width").Number(PeakWidth(b.peakWidth));
  json.Key("medium");
  if (const auto name = MediumName(b.mediumCode)) json.String(*name);
  else json.Null();
  json.Key("channel").Integer(b.channel);
  json.Key("channels").BeginArray();
  for (int k = 0; k < kChannelCount; ++k) {
    json.BeginObject();
    json.Key("grade").Number(ChannelValue(b.grade[k], true));
    json.Key("salinity").Number(ChannelValue(b.salinity[k], true));
    json.EndObject();
  }
  json.EndArray();
  json.Key("serial").BeginObject();
  json.Key("baud").Integer(b.serial.baudRate);
  json.Key("parity").String(ParityWord(b.serial.parity));
  json.Key("stop").Integer(StopBitCount(b.serial.stopBits));
  json.EndObject();
  json.Key("diagnostics").BeginObject();
  json.Key("offset").Integer(b.offset);
  json.Key("offset_uncorrected").Integer(b.offsetUncorrected);
  json.Key("ymax_op").Integer(b.ymaxOp);
  json.Key("xmax_op").Integer(b.xmaxOp);
  json.Key("pol_op").Integer(b.polOp);
  json.Key("ymax").Integer(b.ymax);
  json.Key("xmax").Integer(b.xmax);
  json.Key("pol").Integer(b.pol);
  json.Key("marker").Integer(b.marker);
  json.Key("dac").Integer(b.dac);
  json.EndObject();
}

std::string ReadJson(const RegisterBlock& block) {
  JsonWriter json;
  json.BeginObject();
  WriteBlockMembers(json, block);
  json.EndObject();
  return json.Text() + "\n";
}

std::string_view RowStatusName(RowStatus status) {
  switch (status) {
    case RowStatus::Ok: return "ok";
    case RowStatus::Lost: return "lost";
    case RowStatus::Resumed: return "resumed";
  }
  return "ok";
}

std::string WatchLine(std::string_view time, RowStatus status, const RegisterBlock* b) {
  std::string line(time);
  line += ' ';
  line += RowStatusName(status);
  if (b) {
    line += " moisture " + Moisture(b->moisture, false) + " %";
    line += " unlimited " + Moisture(b->moistureUnlimited, false) + " %";
    line += " temperature " + Temperature(b->temperature, false) + " C";
    line += " mixture " + Temperature(b->mixTemperature, false) + " C";
    line += " peak " + PeakFrequency(b->peakFrequency) + " MHz";
    line += " width " + PeakWidth(b->peakWidth) + " MHz";
    line += " medium " + std::string(MediumName(b->mediumCode).value_or("unknown"));
    line += " channel " + std::to_string(b->channel);
  }
  line += '\n';
  return line;
}

std::string WatchJsonLine(std::string_view time, RowStatus status, const RegisterBlock* block) {
  JsonWriter json;
  json.BeginObject();
  json.Key("time").String(time);
  json.Key("status").String(RowStatusName(status));
  if (block) WriteBlockMembers(json, *block);
  json.EndObject();
  return json.Text() + "\n";
}

std::string CsvRow(std::string_view time, RowStatus status, const RegisterBlock* b) {
  std::string row(time);
  row += ',';
  row += RowStatusName(status);
  if (b) {
    row += ',' + Moisture(b->moisture, true);
    row += ',' + Moisture(b->moistureUnlimited, true);
    row += ',' + Temperature(b->temperature, true);
    row += ',' + Temperature(b->mixTemperature, true);
    row += ',' + PeakFrequency(b->peakFrequency);
    row += ',' + PeakWidth(b->peakWidth);
    row += ',' + std::string(MediumName(b->mediumCode).value_or(""));
    row += ',' + std::to_string(b->channel);
  } else {
    row += ",,,,,,,,";
  }
  row += '\n';
  return row;
}

std::string IsoTime(const std::tm& local, long utcOffsetSeconds) {
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  const int minutes = static_cast<int>(std::labs(utcOffsetSeconds) / 60 % (24 * 60));
  char offset[16];
  std::snprintf(offset, sizeof offset, "%c%02d:%02d", utcOffsetSeconds < 0 ? '-' : '+', minutes / 60, minutes % 60);
  return std::string(text) + offset;
}

std::string IsoLocalTime(std::time_t moment) {
  long offset = 0;
  const std::tm local = LocalTime(moment, offset);
  return IsoTime(local, offset);
}

}  // namespace tagris::cli
