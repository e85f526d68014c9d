#pragma once
// The parts of watch that are not printing: when the link counts as lost and
// back, the appended CSV file, and the wait that a stop signal ends.
#ifndef _WIN32
#include <signal.h>
#endif

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "connection/connection.h"
#include "render.h"

namespace tagris::cli {

// Turns poll results into the status rows of watch: ok per reply, lost once when
// the link goes silent or the port goes away, resumed on the first reply after.
class LinkWatch {
 public:
  // Polls in a row without a valid reply that make a silent link lost: about 3 s
  // at the default interval, less than the window's 5 s watchdog.
  static constexpr int kSilentPolls = 3;

  // The row a poll's result calls for, if any.
  std::optional<RowStatus> Polled(ExchangeStatus status);
  // The port hung up or disappeared.
  std::optional<RowStatus> PortGone();
  bool Lost() const { return lost_; }

 private:
  int silent_ = 0;
  bool lost_ = false;
};

// A file that lines are appended to, each with one write(2) (WriteFile on Windows),
// so every line is in the file when Write returns and a killed process can tear at
// most the line being written. The system side is in platform_*.cpp.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile() { Close(); }
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens path for appending, creating it; writes header when the file is empty,
  // and starts a fresh line when a torn one ends it. Throws std::runtime_error with
  // a sentence for the operator.
  void Open(const std::string& path, std::string_view header);
  // Throws std::runtime_error with a sentence for the operator.
  void Write(std::string_view line);
  void Close();
  bool IsOpen() const { return file_ != kNoFile; }

 private:
  void WriteAll(std::string_view bytes);

  // A descriptor, or on Windows a HANDLE; -1 is neither a valid descriptor nor a
  // valid HANDLE (it is INVALID_HANDLE_VALUE).
  static constexpr std::intptr_t kNoFile = -1;
  std::intptr_t file_ = kNoFile;
  std::string path_;
};

// SIGINT, SIGTERM and SIGHUP, blocked for this thread and every thread started
// after it, and taken only by Sleep: a signal that comes during a poll ends the
// next wait, so the line of that poll is still written whole. On Windows the same
// for the console's Ctrl+C, Ctrl+Break and closing the window (or logging off).
class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Waits for d; false (at once) when a stop signal came.
  bool Sleep(std::chrono::steady_clock::duration d);

 private:
#ifndef _WIN32
  sigset_t set_;
  sigset_t old_;
#endif
  bool stopped_ = false;
};

}  // namespace tagris::cli
