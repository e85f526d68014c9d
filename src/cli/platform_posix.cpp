// tagris-cli on POSIX systems: signals, descriptors, termios devices under /dev.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <set>
#include <stdexcept>
#include <tuple>

#include "platform.h"
#include "scan.h"
#include "watch.h"

namespace tagris::cli {

namespace {

// ttyUSB3 -> (1, 3); names that are no serial device -> nothing.
std::optional<std::pair<int, long>> DeviceRank(const std::string& name) {
  static constexpr std::array<std::string_view, 3> kPrefixes = {"ttyUSB", "ttyACM", "ttyS"};
  for (std::size_t i = 0; i < kPrefixes.size(); ++i) {
    const std::string_view prefix = kPrefixes[i];
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string digits = name.substr(prefix.size());
    if (digits.size() > 6 || !std::all_of(digits.begin(), digits.end(), [](char c) { return std::isdigit(c); }))
      return std::nullopt;
    return std::pair<int, long>(static_cast<int>(i), std::stol(digits));
  }
  return std::nullopt;
}

std::vector<std::string> DirectoryNames(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string RealPath(const std::string& path) {
  char buffer[PATH_MAX];
  return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, char* argv[]) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

bool ProgressBarPossible() { return isatty(STDERR_FILENO) == 1; }

std::vector<std::string> DefaultSerialPorts() { return FindSerialPorts("/dev"); }

std::tm LocalTime(std::time_t moment, long& utcOffsetSeconds) {
  std::tm local{};
  localtime_r(&moment, &local);
  utcOffsetSeconds = local.tm_gmtoff;
  return local;
}

std::vector<std::string> FindSerialPorts(const std::string& root) {
  std::vector<std::string> ports;
  std::set<std::string> targets;
  const std::string byId = root + "/serial/by-id";
  for (const std::string& name : DirectoryNames(byId)) {
    const std::string path = byId + "/" + name;
    const std::string target = RealPath(path);
    if (target.empty() || !targets.insert(target).second) continue;
    ports.push_back(path);
  }
  std::vector<std::tuple<int, long, std::string>> devices;
  for (const std::string& name : DirectoryNames(root))
    if (const auto rank = DeviceRank(name)) devices.emplace_back(rank->first, rank->second, name);
  std::sort(devices.begin(), devices.end());
  for (const auto& [kind, number, name] : devices) {
    const std::string path = root + "/" + name;
    if (targets.count(RealPath(path))) continue;
    ports.push_back(path);
  }
  return ports;
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
  file_ = fd;
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
  if (IsOpen()) WriteAll(line);
}

void AppendFile::WriteAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(static_cast<int>(file_), bytes.data(), bytes.size());
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
  if (IsOpen()) ::close(static_cast<int>(file_));
  file_ = kNoFile;
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
