// The serial line on Linux (termios). termios cannot leave received bytes in the
// driver while we wait for more, because poll() keeps reporting them; so every
// byte is read into a private input queue as soon as it arrives, and counting,
// reading and purging work on that queue (plus the driver's own queue for purges).
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "serial/custom_baud_linux.h"
#include "serial/input_queue.h"
#include "serial/serial_port.h"

namespace tagris {

namespace {

// Wake-ups in a row with nothing to read that mean the line is gone (it also
// reports POLLHUP or EIO in every case seen; this only stops a spin).
constexpr int kEmptyWakesOfALostLine = 3;

struct StandardRate {
  std::int64_t baud;
  speed_t code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

class PosixSerialPort final : public SerialPort {
 public:
  ~PosixSerialPort() override { Close(); }

  bool Open(const std::string& device) override {
    Close();
    openError_ = OpenError::NotFound;
    if (device.empty()) return false;
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      openError_ = errno == ENOENT || errno == ENXIO || errno == ENODEV ? OpenError::NotFound
                   : errno == EACCES || errno == EPERM                ? OpenError::NoPermission
                   : errno == EBUSY                                   ? OpenError::Busy
                                                                      : OpenError::Other;
      return false;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
      ::close(fd);
      openError_ = OpenError::NotSerial;
      return false;
    }
    // TIOCEXCL keeps other users out, but not root; flock covers every process
    // that takes it, and a second open in this process as well.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      openError_ = OpenError::Busy;
      return false;
    }
    ioctl(fd, TIOCEXCL);
    const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
      ioctl(fd, TIOCNXCL);
      ::close(fd);
      openError_ = OpenError::Other;
      return false;
    }
    openError_ = OpenError::None;
    std::lock_guard lock(mutex_);
    fd_ = fd;
    wake_ = wake;
    queue_.Clear();
    return true;
  }

  OpenError LastOpenError() const override { return openError_; }

  bool Configure(const PortSettings& s) override {
    if (fd_ < 0) return false;
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= CS8 | CLOCAL | CREAD;
    if (s.parity == Parity::Odd) tio.c_cflag |= PARENB | PARODD;
    if (s.parity == Parity::Even) tio.c_cflag |= PARENB;
    if (s.twoStopBits) tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    const StandardRate* standard = nullptr;
    for (const auto& r : kStandardRates)
      if (r.baud == s.baud) standard = &r;
    if (standard) {
      cfsetispeed(&tio, standard->code);
      cfsetospeed(&tio, standard->code);
    }
    bool ok = tcsetattr(fd_, TCSANOW, &tio) == 0;
    if (!standard) ok = s.baud > 0 && s.baud <= 0xFFFFFFFF && detail::SetCustomBaud(fd_, static_cast<std::uint32_t>(s.baud)) && ok;
    // Both control lines stay low: the unit's adapter must not see a handshake.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd_, TIOCMBIC, &lines);
    return ok;
  }

  bool IsOpen() const override { return fd_ >= 0; }

  void PurgeInput() override {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) tcflush(fd_, TCIFLUSH);
    queue_.Clear();
  }

  void PurgeOutput() override {
    if (fd_ >= 0) tcflush(fd_, TCOFLUSH);
  }

  std::size_t QueuedInput() override {
    std::lock_guard lock(mutex_);
    return queue_.Size();
  }

  std::size_t Read(std::uint8_t* buffer, std::size_t n) override {
    std::lock_guard lock(mutex_);
    return queue_.Take(buffer, n);
  }

  bool Write(const std::uint8_t* bytes, std::size_t n) override {
    while (n > 0) {
      const ssize_t w = ::write(fd_, bytes, n);
      if (w > 0) {
        bytes += w;
        n -= static_cast<std::size_t>(w);
        continue;
      }
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno != EAGAIN) return false;
      pollfd fds[2] = {{fd_, POLLOUT, 0}, {wake_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0 && errno != EINTR) return false;
      if (fds[1].revents) return false;
      if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
    }
    return true;
  }

  PortEvent WaitEvent() override {
    int emptyWakes = 0;
    for (;;) {
      pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return PortEvent::LineLost;
      }
      if (fds[1].revents) return PortEvent::Cancelled;
      if (fds[0].revents & POLLNVAL) return PortEvent::LineLost;
      const bool hungUp = fds[0].revents & (POLLERR | POLLHUP);
      bool failed = false;
      const std::size_t got = Drain(failed);
      if (got > 0) {
        emptyWakes = 0;
        return PortEvent::Received;
      }
      // Bytes that came before a hang-up were delivered above; now the line is gone.
      if (hungUp || failed) return PortEvent::LineLost;
      // A wake-up that finds nothing (the main thread purged the queue in between)
      // is normal; only a line that keeps waking us with nothing to read is gone.
      if (++emptyWakes >= kEmptyWakesOfALostLine) return PortEvent::LineLost;
    }
  }

  bool WaitCancelled(int ms) override {
    pollfd fd{wake_, POLLIN, 0};
    while (::poll(&fd, 1, ms) < 0)
      if (errno != EINTR) return false;
    return fd.revents != 0;
  }

  void Cancel() override {
    if (wake_ < 0) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t w = ::write(wake_, &one, sizeof one);
  }

  void Close() override {
    std::lock_guard lock(mutex_);
    if (fd_ >= 0) {
      // The exclusive flag belongs to the terminal, not to this descriptor: a
      // pseudo-terminal keeps it after close and would refuse the next connect.
      ioctl(fd_, TIOCNXCL);
      ::close(fd_);
    }
    if (wake_ >= 0) ::close(wake_);
    fd_ = -1;
    wake_ = -1;
    queue_.Clear();
  }

 private:
  // Moves everything the driver holds into the input queue. failed: a read
  // failed (EIO on a hung-up line). A read of 0 bytes is no failure: with VMIN 0 an empty line reads as 0 too.
  std::size_t Drain(bool& failed) {
    std::lock_guard lock(mutex_);
    std::size_t total = 0;
    for (;;) {
      const std::span<std::uint8_t> room = queue_.Room();
      const ssize_t r = ::read(fd_, room.data(), room.size());
      if (r > 0) {
        queue_.Added(room, static_cast<std::size_t>(r));
        total += static_cast<std::size_t>(r);
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno != EAGAIN) failed = true;
      return total;
    }
  }

  int fd_ = -1;
  int wake_ = -1;
  OpenError openError_ = OpenError::None;
  std::mutex mutex_;  // the input queue, and fd_ against Close()
  InputQueue queue_;
};

}  // namespace

std::unique_ptr<SerialPort> MakeSystemPort() { return std::make_unique<PosixSerialPort>(); }

std::string PortDevicePath(std::string_view name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string_view::npos) return std::string(name);
  auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
  if (name.size() > 3 && upper(name[0]) == 'C' && upper(name[1]) == 'O' && upper(name[2]) == 'M' && name.size() <= 12) {
    long n = 0;
    bool digits = true;
    for (char c : name.substr(3)) {
      if (c < '0' || c > '9') digits = false;
      else n = n * 10 + (c - '0');
    }
    if (digits && n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
  }
  return "/dev/" + std::string(name);
}

}  // namespace tagris
