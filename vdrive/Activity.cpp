#include "vdrive/Activity.h"

#include <algorithm>
#include <chrono>

namespace qnzb::vdrive {

TickSource SteadyTicks() {
  return [] {
    using namespace std::chrono;
    return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
  };
}

void BackgroundActivity::Start(SenseCode busySense, uint64_t now, uint64_t durationMs) {
  active_ = durationMs > 0;
  sense_ = busySense;
  start_ = now;
  duration_ = durationMs;
}

std::optional<BackgroundActivity::Busy> BackgroundActivity::Check(uint64_t now) {
  if (!active_)
    return std::nullopt;
  const uint64_t elapsed = now > start_ ? now - start_ : 0;
  if (elapsed >= duration_) {
    active_ = false;
    return std::nullopt;
  }
  const auto progress = static_cast<uint16_t>(elapsed * 65536 / duration_);
  return Busy{sense_, progress};
}

void WriteBuffer::Drain(uint64_t now, uint32_t speed) {
  if (!started_) {
    started_ = true;
    last_ = now;
    return;
  }
  const uint64_t elapsed = now > last_ ? now - last_ : 0;
  last_ = now;
  if (fill_ == 0)
    return;
  const uint64_t drained = elapsed * speed;
  if (drained >= fill_) {
    fill_ = 0;
    if (streaming_)
      ranDry_ = true;
  } else {
    fill_ -= static_cast<uint32_t>(drained);
  }
}

void WriteBuffer::Take(uint32_t bytes) {
  if (streaming_ && ranDry_)
    ++underruns_;
  ranDry_ = false;
  streaming_ = true;
  fill_ = static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(fill_) + bytes, UINT32_MAX));
}

void WriteBuffer::Flush() {
  fill_ = 0;
  streaming_ = false;
  ranDry_ = false;
}

uint64_t WriteBuffer::DrainTime(uint32_t speed) const {
  if (fill_ == 0)
    return 0;
  if (speed == 0)
    return UINT32_MAX;
  return (static_cast<uint64_t>(fill_) + speed - 1) / speed;
}

} // namespace qnzb::vdrive
