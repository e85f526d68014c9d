#pragma once
// The serial link: the port and the receive and transmit threads with the buffers
// they share with the main thread.
//
// Receive thread: waits for characters; once at least ExpectedReplyLength bytes
// are queued it reads all of them into RxBuffer in one read and hands the reply
// to the main thread, waiting until the main thread has dealt with it. More than
// 2048 queued bytes are discarded unread.
// Transmit thread: sleeps until SendFrame gives it a frame, writes it, sleeps again.
//
// The hand-over: the receive thread marks its reply pending, calls the hook
// (the window rings its event loop) and waits until ServeHandOver has run on
// the main thread, or until Close(). Close() never waits for the main thread,
// so it may run anywhere on the main thread, also while a hand-over is pending.
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string_view>
#include <thread>

#include "serial/serial_port.h"

namespace tagris {

inline constexpr std::size_t kLinkBufferSize = 2048;

// A reply as handed to the main thread: RxBuffer as read and the number of bytes
// the read took (bytes past that are whatever an earlier read of this exchange left).
struct ReceivedReply {
  std::span<const std::uint8_t, kLinkBufferSize> buffer;
  std::size_t length = 0;
};

class SerialLink {
 public:
  using PortFactory = std::function<std::unique_ptr<SerialPort>()>;
  using HandOverHook = std::function<void()>;

  explicit SerialLink(PortFactory makePort = MakeSystemPort);
  ~SerialLink();
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Connect, in this order: OpenPort (false: the port cannot be had), Configure
  // (refusals are not reported, the line keeps what the driver took), Start.
  bool OpenPort(std::string_view portName);
  void Configure(const PortSettings& settings);
  // Purges the input queue and starts both threads; hook is called on the
  // receive thread for every reply to hand over.
  void Start(HandOverHook hook);
  // ClosePort: stops and joins both threads, closes the port. Safe at any stage.
  void Close();
  bool IsOpen() const;

  // Main thread, while open.
  void PurgeInput();
  // Zeroes both buffers, purges both queues, copies the frame into TxBuffer and
  // wakes the transmit thread. A reply read before this call is not handed on.
  void SendFrame(const std::uint8_t* frame, std::int32_t count);

  // Main thread: runs handler for the pending hand-over while the receive thread
  // waits, then lets the receive thread go on. False when none is pending (none
  // came, or Close() gave it up). Skips the handler when a frame was sent after
  // the reply was read: that reply belongs to an exchange already over.
  bool ServeHandOver(const std::function<void(const ReceivedReply&)>& handler);

  // Threshold of the receive thread; the connect sets it first, Tick before each frame.
  std::atomic<std::uint32_t> ExpectedReplyLength{0};

  // Diagnostics and tests.
  std::array<std::uint8_t, kLinkBufferSize> RxSnapshot();
  bool LineLost() const { return lineLost_.load(); }
  std::thread::native_handle_type ReaderHandle() { return Reader.native_handle(); }

 private:
  void ReadThreadExecute();
  void WriteThreadExecute();
  void HandOver();

  PortFactory makePort_;
  std::unique_ptr<SerialPort> PortHandle;
  HandOverHook hook_;
  std::thread Reader;
  std::thread Writer;
  std::atomic<bool> stop_{false};
  std::atomic<bool> lineLost_{false};

  std::mutex txMutex_;  // TxBuffer, TxLength, txReady_
  std::condition_variable txCv_;
  std::array<std::uint8_t, kLinkBufferSize> TxBuffer{};
  std::int32_t TxLength = 0;
  bool txReady_ = false;

  std::mutex rxMutex_;  // RxBuffer, rxLength_, generations, and count+read as one step
  std::array<std::uint8_t, kLinkBufferSize> RxBuffer{};
  std::size_t rxLength_ = 0;
  std::uint64_t sendGeneration_ = 0;  // frames sent so far
  std::uint64_t readGeneration_ = 0;  // sendGeneration_ when RxBuffer was filled

  std::mutex handOverMutex_;  // handOverPending_, handOverSeq_, servingHandOver_
  std::condition_variable handOverCv_;
  bool handOverPending_ = false;
  std::uint64_t handOverSeq_ = 0;      // numbers the hand-overs of the receive thread
  std::uint64_t servingHandOver_ = 0;  // the one the main thread is running, 0 for none
};

}  // namespace tagris
