#pragma once
// Time in the virtual recorder: the tick source it reads, the slow operation
// that keeps it busy after an Immed bit, and the drive buffer of the
// real-time mode, which WRITE fills and the recording drains at the write
// speed. The recorder never sleeps: time only moves when its tick source
// says so, which lets tests drive it with a virtual clock.

#include <cstdint>
#include <functional>
#include <optional>

#include "engine/device/ScsiSense.h"

namespace qnzb::vdrive {

// Milliseconds since an arbitrary start; must never go back.
using TickSource = std::function<uint64_t()>;
// The steady wall clock.
[[nodiscard]] TickSource SteadyTicks();

// A background operation (blank, format, close, flush) and its end.
class BackgroundActivity {
public:
  void Start(SenseCode busySense, uint64_t now, uint64_t durationMs);
  void Cancel() { active_ = false; }
  struct Busy {
    SenseCode Sense;
    uint16_t Progress;  // done, in 1/65536
  };
  // The sense to report while the operation runs; empty once it has ended.
  [[nodiscard]] std::optional<Busy> Check(uint64_t now);

private:
  bool active_ = false;
  SenseCode sense_;
  uint64_t start_ = 0;
  uint64_t duration_ = 0;
};

// The drive's write buffer in the real-time mode. Speeds are KB/s of 1000
// bytes, so a speed is also bytes per millisecond.
class WriteBuffer {
public:
  void SetCapacity(uint32_t bytes) { capacity_ = bytes; }
  [[nodiscard]] uint32_t Capacity() const { return capacity_; }
  [[nodiscard]] uint32_t Fill() const { return fill_; }
  [[nodiscard]] uint32_t Free() const { return capacity_ > fill_ ? capacity_ - fill_ : 0; }
  [[nodiscard]] uint32_t Underruns() const { return underruns_; }

  // Moves what the drive recorded since the last call out of the buffer.
  // While a stream is being written, running empty counts as an underrun
  // when the next block arrives.
  void Drain(uint64_t now, uint32_t speed);
  // Takes `bytes` of a WRITE (the caller checked Free()).
  void Take(uint32_t bytes);
  // The stream ends (flush, close): the buffer empties at once.
  void Flush();
  // The stream ends but the buffer keeps draining (flush with Immed).
  void EndStream() { streaming_ = false; ranDry_ = false; }
  // `ms` the recorder spent on its own bookkeeping: no time of the
  // recording, since a real drive has none of it to do.
  void Skip(uint64_t ms) { last_ += ms; }
  [[nodiscard]] bool Streaming() const { return streaming_; }
  // Milliseconds until the buffer is empty at `speed`.
  [[nodiscard]] uint64_t DrainTime(uint32_t speed) const;
  void ResetUnderruns() { underruns_ = 0; }

private:
  uint32_t capacity_ = 0;
  uint32_t fill_ = 0;
  uint64_t last_ = 0;
  bool started_ = false;
  bool streaming_ = false;
  bool ranDry_ = false;
  uint32_t underruns_ = 0;
};

} // namespace qnzb::vdrive
