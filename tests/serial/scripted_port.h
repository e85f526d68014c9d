#pragma once
// A serial port in memory, standing in for the line in the link and connection
// tests: the test feeds bytes, hangs the line up, and reads back what was written.
// It can tell when the receive thread has dealt with everything fed so far (it is
// back waiting with nothing new), so tests need no sleeps to order their steps.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "serial/serial_port.h"

namespace tagris::test {

using Bytes = std::vector<std::uint8_t>;

class ScriptedPort final : public SerialPort {
 public:
  // Runs on the transmit thread after each write, like a unit that answers.
  using Answer = std::function<void(ScriptedPort&, const Bytes& frame)>;

  bool Open(const std::string&) override { return true; }
  bool Configure(const PortSettings&) override { return true; }
  bool IsOpen() const override { return true; }

  void PurgeInput() override {
    std::lock_guard lock(m_);
    queue_.clear();
    ++purges_;
  }
  void PurgeOutput() override {}
  std::size_t QueuedInput() override {
    std::lock_guard lock(m_);
    return queue_.size();
  }
  std::size_t Read(std::uint8_t* buffer, std::size_t n) override {
    std::lock_guard lock(m_);
    n = std::min(n, queue_.size());
    std::copy_n(queue_.begin(), n, buffer);
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    reads_.push_back(n);
    return n;
  }

  bool Write(const std::uint8_t* bytes, std::size_t n) override {
    const Bytes frame(bytes, bytes + n);
    Answer answer;
    {
      std::unique_lock lock(m_);
      written_.push_back(frame);
      cv_.notify_all();
      // A line whose output is stopped: the write waits until the port is cancelled.
      cv_.wait(lock, [&] { return !stuck_ || cancelled_; });
      if (cancelled_) return false;
      answer = answer_;
    }
    if (answer) answer(*this, frame);
    std::lock_guard lock(m_);
    ++answered_;
    cv_.notify_all();
    return true;
  }

  PortEvent WaitEvent() override {
    std::unique_lock lock(m_);
    ++waits_;
    idle_ = true;
    cv_.notify_all();
    cv_.wait(lock, [&] { return cancelled_ || arrived_ || lost_; });
    idle_ = false;
    if (cancelled_) return PortEvent::Cancelled;
    if (arrived_) {
      arrived_ = false;
      return PortEvent::Received;
    }
    return PortEvent::LineLost;  // as a hung-up line does: at once, every time
  }
  bool WaitCancelled(int ms) override {
    std::unique_lock lock(m_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return cancelled_; });
    return cancelled_;
  }
  void Cancel() override {
    std::lock_guard lock(m_);
    cancelled_ = true;
    cv_.notify_all();
  }
  void Close() override {}

  // ---- the test's side ----

  // Bytes arrive on the line (a hung-up line is back with them).
  void Feed(const Bytes& bytes) {
    std::lock_guard lock(m_);
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
    arrived_ = true;
    lost_ = false;
    cv_.notify_all();
  }
  // As Feed, with bytes made under the port's lock from the number of input
  // purges so far: tells which exchange the bytes arrived in.
  void FeedMade(const std::function<Bytes(std::uint64_t purges)>& make) {
    std::lock_guard lock(m_);
    const Bytes bytes = make(purges_);
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
    arrived_ = true;
    cv_.notify_all();
  }
  void HangUp() {
    std::lock_guard lock(m_);
    lost_ = true;
    cv_.notify_all();
  }
  // Waits until the receive thread is back waiting with nothing fed since: all
  // fed bytes were counted (and read, if enough). False on timeout or cancel.
  bool WaitIdle(std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock lock(m_);
    cv_.wait_for(lock, limit, [&] { return (idle_ && !arrived_) || cancelled_; });
    return idle_ && !arrived_ && !cancelled_;
  }
  bool WaitWritten(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, limit, [&] { return written_.size() >= count; });
  }
  // Waits until `count` writes are done, answers included.
  bool WaitAnswered(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, limit, [&] { return answered_ >= count; });
  }
  void SetAnswer(Answer answer) {
    std::lock_guard lock(m_);
    answer_ = std::move(answer);
  }
  void SetStuck(bool stuck) {
    std::lock_guard lock(m_);
    stuck_ = stuck;
    cv_.notify_all();
  }

  std::vector<Bytes> Written() {
    std::lock_guard lock(m_);
    return written_;
  }
  std::vector<std::size_t> Reads() {
    std::lock_guard lock(m_);
    return reads_;
  }
  std::size_t Queued() { return QueuedInput(); }
  std::uint64_t Purges() {
    std::lock_guard lock(m_);
    return purges_;
  }
  std::uint64_t Waits() {
    std::lock_guard lock(m_);
    return waits_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  Bytes queue_;
  std::vector<Bytes> written_;
  std::vector<std::size_t> reads_;
  Answer answer_;
  std::uint64_t purges_ = 0;
  std::uint64_t waits_ = 0;
  std::size_t answered_ = 0;
  bool idle_ = false;
  bool arrived_ = false;
  bool lost_ = false;
  bool stuck_ = false;
  bool cancelled_ = false;
};

// A port factory for SerialLink/Connection that hands out one ScriptedPort per
// open and lets the test reach the one in use.
class ScriptedPorts {
 public:
  std::function<std::unique_ptr<SerialPort>()> Factory() {
    return [this] {
      auto port = std::make_unique<ScriptedPort>();
      std::lock_guard lock(m_);
      current_ = port.get();
      return port;
    };
  }
  ScriptedPort& operator*() {
    std::lock_guard lock(m_);
    return *current_;
  }
  ScriptedPort* operator->() { return &**this; }

 private:
  std::mutex m_;
  ScriptedPort* current_ = nullptr;
};

}  // namespace tagris::test
