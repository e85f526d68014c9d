#include "connection/connection.h"

#include <algorithm>
#include <stdexcept>

#include "record/log_file.h"
#include "record/sample_file.h"

namespace tagris {

namespace {

// Written to the log's DSP column: no register carries that temperature.
constexpr double kDspTemperature = 0;

}  // namespace

// ---------------------------------------------------------------- LogRecorder

void LogRecorder::Start(const std::string& path) {
  Stop();
  const int fd = CreateLogFile(path);
  try {
    WriteLogBytes(fd, LogHeader(), path);
  } catch (...) {
    CloseLogFd(fd);
    throw;
  }
  fd_ = fd;
  path_ = path;
}

void LogRecorder::Stop() {
  CloseLogFd(fd_);
  fd_ = 0;
  path_.clear();
}

void LogRecorder::Write(std::string_view line) {
  if (fd_ <= 0) return;
  try {
    WriteLogBytes(fd_, line, path_);
  } catch (...) {
    Stop();
    throw;
  }
}

// ---------------------------------------------------------------- Connection

Connection::Connection(SerialLink::Wake wake, SerialLink::PortFactory makePort)
    : wake_(std::move(wake)), link_(std::move(makePort)) {}

Connection::~Connection() { Close(); }

OpenError Connection::OpenPort(std::string_view portName) { return link_.Open(portName); }

void Connection::Start(const PortSettings& line, std::uint8_t address) {
  link_.Configure(line);
  // A command still waiting goes out with the new address and a matching CRC.
  poll_.StampAddress(address);
  count_ = 0;
  link_.Start(kConnectReplyLength, wake_);
}

OpenError Connection::Open(const ConnectionSettings& settings) {
  const OpenError error = OpenPort(settings.port);
  if (error != OpenError::None) return error;
  Start(settings.line, std::min<std::uint8_t>(settings.address, 127));
  return OpenError::None;
}

void Connection::Close() { link_.Close(); }

TickOutcome Connection::Tick() {
  const PollCycle::TickResult slot = poll_.Tick();
  TickOutcome out;
  out.linkLost = slot.linkLost;
  if (slot.send == PollCycle::Send::Nothing || !link_.IsOpen()) return out;
  link_.Send(slot.frame, slot.expectedReplyLength);
  out.sent = SentFrame{slot.send, slot.frame, TransmitTraceLine(slot.frame.data(), slot.frame.size())};
  return out;
}

std::vector<ReplyOutcome> Connection::Dispatch() {
  std::vector<ReplyOutcome> outcomes;
  for (const ReceivedChunk& chunk : link_.Take()) {
    // Read before the request now in flight went out: that exchange is over.
    if (chunk.exchange != link_.CurrentExchange()) continue;
    ReplyOutcome o = HandleReply(chunk.bytes, chunk.length, chunk.threshold);
    if (o.kind != ReplyKind::Ignored) outcomes.push_back(std::move(o));
  }
  return outcomes;
}

ReplyOutcome Connection::HandleReply(std::span<const std::uint8_t> rx, std::size_t received,
                                     std::size_t threshold) {
  ReplyOutcome out;
  out.kind = ClassifyReply(poll_, rx, received);
  if (out.kind == ReplyKind::Ignored) return out;  // the last tick was a command slot
  out.check = CheckReply(poll_.PollFrame, rx.first(std::min(received, rx.size())));
  // Only a sound answer to our poll proves the link; a garbled or foreign one is
  // traced and goes no further.
  if (out.kind == ReplyKind::Measurement) poll_.ReplyAccepted();
  out.trace = ReceiveTraceLine(rx, threshold);
  out.count = count_;
  if (out.kind != ReplyKind::Measurement) return out;

  const RegisterBlock& block = out.block.emplace(DecodeRegisterBlock(rx.data()));
  out.count = count_ += 1.0;
  kept_ = KeptValues(block);
  moisture_ = block.moisture;
  if (log_.IsOpen()) {
    try {
      log_.Write(LogDataLine(count_, moisture_, out.trace, kept_.temperature, kDspTemperature));
    } catch (const std::runtime_error& e) {
      out.logError = e.what();
    }
  }
  return out;
}

PollResult Connection::Await(const Request& request, std::uint64_t exchange,
                             std::chrono::steady_clock::time_point sent, std::chrono::milliseconds timeout) {
  PollResult result;
  std::array<std::uint8_t, kLinkBufferSize> rx{};
  std::size_t received = 0;
  const auto deadline = sent + timeout;
  while (!ReplyComplete(request, std::span(rx).first(received))) {
    if (link_.LineLost()) {
      result.status = ExchangeStatus::PortLost;
      return result;
    }
    // Nothing waiting and the line not lost: the time is up, or the link is stopped
    // and nothing can come any more (looping on would spin until the deadline).
    if (!link_.WaitForChunk(deadline) && !link_.LineLost()) break;
    for (const ReceivedChunk& chunk : link_.Take()) {
      if (chunk.exchange != exchange) continue;
      const std::size_t n = std::min(chunk.length, rx.size() - received);
      std::copy_n(chunk.bytes.begin(), n, rx.begin() + static_cast<std::ptrdiff_t>(received));
      received += n;
      result.answerTime = std::chrono::duration_cast<std::chrono::microseconds>(chunk.at - sent);
    }
    // An RS-485 adapter that hears itself sends the request back first; the answer
    // follows it. A read's answer never starts with the request, so this is safe;
    // a write's good answer is the request itself and is left alone.
    if (request[1] == kReadHoldingRegisters && !result.echoed && received >= request.size() &&
        std::equal(request.begin(), request.end(), rx.begin())) {
      std::copy(rx.begin() + static_cast<std::ptrdiff_t>(request.size()), rx.begin() + static_cast<std::ptrdiff_t>(received), rx.begin());
      received -= request.size();
      result.echoed = true;
    }
  }
  result.received.assign(rx.begin(), rx.begin() + static_cast<std::ptrdiff_t>(received));
  if (received == 0) {
    result.status = link_.LineLost() ? ExchangeStatus::PortLost : ExchangeStatus::NoReply;
    return result;
  }
  result.outcome.check = CheckReply(request, result.received);
  result.status = result.outcome.check.ok() ? ExchangeStatus::Ok : ExchangeStatus::Invalid;
  return result;
}

PollResult Connection::Exchange(const Request& request, std::chrono::milliseconds timeout) {
  if (!link_.IsOpen()) return PollResult{ExchangeStatus::PortLost, {}, {}, {}};
  link_.Take();  // whatever is left over belongs to no one now
  const auto sent = std::chrono::steady_clock::now();
  // Every arrival is handed over, so a short exception answer is seen at once.
  const std::uint64_t exchange = link_.Send(request, 1);
  return Await(request, exchange, sent, timeout);
}

PollResult Connection::Poll(std::chrono::milliseconds timeout) {
  PollResult r = Exchange(poll_.PollFrame, timeout);
  if (r.status != ExchangeStatus::Ok && r.status != ExchangeStatus::Invalid) return r;
  const ExchangeStatus status = r.status;
  std::array<std::uint8_t, kLinkBufferSize> rx{};
  std::copy(r.received.begin(), r.received.end(), rx.begin());
  // The blocking drive has no ticks: the last (and only) request was the poll.
  poll_.PollPhase = 0;
  // The trace shows the bytes that came (a short or exception answer has fewer
  // than a poll answer), not the zeros of the buffer after them.
  r.outcome = HandleReply(rx, r.received.size(), std::min(r.received.size(), kPollReplyLength));
  r.status = r.outcome.kind == ReplyKind::Measurement ? ExchangeStatus::Ok : status;
  if (r.status == ExchangeStatus::Ok && r.outcome.kind != ReplyKind::Measurement) r.status = ExchangeStatus::Invalid;
  return r;
}

PollResult Connection::Write(const RegisterWrite& write, std::chrono::milliseconds timeout) {
  return Exchange(WriteRequest(Address(), write.reg, write.value), timeout);
}

SampleRecord Connection::RecordSample(const std::string& path, int year, int month, int day, int hour,
                                      int minute, int second, int msec) const {
  SampleRecord r;
  r.cells = {
      SampleTimeText(year, month, day, hour, minute, second, msec),
      SampleValueText(kept_.temperature),
      SampleValueText(kept_.moisture),
      SampleValueText(kept_.peakFrequency),
      SampleValueText(kept_.peakWidth),
  };
  r.fileText = AppendSampleLine(path, SampleLine(r.cells));
  return r;
}

std::string OpenErrorText(OpenError error, std::string_view portName) {
  const std::string port(portName);
  switch (error) {
    case OpenError::None: return {};
    case OpenError::NotFound:
      return "Port " + port + " does not exist: check the name and that the adapter is plugged in.";
    case OpenError::NoPermission:
      return "No permission to open " + port +
             ": add your user to the dialout group (sudo adduser $USER dialout) and log in again.";
    case OpenError::Busy:
      return "Port " + port + " is in use by another program: close it there and try again.";
    case OpenError::NotSerial: return port + " is not a serial port: name the adapter's device.";
    case OpenError::Other: break;
  }
  return "Cannot open port " + port + ": check the name and the adapter.";
}

}  // namespace tagris
