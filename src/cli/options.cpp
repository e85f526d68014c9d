#include "options.h"

#include <cmath>
#include <utility>

#include "common/convert.h"
#include "diag.h"
#include "platform.h"

namespace tagris::cli {

namespace {

constexpr std::string_view kOverview =
    "Usage: tagris-cli COMMAND --port NAME [options]\n"
    "Reads and sets the moisture meter over Modbus RTU, without the window.\n"
    "\n"
    "Commands:\n"
    "  read                  poll the unit once and print every value it reports\n"
    "  watch                 poll at an interval, one line per reply; optionally append a CSV\n"
    "                        file and write the window's log file; survives an unplugged adapter\n"
    "  write WHAT ARGS...    set a value in the unit and check that it took:\n"
    "                          channel N | grade CH VALUE | salinity CH VALUE |\n"
    "                          serial BAUD PARITY STOP | address N\n"
    "  scan                  find units: try ports, line settings and addresses (see scan --help)\n"
    "  diag                  poll as the window does and say what is wrong with the line\n"
    "\n";

constexpr std::string_view kConnection =
    "Connection (every command):\n"
#ifdef _WIN32
    "  --port NAME           serial port: COM1, COM2, ... (COM10 and above as well), or a\n"
    "                        device name such as \\\\.\\COM3, used as typed; required\n"
#else
    "  --port NAME           serial port: a path (/dev/ttyUSB0, /dev/serial/by-id/...), a name\n"
    "                        under /dev (ttyUSB0), or COM1..COMn for /dev/ttyS0..; required\n"
#endif
    "  --baud N              line speed in baud (default 9600); any positive rate\n"
    "  --parity P            none, even or odd (default none)\n"
    "  --stop N              stop bits, 1 or 2 (default 1)\n"
    "  --address N           the unit's Modbus address, 0..127 (default 5)\n"
    "  --timeout MS          how long to wait for an answer, in milliseconds (default 1000)\n"
    "  -h, --help            show this help; after a command, that command's help\n"
    "  --version             show the version\n"
    "\n";

constexpr std::string_view kExitStatus =
    "Exit status: 0 success, 1 usage or port error, 2 no reply, 3 only invalid replies,\n"
    "4 a write not confirmed.\n";

constexpr std::string_view kRead =
    "Usage: tagris-cli read --port NAME [options] [--json]\n"
    "Polls registers 0..53 once and prints every decoded value with its name and unit,\n"
    "one per line.\n"
    "\n"
    "  --json                one JSON object instead: registers (the 54 raw values), moisture,\n"
    "                        moisture_unlimited, temperature, mix_temperature, peak_frequency,\n"
    "                        peak_width, medium, channel, channels, serial, diagnostics\n"
    "\n";

constexpr std::string_view kWatch =
    "Usage: tagris-cli watch --port NAME [options] [--interval S] [--count N] [--csv FILE]\n"
    "                        [--log FILE] [--json]\n"
#ifdef _WIN32
    "Polls every S seconds until Ctrl+C or Ctrl+Break, the console window is closed, or N\n"
    "replies came.\n"
#else
    "Polls every S seconds until Ctrl+C (SIGINT), SIGTERM or SIGHUP, or until N replies came.\n"
#endif
    "Prints one line per reply: local time (ISO 8601 with offset), status and the main values.\n"
    "Status: ok for a reply; lost once when 3 polls in a row got no valid reply or the port\n"
    "hung up or disappeared; resumed on the first reply after that. A port that hung up or\n"
    "disappeared is reopened at the same path every second until it is back.\n"
    "\n"
    "  --interval S          seconds from one poll to the next, decimals allowed (default 1)\n"
    "  --count N             stop after N replies\n"
    "  --csv FILE            append a row per line to FILE (UTF-8, \".\" decimals; the header only\n"
    "                        when the file is new or empty); columns: time,status,moisture,\n"
    "                        moisture_unlimited,temperature,mix_temperature,peak_frequency,\n"
    "                        peak_width,medium,channel\n"
    "  --log FILE            write the window's log file (Windows-1251, CR LF): a header, then a\n"
    "                        line per reply; FILE must not exist yet\n"
    "  --json                print one JSON object per line instead of text\n"
#ifdef _WIN32
    "Every line reaches its file as it is written. Stopped so, watch finishes the current\n"
    "line and closes its files. It exits 0 after --count replies or a stop, 2 when no reply\n"
    "came at all, 3 when only invalid replies came.\n"
#else
    "Every line reaches its file as it is written. Stopped by a signal, watch finishes the\n"
    "current line and closes its files. It exits 0 after --count replies or a signal, 2 when\n"
    "no reply came at all, 3 when only invalid replies came.\n"
#endif
    "\n";

constexpr std::string_view kWrite =
    "Usage: tagris-cli write --port NAME [options] WHAT ARGS...\n"
    "Sends the same frame as the window's button, then checks it: the unit must echo the\n"
    "request, and a poll must show the new value within 3 seconds (or --timeout, if longer).\n"
    "Values out of range are clamped as in the window; the line printed says what was written.\n"
    "\n"
    "  channel N             the active channel, 1..14\n"
    "  grade CH VALUE        grade of channel CH, -9.99..9.99 (one decimal is stored)\n"
    "  salinity CH VALUE     salinity of channel CH, 90..120 (one decimal is stored)\n"
    "  serial BAUD PARITY STOP\n"
    "                        the unit's line settings: BAUD 4800, 9600, 14400, 19200 or 38400,\n"
    "                        PARITY none, even or odd, STOP 1 or 2; checked after reopening the\n"
    "                        port with the new settings\n"
    "  address N             the unit's new Modbus address, 1..127; checked at the new address\n"
    "\n";

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// Whole numbers as the window's fields read them.
std::optional<std::int64_t> WholeNumber(std::string_view text, std::int64_t low, std::int64_t high) {
  const auto v = TryStrToInt(text);
  if (!v || *v < low || *v > high) return std::nullopt;
  return *v;
}

// A word that stands for a value, not an option: "-1.5", "-.5".
bool LooksNegativeNumber(std::string_view word) {
  return word.size() > 1 && word[0] == '-' && ((word[1] >= '0' && word[1] <= '9') || word[1] == '.');
}

std::optional<Command> CommandNamed(std::string_view word) {
  if (word == "read") return Command::Read;
  if (word == "watch") return Command::Watch;
  if (word == "write") return Command::Write;
  if (word == "scan") return Command::Scan;
  if (word == "diag") return Command::Diag;
  return std::nullopt;
}

}  // namespace

std::optional<Parity> ParseParity(std::string_view word) {
  if (word == "none") return Parity::None;
  if (word == "even") return Parity::Even;
  if (word == "odd") return Parity::Odd;
  return std::nullopt;
}

std::string HelpText(Command command) {
  std::string text;
  switch (command) {
    case Command::None: text = std::string(kOverview); break;
    case Command::Read: text = std::string(kRead); break;
    case Command::Watch: text = std::string(kWatch); break;
    case Command::Write: text = std::string(kWrite); break;
    case Command::Scan: return ScanHelpText();  // scan sets the line itself: no connection options
    case Command::Diag: text = DiagHelpText(); break;
  }
  text += kConnection;
  text += kExitStatus;
  return text;
}

std::optional<WriteOrder> ParseWrite(const std::vector<std::string>& words, std::string& error) {
  static constexpr std::string_view kForms =
      "channel N, grade CH VALUE, salinity CH VALUE, serial BAUD PARITY STOP or address N";
  if (words.empty()) {
    error = "say what to write: " + std::string(kForms) + ".";
    return std::nullopt;
  }
  const std::string& what = words[0];
  const std::vector<std::string> args(words.begin() + 1, words.end());
  auto needs = [&](std::size_t n, std::string_view form) {
    if (args.size() == n) return true;
    error = "write " + what + " takes " + std::string(form) + ".";
    return false;
  };
  // The window's whole-number fields: StrToInt, then its clamp.
  auto integer = [&](const std::string& text, std::string_view name) -> std::optional<std::int32_t> {
    if (auto v = TryStrToInt(text)) return *v;
    error = std::string(name) + " must be a whole number, not " + Quoted(text) + ".";
    return std::nullopt;
  };

  WriteOrder order;
  if (what == "channel" || what == "address") {
    if (!needs(1, what == "channel" ? "one channel number, 1..14" : "one address, 1..127")) return std::nullopt;
    const auto n = integer(args[0], what == "channel" ? "the channel" : "the address");
    if (!n) return std::nullopt;
    if (what == "channel") {
      order.kind = WriteKind::Channel;
      order.channel = ClampChannel(*n);
      order.write = ChannelCommand(order.channel);
    } else {
      order.kind = WriteKind::Address;
      order.newAddress = static_cast<std::uint8_t>(ClampNewAddress(*n));
      order.write = AddressCommand(order.newAddress);
    }
    return order;
  }
  if (what == "grade" || what == "salinity") {
    if (!needs(2, "a channel and a value, e.g. write " + what + (what == "grade" ? " 3 1.5" : " 3 100.5")))
      return std::nullopt;
    // The window's order: the value field's validity first, then the channel.
    if (!IsNumberText(args[1])) {
      error = "the " + what + " must be a number such as 1.5, not " + Quoted(args[1]) + ".";
      return std::nullopt;
    }
    const auto channel = integer(args[0], "the channel");
    if (!channel) return std::nullopt;
    const double value = StrToFloat(args[1]);
    order.kind = what == "grade" ? WriteKind::Grade : WriteKind::Salinity;
    order.channel = ClampChannel(*channel);
    order.write = what == "grade" ? GradeCommand(order.channel, value) : SalinityCommand(order.channel, value);
    return order;
  }
  if (what == "serial") {
    if (!needs(3, "BAUD PARITY STOP, e.g. write serial 19200 even 1")) return std::nullopt;
    static constexpr std::string_view kRates[] = {"4800", "9600", "14400", "19200", "38400"};
    bool knownRate = false;
    for (std::string_view r : kRates) knownRate = knownRate || args[0] == r;
    if (!knownRate) {
      error = "the unit's speed must be 4800, 9600, 14400, 19200 or 38400, not " + Quoted(args[0]) + ".";
      return std::nullopt;
    }
    const auto parity = ParseParity(args[1]);
    if (!parity) {
      error = "the unit's parity must be none, even or odd, not " + Quoted(args[1]) + ".";
      return std::nullopt;
    }
    if (args[2] != "1" && args[2] != "2") {
      error = "the unit's stop bits must be 1 or 2, not " + Quoted(args[2]) + ".";
      return std::nullopt;
    }
    // The texts of the window's boxes, which the command matches.
    const std::string_view parityText =
        *parity == Parity::Even ? "EVENPARITY" : *parity == Parity::Odd ? "ODDPARITY" : "NOPARITY";
    order.kind = WriteKind::Serial;
    order.newLine.baud = StrToInt(args[0]);
    order.newLine.parity = *parity;
    order.newLine.twoStopBits = args[2] == "2";
    order.write = SerialSettingsCommand(args[0], parityText, order.newLine.twoStopBits);
    return order;
  }
  error = "cannot write " + Quoted(what) + ": write " + std::string(kForms) + ".";
  return std::nullopt;
}

Invocation ParseArguments(const std::vector<std::string>& args) {
  Invocation inv;
  std::vector<std::string> positional;
  std::string watchOnly;  // the first option seen that only watch takes
  std::string scanOnly;   // ... that only scan takes
  std::string notScan;    // ... that sets the line, which scan does itself
  std::string scanAddressError;  // --address is not one scan takes
  std::string addressError;      // --address is not one the other commands take
  auto fail = [&inv](std::string text) {
    if (inv.error.empty()) inv.error = std::move(text);
  };

  bool optionsEnd = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (optionsEnd || word.empty() || word[0] != '-' || word == "-" || LooksNegativeNumber(word)) {
      positional.push_back(word);
      continue;
    }
    if (word == "--") {
      optionsEnd = true;
      continue;
    }
    if (word == "-h" || word == "--help") {
      inv.help = true;
      continue;
    }
    if (word == "--version") {
      inv.version = true;
      continue;
    }
    if (word == "--json") {
      inv.json = true;
      continue;
    }
    if (word == "--all") {
      if (scanOnly.empty()) scanOnly = word;
      inv.scan.all = true;
      continue;
    }
    std::string name = word;
    std::optional<std::string> value;
    if (const auto eq = word.find('='); word.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = word.substr(0, eq);
      value = word.substr(eq + 1);
    }
    static constexpr std::string_view kValued[] = {"--port",     "--baud",  "--parity", "--stop", "--address",
                                                   "--timeout",  "--interval", "--count", "--csv",  "--log"};
    bool known = IsScanOption(name);
    for (std::string_view v : kValued) known = known || name == v;
    if (!known) {
      fail("unknown option " + Quoted(name) + ": see tagris-cli --help.");
      continue;
    }
    if (!value) {
      if (i + 1 >= args.size()) {
        fail(name + " needs a value: see tagris-cli --help.");
        continue;
      }
      value = args[++i];
    }
    const std::string& v = *value;
    if (watchOnly.empty() && (name == "--interval" || name == "--csv" || name == "--log")) watchOnly = name;
    if (notScan.empty() && (name == "--baud" || name == "--parity" || name == "--stop" || name == "--timeout"))
      notScan = name;
    if (name == "--bauds" || name == "--parities" || name == "--stops" || name == "--margin") {
      if (scanOnly.empty()) scanOnly = name;
      std::string error;
      if (!ParseScanOption(name, v, inv.scan, error)) fail(error);
      continue;
    }
    if (name == "--port") {
      if (v.empty()) fail("--port needs the name of a serial port, e.g. --port " + std::string(kPortExample) + ".");
      inv.port = v;
      inv.scan.ports.push_back(v);
    } else if (name == "--baud") {
      const auto n = WholeNumber(v, 1, INT32_MAX);
      if (!n) fail("--baud must be a positive whole number such as 9600, not " + Quoted(v) + ".");
      else inv.line.baud = *n;
    } else if (name == "--parity") {
      const auto p = ParseParity(v);
      if (!p) fail("--parity must be none, even or odd, not " + Quoted(v) + ".");
      else inv.line.parity = *p;
    } else if (name == "--stop") {
      if (v != "1" && v != "2") fail("--stop must be 1 or 2, not " + Quoted(v) + ".");
      else inv.line.twoStopBits = v == "2";
    } else if (name == "--address") {
      // Refused rather than clamped as the window's box does: there is no box here
      // to show the operator the address actually used.
      const auto n = WholeNumber(v, 0, 127);
      // scan takes a range as well, but not the broadcast address: which error
      // counts waits until the command is known.
      scanAddressError.clear();
      const bool scanTakes = ParseScanOption(name, v, inv.scan, scanAddressError);
      addressError.clear();
      if (n) inv.address = static_cast<std::uint8_t>(*n);
      else if (scanTakes) addressError = "--address " + v + " is a range, which only scan takes: give one address.";
      else addressError = "--address must be a whole number from 0 to 127, not " + Quoted(v) + ".";
    } else if (name == "--timeout") {
      const auto n = WholeNumber(v, 1, 600000);
      if (!n) fail("--timeout must be a number of milliseconds from 1 to 600000, not " + Quoted(v) + ".");
      else inv.timeout = std::chrono::milliseconds(*n);
    } else if (name == "--interval") {
      const auto s = TryStrToFloat(v);
      if (!s || !(*s >= 0 && *s <= 86400))
        fail("--interval must be a number of seconds from 0 to 86400, not " + Quoted(v) + ".");
      else inv.interval = std::chrono::milliseconds(std::llround(*s * 1000));
    } else if (name == "--count") {
      const auto n = WholeNumber(v, 1, INT32_MAX);
      if (!n) fail("--count must be a whole number of replies, 1 or more, not " + Quoted(v) + ".");
      else inv.count = *n;
    } else if (name == "--csv" || name == "--log") {
      if (v.empty()) fail(name + " needs a file name.");
      (name == "--csv" ? inv.csvPath : inv.logPath) = v;
    }
  }

  if (!positional.empty()) {
    if (const auto c = CommandNamed(positional[0])) {
      inv.command = *c;
    } else {
      fail("unknown command " + Quoted(positional[0]) +
           ": use read, watch or write; scan or diag to find the unit or check the line (see tagris-cli --help).");
    }
  }
  if (inv.help || inv.version) return inv;
  if (!inv.error.empty()) return inv;

  if (inv.command == Command::None) {
    inv.error = "name a command: read, watch or write; scan or diag to find the unit or check the line (see "
                "tagris-cli --help).";
    return inv;
  }
  const std::vector<std::string> rest(positional.begin() + 1, positional.end());
  if (inv.command == Command::Write) {
    std::string error;
    if (auto order = ParseWrite(rest, error)) inv.order = *order;
    else inv.error = error;
  } else if (!rest.empty()) {
    inv.error = "unexpected " + Quoted(rest[0]) + " after " + positional[0] + ": see tagris-cli " + positional[0] +
                " --help.";
  }
  if (!inv.error.empty()) return inv;

  if (inv.command != Command::Watch && !watchOnly.empty()) {
    inv.error = watchOnly + " belongs to watch: see tagris-cli watch --help.";
    return inv;
  }
  if (inv.count && inv.command != Command::Watch && inv.command != Command::Diag) {
    inv.error = "--count belongs to watch and diag: see tagris-cli --help.";
    return inv;
  }
  if (inv.command == Command::Scan) {
    if (!notScan.empty())
      inv.error = notScan + " does not apply to scan, which tries the line settings itself; narrow them with "
                            "--bauds, --parities and --stops (see tagris-cli scan --help).";
    else if (!scanAddressError.empty())
      inv.error = scanAddressError;
    inv.scan.json = inv.json;
    return inv;
  }
  if (!scanOnly.empty()) {
    inv.error = scanOnly + " belongs to scan: see tagris-cli scan --help.";
    return inv;
  }
  if (!addressError.empty()) {
    inv.error = addressError;
    return inv;
  }
  if (inv.command == Command::Write && inv.json) {
    inv.error = "--json belongs to read and watch: write reports in plain text.";
    return inv;
  }
  if (inv.port.empty()) {
    inv.error = "name the serial port with --port, e.g. --port " + std::string(kPortExample) + ".";
    return inv;
  }
  if (inv.command == Command::Write && inv.address == 0) {
    inv.error = "address 0 is the broadcast address, which never answers: give the unit's own address with "
                "--address to write.";
    return inv;
  }
  return inv;
}

}  // namespace tagris::cli
