#pragma once

#include <cstdint>
#include <memory>
#include <streambuf>

#include "Velkor/HardwareAPI/IO/Lease.hpp"
#include "Velkor/HardwareAPI/Platform/PortDriver.hpp"

namespace Velkor::HardwareAPI::IO {

// Why the port's last read or write moved fewer bytes than asked.
enum class PortFault : uint8_t {
  None,
  TimedOut,     // nothing (more) came, or the device took no byte in time
  Gone,         // no open port, or the device went away
  Interrupted,  // the caller's interruption check stopped a blocked write
};

}  // namespace Velkor::HardwareAPI::IO

// The serial port as a character stream buffer: no buffering of its own, every
// byte goes to the port at once; the only storage is a one-byte look-ahead.
class serialib : public std::basic_streambuf<char> {
 public:
  serialib();
  ~serialib() override;
  serialib(const serialib&) = delete;
  serialib& operator=(const serialib&) = delete;

  // 1 when open and configured; -1 no such port, -2 cannot open, -3 cannot
  // read the line settings, -5 cannot apply them, -6 cannot apply time-outs.
  int8_t Open(const char* name);
  // One timed read: the count (0 when nothing arrived), -1 when the time-outs
  // could not be applied, -2 when the read failed.
  long ReadBytes(void* buffer, size_t n);
  // Writes n bytes: the count the device took. A write gives up when the
  // port's write limit for n bytes passes (write total constant + per byte x n),
  // or when the device takes no byte for the limit of a kWriteStallBytes write
  // (1.032 s with the time-outs Open applies), or when the caller's
  // interruption check asks it to stop while it waits. Output still queued
  // after a write that gave up is dropped: a request the device would only
  // read later is stale by then.
  long WriteBytes(const void* data, size_t n);
  static constexpr size_t kWriteStallBytes = 128;

  Velkor::HardwareAPI::IO::PortFault LastFault() const { return fault_; }

  bool IsOpen() const;
  void Close();
  // Bytes waiting in the port's input queue (the look-ahead byte not counted);
  // -1 when the query failed.
  long Waiting();
  // Waits for input without consuming it.
  Velkor::HardwareAPI::Platform::WaitResult WaitReadable(int64_t timeout_ns);
  // Until more than queued_now bytes are waiting (see PortDriver::WaitForMore).
  Velkor::HardwareAPI::Platform::WaitResult WaitForMore(long queued_now, int64_t timeout_ns);
  bool AssertDtr();

  const Velkor::HardwareAPI::Platform::PortTimeouts& Timeouts() const { return timeouts_; }
  bool HasLookahead() const { return has_lookahead_; }

  // The lease whose holder alone may reach the port through the buffer's own
  // reads and writes (std::istream/std::ostream calls included); none: anyone.
  void Guard(const Velkor::HardwareAPI::IO::Lease* lease) { guard_ = lease; }

 protected:
  int_type overflow(int_type c) override;
  int_type pbackfail(int_type c) override;
  std::streamsize showmanyc() override;
  int_type underflow() override;
  int_type uflow() override;
  std::streamsize xsgetn(char_type* s, std::streamsize n) override;
  std::streamsize xsputn(const char_type* s, std::streamsize n) override;
  std::basic_streambuf<char>* setbuf(char_type* s, std::streamsize n) override;

 private:
  bool Admitted() const { return guard_ == nullptr || guard_->Admits(); }

  const Velkor::HardwareAPI::IO::Lease* guard_ = nullptr;
  uint8_t lookahead_ = 0;
  bool has_lookahead_ = false;
  std::unique_ptr<Velkor::HardwareAPI::Platform::PortDriver> port_;
  Velkor::HardwareAPI::Platform::PortTimeouts timeouts_{};
  Velkor::HardwareAPI::IO::PortFault fault_ = Velkor::HardwareAPI::IO::PortFault::None;
};
