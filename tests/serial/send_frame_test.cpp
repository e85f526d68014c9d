// The link's threads on ports in memory that decide when each thread gets to run,
// to pin down orderings a real line only hits under load: a frame replaced before
// the transmit thread took it, chunks tagged with their exchange, the wake-up per
// chunk and per lost line, the 2048-byte rule and the bound of the inbox.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "modbus/frames.h"
#include "scripted_port.h"
#include "serial/serial_link.h"

namespace tagris {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::ScriptedPort;
using test::ScriptedPorts;

// Holds the first write until released; Send releases it from inside, at one of
// the port calls it makes, and gives the transmit thread time to take whatever
// frame is waiting at that moment.
class GatedPort : public SerialPort {
 public:
  enum class Gate { PurgeInput, PurgeOutput };

  bool Open(const std::string&) override { return true; }
  bool Configure(const PortSettings&) override { return true; }
  bool IsOpen() const override { return true; }
  void PurgeInput() override { Release(Gate::PurgeInput); }
  std::size_t QueuedInput() override { return 0; }
  std::size_t Read(std::uint8_t*, std::size_t) override { return 0; }

  bool Write(const std::uint8_t* bytes, std::size_t n) override {
    std::unique_lock lock(m_);
    written_.emplace_back(bytes, bytes + n);
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_ || cancelled_; });
    return !cancelled_;
  }
  void PurgeOutput() override { Release(Gate::PurgeOutput); }

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

  void ReleaseAt(Gate gate) {
    std::lock_guard lock(m_);
    releaseAt_ = gate;
    armed_ = true;
  }
  bool WaitWritten(std::size_t count) {
    std::unique_lock lock(m_);
    return cv_.wait_for(lock, 2s, [&] { return written_.size() >= count; });
  }
  std::vector<Bytes> Written() {
    std::lock_guard lock(m_);
    return written_;
  }

 private:
  void Release(Gate at) {
    std::unique_lock lock(m_);
    if (!armed_ || at != releaseAt_) return;
    armed_ = false;
    open_ = true;
    cv_.notify_all();
    const std::size_t before = written_.size();
    cv_.wait_for(lock, 300ms, [&] { return written_.size() > before; });
  }

  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Bytes> written_;
  bool open_ = false;
  bool armed_ = false;
  Gate releaseAt_ = Gate::PurgeOutput;
  bool cancelled_ = false;
};

TEST(SendFrame, FrameNotYetTakenGivesWayWithoutZerosOnTheLine) {
  const std::array<std::uint8_t, 8> a{0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};
  const std::array<std::uint8_t, 8> b{0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45};
  const std::array<std::uint8_t, 8> c{0x7F, 0x03, 0x00, 0x00, 0x00, 0x36, 0xCF, 0xC2};
  for (const GatedPort::Gate gate : {GatedPort::Gate::PurgeInput, GatedPort::Gate::PurgeOutput}) {
    SCOPED_TRACE(gate == GatedPort::Gate::PurgeInput ? "freed while the input is purged"
                                                     : "freed while the output is purged");
    GatedPort* port = nullptr;
    SerialLink link([&port] {
      auto p = std::make_unique<GatedPort>();
      port = p.get();
      return p;
    });
    ASSERT_EQ(link.Open("scripted"), OpenError::None);
    link.Start(113, [] {});
    link.Send(a, 113);
    ASSERT_TRUE(port->WaitWritten(1));  // the transmit thread is busy with a
    link.Send(b, 105);                  // b waits for it
    port->ReleaseAt(gate);
    link.Send(c, 113);  // the thread comes free while c replaces b
    ASSERT_TRUE(port->WaitWritten(2));
    std::this_thread::sleep_for(50ms);  // room for a wrong extra write to show
    const std::vector<Bytes> written = port->Written();
    link.Close();  // destroys the port

    const std::vector<Bytes> expected{Bytes(a.begin(), a.end()), Bytes(c.begin(), c.end())};
    EXPECT_EQ(written, expected);
  }
}

Bytes Pattern(std::size_t n, std::uint8_t start) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(start + i);
  return b;
}

// The receive side on a port in memory; the receive thread waits for 113 bytes.
class ScriptedLink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(link.Open("scripted"), OpenError::None);
    link.Start(113, [this] { ++wakes; });
    ASSERT_TRUE(port->WaitIdle());
  }
  void TearDown() override { link.Close(); }

  // Feeds bytes and waits until the receive thread has dealt with them.
  void Arrive(const Bytes& bytes) {
    port->Feed(bytes);
    ASSERT_TRUE(port->WaitIdle());
  }

  // The wake-up count reached n (it rings just after the state it tells of is set).
  bool WaitWakes(int n) {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (wakes < n && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return wakes == n;
  }

  bool WaitLineLost() {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!link.LineLost() && std::chrono::steady_clock::now() < deadline) link.WaitForChunk(deadline);
    return link.LineLost();
  }

  ScriptedPorts port;
  std::atomic<int> wakes{0};
  SerialLink link{port.Factory()};
};

// True when call() returned well before a wait of 10 s would have ended.
template <typename F>
bool ReturnsEarly(F call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::steady_clock::now() - start < 5s;
}

TEST_F(ScriptedLink, ReadsOnceTheThresholdIsQueuedAndThenAllOfItInOneRead) {
  const Bytes reply = Pattern(113, 0x11);
  Arrive(Bytes(reply.begin(), reply.begin() + 40));
  EXPECT_TRUE(port->Reads().empty()) << "40 bytes are below the threshold";
  EXPECT_EQ(wakes, 0);
  Arrive(Bytes(reply.begin() + 40, reply.end()));
  EXPECT_EQ(port->Reads(), std::vector<std::size_t>{113});
  EXPECT_EQ(wakes, 1);
  auto chunks = link.Take();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].threshold, 113u);
  EXPECT_EQ(Bytes(chunks[0].Read().begin(), chunks[0].Read().end()), reply);
  EXPECT_TRUE(std::all_of(chunks[0].bytes.begin() + 113, chunks[0].bytes.end(), [](auto b) { return b == 0; }));

  // More than the threshold: everything queued goes in one read.
  Arrive(Pattern(120, 0x80));
  EXPECT_EQ(port->Reads(), (std::vector<std::size_t>{113, 120}));
  chunks = link.Take();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(Bytes(chunks[0].Read().begin(), chunks[0].Read().end()), Pattern(120, 0x80));
}

TEST_F(ScriptedLink, MoreThan2048QueuedBytesAreDiscardedUnread) {
  struct Case {
    std::size_t queued;
    bool read;
  };
  for (const Case c : {Case{2048, true}, Case{2049, false}, Case{5000, false}}) {
    SCOPED_TRACE(c.queued);
    const std::uint64_t purges = port->Purges();
    Arrive(Pattern(c.queued, 7));
    auto chunks = link.Take();
    if (c.read) {
      ASSERT_EQ(chunks.size(), 1u);
      EXPECT_EQ(chunks[0].length, 2048u);
      EXPECT_EQ(Bytes(chunks[0].Read().begin(), chunks[0].Read().end()), Pattern(2048, 7));
      EXPECT_EQ(port->Purges(), purges);
    } else {
      EXPECT_TRUE(chunks.empty());
      EXPECT_EQ(port->Purges(), purges + 1);
      EXPECT_EQ(port->Queued(), 0u);
      // The queue was emptied: the next reply is counted from its first byte.
      Arrive(Pattern(113, 0x40));
      chunks = link.Take();
      ASSERT_EQ(chunks.size(), 1u);
      EXPECT_EQ(chunks[0].length, 113u);
      EXPECT_EQ(chunks[0].bytes[0], 0x40);
    }
  }
}

TEST_F(ScriptedLink, EachChunkCarriesTheExchangeItWasReadIn) {
  const Request poll{0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};
  const std::uint64_t before = link.CurrentExchange();
  Arrive(Pattern(113, 0x10));  // read before any request of this test
  const std::uint64_t first = link.Send(poll, 113);
  EXPECT_EQ(first, before + 1);
  EXPECT_EQ(link.CurrentExchange(), first);
  Arrive(Pattern(113, 0x20));
  const std::uint64_t second = link.Send(poll, 113);
  EXPECT_EQ(second, first + 1);
  Arrive(Pattern(113, 0x30));

  const auto chunks = link.Take();
  ASSERT_EQ(chunks.size(), 3u);
  // Oldest first, each with the exchange that was current when it was read: the
  // owner can tell that the first two belong to exchanges that are over.
  EXPECT_EQ(chunks[0].bytes[0], 0x10);
  EXPECT_EQ(chunks[0].exchange, before);
  EXPECT_EQ(chunks[1].bytes[0], 0x20);
  EXPECT_EQ(chunks[1].exchange, first);
  EXPECT_EQ(chunks[2].bytes[0], 0x30);
  EXPECT_EQ(chunks[2].exchange, second);
  EXPECT_TRUE(link.Take().empty()) << "taken once";
}

TEST_F(ScriptedLink, SendSetsTheThresholdAndPurgesUnlessToldToKeepTheInput) {
  const Request write{0x05, 0x06, 0x00, 0x21, 0x00, 0x03, 0x98, 0x45};
  Arrive(Pattern(50, 1));  // a stray half reply
  link.Send(write, 8);
  EXPECT_EQ(port->Queued(), 0u) << "purged";
  Arrive(Pattern(8, 0x50));
  auto chunks = link.Take();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].threshold, 8u);
  EXPECT_EQ(chunks[0].length, 8u);

  Arrive(Pattern(5, 0x60));  // late bytes a diagnosis wants to see
  link.Send(write, 10, /*purge=*/false);
  Arrive(Pattern(5, 0x70));
  chunks = link.Take();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].length, 10u);
  EXPECT_EQ(chunks[0].bytes[0], 0x60);
  EXPECT_EQ(chunks[0].bytes[5], 0x70);
}

TEST_F(ScriptedLink, TheOwnersCopyIsNeverOverwrittenByLaterReads) {
  Arrive(Pattern(113, 0x10));
  const auto first = link.Take();
  ASSERT_EQ(first.size(), 1u);
  const std::uint8_t* held = first[0].bytes.data();
  for (std::uint8_t start : {0x60, 0x90}) Arrive(Pattern(200, start));
  // The first copy is as it was read; the later ones come in order.
  EXPECT_EQ(Bytes(held, held + 113), Pattern(113, 0x10));
  EXPECT_EQ(first[0].length, 113u);
  const auto later = link.Take();
  ASSERT_EQ(later.size(), 2u);
  EXPECT_EQ(Bytes(later[0].Read().begin(), later[0].Read().end()), Pattern(200, 0x60));
  EXPECT_EQ(Bytes(later[1].Read().begin(), later[1].Read().end()), Pattern(200, 0x90));
}

TEST_F(ScriptedLink, TheInboxKeepsTheNewest256Chunks) {
  const Request poll{0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};
  link.Send(poll, 1);
  for (int i = 0; i < 300; ++i) Arrive({static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)});
  EXPECT_EQ(wakes, 300);
  const auto chunks = link.Take();
  ASSERT_EQ(chunks.size(), 256u);
  EXPECT_EQ(chunks.front().bytes[0] << 8 | chunks.front().bytes[1], 44);
  EXPECT_EQ(chunks.back().bytes[0] << 8 | chunks.back().bytes[1], 299);
}

TEST_F(ScriptedLink, WakeOncePerChunkAndOnceWhenTheLineIsLost) {
  for (std::uint8_t start : {1, 2, 3}) Arrive(Pattern(113, start));
  EXPECT_EQ(wakes, 3);
  EXPECT_EQ(link.Take().size(), 3u);
  EXPECT_FALSE(link.LineLost());

  port->HangUp();
  ASSERT_TRUE(WaitLineLost());
  ASSERT_TRUE(WaitWakes(4));
  // The line keeps reporting itself gone; the thread must neither spin on it nor
  // ring again for it.
  const std::uint64_t waits = port->Waits();
  std::this_thread::sleep_for(1s);
  EXPECT_LE(port->Waits() - waits, 10u) << "the receive thread spins on the dead line";
  EXPECT_EQ(wakes, 4);
  EXPECT_TRUE(link.Take().empty());
  EXPECT_TRUE(ReturnsEarly([&] { EXPECT_FALSE(link.WaitForChunk(std::chrono::steady_clock::now() + 10s)); }))
      << "a lost line ends the wait";

  // The line comes back with bytes: no longer lost, and a second loss rings again.
  Arrive(Pattern(113, 9));
  EXPECT_FALSE(link.LineLost());
  EXPECT_EQ(wakes, 5);
  port->HangUp();
  ASSERT_TRUE(WaitLineLost());
  EXPECT_TRUE(WaitWakes(6));
}

TEST_F(ScriptedLink, CloseNeverHangsAndLeavesNothingBehind) {
  // A write that cannot get out (output stopped on the line) and a chunk nobody took.
  Arrive(Pattern(113, 0x33));
  port->SetStuck(true);
  const Request poll{0x05, 0x03, 0x00, 0x00, 0x00, 0x36, 0xC4, 0x58};
  link.Send(poll, 113);
  ASSERT_TRUE(port->WaitWritten(1));
  const auto start = std::chrono::steady_clock::now();
  link.Close();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_FALSE(link.IsOpen());
  EXPECT_TRUE(link.Take().empty()) << "nothing of the closed connection is handed on";
  EXPECT_TRUE(ReturnsEarly([&] { EXPECT_FALSE(link.WaitForChunk(std::chrono::steady_clock::now() + 10s)); }))
      << "a closed link ends the wait";

  // The next connect starts clean and reads again.
  ASSERT_EQ(link.Open("scripted"), OpenError::None);
  link.Start(113, [this] { ++wakes; });
  Arrive(Pattern(113, 0x44));
  const auto chunks = link.Take();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].bytes[0], 0x44);
}

}  // namespace
}  // namespace tagris
