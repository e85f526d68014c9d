#pragma once
// The log file: a header line, then one tab-separated line per measurement reply.
// Windows-1251, CR LF, "." as the decimal point.
#include <optional>
#include <string>
#include <string_view>

namespace tagris {

// The 60-byte header line, CR LF included.
std::string LogHeader();

// One data line: reply count, moisture W twice, the receive trace text,
// the outside temperature and the DSP temperature; CR LF, no tab after the last field.
std::string LogDataLine(double plotTime, double moisture, std::string_view trace,
                        double temperature, double dspTemperature);

// Appends ".txt" when the last path component holds no '.'; "report." stays as it is.
std::string WithLogExtension(std::string path);

// The file functions below are the operating system's part: log_file_posix.cpp here,
// a twin for the other platform beside it. A log file is an int handle; 0 means "none".

// True when something (a file, a directory, a dangling link) sits at path.
bool PathExists(const std::string& path);

// Opens path as a new, empty log file, held exclusively for as long as it stays open,
// so another copy of the program cannot take the same file meanwhile. Returns a handle
// greater than 0. Throws std::runtime_error naming the path and the reason, leaving
// whatever was at path as it was, when:
// - the file is held by another program (another copy of this one logging to it);
// - path is not a regular file: a folder, named pipe, device, socket, or a link to one
//   of these or to nothing;
// - it cannot be created or opened for writing (missing folder, no permission).
// An existing regular file is replaced in place: its content is emptied only once it is
// held, and it keeps its permissions. A link to a regular file is followed: the file it
// points to gets the new content and the link stays as it was.
int CreateLogFile(const std::string& path);

// Writes bytes unbuffered; they are in the file when the call returns.
// Throws std::runtime_error naming the path and the reason (disk full, device gone).
void WriteLogBytes(int fd, std::string_view bytes, const std::string& path);

// Closes fd when it is an open log file (greater than 0), releasing the hold on it.
void CloseLogFd(int fd);

}  // namespace tagris
