#pragma once
// The prepared text file that the send-file command shows in the trace memo.
#include <string>
#include <string_view>
#include <vector>

namespace tagris {

inline constexpr std::string_view kSendFileName = "Send_me.txt";

// Windows-1251 text split into lines: it ends at the first NUL byte; LF, CR and
// CR LF each end a line, and a break at the very end opens no further line.
std::vector<std::string> SplitTextLines(std::string_view bytes);

// The whole file as bytes. Throws std::runtime_error "Cannot open file <path>"
// when it is missing or cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace tagris
