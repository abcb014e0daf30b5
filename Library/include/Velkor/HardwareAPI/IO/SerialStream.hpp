#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <istream>
#include <memory>
#include <string>

#include "Velkor/HardwareAPI/IO/serialib.hpp"

namespace Velkor::HardwareAPI::IO {

// The byte stream every device talks through. Once its state is not good,
// every further read and write fails without reaching the port.
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

  const std::string& PortName() const { return port_name_; }
  bool IsOpen() const;
  // Why the port's last read or write fell short; Gone without a port.
  PortFault LastFault() const;

 private:
  std::string port_name_;
  std::unique_ptr<serialib> port_;
};

}  // namespace Velkor::HardwareAPI::IO
