// tagris-cli on Windows: the console's stop events, files through handles, COM ports.
#include <io.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "common/win32_text.h"
#include "common/windows_api.h"
#include "platform.h"
#include "scan.h"
#include "serial/serial_port.h"
#include "watch.h"

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

namespace tagris::cli {

namespace {

constexpr int kHighestComPort = 256;

// Closing the console window ends the process as soon as the handler returns, and
// at the latest after 5 s: the handler waits this long for watch to close its files.
constexpr DWORD kCloseGrace = 4000;

// Set by the console's stop events, which come on a thread of their own; Sleep
// waits on it. Manual reset: once stopped, every later wait sees it. Created once
// and never closed, so the handler never meets a closed handle.
HANDLE StopEvent() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

// Set once watch has stopped and closed its files.
HANDLE FinishedEvent() {
  static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return event;
}

BOOL WINAPI OnConsoleStop(DWORD kind) {
  SetEvent(StopEvent());
  if (kind == CTRL_CLOSE_EVENT || kind == CTRL_LOGOFF_EVENT || kind == CTRL_SHUTDOWN_EVENT)
    WaitForSingleObject(FinishedEvent(), kCloseGrace);
  return TRUE;  // handled: Ctrl+C and Ctrl+Break do not end the process
}

[[noreturn]] void ThrowOpenError(const std::string& path, DWORD code) {
  throw std::runtime_error("Cannot open " + path + " for appending (" + win32::ErrorText(code) +
                           "): check the folder and its permissions.");
}

HANDLE AsHandle(std::intptr_t file) { return reinterpret_cast<HANDLE>(file); }

// The last byte of the file at path, '\n' when it cannot be read.
char LastByte(const std::wstring& path, LONGLONG size) {
  char last = '\n';
  const HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (reader == INVALID_HANDLE_VALUE) return last;
  LARGE_INTEGER at{};
  at.QuadPart = size - 1;
  DWORD got = 0;
  if (!SetFilePointerEx(reader, at, nullptr, FILE_BEGIN) || !ReadFile(reader, &last, 1, &got, nullptr) || got != 1)
    last = '\n';
  CloseHandle(reader);
  return last;
}

}  // namespace

std::vector<std::string> ProgramArguments(int argc, wchar_t* argv[]) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(win32::Narrow(argv[i]));
  return args;
}

bool ProgressBarPossible() {
  if (!_isatty(_fileno(stderr))) return false;
  // NUL is a character device too, but not a console.
  const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (!GetConsoleMode(console, &mode)) return false;
  // The bar redraws itself with escape sequences; consoles before Windows 10 refuse them.
  return (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) ||
         SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

// A port that is not there fails to open at once, so trying all of them takes a few
// milliseconds. QueryDosDevice would not open anything, but it misses ports that
// wine maps to a Unix device. A port another program holds counts as there.
std::vector<std::string> DefaultSerialPorts() {
  std::vector<std::string> ports;
  for (int n = 1; n <= kHighestComPort; ++n) {
    const std::string name = "COM" + std::to_string(n);
    const HANDLE h = CreateFileW(win32::Widen(PortDevicePath(name)).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      ports.push_back(name);
      continue;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_BUSY)
      ports.push_back(name);
  }
  return ports;
}

std::tm LocalTime(std::time_t moment, long& utcOffsetSeconds) {
  std::tm local{};
  localtime_s(&local, &moment);
  // The local fields read as UTC, less the moment: the offset in force then,
  // summer time included.
  std::tm asUtc = local;
  utcOffsetSeconds = static_cast<long>(_mkgmtime(&asUtc) - moment);
  return local;
}

void AppendFile::Open(const std::string& path, std::string_view header) {
  Close();
  const std::wstring name = win32::Widen(path);
  if (name.empty()) ThrowOpenError(path, ERROR_INVALID_NAME);
  // FILE_APPEND_DATA alone: every write goes to the end, also past another writer's.
  // Others may read, write and delete the file meanwhile, as on POSIX.
  const HANDLE h = CreateFileW(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) ThrowOpenError(path, GetLastError());
  file_ = reinterpret_cast<std::intptr_t>(h);
  path_ = path;
  // Not only files on disk: a console or a pipe has no size and gets the header.
  LARGE_INTEGER size{};
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size) || size.QuadPart <= 0) {
    WriteAll(header);
    return;
  }
  // A run that was killed mid-line left a torn line: the next row starts on its own.
  if (LastByte(name, size.QuadPart) != '\n') WriteAll("\n");
}

void AppendFile::Write(std::string_view line) {
  if (IsOpen()) WriteAll(line);
}

void AppendFile::WriteAll(std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 24));
    DWORD n = 0;
    const bool ok = WriteFile(AsHandle(file_), bytes.data(), chunk, &n, nullptr) != 0;
    if (!ok || n == 0) {
      const std::string why = ok ? "nothing written" : win32::ErrorText(GetLastError());
      const std::string path = path_;
      Close();
      throw std::runtime_error("Cannot write to " + path + " (" + why + "): free space or name another file.");
    }
    bytes.remove_prefix(n);
  }
}

void AppendFile::Close() {
  if (IsOpen()) CloseHandle(AsHandle(file_));
  file_ = kNoFile;
  path_.clear();
}

StopSignals::StopSignals() {
  // Without the handler (no event could be made) a stop ends the process at once,
  // as it does for read: the rows written so far are in their files all the same.
  if (StopEvent() && FinishedEvent()) SetConsoleCtrlHandler(OnConsoleStop, TRUE);
}

StopSignals::~StopSignals() {
  // A close of the console waits in the handler for this; Ctrl+C from here on
  // ends the process, as it does before watch begins.
  SetEvent(FinishedEvent());
  SetConsoleCtrlHandler(OnConsoleStop, FALSE);
}

bool StopSignals::Sleep(std::chrono::steady_clock::duration d) {
  if (stopped_) return false;
  using std::chrono::milliseconds;
  const auto deadline = std::chrono::steady_clock::now() + d;
  for (;;) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
    // Below INFINITE: a longer wait goes round again.
    const DWORD ms = static_cast<DWORD>(std::clamp<milliseconds::rep>(left.count(), 0, 0x7FFFFFFF));
    const DWORD woke = StopEvent() ? WaitForSingleObject(StopEvent(), ms) : WAIT_FAILED;
    if (woke == WAIT_OBJECT_0) {
      stopped_ = true;
      return false;
    }
    // No event to wait on: the time still passes, without a spin.
    if (woke == WAIT_FAILED) std::this_thread::sleep_for(milliseconds(ms));
    // The system's timer may end a wait a little early.
    if (std::chrono::steady_clock::now() >= deadline) return true;
  }
}

}  // namespace tagris::cli
