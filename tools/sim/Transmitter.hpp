#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "SimDevice.hpp"

namespace Velkor::Sim {

// The device's sending side: frames queued with the time they may leave, sent one
// after another (never interleaved, as from one UART), either each in one write
// or paced byte by byte as a UART at a given baud rate delivers them.
//
// Pacing keeps a clock of the virtual line: a frame starts when it is released or
// when the previous one has left, whichever is later, and its k-th byte is written
// no earlier than k byte times after that start. So a host never gets a byte
// sooner than the line could carry it; when the simulator itself was delayed, the
// bytes that are due go out together.
class Transmitter {
 public:
  static constexpr size_t kSlots = 256;
  static constexpr double kNever = std::numeric_limits<double>::infinity();
  static constexpr double kRetry = 1e-3;  // a full line is tried again after this

  // 10 bits per byte: start, 8 data, stop.
  void SetBaud(double baud) { byte_time_ = baud > 0.0 ? 10.0 / baud : 0.0; }

  // Queues n bytes (at most kFrameCapacity) that may leave from `release` on; false
  // when there is no room. `continued` reserves the line after this frame for the
  // next one queued (the rest of a reply that pauses in the middle).
  bool Queue(const uint8_t* data, size_t n, double release, bool continued = false) {
    if (n == 0) return true;
    if (n > kFrameCapacity) return false;
    for (size_t i = 0; i < kSlots; ++i) {
      Slot& s = slots_[i];
      if (s.used) continue;
      s.used = true;
      s.release = release;
      s.order = next_order_++;
      s.length = n;
      s.sent = 0;
      s.next = -1;
      s.continuation = pending_continuation_ >= 0;
      std::memcpy(s.bytes, data, n);
      if (pending_continuation_ >= 0) slots_[pending_continuation_].next = static_cast<int>(i);
      pending_continuation_ = continued ? static_cast<int>(i) : -1;
      ++used_;
      return true;
    }
    return false;
  }

  size_t Pending() const { return used_; }

  void Clear() {
    for (Slot& s : slots_) s.used = false;
    used_ = 0;
    current_ = -1;
    pending_continuation_ = -1;
    line_clock_ = 0.0;
  }

  // Writes what is due at `now` to `fd`; returns when it next has work (kNever if none).
  // A write error other than a full line drops the queue: the host is gone.
  double Service(int fd, double now) {
    for (;;) {
      if (current_ < 0 && !Pick(now)) return NextRelease();
      Slot& s = slots_[current_];
      if (s.sent == 0 && now < s.release) return s.release;
      size_t want = s.length - s.sent;
      if (byte_time_ > 0.0) {
        if (s.sent == 0 && line_clock_ < s.release) line_clock_ = s.release;
        const double due = (now - line_clock_) / byte_time_;
        if (due < 1.0) return line_clock_ + byte_time_;
        if (due < static_cast<double>(want)) want = static_cast<size_t>(due);
      }
      const ssize_t w = write(fd, s.bytes + s.sent, want);
      if (w < 0 && errno == EINTR) continue;
      if (w < 0 && errno == EAGAIN) return now + kRetry;
      if (w <= 0) {
        Clear();
        return kNever;
      }
      s.sent += static_cast<size_t>(w);
      if (byte_time_ > 0.0) line_clock_ += static_cast<double>(w) * byte_time_;
      if (s.sent < s.length) continue;
      s.used = false;
      --used_;
      if (pending_continuation_ == current_) pending_continuation_ = -1;
      current_ = s.next;
    }
  }

 private:
  struct Slot {
    bool used = false;
    double release = 0.0;
    uint64_t order = 0;
    size_t length = 0;
    size_t sent = 0;
    int next = -1;            // the frame that continues this one
    bool continuation = false;  // sent only right after the frame it continues
    uint8_t bytes[kFrameCapacity];
  };

  // The released frame that was released first (queued first among equals).
  bool Pick(double now) {
    int best = -1;
    for (size_t i = 0; i < kSlots; ++i) {
      const Slot& s = slots_[i];
      if (!s.used || s.release > now || s.continuation) continue;
      if (best < 0 || s.release < slots_[best].release ||
          (s.release == slots_[best].release && s.order < slots_[best].order))
        best = static_cast<int>(i);
    }
    current_ = best;
    return best >= 0;
  }

  double NextRelease() const {
    double next = kNever;
    for (const Slot& s : slots_)
      if (s.used && s.release < next) next = s.release;
    return next;
  }

  Slot slots_[kSlots];
  size_t used_ = 0;
  int current_ = -1;
  int pending_continuation_ = -1;
  uint64_t next_order_ = 0;
  double byte_time_ = 0.0;
  double line_clock_ = 0.0;
};

}  // namespace Velkor::Sim
