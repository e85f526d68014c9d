#pragma once
// Rates without a Bxxx constant go through the kernel's termios2 interface; it
// lives in its own file because its header clashes with <termios.h>.
#include <cstdint>

namespace tagris::detail {

// Sets input and output speed of fd to baud (BOTHER). False when refused.
bool SetCustomBaud(int fd, std::uint32_t baud);

// The output speed the driver holds for fd, 0 when it cannot be read.
std::uint32_t GetBaud(int fd);

}  // namespace tagris::detail
