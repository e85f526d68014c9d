// The sample file's disk side on POSIX systems: whole-file read, and the safe
// replace (temporary file, fsync, rename).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "record/sample_file.h"

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

}  // namespace tagris
