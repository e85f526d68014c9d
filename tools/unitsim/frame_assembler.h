#pragma once
// Cuts a slave's input byte stream into 8-byte request frames. The master only
// ever sends 8-byte requests, so a window whose CRC fails is garbage or a torn
// frame: drop one byte and try again. A silence longer than the gap ends any
// partial frame, as the silence between RTU frames does.
#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <span>

namespace tagris::unitsim {

class FrameAssembler {
 public:
  using Clock = std::chrono::steady_clock;
  using Frame = std::array<std::uint8_t, 8>;

  explicit FrameAssembler(std::chrono::milliseconds gap = std::chrono::milliseconds(50)) : gap_(gap) {}

  // Adds bytes that arrived at `now` and calls onFrame for every frame with a good CRC.
  void Feed(std::span<const std::uint8_t> bytes, Clock::time_point now, const std::function<void(const Frame&)>& onFrame);

  std::size_t Pending() const { return pending_.size(); }
  // Runs of bytes thrown away: garbage, bad CRCs and stale partial frames.
  std::uint64_t DiscardedRuns() const { return discardedRuns_; }
  std::uint64_t DiscardedBytes() const { return discardedBytes_; }

 private:
  void Discard(std::size_t n);

  std::chrono::milliseconds gap_;
  std::deque<std::uint8_t> pending_;
  Clock::time_point last_{};
  bool discarding_ = false;
  std::uint64_t discardedRuns_ = 0;
  std::uint64_t discardedBytes_ = 0;
};

}  // namespace tagris::unitsim
