#pragma once
// tagris-cli scan: tries ports, line settings and addresses until units answer.
//
// Order: line settings outermost, so the likely ones are tried on every port
// before the unlikely ones on any; then ports; then addresses. The window's
// defaults come first (9600 baud, no parity, 1 stop bit, address 5). Then the
// other speeds at no parity and 1 stop bit (a changed speed is the most common
// change), then even parity with 1 stop bit (the Modbus default), no parity with
// 2 stop bits (what Modbus asks for without parity), odd parity with 1 stop bit,
// and even and odd with 2. Speeds within each: 9600, 19200, 38400, 4800, 14400.
// Addresses: 5, then 1 (a common factory default), then the rest upwards; an
// address that gave bytes at one setting goes first at the next ones.
//
// Each probe reads register 0 alone (7 bytes back, and the unit's own serial
// settings with them) and waits only as long as the line needs: the 8-byte
// request, 3.5 characters of silence, the 7-byte answer, plus a margin.
#include <chrono>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "serial/serial_port.h"

namespace tagris::cli {

// The speeds the unit can take (its register-0 codes).
inline constexpr std::int64_t kUnitSpeeds[] = {9600, 19200, 38400, 4800, 14400};

struct ScanOptions {
  std::vector<std::string> ports;  // empty: every serial port of this machine that opens
  std::vector<std::int64_t> bauds{std::begin(kUnitSpeeds), std::end(kUnitSpeeds)};
  std::vector<Parity> parities{Parity::None, Parity::Even, Parity::Odd};
  std::vector<bool> twoStopBits{false, true};
  int firstAddress = 1;
  int lastAddress = 127;
  std::chrono::milliseconds margin{20};  // added to the line time of each probe
  bool all = false;   // go on after the first unit
  bool json = false;
};

// Parses the options that only scan has, and scan's own --port and --address; the
// rest (--json, --help) is the common parser's. Returns false with a sentence in
// error when the value is wrong. Known names: --port, --address, --bauds,
// --parities, --stops, --margin, --all (no value).
bool ParseScanOption(std::string_view name, std::string_view value, ScanOptions& options, std::string& error);
bool IsScanOption(std::string_view name);
bool ScanOptionTakesValue(std::string_view name);

std::string ScanHelpText();

// The line settings in the order they are tried (see above), limited to the options' lists.
std::vector<PortSettings> ScanLineOrder(const ScanOptions& options);
// The addresses in the order they are tried, limited to the options' range.
std::vector<std::uint8_t> ScanAddressOrder(const ScanOptions& options);
// How long one probe waits at a line setting.
std::chrono::microseconds ProbeWait(const PortSettings& line, std::chrono::milliseconds margin);
// The longest a scan of `ports` ports can take: every probe unanswered, plus
// reopening each port at each setting.
std::chrono::microseconds ScanWorstCase(const ScanOptions& options, std::size_t ports);
// "2 min 31.2 s", "4.5 s": rounded up to the tenth
std::string DurationText(std::chrono::microseconds t);

#ifndef _WIN32
// The serial devices under root (normally "/dev"): serial/by-id/* first (their
// targets are not listed again), then ttyUSB*, ttyACM*, ttyS* in number order.
// Windows has DefaultSerialPorts (platform.h) alone.
std::vector<std::string> FindSerialPorts(const std::string& root = "/dev");
#endif

struct FoundUnit {
  std::string port;
  PortSettings line;         // the settings it answered at
  std::uint8_t address = 0;
  std::uint16_t serialWord = 0;  // register 0: the unit's own serial settings
};

// The units found, as printed.
std::string FoundText(const FoundUnit& unit);
std::string FoundJson(const std::vector<FoundUnit>& units);

// progressTo: true when the progress bar is wanted (stderr is a terminal).
int RunScan(const ScanOptions& options, std::ostream& out, std::ostream& err, bool progress);

}  // namespace tagris::cli
