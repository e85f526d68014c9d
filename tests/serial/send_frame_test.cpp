// The transmit side of the link on a scripted port that decides when the
// transmit thread gets to run, to pin down orderings a real line only hits
// under load.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/serial_link.h"

namespace tagris {
namespace {

using namespace std::chrono_literals;
using Frame = std::vector<std::uint8_t>;

// Holds the first write until released; PurgeOutput, which SendFrame calls
// between clearing TxBuffer and filling it, can release it there.
class GatedPort : public SerialPort {
 public:
  bool Open(const std::string&) override { return true; }
  bool Configure(const PortSettings&) override { return true; }
  bool IsOpen() const override { return true; }
  void PurgeInput() override {}
  std::size_t QueuedInput() override { return 0; }
  std::size_t Read(std::uint8_t*, std::size_t) override { return 0; }

  bool Write(const std::uint8_t* bytes, std::size_t n) override {
    std::unique_lock lock(m_);
    written_.emplace_back(bytes, bytes + n);
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_ || cancelled_; });
    return !cancelled_;
  }

  // Inside SendFrame: lets the held write finish and gives the transmit thread
  // time to take whatever TxBuffer holds now.
  void PurgeOutput() override {
    std::unique_lock lock(m_);
    if (!releaseOnPurge_) return;
    releaseOnPurge_ = false;
    open_ = true;
    cv_.notify_all();
    const std::size_t before = written_.size();
    cv_.wait_for(lock, 300ms, [&] { return written_.size() > before; });
  }

  PortEvent WaitEvent() override {
    std::unique_lock lock(m_);
    cv_.wait(lock, [&] { return cancelled_; });
    return PortEvent::Cancelled;
  }
  bool WaitCancelled(int) override {
    std::lock_guard lock(m_);
    return cancelled_;
  }
  void Cancel() override {
    std::lock_guard lock(m_);
    cancelled_ = true;
    cv_.notify_all();
  }
  void Close() override {}

  void ReleaseOnNextPurge() {
    std::lock_guard lock(m_);
    releaseOnPurge_ = true;
  }
  bool WaitWritten(std::size_t count) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, 2s, [&] { return written_.size() >= count; });
  }
  std::vector<Frame> Written() {
    std::lock_guard lock(m_);
    return written_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Frame> written_;
  bool open_ = false;
  bool releaseOnPurge_ = false;
  bool cancelled_ = false;
};

TEST(SendFrame, FrameNotYetTakenGivesWayWithoutZerosOnTheLine) {
  GatedPort* port = nullptr;
  SerialLink link([&port] {
    auto p = std::make_unique<GatedPort>();
    port = p.get();
    return p;
  });
  ASSERT_TRUE(link.OpenPort("scripted"));
  link.Start([] {});

  const std::array<std::uint8_t, 8> a{0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};
  const std::array<std::uint8_t, 8> b{0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x59, 0x9A};
  const std::array<std::uint8_t, 8> c{0x07, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC5, 0xBA};
  link.SendFrame(a.data(), 8);
  ASSERT_TRUE(port->WaitWritten(1));  // the transmit thread is busy with a
  link.SendFrame(b.data(), 8);        // b waits in TxBuffer
  port->ReleaseOnNextPurge();
  link.SendFrame(c.data(), 8);  // the thread comes free while c replaces b
  ASSERT_TRUE(port->WaitWritten(2));
  std::this_thread::sleep_for(50ms);  // room for a wrong extra write to show
  const std::vector<Frame> written = port->Written();
  link.Close();  // destroys the port

  const std::vector<Frame> expected{Frame(a.begin(), a.end()), Frame(c.begin(), c.end())};
  EXPECT_EQ(written, expected);
}

}  // namespace
}  // namespace tagris
