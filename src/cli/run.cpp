#include "run.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <exception>
#include <optional>
#include <stdexcept>
#include <thread>

#include "diag.h"
#include "platform.h"
#include "record/log_file.h"
#include "render.h"
#include "watch.h"

#ifndef TAGRIS_VERSION
#define TAGRIS_VERSION "unknown"
#endif

namespace tagris::cli {

namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// After a write's echo, how long the registers get to show the new value.
constexpr milliseconds kConfirmTime{3000};
// Between the polls that look for it.
constexpr milliseconds kConfirmPollGap{100};
// Between attempts to reopen a port that went away.
constexpr milliseconds kReopenPause{1000};

std::string Ms(milliseconds t) { return std::to_string(t.count()) + " ms"; }

std::string NoReplyText(const Invocation& inv) {
  return "No answer from address " + std::to_string(inv.address) + " on " + inv.port + " within " +
         Ms(inv.timeout) + ": check the address, the line settings (--baud, --parity, --stop) and the wiring.";
}

std::string PortLostText(const std::string& port) {
  return "Port " + port + " hung up or disappeared: check that the adapter is plugged in, then try again.";
}

ConnectionSettings SettingsOf(const Invocation& inv) { return {inv.port, inv.line, inv.address}; }

// Opens the port; prints the reason and returns false when it cannot.
bool OpenOrSay(Connection& connection, const ConnectionSettings& settings, std::ostream& err) {
  const OpenError error = connection.Open(settings);
  if (error == OpenError::None) return true;
  err << OpenErrorText(error, settings.port) << '\n';
  return false;
}

// What a write sets, in words: "grade of channel 3 to 1.5".
std::string WriteMeaning(const WriteOrder& order) {
  std::array<std::uint16_t, kRegisterCount> regs{};
  regs[order.write.reg] = order.write.value;
  const RegisterBlock as = DecodeRegisters(regs);
  switch (order.kind) {
    case WriteKind::Channel: return "active channel to " + std::to_string(order.write.value);
    case WriteKind::Grade:
      return "grade of channel " + std::to_string(order.channel) + " to " +
             Decimal(as.grade[order.channel - 1], kChannelValueDecimals, false);
    case WriteKind::Salinity:
      return "salinity of channel " + std::to_string(order.channel) + " to " +
             Decimal(as.salinity[order.channel - 1], kChannelValueDecimals, false);
    case WriteKind::Serial:
      return "the unit's serial settings to " + std::to_string(as.serial.baudRate) + " baud, " +
             std::string(ParityWord(as.serial.parity)) + " parity, " +
             std::to_string(StopBitCount(as.serial.stopBits)) + " stop bit" +
             (StopBitCount(as.serial.stopBits) == 2 ? "s" : "");
    case WriteKind::Address: return "the unit's address to " + std::to_string(order.newAddress);
  }
  return {};
}

std::string RegisterText(const RegisterWrite& w) {
  return "register " + std::to_string(w.reg) + " = " + std::to_string(w.value);
}

}  // namespace

std::string ReasonText(const ReplyCheck& check) {
  if (check.problem == ReplyProblem::Exception)
    return "exception " + std::to_string(check.exceptionCode) + " (" + std::string(ExceptionText(check.exceptionCode)) +
           ")";
  return std::string(ProblemText(check.problem));
}

int RunRead(const Invocation& inv, Connection& connection, std::ostream& out, std::ostream& err) {
  if (!OpenOrSay(connection, SettingsOf(inv), err)) return kExitUsage;
  const PollResult r = connection.Poll(inv.timeout);
  connection.Close();
  switch (r.status) {
    case ExchangeStatus::Ok:
      out << (inv.json ? ReadJson(*r.outcome.block) : ReadText(*r.outcome.block)) << std::flush;
      return kExitOk;
    case ExchangeStatus::NoReply: err << NoReplyText(inv) << '\n'; return kExitNoReply;
    case ExchangeStatus::Invalid:
      err << "The unit's reply was not valid: " << ReasonText(r.outcome.check)
          << "; check the address and the line settings, or the wiring if it persists.\n";
      return kExitInvalid;
    case ExchangeStatus::PortLost: err << PortLostText(inv.port) << '\n'; return kExitUsage;
  }
  return kExitUsage;
}

int RunWatch(const Invocation& inv, Connection& connection, std::ostream& out, std::ostream& err,
             const Sleeper& sleep) {
  const ConnectionSettings settings = SettingsOf(inv);
  if (!OpenOrSay(connection, settings, err)) return kExitUsage;

  AppendFile csv;
  try {
    if (!inv.csvPath.empty()) csv.Open(inv.csvPath, kCsvHeader);
    if (!inv.logPath.empty()) {
      // The window asks before replacing a file; with nobody to ask, an old log stays.
      if (PathExists(inv.logPath))
        throw std::runtime_error(inv.logPath + " already exists: name a new log file or remove the old one.");
      connection.Log().Start(inv.logPath);
    }
  } catch (const std::exception& e) {
    err << e.what() << '\n';
    return kExitUsage;
  }

  LinkWatch link;
  std::int64_t replies = 0;
  std::int64_t invalid = 0;
  bool open = true;
  int status = -1;  // set when a file error ends the watch
  auto emit = [&](RowStatus row, const RegisterBlock* block) {
    const std::string time = IsoLocalTime(std::time(nullptr));
    out << (inv.json ? WatchJsonLine(time, row, block) : WatchLine(time, row, block)) << std::flush;
    csv.Write(CsvRow(time, row, block));
  };

  try {
    auto next = Clock::now();
    for (;;) {
      if (!open) {
        // Quietly, once a second, until the device is back at the same path.
        if (connection.Open(settings) != OpenError::None) {
          if (!sleep(kReopenPause)) break;
          continue;
        }
        open = true;
        next = Clock::now();
      }
      const PollResult r = connection.Poll(inv.timeout);
      if (r.outcome.logError) throw std::runtime_error(*r.outcome.logError);
      if (r.status == ExchangeStatus::Ok) ++replies;
      if (r.status == ExchangeStatus::Invalid) {
        ++invalid;
        err << IsoLocalTime(std::time(nullptr)) << " invalid reply: " << ReasonText(r.outcome.check) << '\n';
      }
      if (r.status == ExchangeStatus::PortLost) {
        connection.Close();
        open = false;
      }
      if (const auto row = link.Polled(r.status))
        emit(*row, r.status == ExchangeStatus::Ok ? &*r.outcome.block : nullptr);
      if (inv.count && replies >= *inv.count) break;
      if (!open) {
        if (!sleep(kReopenPause)) break;
        continue;
      }
      // A steady rhythm; slots missed by a slow answer are skipped, not made up.
      const auto now = Clock::now();
      next += inv.interval;
      if (next < now) next = now;
      if (!sleep(next - now)) break;
    }
  } catch (const std::exception& e) {
    err << e.what() << '\n';
    status = kExitUsage;
  }
  connection.Log().Stop();
  csv.Close();
  connection.Close();
  if (status >= 0) return status;
  if (replies > 0) return kExitOk;
  return invalid > 0 ? kExitInvalid : kExitNoReply;
}

int RunWrite(const Invocation& inv, Connection& connection, std::ostream& out, std::ostream& err) {
  const WriteOrder& order = inv.order;
  const std::string meaning = WriteMeaning(order);
  if (!OpenOrSay(connection, SettingsOf(inv), err)) return kExitUsage;

  const PollResult echo = connection.Write(order.write, inv.timeout);
  switch (echo.status) {
    case ExchangeStatus::Ok: break;
    case ExchangeStatus::NoReply:
      err << "No answer to the write (" << RegisterText(order.write) << ") from address " << int(inv.address)
          << " within " << Ms(inv.timeout)
          << ": check the address and the line settings; read the unit to see whether it took.\n";
      return kExitNoReply;
    case ExchangeStatus::Invalid:
      if (echo.outcome.check.problem == ReplyProblem::Exception)
        err << "The unit refused to set " << meaning << " (" << RegisterText(order.write) << "): "
            << ReasonText(echo.outcome.check) << ".\n";
      else
        err << "The unit's answer to setting " << meaning << " (" << RegisterText(order.write)
            << ") was not its echo: " << ReasonText(echo.outcome.check) << "; read the unit to see whether it took.\n";
      return kExitNotConfirmed;
    case ExchangeStatus::PortLost: err << PortLostText(inv.port) << '\n'; return kExitUsage;
  }

  // Where the unit answers now.
  std::string where = "at address " + std::to_string(inv.address);
  if (order.kind == WriteKind::Address) {
    connection.SetAddress(order.newAddress);
    where = "at address " + std::to_string(order.newAddress);
  } else if (order.kind == WriteKind::Serial) {
    connection.Close();
    ConnectionSettings next = SettingsOf(inv);
    next.line = order.newLine;
    const OpenError error = connection.Open(next);
    if (error != OpenError::None) {
      err << "The unit echoed setting " << meaning << ", but the port could not be reopened to check it: "
          << OpenErrorText(error, inv.port) << '\n';
      return kExitNotConfirmed;
    }
    where = "with the new settings";
  }

  const auto deadline = Clock::now() + std::max(kConfirmTime, inv.timeout);
  std::optional<std::uint16_t> seen;
  std::optional<std::string> invalidReason;
  for (;;) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
    const PollResult r = connection.Poll(std::clamp(left, milliseconds(1), inv.timeout));
    if (r.status == ExchangeStatus::Ok) {
      seen = r.outcome.block->reg[order.write.reg];
      if (*seen == order.write.value) {
        out << "Set " << meaning << " (" << RegisterText(order.write) << "): confirmed " << where << ".\n"
            << std::flush;
        return kExitOk;
      }
    } else if (r.status == ExchangeStatus::Invalid) {
      invalidReason = ReasonText(r.outcome.check);
    } else if (r.status == ExchangeStatus::PortLost) {
      err << "The unit echoed setting " << meaning << ", but " << PortLostText(inv.port) << '\n';
      return kExitNotConfirmed;
    }
    if (Clock::now() + kConfirmPollGap >= deadline) break;
    std::this_thread::sleep_for(kConfirmPollGap);
  }
  err << "The unit echoed setting " << meaning << " (" << RegisterText(order.write) << "), but ";
  if (seen)
    err << "register " << order.write.reg << " still reads " << *seen << ": the write did not take; "
        << "try again or check the unit.\n";
  else if (invalidReason)
    err << "no valid reply came " << where << " to check it (" << *invalidReason << "); read the unit to see.\n";
  else
    err << "no reply came " << where << " to check it; read the unit to see whether it took.\n";
  return kExitNotConfirmed;
}

int Main(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const Invocation inv = ParseArguments(args);
  if (inv.version) {
    out << "tagris-cli " << TAGRIS_VERSION << '\n';
    return kExitOk;
  }
  if (inv.help) {
    out << HelpText(inv.command);
    return kExitOk;
  }
  if (!inv.error.empty()) {
    err << "tagris-cli: " << inv.error << '\n';
    return kExitUsage;
  }
  try {
    switch (inv.command) {
      case Command::Read: {
        Connection connection;
        return RunRead(inv, connection, out, err);
      }
      case Command::Watch: {
        // Before the connection's threads exist, so they inherit the blocked signals.
        StopSignals stop;
        Connection connection;
        return RunWatch(inv, connection, out, err,
                        [&stop](Clock::duration d) { return stop.Sleep(d); });
      }
      case Command::Write: {
        Connection connection;
        return RunWrite(inv, connection, out, err);
      }
      case Command::Scan: return RunScan(inv.scan, out, err, ProgressBarPossible());
      case Command::Diag: {
        Connection connection;
        return RunDiag(inv, connection, out, err);
      }
      case Command::None: break;
    }
  } catch (const std::exception& e) {
    err << "tagris-cli: " << e.what() << '\n';
  }
  return kExitUsage;
}

}  // namespace tagris::cli
