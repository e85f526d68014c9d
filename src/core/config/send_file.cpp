#include "config/send_file.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#ifdef _WIN32
#include "common/win32_text.h"
#endif

namespace tagris {

std::vector<std::string> SplitTextLines(std::string_view bytes) {
  bytes = bytes.substr(0, bytes.find('\0'));
  std::vector<std::string> lines;
  std::size_t start = 0;
  std::size_t i = 0;
  while (i < bytes.size()) {
    const char c = bytes[i];
    if (c != '\n' && c != '\r') {
      ++i;
      continue;
    }
    lines.emplace_back(bytes.substr(start, i - start));
    ++i;
    if (c == '\r' && i < bytes.size() && bytes[i] == '\n') ++i;
    start = i;
  }
  if (start < bytes.size()) lines.emplace_back(bytes.substr(start));
  return lines;
}

std::string ReadWholeFile(const std::string& path) {
  const auto fail = [&] { return std::runtime_error("Cannot open file " + path); };
#ifdef _WIN32
  // A UTF-8 name, as every file name the core takes on Windows; fopen would read it
  // in the ANSI code page.
  std::FILE* opened = _wfopen(win32::Widen(path).c_str(), L"rb");
#else
  std::FILE* opened = std::fopen(path.c_str(), "rb");
#endif
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(opened, &std::fclose);
  if (!f) throw fail();
  std::string bytes;
  char buf[4096];
  std::size_t n = 0;
  while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) bytes.append(buf, n);
  // A folder opens but cannot be read: that is no file to show either.
  if (std::ferror(f.get())) throw fail();
  return bytes;
}

}  // namespace tagris
