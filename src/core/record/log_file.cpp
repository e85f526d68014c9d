#include "record/log_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "common/cp1251.h"
#include "common/numfmt.h"

namespace tagris {

namespace {

std::string Reason(int err) { return std::generic_category().message(err); }

[[noreturn]] void Fail(const char* what, const std::string& path, int err) {
  throw std::runtime_error(std::string(what) + " " + path + ": " + Reason(err));
}

}  // namespace

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

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

int CreateLogFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) Fail("Cannot replace the file", path, errno);
  int fd = ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0644);
  if (fd < 0) Fail("Cannot create the file", path, errno);
  if (fd == 0) {
    // 0 means "no log file" to the window, so keep the file off descriptor 0.
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
    const int err = errno;
    ::close(fd);
    if (moved < 0) Fail("Cannot create the file", path, err);
    fd = moved;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    Fail("Cannot lock the file", path, err);
  }
  return fd;
}

void WriteLogBytes(int fd, std::string_view bytes, const std::string& path) {
  // One write() normally takes the whole line; the loop only finishes a short write.
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("Cannot write to the file", path, errno);
    if (n == 0) Fail("Cannot write to the file", path, ENOSPC);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void CloseLogFd(int fd) {
  if (fd > 0) ::close(fd);
}

}  // namespace tagris
