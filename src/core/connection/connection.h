#pragma once
// One connection to the unit: the serial link and its threads, the poll cycle
// with its command slot, the reply check, decoding into a RegisterBlock, the link
// watchdog, the kept values and the log and sample recorders. No toolkit: the
// window and the command line are faces that call it and render what it returns.
//
// Two ways to drive it, both on the owner's thread:
// - paced (the window): Tick() every 500 ms, QueueCommand() from the buttons, and
//   Dispatch() whenever the link's wake-up rang; each returns what to show.
// - blocking (the command line): Poll() and Write() send one request and wait for
//   its answer.
// Either way a reply goes through HandleReply(), the one place that fixes the
// order of its effects: watchdog, trace line, decode, kept values, log line.
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/commands.h"
#include "measure/register_block.h"
#include "modbus/frames.h"
#include "modbus/poll_cycle.h"
#include "modbus/reply.h"
#include "serial/serial_link.h"

namespace tagris {

struct ConnectionSettings {
  std::string port;  // as the operator types it: "COM3", "ttyUSB0", a path
  PortSettings line;
  std::uint8_t address = 5;  // 0..127
};

// A request that went out, with its trace line ("<--  0x05 ...").
struct SentFrame {
  PollCycle::Send kind = PollCycle::Send::Nothing;
  Request frame{};
  std::string trace;
};

// What one 500 ms tick did.
struct TickOutcome {
  bool linkLost = false;  // show the no-link text (else the empty text)
  std::optional<SentFrame> sent;
};

// What one reply did.
struct ReplyOutcome {
  ReplyKind kind = ReplyKind::Ignored;
  ReplyCheck check;           // why a Rejected reply was refused
  std::string trace;          // the receive trace line; empty for Ignored
  std::optional<RegisterBlock> block;  // Measurement only
  double count = 0;           // measurement replies since the connect, this one included
  // The log line could not be written; the log is closed, the text says why.
  std::optional<std::string> logError;
};

// One request of the blocking drive and how it ended.
enum class ExchangeStatus {
  Ok,        // a good answer
  NoReply,   // nothing came within the time allowed
  Invalid,   // bytes came, but no good answer (ReplyCheck says why)
  PortLost,  // the port hung up or disappeared
};

struct PollResult {
  ExchangeStatus status = ExchangeStatus::NoReply;
  ReplyOutcome outcome;                // Ok and Invalid
  std::vector<std::uint8_t> received;  // the bytes of the exchange as they came
  std::chrono::microseconds answerTime{0};  // request handed to the link until the answer was whole
  bool echoed = false;  // the request came back before the answer (and was left out of received)
};

// One log file being written: the 60-byte header, then one line per reply.
class LogRecorder {
 public:
  ~LogRecorder() { Stop(); }
  // Creates the file (replacing a plain file not in use) and writes the header.
  // Throws std::runtime_error with a text for the operator; nothing is open then.
  void Start(const std::string& path);
  void Stop();
  bool IsOpen() const { return fd_ > 0; }
  const std::string& Path() const { return path_; }
  // Appends one line; on failure closes the file and throws std::runtime_error.
  void Write(std::string_view line);

 private:
  int fd_ = 0;
  std::string path_;
};

// The sample file: one line per sample, rewritten whole and safely each time.
struct SampleRecord {
  std::array<std::string, 5> cells;  // time, temperature, moisture, peak frequency, peak width
  std::string fileText;              // the whole file after this sample (Windows-1251, CR LF)
};

class Connection {
 public:
  // wake: called on the receive thread when Dispatch() has something to do or the
  // line was lost; must not block.
  explicit Connection(SerialLink::Wake wake = nullptr, SerialLink::PortFactory makePort = MakeSystemPort);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Connect in two steps, so a caller can convert its inputs after the port is
  // known to be there (and close it again when they do not convert).
  OpenError OpenPort(std::string_view portName);
  // Configures the line, stamps the address into both request slots (a command
  // still waiting goes out with it) and starts the threads.
  void Start(const PortSettings& line, std::uint8_t address);
  // Both steps; the address is clamped to 0..127.
  OpenError Open(const ConnectionSettings& settings);
  // Stops the threads and closes the port; the log stays as it is.
  void Close();
  bool IsOpen() const { return link_.IsOpen(); }
  bool PortLost() const { return link_.LineLost(); }
  std::uint8_t Address() const { return poll_.PollFrame[0]; }
  // A new address for the requests that follow (after the unit was told to move).
  void SetAddress(std::uint8_t address) { poll_.StampAddress(address); }

  // ---- paced drive ----
  TickOutcome Tick();
  void QueueCommand(const RegisterWrite& write) { poll_.QueueCommand(write.reg, write.value); }
  // Handles every reply the receive thread handed over since the last call, in
  // order; replies of an exchange that is over are dropped unseen.
  std::vector<ReplyOutcome> Dispatch();

  // ---- blocking drive ----
  // Polls registers 0..53 once and waits up to `timeout` for the whole answer.
  PollResult Poll(std::chrono::milliseconds timeout);
  // Sends the write and waits for the unit's echo (or exception).
  PollResult Write(const RegisterWrite& write, std::chrono::milliseconds timeout);
  // Any request; the answer is checked but goes through no effects.
  PollResult Exchange(const Request& request, std::chrono::milliseconds timeout);

  // ---- one reply ----
  // The effects of one reply, in their order: rx holds the bytes as read (received
  // of them, zero after), threshold the count they were read against.
  ReplyOutcome HandleReply(std::span<const std::uint8_t> rx, std::size_t received, std::size_t threshold);

  // ---- recorders ----
  LogRecorder& Log() { return log_; }
  // Values the last measurement reply left (also after the link is lost).
  const Measurement& Kept() const { return kept_; }
  double Moisture() const { return moisture_; }
  // Adds a sample of the kept values at the given local time to the file at path.
  // Throws std::runtime_error when the file cannot be read or written.
  SampleRecord RecordSample(const std::string& path, int year, int month, int day, int hour, int minute,
                            int second, int msec) const;

  // The poll cycle's state, for diagnostics and tests.
  const PollCycle& Cycle() const { return poll_; }
  PollCycle& Cycle() { return poll_; }
  SerialLink& Link() { return link_; }

 private:
  PollResult Await(const Request& request, std::uint64_t exchange, std::chrono::steady_clock::time_point sent,
                   std::chrono::milliseconds timeout);

  SerialLink::Wake wake_;
  SerialLink link_;
  PollCycle poll_;
  Measurement kept_;
  double moisture_ = 0;  // W of the last measurement reply in double precision (log file)
  double count_ = 0;
  LogRecorder log_;
};

// A sentence for the operator about a port that could not be opened.
std::string OpenErrorText(OpenError error, std::string_view portName);

}  // namespace tagris
