#include "simulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <system_error>
#include <utility>

#include "modbus/crc.h"

namespace tagris::unitsim {

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;

struct FaultEntry {
  FaultKind kind;
  std::string_view name;
  int mixWeight;  // 0: never picked by mix
};

// Late answers and unplugs stay out of mix: one stalls the line for most of a
// second, the other for seconds; hangup already drops the line now and then.
constexpr std::array<FaultEntry, kFaultKindCount> kFaults = {{
    {FaultKind::None, "none", 0},
    {FaultKind::BadCrc, "bad-crc", 3},
    {FaultKind::WrongAddress, "wrong-address", 2},
    {FaultKind::Silent, "silent", 3},
    {FaultKind::Bursts, "bursts", 3},
    {FaultKind::Trailing, "trailing", 3},
    {FaultKind::Flood, "flood", 1},
    {FaultKind::Hangup, "hangup", 1},
    {FaultKind::Mix, "mix", 0},
    {FaultKind::Unplug, "unplug", 0},
    {FaultKind::Echo, "echo", 2},
    {FaultKind::EchoOnly, "echo-only", 1},
    {FaultKind::Garbage, "garbage", 2},
    {FaultKind::Exception, "exception", 2},
    {FaultKind::Late, "late", 0},
    {FaultKind::Short, "short", 2},
    {FaultKind::WrongFunction, "wrong-function", 1},
    {FaultKind::WrongCount, "wrong-count", 1},
}};

std::string Hex(const std::uint8_t* data, std::size_t n) {
  std::string text;
  char item[4];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(item, sizeof item, i == 0 ? "%02X" : " %02X", data[i]);
    text += item;
  }
  return text;
}

int PollTimeout(Clock::duration d) {
  const auto ms = std::chrono::ceil<milliseconds>(d).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 60000));
}

// How long this unit's answer to `request` would be.
std::size_t AnswerLength(const FrameAssembler::Frame& request) {
  if (request[1] == 0x06) return kRequestLength;
  if (request[1] == 0x03) {
    const int first = request[2] << 8 | request[3];
    const int count = request[4] << 8 | request[5];
    if (count >= 1 && first + count <= kRegisterCount) return static_cast<std::size_t>(5 + 2 * count);
  }
  return 5;
}

// True when some run of bytes in `bytes` ends in its own CRC: a master could take it for a frame.
bool HoldsAFrame(const Bytes& bytes) {
  for (std::size_t start = 0; start < bytes.size(); ++start) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t end = start; end + 2 < bytes.size(); ++end) {
      crc ^= bytes[end];
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
      const bool longEnough = end - start + 1 >= 2;  // address and function at least
      if (longEnough && bytes[end + 1] == (crc & 0xFF) && bytes[end + 2] == (crc >> 8)) return true;
    }
  }
  return false;
}

}  // namespace

std::string_view FaultName(FaultKind kind) {
  for (const auto& entry : kFaults)
    if (entry.kind == kind) return entry.name;
  return "none";
}

std::optional<FaultKind> ParseFaultKind(std::string_view name) {
  for (const auto& entry : kFaults)
    if (entry.name == name) return entry.kind;
  if (name == "random") return FaultKind::Mix;
  return std::nullopt;
}

const std::vector<FaultKind>& AllFaultKinds() {
  static const std::vector<FaultKind> kinds = [] {
    std::vector<FaultKind> all;
    for (const auto& entry : kFaults) all.push_back(entry.kind);
    return all;
  }();
  return kinds;
}

std::string DescribeStats(const SimulatorStats& s, bool detailed) {
  auto n = [](std::uint64_t v) { return std::to_string(v); };
  std::string text = n(s.requestsSeen) + " requests, " + n(s.repliesSent) + " replies, " + n(s.writesApplied) +
                     " writes, " + n(s.framesIgnored) + " ignored";
  if (!detailed) return text;
  const std::pair<const char*, std::uint64_t> counters[] = {
      {"writes ignored", s.writesIgnored},   {"writes refused", s.writesRefused},
      {"writes dropped", s.writesDropped},   {"exceptions sent", s.exceptionsSent},
      {"line mismatches", s.lineMismatches}, {"faults injected", s.faultsInjected},
      {"hang-ups", s.hangups},               {"unplugs", s.unplugs},
      {"reopens", s.reopens},                {"bytes received", s.bytesReceived},
      {"bytes sent", s.bytesSent},
  };
  for (const auto& [name, value] : counters)
    if (value != 0) text += "\n  " + std::string(name) + ": " + n(value);
  for (FaultKind kind : AllFaultKinds())
    if (s.Faults(kind) != 0) text += "\n  fault " + std::string(FaultName(kind)) + ": " + n(s.Faults(kind));
  return text;
}

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)),
      model_(ModelOptions{options_.address, options_.followAddressWrites, options_.negativeTemperature, options_.seed,
                          SerialSettingsWord(options_.line).value_or(ModelOptions{}.serialSettings),
                          options_.writePolicy, options_.refuseCode}),
      fault_(options_.fault),
      faultRate_(std::clamp(options_.faultRate, 0.0, 1.0)),
      line_(options_.line),
      endpoint_(options_.linkPath),
      assembler_(options_.gap),
      random_(options_.seed ^ 0x5EEDu) {}

Simulator::~Simulator() { Stop(); }

void Simulator::Start() {
  if (Running()) return;
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  try {
    endpoint_.Open();
  } catch (...) {
    close(wakeFd_);
    wakeFd_ = -1;
    throw;
  }
  {
    std::lock_guard lock(mutex_);
    slavePath_ = endpoint_.SlavePath();
    away_ = false;
    replugNow_ = false;
    pendingDrop_.reset();  // asked while nothing ran: there was no line to drop
    dropWaiting_ = false;
  }
  stopping_ = false;
  worker_ = std::thread([this] { Run(); });
}

void Simulator::Stop() {
  if (worker_.joinable()) {
    stopping_ = true;
    Wake();
    worker_.join();
  }
  endpoint_.Close();
  if (wakeFd_ >= 0) {
    close(wakeFd_);
    wakeFd_ = -1;
  }
}

void Simulator::Wake() {
  const std::uint64_t one = 1;
  if (wakeFd_ >= 0) [[maybe_unused]] auto n = write(wakeFd_, &one, sizeof one);
}

// Flags such as stopping_ and pendingDrop_ carry the meaning; the counter only wakes.
void Simulator::DrainWake() {
  std::uint64_t count;
  [[maybe_unused]] auto n = read(wakeFd_, &count, sizeof count);
}

void Simulator::SetFault(FaultKind kind, double rate) {
  std::lock_guard lock(mutex_);
  fault_ = kind;
  faultRate_ = std::clamp(rate, 0.0, 1.0);
}

void Simulator::RequestDrop(Drop drop) {
  {
    std::lock_guard lock(mutex_);
    pendingDrop_ = drop;
    dropWaiting_ = true;
  }
  Wake();
}

void Simulator::HangUp() { RequestDrop({false, options_.hangupTime}); }

void Simulator::Unplug() { Unplug(options_.unplugTime); }

void Simulator::Unplug(milliseconds away) { RequestDrop({true, std::max(away, milliseconds(0))}); }

void Simulator::Replug() {
  {
    std::lock_guard lock(mutex_);
    if (!away_ && !pendingDrop_) return;
    replugNow_ = true;
  }
  Wake();
}

bool Simulator::LineUp() const {
  std::lock_guard lock(mutex_);
  return !away_;
}

void Simulator::SetWritePolicy(WritePolicy policy, std::uint8_t refuseCode) {
  std::lock_guard lock(mutex_);
  model_.SetWritePolicy(policy, refuseCode);
}

void Simulator::SetLineSettings(const LineSettings& line) {
  std::lock_guard lock(mutex_);
  line_ = line;
  if (const auto word = SerialSettingsWord(line)) model_.SetRegister(reg::kSerialSettings, *word);
}

LineSettings Simulator::OwnLineSettings() const {
  std::lock_guard lock(mutex_);
  return line_;
}

std::optional<LineSettings> Simulator::LastMasterLineSettings() const {
  std::lock_guard lock(mutex_);
  return lastMasterLine_;
}

std::string Simulator::SlavePath() const {
  std::lock_guard lock(mutex_);
  return slavePath_;
}

std::uint8_t Simulator::Address() const {
  std::lock_guard lock(mutex_);
  return model_.Address();
}

std::array<std::uint16_t, kRegisterCount> Simulator::Registers() const {
  std::lock_guard lock(mutex_);
  return model_.Registers();
}

void Simulator::SetRegister(int n, std::uint16_t value) {
  std::lock_guard lock(mutex_);
  model_.SetRegister(n, value);
}

SimulatorStats Simulator::Stats() const {
  SimulatorStats s;
  s.requestsSeen = counters_.requestsSeen;
  s.repliesSent = counters_.repliesSent;
  s.writesApplied = counters_.writesApplied;
  s.writesIgnored = counters_.writesIgnored;
  s.writesRefused = counters_.writesRefused;
  s.writesDropped = counters_.writesDropped;
  s.exceptionsSent = counters_.exceptionsSent;
  s.framesIgnored = counters_.framesIgnored;
  s.lineMismatches = counters_.lineMismatches;
  s.faultsInjected = counters_.faultsInjected;
  for (std::size_t i = 0; i < kFaultKindCount; ++i) s.faults[i] = counters_.faults[i];
  s.hangups = counters_.hangups;
  s.unplugs = counters_.unplugs;
  s.reopens = counters_.reopens;
  s.bytesReceived = counters_.bytesReceived;
  s.bytesSent = counters_.bytesSent;
  return s;
}

void Simulator::Event(const std::string& text) {
  if (options_.onEvent) options_.onEvent(text);
}

bool Simulator::Sleep(Clock::duration d) {
  const auto until = Clock::now() + d;
  while (!stopping_ && !dropWaiting_) {
    const auto left = until - Clock::now();
    if (left <= Clock::duration::zero()) return true;
    pollfd wake{wakeFd_, POLLIN, 0};
    if (poll(&wake, 1, PollTimeout(left)) > 0) DrainWake();
  }
  return false;
}

void Simulator::Run() {
  while (!stopping_) {
    if (endpoint_.IsOpen()) {
      ServeLine();
      continue;
    }
    // The line is away, as an unplugged adapter is; then it comes back on a new device.
    if (!WaitWhileAway()) break;
    try {
      endpoint_.Open();
    } catch (const std::system_error& e) {
      Event(std::string("Cannot reopen the line: ") + e.what());
      std::lock_guard lock(mutex_);
      backAt_ = Clock::now() + std::max(options_.hangupTime, milliseconds(100));
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      slavePath_ = endpoint_.SlavePath();
      away_ = false;
      replugNow_ = false;  // a replug asked just as the line came back is spent
    }
    ++counters_.reopens;
    Event("Line back on " + endpoint_.LinkPath() + " (" + endpoint_.SlavePath() + ")");
  }
}

// Waits out the absence of the line; a drop asked meanwhile starts it again, Replug ends it.
bool Simulator::WaitWhileAway() {
  while (!stopping_) {
    Clock::duration left;
    {
      std::lock_guard lock(mutex_);
      if (pendingDrop_) {
        backAt_ = Clock::now() + pendingDrop_->away;
        pendingDrop_.reset();
        dropWaiting_ = false;
      }
      if (std::exchange(replugNow_, false)) return true;
      left = backAt_ - Clock::now();
    }
    if (left <= Clock::duration::zero()) return true;
    pollfd wake{wakeFd_, POLLIN, 0};
    if (poll(&wake, 1, PollTimeout(left)) > 0) DrainWake();
  }
  return false;
}

void Simulator::DropLine(Drop drop) {
  // Counted first: whoever sees the hang-up also sees the count.
  ++counters_.hangups;
  if (drop.unplug) ++counters_.unplugs;
  {
    std::lock_guard lock(mutex_);
    away_ = true;
    backAt_ = Clock::now() + drop.away;
  }
  // The link goes before the master's side hangs up, so a master that sees the
  // hang-up and opens the path again finds it missing, as after a pulled adapter.
  endpoint_.Close();
  assembler_ = FrameAssembler(options_.gap);
  discardedRunsSeen_ = 0;
  lastMismatch_.clear();
  Event(std::string(drop.unplug ? "Line unplugged for " : "Line hung up for ") + std::to_string(drop.away.count()) +
        " ms");
}

// One pass of the receive loop: wait for bytes, cut them into frames, answer them.
void Simulator::ServeLine() {
  {
    std::unique_lock lock(mutex_);
    if (pendingDrop_) {
      const Drop drop = *pendingDrop_;
      pendingDrop_.reset();
      dropWaiting_ = false;
      away_ = true;  // from here on Replug has an absence to end
      lock.unlock();
      DropLine(drop);
      return;
    }
  }
  pollfd fds[2] = {{endpoint_.MasterFd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
  // While part of a frame waits, wake up in time to notice the silence that ends it.
  const int timeout = assembler_.Pending() > 0 ? PollTimeout(options_.gap + milliseconds(5)) : 1000;
  if (poll(fds, 2, timeout) < 0 && errno != EINTR) return;
  if (fds[1].revents & POLLIN) DrainWake();
  if (stopping_) return;

  std::uint8_t buffer[4096];
  std::size_t got = 0;
  if (fds[0].revents & POLLIN) {
    const ssize_t n = read(endpoint_.MasterFd(), buffer, sizeof buffer);
    if (n > 0) got = static_cast<std::size_t>(n);
  }
  if ((fds[0].revents & (POLLHUP | POLLERR)) && got == 0) {
    // The slave is held open here, so this is unexpected: start over with a fresh pair.
    DropLine({false, options_.hangupTime});
    return;
  }
  counters_.bytesReceived += got;
  frames_.clear();
  assembler_.Feed(std::span<const std::uint8_t>(buffer, got), Clock::now(),
                  [this](const FrameAssembler::Frame& f) { frames_.push_back(f); });
  const std::uint64_t runs = assembler_.DiscardedRuns();
  counters_.framesIgnored += runs - discardedRunsSeen_;
  discardedRunsSeen_ = runs;
  for (const auto& frame : frames_) {
    HandleFrame(frame);
    if (!endpoint_.IsOpen() || stopping_ || dropWaiting_) break;
  }
}

FaultKind Simulator::PickFault() {
  FaultKind kind;
  double rate;
  {
    std::lock_guard lock(mutex_);
    kind = fault_;
    rate = faultRate_;
  }
  if (kind == FaultKind::None) return kind;
  if (std::uniform_real_distribution<double>(0.0, 1.0)(random_) >= rate) return FaultKind::None;
  if (kind != FaultKind::Mix) return kind;
  int total = 0;
  for (const auto& entry : kFaults) total += entry.mixWeight;
  int pick = std::uniform_int_distribution<int>(0, total - 1)(random_);
  for (const auto& entry : kFaults) {
    if (pick < entry.mixWeight) return entry.kind;
    pick -= entry.mixWeight;
  }
  return FaultKind::None;
}

void Simulator::CountFault(FaultKind kind) {
  ++counters_.faultsInjected;
  ++counters_.faults[static_cast<std::size_t>(kind)];
}

// Bytes of the given length in which no run ends in its own CRC and which do not
// start with `notFirst` (the polled address) or 0: a master finds no frame in them.
Bytes Simulator::Garbage(std::size_t length, std::uint8_t notFirst) {
  Bytes bytes(std::max<std::size_t>(length, 1));
  for (auto& b : bytes) b = static_cast<std::uint8_t>(random_());
  std::uniform_int_distribution<std::size_t> at(0, bytes.size() - 1);
  for (;;) {
    while (bytes[0] == notFirst || bytes[0] == 0) bytes[0] = static_cast<std::uint8_t>(random_());
    if (!HoldsAFrame(bytes)) return bytes;
    // A random run matches its CRC about once in 65536 tries; another byte there undoes it.
    bytes[at(random_)] ^= static_cast<std::uint8_t>(1 + random_() % 255);
  }
}

// False (after answering with garbage) when the master's settings on the pty differ from the unit's.
bool Simulator::LineMatches(const FrameAssembler::Frame& frame, bool broadcast) {
  if (!options_.checkLineSettings) return true;
  const auto seen = ReadLineSettings(endpoint_.MasterFd());
  if (!seen) return true;  // hung up meanwhile: the next poll notices
  LineSettings own;
  {
    std::lock_guard lock(mutex_);
    lastMasterLine_ = seen;
    own = line_;
  }
  const std::string why = LineMismatch(*seen, own);
  if (why.empty()) {
    lastMismatch_.clear();
    return true;
  }
  // A unit at other settings makes no sense of the request: it stores nothing.
  ++counters_.requestsSeen;
  ++counters_.lineMismatches;
  if (why != lastMismatch_) {
    Event("The master's line (" + Describe(*seen) + ") is not the unit's (" + Describe(own) +
          "): answering with garbage");
    lastMismatch_ = why;
  }
  if (options_.traceFrames) Event("<-- " + Hex(frame.data(), frame.size()));
  if (broadcast) return false;
  // The master hears about as many bytes more (or fewer) as its speed is above (or below) the unit's.
  const double ratio = std::clamp(static_cast<double>(seen->baud) / std::max<std::uint32_t>(own.baud, 1), 0.25, 4.0);
  const auto length = static_cast<std::size_t>(std::lround(static_cast<double>(AnswerLength(frame)) * ratio));
  const Bytes garbage = Garbage(std::max<std::size_t>(length, 2), frame[0]);
  Send(garbage, false);
  Trace(garbage, "line: " + why);
  return false;
}

void Simulator::HandleFrame(const FrameAssembler::Frame& frame) {
  std::uint8_t oldAddress;
  {
    std::lock_guard lock(mutex_);
    oldAddress = model_.Address();
  }
  const bool broadcast = frame[0] == 0;
  if ((frame[0] == oldAddress || broadcast) && !LineMatches(frame, broadcast)) return;

  // Faults in which the unit does not take the request in: nothing is stored.
  const FaultKind fault = frame[0] == oldAddress ? PickFault() : FaultKind::None;
  if (fault == FaultKind::Unplug || fault == FaultKind::EchoOnly || fault == FaultKind::Exception) {
    CountFault(fault);
    ++counters_.requestsSeen;
    if (options_.traceFrames) Event("<-- " + Hex(frame.data(), frame.size()));
    if (fault == FaultKind::Unplug) {
      DropLine({true, options_.unplugTime});
    } else if (fault == FaultKind::EchoOnly) {
      // The adapter's own bytes, at once: not a reply of the unit.
      WriteAll(frame.data(), frame.size());
      Trace(Bytes(frame.begin(), frame.end()), FaultName(fault));
    } else {
      const Bytes answer = UnitModel::ExceptionReply(frame[0], frame[1], options_.exceptionCode);
      ++counters_.exceptionsSent;
      Send(answer, false);
      Trace(answer, FaultName(fault));
    }
    return;
  }

  UnitModel::Answer answer;
  std::uint8_t newAddress;
  std::uint16_t written = 0;
  {
    std::lock_guard lock(mutex_);
    if (options_.drift && frame[1] == 0x03 && frame[0] == oldAddress) model_.Drift();
    answer = model_.Handle(frame);
    newAddress = model_.Address();
    if (answer.writtenRegister >= 0) written = model_.Register(answer.writtenRegister);
  }
  if (options_.traceFrames) Event("<-- " + Hex(frame.data(), frame.size()));
  if (answer.outcome == UnitModel::Outcome::Ignored) {
    ++counters_.framesIgnored;
    return;
  }
  ++counters_.requestsSeen;
  switch (answer.outcome) {
    case UnitModel::Outcome::Refused:
      ++counters_.writesRefused;
      break;
    case UnitModel::Outcome::Echoed:
      ++counters_.writesIgnored;
      break;
    case UnitModel::Outcome::Dropped:
      ++counters_.writesDropped;
      break;
    default:
      break;
  }
  if (answer.writtenRegister >= 0) {
    ++counters_.writesApplied;
    Event("Register " + std::to_string(answer.writtenRegister) + " set to " + std::to_string(written));
    if (newAddress != oldAddress)
      Event("Address changed from " + std::to_string(oldAddress) + " to " + std::to_string(newAddress));
  }
  if (!answer.reply.empty() && (answer.reply[1] & 0x80)) ++counters_.exceptionsSent;

  if (!answer.reply.empty()) {
    Bytes reply = std::move(answer.reply);
    bool bursts = false;
    Spoil(fault, frame, reply, bursts);
    if (!endpoint_.IsOpen()) return;  // hung up instead of answering
    if (fault != FaultKind::Silent) {
      if (fault == FaultKind::Late && !Sleep(options_.lateTime)) return;
      // The adapter hears its own request while sending it: the echo comes at once, the reply after it.
      if (fault == FaultKind::Echo && !WriteAll(frame.data(), frame.size())) return;
      Send(reply, bursts);
      if (fault == FaultKind::Echo) reply.insert(reply.begin(), frame.begin(), frame.end());
      Trace(reply, fault == FaultKind::None ? "" : FaultName(fault));
    }
  }
  // A unit that takes new line settings does so once its echo has gone out at the old ones.
  if (answer.writtenRegister == reg::kSerialSettings && options_.followSerialWrites) {
    const LineSettings next = FromSerialSettingsWord(written);
    {
      std::lock_guard lock(mutex_);
      line_ = next;
    }
    Event("Line settings now " + Describe(next));
  }
}

// Turns the reply into what the fault makes of it; Hangup drops the line instead.
void Simulator::Spoil(FaultKind fault, const FrameAssembler::Frame& frame, Bytes& reply, bool& bursts) {
  if (fault == FaultKind::None) return;
  if (fault == FaultKind::WrongCount && reply[1] != 0x03) return;  // only a read reply has a byte count
  CountFault(fault);
  switch (fault) {
    case FaultKind::Silent:
      if (options_.traceFrames) Event("(no reply: silent)");
      break;
    case FaultKind::Hangup:
      DropLine({false, options_.hangupTime});
      break;
    case FaultKind::BadCrc:
      reply[reply.size() - 2] ^= 0xFF;
      break;
    case FaultKind::WrongAddress:
      reply[0] = static_cast<std::uint8_t>(reply[0] % 127 + 1);
      StampCrc(reply);
      break;
    case FaultKind::Trailing: {
      const int extra = std::uniform_int_distribution<int>(1, 16)(random_);
      for (int i = 0; i < extra; ++i) reply.push_back(static_cast<std::uint8_t>(random_()));
      break;
    }
    case FaultKind::Flood:
      while (reply.size() < kFloodLength) reply.push_back(static_cast<std::uint8_t>(random_()));
      break;
    case FaultKind::Bursts:
      bursts = true;
      break;
    case FaultKind::Garbage: {
      const std::size_t n = reply.size();
      reply = Garbage(std::uniform_int_distribution<std::size_t>(std::max<std::size_t>(n / 2, 3), n + n / 2)(random_),
                      frame[0]);
      break;
    }
    case FaultKind::Short:
      reply.resize(std::uniform_int_distribution<std::size_t>(std::min<std::size_t>(3, reply.size() - 1),
                                                              reply.size() - 1)(random_));
      break;
    case FaultKind::WrongFunction:
      reply[1] = static_cast<std::uint8_t>((reply[1] & 0x80) | ((reply[1] & 0x7F) == 0x04 ? 0x03 : 0x04));
      StampCrc(reply);
      break;
    case FaultKind::WrongCount:
      reply[2] = static_cast<std::uint8_t>(reply[2] + 2);
      StampCrc(reply);
      break;
    case FaultKind::Late:  // the caller waits or echoes
    case FaultKind::Echo:
    case FaultKind::None:
    case FaultKind::Mix:
    case FaultKind::Unplug:
    case FaultKind::EchoOnly:
    case FaultKind::Exception:
      break;
  }
}

void Simulator::Trace(const Bytes& bytes, std::string_view tag) {
  if (!options_.traceFrames) return;
  std::string text = "--> " + Hex(bytes.data(), std::min<std::size_t>(bytes.size(), 120));
  if (bytes.size() > 120) text += " ... (" + std::to_string(bytes.size()) + " bytes)";
  if (!tag.empty()) text += "  [" + std::string(tag) + "]";
  Event(text);
}

// Writes the reply as one piece or in bursts, paced at the line speed when asked.
void Simulator::Send(const Bytes& bytes, bool bursts) {
  std::vector<std::size_t> cuts;  // ends of the pieces
  if (bursts && bytes.size() > 1) {
    const int pieces = std::uniform_int_distribution<int>(3, 5)(random_);
    std::uniform_int_distribution<std::size_t> at(1, bytes.size() - 1);
    for (int i = 1; i < pieces; ++i) cuts.push_back(at(random_));
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  }
  cuts.push_back(bytes.size());

  const bool paced = options_.paceBaud > 0;
  const auto byteTime = paced ? std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(10.0 / options_.paceBaud))
                              : Clock::duration::zero();
  // A real slave answers only after 3.5 characters of silence end the request.
  if (paced && !Sleep(byteTime * 7 / 2)) return;

  std::size_t begin = 0;
  for (std::size_t piece = 0; piece < cuts.size(); ++piece) {
    if (piece > 0 && !Sleep(milliseconds(std::uniform_int_distribution<int>(20, 60)(random_)))) return;
    const std::size_t end = cuts[piece];
    if (!paced) {
      if (!WriteAll(bytes.data() + begin, end - begin)) return;
    } else {
      const auto start = Clock::now();
      std::size_t sent = begin;
      while (sent < end) {
        const auto elapsed = Clock::now() - start;
        const std::size_t due = std::min(end, begin + 1 + static_cast<std::size_t>(elapsed / byteTime));
        if (due > sent) {
          if (!WriteAll(bytes.data() + sent, due - sent)) return;
          sent = due;
        }
        if (sent < end && !Sleep(start + byteTime * static_cast<long long>(sent - begin) - Clock::now())) return;
      }
    }
    begin = end;
  }
  ++counters_.repliesSent;
}

// Writes everything unless the line stays full for a second (nobody reads the slave) or we stop.
bool Simulator::WriteAll(const std::uint8_t* data, std::size_t n) {
  auto deadline = Clock::now() + std::chrono::seconds(1);
  while (n > 0 && !stopping_) {
    const ssize_t w = write(endpoint_.MasterFd(), data, n);
    if (w > 0) {
      counters_.bytesSent += static_cast<std::uint64_t>(w);
      data += w;
      n -= static_cast<std::size_t>(w);
      deadline = Clock::now() + std::chrono::seconds(1);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (Clock::now() >= deadline) {
      Event("Reply dropped: nobody reads the line");
      return false;
    }
    pollfd fds[2] = {{endpoint_.MasterFd(), POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, 20) > 0 && (fds[1].revents & POLLIN)) DrainWake();
  }
  return n == 0;
}

}  // namespace tagris::unitsim
