#include "Velkor/HardwareAPI/IO/serialib.hpp"

#include <algorithm>
#include <chrono>
#include <limits>

#include "Velkor/HardwareAPI/Interrupt.hpp"
#include "Velkor/HardwareAPI/Platform/LastError.hpp"

namespace Platform = Velkor::HardwareAPI::Platform;
using Velkor::HardwareAPI::IO::PortFault;

namespace {

using Clock = std::chrono::steady_clock;

// Every read re-applies the whole record with this total constant.
constexpr uint32_t kReadTotalConstantMs = 1000;
constexpr Platform::PortTimeouts kOpenTimeouts{1000, 8, 8, 8, 8};
// Beyond about thirty years a deadline would overflow the clock.
constexpr uint64_t kLongestWriteMs = uint64_t{1} << 40;

// The port's write limit for n bytes, milliseconds.
uint64_t WriteLimitMs(const Platform::PortTimeouts& timeouts, size_t n) {
  const uint64_t per_byte = timeouts.write_total_per_byte;
  const uint64_t bytes = std::min<uint64_t>(n, kLongestWriteMs);
  return std::min(kLongestWriteMs, timeouts.write_total_constant + per_byte * bytes);
}

}  // namespace

serialib::serialib() : port_(Platform::MakePortDriver()) {}

serialib::~serialib() {
  if (port_ && port_->IsOpen()) port_->Close();
}

int8_t serialib::Open(const char* name) {
  const int opened = port_->Open(name);
  if (opened != 1) return static_cast<int8_t>(opened);
  const int configured = port_->Configure();
  if (configured != 0) return static_cast<int8_t>(configured);
  timeouts_ = kOpenTimeouts;
  if (!port_->SetTimeouts(timeouts_)) return -6;
  return 1;
}

long serialib::ReadBytes(void* buffer, size_t n) {
  fault_ = PortFault::Gone;
  timeouts_.read_total_constant = kReadTotalConstantMs;
  if (!port_->SetTimeouts(timeouts_)) return -1;
  const long r = port_->Read(buffer, n);
  if (r < 0) return -2;
  fault_ = static_cast<size_t>(r) < n ? PortFault::TimedOut : PortFault::None;
  return r;
}

long serialib::WriteBytes(const void* data, size_t n) {
  if (!IsOpen()) {
    fault_ = PortFault::Gone;
    return 0;
  }
  fault_ = PortFault::None;
  const auto* in = static_cast<const char*>(data);
  // The write's time runs from here: a driver whose first piece blocks has
  // used part of it already.
  const auto start = Clock::now();
  long r = port_->WriteSome(in, n);
  if (r >= 0 && static_cast<size_t>(r) == n) return r;

  // The output queue is full: wait for room in slices, asking between them
  // whether the caller wants to stop.
  const uint64_t total_ms = WriteLimitMs(timeouts_, n);
  const bool limited = total_ms > 0;
  const auto total_deadline = start + std::chrono::milliseconds(total_ms);
  const auto stall = std::chrono::milliseconds(WriteLimitMs(timeouts_, std::min(n, kWriteStallBytes)));
  auto last_progress = start;
  auto next_ask = start;
  size_t sent = 0;
  for (;;) {
    if (r < 0) {
      fault_ = PortFault::Gone;
      break;
    }
    const auto now = Clock::now();
    if (r > 0) {
      sent += static_cast<size_t>(r);
      last_progress = now;
      if (sent == n) return static_cast<long>(sent);
    }
    const auto deadline = std::min(total_deadline, last_progress + stall);
    if (limited && now >= deadline) {
      if (Platform::TimedOutErrorCode() != 0) Platform::SetLastError(Platform::TimedOutErrorCode());
      fault_ = PortFault::TimedOut;
      break;
    }
    if (now >= next_ask) {
      if (Velkor::HardwareAPI::InterruptRequested()) {
        fault_ = PortFault::Interrupted;
        break;
      }
      next_ask = now + Velkor::HardwareAPI::InterruptPollInterval();
    }
    auto slice = next_ask - now;
    if (limited) slice = std::min(slice, deadline - now);
    const auto waited = port_->WaitWritable(std::chrono::duration_cast<std::chrono::nanoseconds>(slice).count());
    if (waited == Platform::WaitResult::Gone) {
      fault_ = PortFault::Gone;
      break;
    }
    r = waited == Platform::WaitResult::TimedOut ? 0 : port_->WriteSome(in + sent, n - sent);
  }
  if (fault_ != PortFault::Gone) port_->DiscardOutput();
  return static_cast<long>(sent);
}

bool serialib::IsOpen() const { return port_ && port_->IsOpen(); }

void serialib::Close() {
  if (IsOpen()) port_->Close();
}

long serialib::Waiting() {
  if (!IsOpen()) return 0;
  const long queued = port_->BytesWaiting();
  if (queued < 0) return -1;
  return queued + (has_lookahead_ ? 1 : 0);
}

Platform::WaitResult serialib::WaitReadable(int64_t timeout_ns) {
  if (!IsOpen()) return Platform::WaitResult::Gone;
  if (has_lookahead_) return Platform::WaitResult::Readable;
  return port_->WaitReadable(timeout_ns);
}

Platform::WaitResult serialib::WaitForMore(long queued_now, int64_t timeout_ns) {
  if (!IsOpen()) return Platform::WaitResult::Gone;
  // The look-ahead byte is part of the count the caller saw, not the port's.
  return port_->WaitForMore(queued_now - (has_lookahead_ ? 1 : 0), timeout_ns);
}

bool serialib::AssertDtr() { return IsOpen() && port_->AssertDtr(); }

serialib::int_type serialib::overflow(int_type c) {
  if (!IsOpen() || !Admitted() || traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
  const char byte = traits_type::to_char_type(c);
  return WriteBytes(&byte, 1) == 1 ? c : traits_type::eof();
}

serialib::int_type serialib::pbackfail(int_type c) {
  if (has_lookahead_ || traits_type::eq_int_type(c, traits_type::eof())) return traits_type::eof();
  lookahead_ = static_cast<uint8_t>(traits_type::to_char_type(c));
  has_lookahead_ = true;
  return c;
}

std::streamsize serialib::showmanyc() {
  if (!IsOpen() || !Admitted()) return 0;
  if (has_lookahead_) return 1;
  if (ReadBytes(&lookahead_, 1) == 1) {
    has_lookahead_ = true;
    return 1;
  }
  return 0;
}

serialib::int_type serialib::underflow() {
  if (!IsOpen() || !Admitted()) return traits_type::eof();
  if (has_lookahead_) return traits_type::to_int_type(static_cast<char>(lookahead_));
  if (ReadBytes(&lookahead_, 1) != 1) return traits_type::eof();
  has_lookahead_ = true;
  return traits_type::to_int_type(static_cast<char>(lookahead_));
}

serialib::int_type serialib::uflow() {
  const int_type c = underflow();
  has_lookahead_ = false;
  return c;
}

std::streamsize serialib::xsgetn(char_type* s, std::streamsize n) {
  if (!IsOpen() || !Admitted() || n <= 0) return 0;
  if (has_lookahead_) {
    s[0] = static_cast<char>(lookahead_);
    has_lookahead_ = false;
    if (n == 1) return 1;
    const long r = ReadBytes(s + 1, static_cast<size_t>(n - 1));
    // The look-ahead byte was delivered even when the read after it failed.
    return r >= 0 ? r + 1 : 1;
  }
  const long r = ReadBytes(s, static_cast<size_t>(n));
  return r > 0 ? r : 0;
}

std::streamsize serialib::xsputn(const char_type* s, std::streamsize n) {
  if (!IsOpen()) {
    fault_ = PortFault::Gone;
    return 0;
  }
  if (n <= 0 || !Admitted()) return 0;
  // A write cut short reports the count that went out, so the stream above
  // sees the loss instead of a success.
  return WriteBytes(s, static_cast<size_t>(n));
}

std::basic_streambuf<char>* serialib::setbuf(char_type*, std::streamsize) { return this; }
