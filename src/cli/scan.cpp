#include "scan.h"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <set>

#include "common/convert.h"
#include "connection/connection.h"
#include "diag.h"
#include "json.h"
#include "measure/register_block.h"
#include "options.h"
#include "platform.h"
#include "render.h"

namespace tagris::cli {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Closing and opening a port at the next line setting: thread start and stop, termios.
constexpr microseconds kReopenAllowance{10000};
// Handing a probe to the link and waking for its end, beyond the wait itself.
constexpr microseconds kProbeOverhead{500};
// How often the progress bar is redrawn at most.
constexpr milliseconds kProgressEvery{100};

// The read that proves a unit: register 0 alone.
constexpr std::uint16_t kProbeRegister = 0;
constexpr std::uint16_t kProbeCount = 1;

// Parity and stop bits, most likely first (see scan.h).
constexpr std::array<std::pair<Parity, bool>, 6> kFrameOrder = {{
    {Parity::None, false},
    {Parity::Even, false},
    {Parity::None, true},
    {Parity::Odd, false},
    {Parity::Even, true},
    {Parity::Odd, true},
}};

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

std::vector<std::string> SplitList(std::string_view text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = text.find(',', start);
    out.emplace_back(text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return out;
}

std::optional<int> WholeIn(std::string_view text, int low, int high) {
  const auto v = TryStrToInt(text);
  if (!v || *v < low || *v > high) return std::nullopt;
  return static_cast<int>(*v);
}

// The progress bar on a terminal, and notes that must not tear it.
class Progress {
 public:
  Progress(std::ostream& err, bool on, microseconds total) : err_(err), on_(on), total_(total) {}
  ~Progress() { Clear(); }

  void Advance(microseconds by, const std::string& where) {
    done_ += by;
    where_ = where;
    if (!on_) return;
    const auto now = Clock::now();
    if (drawn_ && now - lastDraw_ < kProgressEvery) return;
    Draw();
    lastDraw_ = now;
  }
  // A line for the operator, above the bar.
  void Note(const std::string& line) {
    Clear();
    err_ << line << '\n' << std::flush;
  }
  void Clear() {
    if (!drawn_) return;
    err_ << "\r\033[K" << std::flush;
    drawn_ = false;
  }

 private:
  void Draw() {
    constexpr int kWidth = 30;
    const double share = total_.count() > 0 ? std::min(1.0, static_cast<double>(done_.count()) /
                                                                 static_cast<double>(total_.count()))
                                            : 1.0;
    const int filled = static_cast<int>(share * kWidth);
    err_ << "\r[" << std::string(filled, '#') << std::string(kWidth - filled, '.') << "] "
         << static_cast<int>(share * 100) << "%  " << where_ << "\033[K" << std::flush;
    drawn_ = true;
  }

  std::ostream& err_;
  bool on_;
  microseconds total_;
  microseconds done_{0};
  std::string where_;
  bool drawn_ = false;
  Clock::time_point lastDraw_{};
};

std::string UnitLineText(std::uint16_t word) {
  const SerialSettingsWord s = DecodeSerialSettings(word);
  const int stop = StopBitCount(s.stopBits);
  return std::to_string(s.baudRate) + " baud, parity " + std::string(ParityWord(s.parity)) + ", " +
         std::to_string(stop) + (stop == 2 ? " stop bits" : " stop bit");
}

std::string_view ParityName(Parity p) { return p == Parity::Even ? "even" : p == Parity::Odd ? "odd" : "none"; }

// Per port: what the scan learnt so far.
struct PortState {
  std::string name;
  std::unique_ptr<Connection> connection = std::make_unique<Connection>();
  std::vector<std::uint8_t> first;  // addresses that gave bytes: tried first from now on
  std::set<std::uint8_t> found;
  bool echoNoted = false;
  bool goneNoted = false;  // it could not be opened again: said once
};

}  // namespace

bool IsScanOption(std::string_view name) {
  return name == "--port" || name == "--address" || name == "--bauds" || name == "--parities" || name == "--stops" ||
         name == "--margin" || name == "--all";
}

bool ScanOptionTakesValue(std::string_view name) { return IsScanOption(name) && name != "--all"; }

bool ParseScanOption(std::string_view name, std::string_view value, ScanOptions& o, std::string& error) {
  if (name == "--all") {
    o.all = true;
    return true;
  }
  if (name == "--port") {
    if (value.empty()) {
      error = "--port needs the name of a serial port, e.g. --port " + std::string(kPortExample) + ".";
      return false;
    }
    o.ports.emplace_back(value);
    return true;
  }
  if (name == "--address") {
    const std::size_t dash = value.find('-');
    const auto low = WholeIn(value.substr(0, dash), 1, 127);
    const auto high = dash == std::string_view::npos ? low : WholeIn(value.substr(dash + 1), 1, 127);
    if (!low || !high || *low > *high) {
      error = "--address must be an address from 1 to 127 or a range such as 1-20, not " + Quoted(value) + ".";
      return false;
    }
    o.firstAddress = *low;
    o.lastAddress = *high;
    return true;
  }
  if (name == "--bauds") {
    std::vector<std::int64_t> bauds;
    for (const std::string& word : SplitList(value)) {
      const auto v = TryStrToInt(word);
      if (!v || std::find(std::begin(kUnitSpeeds), std::end(kUnitSpeeds), *v) == std::end(kUnitSpeeds)) {
        error = "--bauds takes speeds of the unit, 4800, 9600, 14400, 19200 or 38400, separated by commas, not " +
                Quoted(word) + ".";
        return false;
      }
      bauds.push_back(*v);
    }
    o.bauds = bauds;
    return true;
  }
  if (name == "--parities") {
    std::vector<Parity> parities;
    for (const std::string& word : SplitList(value)) {
      const auto p = ParseParity(word);
      if (!p) {
        error = "--parities takes none, even and odd, separated by commas, not " + Quoted(word) + ".";
        return false;
      }
      parities.push_back(*p);
    }
    o.parities = parities;
    return true;
  }
  if (name == "--stops") {
    std::vector<bool> stops;
    for (const std::string& word : SplitList(value)) {
      if (word != "1" && word != "2") {
        error = "--stops takes 1 and 2, separated by commas, not " + Quoted(word) + ".";
        return false;
      }
      stops.push_back(word == "2");
    }
    o.twoStopBits = stops;
    return true;
  }
  if (name == "--margin") {
    const auto ms = WholeIn(value, 0, 10000);
    if (!ms) {
      error = "--margin must be a number of milliseconds from 0 to 10000, not " + Quoted(value) + ".";
      return false;
    }
    o.margin = milliseconds(*ms);
    return true;
  }
  error = "unknown option " + Quoted(name) + ": see tagris-cli scan --help.";
  return false;
}

std::string ScanHelpText() {
  return "Usage: tagris-cli scan [--port NAME]... [--address A-B] [--bauds LIST] [--parities LIST]\n"
         "                       [--stops LIST] [--margin MS] [--all] [--json]\n"
         "Looks for units: tries line settings, ports and addresses until one answers, and prints\n"
         "the port, speed, parity, stop bits and address to type into the window, with the unit's\n"
         "own serial settings (register 0). Before it starts it prints the longest it can take; on a\n"
         "terminal it shows a progress bar. Results go to stdout, progress and notes to stderr.\n"
         "\n"
         "  --port NAME           a port to scan; repeat for more (default: every serial port of\n"
#ifdef _WIN32
         "                        this machine that opens: COM1 to COM256)\n"
#else
         "                        this machine that opens: /dev/serial/by-id/*, then ttyUSB*,\n"
         "                        ttyACM*, ttyS*)\n"
#endif
         "  --address A-B         the addresses to try, or one address N (default 1-127)\n"
         "  --bauds LIST          speeds to try, e.g. 9600,19200 (default 9600,19200,38400,4800,14400)\n"
         "  --parities LIST       parities to try, e.g. none,even (default none,even,odd)\n"
         "  --stops LIST          stop bits to try, e.g. 1 or 1,2 (default 1,2)\n"
         "  --margin MS           added to each probe's wait (default 20); raise it for a slow\n"
         "                        converter or gateway on the way\n"
         "  --all                 go on after the first unit and find every unit on every port\n"
         "  --json                print a JSON array: one object per unit with port, baud, parity,\n"
         "                        stop, address and unit_serial (baud, parity, stop)\n"
         "\n"
         "Order: the window's defaults first (9600 baud, no parity, 1 stop bit, address 5), then\n"
         "the other speeds at no parity and 1 stop bit, then even parity, 2 stop bits without\n"
         "parity, odd parity, and even and odd with 2 stop bits; addresses 5, 1, then upwards.\n"
         "Each probe reads register 0 and waits for the 8-byte request, 3.5 characters of\n"
         "silence and the 7-byte answer at the speed tried, plus the margin. A setting that gives\n"
         "bytes but no valid frame (as a wrong speed does) is noted, and the scan moves on to the\n"
         "next setting, trying that address first.\n"
         "Exit status: 0 a unit was found, 1 usage error or no port could be opened, 2 no unit found.\n";
}

std::vector<PortSettings> ScanLineOrder(const ScanOptions& o) {
  std::vector<PortSettings> lines;
  for (const auto& [parity, two] : kFrameOrder) {
    if (std::find(o.parities.begin(), o.parities.end(), parity) == o.parities.end()) continue;
    if (std::find(o.twoStopBits.begin(), o.twoStopBits.end(), two) == o.twoStopBits.end()) continue;
    for (std::int64_t baud : kUnitSpeeds)
      if (std::find(o.bauds.begin(), o.bauds.end(), baud) != o.bauds.end()) lines.push_back({baud, parity, two});
  }
  return lines;
}

std::vector<std::uint8_t> ScanAddressOrder(const ScanOptions& o) {
  std::vector<std::uint8_t> order;
  for (int a : {5, 1})
    if (a >= o.firstAddress && a <= o.lastAddress) order.push_back(static_cast<std::uint8_t>(a));
  for (int a = o.firstAddress; a <= o.lastAddress; ++a)
    if (a != 5 && a != 1) order.push_back(static_cast<std::uint8_t>(a));
  return order;
}

microseconds ProbeWait(const PortSettings& line, milliseconds margin) {
  // 8 + 3.5 + 7 characters.
  return CharacterTime(line) * 37 / 2 + margin;
}

microseconds ScanWorstCase(const ScanOptions& o, std::size_t ports) {
  const auto addresses = static_cast<std::int64_t>(ScanAddressOrder(o).size());
  microseconds total{0};
  for (const PortSettings& line : ScanLineOrder(o))
    total += static_cast<std::int64_t>(ports) * (kReopenAllowance + addresses * (ProbeWait(line, o.margin) + kProbeOverhead));
  return total;
}

std::string DurationText(microseconds t) {
  const long long tenths = (t.count() + 99999) / 100000;  // up: it is a bound
  const long long minutes = tenths / 600;
  const std::string seconds = std::to_string(tenths % 600 / 10) + "." + std::to_string(tenths % 10) + " s";
  return minutes ? std::to_string(minutes) + " min " + seconds : seconds;
}

std::string FoundText(const FoundUnit& u) {
  std::string text = "Found a unit on " + u.port + ": " + LineText(u.line) + ", address " +
                     std::to_string(u.address) + "\n  its own serial settings (register 0): " +
                     UnitLineText(u.serialWord) + "\n";
  const SerialSettingsWord own = DecodeSerialSettings(u.serialWord);
  if (ParityWord(own.parity) != ParityName(u.line.parity))
    text += "  it answered at parity " + std::string(ParityName(u.line.parity)) + " although it reports " +
            std::string(ParityWord(own.parity)) +
            ": this line does not check parity (a pseudo-terminal, some adapters); type the unit's own\n";
  return text;
}

std::string FoundJson(const std::vector<FoundUnit>& units) {
  JsonWriter json;
  json.BeginArray();
  for (const FoundUnit& u : units) {
    const SerialSettingsWord own = DecodeSerialSettings(u.serialWord);
    json.BeginObject();
    json.Key("port").String(u.port);
    json.Key("baud").Integer(u.line.baud);
    json.Key("parity").String(ParityName(u.line.parity));
    json.Key("stop").Integer(u.line.twoStopBits ? 2 : 1);
    json.Key("address").Integer(u.address);
    json.Key("unit_serial").BeginObject();
    json.Key("baud").Integer(own.baudRate);
    json.Key("parity").String(ParityWord(own.parity));
    json.Key("stop").Integer(StopBitCount(own.stopBits));
    json.EndObject();
    json.EndObject();
  }
  json.EndArray();
  return json.Text() + "\n";
}

int RunScan(const ScanOptions& options, std::ostream& out, std::ostream& err, bool progressBar) {
  const bool named = !options.ports.empty();
  std::vector<PortState> ports;
  for (const std::string& name : named ? options.ports : DefaultSerialPorts()) {
    PortState state;
    state.name = name;
    const OpenError error = state.connection->OpenPort(name);
    state.connection->Close();
    // Of the ports found, the ones that do not open (a ttyS without a UART) are no candidates.
    if (error != OpenError::None) {
      if (named) err << OpenErrorText(error, name) << '\n';
      continue;
    }
    ports.push_back(std::move(state));
  }
  if (ports.empty()) {
    if (!named) err << "No serial port found on this machine: plug in the adapter, or name it with --port.\n";
    return kExitUsage;
  }

  const std::vector<PortSettings> lines = ScanLineOrder(options);
  const std::vector<std::uint8_t> addresses = ScanAddressOrder(options);
  const microseconds worst = ScanWorstCase(options, ports.size());
  std::string portList;
  for (const PortState& p : ports) portList += (portList.empty() ? "" : ", ") + p.name;
  err << "Scanning " << ports.size() << (ports.size() == 1 ? " port (" : " ports (") << portList << ") at "
      << lines.size() << " line setting" << (lines.size() == 1 ? "" : "s") << " and addresses "
      << options.firstAddress << "-" << options.lastAddress << ": at most " << DurationText(worst) << ".\n"
      << std::flush;

  Progress progress(err, progressBar, worst);
  std::vector<FoundUnit> found;
  bool done = false;
  for (const PortSettings& line : lines) {
    const microseconds wait = ProbeWait(line, options.margin);
    ListenPolicy policy;
    policy.wait = wait;  // no tail, no quiet: a whole answer ends the probe
    for (PortState& port : ports) {
      if (done) break;
      const std::string setting = port.name + " at " + LineShort(line);
      Connection& connection = *port.connection;
      connection.Close();
      if (const OpenError error = connection.Open({port.name, line, 1}); error != OpenError::None) {
        if (!port.goneNoted) progress.Note(OpenErrorText(error, port.name));
        port.goneNoted = true;
        progress.Advance(static_cast<std::int64_t>(addresses.size()) * (wait + kProbeOverhead) + kReopenAllowance,
                         setting);
        continue;
      }
      port.goneNoted = false;
      progress.Advance(kReopenAllowance, setting);

      std::vector<std::uint8_t> order = port.first;
      for (std::uint8_t a : addresses)
        if (std::find(order.begin(), order.end(), a) == order.end()) order.push_back(a);
      std::size_t left = addresses.size();
      for (std::uint8_t address : order) {
        --left;
        if (port.found.count(address)) {
          progress.Advance(wait + kProbeOverhead, setting);
          continue;
        }
        const Heard heard = SendAndListen(connection.Link(), ReadRequest(address, kProbeRegister, kProbeCount), policy);
        progress.Advance(wait + kProbeOverhead, setting + "  address " + std::to_string(address));
        if (heard.portLost) {
          progress.Note(port.name + " hung up or disappeared: check that the adapter is plugged in.");
          progress.Advance(static_cast<std::int64_t>(left) * (wait + kProbeOverhead), setting);
          break;
        }
        const ExchangeDiagnosis& d = heard.diagnosis;
        const std::string at = port.name + " at " + LineShort(line);
        if (d.cls == LineClass::Echo && !port.echoNoted) {
          port.echoNoted = true;
          progress.Note(port.name + ": the adapter echoes every request back; switch its echo off "
                                    "(tagris-cli diag tells more).");
        }
        if (d.answered) {
          FoundUnit unit{port.name, line, address,
                         static_cast<std::uint16_t>(heard.bytes[d.answerAt + 3] << 8 | heard.bytes[d.answerAt + 4])};
          port.found.insert(address);
          found.push_back(unit);
          if (!options.json) {
            progress.Clear();
            out << FoundText(unit) << std::flush;
          }
          if (!options.all) {
            done = true;
            break;
          }
          continue;
        }
        bool nextSetting = false;
        switch (d.cls) {
          case LineClass::Garbage:
          case LineClass::BadCrc:
          case LineClass::Short: {
            const char* likely = d.cls == LineClass::BadCrc ? "a frame with a bad CRC, likely a wrong parity or stop bits"
                                 : d.cls == LineClass::Short ? "a frame cut short, likely a wrong line setting"
                                                             : "bytes but no valid frame, likely a wrong speed";
            progress.Note(at + ": " + likely + " (address " + std::to_string(address) +
                          "); trying the next line setting.");
            if (std::find(port.first.begin(), port.first.end(), address) == port.first.end())
              port.first.insert(port.first.begin(), address);
            nextSetting = true;
            break;
          }
          case LineClass::Exception:
            progress.Note(at + ": address " + std::to_string(address) + " answers with exception " +
                          std::to_string(d.exceptionCode) + " (" + std::string(ExceptionText(d.exceptionCode)) +
                          "): a device of another kind?");
            break;
          case LineClass::WrongAddress:
            progress.Note(at + ": asked address " + std::to_string(address) + ", another address answered.");
            break;
          case LineClass::WrongFunction:
            progress.Note(at + ": address " + std::to_string(address) +
                          " answers with a frame that does not fit the request: a device of another kind?");
            break;
          default: break;
        }
        if (nextSetting) {
          progress.Advance(static_cast<std::int64_t>(left) * (wait + kProbeOverhead), setting);
          break;
        }
      }
      connection.Close();
    }
    if (done) break;
  }
  progress.Clear();
  for (PortState& port : ports) port.connection->Close();

  if (options.json) out << FoundJson(found) << std::flush;
  if (found.empty()) {
    err << "No unit answered on " << portList
        << " at the settings tried: check the power and the A/B wires (swap them if unsure), and widen the "
           "settings tried if they were narrowed.\n";
    return kExitNoReply;
  }
  if (options.all) err << "Found " << found.size() << (found.size() == 1 ? " unit.\n" : " units.\n");
  return kExitOk;
}

}  // namespace tagris::cli
