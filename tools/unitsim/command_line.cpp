#include "command_line.h"

#include <charconv>
#include <cstdlib>
#include <optional>
#include <string_view>

namespace tagris::unitsim {

namespace {

std::optional<long long> ToInteger(std::string_view text, long long low, long long high) {
  long long value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high) return std::nullopt;
  return value;
}

std::optional<double> ToRate(const std::string& text) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !(value >= 0.0 && value <= 1.0)) return std::nullopt;
  return value;
}

}  // namespace

std::string Usage() {
  return "Usage: tagris-unit-sim [options]\n"
         "Stands in for the moisture meter: a Modbus RTU slave on a pseudo-terminal that\n"
         "answers the tool's polls and writes. Stop it with Ctrl+C.\n"
         "\n"
         "  --address N            Modbus address of the unit, 1..127 (default 5)\n"
         "  --link PATH            symlink to the line's device (default:\n"
         "                         $XDG_RUNTIME_DIR/tagris-unit when that is a directory,\n"
         "                         else /tmp/tagris-unit-$USER; here " + DefaultLinkPath() + ")\n"
         "  --baud N               the unit's line speed (default 9600, or the --pace speed)\n"
         "  --parity none|even|odd the unit's parity (default none)\n"
         "  --stop 1|2             the unit's stop bits (default 1)\n"
         "                         A master whose speed, stop bits or odd parity differ gets\n"
         "                         garbage instead of answers and its writes are not stored.\n"
         "                         The pseudo-terminal shows what the master set, except that\n"
         "                         Linux clears the parity-enable flag there: even parity\n"
         "                         cannot be told from none (odd can).\n"
         "  --no-line-check        answer whatever line settings the master set\n"
         "  --follow-serial-writes after echoing a write to register 0, use the settings it\n"
         "                         holds (the master must reopen with them)\n"
         "  --pace BAUD            send replies at the speed of BAUD, 10 bits a byte\n"
         "                         (default: at once, as a pseudo-terminal does; --baud alone\n"
         "                         does not pace)\n"
         "  --seed N               seed of the drifting values and of the faults (default 1)\n"
         "  --fault KIND[:RATE]    spoil a share RATE (0..1, default 1) of the answers. KIND:\n"
         "                           bad-crc        the CRC is wrong\n"
         "                           wrong-address  another address answers (good CRC)\n"
         "                           wrong-function another function code (good CRC)\n"
         "                           wrong-count    a read reply's byte count is off (good CRC)\n"
         "                           short          the reply is cut off\n"
         "                           trailing       extra bytes follow the reply\n"
         "                           flood          over 2048 bytes of garbage follow the reply\n"
         "                           bursts         the reply comes in pieces 20-60 ms apart\n"
         "                           garbage        bytes that form no frame (a wrong speed)\n"
         "                           echo           the request comes back, then the reply\n"
         "                           echo-only      the request comes back, no reply\n"
         "                           exception      an exception answer (--exception-code)\n"
         "                           late           the reply comes after --late-ms\n"
         "                           silent         no reply\n"
         "                           hangup         the line hangs up instead of the reply (a\n"
         "                                          write is still stored), the link goes away\n"
         "                                          for --hangup-ms, then a new device appears\n"
         "                           unplug         the adapter is pulled before the unit hears\n"
         "                                          the request (nothing stored): the same\n"
         "                                          hang-up, for --unplug-ms; also on SIGUSR1\n"
         "                           mix            all of them now and then, except late and\n"
         "                                          unplug\n"
         "  --exception-code N     code of the exception fault, 1..255 (default 4)\n"
         "  --late-ms N            delay of a late reply (default 700; the tool polls every 500)\n"
         "  --hangup-ms N          how long a hang-up keeps the line away (default 1000)\n"
         "  --unplug-ms N          how long an unplug keeps the line away (default 3000)\n"
         "  --refuse-writes[=CODE] answer writes with an exception, CODE 1..255 (default 4,\n"
         "                         device failure: understood but not done); store nothing\n"
         "  --ignore-writes        echo writes but store nothing (a checked write fails)\n"
         "  --silent-writes        neither answer nor store writes\n"
         "  --fixed-address        keep answering on --address after a write to register 49\n"
         "                         (by default the unit moves to the written address)\n"
         "  --negative-temperature let the temperature drift below 0 C\n"
         "  --no-drift             keep the measured values still\n"
         "  -v, --verbose          print every request and reply on stderr, and all counters\n"
         "                         at the end\n"
         "  -h, --help             show this text\n"
         "\n"
         "Signals: SIGUSR1 unplugs the line now for --unplug-ms; SIGUSR2 prints the counters;\n"
         "SIGINT, SIGTERM and SIGHUP stop the simulator.\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine result;
  SimulatorOptions& o = result.options;
  bool baudGiven = false;
  int writeModes = 0;
  auto fail = [&result](const std::string& text) {
    result.error = text;
    return result;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (const auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = name.substr(eq + 1);
      name.resize(eq);
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 < args.size()) return args[++i];
      return std::nullopt;
    };
    auto flag = [&]() { return !inlineValue; };

    if ((name == "-h" || name == "--help") && flag()) {
      result.help = true;
    } else if ((name == "-v" || name == "--verbose") && flag()) {
      o.traceFrames = true;
    } else if (name == "--fixed-address" && flag()) {
      o.followAddressWrites = false;
    } else if (name == "--negative-temperature" && flag()) {
      o.negativeTemperature = true;
    } else if (name == "--no-drift" && flag()) {
      o.drift = false;
    } else if (name == "--no-line-check" && flag()) {
      o.checkLineSettings = false;
    } else if (name == "--follow-serial-writes" && flag()) {
      o.followSerialWrites = true;
    } else if (name == "--ignore-writes" && flag()) {
      o.writePolicy = WritePolicy::Ignore;
      ++writeModes;
    } else if (name == "--silent-writes" && flag()) {
      o.writePolicy = WritePolicy::Silent;
      ++writeModes;
    } else if (name == "--refuse-writes") {
      // The code only in the same word: a separate word would be the next option.
      o.writePolicy = WritePolicy::Refuse;
      ++writeModes;
      if (inlineValue) {
        const auto n = ToInteger(*inlineValue, 1, 255);
        if (!n) return fail("--refuse-writes=CODE needs an exception code from 1 to 255");
        o.refuseCode = static_cast<std::uint8_t>(*n);
      }
    } else if (name == "--exception-code") {
      const auto v = value();
      const auto n = v ? ToInteger(*v, 1, 255) : std::nullopt;
      if (!n) return fail("--exception-code needs an exception code from 1 to 255");
      o.exceptionCode = static_cast<std::uint8_t>(*n);
    } else if (name == "--baud") {
      const auto v = value();
      const auto n = v ? ToInteger(*v, 50, 4000000) : std::nullopt;
      if (!n) return fail("--baud needs a baud rate such as 9600");
      o.line.baud = static_cast<std::uint32_t>(*n);
      baudGiven = true;
    } else if (name == "--parity") {
      const auto v = value();
      const auto p = v ? ParseParity(*v) : std::nullopt;
      if (!p) return fail("--parity needs none, even or odd");
      o.line.parity = *p;
    } else if (name == "--stop") {
      const auto v = value();
      const auto n = v ? ToInteger(*v, 1, 2) : std::nullopt;
      if (!n) return fail("--stop needs 1 or 2");
      o.line.stopBits = static_cast<int>(*n);
    } else if (name == "--late-ms" || name == "--unplug-ms") {
      const auto v = value();
      const auto n = v ? ToInteger(*v, 0, 600000) : std::nullopt;
      if (!n) return fail(name + " needs a number of milliseconds");
      (name == "--late-ms" ? o.lateTime : o.unplugTime) = std::chrono::milliseconds(*n);
    } else if (name == "--address") {
      const auto v = value();
      const auto n = v ? ToInteger(*v, 1, 127) : std::nullopt;
      if (!n) return fail("--address needs a number from 1 to 127");
      o.address = static_cast<std::uint8_t>(*n);
    } else if (name == "--link") {
      const auto v = value();
      if (!v || v->empty()) return fail("--link needs a path");
      o.linkPath = *v;
    } else if (name == "--pace") {
      const auto v = value();
      const auto n = v ? ToInteger(*v, 50, 4000000) : std::nullopt;
      if (!n) return fail("--pace needs a baud rate such as 9600");
      o.paceBaud = static_cast<std::uint32_t>(*n);
    } else if (name == "--seed") {
      const auto v = value();
      const auto n = v ? ToInteger(*v, 0, 0xFFFFFFFFll) : std::nullopt;
      if (!n) return fail("--seed needs a number from 0 to 4294967295");
      o.seed = static_cast<std::uint32_t>(*n);
    } else if (name == "--hangup-ms") {
      const auto v = value();
      const auto n = v ? ToInteger(*v, 0, 600000) : std::nullopt;
      if (!n) return fail("--hangup-ms needs a number of milliseconds");
      o.hangupTime = std::chrono::milliseconds(*n);
    } else if (name == "--fault") {
      const auto v = value();
      if (!v) return fail("--fault needs a kind");
      const auto colon = v->find(':');
      const auto kind = ParseFaultKind(std::string_view(*v).substr(0, colon));
      if (!kind) return fail("unknown fault kind '" + v->substr(0, colon) + "'");
      o.fault = *kind;
      o.faultRate = 1.0;
      if (colon != std::string::npos) {
        const auto rate = ToRate(v->substr(colon + 1));
        if (!rate) return fail("the rate of --fault must be a number from 0 to 1");
        o.faultRate = *rate;
      }
    } else {
      return fail("unknown option '" + args[i] + "'");
    }
  }
  if (writeModes > 1) return fail("choose one of --refuse-writes, --ignore-writes and --silent-writes");
  // A paced unit is a unit at that speed, unless told otherwise.
  if (!baudGiven && o.paceBaud > 0) o.line.baud = o.paceBaud;
  return result;
}

}  // namespace tagris::unitsim
