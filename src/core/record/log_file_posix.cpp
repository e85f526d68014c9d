// The log file on disk, POSIX side. "Held" means an exclusive flock(): it guards against
// other copies of this program (and any program that takes flock locks), not against
// programs that open files without locking them.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include "record/log_file.h"

namespace tagris {

namespace {

std::string Reason(int err) { return std::generic_category().message(err); }

[[noreturn]] void Fail(const char* what, const std::string& path, int err) {
  throw std::runtime_error(std::string(what) + " " + path + ": " + Reason(err));
}

[[noreturn]] void Refuse(const std::string& path, const char* why) {
  throw std::runtime_error("Cannot replace the file " + path + ": " + why);
}

const char* NotRegular(mode_t mode) {
  if (S_ISDIR(mode)) return "it is a folder, not a regular file";
  if (S_ISFIFO(mode)) return "it is a named pipe, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a regular file";
  if (S_ISSOCK(mode)) return "it is a socket, not a regular file";
  return "it is not a regular file";
}

// 0 means "no log file" to the window, so keep the file off descriptor 0.
int OffZero(int fd, const char* what, const std::string& path) {
  if (fd != 0) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 1);
  const int err = errno;
  ::close(fd);
  if (moved < 0) Fail(what, path, err);
  return moved;
}

// Opens the regular file already at path for replacing, without changing it.
// Returns -1 when nothing is at path any more (removed meanwhile).
int OpenExisting(const std::string& path) {
  // Checked before opening: opening a device or a pipe can itself act on it.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    const int err = errno;
    struct stat link {};
    if (err == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode))
      Refuse(path, "it is a link to a file that does not exist");
    if (err == ENOENT) return -1;
    Fail("Cannot replace the file", path, err);
  }
  if (!S_ISREG(st.st_mode)) Refuse(path, NotRegular(st.st_mode));

  // O_NONBLOCK: should a pipe have been put there since the check, opening it never waits.
  int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return -1;
  if (fd < 0) Fail("Cannot replace the file", path, errno);
  fd = OffZero(fd, "Cannot replace the file", path);
  // The descriptor decides, whatever the path pointed at a moment ago.
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) {
    const int err = errno;
    ::close(fd);
    Fail("Cannot replace the file", path, err);
  }
  if (!S_ISREG(opened.st_mode)) {
    ::close(fd);
    Refuse(path, NotRegular(opened.st_mode));
  }
  return fd;
}

// Takes the exclusive hold on fd, then empties the file. Emptying only after the hold is
// ours, and on this very descriptor, means a file another copy is logging to never loses
// a line: either its hold stops us, or it has let go of the file before we empty it.
int Hold(int fd, const std::string& path, bool empty) {
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    ::close(fd);
    if (err == EWOULDBLOCK)
      throw std::runtime_error("Cannot replace the file " + path +
                               ": it is in use by another program");
    Fail("Cannot lock the file", path, err);
  }
  if (empty) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (::ftruncate(fd, 0) != 0 || flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
      const int err = errno;
      ::close(fd);
      Fail("Cannot replace the file", path, err);
    }
  }
  return fd;
}

}  // namespace

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

int CreateLogFile(const std::string& path) {
  // Replacing in place rather than renaming a new file over the old one: the hold stays
  // on the file every other opener of the path meets, and a link to it stays a link.
  // A file that appears or vanishes between two steps sends us the other way, once.
  for (int round = 0; round < 2; ++round) {
    // O_EXCL also stops at a symbolic link, dangling or not, which then goes the checked way.
    const int created =
        ::open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOCTTY | O_CLOEXEC, 0644);
    if (created >= 0) return Hold(OffZero(created, "Cannot create the file", path), path, false);
    if (errno != EEXIST) Fail("Cannot create the file", path, errno);
    const int existing = OpenExisting(path);
    if (existing > 0) return Hold(existing, path, true);
  }
  Fail("Cannot create the file", path, EAGAIN);
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
