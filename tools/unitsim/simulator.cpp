#include "simulator.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <utility>

#include "modbus/crc.h"

namespace tagris::unitsim {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct FaultEntry {
  FaultKind kind;
  std::string_view name;
};

constexpr std::array<FaultEntry, 9> kFaultNames = {{
    {FaultKind::None, "none"},
    {FaultKind::BadCrc, "bad-crc"},
    {FaultKind::WrongAddress, "wrong-address"},
    {FaultKind::Silent, "silent"},
    {FaultKind::Bursts, "bursts"},
    {FaultKind::Trailing, "trailing"},
    {FaultKind::Flood, "flood"},
    {FaultKind::Hangup, "hangup"},
    {FaultKind::Mix, "mix"},
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

}  // namespace

std::string_view FaultName(FaultKind kind) {
  for (const auto& entry : kFaultNames)
    if (entry.kind == kind) return entry.name;
  return "none";
}

std::optional<FaultKind> ParseFaultKind(std::string_view name) {
  for (const auto& entry : kFaultNames)
    if (entry.name == name) return entry.kind;
  if (name == "random") return FaultKind::Mix;
  return std::nullopt;
}

Simulator::Simulator(SimulatorOptions options)
    : options_(std::move(options)),
      model_(ModelOptions{options_.address, options_.followAddressWrites, options_.negativeTemperature,
                          options_.seed}),
      fault_(options_.fault),
      faultRate_(std::clamp(options_.faultRate, 0.0, 1.0)),
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

// Flags such as stopping_ and hangUpNow_ carry the meaning; the counter only wakes.
void Simulator::DrainWake() {
  std::uint64_t count;
  [[maybe_unused]] auto n = read(wakeFd_, &count, sizeof count);
}

void Simulator::SetFault(FaultKind kind, double rate) {
  std::lock_guard lock(mutex_);
  fault_ = kind;
  faultRate_ = std::clamp(rate, 0.0, 1.0);
}

void Simulator::HangUp() {
  {
    std::lock_guard lock(mutex_);
    hangUpNow_ = true;
  }
  Wake();
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
  s.framesIgnored = counters_.framesIgnored;
  s.faultsInjected = counters_.faultsInjected;
  s.hangups = counters_.hangups;
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
  while (!stopping_) {
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
    if (!Sleep(options_.hangupTime)) break;
    try {
      endpoint_.Open();
    } catch (const std::system_error& e) {
      Event(std::string("Cannot reopen the line: ") + e.what());
      Sleep(options_.hangupTime);
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      slavePath_ = endpoint_.SlavePath();
    }
    ++counters_.reopens;
    Event("Line back on " + endpoint_.LinkPath() + " (" + endpoint_.SlavePath() + ")");
  }
}

void Simulator::DropLine() {
  ++counters_.hangups;  // counted first: whoever sees the hang-up also sees the count
  endpoint_.Close();
  assembler_ = FrameAssembler(options_.gap);
  discardedRunsSeen_ = 0;
  Event("Line hung up for " + std::to_string(options_.hangupTime.count()) + " ms");
}

// One pass of the receive loop: wait for bytes, cut them into frames, answer them.
void Simulator::ServeLine() {
  {
    std::unique_lock lock(mutex_);
    if (std::exchange(hangUpNow_, false)) {
      lock.unlock();
      DropLine();
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
    DropLine();
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
    if (!endpoint_.IsOpen() || stopping_) break;
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
  static constexpr std::array<std::pair<FaultKind, int>, 7> kWeights = {{
      {FaultKind::BadCrc, 3},
      {FaultKind::WrongAddress, 2},
      {FaultKind::Silent, 3},
      {FaultKind::Bursts, 3},
      {FaultKind::Trailing, 3},
      {FaultKind::Flood, 1},
      {FaultKind::Hangup, 1},
  }};
  int total = 0;
  for (const auto& [k, w] : kWeights) total += w;
  int pick = std::uniform_int_distribution<int>(0, total - 1)(random_);
  for (const auto& [k, w] : kWeights) {
    if (pick < w) return k;
    pick -= w;
  }
  return FaultKind::None;
}

void Simulator::HandleFrame(const FrameAssembler::Frame& frame) {
  UnitModel::Answer answer;
  std::uint8_t oldAddress;
  std::uint8_t newAddress;
  {
    std::lock_guard lock(mutex_);
    oldAddress = model_.Address();
    if (options_.drift && frame[1] == 0x03 && frame[0] == oldAddress) model_.Drift();
    answer = model_.Handle(frame);
    newAddress = model_.Address();
  }
  if (options_.traceFrames) Event("<-- " + Hex(frame.data(), frame.size()));
  if (answer.outcome == UnitModel::Outcome::Ignored) {
    ++counters_.framesIgnored;
    return;
  }
  ++counters_.requestsSeen;
  if (answer.writtenRegister >= 0) {
    ++counters_.writesApplied;
    Event("Register " + std::to_string(answer.writtenRegister) + " set to " +
          std::to_string(Registers()[static_cast<std::size_t>(answer.writtenRegister)]));
    if (newAddress != oldAddress)
      Event("Address changed from " + std::to_string(oldAddress) + " to " + std::to_string(newAddress));
  }
  if (answer.reply.empty()) return;

  std::vector<std::uint8_t> reply = std::move(answer.reply);
  const FaultKind fault = PickFault();
  if (fault != FaultKind::None) ++counters_.faultsInjected;
  bool bursts = false;
  switch (fault) {
    case FaultKind::Silent:
      if (options_.traceFrames) Event("(no reply: silent)");
      return;
    case FaultKind::Hangup:
      DropLine();
      return;
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
    case FaultKind::None:
    case FaultKind::Mix:
      break;
  }
  Send(reply, bursts);
  if (options_.traceFrames) {
    std::string text = "--> " + Hex(reply.data(), std::min<std::size_t>(reply.size(), 120));
    if (reply.size() > 120) text += " ... (" + std::to_string(reply.size()) + " bytes)";
    if (fault != FaultKind::None) text += "  [" + std::string(FaultName(fault)) + "]";
    Event(text);
  }
}

// Writes the reply as one piece or in bursts, paced at the line speed when asked.
void Simulator::Send(const std::vector<std::uint8_t>& bytes, bool bursts) {
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
