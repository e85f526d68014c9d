#pragma once
// The unit's own serial settings, the word in register 0 that reports them, and
// what a master set on the pseudo-terminal. A pty carries no real speed, but both
// ends share one termios, so the unit can see the speed, stop bits and odd parity
// the master chose and answer the way a unit at other settings would.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tagris::unitsim {

enum class Parity { None, Even, Odd };

struct LineSettings {
  std::uint32_t baud = 9600;
  Parity parity = Parity::None;
  int stopBits = 1;  // 1 or 2
  bool operator==(const LineSettings&) const = default;
};

std::string_view ParityName(Parity parity);  // "none", "even", "odd"
std::optional<Parity> ParseParity(std::string_view name);
std::string Describe(const LineSettings& s);  // "9600 baud, parity none, 1 stop bit"

// The settings a program set on either end of a pty, read from `fd` (any tty).
// Custom speeds (BOTHER) read as the number set. Linux clears PARENB on ptys, so
// even parity reads as None there; odd still shows through PARODD.
std::optional<LineSettings> ReadLineSettings(int fd);

// Sets up `fd` the way a Modbus master sets up its port: raw 8-bit bytes, no
// flow control, reads that do not wait, at these settings (any speed). For tests
// and tools that play the master.
bool ConfigureLine(int fd, const LineSettings& s);

// Why a master at `seen` cannot understand a unit at `own` ("speed 19200, unit at
// 9600"), or empty when it can. Even and none count as the same parity, because a
// pty cannot tell them apart.
std::string LineMismatch(const LineSettings& seen, const LineSettings& own);

// Register 0: bits 0-2 the speed (0-3: 4800, 4: 9600, 5: 14400, 6: 19200, 7: 38400),
// bits 3-4 the parity (1 even, 2 odd, 0 and 3 none), bit 5 two stop bits.
// Empty for a speed the unit has no code for.
std::optional<std::uint16_t> SerialSettingsWord(const LineSettings& s);
LineSettings FromSerialSettingsWord(std::uint16_t word);

}  // namespace tagris::unitsim
