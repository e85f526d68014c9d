#pragma once
// Text at the edge of the Win32 API (Windows builds only): paths arrive as UTF-8 and
// go to the wide-character calls; system error codes become readable reasons.
#include <string>
#include <string_view>

namespace tagris::win32 {

// UTF-8 to UTF-16 for the W functions; invalid sequences become U+FFFD.
std::wstring Widen(std::string_view utf8);

// UTF-16 from the W functions to UTF-8; unpaired surrogates become U+FFFD.
std::string Narrow(std::wstring_view utf16);

// The system's text for a Win32 error code (GetLastError), in UTF-8, without the
// trailing full stop and line break; "error N" when the system has no text for it.
std::string ErrorText(unsigned long code);

// Throws std::runtime_error "<what> <path>: <ErrorText(code)>", the form of every
// file error the operator sees.
[[noreturn]] void ThrowFileError(const char* what, const std::string& path, unsigned long code);

}  // namespace tagris::win32
