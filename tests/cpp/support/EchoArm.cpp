#include "support/EchoArm.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace VelkorTest {

namespace {

constexpr uint8_t kForceRequest = 0x2A;
constexpr uint8_t kStateReply = 0x2B;
constexpr size_t kRequestSize = 13;

void PutFloat(std::vector<uint8_t>& out, float value) {
  uint8_t raw[4];
  std::memcpy(raw, &value, 4);
  out.insert(out.end(), raw, raw + 4);
}

}  // namespace

const char* KindName(EchoFault::Kind kind) {
  switch (kind) {
    case EchoFault::Kind::None: return "none";
    case EchoFault::Kind::Silent: return "silent";
    case EchoFault::Kind::Late: return "late";
    case EchoFault::Kind::Split: return "split";
    case EchoFault::Kind::Duplicate: return "duplicate";
    case EchoFault::Kind::Truncated: return "truncated";
    case EchoFault::Kind::Garbage: return "garbage";
    case EchoFault::Kind::NotificationBurst: return "notification burst";
  }
  return "?";
}

EchoArm::EchoArm(int baud, double notify_hz, size_t notify_payload, uint32_t seed)
    : notify_payload_(std::min<size_t>(notify_payload, 255)), random_(seed) {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) throw std::runtime_error("no pty");
  slave_path_ = ptsname(master_);
  slave_keepalive_ = open(slave_path_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios tio{};
  tcgetattr(slave_keepalive_, &tio);
  cfmakeraw(&tio);
  tcsetattr(slave_keepalive_, TCSANOW, &tio);
  fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
  // A start bit, eight data bits, a stop bit.
  if (baud > 0) byte_time_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / baud));
  if (notify_hz > 0)
    notify_period_ = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / notify_hz));
  thread_ = std::thread([this] { Run(); });
}

EchoArm::~EchoArm() {
  stop_ = true;
  thread_.join();
  close(master_);
  close(slave_keepalive_);
}

void EchoArm::Schedule(const EchoFault& fault) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.push_back(fault);
}

bool EchoArm::WaitIdle(std::chrono::milliseconds limit) {
  const auto give_up = Clock::now() + limit;
  while (!idle_.load()) {
    if (Clock::now() > give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

std::vector<uint8_t> EchoArm::Notification() {
  std::vector<uint8_t> frame{0xBA, 0x00, static_cast<uint8_t>(notify_payload_)};
  // Payload bytes that begin no reply: a notification read from its middle
  // is skipped up to the next frame.
  for (size_t i = 0; i < notify_payload_; ++i) frame.push_back(static_cast<uint8_t>(1 + i % 8));
  return frame;
}

void EchoArm::Queue(Clock::time_point when, Frame frame) { pending_.emplace(when, std::move(frame)); }

void EchoArm::Answer(uint64_t number, const std::vector<uint8_t>& request) {
  std::vector<uint8_t> reply{kStateReply};
  reply.insert(reply.end(), request.begin() + 1, request.begin() + 13);
  PutFloat(reply, static_cast<float>(number));
  PutFloat(reply, 0.0f);
  PutFloat(reply, 0.0f);

  EchoFault fault;
  for (const EchoFault& f : faults_)
    if (f.request == number) fault = f;
  const auto now = Clock::now();
  switch (fault.kind) {
    case EchoFault::Kind::None: Queue(now, {reply, 0, {}}); break;
    case EchoFault::Kind::Silent: break;
    case EchoFault::Kind::Late: Queue(now + fault.time, {reply, 0, {}}); break;
    case EchoFault::Kind::Split: Queue(now, {reply, std::min(fault.count, reply.size() - 1), fault.time}); break;
    case EchoFault::Kind::Duplicate:
      Queue(now, {reply, 0, {}});
      Queue(now + fault.time, {reply, 0, {}});
      break;
    case EchoFault::Kind::Truncated:
      reply.resize(std::min(fault.count, reply.size() - 1));
      Queue(now, {reply, 0, {}});
      break;
    case EchoFault::Kind::Garbage: {
      // Any byte but the reply's own code: a garbage byte equal to it followed
      // by a reply's length of bytes is a reply as far as any reader can tell.
      std::vector<uint8_t> garbage;
      std::uniform_int_distribution<int> byte(0, 255);
      while (garbage.size() < fault.count) {
        const auto b = static_cast<uint8_t>(byte(random_));
        if (b != kStateReply) garbage.push_back(b);
      }
      Queue(now, {garbage, 0, {}});
      Queue(now, {reply, 0, {}});
      break;
    }
    case EchoFault::Kind::NotificationBurst:
      for (size_t i = 0; i < fault.count; ++i) Queue(now, {Notification(), 0, {}});
      Queue(now, {reply, 0, {}});
      break;
  }
}

void EchoArm::TakeRequests() {
  uint8_t buffer[512];
  for (;;) {
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) break;
    received_.insert(received_.end(), buffer, buffer + n);
  }
  size_t used = 0;
  while (received_.size() - used >= kRequestSize) {
    if (received_[used] != kForceRequest) {
      ++used;
      continue;
    }
    std::vector<uint8_t> request(received_.begin() + static_cast<long>(used),
                                 received_.begin() + static_cast<long>(used + kRequestSize));
    used += kRequestSize;
    Answer(++requests_, request);
  }
  received_.erase(received_.begin(), received_.begin() + static_cast<long>(used));
}

void EchoArm::Run() {
  Frame current;
  size_t sent = 0;
  bool sending = false;
  Clock::time_point next_byte = Clock::now();
  Clock::time_point next_notification = Clock::now() + notify_period_;
  std::vector<uint8_t> out;
  while (!stop_.load()) {
    const auto now = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      TakeRequests();
      if (notify_period_ > Clock::duration::zero() && now >= next_notification) {
        Queue(next_notification, {Notification(), 0, {}});
        next_notification += notify_period_;
        if (next_notification < now) next_notification = now + notify_period_;
      }
      if (!sending && !pending_.empty() && pending_.begin()->first <= now) {
        current = std::move(pending_.begin()->second);
        pending_.erase(pending_.begin());
        sending = true;
        sent = 0;
        next_byte = std::max(next_byte, now);
      }
      idle_ = !sending && (pending_.empty() || pending_.begin()->first > now);
    }
    // Every byte that is due goes out in one write.
    out.clear();
    while (sending && sent < current.bytes.size() && next_byte <= now) {
      if (sent == current.pause_at && current.pause > Clock::duration::zero()) {
        next_byte += current.pause;
        current.pause = Clock::duration::zero();
        continue;
      }
      out.push_back(current.bytes[sent++]);
      next_byte += byte_time_;
    }
    if (!out.empty()) {
      size_t done = 0;
      while (done < out.size()) {
        const ssize_t w = write(master_, out.data() + done, out.size() - done);
        if (w > 0) {
          done += static_cast<size_t>(w);
        } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
          break;
        }
      }
    }
    if (sending && sent == current.bytes.size()) sending = false;

    auto wake = now + std::chrono::milliseconds(1);
    if (sending) wake = std::min(wake, next_byte);
    if (notify_period_ > Clock::duration::zero()) wake = std::min(wake, next_notification);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!sending && !pending_.empty()) wake = std::min(wake, pending_.begin()->first);
    }
    const auto left = std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(wake - Clock::now()).count());
    timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    pollfd pfd{master_, POLLIN, 0};
    ppoll(&pfd, 1, &ts, nullptr);
  }
}

}  // namespace VelkorTest
