// The text of the log file; opening and writing it is in log_file_posix.cpp.
#include "record/log_file.h"

#include "common/cp1251.h"
#include "common/numfmt.h"

namespace tagris {

std::string LogHeader() {
  return Utf8ToCp1251("Время\tТок\tТок(уср.)\tРег.ош.\tТемп.Внеш.\tТемпDSP\tТемп.ТЗВ808\r\n");
}

std::string LogDataLine(double plotTime, double moisture, std::string_view trace,
                        double temperature, double dspTemperature) {
  const std::string w = FormatFloat("#000.0000", moisture);
  std::string line = FormatFloat("#000000.0", plotTime);
  line += '\t';
  line += w;
  line += '\t';
  line += w;
  line += '\t';
  line += trace;
  line += '\t';
  line += FormatFloat("#00.0", temperature);
  line += '\t';
  line += FormatFloat("#00.0", dspTemperature);
  line += "\r\n";
  return line;
}

std::string WithLogExtension(std::string path) {
  const auto slash = path.find_last_of('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  if (path.find('.', nameStart) == std::string::npos) path += ".txt";
  return path;
}

}  // namespace tagris
