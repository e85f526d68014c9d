#pragma once
// The far end of a pseudo-terminal, standing in for the unit in the link tests.
// The link opens the slave side by its path; the test talks through the master.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tagris::test {

class PtyPeer {
 public:
  PtyPeer() {
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) return;
    path_ = name;
    // Raw on both ends, or the line discipline rewrites 0x0A and friends.
    for (int fd : {master_, slave_}) {
      termios t{};
      tcgetattr(fd, &t);
      cfmakeraw(&t);
      tcsetattr(fd, TCSANOW, &t);
    }
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPeer() {
    CloseMaster();
    if (slave_ >= 0) ::close(slave_);
  }
  PtyPeer(const PtyPeer&) = delete;
  PtyPeer& operator=(const PtyPeer&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& path() const { return path_; }
  int slave() const { return slave_; }  // held open so the terminal's settings can be read back

  void Write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t w = ::write(master_, bytes.data() + done, bytes.size() - done);
      if (w > 0) done += static_cast<std::size_t>(w);
      else {
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
  }

  // Whatever arrives within ms milliseconds, up to n bytes (returns early at n).
  std::vector<std::uint8_t> Read(std::size_t n, int ms) {
    std::vector<std::uint8_t> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (out.size() < n) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      std::uint8_t buf[4096];
      const ssize_t r = ::read(master_, buf, std::min(sizeof buf, n - out.size()));
      if (r > 0) out.insert(out.end(), buf, buf + r);
    }
    return out;
  }

  // The unit goes away: the line hangs up.
  void CloseMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace tagris::test
