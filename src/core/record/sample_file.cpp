#include "record/sample_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "common/cp1251.h"
#include "common/numfmt.h"

namespace tagris {

namespace {

[[noreturn]] void Fail(const char* what, const std::string& path, int err) {
  throw std::runtime_error(std::string(what) + " " + path + ": " +
                           std::generic_category().message(err));
}

// Closes the descriptor and removes the temporary file unless told it was renamed.
struct TempFile {
  std::string name;
  int fd = -1;
  bool keep = false;
  ~TempFile() {
    if (fd >= 0) ::close(fd);
    if (!keep && !name.empty()) ::unlink(name.c_str());
  }
};

}  // namespace

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

std::optional<std::string> ReadFileIfPresent(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return std::nullopt;
    Fail("Cannot read the file", path, errno);
  }
  std::string text;
  std::vector<char> buf(1 << 16);
  for (;;) {
    const ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int err = errno;
      ::close(fd);
      Fail("Cannot read the file", path, err);
    }
    if (n == 0) break;
    text.append(buf.data(), static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

void WriteFileSafely(const std::string& path, std::string_view bytes) {
  // A replaced file keeps its permission bits; a new one gets rw-r--r--.
  mode_t mode = 0644;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) mode = st.st_mode & 07777;

  TempFile temp;
  std::vector<char> pattern(path.begin(), path.end());
  for (char c : std::string_view(".tmp-XXXXXX")) pattern.push_back(c);
  pattern.push_back('\0');
  temp.fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (temp.fd < 0) Fail("Cannot write the file", path, errno);
  temp.name = pattern.data();

  while (!bytes.empty()) {
    const ssize_t n = ::write(temp.fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("Cannot write the file", path, errno);
    if (n == 0) Fail("Cannot write the file", path, ENOSPC);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fchmod(temp.fd, mode) != 0) Fail("Cannot write the file", path, errno);
  // The data must be on disk before the rename makes it the file.
  if (::fsync(temp.fd) != 0) Fail("Cannot write the file", path, errno);
  const int fd = temp.fd;
  temp.fd = -1;
  if (::close(fd) != 0) Fail("Cannot write the file", path, errno);
  if (::rename(temp.name.c_str(), path.c_str()) != 0) Fail("Cannot write the file", path, errno);
  temp.keep = true;
}

std::string AppendSampleLine(const std::string& path, std::string_view line) {
  const std::optional<std::string> old = ReadFileIfPresent(path);
  std::string text = AppendLineText(old ? *old : std::string(), line);
  WriteFileSafely(path, text);
  return text;
}

}  // namespace tagris
