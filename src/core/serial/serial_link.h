#pragma once
// The serial link: the port with its receive and transmit threads.
//
// Every request starts an exchange (Send returns its number). The receive thread
// waits for characters; once at least the exchange's threshold of bytes is queued
// it reads all of them in one read, tags the copy with the exchange and puts it in
// the inbox, then calls the wake-up and goes on: it never waits for its reader.
// The owner takes the copies (Take) on its own thread and drops those of an
// exchange that is over, so a late reply is never taken for the current one and
// nothing the owner is handling can be overwritten. More than 2048 queued bytes
// are discarded unread.
// The transmit thread sleeps until Send gives it a frame, writes it, sleeps again.
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>
#include <vector>

#include "serial/serial_port.h"

namespace tagris {

inline constexpr std::size_t kLinkBufferSize = 2048;

// One read of the receive thread, as a value of its own.
struct ReceivedChunk {
  std::uint64_t exchange = 0;  // the Send() it belongs to; 0 before the first
  std::size_t threshold = 0;   // the count the receive thread waited for
  std::size_t length = 0;      // bytes read
  std::array<std::uint8_t, kLinkBufferSize> bytes{};  // as read, zero past length
  std::chrono::steady_clock::time_point at;           // when the read ended

  std::span<const std::uint8_t> Read() const { return std::span(bytes).first(length); }
};

class SerialLink {
 public:
  using PortFactory = std::function<std::unique_ptr<SerialPort>()>;
  // Called on the receive thread when the inbox gained a chunk or the line was
  // lost; must not block (the window rings its event loop, a console wakes a wait).
  using Wake = std::function<void()>;

  explicit SerialLink(PortFactory makePort = MakeSystemPort);
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Connect, in this order: Open, Configure (refusals are not reported: the line
  // keeps what the driver took), Start.
  OpenError Open(std::string_view portName);
  void Configure(const PortSettings& settings);
  // Purges the input queue and starts both threads; threshold holds until the first Send.
  void Start(std::size_t threshold, Wake wake);
  // Stops and joins both threads and closes the port. Safe at any stage, never
  // waits for the owner's event loop.
  void Close();
  bool IsOpen() const { return port_ != nullptr; }

  // Owner's thread, while open. Starts a new exchange: purges both queues (unless
  // told to keep what came in, for a diagnosis that looks at late bytes), sets the
  // threshold and hands the frame to the transmit thread. A frame the transmit
  // thread has not taken yet gives way to this one.
  std::uint64_t Send(std::span<const std::uint8_t> frame, std::size_t threshold, bool purge = true);
  std::uint64_t CurrentExchange() const { return exchange_.load(); }

  // Everything read since the last call, oldest first (of any exchange).
  std::vector<ReceivedChunk> Take();
  // Waits until a chunk is waiting, the line is lost, or the deadline passes;
  // true when a chunk is waiting.
  bool WaitForChunk(std::chrono::steady_clock::time_point deadline);

  // The port reported a hang-up (adapter pulled, device gone) and has not
  // delivered a byte since.
  bool LineLost() const { return lineLost_.load(); }

 private:
  void ReadThreadExecute();
  void WriteThreadExecute();
  void Deliver(ReceivedChunk&& chunk);
  void Notify();

  PortFactory makePort_;
  std::unique_ptr<SerialPort> port_;
  Wake wake_;
  std::thread reader_;
  std::thread writer_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> lineLost_{false};
  std::atomic<std::uint64_t> exchange_{0};

  std::mutex txMutex_;  // txFrame_, txReady_
  std::condition_variable txCv_;
  std::vector<std::uint8_t> txFrame_;
  bool txReady_ = false;

  std::mutex rxMutex_;  // threshold_ and the exchange number against count+read as one step
  std::size_t threshold_ = 0;

  std::mutex inboxMutex_;
  std::condition_variable inboxCv_;
  std::deque<ReceivedChunk> inbox_;
};

}  // namespace tagris
