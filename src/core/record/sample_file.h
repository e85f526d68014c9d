#pragma once
// The sample file "Tagris.txt": one line per sample, each cell followed by ";",
// no header. Windows-1251, CR LF, "." as the decimal point.
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace tagris {

inline constexpr const char* kSampleFileName = "Tagris.txt";

// Column 0 of a sample row: "dd.mm.yyyy hh:mm:ss"; at exactly 00:00:00.000 the date alone.
std::string SampleTimeText(int year, int month, int day, int hour, int minute, int second,
                           int msec);

// Columns 1 to 4 of a sample row: mask "#####.0" (23.46 -> "23.5", 0.5 -> ".5").
std::string SampleValueText(double value);

// The five cell texts (UTF-8) in Windows-1251, each followed by ";". The line break is
// added by AppendLineText, which knows whether it goes before or after the line.
std::string SampleLine(const std::array<std::string, 5>& cells);

// Every lone CR and every lone LF becomes CR LF; CR LF pairs stay.
std::string NormaliseLineBreaks(std::string_view text);

// The file text after one sample: text normalised, then, when it is empty or ends with a
// line break, line + CR LF; otherwise CR LF + line with no line break after it.
std::string AppendLineText(std::string_view text, std::string_view line);

// The two file functions below are the operating system's part: sample_file_posix.cpp,
// sample_file_win32.cpp.

// The whole content of path, or nullopt when there is no file there.
// Throws std::runtime_error naming the path and the reason when it cannot be read.
std::optional<std::string> ReadFileIfPresent(const std::string& path);

// Replaces the content of path with bytes without ever leaving it half-written: the text
// goes to a temporary file in the same folder, which is then renamed over the old file.
// On failure the old file stays as it was and std::runtime_error names the path and reason.
void WriteFileSafely(const std::string& path, std::string_view bytes);

// Appends one sample line (from SampleLine) to the file at path; returns the new whole text.
std::string AppendSampleLine(const std::string& path, std::string_view line);

}  // namespace tagris
