#include "frame_assembler.h"

#include "modbus/crc.h"

namespace tagris::unitsim {

void FrameAssembler::Discard(std::size_t n) {
  if (n == 0) return;
  if (!discarding_) ++discardedRuns_;
  discarding_ = true;
  discardedBytes_ += n;
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
}

void FrameAssembler::Feed(std::span<const std::uint8_t> bytes, Clock::time_point now,
                          const std::function<void(const Frame&)>& onFrame) {
  if (!pending_.empty() && now - last_ > gap_) {
    Discard(pending_.size());
    discarding_ = false;  // the silence closes this run; what follows is judged afresh
  }
  if (!bytes.empty()) last_ = now;
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  while (pending_.size() >= 8) {
    Frame frame;
    std::copy_n(pending_.begin(), 8, frame.begin());
    if (!CrcMatches(frame)) {
      Discard(1);
      continue;
    }
    pending_.erase(pending_.begin(), pending_.begin() + 8);
    discarding_ = false;
    onFrame(frame);
  }
}

}  // namespace tagris::unitsim
