// Arbitrary file text through the sample-file append: no crash, only CR LF line
// breaks afterwards, every earlier byte kept, and the new line at the end.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "record/sample_file.h"

namespace {

bool OnlyCrLf(std::string_view t) {
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i] == '\r' && (i + 1 >= t.size() || t[i + 1] != '\n')) return false;
    if (t[i] == '\n' && (i == 0 || t[i - 1] != '\r')) return false;
  }
  return true;
}

std::string WithoutBreaks(std::string_view t) {
  std::string out;
  for (char c : t)
    if (c != '\r' && c != '\n') out.push_back(c);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::string normal = tagris::NormaliseLineBreaks(text);
  if (!OnlyCrLf(normal)) std::abort();
  if (WithoutBreaks(normal) != WithoutBreaks(text)) std::abort();
  if (tagris::NormaliseLineBreaks(normal) != normal) std::abort();

  const std::string line = "08.12.2026 10:00:00;23.5;1.2;2030.1;11.7;";
  const std::string after = tagris::AppendLineText(text, line);
  if (!OnlyCrLf(after)) std::abort();
  const bool endedWithBreak = normal.empty() || normal.back() == '\n';
  const std::string tail = endedWithBreak ? line + "\r\n" : "\r\n" + line;
  if (after.size() < tail.size() || after.compare(after.size() - tail.size(), tail.size(), tail) != 0)
    std::abort();
  if (after != normal + tail) std::abort();
  return 0;
}
