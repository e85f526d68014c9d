// The log file on disk, Windows side. "Held" is the open itself: its share mode lets
// others read the file (the operator may look at a log while it grows, as on POSIX) but
// not write to it, so a second copy of this program, or any program that opens the file
// for writing, gets a sharing violation: "in use by another program". The same holds the
// other way round: a file another program has open for writing is not taken.
// The int handle of the header is the HANDLE's value: Windows keeps handles within 32
// bits (HandleToLong and LongToHandle exist for this), and valid ones are above 0.
#include <algorithm>
#include <stdexcept>

#include "common/win32_text.h"
#include "common/windows_api.h"
#include "record/log_file.h"

namespace tagris {

namespace {

using win32::ThrowFileError;

[[noreturn]] void Refuse(const std::string& path, const char* why) {
  throw std::runtime_error("Cannot replace the file " + path + ": " + why);
}

HANDLE Open(const std::wstring& path, DWORD disposition) {
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Keeps only a file on disk: a name such as NUL or COM1, or a pipe, opens something else.
HANDLE OnlyRegular(HANDLE h, const std::string& path) {
  const DWORD type = GetFileType(h);
  if (type == FILE_TYPE_DISK) return h;
  CloseHandle(h);
  Refuse(path, type == FILE_TYPE_PIPE ? "it is a named pipe, not a regular file"
               : type == FILE_TYPE_CHAR ? "it is a device, not a regular file"
                                        : "it is not a regular file");
}

int ToInt(HANDLE h) { return static_cast<int>(HandleToLong(h)); }

}  // namespace

bool PathExists(const std::string& path) {
  return GetFileAttributesW(win32::Widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

int CreateLogFile(const std::string& path) {
  const std::wstring name = win32::Widen(path);
  if (name.empty()) ThrowFileError("Cannot create the file", path, ERROR_INVALID_NAME);
  // A file that appears or vanishes between two steps sends us the other way, once.
  for (int round = 0; round < 2; ++round) {
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      const DWORD err = GetLastError();
      if (err != ERROR_FILE_NOT_FOUND) ThrowFileError("Cannot create the file", path, err);
      const HANDLE created = Open(name, CREATE_NEW);
      if (created != INVALID_HANDLE_VALUE) return ToInt(OnlyRegular(created, path));
      if (GetLastError() != ERROR_FILE_EXISTS) ThrowFileError("Cannot create the file", path, GetLastError());
      continue;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) Refuse(path, "it is a folder, not a regular file");
    const HANDLE existing = Open(name, OPEN_EXISTING);
    if (existing == INVALID_HANDLE_VALUE) {
      const DWORD err = GetLastError();
      if (err == ERROR_SHARING_VIOLATION) Refuse(path, "it is in use by another program");
      if (err == ERROR_FILE_NOT_FOUND && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        Refuse(path, "it is a link to a file that does not exist");
      if (err == ERROR_FILE_NOT_FOUND) continue;
      ThrowFileError("Cannot replace the file", path, err);
    }
    // Emptied only now that it is ours, on this very handle: the file keeps its
    // attributes and permissions, and a link to it stays a link.
    OnlyRegular(existing, path);
    if (!SetEndOfFile(existing)) {
      const DWORD err = GetLastError();
      CloseHandle(existing);
      ThrowFileError("Cannot replace the file", path, err);
    }
    return ToInt(existing);
  }
  ThrowFileError("Cannot create the file", path, ERROR_BUSY);
}

void WriteLogBytes(int fd, std::string_view bytes, const std::string& path) {
  const HANDLE h = LongToHandle(fd);
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 24));
    DWORD n = 0;
    if (!WriteFile(h, bytes.data(), chunk, &n, nullptr)) ThrowFileError("Cannot write to the file", path, GetLastError());
    if (n == 0) ThrowFileError("Cannot write to the file", path, ERROR_DISK_FULL);
    bytes.remove_prefix(n);
  }
}

void CloseLogFd(int fd) {
  if (fd > 0) CloseHandle(LongToHandle(fd));
}

}  // namespace tagris
