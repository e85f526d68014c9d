#include "serial/serial_link.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tagris {

namespace {

// Pace of the receive thread while the line is gone: slow enough to cost nothing,
// quick enough to notice a line that comes back.
constexpr int kLostLineRetryMs = 250;

}  // namespace

SerialLink::SerialLink(PortFactory makePort) : makePort_(std::move(makePort)) {}

SerialLink::~SerialLink() { Close(); }

bool SerialLink::OpenPort(std::string_view portName) {
  Close();
  auto port = makePort_();
  if (!port || !port->Open(PortDevicePath(portName))) return false;
  PortHandle = std::move(port);
  return true;
}

void SerialLink::Configure(const PortSettings& settings) {
  if (PortHandle) PortHandle->Configure(settings);
}

void SerialLink::Start(HandOverHook hook) {
  if (!PortHandle || Reader.joinable()) return;
  hook_ = std::move(hook);
  stop_ = false;
  lineLost_ = false;
  {
    std::lock_guard lock(handOverMutex_);
    handOverPending_ = false;
  }
  {
    std::lock_guard lock(txMutex_);
    txReady_ = false;
  }
  PurgeInput();
  Reader = std::thread([this] { ReadThreadExecute(); });
  Writer = std::thread([this] { WriteThreadExecute(); });
}

void SerialLink::Close() {
  stop_ = true;
  // Taking each mutex once after setting the flag means no waiter can miss it.
  {
    std::lock_guard lock(handOverMutex_);
    handOverPending_ = false;
  }
  handOverCv_.notify_all();
  { std::lock_guard lock(txMutex_); }
  txCv_.notify_all();
  if (PortHandle) PortHandle->Cancel();
  if (Reader.joinable()) Reader.join();
  if (Writer.joinable()) Writer.join();
  if (PortHandle) PortHandle->Close();
  PortHandle.reset();
  hook_ = nullptr;
}

bool SerialLink::IsOpen() const { return PortHandle != nullptr; }

void SerialLink::PurgeInput() {
  std::lock_guard lock(rxMutex_);
  if (PortHandle) PortHandle->PurgeInput();
}

void SerialLink::SendFrame(const std::uint8_t* frame, std::int32_t count) {
  if (!PortHandle) return;
  const auto n = static_cast<std::size_t>(std::clamp<std::int32_t>(count, 0, kLinkBufferSize));
  {
    // A frame the transmit thread has not taken yet gives way to this one; left
    // ready, the zeroed buffer could go out as a frame of zeros.
    std::lock_guard lock(txMutex_);
    TxBuffer.fill(0);
    txReady_ = false;
  }
  {
    // Late or stray bytes of the previous exchange go, so the count starts afresh.
    std::lock_guard lock(rxMutex_);
    RxBuffer.fill(0);
    rxLength_ = 0;
    PortHandle->PurgeInput();
    ++sendGeneration_;
  }
  PortHandle->PurgeOutput();
  {
    std::lock_guard lock(txMutex_);
    TxLength = static_cast<std::int32_t>(n);
    if (n > 0) std::memcpy(TxBuffer.data(), frame, n);
    txReady_ = true;
  }
  txCv_.notify_one();
}

bool SerialLink::ServeHandOver(const std::function<void(const ReceivedReply&)>& handler) {
  std::uint64_t serving = 0;
  {
    // Marked as being served, so a nested event loop inside the handler cannot
    // serve the same reply twice.
    std::lock_guard lock(handOverMutex_);
    if (!handOverPending_ || servingHandOver_ == handOverSeq_) return false;
    serving = servingHandOver_ = handOverSeq_;
  }
  // A copy of its own: the handler may run a nested event loop in which the
  // link is closed, opened again and RxBuffer refilled.
  std::array<std::uint8_t, kLinkBufferSize> rx;
  std::size_t length = 0;
  bool current = false;
  {
    std::lock_guard lock(rxMutex_);
    rx = RxBuffer;
    length = rxLength_;
    current = readGeneration_ == sendGeneration_;
  }
  if (current && handler) handler(ReceivedReply{rx, length});
  {
    std::lock_guard lock(handOverMutex_);
    if (handOverSeq_ == serving) handOverPending_ = false;
    if (servingHandOver_ == serving) servingHandOver_ = 0;
  }
  handOverCv_.notify_all();
  return true;
}

std::array<std::uint8_t, kLinkBufferSize> SerialLink::RxSnapshot() {
  std::lock_guard lock(rxMutex_);
  return RxBuffer;
}

void SerialLink::ReadThreadExecute() {
  while (!stop_) {
    const PortEvent event = PortHandle->WaitEvent();
    if (stop_ || event == PortEvent::Cancelled) continue;
    if (event == PortEvent::LineLost) {
      // A hung-up line reports itself at once and for ever: wait for the stop
      // instead of spinning; the watchdog shows the missing replies.
      lineLost_ = true;
      PortHandle->WaitCancelled(kLostLineRetryMs);
      continue;
    }
    lineLost_ = false;
    {
      // Count and read as one step, so a purge of the main thread cannot fall between.
      std::lock_guard lock(rxMutex_);
      const std::size_t n = PortHandle->QueuedInput();
      if (n > kLinkBufferSize) {
        RxBuffer.fill(0);
        rxLength_ = 0;
        PortHandle->PurgeInput();
        continue;
      }
      if (n == 0 || n < ExpectedReplyLength.load()) continue;  // the rest is still on its way
      rxLength_ = PortHandle->Read(RxBuffer.data(), n);
      readGeneration_ = sendGeneration_;
    }
    HandOver();
  }
}

void SerialLink::HandOver() {
  std::unique_lock lock(handOverMutex_);
  if (stop_) return;
  ++handOverSeq_;
  handOverPending_ = true;
  lock.unlock();
  if (hook_) hook_();
  lock.lock();
  handOverCv_.wait(lock, [&] { return !handOverPending_ || stop_; });
}

void SerialLink::WriteThreadExecute() {
  // The frame is copied out, so SendFrame never waits for a slow line.
  std::array<std::uint8_t, kLinkBufferSize> frame;
  for (;;) {
    std::size_t n = 0;
    {
      std::unique_lock lock(txMutex_);
      txCv_.wait(lock, [&] { return txReady_ || stop_; });
      if (stop_) return;
      txReady_ = false;
      n = static_cast<std::size_t>(TxLength);
      std::memcpy(frame.data(), TxBuffer.data(), n);
    }
    PortHandle->Write(frame.data(), n);  // a failed write shows only as a missing reply
  }
}

}  // namespace tagris
