#pragma once
// Talking to the simulated unit through a real port object, for the Windows port
// test and the probe: one poll, and a watchdog that keeps a stuck wait from
// hanging the program.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "modbus/crc.h"
#include "serial/serial_port.h"

namespace tagris::test {

using Bytes = std::vector<std::uint8_t>;

// Read 54 registers from address 0 of unit 5, and the size of its reply.
inline const Bytes kPoll{0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};
inline constexpr std::size_t kPollReplySize = 113;

// True for a whole, well-formed answer to kPoll.
inline bool IsPollReply(const Bytes& r) {
  return r.size() == kPollReplySize && r[0] == 0x05 && r[1] == 0x03 && r[2] == 0x6C && CrcMatches(r);
}

// Cancels the port when an armed deadline passes: a wait that would hang ends
// (as Cancelled) and the caller fails instead. Cancel() stays in force until
// Close(), so a port that was cancelled is done for.
class Watchdog {
 public:
  explicit Watchdog(SerialPort& port) : port_(port), thread_([this] { Run(); }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(m_);
      stop_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  void Arm(std::chrono::milliseconds within) {
    std::lock_guard lock(m_);
    deadline_ = std::chrono::steady_clock::now() + within;
    armed_ = true;
    cv_.notify_all();
  }
  void Disarm() {
    std::lock_guard lock(m_);
    armed_ = false;
  }
  bool Fired() {
    std::lock_guard lock(m_);
    return fired_;
  }

 private:
  void Run() {
    std::unique_lock lock(m_);
    while (!stop_) {
      if (!armed_) {
        cv_.wait(lock);
        continue;
      }
      if (cv_.wait_until(lock, deadline_) == std::cv_status::timeout && armed_ &&
          std::chrono::steady_clock::now() >= deadline_) {
        armed_ = false;
        fired_ = true;
        port_.Cancel();
      }
    }
  }

  SerialPort& port_;
  std::mutex m_;
  std::condition_variable cv_;
  bool stop_ = false, armed_ = false, fired_ = false;
  std::chrono::steady_clock::time_point deadline_;
  std::thread thread_;  // last: starts once the rest is set up
};

// Sends a request and collects the answer the way the receive thread does: wait
// for characters, count them, read once enough are queued. Stops at `expected`
// bytes, or at the first event other than Received (returned in `ended`).
inline Bytes Exchange(SerialPort& port, const Bytes& request, std::size_t expected, PortEvent& ended) {
  port.PurgeInput();
  ended = PortEvent::Received;
  if (!port.Write(request.data(), request.size())) {
    ended = PortEvent::LineLost;
    return {};
  }
  while (port.QueuedInput() < expected) {
    ended = port.WaitEvent();
    if (ended != PortEvent::Received) break;
  }
  Bytes reply(port.QueuedInput());
  reply.resize(port.Read(reply.data(), reply.size()));
  return reply;
}

}  // namespace tagris::test
