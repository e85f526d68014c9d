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
         "  --link PATH            symlink to the line's device (default /tmp/tagris-unit)\n"
         "  --pace BAUD            send replies at the speed of BAUD, 10 bits a byte\n"
         "                         (default: at once, as a pseudo-terminal does)\n"
         "  --seed N               seed of the drifting values and of the faults (default 1)\n"
         "  --fault KIND[:RATE]    spoil a share RATE (0..1, default 1) of the replies; KIND is\n"
         "                         bad-crc, wrong-address, silent, bursts, trailing, flood,\n"
         "                         hangup or mix (all of them now and then)\n"
         "  --hangup-ms N          how long a hang-up keeps the line away (default 1000)\n"
         "  --fixed-address        keep answering on --address after a write to register 49\n"
         "                         (by default the unit moves to the written address)\n"
         "  --negative-temperature let the temperature drift below 0 C\n"
         "  --no-drift             keep the measured values still\n"
         "  -v, --verbose          print every request and reply on stderr\n"
         "  -h, --help             show this text\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine result;
  SimulatorOptions& o = result.options;
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
  return result;
}

}  // namespace tagris::unitsim
