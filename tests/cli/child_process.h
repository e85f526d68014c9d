#pragma once
// A program run as a child process, its stdout and stderr going to files, so a
// test can read what it printed so far while it runs and signal it like a shell.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "files.h"

extern char** environ;

namespace tagris::test {

class ChildProcess {
 public:
  // outFile and errFile receive the child's stdout and stderr.
  ChildProcess(const std::vector<std::string>& argv, std::string outFile, std::string errFile)
      : outFile_(std::move(outFile)), errFile_(std::move(errFile)) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, outFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&files, 2, errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // The child starts with no signal blocked and the stop signals at their defaults,
    // whatever the test runner did to its own.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (posix_spawn(&pid_, args[0], &files, &attr, args.data(), environ) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&files);
  }

  ~ChildProcess() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      int ignored = 0;
      waitpid(pid_, &ignored, 0);
    }
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  void Signal(int signal) const {
    if (pid_ > 0 && status_ < 0) kill(pid_, signal);
  }

  // The exit status once the child ended within `limit`; -1 when it did not end
  // (it is killed then) and -2 when a signal ended it.
  int Wait(std::chrono::milliseconds limit) {
    if (pid_ <= 0) return -1;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (status_ < 0) {
      int raw = 0;
      const pid_t done = waitpid(pid_, &raw, WNOHANG);
      if (done == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 1000;
        break;
      }
      if (std::chrono::steady_clock::now() >= end) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &raw, 0);
        status_ = 2000;
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_ == 1000 ? -2 : status_ == 2000 ? -1 : status_;
  }

  std::string Out() const { return ReadFileBytes(outFile_); }
  std::string Err() const { return ReadFileBytes(errFile_); }

 private:
  std::string outFile_, errFile_;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace tagris::test
