#pragma once
// What tagris-cli asks of the operating system beyond the core, one file per system:
// platform_posix.cpp and platform_win32.cpp. They also hold the system side of
// AppendFile and StopSignals (watch.h) and FindSerialPorts (scan.h).
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace tagris::cli {

// The port the help and error texts show as an example.
#ifdef _WIN32
inline constexpr std::string_view kPortExample = "COM3";
#else
inline constexpr std::string_view kPortExample = "/dev/ttyUSB0";
#endif

// The arguments after the program name, in UTF-8. Windows starts the program at
// wmain with the wide arguments: a narrow argv there is in the ANSI code page, which
// cannot hold every file name.
#ifdef _WIN32
std::vector<std::string> ProgramArguments(int argc, wchar_t* argv[]);
#else
std::vector<std::string> ProgramArguments(int argc, char* argv[]);
#endif

// Whether standard error is a terminal that can draw scan's progress bar (on
// Windows a console that takes the escape sequences the bar is drawn with).
bool ProgressBarPossible();

// The ports scan tries when none is named: FindSerialPorts("/dev") on POSIX; on
// Windows COM1..COM256, those that are there.
std::vector<std::string> DefaultSerialPorts();

// The local time of moment, and its offset from UTC in seconds at that moment.
std::tm LocalTime(std::time_t moment, long& utcOffsetSeconds);

}  // namespace tagris::cli
