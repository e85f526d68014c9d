#include "record/sample_file.h"

#include "common/cp1251.h"
#include "common/numfmt.h"

namespace tagris {

std::string SampleTimeText(int year, int month, int day, int hour, int minute, int second,
                           int msec) {
  std::string text = FormatDate(year, month, day);
  if (hour == 0 && minute == 0 && second == 0 && msec == 0) return text;
  return text + " " + FormatTime(hour, minute, second);
}

std::string SampleValueText(double value) { return FormatFloat("#####.0", value); }

std::string SampleLine(const std::array<std::string, 5>& cells) {
  std::string line;
  for (const std::string& cell : cells) {
    line += Utf8ToCp1251(cell);
    line += ';';
  }
  return line;
}

std::string NormaliseLineBreaks(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string AppendLineText(std::string_view text, std::string_view line) {
  std::string out = NormaliseLineBreaks(text);
  if (out.empty() || out.ends_with("\r\n")) {
    out += line;
    out += "\r\n";
  } else {
    out += "\r\n";
    out += line;
  }
  return out;
}

std::string AppendSampleLine(const std::string& path, std::string_view line) {
  const std::optional<std::string> old = ReadFileIfPresent(path);
  std::string text = AppendLineText(old ? *old : std::string(), line);
  WriteFileSafely(path, text);
  return text;
}

}  // namespace tagris
