#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>

#include "Velkor/HardwareAPI/IO/CallLock.hpp"
#include "Velkor/HardwareAPI/IO/Lease.hpp"
#include "Velkor/HardwareAPI/IO/serialib.hpp"

namespace Velkor::HardwareAPI::IO {

// The byte stream every device talks through. Once its state is not good,
// every further read and write fails without reaching the port.
//
// While a holder (a servo loop) has the stream's lease, Available, Write and
// WaitReadable refuse threads that do not act for it (0 bytes, nothing
// written, Gone) without touching the stream's state; Open, Close, Reopen and
// the destructor first revoke the lease, which stops the holder (a loop ends
// with its zero-force exchange) before the port is touched. Reads and writes
// through the std::iostream interface itself are refused the same way at the
// stream buffer (nothing read, nothing written), though the failure they set
// on the stream's state is shared with the holder's own calls.
class SerialStream : public std::basic_iostream<char> {
 public:
  // Keeps its own copy of the name; opens the port at once when asked to and
  // logs when that fails. Never throws for a port that cannot be opened.
  SerialStream(const char* name, bool open_now);
  ~SerialStream() override;
  SerialStream(const SerialStream&) = delete;
  SerialStream& operator=(const SerialStream&) = delete;

  // Creates the port and opens it: the result code of serialib::Open.
  int8_t Open();

  virtual void Close();
  // Bytes waiting in the port's input queue; 0 without an open port or when
  // the query fails.
  virtual int32_t Available();
  // Writes n bytes; logs when the port rejects them, but not when the
  // caller's interruption check stopped the write.
  virtual void Write(const void* data, size_t n);

  // Blocks until input is waiting, the port went away, or the time passed
  // (negative: no limit). Gone also for a stream without an open port.
  Platform::WaitResult WaitReadable(std::chrono::nanoseconds timeout);
  // Blocks until more than queued_now bytes are waiting, the port went away,
  // or the time passed; it may return early.
  Platform::WaitResult WaitForMore(int32_t queued_now, std::chrono::nanoseconds timeout);

  // Closes the port if it is open, forgets the stream state and opens the same
  // name again: the result code of Open. Devices built on the stream keep it.
  int8_t Reopen();

  // Reopen under another name (a device that came back on another port).
  int8_t ReopenAt(const char* name);

  const std::string& PortName() const { return port_name_; }
  bool IsOpen() const;
  // Why the port's last read or write fell short; Gone without a port.
  PortFault LastFault() const;

  Lease& GetLease() { return lease_; }
  const Lease& GetLease() const { return lease_; }

  // The process that last opened the port (Platform::CurrentProcess); 0 before
  // the first Open. A forked child inherits the descriptor, and with it the
  // parent's replies: its calls must not use it.
  int64_t OpenedBy() const { return opened_by_; }

  // Held by a program's device call for its whole exchange (see CallLock).
  CallLock& Calls() { return calls_; }

 private:
  Lease lease_;
  CallLock calls_;
  std::string port_name_;
  std::unique_ptr<serialib> port_;
  int64_t opened_by_ = 0;
};

}  // namespace Velkor::HardwareAPI::IO
