#include "watch.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace tagris::cli {

std::optional<RowStatus> LinkWatch::Polled(ExchangeStatus status) {
  switch (status) {
    case ExchangeStatus::Ok:
      silent_ = 0;
      if (!lost_) return RowStatus::Ok;
      lost_ = false;
      return RowStatus::Resumed;
    case ExchangeStatus::NoReply:
    case ExchangeStatus::Invalid:
      // Only a valid reply proves the link, as for the window's watchdog.
      if (++silent_ < kSilentPolls || lost_) return std::nullopt;
      lost_ = true;
      return RowStatus::Lost;
    case ExchangeStatus::PortLost: return PortGone();
  }
  return std::nullopt;
}

std::optional<RowStatus> LinkWatch::PortGone() {
  silent_ = 0;
  if (lost_) return std::nullopt;
  lost_ = true;
  return RowStatus::Lost;
}

void AppendFile::Open(const std::string& path, std::string_view header) {
  Close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    throw std::runtime_error("Cannot open " + path + " for appending (" + std::strerror(errno) +
                             "): check the folder and its permissions.");
  // Not only regular files: /dev/stdout or a pipe are fine places for rows.
  struct stat st {};
  fstat(fd, &st);
  fd_ = fd;
  path_ = path;
  if (st.st_size <= 0) {
    WriteAll(header);
    return;
  }
  // A run that was killed mid-line left a torn line: the next row starts on its own.
  char last = '\n';
  if (const int reader = ::open(path.c_str(), O_RDONLY | O_CLOEXEC); reader >= 0) {
    if (pread(reader, &last, 1, st.st_size - 1) != 1) last = '\n';
    ::close(reader);
  }
  if (last != '\n') WriteAll("\n");
}

void AppendFile::Write(std::string_view line) {
  if (fd_ >= 0) WriteAll(line);
}

void AppendFile::WriteAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string why = n < 0 ? std::strerror(errno) : "nothing written";
      const std::string path = path_;
      Close();
      throw std::runtime_error("Cannot write to " + path + " (" + why + "): free space or name another file.");
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void AppendFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
}

StopSignals::StopSignals() {
  sigemptyset(&set_);
  sigaddset(&set_, SIGINT);
  sigaddset(&set_, SIGTERM);
  sigaddset(&set_, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set_, &old_);
}

StopSignals::~StopSignals() {
  // A signal still pending would act on its default once unblocked; it was meant
  // as a stop, and the stop has happened.
  timespec zero{};
  while (sigtimedwait(&set_, nullptr, &zero) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &old_, nullptr);
}

bool StopSignals::Sleep(std::chrono::steady_clock::duration d) {
  if (stopped_) return false;
  const auto deadline = std::chrono::steady_clock::now() + d;
  for (;;) {
    const auto left = std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration{});
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec wait{static_cast<std::time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    const int signal = sigtimedwait(&set_, nullptr, &wait);
    if (signal > 0) {
      stopped_ = true;
      return false;
    }
    if (errno == EAGAIN) return true;  // the time is up
    // EINTR: another signal's handler ran; wait on for the rest of the time.
  }
}

}  // namespace tagris::cli
