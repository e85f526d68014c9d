// The sample file's disk side on Windows: whole-file read, and the safe replace
// (temporary file in the same folder, flushed, then moved over the old file).
#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <vector>

#include "common/win32_text.h"
#include "common/windows_api.h"
#include "record/sample_file.h"

namespace tagris {

namespace {

using win32::ThrowFileError;

// Closes the handle and removes the temporary file unless told it was moved.
struct TempFile {
  std::wstring name;
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool keep = false;
  ~TempFile() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    if (!keep && !name.empty()) DeleteFileW(name.c_str());
  }
};

}  // namespace

std::optional<std::string> ReadFileIfPresent(const std::string& path) {
  // Others may go on reading and writing it meanwhile, as they may on POSIX.
  const HANDLE file = CreateFileW(win32::Widen(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD err = GetLastError();
    if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) return std::nullopt;
    ThrowFileError("Cannot read the file", path, err);
  }
  std::string text;
  std::vector<char> buf(1 << 16);
  for (;;) {
    DWORD n = 0;
    if (!ReadFile(file, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr)) {
      const DWORD err = GetLastError();
      CloseHandle(file);
      ThrowFileError("Cannot read the file", path, err);
    }
    if (n == 0) break;
    text.append(buf.data(), n);
  }
  CloseHandle(file);
  return text;
}

void WriteFileSafely(const std::string& path, std::string_view bytes) {
  const std::wstring target = win32::Widen(path);
  if (target.empty()) ThrowFileError("Cannot write the file", path, ERROR_INVALID_NAME);

  // A name of our own beside the target: process id plus a counter, and CREATE_NEW
  // so a leftover of another run is never reused.
  static std::atomic<unsigned> counter{0};
  TempFile temp;
  for (int attempt = 0; temp.handle == INVALID_HANDLE_VALUE; ++attempt) {
    const std::wstring name = target + L".tmp-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(counter.fetch_add(1));
    temp.handle = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (temp.handle != INVALID_HANDLE_VALUE) {
      temp.name = name;
      break;
    }
    const DWORD err = GetLastError();
    if (err != ERROR_FILE_EXISTS || attempt >= 100) ThrowFileError("Cannot write the file", path, err);
  }

  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 24));
    DWORD n = 0;
    if (!WriteFile(temp.handle, bytes.data(), chunk, &n, nullptr)) ThrowFileError("Cannot write the file", path, GetLastError());
    if (n == 0) ThrowFileError("Cannot write the file", path, ERROR_DISK_FULL);
    bytes.remove_prefix(n);
  }
  // The data must be on disk before the move makes it the file.
  if (!FlushFileBuffers(temp.handle)) ThrowFileError("Cannot write the file", path, GetLastError());
  const HANDLE handle = temp.handle;
  temp.handle = INVALID_HANDLE_VALUE;
  if (!CloseHandle(handle)) ThrowFileError("Cannot write the file", path, GetLastError());
  if (!MoveFileExW(temp.name.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    ThrowFileError("Cannot write the file", path, GetLastError());
  temp.keep = true;
}

}  // namespace tagris
