#pragma once
// The private input queue of a port backend. Drivers cannot be asked to keep
// received bytes while we wait for more (poll() and the comm events keep
// reporting them), so every backend moves what the driver holds in here as soon
// as it arrives; counting, reading and purging then work on this queue.
// Not locked: the backend's own mutex guards it.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace tagris {

class InputQueue {
 public:
  std::size_t Size() const { return size_; }
  void Clear() { size_ = 0; }

  // Where the next driver read goes: the queue's free room, or, once it is full,
  // a scratch area whose bytes are dropped (by then far more than a reply is
  // queued, and the link discards it all anyway).
  std::span<std::uint8_t> Room() {
    return size_ < bytes_.size() ? std::span<std::uint8_t>(bytes_).subspan(size_) : std::span<std::uint8_t>(spill_);
  }
  // n bytes were read into room.
  void Added(std::span<std::uint8_t> room, std::size_t n) {
    if (room.data() != spill_.data()) size_ += std::min(n, room.size());
  }

  // Takes up to n bytes from the front.
  std::size_t Take(std::uint8_t* out, std::size_t n) {
    n = std::min(n, size_);
    std::memcpy(out, bytes_.data(), n);
    std::memmove(bytes_.data(), bytes_.data() + n, size_ - n);
    size_ -= n;
    return n;
  }

 private:
  std::array<std::uint8_t, 8192> bytes_{};
  std::array<std::uint8_t, 512> spill_{};
  std::size_t size_ = 0;
};

}  // namespace tagris
