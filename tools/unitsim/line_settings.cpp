#include "line_settings.h"

// termios2 (TCGETS2) gives the speed as a number, custom speeds included; it
// clashes with <termios.h>, which this file therefore does not include.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <array>
#include <utility>

namespace tagris::unitsim {

namespace {

constexpr std::array<std::uint32_t, 8> kCodeSpeeds = {4800, 4800, 4800, 4800, 9600, 14400, 19200, 38400};

}  // namespace

std::string_view ParityName(Parity parity) {
  switch (parity) {
    case Parity::Even:
      return "even";
    case Parity::Odd:
      return "odd";
    case Parity::None:
      break;
  }
  return "none";
}

std::optional<Parity> ParseParity(std::string_view name) {
  for (Parity p : {Parity::None, Parity::Even, Parity::Odd})
    if (ParityName(p) == name) return p;
  return std::nullopt;
}

std::string Describe(const LineSettings& s) {
  return std::to_string(s.baud) + " baud, parity " + std::string(ParityName(s.parity)) + ", " +
         std::to_string(s.stopBits) + (s.stopBits == 1 ? " stop bit" : " stop bits");
}

std::optional<LineSettings> ReadLineSettings(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return std::nullopt;
  LineSettings s;
  s.baud = t.c_ospeed;
  s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
  if (t.c_cflag & PARODD)
    s.parity = Parity::Odd;  // a pty drops PARENB but keeps PARODD
  else if (t.c_cflag & PARENB)
    s.parity = Parity::Even;
  return s;
}

bool ConfigureLine(int fd, const LineSettings& s) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return false;
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY);
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
  t.c_cflag |= CS8 | CLOCAL | CREAD | BOTHER | (BOTHER << IBSHIFT);
  if (s.parity != Parity::None) t.c_cflag |= PARENB;
  if (s.parity == Parity::Odd) t.c_cflag |= PARODD;
  if (s.stopBits == 2) t.c_cflag |= CSTOPB;
  t.c_ispeed = s.baud;
  t.c_ospeed = s.baud;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  return ioctl(fd, TCSETS2, &t) == 0;
}

std::string LineMismatch(const LineSettings& seen, const LineSettings& own) {
  std::string why;
  auto add = [&why](const std::string& part) { why += (why.empty() ? "" : ", ") + part; };
  if (seen.baud != own.baud) add("speed " + std::to_string(seen.baud) + ", unit at " + std::to_string(own.baud));
  if (seen.stopBits != own.stopBits)
    add(std::to_string(seen.stopBits) + " stop bits, unit at " + std::to_string(own.stopBits));
  if ((seen.parity == Parity::Odd) != (own.parity == Parity::Odd))
    add("parity " + std::string(ParityName(seen.parity)) + ", unit at " + std::string(ParityName(own.parity)));
  return why;
}

std::optional<std::uint16_t> SerialSettingsWord(const LineSettings& s) {
  // 4800 is written as code 0, the way the tool writes it.
  static constexpr std::pair<std::uint32_t, std::uint16_t> kSpeeds[] = {
      {4800, 0}, {9600, 4}, {14400, 5}, {19200, 6}, {38400, 7}};
  std::optional<std::uint16_t> word;
  for (const auto& [baud, code] : kSpeeds)
    if (s.baud == baud) word = code;
  if (!word) return std::nullopt;
  if (s.parity == Parity::Even) *word |= 1 << 3;
  if (s.parity == Parity::Odd) *word |= 2 << 3;
  if (s.stopBits == 2) *word |= 1 << 5;
  return word;
}

LineSettings FromSerialSettingsWord(std::uint16_t word) {
  LineSettings s;
  s.baud = kCodeSpeeds[word & 0x07];
  const int parity = (word >> 3) & 0x03;
  s.parity = parity == 1 ? Parity::Even : parity == 2 ? Parity::Odd : Parity::None;
  s.stopBits = (word & 0x20) ? 2 : 1;
  return s;
}

}  // namespace tagris::unitsim
