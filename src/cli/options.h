#pragma once
// The command line of tagris-cli, parsed into what to do. No I/O here.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/commands.h"
#include "scan.h"
#include "serial/serial_port.h"

namespace tagris::cli {

// Exit status of every command.
enum ExitCode : int {
  kExitOk = 0,
  kExitUsage = 1,         // a wrong command line, or the port could not be opened or was lost
  kExitNoReply = 2,       // the unit did not answer
  kExitInvalid = 3,       // answers came, but none was valid
  kExitNotConfirmed = 4,  // a write was refused, not echoed, or did not show in the registers
};

enum class Command { None, Read, Watch, Write, Scan, Diag };

enum class WriteKind { Channel, Grade, Salinity, Serial, Address };

// One write as the window's button would send it, with what it means.
struct WriteOrder {
  WriteKind kind = WriteKind::Channel;
  RegisterWrite write;
  std::int32_t channel = 0;  // grade and salinity: the clamped channel
  PortSettings newLine;      // serial: the line settings the unit takes on
  std::uint8_t newAddress = 0;  // address: where the unit answers next
};

struct Invocation {
  Command command = Command::None;
  bool help = false;
  bool version = false;
  std::string error;  // one sentence for the operator when the command line is wrong

  // Every command.
  std::string port;
  PortSettings line;
  std::uint8_t address = 5;
  std::chrono::milliseconds timeout{1000};
  bool json = false;

  // watch
  std::chrono::milliseconds interval{1000};
  std::optional<std::int64_t> count;  // stop after this many good replies; diag: polls
  std::string csvPath;
  std::string logPath;

  // write
  WriteOrder order;

  // scan: every --port, the address range and its own options
  ScanOptions scan;
};

// args without the program name.
Invocation ParseArguments(const std::vector<std::string>& args);

// The words after "write" turned into the frame the window would send: the same
// conversions (whole numbers and decimals as its input fields read them), clamps
// and truncation. Sets error when the words do not make a write.
std::optional<WriteOrder> ParseWrite(const std::vector<std::string>& words, std::string& error);

// Help for one command, or the overview for Command::None.
std::string HelpText(Command command);

// "4800" .. "38400" of the window's rate box for the serial write; the parity and stop
// words of the command line.
std::optional<Parity> ParseParity(std::string_view word);

}  // namespace tagris::cli
