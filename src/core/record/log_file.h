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

// True when something (a file, a directory, a dangling link) sits at path.
bool PathExists(const std::string& path);

// Removes whatever existed at path and creates it new and empty (0644), exclusive:
// O_EXCL plus flock, so no other instance of the program opens it while we write.
// Returns the descriptor; throws std::runtime_error naming the path and the reason.
int CreateLogFile(const std::string& path);

// Writes bytes unbuffered; they are in the file when the call returns.
// Throws std::runtime_error naming the path and the reason (disk full, device gone).
void WriteLogBytes(int fd, std::string_view bytes, const std::string& path);

// Closes fd when it is an open log file (not 0 and not negative).
void CloseLogFd(int fd);

}  // namespace tagris
