#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace Velkor::HardwareAPI::Platform {

// The port's time-out record, milliseconds, in the order the port keeps it.
struct PortTimeouts {
  uint32_t read_interval = 0;
  uint32_t read_total_per_byte = 0;
  uint32_t read_total_constant = 0;
  uint32_t write_total_per_byte = 0;
  uint32_t write_total_constant = 0;
};

enum class WaitResult { Readable, TimedOut, Gone, Writable };

// One serial port as the operating system offers it. Every failing operation
// records its error code with SetLastError before it returns.
class PortDriver {
 public:
  virtual ~PortDriver() = default;

  // Opens the port exclusively: 1 on success, -1 when it does not exist, -3
  // when it is not a terminal (left closed), -2 for any other failure.
  virtual int Open(const char* name) = 0;
  // Raw 8-bit, 115200 8N1: 0 on success, -3 when the settings cannot be read
  // (not a serial line; the port is closed), -5 when they cannot be applied.
  virtual int Configure() = 0;
  virtual bool SetTimeouts(const PortTimeouts& timeouts) = 0;
  virtual bool IsOpen() const = 0;
  virtual void Close() = 0;

  // Reads up to n bytes within the time-outs: the count (0 when nothing came),
  // or -1 when the read failed or the device went away.
  virtual long Read(void* buffer, size_t n) = 0;
  // Writes n bytes within the write time-outs; returns the count written
  // (less than n on failure or time-out), or -1 when nothing could be written.
  virtual long Write(const void* data, size_t n) = 0;
  // Bytes waiting in the input queue, or -1 on failure.
  virtual long BytesWaiting() = 0;
  // Blocks until input is waiting, the device went away, or timeout_ns passed
  // (negative: no limit).
  virtual WaitResult WaitReadable(int64_t timeout_ns) = 0;
  // Blocks until more than queued_now bytes are waiting (the rest of a frame
  // on its way), the device went away, or timeout_ns passed (negative: no
  // limit). It may return early; the caller counts again. A driver whose
  // readiness wait already reports only new input needs no more than that.
  virtual WaitResult WaitForMore(long queued_now, int64_t timeout_ns) {
    (void)queued_now;
    return WaitReadable(timeout_ns);
  }
  // Asserts DTR; a line without modem signals is no failure.
  virtual bool AssertDtr() = 0;

  // The write path in pieces, so that the layer above can give up between
  // them. One write that never blocks: the count the OS took (0 when its output
  // queue is full), or -1 when the write failed or the device went away. A
  // driver that cannot split its writes makes the whole write here.
  virtual long WriteSome(const void* data, size_t n) { return Write(data, n); }
  // Blocks until the output queue has room (Writable), the device went away,
  // or timeout_ns passed (negative: no limit).
  virtual WaitResult WaitWritable(int64_t) { return WaitResult::Writable; }
  // Drops output that the device has not taken yet; best effort.
  virtual void DiscardOutput() {}
};

using PortDriverFactory = std::function<std::unique_ptr<PortDriver>()>;

// A driver for the platform this library was built for.
std::unique_ptr<PortDriver> MakePortDriver();
// Replaces the factory (an in-memory driver for tests and fuzzing); an empty
// factory restores the platform's own.
void SetPortDriverFactory(PortDriverFactory factory);

}  // namespace Velkor::HardwareAPI::Platform
