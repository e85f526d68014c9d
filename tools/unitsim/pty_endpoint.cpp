#include "pty_endpoint.h"

#include <fcntl.h>
#include <pty.h>
#include <pwd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

namespace tagris::unitsim {

namespace {

[[noreturn]] void Fail(const std::string& what) { throw std::system_error(errno, std::generic_category(), what); }

void MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) Fail("tcgetattr");
  // Without raw mode the line discipline would turn 0x0A into 0D 0A and echo bytes back.
  cfmakeraw(&tio);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) Fail("tcsetattr");
}

std::string ReadLink(const std::string& path) {
  std::array<char, 4096> target{};
  const ssize_t n = readlink(path.c_str(), target.data(), target.size() - 1);
  return n > 0 ? std::string(target.data(), static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

std::string DefaultLinkPathFor(const char* runtimeDir, const char* user) {
  struct stat st {};
  if (runtimeDir && *runtimeDir && stat(runtimeDir, &st) == 0 && S_ISDIR(st.st_mode))
    return std::string(runtimeDir) + "/tagris-unit";
  std::string name = user ? user : "";
  if (name.empty()) {
    // getpwuid_r: a second simulator in the same process may ask at the same time.
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 4096> buffer{};
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_name)
      name = found->pw_name;
  }
  if (name.empty()) name = std::to_string(getuid());
  return "/tmp/tagris-unit-" + name;
}

std::string DefaultLinkPath() { return DefaultLinkPathFor(std::getenv("XDG_RUNTIME_DIR"), std::getenv("USER")); }

PtyEndpoint::PtyEndpoint(std::string linkPath) : linkPath_(std::move(linkPath)) {}

PtyEndpoint::~PtyEndpoint() { Close(); }

void PtyEndpoint::Open() {
  if (IsOpen()) return;
  std::array<char, 256> name{};
  if (openpty(&master_, &slave_, name.data(), nullptr, nullptr) != 0) {
    master_ = slave_ = -1;
    Fail("openpty");
  }
  slavePath_ = name.data();
  try {
    MakeRaw(master_);
    MakeRaw(slave_);
    const int flags = fcntl(master_, F_GETFL);
    if (flags < 0 || fcntl(master_, F_SETFL, flags | O_NONBLOCK) != 0) Fail("fcntl");
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);

    struct stat st {};
    if (lstat(linkPath_.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
      errno = EEXIST;
      Fail(linkPath_ + " exists and is not a symlink");
    }
    // A new link renamed over the old one: the path never disappears or points half-way.
    const std::string temp = linkPath_ + ".tmp." + std::to_string(getpid());
    unlink(temp.c_str());
    if (symlink(slavePath_.c_str(), temp.c_str()) != 0) Fail("symlink " + temp);
    if (rename(temp.c_str(), linkPath_.c_str()) != 0) {
      const int saved = errno;
      unlink(temp.c_str());
      errno = saved;
      Fail("rename to " + linkPath_);
    }
  } catch (...) {
    close(slave_);
    close(master_);
    master_ = slave_ = -1;
    throw;
  }
}

void PtyEndpoint::Close() {
  if (!IsOpen()) return;
  // Another simulator may have taken the link over meanwhile: leave its link alone.
  if (ReadLink(linkPath_) == slavePath_) unlink(linkPath_.c_str());
  close(slave_);
  close(master_);
  master_ = slave_ = -1;
}

}  // namespace tagris::unitsim
