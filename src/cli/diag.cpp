#include "diag.h"

#include <algorithm>

#include "json.h"
#include "render.h"

namespace tagris::cli {

namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// After a whole answer, how long the line must stay quiet before diag moves on:
// long enough for bytes beyond the frame (a USB adapter hands them over up to
// 16 ms late), plus four characters of the line.
constexpr microseconds kQuietMargin{30000};

std::string MsNumber(microseconds t) { return Decimal(static_cast<double>(t.count()) / 1000.0, 3, true); }
std::string MsText(microseconds t) { return Decimal(static_cast<double>(t.count()) / 1000.0, 1, false) + " ms"; }

}  // namespace

microseconds CharacterTime(const PortSettings& line) {
  const int bits = 1 + 8 + (line.parity == Parity::None ? 0 : 1) + (line.twoStopBits ? 2 : 1);
  const std::int64_t baud = std::max<std::int64_t>(line.baud, 1);
  return microseconds((bits * 1000000 + baud - 1) / baud);
}

std::string LineText(const PortSettings& line) {
  const char* parity = line.parity == Parity::Even ? "even" : line.parity == Parity::Odd ? "odd" : "none";
  return std::to_string(line.baud) + " baud, parity " + parity + ", " + (line.twoStopBits ? "2 stop bits" : "1 stop bit");
}

std::string LineShort(const PortSettings& line) {
  const char parity = line.parity == Parity::Even ? 'E' : line.parity == Parity::Odd ? 'O' : 'N';
  return std::to_string(line.baud) + " 8" + parity + (line.twoStopBits ? "2" : "1");
}

Heard SendAndListen(SerialLink& link, const Request& request, const ListenPolicy& policy) {
  Heard heard;
  heard.record.request = request;
  heard.record.wait = policy.wait;
  // Whatever the link read before this request belongs to the exchange before it:
  // kept (with a time before the request) when not purged, as a late answer.
  std::vector<ReceivedChunk> before = link.Take();
  const auto sent = Clock::now();
  const std::uint64_t exchange = link.Send(request, 1, policy.purge);
  auto keep = [&](const ReceivedChunk& chunk) {
    microseconds at = std::chrono::duration_cast<microseconds>(chunk.at - sent);
    if (chunk.exchange != exchange) {
      if (policy.purge) return;
      at = std::min(at, microseconds(-1));
    }
    const auto read = chunk.Read();
    heard.record.reads.push_back({std::vector<std::uint8_t>(read.begin(), read.end()), at});
    heard.bytes.insert(heard.bytes.end(), read.begin(), read.end());
  };
  for (const ReceivedChunk& chunk : before) keep(chunk);

  const auto listenEnd = sent + policy.wait + policy.tail;
  auto lastRead = sent;
  heard.diagnosis = DiagnoseExchange(heard.record);
  for (;;) {
    if (link.LineLost()) {
      heard.portLost = true;
      break;
    }
    auto until = listenEnd;
    if (heard.diagnosis.whole) until = std::min(until, lastRead + policy.quiet);
    if (Clock::now() >= until) break;
    link.WaitForChunk(until);
    const std::vector<ReceivedChunk> chunks = link.Take();
    if (chunks.empty()) continue;
    for (const ReceivedChunk& chunk : chunks) {
      keep(chunk);
      lastRead = std::max(lastRead, chunk.at);
    }
    heard.diagnosis = DiagnoseExchange(heard.record);
  }
  return heard;
}

std::string DiagText(const DiagnosisTally& tally, const LineVerdict& verdict) {
  std::string out;
  for (LineClass c : AllLineClasses()) {
    const int n = tally.Count(c);
    if (n == 0 && c != LineClass::Ok) continue;
    std::string row(LineClassKey(c));
    row.resize(16, ' ');
    row += std::to_string(n);
    if (c == LineClass::Echo) row += " (" + std::to_string(tally.EchoesAnswered()) + " with an answer after it)";
    if (c == LineClass::Exception) {
      const std::uint8_t code = tally.CommonExceptionCode();
      row += " (mostly code " + std::to_string(code) + ": " + std::string(ExceptionText(code)) + ")";
    }
    out += row + "\n";
  }
  std::string times = "answer time";
  times.resize(16, ' ');
  if (const auto s = tally.Stats())
    times += "min " + MsText(s->min) + ", median " + MsText(s->median) + ", max " + MsText(s->max);
  else
    times += "no answers";
  out += times + "\n";
  out += "verdict: " + verdict.text + "\n";
  return out;
}

std::string DiagJson(const DiagnosisTally& tally, const LineVerdict& verdict) {
  JsonWriter json;
  json.BeginObject();
  json.Key("counts").BeginObject();
  for (LineClass c : AllLineClasses()) json.Key(LineClassKey(c)).Integer(tally.Count(c));
  json.EndObject();
  json.Key("answer_ms");
  if (const auto s = tally.Stats()) {
    json.BeginObject();
    json.Key("min").Number(MsNumber(s->min));
    json.Key("median").Number(MsNumber(s->median));
    json.Key("max").Number(MsNumber(s->max));
    json.EndObject();
  } else {
    json.Null();
  }
  json.Key("cause").String(LineClassKey(verdict.cause));
  json.Key("verdict").String(verdict.text);
  json.EndObject();
  return json.Text() + "\n";
}

std::string DiagHelpText() {
  return "Usage: tagris-cli diag --port NAME [options] [--count N] [--json]\n"
         "Polls registers 0..53 N times as the window does, classifies every exchange and says\n"
         "what is most likely wrong with the line and what to try. Classes: ok, silence, echo (the\n"
         "request came back, with or without an answer after it), bad_crc, wrong_address,\n"
         "exception, wrong_function (or byte count), short, trailing (bytes beyond the frame),\n"
         "garbage (bytes that form no frame, as a wrong speed gives), late (after the wait, or\n"
         "spilling into the next exchange).\n"
         "An exchange without a whole frame within --timeout listens as long again, so a late\n"
         "answer is told from none; answers slower than twice --timeout show as silence and answers\n"
         "taking turns, which the verdict recognises.\n"
         "\n"
         "  --count N             polls to make (default 20)\n"
         "  --json                one JSON object: counts (every class, 0 when none), answer_ms (min,\n"
         "                        median, max; null without answers), cause and verdict\n"
         "Exit status 0 when every exchange was ok, 3 when not.\n"
         "\n";
}

int RunDiag(const Invocation& inv, Connection& connection, std::ostream& out, std::ostream& err) {
  const ConnectionSettings settings{inv.port, inv.line, inv.address};
  if (const OpenError error = connection.Open(settings); error != OpenError::None) {
    err << OpenErrorText(error, inv.port) << '\n';
    return kExitUsage;
  }
  const int count = static_cast<int>(inv.count.value_or(kDiagDefaultCount));
  if (!inv.json)
    out << "Polling address " << int(inv.address) << " on " << inv.port << " at " << LineText(inv.line) << ", "
        << count << " times, waiting " << inv.timeout.count() << " ms for each answer:\n"
        << std::flush;

  // The window's poll, unchanged. An exchange without a whole frame within the wait
  // listens as long again, so that a late answer is told from none.
  const Request poll = ReadRequest(inv.address, 0, kPolledRegisterCount);
  ListenPolicy policy;
  policy.wait = inv.timeout;
  policy.tail = inv.timeout;
  policy.quiet = kQuietMargin + 4 * CharacterTime(inv.line);
  policy.purge = false;

  DiagnosisTally tally;
  bool lost = false;
  for (int i = 0; i < count && !lost; ++i) {
    const Heard heard = SendAndListen(connection.Link(), poll, policy);
    lost = heard.portLost;
    if (!lost) tally.Add(heard.diagnosis);
  }
  connection.Close();

  const LineVerdict verdict = JudgeLine(tally, inv.timeout);
  out << (inv.json ? DiagJson(tally, verdict) : DiagText(tally, verdict)) << std::flush;
  if (lost) {
    err << "Port " << inv.port << " hung up or disappeared after " << tally.Exchanges()
        << " polls: check that the adapter is plugged in, then try again.\n";
    return kExitUsage;
  }
  return tally.Count(LineClass::Ok) == tally.Exchanges() ? kExitOk : kExitInvalid;
}

}  // namespace tagris::cli
