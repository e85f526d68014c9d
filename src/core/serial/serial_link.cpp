#include "serial/serial_link.h"

#include <algorithm>

namespace tagris {

namespace {

// Pace of the receive thread while the line is gone: slow enough to cost nothing,
// quick enough to notice a line that comes back.
constexpr int kLostLineRetryMs = 250;

// Chunks kept for an owner that does not take them (it only drops stale ones
// anyway); a flood of small reads must not grow memory without end.
constexpr std::size_t kInboxLimit = 256;

}  // namespace

SerialLink::SerialLink(PortFactory makePort) : makePort_(std::move(makePort)) {}

SerialLink::~SerialLink() { Close(); }

OpenError SerialLink::Open(std::string_view portName) {
  Close();
  auto port = makePort_();
  if (!port) return OpenError::Other;
  if (!port->Open(PortDevicePath(portName))) {
    const OpenError why = port->LastOpenError();
    return why == OpenError::None ? OpenError::Other : why;
  }
  port_ = std::move(port);
  return OpenError::None;
}

void SerialLink::Configure(const PortSettings& settings) {
  if (port_) port_->Configure(settings);
}

void SerialLink::Start(std::size_t threshold, Wake wake) {
  if (!port_ || reader_.joinable()) return;
  wake_ = std::move(wake);
  stop_ = false;
  lineLost_ = false;
  {
    std::lock_guard lock(txMutex_);
    txReady_ = false;
  }
  {
    std::lock_guard lock(rxMutex_);
    threshold_ = threshold;
    port_->PurgeInput();
  }
  {
    std::lock_guard lock(inboxMutex_);
    inbox_.clear();
  }
  reader_ = std::thread([this] { ReadThreadExecute(); });
  writer_ = std::thread([this] { WriteThreadExecute(); });
}

void SerialLink::Close() {
  stop_ = true;
  // Taking each mutex once after setting the flag means no waiter can miss it.
  { std::lock_guard lock(txMutex_); }
  txCv_.notify_all();
  { std::lock_guard lock(inboxMutex_); }
  inboxCv_.notify_all();
  if (port_) port_->Cancel();
  if (reader_.joinable()) reader_.join();
  if (writer_.joinable()) writer_.join();
  if (port_) port_->Close();
  port_.reset();
  wake_ = nullptr;
  std::lock_guard lock(inboxMutex_);
  inbox_.clear();
}

std::uint64_t SerialLink::Send(std::span<const std::uint8_t> frame, std::size_t threshold, bool purge) {
  if (!port_) return exchange_.load();
  {
    std::lock_guard lock(txMutex_);
    txReady_ = false;
  }
  std::uint64_t exchange = 0;
  {
    // Late or stray bytes of the previous exchange go, so the count starts afresh.
    std::lock_guard lock(rxMutex_);
    if (purge) port_->PurgeInput();
    threshold_ = threshold;
    exchange = ++exchange_;
  }
  port_->PurgeOutput();
  {
    std::lock_guard lock(txMutex_);
    txFrame_.assign(frame.begin(), frame.begin() + std::min(frame.size(), kLinkBufferSize));
    txReady_ = true;
  }
  txCv_.notify_one();
  return exchange;
}

std::vector<ReceivedChunk> SerialLink::Take() {
  std::lock_guard lock(inboxMutex_);
  std::vector<ReceivedChunk> taken(std::make_move_iterator(inbox_.begin()), std::make_move_iterator(inbox_.end()));
  inbox_.clear();
  return taken;
}

bool SerialLink::WaitForChunk(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock lock(inboxMutex_);
  inboxCv_.wait_until(lock, deadline, [&] { return !inbox_.empty() || lineLost_.load() || stop_.load(); });
  return !inbox_.empty();
}

void SerialLink::Notify() {
  { std::lock_guard lock(inboxMutex_); }
  inboxCv_.notify_all();
  if (wake_) wake_();
}

void SerialLink::Deliver(ReceivedChunk&& chunk) {
  {
    std::lock_guard lock(inboxMutex_);
    if (inbox_.size() >= kInboxLimit) inbox_.pop_front();
    inbox_.push_back(std::move(chunk));
  }
  inboxCv_.notify_all();
  if (wake_) wake_();
}

void SerialLink::ReadThreadExecute() {
  while (!stop_) {
    const PortEvent event = port_->WaitEvent();
    if (stop_ || event == PortEvent::Cancelled) continue;
    if (event == PortEvent::LineLost) {
      // A hung-up line reports itself at once and for ever: wait for the stop
      // instead of spinning. The owner hears of it once.
      if (!lineLost_.exchange(true)) Notify();
      port_->WaitCancelled(kLostLineRetryMs);
      continue;
    }
    lineLost_ = false;
    ReceivedChunk chunk;
    {
      // Count and read as one step, so a purge of the owner cannot fall between.
      std::lock_guard lock(rxMutex_);
      const std::size_t n = port_->QueuedInput();
      if (n > kLinkBufferSize) {
        port_->PurgeInput();
        continue;
      }
      if (n == 0 || n < threshold_) continue;  // the rest is still on its way
      chunk.length = port_->Read(chunk.bytes.data(), n);
      chunk.exchange = exchange_.load();
      chunk.threshold = threshold_;
    }
    chunk.at = std::chrono::steady_clock::now();
    Deliver(std::move(chunk));
  }
}

void SerialLink::WriteThreadExecute() {
  // The frame is copied out, so Send never waits for a slow line.
  std::vector<std::uint8_t> frame;
  for (;;) {
    {
      std::unique_lock lock(txMutex_);
      txCv_.wait(lock, [&] { return txReady_ || stop_; });
      if (stop_) return;
      txReady_ = false;
      frame = txFrame_;
    }
    port_->Write(frame.data(), frame.size());  // a failed write shows only as a missing reply
  }
}

}  // namespace tagris
