#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace VelkorTest {

// One misbehaviour of the arm, at one request.
struct EchoFault {
  enum class Kind { None, Silent, Late, Split, Duplicate, Truncated, Garbage, NotificationBurst };
  Kind kind = Kind::None;
  uint64_t request = 0;               // the request number (from 1) it applies to
  std::chrono::microseconds time{0};  // late: delay; split: the gap inside; duplicate: the gap between
  size_t count = 0;                   // split: bytes before the gap; truncated: bytes kept;
                                      // garbage: bytes sent ahead of the reply; burst: frames
};

const char* KindName(EchoFault::Kind kind);

// An arm on the master side of a real pseudo-terminal whose every reply can be
// traced to its request: a state reply carries the request's three floats as
// its position and the request's number (from 1) as the first velocity. What it
// sends goes out as a UART at `baud` sends it, one frame after another (0: as
// fast as the pty takes it); notification frames of `notify_payload` bytes
// go out `notify_hz` times a second between the other frames.
class EchoArm {
 public:
  EchoArm(int baud, double notify_hz, size_t notify_payload, uint32_t seed = 1);
  ~EchoArm();
  EchoArm(const EchoArm&) = delete;
  EchoArm& operator=(const EchoArm&) = delete;

  const std::string& SlavePath() const { return slave_path_; }
  void Schedule(const EchoFault& fault);
  uint64_t Requests() const { return requests_.load(); }
  // Waits (bounded) until the line has sent everything due so far.
  bool WaitIdle(std::chrono::milliseconds limit);

 private:
  using Clock = std::chrono::steady_clock;
  struct Frame {
    std::vector<uint8_t> bytes;
    size_t pause_at = 0;  // a gap before this byte (split replies)
    Clock::duration pause{};
  };
  void Run();
  void TakeRequests();
  void Answer(uint64_t number, const std::vector<uint8_t>& request);
  void Queue(Clock::time_point when, Frame frame);
  std::vector<uint8_t> Notification();

  int master_ = -1;
  int slave_keepalive_ = -1;
  std::string slave_path_;
  Clock::duration byte_time_{};
  Clock::duration notify_period_{};
  size_t notify_payload_;
  std::mt19937 random_;

  std::mutex mutex_;
  std::vector<EchoFault> faults_;
  std::multimap<Clock::time_point, Frame> pending_;
  std::vector<uint8_t> received_;
  std::atomic<uint64_t> requests_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> idle_{true};
  std::thread thread_;
};

}  // namespace VelkorTest
